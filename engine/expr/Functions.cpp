#include "engine/expr/Functions.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace ari::engine::expr {

// Julian day of a MM/DD/YY or MM/DD/YYYY text (two-digit years in the 1900s); 0 when invalid.
double ParseAmericanDate(const std::string& text) {
    int parts[3] = {0, 0, 0};
    int digits[3] = {0, 0, 0};
    int k = 0;
    bool any = false;
    for (char c : text) {
        if (c >= '0' && c <= '9') {
            if (k > 2)
                return 0;
            parts[k] = parts[k] * 10 + (c - '0');
            ++digits[k];
            any = true;
        } else if (c == ' ' && digits[k] == 0) {
            continue;
        } else {
            if (digits[k] == 0)
                return 0;
            ++k;
        }
    }
    if (!any || k != 2 || digits[2] == 0)
        return 0;
    int year = parts[2];
    if (digits[2] <= 2)
        year += 1900;
    return JulianDayFromDate(year, parts[0], parts[1]);
}

// A field's bytes in the record: all of them, or fewer when the record is cut short.
std::string_view FieldBytes(const FieldDef& f, const RecordRef& r) {
    if (f.offset >= r.length)
        return {};
    return {reinterpret_cast<const char*>(r.data + f.offset),
            std::min<size_t>(f.length, r.length - f.offset)};
}

// A field's text, blank-padded to the field's width.
std::string FieldText(const Node& n, const RecordRef& r) {
    std::string s(FieldBytes(n.field, r));
    s.resize(n.field.length, ' ');
    return s;
}

// UPPER() and LOWER() of one byte: ASCII letters change, every other byte stays as it is.
char ChangeCase(Fn fn, char c) {
    if (fn == Fn::Upper && c >= 'a' && c <= 'z')
        return static_cast<char>(c - 'a' + 'A');
    if (fn == Fn::Lower && c >= 'A' && c <= 'Z')
        return static_cast<char>(c - 'A' + 'a');
    return c;
}

// A numeric field's text read by the key encoder's grammar (ScanNumberText), so that "0x10",
// "inf" or "nan" give the same value in a FOR condition as in a key.
double ParseNumberText(const std::string& s) {
    const NumberText number = ScanNumberText(s);
    if (!number.HasDigits())
        return 0;
    std::string t;
    if (number.sign != 0)
        t += number.sign;
    t += number.mantissa;
    t += number.exponent;
    const double v = std::strtod(t.c_str(), nullptr);
    return std::isfinite(v) ? v : 0;
}

// dBASE VAL(): leading blanks skipped, sign, digits, one point, digits; stops at the first
// other character.
double ValOf(const std::string& s) {
    size_t i = 0;
    while (i < s.size() && s[i] == ' ')
        ++i;
    std::string t;
    if (i < s.size() && (s[i] == '-' || s[i] == '+'))
        t += s[i++];
    bool point = false;
    while (i < s.size()) {
        const char c = s[i];
        if (c >= '0' && c <= '9') {
            t += c;
        } else if (c == '.' && !point) {
            point = true;
            t += c;
        } else {
            break;
        }
        ++i;
    }
    return std::strtod(t.c_str(), nullptr);
}

std::string StrOf(double v, int len, int dec) {
    char buf[400];
    double r = v;
    const double scale = std::pow(10.0, dec);
    r = std::round(r * scale) / scale;  // half away from zero
    if (r == 0)
        r = 0;  // no "-0"
    std::snprintf(buf, sizeof buf, "%.*f", dec, r);
    std::string s = buf;
    if (s.size() > static_cast<size_t>(len))
        return std::string(static_cast<size_t>(len), '*');
    return std::string(static_cast<size_t>(len) - s.size(), ' ') + s;
}

std::string RightTrim(const std::string& s) {
    size_t e = s.size();
    while (e > 0 && s[e - 1] == ' ')
        --e;
    return s.substr(0, e);
}

int CompareText(const std::string& a, const std::string& b) {
    const size_t n = std::max(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const unsigned char ca = i < a.size() ? static_cast<unsigned char>(a[i]) : ' ';
        const unsigned char cb = i < b.size() ? static_cast<unsigned char>(b[i]) : ' ';
        if (ca != cb)
            return ca < cb ? -1 : 1;
    }
    return 0;
}

bool AllBlank(const std::string& s) {
    return s.find_first_not_of(' ') == std::string::npos;
}

// Half away from zero at `decimals` places (negative places round to tens, hundreds, ...).
double RoundHalfAway(double v, double decimals) {
    const double scale = std::pow(10.0, std::trunc(decimals));
    if (!std::isfinite(scale) || scale == 0)
        return v;
    const double r = std::round(v * scale) / scale;
    return r == 0 ? 0 : r;
}

// 1 for Sunday to 7 for Saturday; 0 for the empty date.
int DayOfWeek(double julianDay) {
    int y, m, d;
    if (!DateFromJulianDay(julianDay, y, m, d))
        return 0;
    return static_cast<int>((static_cast<int64_t>(julianDay) + 1) % 7) + 1;
}

