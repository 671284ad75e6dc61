// Key encodings: the numeric BCD and date layouts byte by byte, and the sortable form that all
// sorting and checking relies on, against the numeric order of the values.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>

#include "engine/expr/Key.h"
#include "engine/expr/KeyCollation.h"

using namespace ari::engine;

namespace {

std::string Hex(const uint8_t* p, size_t n) {
    std::string s;
    char buf[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", p[i]);
        s += buf;
    }
    return s;
}

std::string Numeric(const std::string& text) {
    uint8_t k[12];
    EncodeNumericKey(text, k);
    return Hex(k, 12);
}

}  // namespace

TEST(NumericKeys, EncodedLikeTheIndexFilesOfTheLegacyTools) {
    struct Case {
        const char* text;
        const char* bytes;
    } cases[] = {
        {"0", "34 01 00 00 00 00 00 00 00 00 00 00"},
        {"", "34 01 00 00 00 00 00 00 00 00 00 00"},
        {"   -0.00", "34 01 00 00 00 00 00 00 00 00 00 00"},
        {"1", "35 09 10 00 00 00 00 00 00 00 00 00"},
        {"-1", "35 FD 10 00 00 00 00 00 00 00 00 00"},
        {"123.45", "37 19 12 34 50 00 00 00 00 00 00 00"},
        {"100", "37 09 10 00 00 00 00 00 00 00 00 00"},
        {"102", "37 11 10 20 00 00 00 00 00 00 00 00"},
        {"1023495", "3B 21 10 23 49 50 00 00 00 00 00 00"},
        {"  0.5", "34 09 50 00 00 00 00 00 00 00 00 00"},
        {"0.05", "33 09 50 00 00 00 00 00 00 00 00 00"},
        {"12345678901234567890", "48 51 12 34 56 78 90 12 34 56 78 90"},
        // Negative: sign bit and all five digit-count bits set in byte 1, whatever the count.
        {"-16", "36 FD 16 00 00 00 00 00 00 00 00 00"},
        {"-0.5", "34 FD 50 00 00 00 00 00 00 00 00 00"},
        {"-1234.5", "38 FD 12 34 50 00 00 00 00 00 00 00"},
        {"-0.05", "33 FD 50 00 00 00 00 00 00 00 00 00"},
        {"-12345678901234567890", "48 FD 12 34 56 78 90 12 34 56 78 90"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Numeric(c.text), c.bytes) << c.text;
    uint8_t k[12];
    EncodeNumericKey(-123.45, k);
    EXPECT_EQ(Hex(k, 12), "37 FD 12 34 50 00 00 00 00 00 00 00");
    EncodeNumericKey(-16.0, k);
    EXPECT_EQ(Hex(k, 12), "36 FD 16 00 00 00 00 00 00 00 00 00");
    EncodeNumericKey(0.1, k);
    EXPECT_EQ(NumericKeyText(k), "0.1");
}

TEST(NumericKeys, TextRoundTripIgnoresTheDigitCount) {
    for (const char* t :
         {"0", "1", "-1", "123.45", "-0.05", "1023495", "0.000123", "-98765.4321"}) {
        uint8_t k[12];
        EncodeNumericKey(t, k);
        EXPECT_EQ(NumericKeyText(k), t);
        k[1] = static_cast<uint8_t>((k[1] & 0x80) | (31 << 2) | 1);  // another writer's count
        EXPECT_EQ(NumericKeyText(k), t);
    }
}

TEST(NumericKeys, NegativeKeysOfEitherCountReadBackAndSortTheSame) {
    // Our earlier files wrote the even-rounded count for negatives too (-16 as 36 89); the
    // legacy engine writes 36 FD. Both are the same value and the same place in a tag.
    const uint8_t older[12] = {0x36, 0x89, 0x16};
    const uint8_t current[12] = {0x36, 0xFD, 0x16};
    EXPECT_EQ(NumericKeyText(older), "-16");
    EXPECT_EQ(NumericKeyText(current), "-16");
    uint8_t a[12], b[12];
    MakeSortableKey(KeyType::Numeric, older, 12, false, a);
    MakeSortableKey(KeyType::Numeric, current, 12, false, b);
    EXPECT_EQ(0, std::memcmp(a, b, 12));
    const uint8_t twenty[12] = {0x48, 0xFD, 0x12, 0x34, 0x56, 0x78,
                                0x90, 0x12, 0x34, 0x56, 0x78, 0x90};
    EXPECT_EQ(NumericKeyText(twenty), "-12345678901234567890");
}

TEST(DateKeys, JulianDayDoubles) {
    uint8_t k[8];
    EncodeDateKey(JulianDayFromDate(1970, 1, 1), k);
    EXPECT_EQ(Hex(k, 8), "00 00 00 00 C6 9E 42 41");
    EncodeDateKey(JulianDayFromDate(2000, 1, 1), k);
    EXPECT_EQ(Hex(k, 8), "00 00 00 80 2C B4 42 41");
    EXPECT_EQ(JulianDayFromDate(2023, 2, 29), 0);
    EXPECT_EQ(JulianDayToDtos(DtosToJulianDay("20240229", 8)), "20240229");
    EXPECT_EQ(JulianDayToDtos(DtosToJulianDay("        ", 8)), "        ");
    for (int32_t jd = JulianDayFromDate(1, 1, 1); jd < JulianDayFromDate(9999, 12, 31); jd += 997) {
        int y, m, d;
        ASSERT_TRUE(DateFromJulianDay(jd, y, m, d));
        EXPECT_EQ(JulianDayFromDate(y, m, d), jd);
    }
}

// DTOS text of every day the calendar gives, years 0 to 9999 and beyond: as printf's
// "%04d%02d%02d" prints the year, month and day.
TEST(DateKeys, DtosTextIsTheCalendarDateAsPrintfPrintsIt) {
    const int32_t first = JulianDayFromDate(1, 1, 1) - 1000;
    const int32_t last = JulianDayFromDate(9999, 12, 31) + 800000;
    size_t checked = 0;
    for (int32_t jd = first; jd <= last; jd += 7) {
        int y, m, d;
        if (!DateFromJulianDay(jd, y, m, d)) {
            EXPECT_EQ(JulianDayToDtos(jd), std::string(8, ' ')) << jd;
            continue;
        }
        char want[32];
        std::snprintf(want, sizeof want, "%04d%02d%02d", y, m, d);
        ASSERT_EQ(JulianDayToDtos(jd), want) << jd;
        ++checked;
    }
    EXPECT_GT(checked, 500000u);
}

TEST(SortableKeys, NumericOrderMatchesTheValues) {
    std::mt19937 rng(42);
    std::vector<std::string> texts = {"0",   "-0.05", "0.05",  "0.5",   "-0.5",  "1",
                                      "-1",  "10",    "-10",   "9.99",  "-9.99", "100",
                                      "1e5", "-1e5",  "0.001", "-0.001"};
    std::uniform_int_distribution<int> digits(0, 999999), scale(0, 6), sign(0, 1);
    for (int i = 0; i < 400; ++i) {
        std::string t = std::to_string(digits(rng));
        const int s = scale(rng);
        if (s > 0 && static_cast<int>(t.size()) > s)
            t.insert(t.size() - static_cast<size_t>(s), ".");
        if (sign(rng))
            t = "-" + t;
        texts.push_back(t);
    }
    for (bool descending : {false, true}) {
        std::vector<std::pair<double, std::string>> byValue;
        std::vector<std::pair<std::string, std::string>> bySortable;
        for (const auto& t : texts) {
            uint8_t k[12], s[12], back[12];
            EncodeNumericKey(t, k);
            MakeSortableKey(KeyType::Numeric, k, 12, descending, s);
            StoredKeyFromSortable(KeyType::Numeric, s, 12, descending, back);
            EXPECT_EQ(Hex(back, 12), Hex(k, 12)) << t;
            byValue.emplace_back(std::strtod(t.c_str(), nullptr), t);
            bySortable.emplace_back(std::string(reinterpret_cast<char*>(s), 12), t);
        }
        std::stable_sort(byValue.begin(), byValue.end(), [&](const auto& a, const auto& b) {
            return descending ? a.first > b.first : a.first < b.first;
        });
        std::stable_sort(bySortable.begin(), bySortable.end());
        for (size_t i = 0; i < texts.size(); ++i) {
            EXPECT_EQ(std::strtod(bySortable[i].second.c_str(), nullptr), byValue[i].first) << i;
        }
    }
}

TEST(SortableKeys, DatesSortByDayAndEmptyLast) {
    const int32_t days[] = {JulianDayFromDate(1, 1, 1),      JulianDayFromDate(1899, 12, 30),
                            JulianDayFromDate(1970, 1, 1),   JulianDayFromDate(1970, 1, 2),
                            JulianDayFromDate(9999, 12, 31), 0};
    std::string previous;
    for (int32_t d : days) {
        uint8_t k[8], s[8], back[8];
        EncodeDateKey(d, k);
        MakeSortableKey(KeyType::Date, k, 8, false, s);
        StoredKeyFromSortable(KeyType::Date, s, 8, false, back);
        EXPECT_EQ(0, std::memcmp(back, k, 8));
        const std::string cur(reinterpret_cast<char*>(s), 8);
        EXPECT_LT(previous, cur);
        previous = cur;
    }
}

TEST(DateKeys, TheEmptyDateIsWrittenAsOneE100AndReadInEverySpelling) {
    uint8_t k[8];
    EncodeDateKey(0, k);
    EXPECT_EQ(Hex(k, 8), "7D C3 94 25 AD 49 B2 54");  // 1.0E100, little-endian
    EXPECT_EQ(KeyDisplayText(KeyType::Date, k, 8), "        ");
    struct Spelling {
        const char* bytes;
        bool blank;
    } spellings[] = {
        {"00 00 00 00 00 00 00 00", true},   // 0.0
        {"7D C3 94 25 AD 49 B2 54", true},   // 1.0E100
        {"00 00 00 F3 FF FF 13 42", true},   // 21474835648
        {"00 00 00 80 D5 6C 42 41", false},  // 2415019: 1899-12-30, a real day
    };
    for (const auto& sp : spellings) {
        uint8_t key[8];
        for (int i = 0; i < 8; ++i)
            key[i] =
                static_cast<uint8_t>(std::stoul(std::string(sp.bytes + 3 * i, 2), nullptr, 16));
        EXPECT_EQ(IsBlankDateKey(DateKeyValue(key)), sp.blank) << sp.bytes;
        EXPECT_EQ(KeyDisplayText(KeyType::Date, key, 8) == "        ", sp.blank) << sp.bytes;
    }
}

TEST(Collation, WeightTablesAreTotalAndKeysComeBack) {
    EXPECT_TRUE(IsBinaryCollation(0x00));
    EXPECT_TRUE(IsBinaryCollation(0x57));
    EXPECT_FALSE(CollationKnown(0x37));  // a driver whose order the engine has no table for
    const uint8_t* w = CollationWeights(0x58);
    ASSERT_NE(w, nullptr);
    std::vector<bool> used(256, false);
    for (int b = 0; b < 256; ++b) {
        EXPECT_FALSE(used[w[b]]) << b;
        used[w[b]] = true;
    }
    // Case pairs, then the next letter; digits before letters; the blank before everything
    // printable.
    const char* ordered[] = {" ", "0", "9", "a", "A", "b", "B", "z", "Z"};
    for (size_t i = 1; i < std::size(ordered); ++i) {
        uint8_t a, b;
        MakeSortableKey(KeyType::Character, reinterpret_cast<const uint8_t*>(ordered[i - 1]), 1,
                        false, &a, 0x58);
        MakeSortableKey(KeyType::Character, reinterpret_cast<const uint8_t*>(ordered[i]), 1, false,
                        &b, 0x58);
        EXPECT_LT(a, b) << ordered[i - 1] << " " << ordered[i];
    }
    const std::string key = "Zo\xe9 Ab";
    std::string s(key.size(), '\0'), back(key.size(), '\0');
    MakeSortableKey(KeyType::Character, reinterpret_cast<const uint8_t*>(key.data()), key.size(),
                    true, reinterpret_cast<uint8_t*>(s.data()), 0x58);
    StoredKeyFromSortable(KeyType::Character, reinterpret_cast<const uint8_t*>(s.data()),
                          key.size(), true, reinterpret_cast<uint8_t*>(back.data()), 0x58);
    EXPECT_EQ(back, key);
}
