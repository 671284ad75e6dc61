#include "settings/ProfileText.h"

#include <cstdint>

#include "platform/Files.h"
#include "platform/Text.h"

namespace ari {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && IsBlank(s[b]))
        ++b;
    while (e > b && IsBlank(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

// Cuts UTF-8 text to at most `count` characters (a character = a non-continuation byte).
std::string CutCharacters(const std::string& s, size_t count) {
    size_t chars = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
            if (chars == count)
                return s.substr(0, i);
            ++chars;
        }
    }
    return s;
}

// The section name of a header line, or false when the line is no header.
bool SectionName(const std::string& line, std::string& name) {
    const std::string t = Trim(line);
    if (t.empty() || t[0] != '[')
        return false;
    const size_t close = t.find(']');
    name = Trim(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
    return true;
}

// The key of a key line, or false for comments and lines without '='.
bool KeyName(const std::string& line, std::string& key) {
    const std::string t = Trim(line);
    if (t.empty() || t[0] == ';')
        return false;
    const size_t eq = line.find('=');
    if (eq == std::string::npos)
        return false;
    key = Trim(line.substr(0, eq));
    return true;
}

// UTF-16 code units (little- or big-endian bytes) back to bytes from UTF-8 text.
std::string Utf16Bytes(const std::string& text, bool bigEndian) {
    std::string out;
    for (const char16_t u : Utf16FromUtf8(text)) {
        const char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
        out += bigEndian ? hi : lo;
        out += bigEndian ? lo : hi;
    }
    return out;
}

}  // namespace

ProfileText::ProfileText(const std::string& fileBytes) {
    // The byte order marks the platform's profile functions recognise; the text is worked on as
    // UTF-8 and written back in the encoding it came in.
    std::string bytes;
    if (fileBytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        encoding_ = Encoding::Utf8Bom;
        bytes = fileBytes.substr(3);
    } else if (fileBytes.compare(0, 2, "\xFF\xFE") == 0 ||
               fileBytes.compare(0, 2, "\xFE\xFF") == 0) {
        encoding_ = fileBytes[0] == '\xFF' ? Encoding::Utf16Le : Encoding::Utf16Be;
        const std::string units = fileBytes.substr(2);
        if (units.size() % 2 != 0)
            oddByte_ = units.substr(units.size() - 1);
        bytes = Utf8FromUtf16Bytes(units, encoding_ == Encoding::Utf16Be);
    } else {
        bytes = fileBytes;
    }
    size_t i = 0;
    while (i < bytes.size()) {
        size_t j = i;
        while (j < bytes.size() && bytes[j] != '\r' && bytes[j] != '\n')
            ++j;
        Line line{bytes.substr(i, j - i), ""};
        if (j < bytes.size()) {
            if (bytes[j] == '\r' && j + 1 < bytes.size() && bytes[j + 1] == '\n') {
                line.end = "\r\n";
                j += 2;
            } else {
                line.end = std::string(1, bytes[j]);
                ++j;
            }
        }
        lines_.push_back(std::move(line));
        i = j;
    }
}

int ProfileText::FindSection(const std::string& section) const {
    const std::string wanted = Trim(section);
    std::string name;
    for (size_t i = 0; i < lines_.size(); ++i)
        if (SectionName(lines_[i].text, name) && EqualsNoCase(name, wanted))
            return static_cast<int>(i);
    return -1;
}

int ProfileText::SectionEnd(int header) const {
    std::string name;
    size_t i = static_cast<size_t>(header) + 1;
    while (i < lines_.size() && !SectionName(lines_[i].text, name))
        ++i;
    return static_cast<int>(i);
}

int ProfileText::FindKey(int header, const std::string& key) const {
    const std::string wanted = Trim(key);
    const int end = SectionEnd(header);
    std::string name;
    for (int i = header + 1; i < end; ++i)
        if (KeyName(lines_[static_cast<size_t>(i)].text, name) && EqualsNoCase(name, wanted))
            return i;
    return -1;
}

std::string ProfileText::Read(const std::string& section, const std::string& key) const {
    const int header = FindSection(section);
    if (header < 0)
        return {};
    const int at = FindKey(header, key);
    if (at < 0)
        return {};
    const std::string& line = lines_[static_cast<size_t>(at)].text;
    std::string value = Trim(line.substr(line.find('=') + 1));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
        value = value.substr(1, value.size() - 2);
    return CutCharacters(value, kMaxProfileValueLength);
}

void ProfileText::Write(const std::string& section, const std::string& key,
                        const std::string& value) {
    const std::string text = Trim(key) + "=" + value;
    // A last line without a line end gets one before anything follows it.
    auto terminateLast = [this] {
        if (!lines_.empty() && lines_.back().end.empty())
            lines_.back().end = "\r\n";
    };
    const int header = FindSection(section);
    if (header < 0) {
        terminateLast();
        lines_.push_back({"[" + Trim(section) + "]", "\r\n"});
        lines_.push_back({text, "\r\n"});
        return;
    }
    const int at = FindKey(header, key);
    if (at >= 0) {
        Line& line = lines_[static_cast<size_t>(at)];
        line.text = text;
        line.end = "\r\n";  // a line the program writes ends in CR LF
        return;
    }
    int insert = SectionEnd(header);
    while (insert > header + 1 && Trim(lines_[static_cast<size_t>(insert - 1)].text).empty())
        --insert;
    if (insert == static_cast<int>(lines_.size()))
        terminateLast();
    if (lines_[static_cast<size_t>(insert - 1)].end.empty())
        lines_[static_cast<size_t>(insert - 1)].end = "\r\n";
    lines_.insert(lines_.begin() + insert, Line{text, "\r\n"});
}

bool ProfileText::Delete(const std::string& section, const std::string& key) {
    const int header = FindSection(section);
    if (header < 0)
        return false;
    const int at = FindKey(header, key);
    if (at < 0)
        return false;
    lines_.erase(lines_.begin() + at);
    return true;
}

std::string ProfileText::Bytes() const {
    std::string out;
    for (const Line& l : lines_)
        out += l.text + l.end;
    switch (encoding_) {
        case Encoding::Utf8:
            return out;
        case Encoding::Utf8Bom:
            return "\xEF\xBB\xBF" + out;
        case Encoding::Utf16Le:
            return "\xFF\xFE" + Utf16Bytes(out, false) + oddByte_;
        case Encoding::Utf16Be:
            return "\xFE\xFF" + Utf16Bytes(out, true) + oddByte_;
    }
    return out;
}

bool IsWritableProfileEntry(const std::string& section, const std::string& key,
                            const std::string& value) {
    auto hasLineBreak = [](const std::string& s) {
        return s.find_first_of("\r\n") != std::string::npos;
    };
    if (Trim(section).empty() || Trim(key).empty())
        return false;
    if (hasLineBreak(section) || hasLineBreak(key) || hasLineBreak(value))
        return false;
    if (key.find('=') != std::string::npos || section.find(']') != std::string::npos)
        return false;
    const std::string k = Trim(key);
    return k[0] != '[' && k[0] != ';';
}

}  // namespace ari
