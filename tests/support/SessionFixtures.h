// Test fixtures for the session tools: utmp records and real process sessions for them, so
// that listing and logoff work on fixture files and never on the machine's own sessions.
#pragma once

#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utmp.h>

#include <chrono>
#include <string>
#include <thread>

namespace ari::test {

// One utmp record of the given type, process, process session, line and user, logged on at
// `when` (seconds since 1970).
std::string UtmpRecord(short type, pid_t pid, int session, const std::string& line,
                       const std::string& user, long when);

// True when no live (non-zombie) process has that id.
bool Gone(pid_t pid);
// Waits up to ten seconds for Gone(pid).
bool WaitUntilGone(pid_t pid);

// A process session for the fixtures: `leader` made the session and `member` runs in it. When
// `leaderStays` is false the leader has exited, as after a session that was left.
struct FixtureSession {
    pid_t leader = -1, member = -1;

    explicit FixtureSession(bool leaderStays) {
        int fds[2];
        if (pipe(fds) != 0)
            return;
        const pid_t child = fork();
        if (child == 0) {
            setsid();
            const pid_t m = fork();
            if (m == 0) {
                execl("/bin/sleep", "sleep", "60", static_cast<char*>(nullptr));
                _exit(127);
            }
            const pid_t self = getpid();
            (void)!write(fds[1], &m, sizeof m);
            (void)!write(fds[1], &self, sizeof self);
            if (leaderStays) {
                // A leader that ends on the hang-up signal, as a login shell does.
                execl("/bin/sleep", "sleep", "60", static_cast<char*>(nullptr));
            }
            _exit(0);
        }
        close(fds[1]);
        if (read(fds[0], &member, sizeof member) != sizeof member)
            member = -1;
        if (read(fds[0], &leader, sizeof leader) != sizeof leader)
            leader = -1;
        close(fds[0]);
        if (!leaderStays)
            waitpid(child, nullptr, 0);
        childToReap_ = leaderStays ? child : -1;
    }
    ~FixtureSession() {
        if (member > 0 && !Gone(member))
            kill(member, SIGKILL);
        if (childToReap_ > 0) {
            kill(childToReap_, SIGKILL);
            waitpid(childToReap_, nullptr, 0);
        }
    }
    // Reaps the leader once it has ended (it is this test's child).
    bool LeaderEnded() {
        for (int i = 0; i < 1000; ++i) {
            int status = 0;
            if (waitpid(childToReap_, &status, WNOHANG) == childToReap_) {
                childToReap_ = -1;
                return WIFSIGNALED(status) && WTERMSIG(status) == SIGHUP;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

  private:
    pid_t childToReap_ = -1;
};

}  // namespace ari::test
