// The production index through the table component: AddIndex and IndexDefs.Update on real
// tables, the order of every tag against a model, the limits, sole use, the pack's rebuild,
// the sample files of other programs, and files we write read back by independent readers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>

#include "engine/EngineErrors.h"
#include "engine/TTable.h"
#include "engine/expr/Expr.h"
#include "engine/format/MdxFormat.h"
#include "engine/index/MdxBuild.h"
#include "engine/index/MdxFile.h"
#include "engine/index/MdxTable.h"
#include "engine/table/DbfFile.h"
#include "engine/table/TableFiles.h"
#include "platform/Files.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/engine/IndexTestSupport.h"
#include "tests/support/FailingEnv.h"
#include "tests/support/TestFolders.h"

using namespace ari::engine;
using namespace ari::test;
using ari::FileExists;

namespace {

std::vector<FieldDef> PeopleFields() {
    return {{"NAME", 'C', 20, 0, 0},
            {"AMOUNT", 'N', 10, 2, 0},
            {"BORN", 'D', 8, 0, 0},
            {"OK", 'L', 1, 0, 0}};
}

// Character, numeric (negative, zero, fractions, blank) and date (and empty date) values with
// duplicates; every fifth record deleted.
std::vector<Row> PeopleRows(int n, uint32_t seed = 1) {
    std::mt19937 rng(seed);
    const char* names[] = {"smith",  "Jones", "ALVAREZ", "o'brien", "Zhang",
                           "  lead", "jones", "Ab",      ""};
    const char* amounts[] = {"-16", "0",       "0.05", "-0.05", "123.45", "-123.45",
                             "100", "1023495", "",     "9.99",  "-1"};
    std::vector<Row> rows;
    for (int i = 0; i < n; ++i) {
        Row r;
        std::string name = names[rng() % 9];
        if (!name.empty() && rng() % 2)
            name += std::to_string(rng() % 50);
        char date[16] = "        ";
        if (rng() % 7)
            std::snprintf(date, sizeof date, "%04u%02u%02u", unsigned(1900 + rng() % 200),
                          unsigned(1 + rng() % 12), unsigned(1 + rng() % 28));
        r.values = {name, amounts[rng() % 11], date, rng() % 2 ? "T" : "F"};
        r.deleted = i % 5 == 4;
        rows.push_back(std::move(r));
    }
    return rows;
}

TTable& Bind(TTable& t, const TempFolder& dir, const std::string& table) {
    t.SetDatabaseName(dir.Path());
    t.SetTableName(table);
    return t;
}

uint8_t FileByte(const std::string& path, size_t offset) {
    const std::string b = ReadFileBytes(path);
    return offset < b.size() ? static_cast<uint8_t>(b[offset]) : 0;
}

bool NoTemporaryLeft(const std::string& folder) {
    for (const auto& n : FileNamesIn(folder)) {
        if (IsEngineTemporaryName(n))
            return false;
    }
    return true;
}

struct TagCase {
    const char* name;
    const char* expression;
};
const TagCase kPeopleTags[] = {
    {"NAME", "NAME"}, {"UNAME", "UPPER(NAME)"},        {"AMOUNT", "AMOUNT"},
    {"BORN", "BORN"}, {"BORNNAME", "DTOS(BORN)+NAME"}, {"MIXED", "STR(AMOUNT,10,2)+LEFT(NAME,5)"},
};

}  // namespace

TEST(AddIndex, TagsOfEveryKeyTypeFollowTheModelOrderAndPassTheCheck) {
    TempFolder dir;
    MakeTable(dir / "People.DBF", PeopleFields(), PeopleRows(700), 0x57);
    TTable t("Table2");
    Bind(t, dir, "People.DBF");
    for (const auto& c : kPeopleTags)
        t.AddIndex(c.name, c.expression, ixExpression);

    // The engine names the new index file after the table, with a lower-case extension, and
    // marks the table header; the index carries the table's language driver.
    ASSERT_TRUE(FileExists(dir / "People.mdx"));
    EXPECT_EQ(FileByte(dir / "People.DBF", 28), 1);
    EXPECT_EQ(FileByte(dir / "People.mdx", mdx::kLanguage), 0x57);
    EXPECT_TRUE(NoTemporaryLeft(dir.Path()));

    for (const auto& c : kPeopleTags) {
        EXPECT_EQ(WalkTag(dir / "People.DBF", c.name), ModelOrder(dir / "People.DBF", c.expression))
            << c.name;
    }
    EXPECT_EQ(IndexFaults(dir / "People.DBF"), "");

    t.SetExclusive(true);
    t.IndexDefs().Update();
    EXPECT_FALSE(t.Active());
    ASSERT_EQ(t.IndexDefs().Count(), 6);
    for (int i = 0; i < 6; ++i) {
        const TIndexDef& d = t.IndexDefs()[i];
        EXPECT_EQ(d.Name, kPeopleTags[i].name);
        EXPECT_EQ(d.FieldExpression, kPeopleTags[i].expression);
        const bool plainField =
            std::string(kPeopleTags[i].expression).find('(') == std::string::npos &&
            std::string(kPeopleTags[i].expression).find('+') == std::string::npos;
        EXPECT_EQ((d.Options & ixExpression) != 0, !plainField) << d.Name;
        EXPECT_EQ(d.Options & static_cast<TIndexOptions>(TIndexOption::ixUnique), 0);
        EXPECT_EQ(d.FilterExpression, "");
    }
}

