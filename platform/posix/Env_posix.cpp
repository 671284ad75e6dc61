// The POSIX (Linux) implementation of Env.h: the system calls themselves.
#include <dirent.h>
#include <fcntl.h>
#include <linux/kcmp.h>
#include <malloc.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include "platform/Env.h"
#include "platform/FileErrors.h"

namespace ari {

namespace {

int OpenFlagsToSystem(unsigned flags) {
    int out = O_CLOEXEC;
    switch (flags & 3u) {
        case kOpenWrite:
            out |= O_WRONLY;
            break;
        case kOpenReadWrite:
            out |= O_RDWR;
            break;
        default:
            out |= O_RDONLY;
            break;
    }
    if (flags & kOpenCreate)
        out |= O_CREAT;
    if (flags & kOpenExclusive)
        out |= O_EXCL;
    if (flags & kOpenTruncate)
        out |= O_TRUNC;
    if (flags & kOpenAppend)
        out |= O_APPEND;
    if (flags & kOpenNoFollow)
        out |= O_NOFOLLOW;
    if (flags & kOpenNonBlocking)
        out |= O_NONBLOCK;
    return out;
}

NameKind KindOfMode(mode_t mode) {
    if (S_ISREG(mode))
        return NameKind::Regular;
    if (S_ISDIR(mode))
        return NameKind::Folder;
    if (S_ISLNK(mode))
        return NameKind::Link;
    return NameKind::Other;
}

void FillInfo(const struct stat& st, FileInfo* info) {
    info->kind = KindOfMode(st.st_mode);
    info->size = static_cast<uint64_t>(st.st_size);
    info->id = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
    info->permissions = static_cast<unsigned>(st.st_mode & 07777);
    info->modified = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

bool SetOfdLock(int fd, short type, uint64_t start, uint64_t length) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(start);
    fl.l_len = static_cast<off_t>(length);
    fl.l_pid = 0;
    return ::fcntl(fd, F_OFD_SETLK, &fl) == 0;
}

void IgnoreLeaseBreakSignal(int) {}

// A lease break sends SIGIO to the lease holder, whose default action ends the process: the
// engine polls the lease instead, so the signal only needs to do nothing. A handler (not
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

// A full quota is a full disk to the program: callers see ENOSPC ("Disk full"), the one name
// Env.h promises for it.
template <typename T>
T Mapped(T result) {
    if (result < 0 && errno == EDQUOT)
        errno = ENOSPC;
    return result;
}

// renameat2(RENAME_EXCHANGE), called directly (older C libraries have no wrapper).
int Exchange(const std::string& a, const std::string& b) {
#ifdef SYS_renameat2
    constexpr unsigned kRenameExchange = 1u << 1;
    return static_cast<int>(
        ::syscall(SYS_renameat2, AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), kRenameExchange));
#else
    errno = ENOSYS;
    return -1;
#endif
}

std::string MappedName(const char* made) {
    if (!made && errno == EDQUOT)
        errno = ENOSPC;
    return made ? std::string(made) : std::string();
}

[[noreturn]] void ThrowLastError() {
    Mapped(-1);
    ThrowLastInOutError();
}

// The names of the extended attributes of the file at `path` (links followed).
std::vector<std::string> AttributeNames(const std::string& path) {
    std::vector<char> buf;
    for (;;) {
        const ssize_t need = ::listxattr(path.c_str(), nullptr, 0);
        if (need < 0) {
            if (errno == ENOTSUP || errno == ENOENT)
                return {};  // a file system without them carries none
            throw EInOutError(FileErrorFromErrno(errno), "Cannot list the extended attributes of " +
                                                             path + ": " +
                                                             InOutErrorFromErrno(errno).Message());
        }
        buf.resize(static_cast<size_t>(need));
        const ssize_t got = ::listxattr(path.c_str(), buf.data(), buf.size());
        if (got >= 0) {
            buf.resize(static_cast<size_t>(got));
            break;
        }
        if (errno != ERANGE)  // ERANGE: the list grew meanwhile; ask again
            throw EInOutError(FileErrorFromErrno(errno), "Cannot list the extended attributes of " +
                                                             path + ": " +
                                                             InOutErrorFromErrno(errno).Message());
    }
    std::vector<std::string> names;
    for (size_t i = 0; i < buf.size();) {
        const size_t len = ::strnlen(buf.data() + i, buf.size() - i);
        if (len > 0)
            names.emplace_back(buf.data() + i, len);
        i += len + 1;
    }
    return names;
}

// Copies one extended attribute of `path` to `fd`; false with errno set on failure (ENODATA:
// it went meanwhile, which is no failure).
bool CopyAttribute(const std::string& path, const std::string& name, int fd) {
    std::vector<char> value;
    for (;;) {
        const ssize_t need = ::getxattr(path.c_str(), name.c_str(), nullptr, 0);
        if (need < 0)
            return errno == ENODATA;
        value.resize(static_cast<size_t>(need));
        const ssize_t got = ::getxattr(path.c_str(), name.c_str(), value.data(), value.size());
        if (got >= 0) {
            value.resize(static_cast<size_t>(got));
            break;
        }
        if (errno != ERANGE)
            return errno == ENODATA;
    }
    return Mapped(::fsetxattr(fd, name.c_str(), value.data(), value.size(), 0)) == 0;
}

volatile sig_atomic_t stopSignal = 0;

void OnStopSignal(int) {
    stopSignal = 1;
}

class PosixEnv final : public Env {
  public:
    FileHandle Open(const std::string& path, unsigned flags, unsigned createPermissions) override {
        return Mapped(
            ::open(path.c_str(), OpenFlagsToSystem(flags), static_cast<mode_t>(createPermissions)));
    }
    int Close(FileHandle file) override { return Mapped(::close(file)); }
    int64_t Read(FileHandle file, void* data, size_t size) override {
        return ::read(file, data, size);
    }
    int64_t ReadAt(FileHandle file, uint64_t offset, void* data, size_t size) override {
        return ::pread(file, data, size, static_cast<off_t>(offset));
    }
    int64_t Write(FileHandle file, const void* data, size_t size) override {
        return Mapped(::write(file, data, size));
    }
    int64_t WriteAt(FileHandle file, uint64_t offset, const void* data, size_t size) override {
        return Mapped(::pwrite(file, data, size, static_cast<off_t>(offset)));
    }
    int Seek(FileHandle file, uint64_t offset) override {
        return ::lseek(file, static_cast<off_t>(offset), SEEK_SET) < 0 ? -1 : 0;
    }
    int Sync(FileHandle file) override { return Mapped(::fsync(file)); }
    int Truncate(FileHandle file, uint64_t size) override {
        return Mapped(::ftruncate(file, static_cast<off_t>(size)));
    }
    int Info(FileHandle file, FileInfo* info) override {
        struct stat st;
        if (::fstat(file, &st) != 0)
            return -1;
        FillInfo(st, info);
        return 0;
    }
    FileHandle Duplicate(FileHandle file) override { return ::fcntl(file, F_DUPFD_CLOEXEC, 0); }
    int64_t CopyRange(FileHandle from, uint64_t fromOffset, FileHandle to, uint64_t toOffset,
                      size_t size) override {
        off64_t in = static_cast<off64_t>(fromOffset), out = static_cast<off64_t>(toOffset);
        return Mapped(::copy_file_range(from, &in, to, &out, size, 0));
    }
    void AdviseSequential(FileHandle file) override {
        ::posix_fadvise(file, 0, 0, POSIX_FADV_SEQUENTIAL);
    }
    int EndNonBlocking(FileHandle file) override {
        const int fl = ::fcntl(file, F_GETFL);
        return fl < 0 || ::fcntl(file, F_SETFL, fl & ~O_NONBLOCK) != 0 ? -1 : 0;
    }

