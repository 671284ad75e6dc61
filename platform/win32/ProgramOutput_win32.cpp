// Windows implementation of a program's output read through an anonymous pipe. An anonymous
// pipe has no waiting with a time-out, so the collecting thread looks at it every few
// milliseconds (PeekNamedPipe) and reads only what is there; a stop is seen within one look.
#include "platform/ProgramOutput.h"

#include <system_error>

#include "platform/Env.h"
#include "platform/win32/Win32.h"

namespace ari {

namespace {
constexpr DWORD kLookEveryMs = 5;
}

// stopFds_[0] is the stop flag here (1: stop), guarded by mutex_; no pipe of its own is needed.
ProgramOutput::ProgramOutput(int readFd, std::size_t limit) : readFd_(readFd), limit_(limit) {
    if (readFd_ < 0)
        return;
    stopFds_[0] = 0;
    try {
        collector_ = std::thread([this] { Collect(); });
    } catch (const std::system_error&) {
        failed_ = true;  // no thread to be had: the output is not read at all
    }
}

ProgramOutput::~ProgramOutput() {
    Stop();
    if (readFd_ >= 0)
        Env::Platform()->Close(readFd_);
}

// Reads what the pipe holds into the text; false once nothing more is to be read (the program
// closed its end, the text went over the limit, or the read failed); `wouldBlock` when the pipe
// is merely empty for now. REQUIRES: mutex_ held.
bool ProgramOutput::ReadOnce(bool* wouldBlock) {
    const HANDLE pipe = win32::SystemHandle(readFd_);
    DWORD available = 0;
    if (!::PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) {
        if (::GetLastError() != ERROR_BROKEN_PIPE)
            failed_ = true;
        return false;
    }
    if (available == 0) {
        *wouldBlock = true;
        return false;
    }
    char buffer[16384];
    DWORD n = 0;
    if (!::ReadFile(pipe, buffer, available < sizeof buffer ? available : sizeof buffer, &n,
                    nullptr)) {
        if (::GetLastError() != ERROR_BROKEN_PIPE)
            failed_ = true;
        return false;
    }
    if (text_.size() + n > limit_) {
        failed_ = true;
        text_.clear();
        return false;
    }
    text_.append(buffer, n);
    return true;
}

void ProgramOutput::Collect() {
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopFds_[0] == 1)
                return;
            bool wouldBlock = false;
            while (ReadOnce(&wouldBlock)) {
            }
            if (!wouldBlock) {
                ended_ = !failed_;
                return;
            }
        }
        ::Sleep(kLookEveryMs);
    }
}

void ProgramOutput::Stop() {
    if (!collector_.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopFds_[0] = 1;
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
        bool wouldBlock = false;
        while (!failed_ && ReadOnce(&wouldBlock)) {
        }
    }
    if (failed_)
        return std::nullopt;
    return std::move(text_);
}

}  // namespace ari
