#include "engine/TableFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "engine/EngineStatus.h"
#include "engine/FileOps.h"
#include "engine/TableLock.h"
#include "platform/FileAccess.h"
#include "platform/FileErrors.h"
#include "platform/Files.h"

namespace ari::engine {

namespace {
constexpr const char* kTempSuffix = ".tmp";
constexpr const char* kBackupPurpose = "keep";

// The identity of the file at a path (not following a final symbolic link): `exists` false when
// there is none.
struct FileId {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
};

FileId IdOf(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
        return {};
    return {true, st.st_dev, st.st_ino};
}

bool SameFile(const FileId& a, const FileId& b) {
    return a.exists && b.exists && a.dev == b.dev && a.ino == b.ino;
}

EInOutError InOutErrorNaming(int err, const std::string& path) {
    const EInOutError e = InOutErrorFromErrno(err);
    return EInOutError(e.ErrorCode(), e.Message() + ": " + path);
}

// A backup name that could not be made. A file system that gives a file no second name (FAT,
// many network shares) says so, as the replace of a table with its index needs one.
EInOutError LinkError(int err, const std::string& path) {
    const EInOutError e = InOutErrorNaming(err, path);
    if (err != EPERM && err != EOPNOTSUPP && err != ENOSYS)
        return e;
    return EInOutError(e.ErrorCode(), e.Message() +
                                          " (this file system gives a file no second name, which "
                                          "replacing a table with its index needs)");
}

std::string StemOf(const std::string& path) {
    const std::string name = ExtractFileName(path);
    const auto dot = name.rfind('.');
    return ExtractFilePath(path) + (dot == std::string::npos ? name : name.substr(0, dot));
}
}  // namespace

std::string CompanionPathFor(const std::string& tablePath, const std::string& ext) {
    return StemOf(tablePath) + ext;
}

std::string FindCompanion(const std::string& tablePath, const std::string& ext) {
    const std::string wanted = ExtractFileName(CompanionPathFor(tablePath, ext));
    const std::string folder = ExtractFilePath(tablePath);
    const std::string found = FindFileNoCase(folder.empty() ? "." : folder, wanted);
    return found.empty() ? std::string() : folder + found;
}

std::vector<std::string> FindCompanions(const std::string& tablePath,
                                        const std::vector<std::string>& exts) {
    std::vector<std::string> out;
    for (const auto& e : exts) {
        std::string p = FindCompanion(tablePath, e);
        if (!p.empty())
            out.push_back(std::move(p));
    }
    return out;
}

std::string TemporaryPathFor(const std::string& path, const std::string& purpose) {
    return ExtractFilePath(path) + "." + ExtractFileName(path) + "." + purpose + kTempSuffix;
}

std::string BackupPathFor(const std::string& path) {
    return TemporaryPathFor(path, kBackupPurpose);
}

bool IsEngineTemporaryName(const std::string& name) {
    return name.size() > 5 && name[0] == '.' && name.compare(name.size() - 4, 4, kTempSuffix) == 0;
}

bool RemoveStaleTemporary(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return errno == ENOENT;
    // A live writer holds a write lock on its temporary file; without one it is a leftover.
    const bool free = TryLockWholeFile(fd, true);
    bool removed = false;
    if (free)
        removed = ::unlink(path.c_str()) == 0 || errno == ENOENT;
    ::close(fd);
    return removed;
}

TemporaryFile::TemporaryFile(const std::string& forPath, const std::string& purpose)
    : path_(TemporaryPathFor(forPath, purpose)) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd_ >= 0)
            break;
        if (errno != EEXIST || attempt > 0 || !RemoveStaleTemporary(path_)) {
            const int err = errno == EEXIST ? EBUSY : errno;
            const EInOutError e = InOutErrorFromErrno(err);
            throw EInOutError(e.ErrorCode(), e.Message() + ": " + path_);
        }
    }
    auto undo = [this] {
        ::unlink(path_.c_str());
        ::close(fd_);
        fd_ = -1;
    };
    if (!TryLockWholeFile(fd_, true)) {
        undo();
        const EInOutError e = InOutErrorFromErrno(EBUSY);
        throw EInOutError(e.ErrorCode(), e.Message() + ": " + path_);
    }
    try {
        CarryFileAttributes(forPath, fd_);
    } catch (const EInOutError&) {
        undo();
        throw;
    }
}

TemporaryFile::~TemporaryFile() {
    Discard();
}

int TemporaryFile::Release() {
    const int fd = fd_;
    fd_ = -1;
    path_.clear();
    return fd;
}

void TemporaryFile::Discard() {
    if (fd_ >= 0) {
        ::unlink(path_.c_str());  // before close: the lock keeps others from taking it meanwhile
        ::close(fd_);
        fd_ = -1;
    }
}

