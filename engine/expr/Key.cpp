#include "engine/expr/Key.h"

#include "engine/expr/KeyCollation.h"
#include "platform/DateTime.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace ari::engine {

namespace {

constexpr uint8_t kNumericExponentBias = 52;  // byte 0 of a numeric key for 0.d1d2... x 10^0
constexpr uint8_t kNumericSignBit = 0x80;
constexpr uint8_t kNumericLowBits = 0x01;
// Digit-count field of a negative key: all five bits set, whatever the number of digits (the
// reference engine's files store -16 as 36 FD).
constexpr int kNegativeDigitCount = 31;

// Sortable numeric form: class byte, exponent byte, 10 digit bytes.
constexpr uint8_t kClassNegative = 0;
constexpr uint8_t kClassZero = 1;
constexpr uint8_t kClassPositive = 2;

// digits: significant digits ('0'..'9', no leading or trailing zeros), `count` of them.
void EncodeDigits(bool negative, int exponent, const char* digits, size_t count,
                  uint8_t out[kNumericKeyLength]) {
    std::memset(out, 0, kNumericKeyLength);
    if (count == 0) {
        out[0] = kNumericExponentBias;
        out[1] = kNumericLowBits;
        return;
    }
    int e = exponent + kNumericExponentBias;
    if (e < 0)
        e = 0;
    if (e > 255)
        e = 255;
    out[0] = static_cast<uint8_t>(e);
    // Positive: the digit count rounded up to even; negative: the sign bit and a full count.
    const int shown = negative ? kNegativeDigitCount : (static_cast<int>(count) + 1) & ~1;
    out[1] =
        static_cast<uint8_t>((negative ? kNumericSignBit : 0) | (shown << 2) | kNumericLowBits);
    for (size_t i = 0; i < count; ++i) {
        const uint8_t d = static_cast<uint8_t>(digits[i] - '0');
        out[2 + i / 2] |= (i % 2 == 0) ? static_cast<uint8_t>(d << 4) : d;
    }
}

}  // namespace

bool NumberText::HasDigits() const {
    return mantissa.find_first_of("0123456789") != std::string_view::npos;
}

NumberText ScanNumberText(std::string_view text) {
    NumberText number;
    size_t i = 0;
    const size_t n = text.size();
    const auto digit = [&](size_t k) { return k < n && text[k] >= '0' && text[k] <= '9'; };
    while (i < n && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    if (i < n && (text[i] == '-' || text[i] == '+'))
        number.sign = text[i++];
    while (i < n && text[i] == ' ')
        ++i;  // "-  5" as some writers pad
    const size_t begin = i;
    for (bool point = false; digit(i) || (i < n && text[i] == '.' && !point); ++i)
        point = point || text[i] == '.';
    number.mantissa = text.substr(begin, i - begin);
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        const size_t sign = (i + 1 < n && (text[i + 1] == '-' || text[i + 1] == '+')) ? 1 : 0;
        size_t end = i + 1 + sign;
        if (digit(end)) {
            while (digit(end))
                ++end;
            number.exponent = text.substr(i, end - i);
        }
    }
    return number;
}

void EncodeNumericKey(const std::string& text, uint8_t out[kNumericKeyLength]) {
    const NumberText number = ScanNumberText(text);
    // Significant digits and the power of ten of the first one: value = 0.d1d2... x 10^exponent.
    char digits[kNumericKeyDigits];
    size_t count = 0;
    int exponent = 0;
    bool seenNonZero = false, afterPoint = false;
    for (const char c : number.mantissa) {
        if (c == '.') {
            afterPoint = true;
            continue;
        }
        if (!seenNonZero) {
            if (c == '0') {
                if (afterPoint)
                    --exponent;  // 0.05: one zero after the point
                continue;
            }
            seenNonZero = true;
        }
        if (!afterPoint)
            ++exponent;
        if (count < static_cast<size_t>(kNumericKeyDigits))
            digits[count++] = c;
    }
    if (seenNonZero && !number.exponent.empty()) {
        const std::string_view e = number.exponent;
        size_t i = 1;  // after the 'e'
        bool eneg = false;
        if (e[i] == '-' || e[i] == '+')
            eneg = e[i++] == '-';
        int ev = 0;
        while (i < e.size() && ev < 10000)
            ev = ev * 10 + (e[i++] - '0');
        exponent += eneg ? -ev : ev;
    }
    while (count > 0 && digits[count - 1] == '0')
        --count;
    EncodeDigits(number.sign == '-' && count > 0, exponent, digits, count, out);
}