TEST(AddIndex, ExistingIndexFileIsFoundWhateverItsCaseAndKeepsItsTags) {
    TempFolder dir;
    MakeTable(dir / "ORDERS.DBF", PeopleFields(), PeopleRows(50));
    TTable t("Table2");
    Bind(t, dir, "ORDERS.DBF");
    t.AddIndex("NAME", "NAME", ixExpression);
    ASSERT_TRUE(FileExists(dir / "ORDERS.mdx"));
    std::filesystem::rename(dir / "ORDERS.mdx", dir / "ORDERS.MDX");
    const auto before = WalkTag(dir / "ORDERS.DBF", "NAME");
    t.AddIndex("amount", "AMOUNT", ixExpression);
    EXPECT_FALSE(FileExists(dir / "ORDERS.mdx"));
    ASSERT_TRUE(FileExists(dir / "ORDERS.MDX"));
    EXPECT_EQ(WalkTag(dir / "ORDERS.DBF", "NAME"), before);
    EXPECT_EQ(WalkTag(dir / "ORDERS.DBF", "AMOUNT"), ModelOrder(dir / "ORDERS.DBF", "AMOUNT"));
    EXPECT_EQ(IndexFaults(dir / "ORDERS.DBF"), "");
}

TEST(AddIndex, AnEmptyTableGetsAnEmptySoundTag) {
    TempFolder dir;
    MakeTable(dir / "e.dbf", PeopleFields(), {});
    TTable t("Table2");
    Bind(t, dir, "e.dbf").AddIndex("NAME", "NAME", ixExpression);
    EXPECT_TRUE(WalkTag(dir / "e.dbf", "NAME").empty());
    EXPECT_EQ(IndexFaults(dir / "e.dbf"), "");
}

TEST(AddIndex, LimitsAndBadDefinitionsFailClearlyAndLeaveTheIndexAsItWas) {
    TempFolder dir;
    const std::vector<FieldDef> fields = {
        {"A", 'C', 60, 0, 0}, {"B", 'C', 60, 0, 0}, {"OK", 'L', 1, 0, 0}};
    MakeTable(dir / "lim.dbf", fields, {{{"x", "y", "T"}}, {{"p", "q", "F"}}});
    TTable t("Table2");
    Bind(t, dir, "lim.dbf");
    for (int i = 1; i <= 46; ++i)
        t.AddIndex("T" + std::to_string(i), i % 2 ? "A" : "B", ixExpression);
    const std::string before = ReadFileBytes(dir / "lim.mdx");
    const std::string tooLong = std::string(110, '(') + "A" + std::string(110, ')');  // 221
    struct Case {
        const char* name;
        const char* expression;
        const char* fragment;
    } cases[] = {
        {"T7", "A", "already has a tag named T7"},
        {"t7", "A", "already has a tag named T7"},
        {"LONG", "A+B", "longer than 100 bytes"},
        {"LONGTEXT", tooLong.c_str(), "longer than 220 characters"},
        {"LOGIC", "OK", "logical expression cannot be an index key"},
        {"COND", "A = B", "logical expression cannot be an index key"},
        {"MISSING", "UPPER(C)", "unknown field C at position 7"},
        {"SYNTAX", "A+", "unexpected end of expression"},
        {"LIST", "A;B", "unexpected character ';'"},
        {"BAD NAME", "A", "Invalid tag name"},
        {"ELEVENCHARS", "A", "Invalid tag name"},
    };
    for (const auto& c : cases) {
        try {
            t.AddIndex(c.name, c.expression, ixExpression);
            ADD_FAILURE() << "no error for " << c.name;
        } catch (const EDBEngineError& e) {
            EXPECT_NE(e.Message().find(c.fragment), std::string::npos)
                << c.name << ": " << e.Message();
        }
        EXPECT_EQ(ReadFileBytes(dir / "lim.mdx"), before) << c.name;
        EXPECT_TRUE(NoTemporaryLeft(dir.Path())) << c.name;
    }
    t.AddIndex("T47", "A", ixExpression);
    try {
        t.AddIndex("T48", "A", ixExpression);
        ADD_FAILURE() << "a 48th tag was accepted";
    } catch (const EDBEngineError& e) {
        EXPECT_NE(e.Message().find("47 tags"), std::string::npos) << e.Message();
    }
    EXPECT_EQ(IndexFaults(dir / "lim.dbf"), "");
}

