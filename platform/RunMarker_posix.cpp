// POSIX implementation of RunMarker.h.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/FileErrors.h"
#include "platform/RunMarker.h"

namespace ari {

RunMarker::~RunMarker() {
    Close();
}

void RunMarker::Create(const std::string& path) {
    // No O_TRUNC here: the file may only be emptied once the lock shows nobody else holds it.
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
    if (ftruncate(fd, 0) != 0) {
        const int err = errno;
        close(fd);
        throw InOutErrorFromErrno(err);
    }
    fd_ = fd;
    path_ = path;
}

void RunMarker::Close() noexcept {
    if (fd_ < 0)
        return;
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
    close(fd_);
    fd_ = -1;
}

}  // namespace ari
