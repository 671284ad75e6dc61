// quser: lists the login sessions of the local machine in the fixed-column session listing
// (header line, then one row a session). Usage: quser [/server:127.0.0.1]
// Exits 1 with "No User exists for *" when there is no session.
#include <cstdio>
#include <string>

#include "sessions/standins/LoginSessions.h"

int main(int argc, char** argv) {
    if (!ari::QuserArgumentsAccepted(argc, argv))
        return 1;
    const auto sessions = ari::ListSessions(ari::ChooseSessionSource());
    if (sessions.empty()) {
        std::fprintf(stderr, "No User exists for *\n");
        return 1;
    }
    std::printf("%s\n", ari::kListingHeader);
    for (const auto& s : sessions)
        std::printf("%s\n", ari::FormatListingRow(s).c_str());
    return std::fflush(stdout) == 0 ? 0 : 1;
}