TEST(AddIndex, FailsWhileAnotherProcessUsesTheTable) {
    TempFolder dir;
    MakeTable(dir / "busy.dbf", PeopleFields(), PeopleRows(10));
    int ready[2], release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int code = 0;
        try {
            auto held = DbfFile::Open(dir / "busy.dbf", ShareMode::Shared);
            char c = 1;
            if (write(ready[1], &c, 1) != 1)
                code = 3;
            if (read(release[0], &c, 1) != 1)
                code = 4;
        } catch (...) {
            code = 2;
        }
        _exit(code);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    TTable t("Table2");
    Bind(t, dir, "busy.dbf");
    EXPECT_THROW(t.AddIndex("NAME", "NAME", ixExpression), EDBEngineError);
    EXPECT_FALSE(FileExists(dir / "busy.mdx"));
    EXPECT_EQ(FileByte(dir / "busy.dbf", 28), 0);
    ASSERT_EQ(write(release[1], &c, 1), 1);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    t.AddIndex("NAME", "NAME", ixExpression);  // free again
    EXPECT_TRUE(FileExists(dir / "busy.mdx"));
}

TEST(IndexDefs, ATableWithoutProductionIndexListsNothing) {
    TempFolder dir;
    MakeTable(dir / "plain.dbf", PeopleFields(), PeopleRows(3));
    TTable t("Table1");
    Bind(t, dir, "plain.dbf");
    t.SetExclusive(true);
    t.IndexDefs().Update();
    EXPECT_EQ(t.IndexDefs().Count(), 0);
    EXPECT_FALSE(t.Active());
}

// One rule decides whether a tag is keyed on a single field: the expression, the header byte
// the writer sets for it, and the listing of IndexDefs all agree. The definitions go straight
// to the writer, as the pack's rebuild passes them, so blanks around a name stay in the text.
TEST(IndexDefs, TheHeaderByteAndTheListingAgreeOnSingleFieldTags) {
    struct Case {
        const char* expression;
        const char* field;  // the field listed, "" for an expression tag
    };
    const Case cases[] = {
        {"NAME", "NAME"}, {" NAME ", "NAME"},  {"\tname", "NAME"}, {"AMOUNT", "AMOUNT"},
        {"(NAME)", ""},   {"UPPER(NAME)", ""}, {"NAME+NAME", ""},  {"alias->NAME", ""},
        {"BORN", "BORN"}, {"DTOS(BORN)", ""},  {"-AMOUNT", ""},    {"name ", "NAME"},
    };
    TempFolder dir;
    const std::string table = MakeTable(dir / "one.dbf", PeopleFields(), PeopleRows(30));
    std::vector<IndexTagDef> defs;
    for (const auto& c : cases) {
        defs.push_back({"T" + std::to_string(defs.size()), c.expression, "", false, false});
        EXPECT_EQ(Expression::Parse(c.expression, PeopleFields()).SingleField(), c.field)
            << c.expression;
    }
    {
        auto held = DbfFile::Open(table, ShareMode::Exclusive);
        const std::string mdx = dir / "one.mdx";
        const int fd = ::open(mdx.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        WriteIndexFile(fd, mdx, *held, "one", 2, held->LanguageDriver(), defs);
        ::close(fd);
        held->SetProductionIndexFlag(1);
    }
    ASSERT_EQ(IndexFaults(table), "");

    TTable t("Table1");
    Bind(t, dir, "one.dbf");
    t.SetExclusive(true);
    t.IndexDefs().Update();
    ASSERT_EQ(t.IndexDefs().Count(), static_cast<int>(std::size(cases)));
    const MdxFile index(dir / "one.mdx");
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        const bool single = *c.field != 0;
        const TIndexDef& d = t.IndexDefs()[static_cast<int>(i)];
        EXPECT_EQ(d.Fields, c.field) << c.expression;
        EXPECT_EQ((d.Options & ixExpression) == 0, single) << c.expression;
        EXPECT_EQ(d.Expression, single ? "" : index.Tags()[i].expression) << c.expression;
        EXPECT_EQ(FileByte(dir / "one.mdx",
                           index.Tags()[i].headerPage * mdx::kPageSize + mdx::kTagPlainField),
                  single ? 1 : 0)
            << c.expression;
    }
}