void RecoverInterruptedReplace(TableLease& lease) {
    if (lease.Mode() != ShareMode::Exclusive)
        return;
    const std::vector<std::string> files = lease.Files();
    if (files.empty())
        return;
    const std::string& mainPath = files.front();
    const std::string mainBackup = BackupPathFor(mainPath);
    const FileId mainId = IdOf(mainPath);
    const FileId mainBackupId = IdOf(mainBackup);
    struct Kept {
        std::string backup;
        bool sameAsLive;  // the live file was not replaced
    };
    std::vector<Kept> companions;  // the companions that have a backup
    for (size_t i = 1; i < files.size(); ++i) {
        const std::string backup = BackupPathFor(files[i]);
        const FileId backupId = IdOf(backup);
        if (backupId.exists)
            companions.push_back({backup, SameFile(backupId, IdOf(files[i]))});
    }
    if (!mainBackupId.exists && companions.empty())
        return;
    const std::string folder = ExtractFilePath(mainPath);
    const bool mainReplaced = mainBackupId.exists && !SameFile(mainBackupId, mainId);
    bool companionKept = false, companionReplaced = false;
    for (const auto& c : companions) {
        companionKept = companionKept || c.sameAsLive;
        companionReplaced = companionReplaced || !c.sameAsLive;
    }

    if (mainReplaced && companionKept) {
        // Ended between the two renames: the new table with the old companion. Put the old table
        // back, so that the old pair is in place again, and hold it instead of the new one.
        const int fd = ::open(mainBackup.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) {
            const EInOutError e = InOutErrorNaming(errno, mainBackup);
            RaiseEngineError(kStatusWriteError, {"Table: " + mainPath, e.Message()});
        }
        struct stat st;
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_dev != mainBackupId.dev ||
            st.st_ino != mainBackupId.ino) {
            ::close(fd);
            RaiseEngineError(kStatusWriteError,
                             {"Table: " + mainPath, "The table before an interrupted change, " +
                                                        mainBackup + ", changed while read."});
        }
        if (!TryLockWholeFile(fd, true)) {
            ::close(fd);
            RaiseEngineError(kStatusTableInUse, {"Table: " + mainPath,
                                                 "Another program holds " + mainBackup +
                                                     ", the table before an interrupted change."});
        }
        try {
            RenameFile(mainBackup, mainPath);
        } catch (const EInOutError& e) {
            ::close(fd);
            RaiseEngineError(
                kStatusWriteError,
                {"Table: " + mainPath, e.Message(),
                 "The table before an interrupted change is kept as " + mainBackup + "."});
        }
        lease.Replace(mainPath, fd);
        // The rename reaches the disk before the mark of the interrupted change goes.
        SyncFolder(folder);
        for (const auto& c : companions)
            if (c.sameAsLive)
                ::unlink(c.backup.c_str());
        SyncFolder(folder);
        return;
    }
    // A backup that is a second name of a file held here is nobody else's: it goes. A backup of
    // a replaced file goes once the companion was replaced too (the table is renamed first), and
    // only when no process holds it. A table backup alone that differs from the table is not
    // a state a replace leaves: it is kept.
    if (mainBackupId.exists && !mainReplaced)
        ::unlink(mainBackup.c_str());
    for (const auto& c : companions)
        if (c.sameAsLive)
            ::unlink(c.backup.c_str());
    if (companionReplaced) {
        if (mainReplaced)
            RemoveStaleTemporary(mainBackup);
        for (const auto& c : companions)
            if (!c.sameAsLive)
                RemoveStaleTemporary(c.backup);
    }
    SyncFolder(folder);
}

void ReplaceTableFiles(const std::string& mainPath, TemporaryFile& newMain,
                       const std::string& companionPath, TemporaryFile* newCompanion,
                       TableLease& lease) {
    const std::string folder = ExtractFilePath(mainPath);
    std::string mainBackup, companionBackup;  // set once this call has made them
    try {
        if (newCompanion) {
            RecoverInterruptedReplace(lease);
            const std::string mainKeep = BackupPathFor(mainPath);
            const std::string companionKeep = BackupPathFor(companionPath);
            RemoveStaleTemporary(mainKeep);
            RemoveStaleTemporary(companionKeep);
            if (::link(mainPath.c_str(), mainKeep.c_str()) != 0)
                throw LinkError(errno, mainKeep);
            mainBackup = mainKeep;
            if (::link(companionPath.c_str(), companionKeep.c_str()) != 0)
                throw LinkError(errno, companionKeep);
            companionBackup = companionKeep;
        }
        RenameFile(newMain.Path(), mainPath);
        try {
            if (newCompanion)
                RenameFile(newCompanion->Path(), companionPath);
        } catch (const EInOutError& e) {
            // Put the old table file back; if even that fails its backup name keeps it, and the
            // companion's backup tells the next holder of the table to put it back.
            if (::rename(mainBackup.c_str(), mainPath.c_str()) != 0) {
                RaiseEngineError(kStatusWriteError,
                                 {"Table: " + mainPath, e.Message(),
                                  "The table before the change is kept as " + mainBackup + "."});
            }
            throw;
        }
    } catch (const EInOutError& e) {
        if (!mainBackup.empty())
            ::unlink(mainBackup.c_str());
        if (!companionBackup.empty())
            ::unlink(companionBackup.c_str());
        SyncFolder(folder);
        RaiseEngineError(kStatusWriteError, {"Table: " + mainPath, e.Message()});
    }
    SyncFolder(folder);
    if (!mainBackup.empty())
        ::unlink(mainBackup.c_str());
    if (!companionBackup.empty())
        ::unlink(companionBackup.c_str());
    lease.Replace(mainPath, newMain.Release());
    if (newCompanion)
        lease.Replace(companionPath, newCompanion->Release());
}

}  // namespace ari::engine
