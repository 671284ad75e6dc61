// A child process that takes something (a lock, an open file) and keeps it until released:
// another program's hold on our files, made real for the tests.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <stdexcept>

namespace ari::test {

class ChildHolder {
  public:
    // Forks; the child runs `hold` (false or an exception: it could not take it), reports, and
    // keeps what it took until Release. When the child could not: throws std::runtime_error, or
    // with `throwIfRefused` false, Holds() is false (the child still waits for Release).
    explicit ChildHolder(const std::function<bool()>& hold, bool throwIfRefused = true) {
        int ready[2], release[2];
        if (::pipe(ready) != 0 || ::pipe(release) != 0)
            throw std::runtime_error("pipe");
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(ready[0]);
            ::close(release[1]);
            char c = 'n';
            try {
                c = hold() ? 'y' : 'n';
            } catch (...) {
            }
            if (::write(ready[1], &c, 1) != 1)
                ::_exit(3);
            char dummy;
            (void)::read(release[0], &dummy, 1);
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(release[0]);
        releaseFd_ = release[1];
        char c = 0;
        holds_ = ::read(ready[0], &c, 1) == 1 && c == 'y';
        ::close(ready[0]);
        if (!holds_ && throwIfRefused) {
            Release();
            throw std::runtime_error("the child could not take what it was to hold");
        }
    }
    ~ChildHolder() { Release(); }
    ChildHolder(const ChildHolder&) = delete;
    ChildHolder& operator=(const ChildHolder&) = delete;

    bool Holds() const { return holds_; }
    long Pid() const { return pid_; }

    // Ends the child (end of file on its pipe) and waits for it.
    void Release() {
        if (releaseFd_ < 0)
            return;
        ::close(releaseFd_);
        releaseFd_ = -1;
        int status;
        ::waitpid(pid_, &status, 0);
    }

  private:
    pid_t pid_ = -1;
    int releaseFd_ = -1;
    bool holds_ = false;
};

}  // namespace ari::test
