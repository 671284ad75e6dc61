#include "engine/table/TableLock.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/kcmp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>

#include "engine/EngineStatus.h"
#include "engine/table/TableFiles.h"
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
// Every file this process holds for sole use (tables and companions), with the held descriptor
// that OpenTableFile duplicates.
std::map<Key, int>& HeldFds() {
    static std::map<Key, int> held;
    return held;
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

bool KeyOfPath(const std::string& path, bool followLink, Key& key) {
    struct stat st;
    if ((followLink ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0)
        return false;
    key = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
    return true;
}

// ---- Proof that nobody else has a file open

bool ScanOnly() {
    static const bool scanOnly = [] {
        const char* v = std::getenv("ARI_SOLE_USE_PROOF");
        return v && std::strcmp(v, "scan") == 0;
    }();
    return scanOnly;
}

void IgnoreLeaseBreakSignal(int) {}

// A lease break sends SIGIO to the lease holder, whose default action ends the process: the
// engine polls F_GETLEASE instead, so the signal only needs to do nothing. A handler (not
// SIG_IGN) so that programs this process starts get the default action back.
void EnsureLeaseBreakSignalHandled() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction old {};
        if (::sigaction(SIGIO, nullptr, &old) != 0 || old.sa_handler != SIG_DFL ||
            (old.sa_flags & SA_SIGINFO))
            return;
        struct sigaction sa {};
        sa.sa_handler = IgnoreLeaseBreakSignal;
        sa.sa_flags = SA_RESTART;
        sigemptyset(&sa.sa_mask);
        ::sigaction(SIGIO, &sa, nullptr);
    });
}

// True when descriptors `a` and `b` of this process share one open file description (a dup):
// by kcmp, or, where a sandbox refuses it, by moving the shared offset of one and reading the
// other's (restored at once; the engine reads these files with pread or seeks before reading).
bool SameDescription(int a, int b) {
    if (a == b)
        return true;
    const pid_t pid = ::getpid();
    const long r = ::syscall(SYS_kcmp, pid, pid, KCMP_FILE, a, b);
    if (r == 0)
        return true;
    if (r > 0)
        return false;
    const off_t saved = ::lseek(b, 0, SEEK_CUR);
    if (saved < 0)
        return false;
    constexpr off_t kProbe1 = 0x5A17F00D, kProbe2 = 0x1EA5EBAD;
    bool same = ::lseek(b, kProbe1, SEEK_SET) == kProbe1 && ::lseek(a, 0, SEEK_CUR) == kProbe1;
    same = same && ::lseek(b, kProbe2, SEEK_SET) == kProbe2 && ::lseek(a, 0, SEEK_CUR) == kProbe2;
    ::lseek(b, saved, SEEK_SET);
    return same;
}

std::string CommandOf(const std::string& pid) {
    std::ifstream in("/proc/" + pid + "/comm");
    std::string comm;
    std::getline(in, comm);
    return comm;
}

// A file to look for and the descriptor by which this process holds it.
struct Target {
    Key key;
    int fd;
};

