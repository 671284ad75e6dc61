// The session listing's rows and the tools' arguments: what the stand-ins of every platform
// share (LoginSessions.h).
#include <cctype>
#include <cstdio>
#include <string>

#include "sessions/standins/LoginSessions.h"

namespace ari {

namespace {

// Column widths of the listing (see the header).
constexpr size_t kUserWidth = 22;     // columns 2-23
constexpr size_t kSessionWidth = 19;  // columns 24-42
constexpr size_t kIdWidth = 4;        // columns 43-46
constexpr size_t kStateWidth = 8;     // columns 47-54
constexpr size_t kIdleWidth = 9;      // columns 55-63

// Characters of UTF-8 text (continuation bytes do not count).
size_t CharCount(const std::string& s) {
    size_t n = 0;
    for (unsigned char c : s)
        n += (c & 0xC0) != 0x80;
    return n;
}

// `s` in a field of `width` columns: cut to leave at least one blank at the end (so that two
// fields never run together) and padded with blanks; control characters become '?', so that
// no name can break a row.
std::string Fit(const std::string& s, size_t width) {
    const size_t keep = width - 1;
    std::string out;
    size_t chars = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        const bool starts = (c & 0xC0) != 0x80;
        if (starts && chars == keep)
            break;
        if (starts)
            ++chars;
        out += (c < 32 || c == 127) ? '?' : s[i];
    }
    return out + std::string(width - chars, ' ');
}

std::string PadLeft(const std::string& s, size_t width) {
    const size_t n = CharCount(s);
    return n >= width ? s : std::string(width - n, ' ') + s;
}

}  // namespace

std::string IdleText(long minutes) {
    if (minutes < 1)
        return ".";
    const long days = minutes / (24 * 60), hours = (minutes / 60) % 24, mins = minutes % 60;
    char buf[48];
    if (days > 0)
        snprintf(buf, sizeof buf, "%ld+%ld:%02ld", days, hours, mins);
    else if (hours > 0)
        snprintf(buf, sizeof buf, "%ld:%02ld", hours, mins);
    else
        snprintf(buf, sizeof buf, "%ld", mins);
    return buf;
}

std::string FormatListingRow(const LoginSession& s) {
    std::string row = s.current ? ">" : " ";
    row += Fit(s.user, kUserWidth);
    row += Fit(s.sessionName, kSessionWidth);
    if (s.id.size() <= 2)
        row += PadLeft(s.id, 2) + "  ";
    else if (s.id.size() <= kIdWidth)
        row += s.id + std::string(kIdWidth - s.id.size(), ' ');
    else
        row += " *  ";
    row += Fit(s.disconnected ? "Disc" : "Active", kStateWidth);
    row += PadLeft(IdleText(s.idleMinutes), kIdleWidth);
    row += "  " + s.logonTime;
    row = row.substr(0, row.find_last_not_of(' ') + 1);
    if (s.id.size() > kIdWidth)
        row += "  (id " + s.id + ")";
    return row;
}

bool IsServerArgument(const std::string& arg) {
    static const char prefix[] = "/server:";
    if (arg.size() < sizeof prefix - 1)
        return false;
    for (size_t i = 0; i < sizeof prefix - 1; ++i) {
        if (std::tolower(static_cast<unsigned char>(arg[i])) != prefix[i])
            return false;
    }
    return true;
}

bool IsLocalServerArgument(const std::string& arg) {
    if (!IsServerArgument(arg))
        return false;
    const std::string server = arg.substr(8);
    return server == "127.0.0.1" || server == "localhost" || server == "::1" || server == ".";
}

bool QuserArgumentsAccepted(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (IsLocalServerArgument(arg))
            continue;
        if (IsServerArgument(arg)) {
            std::fprintf(stderr, "Only the local machine can be queried, not %s\n",
                         arg.c_str() + 8);
            return false;
        }
        std::fprintf(stderr, "Usage: quser [/server:127.0.0.1]\n");
        return false;
    }
    return true;
}

}  // namespace ari
