// quser for Windows where the system has none (Wine): lists the sessions of ARI_SESSIONS_FILE
// (SessionsFile.h) in the fixed-column session listing. Usage: quser [/server:127.0.0.1]
// Exits 1 with "No User exists for *" when there is no session.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "sessions/standins/SessionsFile.h"

int main(int argc, char** argv) {
    if (!ari::QuserArgumentsAccepted(argc, argv))
        return 1;
    std::string text;
    if (const char* file = std::getenv("ARI_SESSIONS_FILE"); file && *file) {
        std::ifstream in(file, std::ios::binary);
        std::ostringstream ss;
        ss << in.rdbuf();
        text = ss.str();
    }
    const auto sessions = ari::ParseSessionsFile(text);
    if (sessions.empty()) {
        std::fprintf(stderr, "No User exists for *\n");
        return 1;
    }
    std::printf("%s\n", ari::kListingHeader);
    for (const auto& s : sessions)
        std::printf("%s\n", ari::FormatListingRow(s).c_str());
    return std::fflush(stdout) == 0 ? 0 : 1;
}