// A table of `count` records with a character key K of `width` (a number below count / 2 and a
// run of up to `maxFill` - 1 `fill` characters) and a signed number N, every `deletedEvery`th
// record deleted.
void MakeRandomKeyTable(const std::string& path, uint16_t width, unsigned seed, int count,
                        char fill, unsigned maxFill, int deletedEvery) {
    const std::vector<FieldDef> fields = {{"K", 'C', width, 0, 0}, {"N", 'N', 12, 3, 0}};
    std::vector<Row> rows;
    std::mt19937 rng(seed);
    for (int i = 0; i < count; ++i) {
        const std::string k = std::to_string(rng() % static_cast<unsigned>(count / 2)) +
                              std::string(rng() % maxFill, fill);
        char n[32];
        std::snprintf(n, sizeof n, "%.3f", (static_cast<int>(rng() % 200001) - 100000) / 1000.0);
        rows.push_back(Row{{k, n}, i % deletedEvery == 0});
    }
    MakeTable(path, fields, rows);
}

TEST(IndexBuild, ManyLevelsAndSpilledSortsGiveTheModelOrder) {
    TempFolder dir;
    MakeRandomKeyTable(dir / "deep.dbf", 100, 7, 6000, 'x', 60, 9);
    const size_t saved = IndexSortMemoryBudget();
    SetIndexSortMemoryBudget(32 << 10);  // forces the sort to spill to temporary runs
    TTable t("Table2");
    Bind(t, dir, "deep.dbf");
    t.AddIndex("K", "K", ixExpression);
    t.AddIndex("N", "N", ixExpression);
    SetIndexSortMemoryBudget(saved);
    EXPECT_GE(TreeLevels(dir / "deep.mdx", "K"), 4);
    EXPECT_EQ(WalkTag(dir / "deep.dbf", "K"), ModelOrder(dir / "deep.dbf", "K"));
    EXPECT_EQ(WalkTag(dir / "deep.dbf", "N"), ModelOrder(dir / "deep.dbf", "N"));
    EXPECT_EQ(IndexFaults(dir / "deep.dbf"), "");
    EXPECT_TRUE(NoTemporaryLeft(dir.Path()));
}

// Tags built in one call are sorted side by side: their spilled runs, beside the same table at
// the same time, must neither meet nor outlive the build.
TEST(IndexBuild, TagsSortedTogetherSpillApartAndGiveTheModelOrder) {
    TempFolder dir;
    MakeRandomKeyTable(dir / "side.dbf", 60, 11, 8000, 'y', 40, 7);
    const size_t saved = IndexSortMemoryBudget();
    SetIndexSortMemoryBudget(32 << 10);  // every tag's sort spills to several runs
    TTable t("Table2");
    Bind(t, dir, "side.dbf");
    const auto descending = static_cast<TIndexOptions>(TIndexOption::ixDescending);
    t.AddIndexes({{"K", "K", ixExpression, ""},
                  {"N", "N", ixExpression, ""},
                  {"KD", "K", ixExpression | descending, ""},
                  {"NK", "STR(N,12,3)+K", ixExpression, ""}});
    SetIndexSortMemoryBudget(saved);
    const std::string table = dir / "side.dbf";
    EXPECT_EQ(WalkTag(table, "K"), ModelOrder(table, "K"));
    EXPECT_EQ(WalkTag(table, "N"), ModelOrder(table, "N"));
    EXPECT_EQ(WalkTag(table, "KD"), ModelOrder(table, "K", "", false, true));
    EXPECT_EQ(WalkTag(table, "NK"), ModelOrder(table, "STR(N,12,3)+K"));
    EXPECT_EQ(IndexFaults(dir / "side.dbf"), "");
    EXPECT_TRUE(NoTemporaryLeft(dir.Path()));
}

