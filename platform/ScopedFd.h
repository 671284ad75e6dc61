// Ownership of an open file handle (Env.h).
#pragma once

#include "platform/Env.h"

namespace ari {

// Owns an open file handle (or kNoFile) and closes it through Env::Default() when it goes,
// unless released.
class ScopedFd {
  public:
    explicit ScopedFd(FileHandle fd = kNoFile) : fd_(fd) {}
    ScopedFd(ScopedFd&& other) noexcept : fd_(other.Release()) {}
    ScopedFd& operator=(ScopedFd&&) = delete;
    ScopedFd(const ScopedFd&) = delete;
    ScopedFd& operator=(const ScopedFd&) = delete;
    ~ScopedFd() {
        if (fd_ >= 0)
            Env::Default()->Close(fd_);
    }
    FileHandle Get() const { return fd_; }
    // Hands the handle to the caller, who closes it (and sees what the close says).
    FileHandle Release() {
        const FileHandle fd = fd_;
        fd_ = kNoFile;
        return fd;
    }

  private:
    FileHandle fd_;
};

}  // namespace ari