void EncodeNumericKey(double value, uint8_t out[kNumericKeyLength]) {
    if (!std::isfinite(value) || value == 0.0) {
        EncodeDigits(false, 0, nullptr, 0, out);
        return;
    }
    // 15 significant digits: what a double carries exactly, so 0.1 stays 0.1.
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.14e", value);
    EncodeNumericKey(std::string(buf), out);
}

std::string NumericKeyText(const uint8_t key[kNumericKeyLength]) {
    std::string digits;
    for (int i = 0; i < kNumericKeyDigits; ++i) {
        const uint8_t b = key[2 + i / 2];
        int d = (i % 2 == 0) ? (b >> 4) : (b & 0x0F);
        if (d > 9)
            d = 9;  // damaged nibble: keep the text printable
        digits += static_cast<char>('0' + d);
    }
    while (!digits.empty() && digits.back() == '0')
        digits.pop_back();
    if (digits.empty())
        return "0";
    const int exponent = static_cast<int>(key[0]) - kNumericExponentBias;
    std::string text;
    if (exponent <= 0) {
        text = "0." + std::string(static_cast<size_t>(-exponent), '0') + digits;
    } else if (static_cast<size_t>(exponent) >= digits.size()) {
        text = digits + std::string(static_cast<size_t>(exponent) - digits.size(), '0');
    } else {
        text = digits.substr(0, static_cast<size_t>(exponent)) + "." +
               digits.substr(static_cast<size_t>(exponent));
    }
    if (key[1] & kNumericSignBit)
        text = "-" + text;
    return text;
}

double NumericKeyValue(const uint8_t key[kNumericKeyLength]) {
    return std::strtod(NumericKeyText(key).c_str(), nullptr);
}

bool IsBlankDateKey(double value) {
    return value == 0.0 || value == kBlankDateKey || value == kXbase64BlankDateKey;
}

void EncodeDateKey(double julianDay, uint8_t out[kDateKeyLength]) {
    if (julianDay == 0.0)
        julianDay = kBlankDateKey;
    uint64_t bits;
    std::memcpy(&bits, &julianDay, sizeof bits);
    for (size_t i = 0; i < kDateKeyLength; ++i)
        out[i] = static_cast<uint8_t>(bits >> (8 * i));
}

double DateKeyValue(const uint8_t key[kDateKeyLength]) {
    uint64_t bits = 0;
    for (size_t i = 0; i < kDateKeyLength; ++i)
        bits |= static_cast<uint64_t>(key[i]) << (8 * i);
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

int32_t JulianDayFromDate(int year, int month, int day) {
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1)
        return 0;
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    const int dim = kDays[month - 1] + ((month == 2 && leap) ? 1 : 0);
    if (day > dim)
        return 0;
    return static_cast<int32_t>(ari::DaysFromCivil(year, month, day)) + kJulianDayOf18991230;
}

bool DateFromJulianDay(double julianDay, int& year, int& month, int& day) {
    // The range is tested on the double: a day far outside it has no integer to convert to.
    static const int32_t first = JulianDayFromDate(1, 1, 1);
    static const int32_t last = JulianDayFromDate(9999, 12, 31);
    if (!(julianDay >= first && julianDay < last + 1.0))
        return false;
    ari::CivilFromDays(static_cast<int32_t>(julianDay) - kJulianDayOf18991230, year, month, day);
    return true;
}

