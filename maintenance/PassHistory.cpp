#include "maintenance/PassHistory.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "maintenance/SummaryTexts.h"

namespace ari {

namespace {

using summary::kHeading;
using summary::kRemoved;
using summary::kResult;
using summary::kTableLine;
using summary::kTotalLine;

bool StartsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

bool Digits(const std::string& text, size_t at, size_t count) {
    if (at + count > text.size())
        return false;
    for (size_t i = at; i < at + count; ++i)
        if (!std::isdigit(static_cast<unsigned char>(text[i])))
            return false;
    return true;
}

// "DD/MM/YYYY HH:MM:SS" as "YYYY-MM-DD HH:MM:SS"; anything else as it is.
std::string IsoDate(const std::string& stamp) {
    if (stamp.size() == 19 && Digits(stamp, 0, 2) && stamp[2] == '/' && Digits(stamp, 3, 2) &&
        stamp[5] == '/' && Digits(stamp, 6, 4) && stamp[10] == ' ')
        return stamp.substr(6, 4) + '-' + stamp.substr(3, 2) + '-' + stamp.substr(0, 2) +
               stamp.substr(10);
    return stamp;
}

// The heading's stamp and folder: "=== Pass summary <stamp> (<folder>)". The stamp holds one
// blank (between date and time); the folder is what the parentheses hold, blanks and all.
PassRecord FromHeading(const std::string& line) {
    PassRecord pass;
    const std::string rest = line.substr(sizeof kHeading - 1);
    const size_t open = rest.find(" (");
    pass.date = IsoDate(rest.substr(0, open));
    if (open != std::string::npos && !rest.empty() && rest.back() == ')')
        pass.liveFolder = rest.substr(open + 2, rest.size() - open - 3);
    pass.result = "not finished";
    return pass;
}

// "total time 12.34 s; result ok, verify failed": false when the line is not of that form.
bool ReadTotal(const std::string& line, PassRecord& pass) {
    const size_t at = line.find(kResult);
    if (at == std::string::npos)
        return false;
    const std::string number = line.substr(sizeof kTotalLine - 1, at - (sizeof kTotalLine - 1));
    char* end = nullptr;
    const double seconds = std::strtod(number.c_str(), &end);
    if (number.empty() || *end != '\0')
        return false;
    pass.seconds = seconds;
    pass.result = line.substr(at + sizeof kResult - 1);
    return true;
}

std::string Fixed(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

}  // namespace

std::vector<PassRecord> ReadPasses(const std::string& text) {
    std::vector<PassRecord> out;
    bool open = false;  // the last record's block still takes table and total lines
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (StartsWith(line, kHeading)) {
            out.push_back(FromHeading(line));
            open = true;
        } else if (open && StartsWith(line, kTableLine)) {
            PassRecord& pass = out.back();
            ++pass.tables;
            const size_t at = line.find(kRemoved);
            if (at != std::string::npos) {
                char* stop = nullptr;
                const long long n =
                    std::strtoll(line.c_str() + at + sizeof kRemoved - 1, &stop, 10);
                if (*stop == ';' || *stop == '\0')
                    pass.recordsRemoved = (pass.recordsRemoved < 0 ? 0 : pass.recordsRemoved) + n;
            }
        } else if (open && StartsWith(line, kTotalLine)) {
            ReadTotal(line, out.back());
            open = false;
        } else {
            open = false;  // a log line: whatever block was open ended without its total
        }
    }
    return out;
}

std::string HistoryTable(const std::vector<PassRecord>& passes, std::size_t count) {
    const size_t first = passes.size() > count ? passes.size() - count : 0;
    std::string out;
    char line[512];
    std::snprintf(line, sizeof line, "%-19s  %10s  %6s  %15s  %s\n", "date", "duration", "tables",
                  "records removed", "result");
    out += line;
    for (size_t i = first; i < passes.size(); ++i) {
        const PassRecord& p = passes[i];
        const std::string duration = p.seconds < 0 ? "?" : Fixed(p.seconds) + " s";
        const std::string removed = p.recordsRemoved < 0 ? "-" : std::to_string(p.recordsRemoved);
        std::snprintf(line, sizeof line, "%-19s  %10s  %6d  %15s  ", p.date.c_str(),
                      duration.c_str(), p.tables, removed.c_str());
        out += line + p.result + '\n';
    }
    return out;
}

}  // namespace ari