TEST(IndexBuild, ExternalSortEqualsStdSort) {
    TempFolder dir;
    std::mt19937 rng(3);
    const size_t entry = 13;
    std::vector<std::string> all;
    KeySorter sorter(entry, 4096, dir / "x.dbf");
    for (int i = 0; i < 50000; ++i) {
        std::string e(entry, '\0');
        for (auto& ch : e)
            ch = static_cast<char>(rng() % 4);  // many equal prefixes
        all.push_back(e);
        sorter.Add(reinterpret_cast<const uint8_t*>(e.data()));
    }
    sorter.Finish();
    EXPECT_GT(sorter.RunCount(), 1u);
    std::sort(all.begin(), all.end());
    size_t i = 0;
    while (const uint8_t* e = sorter.Next()) {
        ASSERT_LT(i, all.size());
        ASSERT_EQ(std::string(reinterpret_cast<const char*>(e), entry), all[i]) << i;
        ++i;
    }
    EXPECT_EQ(i, all.size());
}

// The in-memory sort against std::sort, over entry sizes from one byte to the longest entry and
// over inputs that stress a byte-wise sort: bytes all alike, few distinct values, shared
// prefixes that differ only at the end, input already in order or reversed, sizes on either side
// of where small groups switch to comparison.
TEST(IndexBuild, InMemorySortEqualsStdSort) {
    enum class Shape { Random, FewValues, AllEqual, SharedPrefix, Ascending, Descending };
    const Shape shapes[] = {Shape::Random,       Shape::FewValues, Shape::AllEqual,
                            Shape::SharedPrefix, Shape::Ascending, Shape::Descending};
    TempFolder dir;
    std::mt19937 rng(11);
    for (const size_t entry : {1, 4, 8, 12, 13, 16, 21, 40, 104}) {
        for (const Shape shape : shapes) {
            for (const int n : {0, 1, 2, 47, 48, 49, 300, 20000}) {
                std::vector<std::string> all;
                for (int i = 0; i < n; ++i) {
                    std::string e(entry, '\0');
                    for (size_t k = 0; k < entry; ++k) {
                        switch (shape) {
                            case Shape::Random:
                                e[k] = static_cast<char>(rng());
                                break;
                            case Shape::FewValues:
                                e[k] = static_cast<char>(rng() % 3 == 0 ? 0xFF : 0x41);
                                break;
                            case Shape::AllEqual:
                                e[k] = '\x7F';
                                break;
                            case Shape::SharedPrefix:
                                e[k] = k + 1 < entry ? 'P' : static_cast<char>(rng());
                                break;
                            case Shape::Ascending:
                            case Shape::Descending: {
                                const uint32_t v = shape == Shape::Ascending ? i : n - i;
                                const size_t from_end = entry - 1 - k;
                                e[k] = from_end < 4 ? static_cast<char>(v >> (8 * from_end)) : 0;
                                break;
                            }
                        }
                    }
                    all.push_back(e);
                }
                KeySorter sorter(entry, size_t{64} << 20, dir / "x.dbf");
                for (const std::string& e : all)
                    sorter.Add(reinterpret_cast<const uint8_t*>(e.data()));
                sorter.Finish();
                ASSERT_EQ(sorter.RunCount(), 0u);
                std::sort(all.begin(), all.end());
                size_t i = 0;
                while (const uint8_t* e = sorter.Next()) {
                    ASSERT_LT(i, all.size());
                    ASSERT_EQ(std::string(reinterpret_cast<const char*>(e), entry), all[i])
                        << "entry " << entry << ", shape " << static_cast<int>(shape) << ", n " << n
                        << ", at " << i;
                    ++i;
                }
                EXPECT_EQ(i, all.size());
            }
        }
    }
}

