#include "settings/Formats.h"

#include <charconv>
#include <cstddef>
#include <string>
#include <system_error>

namespace ari {

FormatSettings& CurrentFormats() {
    static FormatSettings settings;
    return settings;
}

namespace {

char UpperAscii(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string Number(int v) {
    return std::to_string(v);
}

// `v` with leading zeros to `width` digits.
std::string Padded(int v, std::size_t width) {
    std::string text = std::to_string(v);
    if (text.size() < width)
        text.insert(0, width - text.size(), '0');
    return text;
}

bool IsFormatLetter(char c) {
    const char u = UpperAscii(c);
    return u == 'D' || u == 'M' || u == 'Y' || u == 'H' || u == 'N' || u == 'S';
}

// True when `text` holds `word` at `pos`, ASCII letters compared without regard to case.
bool HoldsAtNoCase(const std::string& text, std::size_t pos, const std::string& word) {
    if (pos > text.size() || text.size() - pos < word.size())
        return false;
    for (std::size_t k = 0; k < word.size(); ++k)
        if (UpperAscii(text[pos + k]) != UpperAscii(word[k]))
            return false;
    return true;
}

bool EqualNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && HoldsAtNoCase(a, 0, b);
}

}  // namespace

std::string FormatDateTimeText(const std::string& format, TDateTime value) {
    const DateTimeParts p = DecodeDateTime(value);
    const FormatSettings& fs = CurrentFormats();
    std::string out;
    char previousGroup = 0;  // letter of the last letter group, separators not counted
    for (std::size_t i = 0; i < format.size();) {
        const char c = format[i];
        if (!IsFormatLetter(c)) {
            if (c == '/')
                out += fs.dateSeparator;
            else if (c == ':')
                out += fs.timeSeparator;
            else
                out += c;
            ++i;
            continue;
        }
        const char letter = UpperAscii(c);
        std::size_t n = 0;
        while (i + n < format.size() && UpperAscii(format[i + n]) == letter)
            ++n;
        i += n;
        switch (letter) {
            case 'D':
                out += n >= 2 ? Padded(p.day, 2) : Number(p.day);
                break;
            case 'M':
                if (previousGroup == 'H')
                    out += n >= 2 ? Padded(p.minute, 2) : Number(p.minute);
                else
                    out += n >= 2 ? Padded(p.month, 2) : Number(p.month);
                break;
            case 'Y':
                out += n >= 3 ? Padded(p.year, 4) : Padded(p.year % 100, 2);
                break;
            case 'H':
                out += n >= 2 ? Padded(p.hour, 2) : Number(p.hour);
                break;
            case 'N':
                out += n >= 2 ? Padded(p.minute, 2) : Number(p.minute);
                break;
            case 'S':
                out += n >= 2 ? Padded(p.second, 2) : Number(p.second);
                break;
        }
        previousGroup = letter;
    }
    return out;
}

std::string LongTimeText(TDateTime value) {
    return FormatDateTimeText(CurrentFormats().longTimeFormat, value);
}

std::string ShortTimeText(TDateTime value) {
    return FormatDateTimeText(CurrentFormats().shortTimeFormat, value);
}

std::string ShortDateText(TDateTime value) {
    return FormatDateTimeText("DD/MM/YYYY", value);
}

std::string DateTimeText(TDateTime value) {
    const DateTimeParts p = DecodeDateTime(value);
    std::string text = ShortDateText(value);
    if (p.hour != 0 || p.minute != 0 || p.second != 0 || p.millisecond != 0)
        text += ' ' + LongTimeText(value);
    return text;
}

namespace {

// A cursor over a time text; every reader skips the blanks that may stand before a part.
struct TimeScanner {
    const std::string& text;
    std::size_t pos = 0;

    void SkipBlanks() {
        while (pos < text.size() && text[pos] == ' ')
            ++pos;
    }
    bool AtEnd() const { return pos >= text.size(); }

    // Reads one or more digits; false when there is none. Large values saturate.
    bool Number(int& value) {
        const std::size_t start = pos;
        long long v = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
            if (v < 100000)
                v = v * 10 + (text[pos] - '0');
            ++pos;
        }
        value = static_cast<int>(v);
        return pos > start;
    }

