#include "engine/TableLock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <mutex>

#include "engine/EngineStatus.h"
#include "engine/TableFiles.h"
#include "platform/FileAccess.h"
#include "platform/FileErrors.h"

namespace ari::engine {

namespace {

struct Key {
    uint64_t dev, ino;
    bool operator<(const Key& o) const { return dev != o.dev ? dev < o.dev : ino < o.ino; }
};

// This process's tables: shared holders share one descriptor with the read lock; a table held
// for sole use is marked so that a second component of this process is refused at once.
struct Entry {
    ShareMode mode = ShareMode::Shared;
    int sharedCount = 0;
    int sharedFd = -1;
};

std::mutex registryMutex;
std::map<Key, Entry>& Registry() {
    static std::map<Key, Entry> registry;
    return registry;
}

bool SetLock(int fd, short type, uint64_t start, uint64_t len) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(start);
    fl.l_len = static_cast<off_t>(len);
    fl.l_pid = 0;
    return ::fcntl(fd, F_OFD_SETLK, &fl) == 0;
}

[[noreturn]] void RaiseOpenError(int err, const std::string& path) {
    if (err == ENOENT)
        RaiseEngineError(kStatusTableNotFound, {"File: " + path});
    RaiseEngineError(kStatusReadError,
                     {"File: " + path, FileErrorMessage(FileErrorFromErrno(err))});
}

bool StatKey(int fd, Key& key) {
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return false;
    key = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
    return true;
}

[[noreturn]] void RaiseInUse(int fd, const std::string& path, bool exclusiveWanted) {
    bool dbaseRegion = false;
    std::string what = DescribeConflictingLock(fd, &dbaseRegion);
    if (what.empty())
        what = exclusiveWanted ? "Another program has the file open."
                               : "Another program holds the file for sole use.";
    RaiseEngineError(dbaseRegion ? kStatusRecordsLocked : kStatusTableInUse,
                     {"File: " + path, what});
}

// Sole use is taken to change or replace the files: a symbolic link is refused, so that a
// replace never turns a link into a second, diverging copy. Shared use reads through one.
int OpenForLock(const std::string& path, bool write) {
    try {
        return OpenRegularFile(path, write ? O_RDWR : O_RDONLY,
                               write ? LinkPolicy::Refuse : LinkPolicy::Follow);
    } catch (const EInOutError& e) {
        if (e.ErrorCode() == kFileNotFound)
            RaiseEngineError(kStatusTableNotFound, {"File: " + path});
        if (e.Message() == FileErrorMessage(e.ErrorCode()))  // the open itself failed
            RaiseEngineError(kStatusReadError, {"File: " + path, e.Message()});
        RaiseEngineError(kStatusNotATableFile, {"File: " + path, e.Message() + "."});
    }
}

}  // namespace

bool TryLockWholeFile(int fd, bool write) {
    return SetLock(fd, write ? F_WRLCK : F_RDLCK, 0, 0);
}

std::string DescribeConflictingLock(int fd, bool* inDbaseRegion) {
    if (inDbaseRegion)
        *inDbaseRegion = false;
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 0;
    fl.l_pid = 0;
    if (::fcntl(fd, F_OFD_GETLK, &fl) != 0 || fl.l_type == F_UNLCK)
        return {};
    const uint64_t start = static_cast<uint64_t>(fl.l_start);
    const bool dbase = start >= kDbaseLockBase - kDbaseRecordLockSpan && start <= kDbaseAppendLock;
    if (inDbaseRegion)
        *inDbaseRegion = dbase;
    std::string who = fl.l_pid > 0 ? " (process " + std::to_string(fl.l_pid) + ")" : "";
    if (dbase) {
        if (start >= kDbaseLockBase)
            return "Another program" + who + " has locked the table for update.";
        return "Another program" + who + " has locked record " +
               std::to_string(kDbaseLockBase - start) + ".";
    }
    if (start == kSharedUseOffset && fl.l_type == F_RDLCK)
        return "Another program" + who + " has the table open.";
    if (fl.l_type == F_WRLCK)
        return "Another program" + who + " holds the file for sole use.";
    return "Another program" + who + " has the file open.";
}