// Looks through every process's open descriptors for another open file description of a
// target; returns, per target found, a sentence naming the process. A process whose descriptors
// cannot be read (another user's, for a process without the right) cannot be cleared and is
// named too. Our own process: descriptors that are duplicates of the held one are ours.
std::map<Key, std::string> FindOtherOpeners(const std::vector<Target>& targets) {
    std::map<Key, std::string> found;
    std::map<Key, int> wanted;
    for (const auto& t : targets)
        wanted[t.key] = t.fd;
    const std::string self = std::to_string(::getpid());
    DIR* proc = ::opendir("/proc");
    if (!proc) {
        for (const auto& t : targets)
            found[t.key] = "The open files of other processes cannot be looked at (/proc).";
        return found;
    }
    while (const dirent* e = ::readdir(proc)) {
        const std::string pid = e->d_name;
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const std::string fdDir = "/proc/" + pid + "/fd";
        DIR* fds = ::opendir(fdDir.c_str());
        if (!fds) {
            if (errno == ENOENT || errno == ESRCH)
                continue;  // ended meanwhile
            // Only a process we may not inspect gets here: it may have the file open.
            for (const auto& t : targets)
                found.emplace(t.key, "Another program (process " + pid + ", " + CommandOf(pid) +
                                         ") may have the file open; its open files cannot be "
                                         "looked at.");
            continue;
        }
        while (const dirent* f = ::readdir(fds)) {
            if (f->d_name[0] == '.')
                continue;
            struct stat st;
            if (::stat((fdDir + "/" + f->d_name).c_str(), &st) != 0)
                continue;
            const Key key{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
            const auto it = wanted.find(key);
            if (it == wanted.end() || found.count(key))
                continue;
            if (pid == self) {
                const int fd = std::atoi(f->d_name);
                if (fd == ::dirfd(fds) || SameDescription(fd, it->second))
                    continue;
                found[key] = "This program (process " + pid + ") has the file open a second time.";
            } else {
                found[key] = "Another program (process " + pid + ", " + CommandOf(pid) +
                             ") has the file open.";
            }
        }
        ::closedir(fds);
    }
    ::closedir(proc);
    return found;
}

std::string WhoElseHasOpen(int fd) {
    Key key{};
    if (!StatKey(fd, key))
        return {};
    const auto found = FindOtherOpeners({{key, fd}});
    return found.empty() ? std::string() : found.begin()->second;
}

bool LeaseIntact(int fd) {
    return ::fcntl(fd, F_GETLEASE) == F_WRLCK;
}

// Proves that no other open file description of the file held by `fd` exists: by a write
// lease, kept until released, or where none can be had by a look through /proc. Sets `who`
// (possibly empty) when another exists.
bool ProveFile(int fd, SoleUseProof& proof, std::string& who) {
    proof = SoleUseProof::None;
    if (!ScanOnly()) {
        EnsureLeaseBreakSignalHandled();
        if (::fcntl(fd, F_SETLEASE, F_WRLCK) == 0) {
            proof = SoleUseProof::Lease;
            return true;
        }
        if (errno == EAGAIN || errno == EBUSY) {
            who = WhoElseHasOpen(fd);
            return false;
        }
        // No lease on this file system, leases disabled, or not the owner: look instead.
    }
    who = WhoElseHasOpen(fd);
    if (!who.empty())
        return false;
    proof = SoleUseProof::ProcessScan;
    return true;
}

// The proof `proof` of the file held by `fd` still stands.
bool StillProven(int fd, SoleUseProof proof) {
    switch (proof) {
        case SoleUseProof::Lease:
            return LeaseIntact(fd);
        case SoleUseProof::ProcessScan:
            return WhoElseHasOpen(fd).empty();
        case SoleUseProof::None:
            break;
    }
    return false;
}

void DropLease(int fd, SoleUseProof& proof) {
    if (proof == SoleUseProof::Lease)
        ::fcntl(fd, F_SETLEASE, F_UNLCK);
    proof = SoleUseProof::None;
}

}  // namespace

int OpenTableFile(const std::string& path, int flags) {
    Key key{};
    if (KeyOfPath(path, (flags & O_NOFOLLOW) == 0, key)) {
        std::lock_guard<std::mutex> guard(registryMutex);
        const auto it = HeldFds().find(key);
        if (it != HeldFds().end())
            return ::fcntl(it->second, F_DUPFD_CLOEXEC, 0);
    }
    return ::open(path.c_str(), flags | O_CLOEXEC);
}

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
    // A file this process holds for sole use is never opened again (that would break its lease
    // and wait for ourselves): another component of this program is refused at once.
    Key heldKey{};
    if (KeyOfPath(tablePath, true, heldKey) && HeldFds().count(heldKey))
        RaiseEngineError(kStatusTableInUse,
                         {"File: " + tablePath,
                          "Another component of this program holds the table for sole use."});

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
        if (KeyOfPath(path, true, heldKey) && HeldFds().count(heldKey))
            RaiseEngineError(kStatusTableInUse,
                             {"File: " + path,
                              "Another component of this program holds the file for sole use."});
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
    for (const auto& h : lease->held_) {
        Key key{};
        if (StatKey(h.fd, key))
            HeldFds()[key] = h.fd;
    }
    guard.unlock();
    {
        // Nobody else may have any of the files open, with or without a lock; a replace of
        // these files that a process left halfway is settled before anybody reads them.
        SoleUseHold hold(*lease);
        RecoverInterruptedReplace(*lease);
    }
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
    for (auto& h : held_) {
        if (h.fd < 0)
            continue;
        Key key{};
        if (StatKey(h.fd, key)) {
            const auto f = HeldFds().find(key);
            if (f != HeldFds().end() && f->second == h.fd)
                HeldFds().erase(f);
        }
        ::close(h.fd);  // ends its lease too
    }
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
    // The new file keeps the lease ProveNewFile took on it. One broken since (somebody opened
    // the new file after its rename, which loses nothing), or proven by a look through /proc
    // (which holds nobody back), is let go, so that an opener goes on, and proven again at the
    // next check.
    SoleUseProof proof = SoleUseProof::Lease;
    if (holds_ == 0 || !LeaseIntact(fd)) {
        ::fcntl(fd, F_SETLEASE, F_UNLCK);
        proof = SoleUseProof::None;
    }
    std::lock_guard<std::mutex> guard(registryMutex);
    Key newKey{};
    if (StatKey(fd, newKey))
        HeldFds()[newKey] = fd;
    for (auto& h : held_) {
        if (h.path != path)
            continue;
        const int old = h.fd;
        Key oldKey{};
        if (old >= 0 && StatKey(old, oldKey) &&
            !(oldKey.dev == newKey.dev && oldKey.ino == newKey.ino)) {
            const auto f = HeldFds().find(oldKey);
            if (f != HeldFds().end() && f->second == old)
                HeldFds().erase(f);
        }
        h.fd = fd;
        h.proof = proof;
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
    held_.push_back({path, fd, proof});
}