// Random tables and tag sets against the model.
TEST(IndexModel, RandomTablesMatchKeysComputedFromTheRecords) {
    const char* expressions[] = {"C1",          "UPPER(C1)",       "N1",          "D1",
                                 "DTOS(D1)+C2", "C2+C1",           "STR(N1,8,1)", "SUBSTR(C1,2,3)",
                                 "TRIM(C2)+C1", "IIF(N1<0,C1,C2)", "D1+N1*0"};
    for (uint32_t seed = 1; seed <= 6; ++seed) {
        std::mt19937 rng(seed);
        TempFolder dir;
        const uint16_t w1 = static_cast<uint16_t>(1 + rng() % 12),
                       w2 = static_cast<uint16_t>(1 + rng() % 8);
        const std::vector<FieldDef> fields = {{"C1", 'C', w1, 0, 0},
                                              {"C2", 'C', w2, 0, 0},
                                              {"N1", 'N', 9, 2, 0},
                                              {"D1", 'D', 8, 0, 0}};
        std::vector<Row> rows;
        const int n = static_cast<int>(rng() % 1500);
        for (int i = 0; i < n; ++i) {
            auto text = [&](uint16_t w) {
                std::string s;
                for (uint16_t k = 0; k < w; ++k)
                    s += static_cast<char>(rng() % 3 ? 'a' + rng() % 4 : 'A' + rng() % 3);
                return s.substr(0, rng() % (w + 1));
            };
            char num[32] = "";
            if (rng() % 8)
                std::snprintf(num, sizeof num, "%.2f",
                              (static_cast<int>(rng() % 20001) - 10000) / 100.0);
            char date[16] = "";
            if (rng() % 8)
                std::snprintf(date, sizeof date, "%04u%02u%02u", unsigned(1950 + rng() % 80),
                              unsigned(1 + rng() % 12), unsigned(1 + rng() % 28));
            rows.push_back(Row{{text(w1), text(w2), num, date}, rng() % 6 == 0});
        }
        MakeTable(dir / "rnd.dbf", fields, rows);
        TTable t("Table2");
        Bind(t, dir, "rnd.dbf");
        std::vector<std::string> used;
        for (int k = 0; k < 4; ++k) {
            const std::string e = expressions[rng() % std::size(expressions)];
            const std::string name = "T" + std::to_string(k);
            t.AddIndex(name, e, ixExpression);
            used.push_back(e);
        }
        for (int k = 0; k < 4; ++k) {
            EXPECT_EQ(WalkTag(dir / "rnd.dbf", "T" + std::to_string(k)),
                      ModelOrder(dir / "rnd.dbf", used[size_t(k)]))
                << "seed " << seed << " " << used[size_t(k)];
        }
        EXPECT_EQ(IndexFaults(dir / "rnd.dbf"), "") << "seed " << seed;
    }
}

// A file operation that fails the Nth time: every failure while a tag is added leaves the
// table and its index file as they were, with no temporary file behind.
using FailNth = ari::test::FailingEnv;

TEST(AddIndex, AFailedWriteFsyncOrRenameLeavesTheOldFilesWhole) {
    TempFolder dir;
    MakeTable(dir / "safe.dbf", PeopleFields(), PeopleRows(2000));
    TTable t("Table2");
    Bind(t, dir, "safe.dbf");
    // Counting run: how many writes adding a tag to an existing index takes.
    t.AddIndex("NAME", "NAME", ixExpression);
    const std::string dbf = ReadFileBytes(dir / "safe.dbf");
    const std::string mdx = ReadFileBytes(dir / "safe.mdx");
    for (FailNth::Kind kind : {FailNth::kWrite, FailNth::kFsync, FailNth::kRename}) {
        for (int n = 1;; ++n) {
            FailNth ops(kind, n);
            bool failed = false;
            try {
                const ari::test::InstalledEnv installed(&ops);
                t.AddIndex("BORN", "DTOS(BORN)+NAME", ixExpression);
            } catch (const EDBEngineError&) {
                failed = true;
            }
            if (!failed) {
                // Every failure point passed: the last run succeeded; undo it for the next kind.
                EXPECT_GT(n, 1);
                WriteFileBytes(dir / "safe.mdx", mdx);
                break;
            }
            EXPECT_EQ(ReadFileBytes(dir / "safe.dbf"), dbf) << kind << " " << n;
            EXPECT_EQ(ReadFileBytes(dir / "safe.mdx"), mdx) << kind << " " << n;
            EXPECT_TRUE(NoTemporaryLeft(dir.Path())) << kind << " " << n;
            ASSERT_LT(n, 500);
        }
    }
    // A first index that cannot be written leaves no index file and the header flag clear.
    TempFolder fresh;
    MakeTable(fresh / "new.dbf", PeopleFields(), PeopleRows(100));
    FailNth ops(FailNth::kRename, 1);
    TTable t2("Table2");
    {
        const ari::test::InstalledEnv installed(&ops);
        EXPECT_THROW(Bind(t2, fresh, "new.dbf").AddIndex("NAME", "NAME", ixExpression),
                     EDBEngineError);
    }
    EXPECT_FALSE(FileExists(fresh / "new.mdx"));
    EXPECT_EQ(FileByte(fresh / "new.dbf", 28), 0);
    EXPECT_TRUE(NoTemporaryLeft(fresh.Path()));
}