    // Reads an AM or PM marker: 0 none, 1 AM, 2 PM.
    int Marker() {
        const FormatSettings& fs = CurrentFormats();
        const std::string candidates[4] = {fs.timeAMString, "AM", fs.timePMString, "PM"};
        for (int k = 0; k < 4; ++k) {
            const std::string& m = candidates[k];
            if (m.empty())
                continue;
            if (HoldsAtNoCase(text, pos, m)) {
                pos += m.size();
                return k < 2 ? 1 : 2;
            }
        }
        return 0;
    }
};

[[noreturn]] void NotATime(const std::string& text) {
    throw EConvertError("'" + text + "' is not a valid time");
}

bool IsAsciiSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsAsciiDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

TDateTime StrToTime(const std::string& text) {
    TimeScanner s{text};
    const char timeSep = CurrentFormats().timeSeparator;
    const char decimalSep = CurrentFormats().decimalSeparator;

    s.SkipBlanks();
    int marker = s.Marker();
    s.SkipBlanks();
    int hour = 0, minute = 0, second = 0, ms = 0;
    if (!s.Number(hour))
        NotATime(text);
    s.SkipBlanks();
    if (!s.AtEnd() && text[s.pos] == timeSep) {
        ++s.pos;
        if (!s.Number(minute))
            NotATime(text);
        s.SkipBlanks();
        if (!s.AtEnd() && text[s.pos] == timeSep) {
            ++s.pos;
            if (!s.Number(second))
                NotATime(text);
            s.SkipBlanks();
            if (!s.AtEnd() && text[s.pos] == decimalSep) {
                ++s.pos;
                if (!s.Number(ms))
                    NotATime(text);
                s.SkipBlanks();
            }
        }
    }
    if (marker == 0) {
        marker = s.Marker();
        s.SkipBlanks();
    }
    if (!s.AtEnd())
        NotATime(text);
    if (marker != 0) {
        if (hour < 1 || hour > 12)
            NotATime(text);
        if (hour == 12)
            hour = 0;
        if (marker == 2)
            hour += 12;
    }
    if (hour >= 24 || minute >= 60 || second >= 60 || ms >= 1000)
        NotATime(text);
    return EncodeTime(hour, minute, second, ms);
}

bool TryStrToFloat(const std::string& text, double& value) {
    std::size_t first = 0, last = text.size();
    while (first < last && IsAsciiSpace(text[first]))
        ++first;
    while (last > first && IsAsciiSpace(text[last - 1]))
        --last;
    std::string t = text.substr(first, last - first);
    std::size_t i = 0;
    const std::size_t n = t.size();
    if (i < n && (t[i] == '+' || t[i] == '-'))
        ++i;
    std::size_t digits = 0;
    while (i < n && IsAsciiDigit(t[i]))
        ++i, ++digits;
    if (i < n && t[i] == CurrentFormats().decimalSeparator) {
        t[i] = '.';
        ++i;
        while (i < n && IsAsciiDigit(t[i]))
            ++i, ++digits;
    }
    if (digits == 0)
        return false;
    if (i < n && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        if (i < n && (t[i] == '+' || t[i] == '-'))
            ++i;
        std::size_t expDigits = 0;
        while (i < n && IsAsciiDigit(t[i]))
            ++i, ++expDigits;
        if (expDigits == 0)
            return false;
    }
    if (i != n)
        return false;
    // from_chars reads the C locale's form and takes no leading plus sign.
    const std::size_t start = t[0] == '+' ? 1 : 0;
    double parsed = 0;
    const auto [end, ec] = std::from_chars(t.data() + start, t.data() + n, parsed);
    if (ec != std::errc() || end != t.data() + n)
        return false;
    value = parsed;
    return true;
}

bool StrToBool(const std::string& text) {
    double number = 0;
    if (TryStrToFloat(text, number))
        return number != 0.0;
    if (EqualNoCase(text, "True"))
        return true;
    if (EqualNoCase(text, "False"))
        return false;
    throw EConvertError("'" + text + "' is not a valid boolean value");
}

}  // namespace ari

void ApplyFormatSettings() {
    ari::FormatSettings& fs = ari::CurrentFormats();
    fs.rightToLeft = true;
    fs.shortDateFormat = "DD/MM/YYYY";
    fs.dateSeparator = '/';
    fs.timeSeparator = ':';
    if (fs.currencyString.empty())
        fs.currencyString = " ";
    fs.currencyFormat = 1;
    fs.thousandSeparator = '/';
    fs.currencyDecimals = 0;
    fs.negCurrFormat = 2;
    fs.decimalSeparator = '.';
    fs.shortTimeFormat = "HH:MM";
    fs.longTimeFormat = "HH:MM:SS";
}