std::unique_ptr<TableLease> TableLease::Acquire(const std::string& tablePath,
                                                const std::vector<std::string>& companions,
                                                ShareMode mode) {
    std::unique_ptr<TableLease> lease(new TableLease());
    lease->tablePath_ = tablePath;
    lease->mode_ = mode;
    std::unique_lock<std::mutex> guard(registryMutex);
    auto& reg = Registry();

    if (mode == ShareMode::Shared) {
        const int fd = OpenForLock(tablePath, false);
        Key key{};
        StatKey(fd, key);
        lease->dev_ = key.dev;
        lease->ino_ = key.ino;
        auto it = reg.find(key);
        if (it != reg.end()) {
            ::close(fd);
            if (it->second.mode == ShareMode::Exclusive)
                RaiseEngineError(
                    kStatusTableInUse,
                    {"File: " + tablePath,
                     "Another component of this program holds the table for sole use."});
            ++it->second.sharedCount;
            lease->registered_ = true;
            return lease;
        }
        if (!SetLock(fd, F_RDLCK, kSharedUseOffset, 1)) {
            const int err = errno;
            if (err != EAGAIN && err != EACCES) {
                ::close(fd);
                RaiseOpenError(err, tablePath);
            }
            try {
                RaiseInUse(fd, tablePath, false);
            } catch (...) {
                ::close(fd);
                throw;
            }
        }
        reg[key] = Entry{ShareMode::Shared, 1, fd};
        lease->registered_ = true;
        return lease;
    }

    // Sole use: the table file first, then each companion; any conflict undoes everything.
    std::vector<std::string> files{tablePath};
    files.insert(files.end(), companions.begin(), companions.end());
    for (const auto& path : files) {
        const int fd = OpenForLock(path, true);
        lease->held_.push_back({path, fd});  // the destructor closes it on failure
        if (path == tablePath) {
            Key key{};
            StatKey(fd, key);
            lease->dev_ = key.dev;
            lease->ino_ = key.ino;
            if (reg.count(key))
                RaiseEngineError(kStatusTableInUse,
                                 {"File: " + tablePath,
                                  "Another component of this program has the table open."});
        }
        if (!TryLockWholeFile(fd, true)) {
            const int err = errno;
            if (err != EAGAIN && err != EACCES)
                RaiseOpenError(err, path);
            RaiseInUse(fd, path, true);
        }
    }
    reg[Key{lease->dev_, lease->ino_}] = Entry{ShareMode::Exclusive, 0, -1};
    lease->registered_ = true;
    guard.unlock();
    // A replace of these files that a process left halfway is settled before anybody reads them.
    RecoverInterruptedReplace(*lease);
    return lease;
}

TableLease::~TableLease() {
    std::lock_guard<std::mutex> guard(registryMutex);
    auto& reg = Registry();
    auto it = reg.find(Key{dev_, ino_});
    if (mode_ == ShareMode::Shared) {
        if (registered_ && it != reg.end() && it->second.mode == ShareMode::Shared &&
            --it->second.sharedCount <= 0) {
            ::close(it->second.sharedFd);
            reg.erase(it);
        }
    } else {
        // Only the lease that registered the table removes it (a refused acquire never did).
        if (registered_ && it != reg.end())
            reg.erase(it);
    }
    for (auto& h : held_)
        if (h.fd >= 0)
            ::close(h.fd);
}

std::vector<std::string> TableLease::Files() const {
    if (mode_ == ShareMode::Shared)
        return {tablePath_};
    std::vector<std::string> out;
    for (const auto& h : held_)
        out.push_back(h.path);
    return out;
}

void TableLease::Replace(const std::string& path, int fd) {
    std::lock_guard<std::mutex> guard(registryMutex);
    for (auto& h : held_) {
        if (h.path != path)
            continue;
        const int old = h.fd;
        h.fd = fd;
        if (&h == &held_.front()) {
            auto& reg = Registry();
            reg.erase(Key{dev_, ino_});
            Key key{};
            StatKey(fd, key);
            dev_ = key.dev;
            ino_ = key.ino;
            reg[key] = Entry{ShareMode::Exclusive, 0, -1};
        }
        if (old >= 0)
            ::close(old);
        return;
    }
    held_.push_back({path, fd});
}

void TableLease::Add(const std::string& path) {
    for (const auto& h : held_)
        if (h.path == path)
            return;
    const int fd = OpenForLock(path, true);
    if (!TryLockWholeFile(fd, true)) {
        const int err = errno;
        try {
            if (err != EAGAIN && err != EACCES)
                RaiseOpenError(err, path);
            RaiseInUse(fd, path, true);
        } catch (...) {
            ::close(fd);
            throw;
        }
    }
    held_.push_back({path, fd});
}

bool ProcessHoldsTable(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return false;
    std::lock_guard<std::mutex> guard(registryMutex);
    return Registry().count(
               Key{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)}) > 0;
}

}  // namespace ari::engine
