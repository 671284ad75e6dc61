#include "engine/table/TableFiles.h"

#include <algorithm>
#include <cctype>
#include <cerrno>

#include "engine/EngineErrors.h"
#include "engine/EngineStatus.h"
#include "engine/index/ProductionIndex.h"
#include "engine/table/DbfFile.h"
#include "engine/table/FileOps.h"
#include "engine/table/TableDamage.h"
#include "engine/table/TableLock.h"
#include "platform/FileAccess.h"
#include "platform/FileErrors.h"
#include "platform/FileNames.h"
#include "platform/Files.h"

namespace ari::engine {

namespace {
// The identity of the file at a path (not following a final symbolic link): `exists` false when
// there is none.
struct PathId {
    bool exists = false;
    FileId id;
};

PathId IdOf(const std::string& path) {
    FileInfo info;
    if (Env::Default()->PathInfo(path, false, &info) != 0)
        return {};
    return {true, info.id};
}

bool SameFile(const PathId& a, const PathId& b) {
    return a.exists && b.exists && a.id == b.id;
}

int RemoveName(const std::string& path) {
    return Env::Default()->Remove(path);
}

EInOutError InOutErrorNaming(const EInOutError& e, const std::string& path) {
    return EInOutError(e.ErrorCode(), e.Message() + ": " + path, path);
}

EInOutError InOutErrorNaming(int err, const std::string& path) {
    return InOutErrorNaming(InOutErrorFromErrno(err), path);
}

// A backup name that could not be made. A file system that gives a file no second name (FAT,
// many network shares) says so, as the replace of a table with its index needs one.
EInOutError LinkError(int err, const std::string& path) {
    const EInOutError e = InOutErrorNaming(err, path);
    if (err != EPERM && err != EOPNOTSUPP && err != ENOSYS)
        return e;
    return EInOutError(e.ErrorCode(),
                       e.Message() +
                           " (this file system gives a file no second name, which "
                           "replacing a table with its index needs)",
                       path);
}

// Another program put a file under the name of a file held for sole use, or took the held one
// away from it, while it was being replaced: the other file is left as it is.
struct NameTaken {
    std::string path;
};

const char kNameTakenLine[] =
    "Another program put another file under this name while the table was held for sole use; "
    "that file was left as it is and nothing was replaced.";

// Renames `from` over `to`, which this process holds as `held`, only while `to` still names
// that file (Env::RenameOverHeld). Throws NameTaken when it does not, EInOutError naming `to`
// on any other failure.
void RenameOverHeldFile(const std::string& from, const std::string& to, FileHandle held) {
    if (held == kNoFile) {
        // Nothing held under the name (a new companion): it must still be free.
        if (KindOfName(to) != NameKind::Missing)
            throw NameTaken{to};
        RenameFile(from, to);
        return;
    }
    if (Env::Default()->RenameOverHeld(from, to, held) == 0)
        return;
    if (errno == kNameChanged)
        throw NameTaken{to};
    throw InOutErrorNaming(errno, to);
}

// A dBASE production index, which the engine can build afresh from its own tag definitions.
bool IsProductionIndexName(const std::string& path) {
    return HasExtension(path, kProductionIndexExtension);
}

// The backups a replace made (hard links of the old files); removed when it ends, unless a
// failed put-back left an old file only under its backup name.
struct Backups {
    std::string main, companion;
    bool keep = false;
    void Remove() {
        if (!keep) {
            if (!main.empty())
                RemoveName(main);
            if (!companion.empty())
                RemoveName(companion);
        }
        main.clear();
        companion.clear();
    }
    ~Backups() { Remove(); }
};

// A replace whose proof of sole use was lost during its renames (`lost` names the file): the old
// files are renamed back from their backups, the leases released so that the program that
// opened an old file goes on with it, and the replace is refused as "table in use" (a write
// error when an old file could not be put back: it is then kept under its backup name).
[[noreturn]] void PutBackAfterLostProof(const std::string& mainPath,
                                        const std::string& companionPath, Backups& backups,
                                        const std::string& lost, TableLease& lease,
                                        FileHandle newMain, FileHandle newCompanion) {
    std::vector<std::string> lines{"File: " + lost,
                                   "Another program opened the file while it was replaced; the "
                                   "change was undone."};
    bool failed = false;
    if (!backups.companion.empty()) {
        if (Env::Default()->RenameOverHeld(backups.companion, companionPath, newCompanion) == 0) {
            backups.companion.clear();
        } else {
            failed = true;
            lines.push_back("The index before the change is kept as " + backups.companion + ".");
        }
    }
    if (!backups.main.empty()) {
        if (Env::Default()->RenameOverHeld(backups.main, mainPath, newMain) == 0) {
            backups.main.clear();
        } else {
            failed = true;
            lines.push_back("The table before the change is kept as " + backups.main + ".");
        }
    } else {
        lines[1] = "Another program opened the file while it was replaced.";
        lines.push_back(
            "The new file is in place: this file system keeps no second name of the "
            "old one to put back.");
    }
    backups.keep = failed;
    SyncFolder(ExtractFilePath(mainPath));
    lease.ReleaseProofs();
    RaiseEngineError(failed ? kStatusWriteError : kStatusTableInUse, lines, lost,
                     failed ? ErrorKind::Other : ErrorKind::InUse);
}

}  // namespace

namespace {

// "<base>.rpl-XXXXXX" or "<base>.del-XXXXXX": the kind ("rpl" or "del") and the base, or "".
std::string AsideKind(const std::string& name, std::string* base) {
    constexpr size_t kTail = 11;  // ".rpl-" and six characters
    if (name.size() <= kTail || name[name.size() - kTail] != '.' ||
        name[name.size() - kTail + 4] != '-')
        return {};
    const std::string kind = name.substr(name.size() - kTail + 1, 3);
    if (kind != "rpl" && kind != "del")
        return {};
    for (size_t i = name.size() - 6; i < name.size(); ++i)
        if (!std::isalnum(static_cast<unsigned char>(name[i])))
            return {};
    *base = name.substr(0, name.size() - kTail);
    return kind;
}

}  // namespace

std::vector<std::string> SettleLeftovers(const std::string& folder) {
    std::vector<std::string> said;
    std::vector<std::string> names;
    if (Env::Default()->ListFolder(folder.empty() ? "." : folder, &names) != 0)
        return said;
    std::sort(names.begin(), names.end());
    const std::string backupTail = std::string(".") + kBackupPurpose + ".tmp";
    for (const std::string& name : names) {
        const std::string path = folder + name;
        std::string base;
        const std::string kind = AsideKind(name, &base);
        if (kind == "rpl" && KindOfName(folder + base) == NameKind::Missing &&
            KindOfName(path) == NameKind::Regular) {
            // Renamed aside, and the new file never took the name: the old one goes back, by a
            // rename that never replaces a file put there meanwhile (no second name needed, as
            // FAT has none).
            if (RenameNoReplace(path, folder + base)) {
                said.push_back(folder + base + " put back from " + name +
                               ", where an interrupted pass had left it");
            }
            continue;
        }
        const bool temporary =
            IsEngineTemporaryName(name) &&
            !(name.size() > backupTail.size() &&
              name.compare(name.size() - backupTail.size(), backupTail.size(), backupTail) == 0);
        if ((kind.empty() && !temporary) || KindOfName(path) != NameKind::Regular)
            continue;
        if (RemoveStaleTemporary(path) && KindOfName(path) == NameKind::Missing)
            said.push_back(path + " removed, left by an interrupted pass");
    }
    if (!said.empty())
        SyncFolder(folder);
    return said;
}

void RaiseNameTaken(const std::string& path) {
    RaiseEngineError(kStatusTableInUse, {"File: " + path, kNameTakenLine}, path, ErrorKind::InUse);
}

EInOutError TakenNameError(int err, const std::string& path) {
    FileInfo info;
    if (Env::Default()->PathInfo(path, false, &info) == 0 && info.kind == NameKind::Folder) {
        return EInOutError(kAccessDenied,
                           path +
                               " is a folder, where the engine keeps a file of its own while it "
                               "replaces the table's files; nothing was changed (move the folder "
                               "away)",
                           path);
    }
    return InOutErrorNaming(err, path);
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

bool RemoveStaleTemporary(const std::string& path) {
    FileInfo info;
    if (Env::Default()->PathInfo(path, false, &info) != 0)
        return errno == ENOENT;
    if (info.kind == NameKind::Folder)
        return false;
    if (info.kind != NameKind::Regular)
        return RemoveName(path) == 0 || errno == ENOENT;
    // A second name of a file this process holds is opened as the held descriptor (an own
    // second open would break its lease).
    const FileHandle fd = OpenTableFile(path, kOpenReadWrite | kOpenNoFollow);
    if (fd < 0)
        return errno == ENOENT;
    // A live writer holds a write lock on its temporary file; without one it is a leftover.
    const bool free = TryLockWholeFile(fd, true);
    bool removed = false;
    if (free)
        removed = RemoveName(path) == 0 || errno == ENOENT;
    Env::Default()->Close(fd);
    return removed;
}

TemporaryFile::TemporaryFile(const std::string& forPath, const std::string& purpose)
    : path_(TemporaryPathFor(forPath, purpose)) {
    try {
        file_ = std::make_unique<AtomicFile>(forPath, path_, AtomicFile::Naming::Exact,
                                             RemoveStaleTemporary);
    } catch (const EInOutError& e) {
        if (e.ErrorCode() == kSharingViolation)  // the name stayed taken
            throw TakenNameError(EBUSY, path_);
        throw InOutErrorNaming(e, path_);
    }
    if (!TryLockWholeFile(file_->Fd(), true)) {
        file_.reset();
        throw InOutErrorNaming(InOutErrorFromErrno(EBUSY), path_);
    }
    file_->CarryAttributes();  // on failure the member's destructor removes the file
}

TemporaryFile::~TemporaryFile() {
    Discard();
}

FileHandle TemporaryFile::Release() {
    const FileHandle fd = file_ ? file_->Release() : -1;
    file_.reset();
    path_.clear();
    return fd;
}

void TemporaryFile::Discard() {
    // The file goes before its descriptor: the lock keeps others from taking it meanwhile.
    file_.reset();
}

void RecoverInterruptedReplace(TableLease& lease) {
    if (lease.Mode() != ShareMode::Exclusive)
        return;
    const std::vector<std::string> files = lease.Files();
    if (files.empty())
        return;
    const std::string& mainPath = files.front();
    const std::string mainBackup = BackupPathFor(mainPath);
    const PathId mainId = IdOf(mainPath);
    const PathId mainBackupId = IdOf(mainBackup);
    struct Kept {
        std::string path;
        std::string backup;
        bool sameAsLive;  // the live file was not replaced
    };
    std::vector<Kept> companions;  // the companions that have a backup
    for (size_t i = 1; i < files.size(); ++i) {
        const std::string backup = BackupPathFor(files[i]);
        const PathId backupId = IdOf(backup);
        if (backupId.exists)
            companions.push_back({files[i], backup, SameFile(backupId, IdOf(files[i]))});
    }
    if (!mainBackupId.exists && companions.empty())
        return;
    const std::string folder = ExtractFilePath(mainPath);
    const bool mainReplaced = mainBackupId.exists && !SameFile(mainBackupId, mainId);
    bool companionKept = false, companionReplaced = false, keptAreIndexes = true;
    for (const auto& c : companions) {
        companionKept = companionKept || c.sameAsLive;
        companionReplaced = companionReplaced || !c.sameAsLive;
        if (c.sameAsLive)
            keptAreIndexes = keptAreIndexes && IsProductionIndexName(c.path);
    }

    if (mainReplaced && companionKept && keptAreIndexes) {
        // Ended between the two renames of a pack: the new table, flushed before its rename,
        // with the old production index. Whatever was written to the table since is in it, so
        // the table stays and the index follows it: built afresh from the table's records with
        // the old index's own tag definitions, under the pack's temporary name (so the ended
        // pack's unfinished index goes as the leftover it is), then renamed over the old one.
        for (const auto& c : companions) {
            if (!c.sameAsLive)
                continue;
            try {
                // Checked first, so that an index that cannot be built from changes nothing.
                RefuseDamagedIndex(*DbfFile::OpenHeld(mainPath), c.path);
                TemporaryFile fresh(c.path, kPackPurpose);
                RebuildProductionIndex(mainPath, c.path, fresh.Fd(), fresh.Path());
                RenameFile(fresh.Path(), c.path);
                lease.Replace(c.path, fresh.Release());
            } catch (const Exception& e) {
                const std::string ended =
                    "A pack ended between replacing the table and its index " + c.path +
                    "; the packed table is kept, and the index is built again the next time the "
                    "table is held for sole use.";
                // An engine error already names the table; an I/O error is a failed write.
                if (const auto* engine = dynamic_cast<const EDBEngineError*>(&e))
                    throw EDBEngineError(engine->ErrorCode(), {e.Message(), ended}, e.File(),
                                         e.Kind());
                RaiseTableErrorCausedBy(kStatusWriteError, mainPath, e, {ended});
            }
        }
        // The new index reaches the disk before the marks of the interrupted change go. The old
        // table's backup goes once no process holds it; the old index was held here.
        SyncFolder(folder);
        RemoveStaleTemporary(mainBackup);
        for (const auto& c : companions)
            if (c.sameAsLive)
                RemoveName(c.backup);
        SyncFolder(folder);
        return;
    }
    if (mainReplaced && companionKept) {
        // Ended between the two renames, with a companion the engine cannot build afresh here
        // (a Paradox primary index): put the old table back, so that the old pair is in place
        // again, and hold it instead of the new one.
        const FileHandle fd =
            Env::Default()->Open(mainBackup, kOpenReadWrite | kOpenNoFollow | kOpenSoleUse);
        if (fd < 0) {
            RaiseTableErrorCausedBy(kStatusWriteError, mainPath,
                                    InOutErrorNaming(errno, mainBackup));
        }
        FileInfo st;
        if (Env::Default()->Info(fd, &st) != 0 || st.kind != NameKind::Regular ||
            st.id != mainBackupId.id) {
            Env::Default()->Close(fd);
            RaiseTableError(kStatusWriteError, mainPath,
                            {"The table before an interrupted change, " + mainBackup +
                             ", changed while read."});
        }
        if (!TryLockWholeFile(fd, true)) {
            Env::Default()->Close(fd);
            RaiseTableError(kStatusTableInUse, mainPath,
                            {"Another program holds " + mainBackup +
                             ", the table before an interrupted change."});
        }
        try {
            RenameFile(mainBackup, mainPath);
        } catch (const EInOutError& e) {
            Env::Default()->Close(fd);
            RaiseTableErrorCausedBy(
                kStatusWriteError, mainPath, e,
                {"The table before an interrupted change is kept as " + mainBackup + "."});
        }
        lease.Replace(mainPath, fd);
        // The rename reaches the disk before the mark of the interrupted change goes.
        SyncFolder(folder);
        for (const auto& c : companions)
            if (c.sameAsLive)
                RemoveName(c.backup);
        SyncFolder(folder);
        return;
    }
    // A backup that is a second name of a file held here is nobody else's: it goes. A backup of
    // a replaced file goes once the companion was replaced too (the table is renamed first), and
    // only when no process holds it. A table backup alone that differs from the table is not
    // a state a replace leaves: it is kept.
    if (mainBackupId.exists && !mainReplaced)
        RemoveName(mainBackup);
    for (const auto& c : companions)
        if (c.sameAsLive)
            RemoveName(c.backup);
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
                       TableLease& lease, const std::function<bool()>& asRead) {
    const std::string folder = ExtractFilePath(mainPath);
    const SoleUseHold hold(lease);  // the caller's, when it holds one
    Backups backups;                // removed on every way out but a failed put-back
    try {
        // Nobody else has any of the files open, and nobody opened one since it was proven.
        lease.CheckSoleUse();
        if (newCompanion)
            RecoverInterruptedReplace(lease);
        // The old files keep a second name until the end, so that a failed second rename, and
        // an open of an old file that arrives while they are renamed, can be undone. One file on
        // a file system without second names is replaced without (nothing else needs undoing).
        const std::string mainKeep = BackupPathFor(mainPath);
        RemoveStaleTemporary(mainKeep);
        if (Env::Default()->Link(mainPath, mainKeep) == 0)
            backups.main = mainKeep;
        else if (errno == EEXIST)
            throw TakenNameError(errno, mainKeep);
        else if (newCompanion || (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS))
            throw LinkError(errno, mainKeep);
        if (newCompanion) {
            const std::string companionKeep = BackupPathFor(companionPath);
            RemoveStaleTemporary(companionKeep);
            if (Env::Default()->Link(companionPath, companionKeep) != 0)
                throw errno == EEXIST ? TakenNameError(errno, companionKeep)
                                      : LinkError(errno, companionKeep);
            backups.companion = companionKeep;
        }
        // The new files are proven too, so that an open of one after its rename is seen; then
        // the last check before the renames.
        lease.ProveNewFile(newMain.Fd(), newMain.Path());
        if (newCompanion)
            lease.ProveNewFile(newCompanion->Fd(), newCompanion->Path());
        lease.CheckSoleUse();
        if (asRead && !asRead()) {
            lease.ReleaseProofs();
            RaiseFileError(kStatusTableInUse, mainPath,
                           {"Another program wrote to the file while it was held for sole use."});
        }
        // Each name must still hold the very file proven ours: one that another program put
        // there meanwhile is never renamed over.
        RenameOverHeldFile(newMain.Path(), mainPath, lease.HeldHandle(mainPath));
        try {
            if (newCompanion)
                RenameOverHeldFile(newCompanion->Path(), companionPath,
                                   lease.HeldHandle(companionPath));
        } catch (...) {
            // Put the old table file back; if even that fails its backup name keeps it, and the
            // companion's backup tells the next holder of the table to put it back.
            if (Env::Default()->RenameOverHeld(backups.main, mainPath, newMain.Fd()) != 0) {
                backups.keep = true;
                const std::vector<std::string> kept{"The table before the change is kept as " +
                                                    backups.main + "."};
                try {
                    throw;
                } catch (const EInOutError& e) {
                    RaiseTableErrorCausedBy(kStatusWriteError, mainPath, e, kept);
                } catch (const NameTaken& taken) {
                    std::vector<std::string> lines{"File: " + taken.path, kNameTakenLine};
                    lines.insert(lines.end(), kept.begin(), kept.end());
                    RaiseEngineError(kStatusWriteError, lines, mainPath, ErrorKind::Other);
                }
            }
            backups.main.clear();
            throw;
        }
    } catch (const EInOutError& e) {
        backups.Remove();
        SyncFolder(folder);
        RaiseTableErrorCausedBy(kStatusWriteError, mainPath, e);
    } catch (const NameTaken& taken) {
        backups.Remove();
        SyncFolder(folder);
        lease.ReleaseProofs();
        RaiseEngineError(kStatusTableInUse, {"File: " + taken.path, kNameTakenLine}, taken.path,
                         ErrorKind::InUse);
    }
    // A program that opened an old file between the last check and the renames waits for the
    // lease (or was found by the look through /proc): the old files go back before it goes on.
    std::string lost = lease.LostProof();
    if (lost.empty() && asRead && !asRead())
        lost = mainPath;
    if (!lost.empty()) {
        PutBackAfterLostProof(mainPath, companionPath, backups, lost, lease, newMain.Fd(),
                              newCompanion ? newCompanion->Fd() : kNoFile);
    }
    SyncFolder(folder);
    backups.Remove();
    lease.Replace(mainPath, newMain.Release());
    if (newCompanion)
        lease.Replace(companionPath, newCompanion->Release());
}

}  // namespace ari::engine
