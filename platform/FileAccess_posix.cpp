// POSIX implementation of FileAccess.h.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

}  // namespace

ByteFile::ByteFile(const std::string& path) : path_(path) {
    fd_ = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd_ < 0)
        ThrowLastInOutError();
    struct stat st;
    if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd_);
        fd_ = -1;
        throw EInOutError(kAccessDenied, FileErrorMessage(kAccessDenied));
    }
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
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool locked = RangeLocked(fd, 0, 0);
    close(fd);
    return locked;
}

bool FileReadable(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    const bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    close(fd);
    return ok;
}

}  // namespace ari
