// Ownership of an open file descriptor.
#pragma once

#include <unistd.h>

namespace ari {

// Owns an open file descriptor (or -1) and closes it when it goes, unless released.
class ScopedFd {
  public:
    explicit ScopedFd(int fd = -1) : fd_(fd) {}
    ScopedFd(ScopedFd&& other) noexcept : fd_(other.Release()) {}
    ScopedFd& operator=(ScopedFd&&) = delete;
    ScopedFd(const ScopedFd&) = delete;
    ScopedFd& operator=(const ScopedFd&) = delete;
    ~ScopedFd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int Get() const { return fd_; }
    // Hands the descriptor to the caller, who closes it (and sees what close says).
    int Release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_;
};

}  // namespace ari
