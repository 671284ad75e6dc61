#include "sessions/SessionListing.h"

#include <cstddef>
#include <string>
#include <utility>

#include "platform/Text.h"

namespace ari {

namespace {

// Fixed columns of a row (0-based start, width), in UTF-16 code units.
constexpr std::size_t kUserStart = 0, kUserWidth = 23;
constexpr std::size_t kSessionStart = 23, kSessionWidth = 19;
constexpr std::size_t kIdStart = 42, kIdWidth = 4;
constexpr std::size_t kStateStart = 46, kStateWidth = 8;

std::string Cut(const std::u16string& line, std::size_t start, std::size_t width) {
    if (start >= line.size())
        return {};
    return Utf8FromUtf16(line.substr(start, width));
}

bool StartsWith(const std::string& bytes, const char* prefix) {
    return bytes.rfind(prefix, 0) == 0;
}

}  // namespace

std::string DecodeListingText(const std::string& bytes) {
    if (StartsWith(bytes, "\xEF\xBB\xBF")) {
        const std::string rest = bytes.substr(3);
        // Invalid sequences become U+FFFD, as everywhere text is shown.
        return IsValidUtf8(rest) ? rest : Utf8FromUtf16(Utf16FromUtf8(rest));
    }
    if (StartsWith(bytes, "\xFF\xFE"))
        return Utf8FromUtf16Bytes(bytes.substr(2), false);
    if (StartsWith(bytes, "\xFE\xFF"))
        return Utf8FromUtf16Bytes(bytes.substr(2), true);
    if (IsValidUtf8(bytes))
        return bytes;
    return Utf8FromLatin1(bytes);
}

std::vector<std::string> SplitListingLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            lines.push_back(text.substr(start, i - start));
            if (c == '\r' && i + 1 < n && text[i + 1] == '\n')
                ++i;
            start = ++i;
        } else {
            ++i;
        }
    }
    if (start < n)
        lines.push_back(text.substr(start));
    return lines;
}

SessionRow CutSessionRow(const std::string& text) {
    const std::u16string line = Utf16FromUtf8(text);
    return SessionRow{Cut(line, kUserStart, kUserWidth), Cut(line, kSessionStart, kSessionWidth),
                      Cut(line, kIdStart, kIdWidth), Cut(line, kStateStart, kStateWidth)};
}

std::string TrimBlanks(const std::string& text) {
    std::size_t first = 0, last = text.size();
    while (first < last && static_cast<unsigned char>(text[first]) <= 32)
        ++first;
    while (last > first && static_cast<unsigned char>(text[last - 1]) <= 32)
        --last;
    return text.substr(first, last - first);
}

