// The session listing parser: decoding, line splitting, the fixed columns, the counted entries
// and the rows that get a logoff.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Text.h"
#include "sessions/SessionListing.h"

namespace {

using ari::SessionRow;

// The listing's columns count UTF-16 code units: `text` padded with blanks to `width` of them,
// on the right or on the left.
std::string LeftJustified(const std::string& text, size_t width) {
    const size_t units = ari::Utf16FromUtf8(text).size();
    return units >= width ? text : text + std::string(width - units, ' ');
}
std::string RightJustified(const std::string& text, size_t width) {
    const size_t units = ari::Utf16FromUtf8(text).size();
    return units >= width ? text : std::string(width - units, ' ') + text;
}

// One listing row: fields padded to the fixed widths (the id right-aligned in column 44).
std::string Row(const std::string& user, const std::string& session, const std::string& id,
                const std::string& state) {
    return LeftJustified(user, 23) + LeftJustified(session, 19) + RightJustified(id, 2) + "  " +
           state;
}

const std::string kHeader =
    std::string(" USERNAME              SESSIONNAME        ID  STATE   IDLE TIME  LOGON TIME");

// The six-line example listing of the session monitor.
std::vector<std::string> ExampleListing() {
    return {kHeader,
            Row(">operator", "console", "1", "Active"),
            Row(" clerk1", "rdp-tcp#2", "2", "Active"),
            Row(" clerk2", "", "3", "Disc"),
            Row(" clerk3", "", "4", "Down"),
            Row(" clerk4", "", "5", "Disc")};
}

// The UTF-16 little-endian bytes of a UTF-8 text.
std::string Utf16LeBytes(const std::string& text) {
    std::string bytes;
    for (char16_t unit : ari::Utf16FromUtf8(text)) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    return bytes;
}

TEST(DecodeListingText, ByteOrderMarksAndEightBitText) {
    struct Case {
        const char* name;
        std::string bytes;
        std::string text;
    };
    const std::string persian = std::string("کاربر");
    const Case cases[] = {
        {"utf-8 without mark", std::string("ab\r\ncd"), std::string("ab\r\ncd")},
        {"utf-8 mark dropped",
         std::string("\xEF\xBB\xBF"
                     "ab"),
         std::string("ab")},
        {"utf-8 letters", persian, persian},
        {"utf-16 le",
         std::string("\xFF\xFE"
                     "a\0b\0",
                     6),
         std::string("ab")},
        {"utf-16 be", std::string("\xFE\xFF\0a\0b", 6), std::string("ab")},
        {"utf-16 le letters", std::string("\xFF\xFE") + Utf16LeBytes(persian), persian},
        {"invalid utf-8 is latin-1", std::string("caf\xE9 \xFF"),
         std::string("caf\xC3\xA9 \xC3\xBF")},
        {"empty", std::string(), std::string()},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ari::DecodeListingText(c.bytes), c.text) << c.name;
}

TEST(SplitListingLines, BreaksAtCrLfLfAndCr) {
    struct Case {
        std::string text;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"", {}},
        {"a", {"a"}},
        {"a\n", {"a"}},
        {"\n", {""}},
        {"a\r\nb\r\n", {"a", "b"}},
        {"a\rb\nc", {"a", "b", "c"}},
        {"a\n\nb", {"a", "", "b"}},
        {"a\n\r\nb", {"a", "", "b"}},
        {"a\r\r\n", {"a", ""}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ari::SplitListingLines(c.text), c.lines) << c.text;
}

TEST(CutSessionRow, FixedColumnsCutShortOnShortLines) {
    struct Case {
        std::string line;
        SessionRow row;
    };
    const std::string longUser = std::string("averyveryverylongusername");  // 25 characters
    const Case cases[] = {
        {Row(">operator", "console", "1", "Active") + "      .  08/12/2026 07:00",
         {">operator              ", "console            ", " 1  ", "Active  "}},
        {"", {"", "", "", ""}},
        {"abc", {"abc", "", "", ""}},
        {std::string(23, 'x') + "sess", {std::string(23, 'x'), "sess", "", ""}},
        {std::string(42, 'x') + " 7", {std::string(23, 'x'), std::string(19, 'x'), " 7", ""}},
        {std::string(46, 'x') + "Disc",
         {std::string(23, 'x'), std::string(19, 'x'), "xxxx", "Disc"}},
        // The user name stops at column 23; the rest is still read at the fixed columns.
        {longUser + std::string(17, ' ') + "  9  Active",
         {longUser.substr(0, 23), "me" + std::string(17, ' '), "  9 ", " Active"}},
    };
    for (const Case& c : cases) {
        const SessionRow r = ari::CutSessionRow(c.line);
        EXPECT_EQ(r.userName, c.row.userName) << c.line;
        EXPECT_EQ(r.sessionName, c.row.sessionName) << c.line;
        EXPECT_EQ(r.id, c.row.id) << c.line;
        EXPECT_EQ(r.state, c.row.state) << c.line;
    }
}

TEST(TrimAndLower, ControlCharactersAndAsciiLettersOnly) {
    EXPECT_EQ(ari::TrimBlanks(std::string("\x01 \t a b \x1F\r\n ")), "a b");
    EXPECT_EQ(ari::TrimBlanks(std::string("\xC2\xA0x\xC2\xA0")), std::string("\xC2\xA0x\xC2\xA0"));
    EXPECT_EQ(ari::TrimBlanks("   "), "");
    EXPECT_EQ(ari::LowerAsciiLetters(std::string("AbZ\xC3\x89")), std::string("abz\xC3\x89"));
}

TEST(CountedEntry, StatesAndConsoleRule) {
    struct Case {
        SessionRow row;
        std::string entry;
    };
    const Case cases[] = {
        {{">operator              ", "console            ", " 1  ", "Active  "},
         ">operator(directly);active"},
        {{" clerk1", "rdp-tcp#2", " 2  ", "Active"}, "clerk1;active"},
        {{" clerk2", "", " 3  ", "Disc    "}, "clerk2;disc"},
        {{" a", "Console", " 1  ", "Active"}, "a;active"},  // the name is not lower-cased
        {{" a", "  console  ", " 1  ", "ACTIVE"}, "a(directly);active"},
        {{" b", "", " 2  ", "DISC"}, "b;disc"},
        {{" b", "", " 2  ", "aCtIvE"}, "b;active"},
        {{" c", "", " 4  ", "Down"}, ""},
        {{" c", "", " 4  ", "Disconn"}, ""},
        {{" c", "", " 4  ", "Listen"}, ""},
        {{" c", "", " 4  ", ""}, ""},
        {{"", "", "", "Active"}, ";active"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ari::CountedEntry(c.row), c.entry) << c.row.state;
}

TEST(IsSessionNumber, OnlyDigitsAfterTrimming) {
    struct Case {
        std::string id;
        bool number;
    };
    const Case cases[] = {
        {" 3  ", true},  {"12  ", true},
        {"1234", true},  {"   0", true},
        {"    ", false}, {"", false},
        {"ID  ", false}, {" 3a ", false},
        {"-1  ", false}, {" 1 2", false},
        {"+1  ", false}, {std::string(" \xDB\xB3  "), false},  // Persian digit three
    };
    for (const Case& c : cases)
        EXPECT_EQ(ari::IsSessionNumber(c.id), c.number) << c.id;
}

TEST(ParseSessionListing, ExampleListing) {
    const ari::SessionListing listing = ari::ParseSessionListing(ExampleListing());
    ASSERT_EQ(listing.rows.size(), 5u);
    EXPECT_EQ(listing.rows[0].userName, ">operator              ");
    EXPECT_EQ(listing.rows[2].sessionName, std::string(19, ' '));
    EXPECT_EQ(listing.rows[2].id, " 3  ");
    EXPECT_EQ(listing.rows[3].state, "Down");
    ASSERT_EQ(listing.counted.size(), 4u);
    const std::string texts[] = {">operator(directly);active", "clerk1;active", "clerk2;disc",
                                 "clerk4;disc"};
    const int rows[] = {0, 1, 2, 4};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(listing.counted[i].text, texts[i]);
        EXPECT_EQ(listing.counted[i].row, rows[i]);
    }
    EXPECT_EQ(listing.logoffRows, (std::vector<int>{2, 4}));
    EXPECT_EQ(ari::LogoffParameters(listing.rows[2]), " 3   /server:127.0.0.1");
    EXPECT_EQ(ari::LogoffParameters(listing.rows[4]), " 5   /server:127.0.0.1");
}

TEST(ParseSessionListing, HeaderOnlyEmptyAndBlankLines) {
    EXPECT_TRUE(ari::ParseSessionListing({}).rows.empty());
    EXPECT_TRUE(ari::ParseSessionListing({kHeader}).rows.empty());
    // The first line is skipped whatever it holds, even a session row.
    const auto noHeader = ari::ParseSessionListing({Row(" x", "", "3", "Disc")});
    EXPECT_TRUE(noHeader.rows.empty());
    const auto blank = ari::ParseSessionListing({kHeader, "", Row(" y", "", "2", "Active")});
    ASSERT_EQ(blank.rows.size(), 2u);
    EXPECT_EQ(blank.rows[0].userName, "");
    ASSERT_EQ(blank.counted.size(), 1u);
    EXPECT_EQ(blank.counted[0].row, 1);
}

TEST(ParseSessionListing, LogoffOnlyForDisconnectedRowsWithASessionNumber) {
    struct Case {
        const char* name;
        std::string line;
        bool loggedOff;
    };
    const Case cases[] = {
        {"disc", Row(" a", "", "3", "Disc"), true},
        {"upper-case disc", Row(" a", "", "3", "DISC"), true},
        {"active", Row(" a", "", "3", "Active"), false},
        {"other state", Row(" a", "", "3", "Down"), false},
        {"blank id", Row(" a", "", "", "Disc"), false},
        {"garbled id", Row(" a", "", "x", "Disc"), false},
        // An id too long for its four columns pushes the state out of its columns.
        {"five-digit id", LeftJustified(" a", 42) + "12345 Disc", false},
        {"short line", std::string(" a"), false},
        {"console disc", Row(" a", "console", "1", "Disc"), true},
        // The session the listing was made from is the program's own: never logged off.
        {"own session disc", Row(">a", "", "3", "Disc"), false},
        // The entry's text after its first ";" decides: a user name with ";" reads otherwise.
        {"user name with semicolon", Row(" a;b", "", "3", "Disc"), false},
    };
    for (const Case& c : cases) {
        const auto listing = ari::ParseSessionListing({kHeader, c.line});
        EXPECT_EQ(listing.logoffRows.size(), c.loggedOff ? 1u : 0u) << c.name;
    }
}

// A row as the platform's own listing tool prints it: the id right-aligned to end in column 44,
// so that an id of three or more digits reaches left into the session name's columns.
std::string RightAlignedRow(const std::string& user, const std::string& session,
                            const std::string& id, const std::string& state) {
    return LeftJustified(LeftJustified(user, 23) + session, 44 - id.size()) + id + "  " +
           LeftJustified(state, 8) + "      .  10/12/2026 07:00";
}

// A row as our quser prints it: ids of one or two digits end in column 44, ids of three or four
// fill the id columns from column 43 (a four-digit id meets the state), longer ones show "*".
std::string OurQuserRow(const std::string& user, const std::string& session, const std::string& id,
                        const std::string& state) {
    const std::string idColumns = id.size() <= 2   ? RightJustified(id, 2) + "  "
                                  : id.size() <= 4 ? LeftJustified(id, 4)
                                                   : std::string(" *  ");
    return LeftJustified(user, 23) + LeftJustified(session, 19) + idColumns +
           LeftJustified(state, 8) + "      .";
}

TEST(ParseSessionListing, LogsOffAnIdOnlyWhenItIsWhole) {
    struct Case {
        const char* name;
        std::string line;
        std::string logoff;  // the parameters logoff gets; "" when the row gets no logoff
    };
    const std::string kServer = std::string(" /server:127.0.0.1");
    const std::string named = std::string(" clerk2"), rdp = std::string("rdp-tcp#4");
    const Case cases[] = {
        // The platform's layout, with and without user and session names.
        {"right-aligned 1 digit", RightAlignedRow(named, rdp, "7", "Disc"), " 7  " + kServer},
        {"right-aligned 2 digits", RightAlignedRow(named, rdp, "42", "Disc"), "42  " + kServer},
        // The field shows "23" and "34" of sessions 123 and 1234; their first digits stand in
        // the session name's columns, after a blank.
        {"right-aligned 3 digits", RightAlignedRow(named, rdp, "123", "Disc"), "123  " + kServer},
        {"right-aligned 4 digits", RightAlignedRow(named, rdp, "1234", "Disc"), "1234  " + kServer},
        {"right-aligned 5 digits", RightAlignedRow(named, rdp, "12345", "Disc"),
         "12345  " + kServer},
        {"right-aligned 2 digits, no names", RightAlignedRow("", "", "42", "Disc"),
         "42  " + kServer},
        {"right-aligned 3 digits, no names", RightAlignedRow("", "", "123", "Disc"),
         "123  " + kServer},
        {"right-aligned 4 digits, no session name", RightAlignedRow(named, "", "1234", "Disc"),
         "1234  " + kServer},
        {"right-aligned 5 digits, no names", RightAlignedRow("", "", "12345", "Disc"),
         "12345  " + kServer},
        // A session name that ends in digits right before a right-aligned id: where the name
        // ends and the id begins cannot be told.
        {"session name glued to a 3-digit id",
         LeftJustified(named, 23) + "rdp-tcp#12345678912" + "3   Disc", ""},
        // Our quser's layout keeps ids of up to four digits inside the id columns.
        {"our quser 1 digit", OurQuserRow(named, "", "7", "Disc"), " 7  " + kServer},
        {"our quser 2 digits", OurQuserRow(named, rdp, "42", "Disc"), "42  " + kServer},
        {"our quser 3 digits", OurQuserRow(named, "", "123", "Disc"), "123 " + kServer},
        {"our quser 4 digits", OurQuserRow(named, "", "1234", "Disc"), "1234" + kServer},
        {"our quser 4 digits, no names", OurQuserRow("", "", "1234", "Disc"), "1234" + kServer},
        {"our quser 5 digits", OurQuserRow(named, "", "12345", "Disc"), ""},
        // Broken id fields.
        {"session name runs into the id",
         LeftJustified(named, 23) + "abcdefghijklmnopqr7" + "2   Disc", ""},
        {"mark before the id", LeftJustified(named, 23) + std::string(18, ' ') + "#12  Disc", ""},
        {"two numbers in the field", LeftJustified(named, 42) + "1 2 Disc", ""},
        {"tab before the id", LeftJustified(named, 41) + "\t5   Disc", "5   " + kServer},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto listing = ari::ParseSessionListing({kHeader, c.line});
        ASSERT_EQ(listing.rows.size(), 1u);
        ASSERT_EQ(listing.counted.size(), 1u);  // every row is still counted and listed
        EXPECT_EQ(listing.counted[0].text.substr(listing.counted[0].text.find(';') + 1), "disc");
        const std::string logoff =
            listing.logoffRows.empty() ? std::string() : ari::LogoffParameters(listing.rows[0]);
        EXPECT_EQ(logoff, c.logoff);
    }
}

}  // namespace

