// POSIX implementation of RunMarker.h.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/FileErrors.h"
#include "platform/RunMarker.h"

namespace ari {

RunMarker::~RunMarker() {
    Close();
}

namespace {

// True when `path` names the file open on `fd` (the same device and inode).
bool NamesOpenFile(const std::string& path, int fd) {
    struct stat byPath, byFd;
    return lstat(path.c_str(), &byPath) == 0 && fstat(fd, &byFd) == 0 &&
           byPath.st_dev == byFd.st_dev && byPath.st_ino == byFd.st_ino;
}

}  // namespace

void RunMarker::Create(const std::string& path) {
    for (;;) {
        // No O_TRUNC here: the file may only be emptied once the lock shows nobody else holds
        // it.
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd < 0) {
            // A folder of that name: open(2) says EISDIR, which maps onto "File access denied".
            ThrowLastInOutError();
        }
        struct flock lock;
        std::memset(&lock, 0, sizeof lock);
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        lock.l_start = 0;
        lock.l_len = 0;  // the whole file, however long it grows
        if (fcntl(fd, F_OFD_SETLK, &lock) != 0) {
            const int err = errno;
            close(fd);
            throw InOutErrorFromErrno(err == EACCES ? EAGAIN : err);  // held elsewhere: error 32
        }
        // The holder before us removes the marker under its lock: a lock won on a file that no
        // longer has the name is a lock on nothing, and the path is opened again.
        if (!NamesOpenFile(path, fd)) {
            close(fd);
            continue;
        }
        if (ftruncate(fd, 0) != 0) {
            const int err = errno;
            close(fd);
            throw InOutErrorFromErrno(err);
        }
        fd_ = fd;
        path_ = path;
        return;
    }
}

void RunMarker::WriteLine() noexcept {
    const char* p = kLine;
    size_t left = sizeof kLine - 1;
    while (left > 0) {
        const ssize_t n = write(fd_, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

void RunMarker::CloseAndRemove() noexcept {
    if (fd_ < 0)
        return;
    WriteLine();
    if (NamesOpenFile(path_, fd_))
        unlink(path_.c_str());
    close(fd_);
    fd_ = -1;
}

void RunMarker::Close() noexcept {
    if (fd_ < 0)
        return;
    WriteLine();
    close(fd_);
    fd_ = -1;
}

}  // namespace ari
