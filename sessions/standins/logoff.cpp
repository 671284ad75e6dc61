// logoff: ends a disconnected login session of the local machine.
// Usage: logoff ID [/server:127.0.0.1]
// With logind the session is terminated through loginctl; with utmp only, the processes of its
// process session get a hang-up signal. Exits nonzero, with a message, when the id is not a
// session number, names no session, or names a session that is not disconnected: the session
// monitor logs off what its listing showed as disconnected, and a user who has come back since
// (or an id that names another session) must not be thrown out.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "sessions/standins/LoginSessions.h"

namespace {

bool IsSessionNumber(const std::string& id) {
    if (id.empty() || id.size() > 9)
        return false;
    for (char c : id) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

int Usage() {
    std::fprintf(stderr, "Usage: logoff ID [/server:127.0.0.1]\n");
    return 1;
}

int NoSuchSession(const std::string& id) {
    std::fprintf(stderr, "No session exists for ID %s\n", id.c_str());
    return 1;
}

int NotDisconnected(const std::string& id) {
    std::fprintf(stderr,
                 "Session %s is not disconnected: only a disconnected session is logged off\n",
                 id.c_str());
    return 1;
}

int LogoffUtmp(const ari::SessionSource& source, const std::string& id) {
    for (const ari::LoginSession& s : ari::ListSessions(source)) {
        if (s.id != id)
            continue;
        // Never signal init or everything: a bogus record must not take the machine down.
        if (s.sessionId <= 1) {
            std::fprintf(stderr, "Session %s cannot be logged off\n", id.c_str());
            return 1;
        }
        if (!s.disconnected)
            return NotDisconnected(id);
        bool signalled = false;
        int error = 0;
        auto hangUp = [&](pid_t pid) {
            if (pid <= 1)
                return;
            if (kill(pid, SIGHUP) == 0)
                signalled = true;
            else if (errno != ESRCH)
                error = errno;
        };
        for (pid_t pid : ari::ProcessesOfSession(s.sessionId))
            hangUp(pid);
        if (error != 0 && !signalled) {
            std::fprintf(stderr, "Could not log off session %s: %s\n", id.c_str(),
                         std::strerror(error));
            return 1;
        }
        return 0;
    }
    return NoSuchSession(id);
}

int LogoffLogind(const std::string& id) {
    const auto shown = ari::RunAndCapture(
        {"loginctl", "show-session", id, "--no-pager", "-p", "Id", "-p", "State", "-p", "Class"});
    if (!shown)
        return NoSuchSession(id);
    // Disconnected as quser lists it: a user session that is closing.
    const auto session = ari::SessionFromProperties(ari::ParseProperties(*shown), 0, "");
    if (!session || !session->disconnected)
        return NotDisconnected(id);
    if (ari::RunProgram({"loginctl", "terminate-session", id}) != 0) {
        std::fprintf(stderr, "Could not log off session %s\n", id.c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string id;
    bool haveId = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (ari::IsLocalServerArgument(arg))
            continue;
        if (ari::IsServerArgument(arg)) {
            std::fprintf(stderr, "Only sessions of the local machine can be logged off, not %s\n",
                         arg.c_str() + 8);
            return 1;
        }
        if (haveId)
            return Usage();
        id = arg;
        haveId = true;
    }
    // Without an id the platform's logoff would end the caller's own session: never here.
    if (!haveId)
        return Usage();
    if (!IsSessionNumber(id)) {
        std::fprintf(stderr, "Invalid session ID: %s\n", id.c_str());
        return 1;
    }
    const ari::SessionSource source = ari::ChooseSessionSource();
    return source.logind ? LogoffLogind(id) : LogoffUtmp(source, id);
}