std::string LowerAsciiLetters(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

namespace {

// A trimmed state word with A to Z lower-cased and É (U+00C9) made é (U+00E9).
std::string FoldedWord(const std::string& word) {
    std::string out = LowerAsciiLetters(TrimBlanks(word));
    for (std::string::size_type at = 0; (at = out.find("\xC3\x89", at)) != std::string::npos;)
        out.replace(at, 2, "\xC3\xA9");
    return out;
}

// The state words of the listing tool, as the languages' listings spell them (the English and
// French ones seen in listings of those systems; the German and Spanish ones as administrators
// of those systems report them: a wording we have not seen is "neither", which only costs a
// count or a logoff, and the system's own states are read on Windows, not these words).
constexpr const char* kActiveWords[] = {"active", "aktiv", "activo", "actif"};
constexpr const char* kDisconnectedWords[] = {
    "disc", "getrennt", "desc",
    "d\xC3\xA9"
    "co",
    // "Déco" printed in the console's OEM code page 850 (é is byte 0x82), read as Latin-1.
    "d\xC2\x82"
    "co"};

}  // namespace

ListedState StateOfWord(const std::string& word) {
    const std::string folded = FoldedWord(word);
    for (const char* w : kActiveWords) {
        if (folded == w)
            return ListedState::Active;
    }
    for (const char* w : kDisconnectedWords) {
        if (folded == w)
            return ListedState::Disconnected;
    }
    return ListedState::Other;
}

bool IsListingHeader(const std::string& line) {
    bool user = false, id = false;
    std::string::size_type at = 0;
    while (at < line.size()) {
        while (at < line.size() && static_cast<unsigned char>(line[at]) <= 32)
            ++at;
        std::string::size_type end = at;
        while (end < line.size() && static_cast<unsigned char>(line[end]) > 32)
            ++end;
        const std::string word = LowerAsciiLetters(line.substr(at, end - at));
        for (const char* name : {"username", "benutzername", "utilisateur", "usuario"}) {
            if (word.find(name) != std::string::npos)
                user = true;
        }
        if (word == "id" || word == "id.")
            id = true;
        at = end;
    }
    return user && id;
}

std::string CountedEntry(const SessionRow& row) {
    const std::string trimmed = TrimBlanks(row.state);
    if (StateOfWord(trimmed) == ListedState::Other)
        return {};
    const std::string state = LowerAsciiLetters(trimmed);
    const bool console = TrimBlanks(row.sessionName) == "console";
    return TrimBlanks(row.userName) + (console ? "(directly);" : ";") + state;
}

bool IsSessionNumber(const std::string& idField) {
    const std::string id = TrimBlanks(idField);
    if (id.empty())
        return false;
    for (char c : id) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

namespace {

// UTF-8 bytes of 32 and below are the characters of those codes; every byte of a longer
// character is above 127, so byte tests for blanks and digits read characters.
bool IsBlank(char c) {
    return static_cast<unsigned char>(c) <= 32;
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The digits of a right-aligned id that reach left out of the id field into the session name's
// columns, when the field starts with a digit (often none). `whole` is false when the number
// does not start after a blank (it runs into a name or a mark), so it cannot be told apart.
std::string DigitsBeforeIdField(const SessionRow& row, bool* whole) {
    *whole = true;
    if (row.id.empty() || !IsDigit(row.id.front()))
        return {};
    std::size_t start = row.sessionName.size();
    while (start > 0 && IsDigit(row.sessionName[start - 1]))
        --start;
    const char before = start > 0              ? row.sessionName[start - 1]
                        : row.userName.empty() ? ' '
                                               : row.userName.back();
    *whole = IsBlank(before);
    return row.sessionName.substr(start);
}

}  // namespace

bool HoldsWholeSessionId(const SessionRow& row) {
    if (!IsSessionNumber(row.id))
        return false;
    std::size_t first = 0, end = row.id.size();
    while (IsBlank(row.id[first]))
        ++first;
    while (IsBlank(row.id[end - 1]))
        --end;
    // Before the number: a blank inside the field, or a blank before the digits that a
    // right-aligned id puts into the session name's last columns.
    if (first == 0) {
        bool whole = true;
        DigitsBeforeIdField(row, &whole);
        if (!whole)
            return false;
    }
    // After it: a blank inside the field, or, from the field's last column on, the state.
    if (end < row.id.size())
        return true;
    return row.state.empty() || !IsDigit(row.state.front());
}

std::string LogoffParameters(const SessionRow& row) {
    bool whole = true;
    const std::string lead = DigitsBeforeIdField(row, &whole);
    return lead + row.id + " /server:" + kSessionServer;
}

bool IsOwnSession(const SessionRow& row) {
    return !row.userName.empty() && row.userName.front() == '>';
}

SessionListing ParseSessionListing(const std::vector<std::string>& lines) {
    SessionListing listing;
    for (std::size_t i = 1; i < lines.size(); ++i)
        listing.rows.push_back(CutSessionRow(lines[i]));
    for (int r = 0; r < static_cast<int>(listing.rows.size()); ++r) {
        std::string entry = CountedEntry(listing.rows[r]);
        if (!entry.empty())
            listing.counted.push_back(CountedSession{std::move(entry), r});
    }
    for (const CountedSession& entry : listing.counted) {
        // The entry's text after its first ";" decides, as the lstUsers entry reads.
        const std::string after = entry.text.substr(entry.text.find(';') + 1);
        const SessionRow& row = listing.rows[static_cast<std::size_t>(entry.row)];
        if (StateOfWord(after) == ListedState::Disconnected && HoldsWholeSessionId(row) &&
            !IsOwnSession(row))
            listing.logoffRows.push_back(entry.row);
    }
    return listing;
}

namespace {

// What the listing tools print, on standard error, when nobody is logged on: not a failure.
constexpr const char* kNoUserMessages[] = {"No User exists for *"};

}  // namespace

SessionListing ReadToolListing(const std::string& printed) {
    const std::vector<std::string> lines = SplitListingLines(DecodeListingText(printed));
    std::vector<std::string> said;  // the lines that hold something
    for (const std::string& line : lines) {
        if (!TrimBlanks(line).empty())
            said.push_back(TrimBlanks(line));
    }
    if (!lines.empty() && IsListingHeader(lines.front())) {
        SessionListing listing = ParseSessionListing(lines);
        listing.lines = lines;
        return listing;
    }
    SessionListing listing;
    listing.lines = lines;
    if (said.size() == 1) {
        for (const char* message : kNoUserMessages) {
            if (said.front() == message)
                return listing;
        }
    }
    listing.failure =
        said.empty() ? std::string("quser printed nothing")
                     : "quser printed no session listing: \"" + said.front().substr(0, 200) + "\"";
    return listing;
}

}  // namespace ari
