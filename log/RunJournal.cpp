#include "log/RunJournal.h"

#include <cerrno>
#include <cstdio>
#include <exception>
#include <utility>

#include "platform/Env.h"
#include "platform/FileNames.h"

namespace ari {

namespace {

constexpr unsigned kJournalPermissions = 0640;
constexpr unsigned kLockPermissions = 0600;

// Never waits on a pipe, never follows a link, never writes a device: a name that holds
// anything else than a regular file is refused before it is opened, and what was opened is
// checked again on the descriptor (the name may have changed in between).
constexpr unsigned kOpenOnlyAFile = kOpenNoFollow | kOpenNonBlocking;

bool NothingOrARegularFile(const std::string& path) {
    const NameKind kind = KindOfName(path);
    return kind == NameKind::Missing || kind == NameKind::Regular;
}

FileHandle OpenRegular(const std::string& path, unsigned flags, unsigned permissions,
                       FileInfo* info) {
    Env* env = Env::Default();
    if (!NothingOrARegularFile(path))
        return kNoFile;
    const FileHandle fd = env->Open(path, flags | kOpenOnlyAFile, permissions);
    if (fd < 0)
        return kNoFile;
    if (env->Info(fd, info) != 0 || info->kind != NameKind::Regular) {
        env->Close(fd);
        return kNoFile;
    }
    return fd;
}

// The writers' lock file, open for reading (enough for flock); created when missing, open to
// those who may write the journal: its owner (given the journal's owner and group when the
// system allows), and its group or others only when the journal is writable by them.
// kNoFile when it cannot be had.
FileHandle OpenWritersLock(const std::string& lockPath, const std::string& journalPath) {
    Env* env = Env::Default();
    FileInfo journal;
    const bool hasJournal =
        env->PathInfo(journalPath, false, &journal) == 0 && journal.kind == NameKind::Regular;
    unsigned permissions = kLockPermissions;
    if (hasJournal && (journal.permissions & 0020))
        permissions |= 0060;
    if (hasJournal && (journal.permissions & 0002))
        permissions |= 0006;
    FileInfo info;
    FileHandle fd =
        OpenRegular(lockPath, kOpenRead | kOpenCreate | kOpenExclusive, permissions, &info);
    if (fd >= 0) {
        // Made here: exactly these bits (the umask may have taken some), then the owner.
        env->SetPermissions(fd, permissions);
        if (hasJournal)
            env->CarryOwner(journalPath, fd);
        return fd;
    }
    return OpenRegular(lockPath, kOpenRead, 0, &info);  // made before, or refused
}

// True when `path` names the file open on `fd`: a program that is not ours (an administrator's
// rotation) may have renamed it after it was opened.
bool NamesOpenFile(const std::string& path, FileHandle fd, FileInfo* byFd) {
    Env* env = Env::Default();
    FileInfo byPath;
    return env->PathInfo(path, false, &byPath) == 0 && env->Info(fd, byFd) == 0 &&
           byPath.id == byFd->id;
}

bool WriteAll(FileHandle fd, const char* p, size_t left) {
    while (left > 0) {
        const int64_t n = Env::Default()->Write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

RunJournal::RunJournal(const std::string& folder, std::uint64_t limit, int keep)
    : limit_(limit), keep_(keep < 1 ? 1 : keep) {
    std::string prefix = folder;
    if (!prefix.empty() && prefix.back() != '/')
        prefix += '/';
    path_ = prefix + kFileName;
    lockPath_ = prefix + kLockFileName;
}

bool RunJournal::Rotate() const {
    const auto old = [this](int n) { return GenerationPathFor(path_, n); };
    for (int n = 1; n <= keep_; ++n)
        if (!NothingOrARegularFile(old(n)))
            return false;
    Env* env = Env::Default();
    if (KindOfName(old(keep_)) == NameKind::Regular && env->Remove(old(keep_)) != 0)
        return false;
    for (int n = keep_ - 1; n >= 1; --n)
        if (KindOfName(old(n)) == NameKind::Regular && env->Rename(old(n), old(n + 1)) != 0)
            return false;
    return env->Rename(path_, old(1)) == 0;
}

std::vector<std::string> RunJournal::ReadOldestFirst() const {
    // Generations as far as they go, whatever `keep` was when they were written.
    constexpr int kMostGenerations = 999;
    std::vector<std::string> paths{path_};
    for (int n = 1; n <= kMostGenerations; ++n) {
        const std::string old = GenerationPathFor(path_, n);
        if (KindOfName(old) == NameKind::Missing)
            break;
        paths.insert(paths.begin(), old);
    }
    Env* env = Env::Default();
    std::vector<std::string> out;
    for (const std::string& path : paths) {
        FileInfo info;
        const FileHandle fd = OpenRegular(path, kOpenRead, 0, &info);
        if (fd < 0)
            continue;
        std::string text(static_cast<size_t>(info.size), '\0');
        size_t done = 0;
        while (done < text.size()) {
            const int64_t n = env->ReadAt(fd, done, text.data() + done, text.size() - done);
            if (n <= 0)
                break;
            done += static_cast<size_t>(n);
        }
        env->Close(fd);
        text.resize(done);
        out.push_back(std::move(text));
    }
    return out;
}

bool RunJournal::Append(const std::string& text) const {
    std::string bytes = text;
    if (bytes.empty() || bytes.back() != '\n')
        bytes += '\n';
    Env* env = Env::Default();
    const FileHandle lock = OpenWritersLock(lockPath_, path_);
    if (lock < 0)
        return false;
    int locked;
    do
        locked = env->LockWholeFileWaiting(lock);
    while (locked != 0 && errno == EINTR);
    const bool written = locked == 0 && AppendLocked(bytes.data(), bytes.size());
    env->Close(lock);  // lets the next writer in
    return written;
}

bool RunJournal::AppendLocked(const char* data, size_t size) const {
    Env* env = Env::Default();
    bool rotated = false;
    for (int attempt = 0; attempt < 8; ++attempt) {
        FileInfo st;
        FileHandle fd = kNoFile;
        if (rotated) {
            // The new file gets what the administrator gave the old one.
            fd = OpenRegular(path_, kOpenWrite | kOpenAppend | kOpenCreate | kOpenExclusive,
                             kJournalPermissions, &st);
            if (fd >= 0) {
                try {
                    env->CarryAttributes(GenerationPathFor(path_, 1), fd);
                } catch (const std::exception&) {
                    // An attribute that cannot be carried leaves the new file as created.
                }
            }
            rotated = false;
        }
        if (fd < 0)
            fd = OpenRegular(path_, kOpenWrite | kOpenAppend | kOpenCreate, kJournalPermissions,
                             &st);
        if (fd < 0)
            return false;
        if (!NamesOpenFile(path_, fd, &st)) {
            // Renamed by someone else meanwhile: the name holds a new file now.
            env->Close(fd);
            continue;
        }
        if (st.size > 0 && st.size + size > limit_) {
            env->Close(fd);
            if (!Rotate())
                return false;
            rotated = true;
            continue;
        }
        const bool written = WriteAll(fd, data, size);
        env->Close(fd);
        return written;
    }
    return false;
}

}  // namespace ari
