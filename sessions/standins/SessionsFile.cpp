#include "sessions/standins/SessionsFile.h"

#include <cstdlib>
#include <sstream>

namespace ari {

namespace {

std::vector<std::string> Split(const std::string& line) {
    std::vector<std::string> out;
    std::string cur;
    for (char c : line) {
        if (c == '|') {
            out.push_back(cur);
            cur.clear();
        } else if (c != '\r') {
            cur += c;
        }
    }
    out.push_back(cur);
    return out;
}

bool IsNumber(const std::string& s) {
    if (s.empty() || s.size() > 9)
        return false;
    for (char c : s)
        if (c < '0' || c > '9')
            return false;
    return true;
}

}  // namespace

std::vector<LoginSession> ParseSessionsFile(const std::string& text) {
    std::vector<LoginSession> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const auto f = Split(line);
        if (f.size() < 6 || !IsNumber(f[0]) || f[1].empty() || (f[3] != "Active" && f[3] != "Disc"))
            continue;
        LoginSession s;
        s.id = f[0];
        s.user = f[1];
        s.sessionName = f[2];
        s.disconnected = f[3] == "Disc";
        s.idleMinutes = IsNumber(f[4]) ? std::atol(f[4].c_str()) : -1;
        s.logonTime = f[5];
        s.current = f.size() > 6 && f[6] == "*";
        out.push_back(s);
    }
    return out;
}

std::string WithoutSession(const std::string& text, const std::string& id) {
    std::istringstream in(text);
    std::string line, out;
    while (std::getline(in, line)) {
        const auto f = Split(line);
        if (!f.empty() && f[0] == id)
            continue;
        out += line + "\n";
    }
    return out;
}

}  // namespace ari
