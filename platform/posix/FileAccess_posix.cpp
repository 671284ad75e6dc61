// POSIX implementation of FileAccess.h.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/FileAccess.h"
#include "platform/FileErrors.h"

namespace ari {

namespace {

// F_OFD_GETLK reports locks of every other open file description, those of this process
// included, which is what "in use by someone else" means for a handle we hold.
bool RangeLocked(int fd, uint64_t offset, uint64_t length) {
    struct flock probe;
    std::memset(&probe, 0, sizeof probe);
    probe.l_type = F_WRLCK;  // conflicts with any read or write lock on the range
    probe.l_whence = SEEK_SET;
    probe.l_start = static_cast<off_t>(offset);
    probe.l_len = static_cast<off_t>(length);
    if (fcntl(fd, F_OFD_GETLK, &probe) != 0)
        return false;
    return probe.l_type != F_UNLCK;
}

[[noreturn]] void RefuseLink(const std::string& path) {
    throw EInOutError(kAccessDenied,
                      path +
                          " is a symbolic link; a file the program changes is never reached "
                          "through a link (name the file itself)",
                      path);
}

[[noreturn]] void RefuseNotRegular(const std::string& path) {
    throw EInOutError(kAccessDenied, path + " is not a regular file", path);
}

// The names of the extended attributes of the file at `path` (links followed).
std::vector<std::string> AttributeNames(const std::string& path) {
    std::vector<char> buf;
    for (;;) {
        const ssize_t need = listxattr(path.c_str(), nullptr, 0);
        if (need < 0) {
            if (errno == ENOTSUP || errno == ENOENT)
                return {};  // a file system without them carries none
            throw EInOutError(FileErrorFromErrno(errno), "Cannot list the extended attributes of " +
                                                             path + ": " +
                                                             InOutErrorFromErrno(errno).Message());
        }
        buf.resize(static_cast<size_t>(need));
        const ssize_t got = listxattr(path.c_str(), buf.data(), buf.size());
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
        const size_t len = strnlen(buf.data() + i, buf.size() - i);
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
        const ssize_t need = getxattr(path.c_str(), name.c_str(), nullptr, 0);
        if (need < 0)
            return errno == ENODATA;
        value.resize(static_cast<size_t>(need));
        const ssize_t got = getxattr(path.c_str(), name.c_str(), value.data(), value.size());
        if (got >= 0) {
            value.resize(static_cast<size_t>(got));
            break;
        }
        if (errno != ERANGE)
            return errno == ENODATA;
    }
    return fsetxattr(fd, name.c_str(), value.data(), value.size(), 0) == 0;
}

}  // namespace

FileHandle OpenRegularFile(const std::string& path, unsigned flags, LinkPolicy links) {
    // Devices and sockets are not even opened (opening some devices acts on them).
    struct stat pre;
    const int statRc =
        links == LinkPolicy::Refuse ? lstat(path.c_str(), &pre) : stat(path.c_str(), &pre);
    if (statRc == 0) {
        if (S_ISLNK(pre.st_mode))
            RefuseLink(path);
        if (S_ISCHR(pre.st_mode) || S_ISBLK(pre.st_mode) || S_ISSOCK(pre.st_mode))
            RefuseNotRegular(path);
    }
    // Non-blocking: a pipe put under the name meanwhile is opened without waiting for a writer,
    // and then refused below.
    const unsigned extra = kOpenNonBlocking | (links == LinkPolicy::Refuse ? kOpenNoFollow : 0u);
    const int fd = Env::Default()->Open(path, flags | extra);
    if (fd < 0) {
        const int err = errno;
        struct stat st;
        if (err == ELOOP && links == LinkPolicy::Refuse && lstat(path.c_str(), &st) == 0 &&
            S_ISLNK(st.st_mode))
            RefuseLink(path);
        if (err == ENXIO)  // a pipe without a reader, a device without its driver
            RefuseNotRegular(path);
        throw InOutErrorFromErrno(err, path);
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        RefuseNotRegular(path);
    }
    const int fl = fcntl(fd, F_GETFL);
    if (fl < 0 || fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0) {
        const int err = errno;
        close(fd);
        throw InOutErrorFromErrno(err, path);
    }
    return fd;
}

void RequireRegularFile(const std::string& path, LinkPolicy links) {
    close(OpenRegularFile(path, kOpenRead, links));
}

void CarryFileAttributes(const std::string& oldPath, FileHandle fd) {
    struct stat st;
    if (stat(oldPath.c_str(), &st) != 0) {
        if (errno == ENOENT)
            return;  // nothing replaced: the defaults stay
        ThrowLastInOutError();
    }
    // Owner and group first: a change of owner clears the set-id bits that fchmod then sets,
    // and the file capabilities that the attributes below then carry.
    if (fchown(fd, st.st_uid, st.st_gid) != 0) {
        if (errno != EPERM)
            ThrowLastInOutError();
        if (fchown(fd, static_cast<uid_t>(-1), st.st_gid) != 0 && errno != EPERM)
            ThrowLastInOutError();
    }
    for (const std::string& name : AttributeNames(oldPath)) {
        if (!CopyAttribute(oldPath, name, fd))
            throw EInOutError(FileErrorFromErrno(errno),
                              "Cannot carry the extended attribute " + name + " of " + oldPath +
                                  " to its replacement: " + InOutErrorFromErrno(errno).Message());
    }
    // Last: an access list set above changed the group bits; the old file's bits agree with it.
    if (fchmod(fd, st.st_mode & 07777) != 0 && errno != EPERM)
        ThrowLastInOutError();
}

void IgnoreFileSizeSignal() {
    Env::Default()->IgnoreFileSizeSignal();
}

ByteFile::ByteFile(const std::string& path) : path_(path) {
    fd_ = OpenRegularFile(path, kOpenReadWrite, LinkPolicy::Refuse);
}

ByteFile::~ByteFile() {
    if (fd_ >= 0)
        close(fd_);
}

uint64_t ByteFile::Size() const {
    struct stat st;
    if (fd_ < 0 || fstat(fd_, &st) != 0)
        return 0;
    return static_cast<uint64_t>(st.st_size);
}

bool ByteFile::LockedByOthers(uint64_t offset, uint64_t length) const {
    return fd_ >= 0 && RangeLocked(fd_, offset, length);
}

std::string ByteFile::Read(uint64_t offset, size_t size) const {
    std::string out(size, '\0');
    size_t done = 0;
    while (fd_ >= 0 && done < size) {
        const ssize_t n =
            pread(fd_, out.data() + done, size - done, static_cast<off_t>(offset + done));
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ThrowLastInOutError();
        }
        done += static_cast<size_t>(n);
    }
    out.resize(done);
    return out;
}

