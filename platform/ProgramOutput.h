// The standard output of a started program, read through a pipe that only this process holds.
// What a program prints this way never passes through a file, so no other user can redirect it
// through a planted link or swap in text of their own before it is read.
#pragma once

#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace ari {

// Collects what a program writes to the pipe, in a thread of its own from construction until
// the program closes its end or Take is called, whichever comes first: the program never waits
// on a full pipe, however long the caller waits before taking the text.
//
// Thread-safety: one owner calls Take; the collecting thread is private.
class ProgramOutput {
  public:
    // More than this is not a program's answer but a fault: the text is then dropped whole.
    static constexpr std::size_t kDefaultLimit = 1 << 20;

    // Takes ownership of the pipe's reading end (-1 gives an output that ended empty).
    explicit ProgramOutput(int readFd, std::size_t limit = kDefaultLimit);
    // Stops collecting and closes the pipe (a program that writes on gets EPIPE).
    ~ProgramOutput();
    ProgramOutput(const ProgramOutput&) = delete;
    ProgramOutput& operator=(const ProgramOutput&) = delete;

    // True once the program has closed its end of the pipe (or the pipe could not be read, or
    // the text went over the limit): Take then has all there will be. Any thread.
    bool Ended();

    // What the program has written so far, and stops collecting; nothing when it wrote more
    // than the limit or the pipe could not be read. REQUIRES: called once.
    std::optional<std::string> Take();

  private:
    void Collect();
    void Stop();
    bool ReadOnce(bool* wouldBlock);

    int readFd_;
    int stopFds_[2] = {-1, -1};  // a byte written to [1] ends the collecting thread
    std::size_t limit_;
    std::mutex mutex_;
    std::string text_;     // guarded by mutex_
    bool failed_ = false;  // guarded by mutex_: over the limit or a read error
    bool ended_ = false;   // guarded by mutex_: the program closed its end
    std::thread collector_;
};

}  // namespace ari
