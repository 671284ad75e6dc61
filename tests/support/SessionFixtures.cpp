#include "tests/support/SessionFixtures.h"

#include <cstring>

#include "sessions/standins/LoginSessions.h"
#include "tests/support/TestFolders.h"

namespace ari::test {

std::string UtmpRecord(short type, pid_t pid, int session, const std::string& line,
                       const std::string& user, long when) {
    struct utmp u;
    std::memset(&u, 0, sizeof u);
    u.ut_type = type;
    u.ut_pid = pid;
    u.ut_session = session;
    std::strncpy(u.ut_line, line.c_str(), sizeof u.ut_line);
    std::strncpy(u.ut_user, user.c_str(), sizeof u.ut_user);
    u.ut_tv.tv_sec = static_cast<int32_t>(when);
    return std::string(reinterpret_cast<const char*>(&u), sizeof u);
}

bool Gone(pid_t pid) {
    return !ari::ProcessAlive(pid);
}

bool WaitUntilGone(pid_t pid) {
    return WaitUntil([pid] { return Gone(pid); });
}

}  // namespace ari::test
