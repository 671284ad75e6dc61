// Index key encodings of the production index: character keys, 12-byte BCD numeric keys and
// Julian-day double date keys, and one order-preserving "sortable" form for all three, so that
// sorting, merging and verification compare keys with memcmp alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace ari::engine {

enum class KeyType : char { Character = 'C', Numeric = 'N', Date = 'D' };

inline constexpr size_t kNumericKeyLength = 12;
inline constexpr size_t kDateKeyLength = 8;
inline constexpr size_t kMaxKeyLength = 100;
// Digits a numeric key holds (two per byte in bytes 2..11).
inline constexpr int kNumericKeyDigits = 20;
// Julian day number of 1899-12-30, day 0 of the program's date-and-time values.
inline constexpr int32_t kJulianDayOf18991230 = 2415019;

// The one grammar of a number held as text (a numeric field), by which both the key encoder
// and the expression evaluator read it, so that a FOR condition sees the number the key holds:
// blanks or tabs, a sign, blanks, digits with at most one point, then an exponent ('e' or 'E',
// a sign, one digit at least). The first other character ends the number: "0x10" reads as 0,
// "12abc" as 12, "inf" and "nan" as no number at all.
struct NumberText {
    char sign = 0;              // '-', '+' or 0 when there is none
    std::string_view mantissa;  // the digits with their point; may be "" or "."
    std::string_view exponent;  // 'e' or 'E', a sign and the digits; "" when there is none
    bool HasDigits() const;     // false: blank or unparsable text, which reads as 0
};
// The parts of `text`; the views point into `text`.
NumberText ScanNumberText(std::string_view text);

// Encodes a decimal text ("-123.45", "  17", "1.5e3") as a numeric key: byte 0 = 52 + digits
// before the point (or 52 - zeros after it); byte 1 = the low bits 01 and, for a positive
// number, the digit count rounded up to even in bits 2..6, for a negative one the sign bit and
// 31 in bits 2..6 (byte 1 = FD); bytes 2..11 the significant digits. The text is read by
// ScanNumberText; blank or unparsable text encodes 0. Digits beyond 20 are dropped (truncated).
void EncodeNumericKey(const std::string& decimalText, uint8_t out[kNumericKeyLength]);
void EncodeNumericKey(double value, uint8_t out[kNumericKeyLength]);
// The value of a numeric key as exact decimal text ("-123.45", "0"); the digit count in
// byte 1 is ignored, as writers disagree about it.
std::string NumericKeyText(const uint8_t key[kNumericKeyLength]);
double NumericKeyValue(const uint8_t key[kNumericKeyLength]);

// The key value written for an empty date: 1.0E100, after every real date in an ascending tag
// (where the legacy engine looks for it when it updates or deletes such a record).
inline constexpr double kBlankDateKey = 1.0e100;
// Another library's spelling of the empty date in date keys (after every real date as well).
inline constexpr double kXbase64BlankDateKey = 21474835648.0;
// True for every spelling of the empty date found in existing files: 0.0 (this engine's files
// before 1.0E100), 1.0E100 and 21474835648. A checker accepts any of them for an empty date;
// writers write kBlankDateKey only.
bool IsBlankDateKey(double value);

// Date keys: the Julian day number as a little-endian IEEE double; an empty date (Julian day 0)
// is written as kBlankDateKey.
void EncodeDateKey(double julianDay, uint8_t out[kDateKeyLength]);
double DateKeyValue(const uint8_t key[kDateKeyLength]);

// Julian day number of a Gregorian date; 0 when the date does not exist.
int32_t JulianDayFromDate(int year, int month, int day);
// Splits a Julian day number (its fraction dropped); false for days outside the years 1 to 9999
// and for values that are not numbers.
bool DateFromJulianDay(double julianDay, int& year, int& month, int& day);
// "YYYYMMDD" text of a Julian day, 8 blanks for 0 (the empty date).
std::string JulianDayToDtos(double julianDay);
// Julian day of "YYYYMMDD" text; 0 for blanks or a text that is no valid date.
double DtosToJulianDay(const char* text, size_t length);

// Length of the sortable form of a key of this type and stored length.
size_t SortableKeyLength(KeyType type, size_t keyLength);
// Order-preserving form of a stored key: memcmp of two sortable forms orders them as the index
// orders the keys. Character keys order by the collation of `language` (KeyCollation.h;
// byte by byte for binary drivers). Descending inverts every byte.
void MakeSortableKey(KeyType type, const uint8_t* key, size_t keyLength, bool descending,
                     uint8_t* out, uint8_t language = 0);
// Inverse of MakeSortableKey: the stored key bytes (numeric keys come back in the canonical
// encoding of EncodeNumericKey).
void StoredKeyFromSortable(KeyType type, const uint8_t* sortable, size_t keyLength, bool descending,
                           uint8_t* out, uint8_t language = 0);

// Key text for listings: character keys as they are, numeric keys as decimal text, date keys
// as YYYYMMDD (8 blanks for every spelling of the empty date).
std::string KeyDisplayText(KeyType type, const uint8_t* key, size_t keyLength);

}  // namespace ari::engine