// A list of tags added at once gives the files that one AddIndex call per tag gives, byte for
// byte, also when a tag of the list is refused: the tags before it are in place, the error is
// the same, and the caller was told of each tag up to the refused one.
TEST(AddIndexes, GiveTheFilesOfOneAddIndexCallPerTag) {
    using Options = TIndexOptions;
    const Options unique = static_cast<Options>(TIndexOption::ixUnique);
    const Options descending = static_cast<Options>(TIndexOption::ixDescending);
    const std::vector<TTable::NewIndex> tags = {
        {"NAME", "NAME", ixExpression, ""},
        {"uname", " UPPER(NAME) ", static_cast<Options>(ixExpression | unique), ""},
        {"AMOUNT", "AMOUNT", static_cast<Options>(ixExpression | descending), ""},
        {"BORNOK", "DTOS(BORN)+NAME", ixExpression, "OK"},
    };
    const auto with = [&](size_t at, TTable::NewIndex bad) {
        std::vector<TTable::NewIndex> list = tags;
        list.insert(list.begin() + static_cast<std::ptrdiff_t>(at), std::move(bad));
        return list;
    };
    struct Case {
        const char* what;
        bool existingIndex;  // the table has an index with tag OLD before the list is added
        std::vector<TTable::NewIndex> list;
    };
    const Case cases[] = {
        {"a new index", false, tags},
        {"onto an index", true, tags},
        {"a bad name third", false, with(2, {"BAD NAME", "NAME", ixExpression, ""})},
        {"a name taken earlier in the list", false, with(3, {"Name", "BORN", ixExpression, ""})},
        {"a name the index holds", true, with(1, {"old", "NAME", ixExpression, ""})},
        {"a bad key first", true, with(0, {"MISSING", "UPPER(C)", ixExpression, ""})},
        {"a FOR that is not logical", false, with(4, {"FORNUM", "NAME", ixExpression, "AMOUNT"})},
    };
    // The messages name the file in its folder, which differs between the two.
    const auto WithoutFolder = [](std::string message, const std::string& folder) {
        for (size_t at = message.find(folder); at != std::string::npos; at = message.find(folder))
            message.replace(at, folder.size(), "<folder>");
        return message;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempFolder one, all;
        for (const TempFolder* dir : {&one, &all}) {
            MakeTable(*dir / "p.dbf", PeopleFields(), PeopleRows(900), 0x57);
            if (c.existingIndex) {
                TTable t("Table2");
                Bind(t, *dir, "p.dbf").AddIndex("OLD", "BORN", ixExpression);
            }
        }
        std::string oneError;
        size_t calls = 0;
        TTable byOne("Table2");
        Bind(byOne, one, "p.dbf");
        try {
            for (const auto& t : c.list) {
                ++calls;
                byOne.AddIndex(t.name, t.fields, t.options, std::string(), t.forCondition);
            }
        } catch (const EDBEngineError& e) {
            oneError = WithoutFolder(e.Message(), one.Path());
        }

        std::string allError;
        std::vector<size_t> told;
        TTable byAll("Table2");
        Bind(byAll, all, "p.dbf");
        try {
            byAll.AddIndexes(c.list, [&](size_t i) { told.push_back(i); });
        } catch (const EDBEngineError& e) {
            allError = WithoutFolder(e.Message(), all.Path());
        }
        EXPECT_EQ(oneError.empty(), c.list.size() == tags.size());
        EXPECT_EQ(allError, oneError);
        ASSERT_EQ(told.size(), calls);
        for (size_t i = 0; i < told.size(); ++i)
            EXPECT_EQ(told[i], i);
        EXPECT_EQ(ReadFileBytes(all / "p.dbf"), ReadFileBytes(one / "p.dbf"));
        EXPECT_EQ(FileExists(all / "p.mdx"), FileExists(one / "p.mdx"));
        if (FileExists(one / "p.mdx")) {
            EXPECT_EQ(ReadFileBytes(all / "p.mdx"), ReadFileBytes(one / "p.mdx"));
            EXPECT_EQ(IndexFaults(all / "p.dbf"), "");
        }
        EXPECT_TRUE(NoTemporaryLeft(all.Path()));
        // Open for sole use, the list goes in under the table's own hold.
        TempFolder held;
        MakeTable(held / "p.dbf", PeopleFields(), PeopleRows(900), 0x57);
        if (c.existingIndex) {
            TTable t("Table2");
            Bind(t, held, "p.dbf").AddIndex("OLD", "BORN", ixExpression);
        }
        TTable open("Table2");
        Bind(open, held, "p.dbf");
        open.SetExclusive(true);
        open.Open();
        try {
            open.AddIndexes(c.list);
        } catch (const EDBEngineError&) {
        }
        open.Close();
        EXPECT_EQ(ReadFileBytes(held / "p.dbf"), ReadFileBytes(one / "p.dbf"));
        if (FileExists(one / "p.mdx")) {
            EXPECT_EQ(ReadFileBytes(held / "p.mdx"), ReadFileBytes(one / "p.mdx"));
        }
    }
}