    int PathInfo(const std::string& path, bool followLink, FileInfo* info) override {
        struct stat st;
        if ((followLink ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0)
            return -1;
        FillInfo(st, info);
        return 0;
    }
    int Rename(const std::string& from, const std::string& to) override {
        return Mapped(::rename(from.c_str(), to.c_str()));
    }
    // The check and the rename in one step: the two names are exchanged, and the file that
    // came back under `from` is looked at. Ours: its name goes (what rename would have done).
    // Another's: the exchange is undone, so that it is back under `to` as it was. Where the
    // file system cannot exchange names, the look comes first and the rename right after.
    int RenameOverHeld(const std::string& from, const std::string& to, FileHandle held) override {
        struct stat ours;
        if (::fstat(held, &ours) != 0)
            return -1;
        const auto isOurs = [&](const std::string& name) {
            struct stat st;
            return ::lstat(name.c_str(), &st) == 0 && st.st_dev == ours.st_dev &&
                   st.st_ino == ours.st_ino;
        };
        if (Exchange(from, to) == 0) {
            if (isOurs(from)) {
                // A failed unlink leaves the old file under the engine's temporary name, which
                // the next run takes for the leftover it is.
                ::unlink(from.c_str());
                return 0;
            }
            const int undone = Exchange(from, to);
            errno = undone == 0 ? kNameChanged : errno;
            return -1;
        }
        if (errno == ENOENT) {
            struct stat st;
            if (::lstat(from.c_str(), &st) == 0) {  // nothing under `to`: ours was taken away
                errno = kNameChanged;
                return -1;
            }
            return -1;
        }
        if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP && errno != ENOTTY)
            return Mapped(-1);
        if (!isOurs(to)) {
            errno = kNameChanged;
            return -1;
        }
        return Mapped(::rename(from.c_str(), to.c_str()));
    }
    int Link(const std::string& from, const std::string& to) override {
        return Mapped(::link(from.c_str(), to.c_str()));
    }
    int Remove(const std::string& path) override { return ::unlink(path.c_str()); }
    FileHandle CreateUniqueFile(const std::string& prefix, std::string* name) override {
        std::string made = prefix + "XXXXXX";
        const int fd = Mapped(::mkostemp(made.data(), O_CLOEXEC));
        if (fd >= 0)
            *name = made;
        return fd;
    }
    int MakeFolder(const std::string& path, unsigned permissions) override {
        return Mapped(::mkdir(path.c_str(), static_cast<mode_t>(permissions)));
    }
    std::string MakeUniqueFolder(const std::string& prefix) override {
        std::string name = prefix + "XXXXXX";
        return MappedName(::mkdtemp(name.data()));
    }
    std::string ResolveLinks(const std::string& path) override {
        char buf[PATH_MAX];
        return ::realpath(path.c_str(), buf) ? std::string(buf) : std::string();
    }
    int ListFolder(const std::string& path, std::vector<std::string>* names) override {
        DIR* dir = ::opendir(path.c_str());
        if (!dir)
            return -1;
        names->clear();
        while (const dirent* e = ::readdir(dir)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..")
                names->push_back(name);
        }
        ::closedir(dir);
        return 0;
    }
    void SyncFolder(const std::string& path) override {
        const int fd =
            ::open(path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            return;
        ::fsync(fd);  // best effort: some file systems refuse fsync on folders
        ::close(fd);
    }

    void CarryAttributes(const std::string& oldPath, FileHandle file) override {
        struct stat st;
        if (::stat(oldPath.c_str(), &st) != 0) {
            if (errno == ENOENT)
                return;  // nothing replaced: the defaults stay
            ThrowLastError();
        }
        // Owner and group first: a change of owner clears the set-id bits that fchmod then
        // sets, and the file capabilities that the attributes below then carry.
        if (::fchown(file, st.st_uid, st.st_gid) != 0) {
            if (errno != EPERM)
                ThrowLastError();
            if (::fchown(file, static_cast<uid_t>(-1), st.st_gid) != 0 && errno != EPERM)
                ThrowLastError();
        }
        for (const std::string& name : AttributeNames(oldPath)) {
            if (!CopyAttribute(oldPath, name, file))
                throw EInOutError(
                    FileErrorFromErrno(errno),
                    "Cannot carry the extended attribute " + name + " of " + oldPath +
                        " to its replacement: " + InOutErrorFromErrno(errno).Message());
        }
        // Last: an access list set above changed the group bits; the old file's bits agree with
        // it.
        if (::fchmod(file, st.st_mode & 07777) != 0 && errno != EPERM)
            ThrowLastError();
    }
    // The owner and group together, else the group alone (a process that is not root may
    // still give a file one of its own groups); EPERM is what a refusal looks like.
    int CarryOwner(const std::string& fromPath, FileHandle file) override {
        struct stat st;
        if (::stat(fromPath.c_str(), &st) != 0)
            return -1;
        if (::fchown(file, st.st_uid, st.st_gid) == 0)
            return 0;
        if (errno != EPERM)
            return -1;
        if (::fchown(file, static_cast<uid_t>(-1), st.st_gid) != 0 && errno != EPERM)
            return -1;
        return 0;
    }
    int SetPermissions(FileHandle file, unsigned permissions) override {
        return ::fchmod(file, static_cast<mode_t>(permissions));
    }
    int SetTimes(FileHandle file, int64_t seconds) override {
        const struct timespec times[2] = {{static_cast<time_t>(seconds), 0},
                                          {static_cast<time_t>(seconds), 0}};
        return ::futimens(file, times);
    }

    int LockRange(FileHandle file, LockKind kind, uint64_t start, uint64_t length) override {
        return SetOfdLock(file, kind == LockKind::Write ? F_WRLCK : F_RDLCK, start, length) ? 0
                                                                                            : -1;
    }
    int UnlockRange(FileHandle file, uint64_t start, uint64_t length) override {
        return SetOfdLock(file, F_UNLCK, start, length) ? 0 : -1;
    }
    // F_OFD_GETLK reports locks of every other open file description, those of this process
    // included, which is what "in use by someone else" means for a handle we hold.
    bool FindLock(FileHandle file, LockKind kind, uint64_t start, uint64_t length,
                  LockHolder* holder) override {
        struct flock fl {};
        fl.l_type = kind == LockKind::Write ? F_WRLCK : F_RDLCK;
        fl.l_whence = SEEK_SET;
        fl.l_start = static_cast<off_t>(start);
        fl.l_len = static_cast<off_t>(length);
        fl.l_pid = 0;
        if (::fcntl(file, F_OFD_GETLK, &fl) != 0 || fl.l_type == F_UNLCK)
            return false;
        if (holder) {
            holder->kind = fl.l_type == F_RDLCK ? LockKind::Read : LockKind::Write;
            holder->start = static_cast<uint64_t>(fl.l_start);
            holder->pid = fl.l_pid;
        }
        return true;
    }
    int LockWholeFileWaiting(FileHandle file) override { return ::flock(file, LOCK_EX); }

    int TakeLease(FileHandle file) override {
        EnsureLeaseBreakSignalHandled();
        return ::fcntl(file, F_SETLEASE, F_WRLCK) == 0 ? 0 : -1;
    }
    bool LeaseIntact(FileHandle file) override { return ::fcntl(file, F_GETLEASE) == F_WRLCK; }
    void DropLease(FileHandle file) override { ::fcntl(file, F_SETLEASE, F_UNLCK); }

    // Through /proc: every process's descriptors, each looked at by what it reaches. Our own
    // process: descriptors that are duplicates of the held one are ours.
    std::vector<OtherOpener> FindOtherOpeners(const std::vector<OpenFileTarget>& targets) override {
        std::map<FileId, OtherOpener> found;
        std::map<FileId, int> wanted;
        for (const auto& t : targets)
            wanted[t.id] = t.held;
        const std::string self = std::to_string(::getpid());
        DIR* proc = ::opendir("/proc");
        if (!proc) {
            std::vector<OtherOpener> all;
            for (const auto& t : targets)
                all.push_back({t.id, OtherOpener::Kind::NoProcessList, 0, {}});
            return all;
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
                    found.emplace(t.id, OtherOpener{t.id, OtherOpener::Kind::CannotInspect,
                                                    std::stol(pid), CommandOf(pid)});
                continue;
            }
            while (const dirent* f = ::readdir(fds)) {
                if (f->d_name[0] == '.')
                    continue;
                struct stat st;
                if (::stat((fdDir + "/" + f->d_name).c_str(), &st) != 0)
                    continue;
                const FileId key{static_cast<uint64_t>(st.st_dev),
                                 static_cast<uint64_t>(st.st_ino)};
                const auto it = wanted.find(key);
                if (it == wanted.end() || found.count(key))
                    continue;
                if (pid == self) {
                    const int fd = std::atoi(f->d_name);
                    if (fd == ::dirfd(fds) || SameDescription(fd, it->second))
                        continue;
                    found[key] = {key, OtherOpener::Kind::ThisProcessAgain, std::stol(pid), {}};
                } else {
                    found[key] = {key, OtherOpener::Kind::OtherProcess, std::stol(pid),
                                  CommandOf(pid)};
                }
            }
            ::closedir(fds);
        }
        ::closedir(proc);
        std::vector<OtherOpener> out;
        for (auto& [key, opener] : found)
            out.push_back(std::move(opener));
        return out;
    }