// SOUNDEX(): the first letter (after leading blanks) and three digits for the following
// consonants up to the first character that is not a letter: B F P V 1, C G J K Q S X Z 2,
// D T 3, L 4, M N 5, R 6. A consonant with the same digit as the letter before it is coded
// once, also across H and W; vowels (A E I O U Y) separate. "0000" when the text does not
// begin with a letter.
std::string SoundexOf(const std::string& s) {
    static const char kCodes[] = "01230120022455012623010202";  // A..Z
    size_t i = s.find_first_not_of(' ');
    auto letter = [&](size_t k) {
        return k < s.size() && std::isalpha(static_cast<unsigned char>(s[k]));
    };
    if (i == std::string::npos || !letter(i))
        return "0000";
    std::string out(1, static_cast<char>(std::toupper(static_cast<unsigned char>(s[i]))));
    char last = kCodes[out[0] - 'A'];
    for (++i; letter(i) && out.size() < 4; ++i) {
        const char c = static_cast<char>(std::toupper(static_cast<unsigned char>(s[i])));
        if (c == 'H' || c == 'W')
            continue;
        const char code = kCodes[c - 'A'];
        if (code != '0' && code != last)
            out += code;
        last = code;
    }
    out.resize(4, '0');
    return out;
}

// LIKE(pattern, text): * matches any run of characters, ? any one; case counts; the whole
// text must match (its trailing blanks included).
bool LikeMatch(const std::string& pattern, const std::string& text) {
    size_t p = 0, t = 0, star = std::string::npos, mark = 0;
    while (t < text.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
            ++p;
            ++t;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            mark = t;
        } else if (star != std::string::npos) {
            p = star + 1;
            t = ++mark;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

std::string AmericanDate(double julianDay) {
    int y, m, d;
    if (!DateFromJulianDay(julianDay, y, m, d))
        return "  /  /  ";
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d/%02d/%02d", m, d, y % 100);
    return buf;
}

bool IsTemplatePosition(char c) {
    return c != '\0' && std::strchr("9#!AXNLY", c) != nullptr;
}

// TRANSFORM() of a character value (see Parser::CheckTransform).
std::string TransformText(const std::string& value, const Picture& p) {
    auto up = [](char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); };
    if (p.tmpl.empty()) {
        std::string out = value;
        if (p.upper) {
            for (auto& c : out)
                c = up(c);
        }
        return out;
    }
    std::string out;
    size_t k = 0;
    for (char t : p.tmpl) {
        if (IsTemplatePosition(t)) {
            const char c = k < value.size() ? value[k] : ' ';
            ++k;
            out += (p.upper || t == '!') ? up(c) : c;
        } else {
            out += t;
            if (!p.insert)
                ++k;  // the literal takes the place of a character of the value
        }
    }
    return out;
}

// TRANSFORM() of a number with a numeric template: right-aligned in the template's digit
// positions, rounded to its decimals, commas only between digits, asterisks when it does not
// fit, blanks for zero under @Z.
std::string TransformNumber(double v, const Picture& p) {
    const size_t width = p.tmpl.size();
    const double r = RoundHalfAway(v, p.decimals);
    if (p.zeroBlank && r == 0)
        return std::string(width, ' ');
    char buf[640];  // 309 integer digits, a point, up to 253 decimals
    std::snprintf(buf, sizeof buf, "%.*f", p.decimals, std::fabs(r));
    const std::string digits = buf;
    const size_t pointAt = digits.find('.');
    std::string whole = digits.substr(0, pointAt);
    const std::string fraction = pointAt == std::string::npos ? "" : digits.substr(pointAt + 1);
    if (whole == "0" && p.tmpl.find('.') != std::string::npos) {
        // "0.50" in ".99": no room for the leading zero is no overflow
        size_t before = 0;
        for (char c : p.tmpl.substr(0, p.tmpl.find('.')))
            before += (c == '9' || c == '#') ? 1 : 0;
        if (before == 0)
            whole.clear();
    }
    if (r < 0)
        whole = "-" + whole;
    const size_t tmplPoint = std::min(p.tmpl.find('.'), width);
    std::string out(width, ' ');
    // Integer part, right to left.
    size_t next = whole.size();
    for (size_t i = tmplPoint; i-- > 0;) {
        const char t = p.tmpl[i];
        if (t == ',') {
            out[i] = (next > 0 && whole[next - 1] != '-') ? ',' : ' ';
            continue;
        }
        if (next > 0)
            out[i] = whole[--next];
    }
    if (next > 0)
        return std::string(width, '*');
    if (tmplPoint < width) {
        out[tmplPoint] = '.';
        size_t f = 0;
        for (size_t i = tmplPoint + 1; i < width; ++i) {
            const char t = p.tmpl[i];
            if (t == '9' || t == '#')
                out[i] = f < fraction.size() ? fraction[f++] : '0';
            else
                out[i] = t == ',' ? ',' : ' ';
        }
    }
    // A comma left of the first digit stays blank (set above); a blank left of a comma's
    // digit group is fine.
    return out;
}

}  // namespace ari::engine::expr