namespace {

// The listing of one language: its header, then rows of the example's users with that
// language's state words.
struct Language {
    const char* name;
    std::string header;
    std::string active, disconnected;
};

TEST(ReadToolListing, EnglishGermanSpanishFrenchListings) {
    // The headers as those systems print them (the French é may also arrive as Latin-1 or the
    // console's code page; only the user column's word and "ID" are read).
    const Language languages[] = {
        {"English", kHeader, "Active", "Disc"},
        {"German", " BENUTZERNAME          SITZUNGSNAME       ID  STATUS  LEERLAUF   ANMELDEZEIT",
         "Aktiv", "Getrennt"},
        {"Spanish",
         " NOMBRE USUARIO        NOMBRE SESI\xC3\x93N      ID  ESTADO  TIEMPO IN. TIEMPO "
         "SESI\xC3\x93N",
         "Activo", "Desc"},
        {"French",
         " UTILISATEUR           SESSION            ID  \xC3\x89TAT   TEMPS INACT TEMPS SESSION",
         "Actif",
         "D\xC3\xA9"
         "co"},
        {"French, console code page 850 read as Latin-1",
         " UTILISATEUR           SESSION            ID  \x90TAT   TEMPS INACT TEMPS SESSION",
         "Actif",
         "D\x82"
         "co"},
    };
    for (const Language& l : languages) {
        SCOPED_TRACE(l.name);
        const std::string printed =
            l.header + "\r\n" + RightAlignedRow(">operator", "console", "1", l.active) + "\r\n" +
            RightAlignedRow(" clerk1", "rdp-tcp#2", "2", l.active) + "\r\n" +
            RightAlignedRow(" clerk2", "", "3", l.disconnected) + "\r\n" +
            RightAlignedRow(" clerk3", "", "4", "Down") + "\r\n" +
            RightAlignedRow(">clerk5", "", "6", l.disconnected) + "\r\n" +
            RightAlignedRow(" clerk4", "", "5", l.disconnected) + "\r\n";
        const ari::SessionListing listing = ari::ReadToolListing(printed);
        EXPECT_EQ(listing.failure, "");
        ASSERT_EQ(listing.rows.size(), 6u);
        ASSERT_EQ(listing.counted.size(), 5u);
        EXPECT_EQ(listing.counted[0].text.substr(0, 20), ">operator(directly);");
        std::vector<int> countedRows;
        for (const auto& c : listing.counted)
            countedRows.push_back(c.row);
        EXPECT_EQ(countedRows, (std::vector<int>{0, 1, 2, 4, 5}));
        // Disconnected sessions 3 and 5; never the one marked as the listing's own.
        EXPECT_EQ(listing.logoffRows, (std::vector<int>{2, 5}));
        EXPECT_EQ(ari::LogoffParameters(listing.rows[2]), " 3   /server:127.0.0.1");
        EXPECT_EQ(listing.lines.size(), 7u);
    }
}

TEST(ReadToolListing, StateWords) {
    struct Case {
        std::string word;
        ari::ListedState state;
    };
    const Case cases[] = {
        {"Active  ", ari::ListedState::Active},
        {"AKTIV", ari::ListedState::Active},
        {"activo", ari::ListedState::Active},
        {"Actif   ", ari::ListedState::Active},
        {"Disc", ari::ListedState::Disconnected},
        {"Getrennt", ari::ListedState::Disconnected},
        {"DESC", ari::ListedState::Disconnected},
        {"D\xC3\xA9"
         "co",
         ari::ListedState::Disconnected},
        {"D\xC3\x89"
         "CO",
         ari::ListedState::Disconnected},
        // Cut, longer or other words are neither: a row never counts by a guess.
        {"Getrenn", ari::ListedState::Other},
        {"Disconn", ari::ListedState::Other},
        {"Deco", ari::ListedState::Other},
        {"Activ", ari::ListedState::Other},
        {"Listen", ari::ListedState::Other},
        {"Abh\xC3\xB6ren", ari::ListedState::Other},
        {"", ari::ListedState::Other},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ari::StateOfWord(c.word), c.state) << c.word;
}

TEST(ReadToolListing, OutputThatIsNoListingIsAFailureNeverNobody) {
    struct Case {
        const char* name;
        std::string printed;
        bool failed;
        size_t rows;
    };
    const Case cases[] = {
        {"nothing at all", "", true, 0},
        {"blank lines only", "\r\n  \r\n", true, 0},
        {"an error message", "Error [5]:Access is denied.\r\n", true, 0},
        {"rows without the header", Row(" a", "", "3", "Disc") + "\n", true, 0},
        {"binary garbage",
         std::string("\x7F"
                     "ELF\x02\x01\x01\0\0\0",
                     10),
         true, 0},
        {"a header of another tool", " NAME  PID  STATE\n" + Row(" a", "", "3", "Disc"), true, 0},
        // The tools' own word for nobody logged on, on standard error: no session, no failure.
        {"nobody logged on", "No User exists for *\n", false, 0},
        {"header only", kHeader + "\n", false, 0},
        {"a listing", kHeader + "\n" + Row(" a", "", "3", "Disc") + "\n", false, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ari::SessionListing listing = ari::ReadToolListing(c.printed);
        EXPECT_EQ(!listing.failure.empty(), c.failed) << listing.failure;
        EXPECT_EQ(listing.rows.size(), c.rows);
        if (c.failed) {
            EXPECT_TRUE(listing.counted.empty());
            EXPECT_TRUE(listing.logoffRows.empty());
        }
    }
    EXPECT_EQ(ari::ReadToolListing("Error [5]:Access is denied.\r\n").failure,
              "quser printed no session listing: \"Error [5]:Access is denied.\"");
}

}  // namespace