void ByteFile::WriteByte(uint64_t offset, uint8_t value) {
    if (fd_ < 0)
        throw EInOutError(kAccessDenied, FileErrorMessage(kAccessDenied));
    if (RangeLocked(fd_, offset, 1))
        throw EInOutError(kSharingViolation, FileErrorMessage(kSharingViolation));
    for (;;) {
        const ssize_t n = pwrite(fd_, &value, 1, static_cast<off_t>(offset));
        if (n == 1)
            return;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            ThrowLastInOutError();
        throw EInOutError(kDiskFull, FileErrorMessage(kDiskFull));
    }
}

void ByteFile::Close() {
    if (fd_ < 0)
        return;
    const int fd = fd_;
    fd_ = -1;
    const bool synced = fsync(fd) == 0 || errno == EINVAL;
    const int syncErr = errno;
    if (close(fd) != 0)
        ThrowLastInOutError();
    if (!synced)
        throw InOutErrorFromErrno(syncErr);
}

bool FileLockedByOthers(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    const bool locked = RangeLocked(fd, 0, 0);
    close(fd);
    return locked;
}

bool FileReadable(const std::string& path) {
    try {
        close(OpenRegularFile(path, kOpenRead, LinkPolicy::Follow));
        return true;
    } catch (const EInOutError&) {
        return false;
    }
}

}  // namespace ari