// Every failed write, flush or rename while a list of tags is built leaves the table and its
// index as they were, with no temporary file behind.
TEST(AddIndexes, AFailedWriteFsyncOrRenameLeavesTheOldFilesWhole) {
    TempFolder dir;
    MakeTable(dir / "safe.dbf", PeopleFields(), PeopleRows(2000));
    TTable t("Table2");
    Bind(t, dir, "safe.dbf");
    t.AddIndex("NAME", "NAME", ixExpression);
    const std::string dbf = ReadFileBytes(dir / "safe.dbf");
    const std::string mdx = ReadFileBytes(dir / "safe.mdx");
    const std::vector<TTable::NewIndex> list = {{"BORN", "DTOS(BORN)+NAME", ixExpression, ""},
                                                {"AMOUNT", "AMOUNT", ixExpression, ""},
                                                {"UNAME", "UPPER(NAME)", ixExpression, "OK"}};
    for (FailNth::Kind kind : {FailNth::kWrite, FailNth::kFsync, FailNth::kRename}) {
        for (int n = 1;; ++n) {
            FailNth ops(kind, n);
            bool failed = false;
            try {
                const ari::test::InstalledEnv installed(&ops);
                t.AddIndexes(list);
            } catch (const EDBEngineError&) {
                failed = true;
            }
            if (!failed) {
                EXPECT_GT(n, 1);
                EXPECT_EQ(IndexFaults(dir / "safe.dbf"), "");
                WriteFileBytes(dir / "safe.mdx", mdx);
                break;
            }
            EXPECT_EQ(ReadFileBytes(dir / "safe.dbf"), dbf) << kind << " " << n;
            EXPECT_EQ(ReadFileBytes(dir / "safe.mdx"), mdx) << kind << " " << n;
            EXPECT_TRUE(NoTemporaryLeft(dir.Path())) << kind << " " << n;
            ASSERT_LT(n, 500);
        }
    }
}

TEST(AddIndex, CharacterKeysFollowTheLanguageDriversOrderOrAreRefused) {
    TempFolder dir;
    std::vector<Row> rows;
    for (const char* n : {"b", "A", "a", "B", "ab", "Ab", "1", " z", "Z"})
        rows.push_back(Row{{n, "1", "", "T"}});
    MakeTable(dir / "we.dbf", PeopleFields(), rows, 0x58);
    TTable t("Table2");
    Bind(t, dir, "we.dbf").AddIndex("NAME", "NAME", ixExpression);
    const auto order = WalkTag(dir / "we.dbf", "NAME");
    EXPECT_EQ(order, ModelOrder(dir / "we.dbf", "NAME"));
    // Weights per character, lower case just before upper case: not the byte order.
    std::vector<std::string> names;
    for (const auto& e : order)
        names.push_back(e.key.substr(0, e.key.find_last_not_of(' ') + 1));
    EXPECT_EQ(names, (std::vector<std::string>{" z", "1", "a", "ab", "A", "Ab", "b", "B", "Z"}));
    EXPECT_EQ(IndexFaults(dir / "we.dbf"), "");

    // A driver whose order the engine does not know: numeric keys are fine, character keys
    // are refused rather than written in an order the readers would not expect.
    MakeTable(dir / "cp850.dbf", PeopleFields(), rows, 0x37);
    TTable t2("Table2");
    Bind(t2, dir, "cp850.dbf").AddIndex("AMOUNT", "AMOUNT", ixExpression);
    try {
        t2.AddIndex("NAME", "UPPER(NAME)", ixExpression);
        ADD_FAILURE() << "character tag under driver 0x37 accepted";
    } catch (const EDBEngineError& e) {
        EXPECT_NE(e.Message().find("language driver 0x37"), std::string::npos) << e.Message();
    }
    EXPECT_EQ(IndexFaults(dir / "cp850.dbf"), "");
}