std::string JulianDayToDtos(double julianDay) {
    int y, m, d;
    if (!DateFromJulianDay(julianDay, y, m, d)) {
        return std::string(8, ' ');
    }
    if (y >= 0 && y <= 9999 && m >= 0 && m <= 99 && d >= 0 && d <= 99) {
        // "%04d%02d%02d" without printf: the pass turns every date key into this text.
        const char text[8] = {
            static_cast<char>('0' + y / 1000),    static_cast<char>('0' + y / 100 % 10),
            static_cast<char>('0' + y / 10 % 10), static_cast<char>('0' + y % 10),
            static_cast<char>('0' + m / 10),      static_cast<char>('0' + m % 10),
            static_cast<char>('0' + d / 10),      static_cast<char>('0' + d % 10)};
        return std::string(text, sizeof text);
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d", y, m, d);
    return buf;
}

double DtosToJulianDay(const char* text, size_t length) {
    if (length < 8)
        return 0;
    int v[8];
    for (int i = 0; i < 8; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return 0;
        v[i] = text[i] - '0';
    }
    const int y = v[0] * 1000 + v[1] * 100 + v[2] * 10 + v[3];
    const int m = v[4] * 10 + v[5];
    const int d = v[6] * 10 + v[7];
    return JulianDayFromDate(y, m, d);
}

size_t SortableKeyLength(KeyType type, size_t keyLength) {
    switch (type) {
        case KeyType::Numeric:
            return kNumericKeyLength;
        case KeyType::Date:
            return kDateKeyLength;
        case KeyType::Character:
            break;
    }
    return keyLength;
}

void MakeSortableKey(KeyType type, const uint8_t* key, size_t keyLength, bool descending,
                     uint8_t* out, uint8_t language) {
    size_t len = keyLength;
    if (type == KeyType::Character) {
        if (const uint8_t* weights = CollationWeights(language)) {
            for (size_t i = 0; i < keyLength; ++i)
                out[i] = weights[key[i]];
        } else {
            std::memcpy(out, key, keyLength);
        }
    } else if (type == KeyType::Numeric) {
        len = kNumericKeyLength;
        bool zero = true;
        for (size_t i = 2; i < kNumericKeyLength; ++i)
            zero = zero && key[i] == 0;
        std::memset(out, 0, kNumericKeyLength);
        if (zero) {
            out[0] = kClassZero;  // 0 sorts as 0 whatever byte 0 says
        } else if (key[1] & kNumericSignBit) {
            out[0] = kClassNegative;
            out[1] = static_cast<uint8_t>(255 - key[0]);
            for (size_t i = 2; i < kNumericKeyLength; ++i)
                out[i] = static_cast<uint8_t>(255 - key[i]);
        } else {
            out[0] = kClassPositive;
            out[1] = key[0];
            std::memcpy(out + 2, key + 2, kNumericKeyLength - 2);
        }
    } else {
        len = kDateKeyLength;
        uint64_t bits = 0;
        for (size_t i = 0; i < kDateKeyLength; ++i)
            bits |= static_cast<uint64_t>(key[i]) << (8 * i);
        if (bits >> 63) {
            bits = ~bits;
        } else {
            bits ^= 0x8000000000000000ull;
        }
        for (size_t i = 0; i < kDateKeyLength; ++i)
            out[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
    }
    if (descending) {
        for (size_t i = 0; i < len; ++i)
            out[i] = static_cast<uint8_t>(~out[i]);
    }
}

void StoredKeyFromSortable(KeyType type, const uint8_t* sortableIn, size_t keyLength,
                           bool descending, uint8_t* out, uint8_t language) {
    const size_t len = SortableKeyLength(type, keyLength);
    uint8_t s[kMaxKeyLength];
    for (size_t i = 0; i < len; ++i)
        s[i] = descending ? static_cast<uint8_t>(~sortableIn[i]) : sortableIn[i];
    if (type == KeyType::Character) {
        if (const uint8_t* bytes = CollationBytes(language)) {
            for (size_t i = 0; i < keyLength; ++i)
                out[i] = bytes[s[i]];
        } else {
            std::memcpy(out, s, keyLength);
        }
        return;
    }
    if (type == KeyType::Date) {
        uint64_t bits = 0;
        for (size_t i = 0; i < kDateKeyLength; ++i)
            bits |= static_cast<uint64_t>(s[i]) << (56 - 8 * i);
        if (bits >> 63) {
            bits ^= 0x8000000000000000ull;
        } else {
            bits = ~bits;
        }
        for (size_t i = 0; i < kDateKeyLength; ++i)
            out[i] = static_cast<uint8_t>(bits >> (8 * i));
        return;
    }
    // Numeric: rebuild the canonical encoding from exponent and digits.
    if (s[0] == kClassZero) {
        EncodeDigits(false, 0, nullptr, 0, out);
        return;
    }
    const bool negative = s[0] == kClassNegative;
    const uint8_t b0 = negative ? static_cast<uint8_t>(255 - s[1]) : s[1];
    char digits[kNumericKeyDigits];
    size_t count = 0;
    for (int i = 0; i < kNumericKeyDigits; ++i) {
        uint8_t b = s[2 + i / 2];
        if (negative)
            b = static_cast<uint8_t>(255 - b);
        const int d = (i % 2 == 0) ? (b >> 4) : (b & 0x0F);
        digits[i] = static_cast<char>('0' + (d > 9 ? 9 : d));
        if (d != 0)
            count = static_cast<size_t>(i) + 1;
    }
    EncodeDigits(negative, static_cast<int>(b0) - kNumericExponentBias, digits, count, out);
}

std::string KeyDisplayText(KeyType type, const uint8_t* key, size_t keyLength) {
    switch (type) {
        case KeyType::Numeric:
            return NumericKeyText(key);
        case KeyType::Date: {
            const double v = DateKeyValue(key);
            if (IsBlankDateKey(v))
                return std::string(8, ' ');
            return JulianDayToDtos(v);
        }
        case KeyType::Character:
            break;
    }
    return std::string(reinterpret_cast<const char*>(key), keyLength);
}

}  // namespace ari::engine
