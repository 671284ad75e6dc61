// logoff for Windows where the system has none (Wine): ends a disconnected session of
// ARI_SESSIONS_FILE (SessionsFile.h) by removing its line. Usage: logoff ID [/server:127.0.0.1]
// Exits nonzero, with a message, when the id names no session or a session that is not
// disconnected.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "sessions/standins/SessionsFile.h"

int main(int argc, char** argv) {
    std::string id;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (ari::IsLocalServerArgument(arg))
            continue;
        if (!id.empty() || ari::IsServerArgument(arg)) {
            std::fprintf(stderr, "Usage: logoff ID [/server:127.0.0.1]\n");
            return 1;
        }
        id = arg;
    }
    const char* file = std::getenv("ARI_SESSIONS_FILE");
    if (id.empty() || !file || !*file) {
        std::fprintf(
            stderr,
            id.empty() ? "Usage: logoff ID [/server:127.0.0.1]\n" : "No session exists for ID %s\n",
            id.c_str());
        return 1;
    }
    std::string text;
    {
        std::ifstream in(file, std::ios::binary);
        std::ostringstream ss;
        ss << in.rdbuf();
        text = ss.str();
    }
    for (const auto& s : ari::ParseSessionsFile(text)) {
        if (s.id != id)
            continue;
        if (!s.disconnected) {
            std::fprintf(stderr,
                         "Session %s is not disconnected: only a disconnected session is logged "
                         "off\n",
                         id.c_str());
            return 1;
        }
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << ari::WithoutSession(text, id);
        return out.flush() ? 0 : 1;
    }
    std::fprintf(stderr, "No session exists for ID %s\n", id.c_str());
    return 1;
}
