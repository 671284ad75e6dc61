// POSIX implementation of AtomicFile.h.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/AtomicFile.h"
#include "platform/FileAccess.h"
#include "platform/FileErrors.h"
#include "platform/FileOps.h"
#include "platform/Files.h"
#include "platform/ScopedFd.h"

namespace ari {

AtomicFile::AtomicFile(std::string target, std::string temporaryName, Naming naming,
                       const StaleRemover& removeStale)
    : target_(std::move(target)), temporary_(std::move(temporaryName)) {
    if (naming == Naming::Unique) {
        fd_ = mkostemp(temporary_.data(), O_CLOEXEC);
        if (fd_ < 0)
            ThrowLastInOutError();
        return;
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        fd_ = ::open(temporary_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd_ >= 0)
            return;
        const int err = errno;
        if (err != EEXIST || !removeStale)
            throw InOutErrorFromErrno(err);
        // A name that a live writer holds, or that is taken again at once, is busy.
        if (attempt > 0 || !removeStale(temporary_))
            throw InOutErrorFromErrno(EBUSY);
    }
}

AtomicFile::~AtomicFile() {
    Discard();
}

void AtomicFile::Write(const void* data, size_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        const ssize_t n = CurrentFileOps().Write(fd_, p, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ThrowLastInOutError();
        }
        if (n == 0)
            throw InOutErrorFromErrno(EIO);
        p += n;
        size -= static_cast<size_t>(n);
    }
}

void AtomicFile::CopyFrom(const std::string& sourcePath) {
    const ScopedFd in(OpenRegularFile(sourcePath, O_RDONLY, LinkPolicy::Follow));
    char buf[1 << 16];
    for (;;) {
        const ssize_t n = ::read(in.Get(), buf, sizeof buf);
        if (n == 0)
            return;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ThrowLastInOutError();
        }
        Write(buf, static_cast<size_t>(n));
    }
}

void AtomicFile::Flush() {
    if (CurrentFileOps().Fsync(fd_) != 0)
        ThrowLastInOutError();
}

void AtomicFile::CarryAttributes() {
    CarryFileAttributes(target_, fd_);
}

void AtomicFile::Commit() {
    try {
        Flush();
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) {
            const int err = errno;
            ::unlink(temporary_.c_str());
            throw InOutErrorFromErrno(err);
        }
        if (CurrentFileOps().Rename(temporary_.c_str(), target_.c_str()) != 0) {
            const int err = errno;
            ::unlink(temporary_.c_str());
            throw InOutErrorFromErrno(err);
        }
    } catch (...) {
        Discard();
        throw;
    }
    // The rename itself is on disk once the folder is flushed.
    const std::string folder = ExtractFilePath(target_);
    const ScopedFd dir(
        ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.Get() >= 0)
        ::fsync(dir.Get());
}

int AtomicFile::Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void AtomicFile::Discard() {
    if (fd_ >= 0) {
        ::unlink(temporary_.c_str());
        ::close(fd_);
        fd_ = -1;
    }
}

}  // namespace ari
