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

// "A -> B" of whole numbers, "?" or "none" on a side that was not known or not there.
void ReadPair(const std::string& text, std::int64_t& before, std::int64_t& after) {
    const size_t arrow = text.find(" -> ");
    if (arrow == std::string::npos)
        return;
    const auto number = [](const std::string& n) -> std::int64_t {
        if (n.empty() || !Digits(n, 0, n.size()))
            return -1;
        return std::strtoll(n.c_str(), nullptr, 10);
    };
    before = number(text.substr(0, arrow));
    after = number(text.substr(arrow + 4));
}

std::vector<std::string> Split(const std::string& text, const std::string& separator) {
    std::vector<std::string> out;
    size_t from = 0;
    for (;;) {
        const size_t at = text.find(separator, from);
        out.push_back(text.substr(from, at == std::string::npos ? std::string::npos : at - from));
        if (at == std::string::npos)
            return out;
        from = at + separator.size();
    }
}

// "table <name>: operations <o, ...>; records A -> B[; deleted records removed N]; tags rebuilt
// <t, ...>[; table bytes A -> B][; index bytes ...][; memo bytes ...]; time S s; result R
// [; verify V]". The fields before the time hold no "; " of their own (operations and tag names
// are words); the result, an error's message, may, and comes last but for the check.
TableSummary FromTableLine(const std::string& line) {
    TableSummary t;
    t.result = "?";
    const std::string rest = line.substr(sizeof kTableLine - 1);
    const size_t named = rest.find(": operations ");
    if (named == std::string::npos) {
        t.table = rest;
        return t;
    }
    t.table = rest.substr(0, named);
    const std::string fields = rest.substr(named + 2);
    const size_t time = fields.find("; time ");
    for (const std::string& field : Split(fields.substr(0, time), "; ")) {
        if (StartsWith(field, "operations ")) {
            const std::string list = field.substr(11);
            if (list != "none")
                t.operations = Split(list, ", ");
        } else if (StartsWith(field, "records ")) {
            ReadPair(field.substr(8), t.recordsBefore, t.recordsAfter);
        } else if (StartsWith(field, kRemoved + 2)) {
            t.packed = true;
        } else if (StartsWith(field, "tags rebuilt ")) {
            const std::string list = field.substr(13);
            if (list != "none")
                t.tagsRebuilt = Split(list, ", ");
        } else if (StartsWith(field, "table bytes ") || StartsWith(field, "bytes ")) {
            ReadPair(field.substr(field.find("bytes ") + 6), t.bytesBefore.table,
                     t.bytesAfter.table);
        } else if (StartsWith(field, "index bytes ")) {
            ReadPair(field.substr(12), t.bytesBefore.index, t.bytesAfter.index);
        } else if (StartsWith(field, "memo bytes ")) {
            ReadPair(field.substr(11), t.bytesBefore.memo, t.bytesAfter.memo);
        }
    }
    if (time == std::string::npos)
        return t;
    const std::string timed = fields.substr(time + 7);
    const size_t result = timed.find(kResult);
    if (result == std::string::npos)
        return t;
    char* end = nullptr;
    const std::string seconds = timed.substr(0, result);
    const double value = std::strtod(seconds.c_str(), &end);
    if (!seconds.empty() && *end == '\0')
        t.seconds = value;
    t.result = timed.substr(result + sizeof kResult - 1);
    const size_t verify = t.result.rfind("; verify ");
    if (verify != std::string::npos) {
        t.verify = t.result.substr(verify + 9);
        t.result.erase(verify);
    }
    return t;
}

std::string Fixed(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

}  // namespace

std::vector<JournalPass> ReadJournalPasses(const std::string& text) {
    std::vector<JournalPass> out;
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
            JournalPass pass;
            pass.record = FromHeading(line);
            pass.pass.liveFolder = pass.record.liveFolder;
            pass.pass.result = pass.record.result;
            out.push_back(std::move(pass));
            open = true;
        } else if (open && StartsWith(line, kTableLine)) {
            PassRecord& pass = out.back().record;
            ++pass.tables;
            const size_t at = line.find(kRemoved);
            if (at != std::string::npos) {
                char* stop = nullptr;
                const long long n =
                    std::strtoll(line.c_str() + at + sizeof kRemoved - 1, &stop, 10);
                if (*stop == ';' || *stop == '\0')
                    pass.recordsRemoved = (pass.recordsRemoved < 0 ? 0 : pass.recordsRemoved) + n;
            }
            out.back().pass.tables.push_back(FromTableLine(line));
        } else if (open && StartsWith(line, kTotalLine)) {
            JournalPass& pass = out.back();
            ReadTotal(line, pass.record);
            pass.pass.seconds = pass.record.seconds;
            pass.pass.result = pass.record.result;
            open = false;
        } else {
            open = false;  // a log line: whatever block was open ended without its total
        }
    }
    return out;
}

std::vector<PassRecord> ReadPasses(const std::string& text) {
    std::vector<PassRecord> out;
    for (JournalPass& pass : ReadJournalPasses(text))
        out.push_back(std::move(pass.record));
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
