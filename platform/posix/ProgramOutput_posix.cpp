// POSIX implementation of a program's output read through a pipe.
#include "platform/ProgramOutput.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace ari {

ProgramOutput::ProgramOutput(int readFd, std::size_t limit) : readFd_(readFd), limit_(limit) {
    if (readFd_ < 0)
        return;
    if (pipe2(stopFds_, O_CLOEXEC) != 0) {
        stopFds_[0] = stopFds_[1] = -1;
        failed_ = true;
        return;
    }
    try {
        collector_ = std::thread([this] { Collect(); });
    } catch (const std::system_error&) {
        failed_ = true;  // no thread to be had: the output is not read at all
    }
}

ProgramOutput::~ProgramOutput() {
    Stop();
    for (int fd : {readFd_, stopFds_[0], stopFds_[1]}) {
        if (fd >= 0)
            close(fd);
    }
}

// Reads once from the pipe into the text; false once nothing more is to be read (the program
// closed its end, the text went over the limit, or the read failed). REQUIRES: mutex_ held.
bool ProgramOutput::ReadOnce(bool* wouldBlock) {
    char buffer[16384];
    ssize_t n;
    do {
        n = read(readFd_, buffer, sizeof buffer);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        *wouldBlock = true;
        return false;
    }
    if (n < 0) {
        failed_ = true;
        return false;
    }
    if (n == 0)
        return false;
    if (text_.size() + static_cast<std::size_t>(n) > limit_) {
        failed_ = true;
        text_.clear();
        return false;
    }
    text_.append(buffer, static_cast<std::size_t>(n));
    return true;
}

void ProgramOutput::Collect() {
    for (;;) {
        pollfd fds[2] = {{readFd_, POLLIN, 0}, {stopFds_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            std::lock_guard<std::mutex> lock(mutex_);
            failed_ = true;
            return;
        }
        if (fds[1].revents != 0)
            return;
        if (fds[0].revents == 0)
            continue;
        std::lock_guard<std::mutex> lock(mutex_);
        bool wouldBlock = false;
        if (!ReadOnce(&wouldBlock)) {
            ended_ = !wouldBlock;
            if (ended_)
                return;
        }
    }
}

void ProgramOutput::Stop() {
    if (!collector_.joinable())
        return;
    const char byte = 0;
    while (write(stopFds_[1], &byte, 1) < 0 && errno == EINTR) {
    }
    collector_.join();
}

bool ProgramOutput::Ended() {
    std::lock_guard<std::mutex> lock(mutex_);
    return ended_ || failed_ || readFd_ < 0;
}

std::optional<std::string> ProgramOutput::Take() {
    Stop();
    std::lock_guard<std::mutex> lock(mutex_);
    // What the program wrote before this moment and the thread has not read yet belongs to it.
    if (readFd_ >= 0 && !ended_ && !failed_) {
        const int flags = fcntl(readFd_, F_GETFL);
        if (flags < 0 || fcntl(readFd_, F_SETFL, flags | O_NONBLOCK) != 0)
            failed_ = true;
        bool wouldBlock = false;
        while (!failed_ && ReadOnce(&wouldBlock)) {
        }
    }
    if (failed_)
        return std::nullopt;
    return std::move(text_);
}

}  // namespace ari
