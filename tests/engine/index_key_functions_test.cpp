// Tags keyed and filtered by the dBASE IV functions: each key expected by hand, read back by a
// reader no one here wrote (Perl XBase::Index) in its stored order, and every tag sound by the
// verifier; the empty date and negative numbers as the legacy engine keys them; functions that
// depend on the session refused by name.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "engine/EngineErrors.h"
#include "engine/TTable.h"
#include "engine/format/MdxFormat.h"
#include "engine/index/MdxBuild.h"
#include "engine/index/MdxFile.h"
#include "engine/index/MdxTable.h"
#include "engine/table/DbfFile.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/engine/IndexTestSupport.h"
#include "tests/support/TestFolders.h"

using namespace ari::engine;
using namespace ari::test;

namespace {

// Five records chosen so that the functions below give distinct, hand-checkable keys.
//   1 smith     ab-12   -16     2024-03-15 (a Friday)    T
//   2 Lee                       (empty)                  F
//   3 robert    XY-9    1234.5  1999-12-31 (a Friday)    (blank)
//   4 Ashcraft  zz      0.5     2000-01-01 (a Saturday)  T
//   5   tymczak 12      -0.5    1970-01-01 (a Thursday)  F
std::string MakeFunctionTable(const TempFolder& dir) {
    const std::vector<FieldDef> fields = {{"NAME", 'C', 10, 0, 0},
                                          {"CODE", 'C', 6, 0, 0},
                                          {"AMOUNT", 'N', 8, 2, 0},
                                          {"BORN", 'D', 8, 0, 0},
                                          {"OK", 'L', 1, 0, 0}};
    const std::vector<Row> rows = {
        {{"smith", "ab-12", "-16.00", "20240315", "T"}},
        {{"Lee", "", "", "", "F"}},
        {{"robert", "XY-9", "1234.50", "19991231", " "}},
        {{"Ashcraft", "zz", "0.50", "20000101", "T"}},
        {{"  tymczak", "12", "-0.50", "19700101", "F"}},
    };
    return MakeTable(dir / "funcs.dbf", fields, rows);
}

struct KeyCase {
    const char* expression;
    char type;      // 'C', 'N' or 'D'
    size_t length;  // key length
    // Entries in stored order: record number and the key as `dbtool keys` shows it
    // (characters as stored, numbers as decimal text, dates as YYYYMMDD).
    std::vector<std::pair<uint32_t, std::string>> entries;
};

// Expected keys worked out by hand from the records above.
const std::vector<KeyCase> kKeyCases = {
    {"SOUNDEX(NAME)", 'C', 4, {{4, "A261"}, {2, "L000"}, {3, "R163"}, {1, "S530"}, {5, "T522"}}},
    {"DIFFERENCE(NAME,'Robert')", 'N', 12, {{1, "0"}, {2, "0"}, {5, "0"}, {4, "1"}, {3, "4"}}},
    {"CDOW(BORN)",
     'C',
     9,
     {{2, "         "}, {1, "Friday   "}, {3, "Friday   "}, {4, "Saturday "}, {5, "Thursday "}}},
    {"CMONTH(BORN)+STR(DOW(BORN),1)",
     'C',
     10,
     {{2, "         0"},
      {3, "December 6"},
      {5, "January  5"},
      {4, "January  7"},
      {1, "March    6"}}},
    {"PADL(TRIM(CODE),6,'0')",
     'C',
     6,
     {{2, "000000"}, {5, "000012"}, {4, "0000zz"}, {3, "00XY-9"}, {1, "0ab-12"}}},
    {"PADR(TRIM(NAME),7,'*')",
     'C',
     7,
     {{5, "  tymcz"}, {4, "Ashcraf"}, {2, "Lee****"}, {3, "robert*"}, {1, "smith**"}}},
    {"REPLICATE(LEFT(CODE,1),3)",
     'C',
     3,
     {{2, "   "}, {5, "111"}, {3, "XXX"}, {1, "aaa"}, {4, "zzz"}}},
    {"STUFF(CODE,3,1,'/')",
     'C',
     6,
     {{2, "  /   "}, {5, "12/   "}, {3, "XY/9  "}, {1, "ab/12 "}, {4, "zz/   "}}},
    {"SPACE(2)+CHR(65+LEN(TRIM(NAME)))",
     'C',
     3,
     {{2, "  D"}, {1, "  F"}, {3, "  G"}, {4, "  I"}, {5, "  J"}}},
    {"TRANSFORM(CODE,'@!')",
     'C',
     6,
     {{2, "      "}, {5, "12    "}, {1, "AB-12 "}, {3, "XY-9  "}, {4, "ZZ    "}}},
    {"TRANSFORM(CODE,'@R !!-!!')",
     'C',
     5,
     {{2, "  -  "}, {5, "12-  "}, {1, "AB--1"}, {3, "XY--9"}, {4, "ZZ-  "}}},
    {"TRANSFORM(CODE,'!!-!')",
     'C',
     4,
     {{2, "  - "}, {5, "12- "}, {1, "AB-1"}, {3, "XY-9"}, {4, "ZZ- "}}},
    {"TRANSFORM(AMOUNT,'@Z 9,999.99')",
     'C',
     8,
     {{2, "        "}, {4, "    0.50"}, {5, "   -0.50"}, {1, "  -16.00"}, {3, "1,234.50"}}},
    {"TRANSFORM(AMOUNT,'')",
     'C',
     8,
     {{2, "    0.00"}, {4, "    0.50"}, {5, "   -0.50"}, {1, "  -16.00"}, {3, " 1234.50"}}},
    {"ROUND(AMOUNT,0)", 'N', 12, {{1, "-16"}, {5, "-1"}, {2, "0"}, {4, "1"}, {3, "1235"}}},
    {"MOD(AMOUNT,3)", 'N', 12, {{2, "0"}, {4, "0.5"}, {3, "1.5"}, {1, "2"}, {5, "2.5"}}},
    {"MAX(AMOUNT,0)+MIN(AMOUNT,0)*2",
     'N',
     12,
     {{1, "-32"}, {5, "-1"}, {2, "0"}, {4, "0.5"}, {3, "1234.5"}}},
    {"AT('-',CODE)*10+RAT('1',NAME+CODE)",
     'N',
     12,
     {{2, "0"}, {4, "0"}, {5, "11"}, {3, "30"}, {1, "44"}}},
    {"ASC(NAME)+DAY(BORN)+YEAR(BORN)",
     'N',
     12,
     {{2, "76"}, {5, "2003"}, {4, "2066"}, {3, "2144"}, {1, "2154"}}},
    {"SIGN(AMOUNT)*100+CEILING(AMOUNT)-FLOOR(AMOUNT)",
     'N',
     12,
     {{1, "-100"}, {5, "-99"}, {2, "0"}, {3, "101"}, {4, "101"}}},
    {"INT(SQRT(ABS(AMOUNT))*10)+LOG10(100)+INT(EXP(0))+INT(LOG(1))",
     'N',
     12,
     {{2, "3"}, {4, "10"}, {5, "10"}, {1, "43"}, {3, "354"}}},
    {"ROUND(SIN(DTOR(90))*COS(0)+TAN(0)+ASIN(0)+ACOS(1)+ATAN(0)+ATN2(0,1)+RTOD(0)+PI()-PI()"
     "+FIXED(AMOUNT)+FLOAT(0),2)",
     'N',
     12,
     {{1, "-15"}, {5, "0.5"}, {2, "1"}, {4, "1.5"}, {3, "1235.5"}}},
    {"IIF(EMPTY(AMOUNT),'E',IIF(ISBLANK(CODE),'B','N'))+IIF(ISALPHA(NAME),'A','-')"
     "+IIF(ISUPPER(NAME),'U','-')+IIF(ISLOWER(NAME),'L','-')",
     'C',
     4,
     {{2, "EAU-"}, {5, "N---"}, {1, "NA-L"}, {3, "NA-L"}, {4, "NAU-"}}},
    {"IIF(ISDIGIT(CODE),'D','-')+IIF(LIKE('*a*',NAME),'K','-')+IIF(ISBLANK(OK),'?','-')",
     'C',
     3,
     {{1, "---"}, {2, "---"}, {3, "--?"}, {4, "-K-"}, {5, "DK-"}}},
    // Dates: the empty date after every real date.
    {"BORN",
     'D',
     8,
     {{5, "19700101"}, {3, "19991231"}, {4, "20000101"}, {1, "20240315"}, {2, "        "}}},
    {"MAX(BORN,{01/01/1990})",
     'D',
     8,
     {{2, "19900101"}, {5, "19900101"}, {3, "19991231"}, {4, "20000101"}, {1, "20240315"}}},
};

struct ForCase {
    const char* condition;
    std::vector<uint32_t> records;  // in NAME order: 5, 4, 2, 3, 1
};

// Records each condition admits, worked out by hand; every tag is keyed by NAME.
const std::vector<ForCase> kForCases = {
    {"EMPTY(BORN)", {2}},
    {".NOT. ISBLANK(AMOUNT)", {5, 4, 3, 1}},
    {"LEN(TRIM(NAME)) > 5", {5, 4, 3}},
    {"ISUPPER(NAME) .OR. ISDIGIT(CODE)", {5, 4, 2}},
    {"ISLOWER(NAME) .AND. ISALPHA(CODE)", {3, 1}},
    {"LIKE('*t*', NAME)", {5, 4, 3, 1}},
    {"SOUNDEX(NAME) = 'R163' .OR. DIFFERENCE(NAME,'Smyth') = 4", {3, 1}},
    {"DOW(BORN) = 6 .AND. CMONTH(BORN) = 'December'", {3}},
    {"CDOW(BORN) = 'Thursday'", {5}},
    {"MOD(ROUND(AMOUNT,0),2) = 0 .AND. AT('-', CODE) > 0", {1}},
    {"MAX(AMOUNT, 0) > MIN(AMOUNT, 1)", {5, 3, 1}},
    {"ASC(CHR(ASC(NAME))) = 115 .OR. SPACE(1) $ TRIM(NAME)", {5, 1}},
    {"PADL(TRIM(CODE),3) = ' 12' .OR. STUFF(CODE,1,2,'') = '-12' .OR. "
     "REPLICATE(LEFT(CODE,1),2) = 'zz' .OR. PADR(NAME,2) = 'Le'",
     {5, 4, 2, 1}},
    {"TRANSFORM(AMOUNT,'@Z 999.99') = '  0.50' .OR. RAT('e',NAME) = 3", {4, 2}},
    {"CEILING(AMOUNT) = 1 .AND. SQRT(4) = 2 .AND. SIGN(AMOUNT) = 1", {4}},
    {"FLOOR(EXP(0)) = 1 .AND. INT(LOG(1)) = 0 .AND. LOG10(1000) = 3 .AND. YEAR(BORN) > 1999",
     {4, 1}},
    {"ROUND(SIN(0)+COS(0)+TAN(0)+ASIN(0)+ACOS(1)+ATAN(0)+ATN2(0,1)+DTOR(0)+RTOD(0)+PI()-PI(),0)"
     " = 1 .AND. FIXED(AMOUNT) = FLOAT(AMOUNT) .AND. DAY(BORN) >= 0 .AND. MONTH(BORN) >= 0",
     {5, 4, 2, 3, 1}},
};

std::string Shown(char type, const std::string& bytes) {
    const KeyType t = type == 'N'   ? KeyType::Numeric
                      : type == 'D' ? KeyType::Date
                                    : KeyType::Character;
    return KeyDisplayText(t, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace

TEST(IndexKeyFunctions, KeysOfEachFunctionAreWhatTheRecordsGiveInThePerlReadersWalk) {
    if (!PerlIndexReaderAvailable())
        GTEST_SKIP() << "Perl XBase::Index (libdbd-xbase-perl) is not installed";
    TempFolder dir;
    const std::string table = MakeFunctionTable(dir);
    TTable t("Table2");
    t.SetDatabaseName(dir.Path());
    t.SetTableName("funcs.dbf");
    for (size_t i = 0; i < kKeyCases.size(); ++i)
        t.AddIndex("K" + std::to_string(i + 10), kKeyCases[i].expression, ixExpression);
    ASSERT_EQ(IndexFaults(table), "");
    const std::string mdx = dir / "funcs.mdx";
    const MdxFile index(mdx);
    for (size_t i = 0; i < kKeyCases.size(); ++i) {
        const KeyCase& c = kKeyCases[i];
        const std::string tag = "K" + std::to_string(i + 10);
        const MdxTag& header = index.Tags()[i];
        ASSERT_EQ(header.name, tag);
        EXPECT_EQ(static_cast<char>(header.keyType), c.type) << c.expression;
        EXPECT_EQ(header.keyLength, c.length) << c.expression;
        std::vector<std::pair<uint32_t, std::string>> walked;
        for (const auto& [bytes, recno] : PerlEntries(mdx, tag)) {
            EXPECT_EQ(bytes.size(), c.length) << c.expression;
            walked.emplace_back(recno, Shown(c.type, bytes));
        }
        EXPECT_EQ(walked, c.entries) << c.expression;
    }
}

TEST(IndexKeyFunctions, ForConditionsOfEachFunctionAdmitTheRecordsWorkedOutByHand) {
    if (!PerlIndexReaderAvailable())
        GTEST_SKIP() << "Perl XBase::Index (libdbd-xbase-perl) is not installed";
    TempFolder dir;
    const std::string table = MakeFunctionTable(dir);
    std::vector<IndexTagDef> defs;
    for (size_t i = 0; i < kForCases.size(); ++i)
        defs.push_back(
            {"F" + std::to_string(i + 10), "NAME", kForCases[i].condition, false, false});
    {
        auto held = DbfFile::Open(table, ShareMode::Exclusive);
        const std::string mdx = dir / "funcs.mdx";
        const int fd = ::open(mdx.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        WriteIndexFile(fd, mdx, *held, "funcs", 2, held->LanguageDriver(), defs);
        ::close(fd);
        held->SetProductionIndexFlag(1);
    }
    // The pack's rebuild takes the same conditions.
    TTable t("Table2");
    t.SetDatabaseName(dir.Path());
    t.SetTableName("funcs.dbf");
    t.SetExclusive(true);
    t.Open();
    Check(EnginePack(t.DBHandle(), t.Handle(), nullptr, "DBASE", 1));
    t.Close();
    ASSERT_EQ(IndexFaults(table), "");
    const MdxFile index(dir / "funcs.mdx");
    ASSERT_EQ(index.Tags().size(), kForCases.size());
    for (size_t i = 0; i < kForCases.size(); ++i) {
        EXPECT_EQ(index.Tags()[i].forExpression, kForCases[i].condition);
        EXPECT_EQ(PerlOrder(dir / "funcs.mdx", defs[i].name), kForCases[i].records)
            << kForCases[i].condition;
    }
}

TEST(IndexKeyFunctions, FunctionsOfTheSessionAndUserFunctionsAreRefusedByName) {
    TempFolder dir;
    const std::string table = MakeFunctionTable(dir);
    TTable t("Table2");
    t.SetDatabaseName(dir.Path());
    t.SetTableName("funcs.dbf");
    t.AddIndex("NAME", "NAME", ixExpression);
    const std::string before = ReadFileBytes(dir / "funcs.mdx");
    struct Case {
        const char* key;
        const char* condition;
        const char* fragment;
    } cases[] = {
        {"DTOS(DATE())", "", "function DATE() depends on the session"},
        {"NAME", "BORN < DATE()", "function DATE() depends on the session"},
        {"TIME()+NAME", "", "function TIME() depends on the session"},
        {"NAME", "RECCOUNT() > 1", "function RECCOUNT() depends on the session"},
        {"MDY(BORN)", "", "function MDY() depends on the session"},
        {"MYKEY(NAME)", "", "unknown function MYKEY at position 1 (user functions"},
        {"NAME", "ISOK(NAME)", "unknown function ISOK at position 1 (user functions"},
        {"TRANSFORM(CODE,'@X')", "", "TRANSFORM picture function @X is not supported"},
        {"TRANSFORM(AMOUNT*2,'')", "", "TRANSFORM of a computed number needs a template"},
        {"TRANSFORM(AMOUNT,'$999')", "", "numeric template character '$' is not supported"},
        {"SPACE(LEN(NAME))", "", "SPACE argument 1 must be a number"},
    };
    for (const auto& c : cases) {
        try {
            auto held = DbfFile::OpenHeld(table);
            PlanTag("X", c.key, c.condition, false, false, held->Fields(), 0);
            ADD_FAILURE() << "no error for " << c.key << " FOR " << c.condition;
        } catch (const EDBEngineError& e) {
            EXPECT_NE(e.Message().find(c.fragment), std::string::npos) << e.Message();
        }
        if (std::string(c.condition).empty()) {
            EXPECT_THROW(t.AddIndex("X", c.key, ixExpression), EDBEngineError) << c.key;
        }
    }
    EXPECT_EQ(ReadFileBytes(dir / "funcs.mdx"), before);
}

namespace {

std::string DateKeyBytes(double value) {
    std::string b(8, '\0');
    uint64_t bits;
    std::memcpy(&bits, &value, 8);
    for (size_t i = 0; i < 8; ++i)
        b[i] = static_cast<char>(bits >> (8 * i));
    return b;
}

// A date tag small enough that its root is its only leaf, and the leaf's entries rewritten as
// another writer would have stored them.
struct BlankDateTag {
    TempFolder dir;
    std::string table, mdx, good;
    size_t leaf = 0;  // file offset of the first leaf item
    uint32_t itemLength = 0;

    BlankDateTag() {
        const std::vector<FieldDef> fields = {{"BORN", 'D', 8, 0, 0}};
        table = MakeTable(dir / "dates.dbf", fields,
                          {{{"20240315"}}, {{""}}, {{"19991231"}}, {{"20000101"}}, {{""}}});
        TTable t("Table2");
        t.SetDatabaseName(dir.Path());
        t.SetTableName("dates.dbf");
        t.AddIndex("BORN", "BORN", ixExpression);
        mdx = dir / "dates.mdx";
        good = ReadFileBytes(mdx);
        const MdxFile index(mdx);
        leaf = size_t{index.Tags()[0].root} * mdx::kPageSize + mdx::kNodeItems;
        itemLength = index.Tags()[0].itemLength;
    }
    // Writes the leaf's entries: record number and the date key's value.
    void Rewrite(const std::vector<std::pair<uint32_t, double>>& entries) {
        std::string b = good;
        for (size_t i = 0; i < entries.size(); ++i) {
            const size_t at = leaf + i * itemLength;
            for (int k = 0; k < 4; ++k)
                b[at + size_t(k)] = static_cast<char>(entries[i].first >> (8 * k));
            b.replace(at + 4, 8, DateKeyBytes(entries[i].second));
        }
        WriteFileBytes(mdx, b);
    }
};

}  // namespace

TEST(IndexBlankDates, EverySpellingOfTheEmptyDatePassesTheCheckAndOnlyOneIsWritten) {
    BlankDateTag f;
    const double d1999 = JulianDayFromDate(1999, 12, 31), d2000 = JulianDayFromDate(2000, 1, 1),
                 d2024 = JulianDayFromDate(2024, 3, 15);
    // As written now: the empty dates after every real date, keyed 1.0E100.
    {
        const MdxFile index(f.mdx);
        std::vector<std::pair<uint32_t, double>> stored;
        index.Walk(index.Tags()[0], [&](const uint8_t* key, uint32_t recno) {
            stored.emplace_back(recno, DateKeyValue(key));
        });
        const std::vector<std::pair<uint32_t, double>> want = {
            {3, d1999}, {4, d2000}, {1, d2024}, {2, 1.0e100}, {5, 1.0e100}};
        EXPECT_EQ(stored, want);
    }
    EXPECT_EQ(IndexFaults(f.table), "");
    struct Case {
        const char* what;
        std::vector<std::pair<uint32_t, double>> entries;
        const char* fault;  // "" when the file is sound
    } cases[] = {
        {"0.0 first, as this engine wrote them before",
         {{2, 0.0}, {5, 0.0}, {3, d1999}, {4, d2000}, {1, d2024}},
         ""},
        {"21474835648 last, as another library writes them",
         {{3, d1999}, {4, d2000}, {1, d2024}, {2, 21474835648.0}, {5, 21474835648.0}},
         ""},
        {"0.0 first and 1.0E100 last: a record added by the legacy engine",
         {{2, 0.0}, {3, d1999}, {4, d2000}, {1, d2024}, {5, 1.0e100}},
         ""},
        {"an empty date keyed as a real day",
         {{3, d1999}, {4, d2000}, {1, d2024}, {5, d2024}, {2, 1.0e100}},
         "record 5 has key '20240315' in the index, but its expression gives '        '"},
        {"a real day keyed as the empty date",
         {{2, 0.0}, {3, 0.0}, {5, 0.0}, {4, d2000}, {1, d2024}},
         "record 3 has key '        ' in the index, but its expression gives '19991231'"},
        {"an empty date listed twice",
         {{2, 0.0}, {3, d1999}, {4, d2000}, {1, d2024}, {2, 1.0e100}},
         "record 5 with key '        ' is missing"},
        {"empty dates out of order",
         {{3, d1999}, {2, 0.0}, {4, d2000}, {1, d2024}, {5, 1.0e100}},
         "keys out of order"},
    };
    for (const auto& c : cases) {
        f.Rewrite(c.entries);
        const std::string faults = IndexFaults(f.table);
        if (std::string(c.fault).empty()) {
            EXPECT_EQ(faults, "") << c.what;
        } else {
            EXPECT_NE(faults.find(c.fault), std::string::npos) << c.what << ": " << faults;
        }
    }
}

TEST(IndexNegativeNumbers, TagsStoreTheLegacyEngineBytesAndOlderFilesStillCheck) {
    TempFolder dir;
    const std::vector<FieldDef> fields = {{"AMOUNT", 'N', 22, 1, 0}};
    const std::string table =
        MakeTable(dir / "neg.dbf", fields,
                  {{{"-16.0"}}, {{"-0.5"}}, {{"-1234.5"}}, {{"-12345678901234567890"}}, {{"7.0"}}});
    TTable t("Table2");
    t.SetDatabaseName(dir.Path());
    t.SetTableName("neg.dbf");
    t.AddIndex("AMOUNT", "AMOUNT", ixExpression);
    const std::string mdx = dir / "neg.mdx";
    // Byte 0: 52 + digits before the point; byte 1: sign bit, count bits all set, low bits 01.
    const std::vector<std::pair<uint32_t, std::string>> want = {
        {4, "48 FD 12 34 56 78 90 12 34 56 78 90"}, {3, "38 FD 12 34 50 00 00 00 00 00 00 00"},
        {1, "36 FD 16 00 00 00 00 00 00 00 00 00"}, {2, "34 FD 50 00 00 00 00 00 00 00 00 00"},
        {5, "35 09 70 00 00 00 00 00 00 00 00 00"},
    };
    std::vector<std::pair<uint32_t, std::string>> walked;
    const MdxFile index(mdx);
    index.Walk(index.Tags()[0], [&](const uint8_t* key, uint32_t recno) {
        std::string hex;
        char buf[4];
        for (size_t i = 0; i < kNumericKeyLength; ++i) {
            std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", key[i]);
            hex += buf;
        }
        walked.emplace_back(recno, hex);
    });
    EXPECT_EQ(walked, want);
    if (PerlIndexReaderAvailable()) {
        EXPECT_EQ(PerlOrder(mdx, "AMOUNT"), RecordOrder(WalkTag(table, "AMOUNT")));
    }
    EXPECT_EQ(IndexFaults(table), "");
    // The same tag as this engine wrote it before (even digit counts for negatives too).
    std::string older = ReadFileBytes(mdx);
    size_t changed = 0;
    for (size_t at = 0; (at = older.find("\x36\xFD\x16", at)) != std::string::npos; ++at) {
        older[at + 1] = static_cast<char>(0x89);
        ++changed;
    }
    ASSERT_GE(changed, 1u);
    WriteFileBytes(mdx, older);
    EXPECT_EQ(IndexFaults(table), "");
    EXPECT_EQ(WalkTag(table, "AMOUNT")[2], (IndexEntry{1, "-16"}));
}

TEST(IndexBlankDates, ADescendingDateTagListsTheEmptyDatesFirst) {
    TempFolder dir;
    const std::vector<FieldDef> fields = {{"BORN", 'D', 8, 0, 0}};
    const std::string table =
        MakeTable(dir / "dates.dbf", fields, {{{"20240315"}}, {{""}}, {{"19991231"}}, {{""}}});
    TTable t("Table2");
    t.SetDatabaseName(dir.Path());
    t.SetTableName("dates.dbf");
    t.AddIndex("DBORN", "BORN",
               ixExpression | static_cast<TIndexOptions>(TIndexOption::ixDescending));
    const std::vector<IndexEntry> want = {
        {2, "        "}, {4, "        "}, {1, "20240315"}, {3, "19991231"}};
    EXPECT_EQ(WalkTag(table, "DBORN"), want);
    if (PerlIndexReaderAvailable()) {
        EXPECT_EQ(PerlOrder(dir / "dates.mdx", "DBORN"), RecordOrder(want));
    }
    EXPECT_EQ(IndexFaults(table), "");
}