    bool IsTerminal(StandardStream stream) override {
        const int fd = stream == StandardStream::Input    ? STDIN_FILENO
                       : stream == StandardStream::Output ? STDOUT_FILENO
                                                          : STDERR_FILENO;
        return ::isatty(fd) == 1;
    }

    uint64_t MonotonicMicros() override {
        return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                         std::chrono::steady_clock::now().time_since_epoch())
                                         .count());
    }
    void SleepMilliseconds(unsigned ms) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
    bool LocalTime(int64_t seconds, std::tm* local) override {
        const time_t t = static_cast<time_t>(seconds);
        return ::localtime_r(&t, local) != nullptr;
    }

    void ReuseFreedMemoryAcrossThreads() override {
        // One heap for every thread: a block that one sort's thread frees serves the next sort,
        // where a heap per thread would keep it (a large table's pass grew by a third).
        ::mallopt(M_ARENA_MAX, 1);
    }
    void IgnoreFileSizeSignal() override { ::signal(SIGXFSZ, SIG_IGN); }
    void RequestStopOnTerminate() override {
        struct sigaction sa {};
        sa.sa_handler = OnStopSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;  // no SA_RESTART: a sleep wakes at once
        ::sigaction(SIGTERM, &sa, nullptr);
        ::sigaction(SIGINT, &sa, nullptr);
    }
    bool StopRequested() override { return stopSignal != 0; }
};

}  // namespace

Env* Env::Platform() {
    static PosixEnv env;
    return &env;
}

// The errno values of this system have texts of ours (FileErrorMessage); no system code travels
// as an errno-like value here.
std::string SystemErrorText(unsigned long) {
    return {};
}

}  // namespace ari
