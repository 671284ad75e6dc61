#include <gtest/gtest.h>

#include <clocale>

#include "settings/Formats.h"

namespace {

using ari::EncodeDateTime;
using ari::EncodeTime;

class Formats : public ::testing::Test {
  protected:
    void SetUp() override {
        // The user's locale, whatever it is, must not leak into the fixed forms.
        std::setlocale(LC_ALL, "");
        ApplyFormatSettings();
    }
};

TEST_F(Formats, WorkedExamples) {
    struct Case {
        ari::TDateTime value;
        const char* longTime;
        const char* shortDate;
        const char* dateTime;
    } cases[] = {
        {EncodeDateTime(2025, 12, 8, 14, 5, 9, 600), "14:05:09", "08/12/2025",
         "08/12/2025 14:05:09"},
        {EncodeDateTime(2025, 12, 8, 6, 0, 0), "06:00:00", "08/12/2025", "08/12/2025 06:00:00"},
        {EncodeDateTime(2026, 1, 1), "00:00:00", "01/01/2026", "01/01/2026"},
        {EncodeDateTime(2026, 12, 8, 0, 1, 7), "00:01:07", "08/12/2026", "08/12/2026 00:01:07"},
        {EncodeTime(0, 0, 1), "00:00:01", "30/12/1899", "30/12/1899 00:00:01"},
        {EncodeTime(23, 59, 59, 999), "23:59:59", "30/12/1899", "30/12/1899 23:59:59"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ari::LongTimeText(c.value), c.longTime);
        EXPECT_EQ(ari::ShortDateText(c.value), c.shortDate);
        EXPECT_EQ(ari::DateTimeText(c.value), c.dateTime);
    }
    EXPECT_EQ(ari::ShortTimeText(EncodeDateTime(2025, 12, 8, 14, 5, 9, 600)), "14:05");
}

TEST_F(Formats, MillisecondsRoundThenDrop) {
    const double second = 1.0 / 86400.0;
    EXPECT_EQ(ari::LongTimeText(0.9996 * second), "00:00:01");
    EXPECT_EQ(ari::LongTimeText(0.9994 * second), "00:00:00");
    EXPECT_EQ(ari::LongTimeText(9.6 * second), "00:00:09");
    // Rounded to the next midnight: the date moves and the time part disappears.
    EXPECT_EQ(ari::DateTimeText(EncodeDateTime(2026, 1, 1) - 0.0004 / 86400.0), "01/01/2026");
}

TEST_F(Formats, LongTimeTextsSortAsTimes) {
    EXPECT_LT(ari::LongTimeText(EncodeTime(5, 59, 59)), ari::LongTimeText(EncodeTime(6, 0, 0)));
    EXPECT_GT(ari::LongTimeText(EncodeTime(10, 0, 0)), ari::LongTimeText(EncodeTime(9, 59, 59)));
}

TEST_F(Formats, ReadingTimes) {
    struct Case {
        const char* text;
        int h, m, s, ms;
    } good[] = {
        {"06:00:00", 6, 0, 0, 0},
        {"6:0", 6, 0, 0, 0},
        {"06:00", 6, 0, 0, 0},
        {"6", 6, 0, 0, 0},
        {"6:30 PM", 18, 30, 0, 0},
        {"pm 6:30", 18, 30, 0, 0},
        {"12:00 AM", 0, 0, 0, 0},
        {"12:15 pm", 12, 15, 0, 0},
        {"  6:30:15.250  ", 6, 30, 15, 250},
        {"23:59:59", 23, 59, 59, 0},
        {"00:00:01", 0, 0, 1, 0},
        {"6 :30", 6, 30, 0, 0},
    };
    for (const auto& c : good) {
        EXPECT_DOUBLE_EQ(ari::StrToTime(std::string(c.text)), EncodeTime(c.h, c.m, c.s, c.ms))
            << c.text;
    }
    const char* bad[] = {"24:00:00", "06:60",   "06.00",       "25:00",      "",
                         "  ",       "6:",      "6:30:",       "6:30:00.",   "13:00 PM",
                         "0 AM",     "6:30 XM", "abc",         "6:30 PM PM", "6::30",
                         "-1:00",    "6:30:60", "6:30:00.1000"};
    for (const char* text : bad) {
        try {
            ari::StrToTime(std::string(text));
            ADD_FAILURE() << "accepted '" << text << "'";
        } catch (const EConvertError& e) {
            EXPECT_EQ(std::string(e.what()), std::string("'") + text + "' is not a valid time");
        }
    }
}

TEST_F(Formats, ReadingFlags) {
    struct Case {
        const char* text;
        bool value;
    } good[] = {{"-1", true},     {"1", true},    {"2.5", true},  {"0", false},
                {"0.0", false},   {"TRUE", true}, {"true", true}, {"false", false},
                {"False", false}, {"1e3", true},  {"-0", false},  {"+3", true}};
    for (const auto& c : good)
        EXPECT_EQ(ari::StrToBool(std::string(c.text)), c.value) << c.text;
    for (const char* text : {"yes", "no", "", "T", "1,5", "2.5.1", "e5", "truee"}) {
        try {
            ari::StrToBool(std::string(text));
            ADD_FAILURE() << "accepted '" << text << "'";
        } catch (const EConvertError& e) {
            EXPECT_EQ(std::string(e.what()),
                      std::string("'") + text + "' is not a valid boolean value");
        }
    }
}

TEST_F(Formats, ReadingNumbersUsesTheFullStop) {
    double v = 0;
    EXPECT_TRUE(ari::TryStrToFloat("12.5", v));
    EXPECT_DOUBLE_EQ(v, 12.5);
    EXPECT_FALSE(ari::TryStrToFloat("12,5", v));
    EXPECT_TRUE(ari::TryStrToFloat("-3e2", v));
    EXPECT_DOUBLE_EQ(v, -300);
}

TEST_F(Formats, ApplyFormatSettingsFixesTheFields) {
    const ari::FormatSettings& fs = ari::CurrentFormats();
    EXPECT_EQ(fs.shortDateFormat, "DD/MM/YYYY");
    EXPECT_EQ(fs.longTimeFormat, "HH:MM:SS");
    EXPECT_EQ(fs.shortTimeFormat, "HH:MM");
    EXPECT_EQ(fs.dateSeparator, '/');
    EXPECT_EQ(fs.timeSeparator, ':');
    EXPECT_EQ(fs.thousandSeparator, '/');
    EXPECT_EQ(fs.decimalSeparator, '.');
    EXPECT_EQ(fs.currencyFormat, 1);
    EXPECT_EQ(fs.negCurrFormat, 2);
    EXPECT_EQ(fs.currencyDecimals, 0);
    EXPECT_FALSE(fs.currencyString.empty());
    EXPECT_TRUE(fs.rightToLeft);
}

}  // namespace