void TableLease::ProveAll() {
    for (auto& h : held_) {
        if (h.proof != SoleUseProof::None)
            continue;
        std::string who;
        if (!ProveFile(h.fd, h.proof, who))
            RefuseInUse(h.path, who);
    }
}

void TableLease::RefuseInUse(const std::string& path, const std::string& who) {
    ReleaseProofs();
    RaiseEngineError(kStatusTableInUse,
                     {"File: " + path, who.empty() ? "Another program has the file open." : who});
}

SoleUseHold::SoleUseHold(TableLease& lease) : lease_(lease) {
    if (lease_.mode_ != ShareMode::Exclusive)
        RaiseTableError(kStatusNeedExclusive, lease_.tablePath_);
    if (lease_.holds_++ > 0)
        return;
    try {
        lease_.ProveAll();
    } catch (...) {
        --lease_.holds_;
        throw;
    }
}

SoleUseHold::~SoleUseHold() {
    if (--lease_.holds_ == 0)
        lease_.ReleaseProofs();
}

void TableLease::CheckSoleUse() {
    if (mode_ != ShareMode::Exclusive || holds_ == 0)
        RaiseTableError(kStatusNeedExclusive, tablePath_);
    for (auto& h : held_) {
        if (h.proof == SoleUseProof::None || StillProven(h.fd, h.proof))
            continue;
        // Somebody opened the file since it was proven (a pending lease break, or a descriptor
        // found by the look through /proc).
        std::string who = WhoElseHasOpen(h.fd);
        if (who.empty())
            who = "Another program opened the file while it was held for sole use.";
        RefuseInUse(h.path, who);
    }
    ProveAll();
}

void TableLease::ProveNewFile(int fd, const std::string& path) {
    SoleUseProof proof = SoleUseProof::None;
    std::string who;
    if (!ProveFile(fd, proof, who))
        RefuseInUse(path, who.empty() ? "Another program has the new file open." : who);
}

bool TableLease::LeaseBroken() const {
    for (const auto& h : held_)
        if (h.proof == SoleUseProof::Lease && !LeaseIntact(h.fd))
            return true;
    return false;
}

std::string TableLease::LostProof() const {
    for (const auto& h : held_)
        if (!StillProven(h.fd, h.proof))
            return h.path;
    return {};
}

void TableLease::ReleaseProofs() {
    for (auto& h : held_)
        DropLease(h.fd, h.proof);
}

SoleUseProof TableLease::Proof() const {
    if (mode_ != ShareMode::Exclusive || held_.empty())
        return SoleUseProof::None;
    SoleUseProof weakest = SoleUseProof::Lease;
    for (const auto& h : held_) {
        if (h.proof == SoleUseProof::None)
            return SoleUseProof::None;
        if (h.proof == SoleUseProof::ProcessScan)
            weakest = SoleUseProof::ProcessScan;
    }
    return weakest;
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
