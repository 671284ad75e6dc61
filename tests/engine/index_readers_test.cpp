// Index files of other programs read by our engine, and index files of our engine read by
// programs no one here wrote (Perl XBase::Index, Free Pascal TDbf); the pack's rebuild.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "engine/EngineErrors.h"
#include "engine/TTable.h"
#include "engine/index/MdxFile.h"
#include "engine/index/MdxTable.h"
#include "engine/table/DbfFile.h"
#include "engine/table/TableFiles.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/engine/IndexTestSupport.h"
#include "tests/support/TestFolders.h"

using namespace ari::engine;
using namespace ari::test;

namespace {

void CopyInto(const std::string& from, const std::string& folder) {
    const std::string to = folder + std::filesystem::path(from).filename().string();
    std::filesystem::copy_file(from, to);
    std::filesystem::permissions(
        to, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

// C, N (negative, zero, fractions, blank) and D (and empty) values, some duplicates, some
// records deleted; 3000 records so that the 100-byte tag has a deep tree.
std::string MakeMixedTable(const TempFolder& dir) {
    const std::vector<FieldDef> fields = {{"NAME", 'C', 24, 0, 0},
                                          {"AMOUNT", 'N', 12, 2, 0},
                                          {"BORN", 'D', 8, 0, 0},
                                          {"WIDE", 'C', 100, 0, 0}};
    std::vector<Row> rows;
    // No positive value below 0.1: TDbf's numeric key comparison orders zero after those (it
    // tests the zero key's bytes in the wrong order), so its walk would disagree with the
    // value order that our tags (and the legacy tools' files) follow.
    const char* amounts[] = {"-16", "0",       "0.5", "-0.05", "123.45", "-123.45",
                             "100", "1023495", "",    "-1",    "7.5"};
    for (int i = 0; i < 3000; ++i) {
        char born[16] = "";
        if (i % 13)
            std::snprintf(born, sizeof born, "%04d%02d%02d", 1890 + (i * 7) % 150, 1 + i % 12,
                          1 + (i * 3) % 28);
        std::string name = (i % 3 ? "name" : "Name") + std::to_string((i * 37) % 1000);
        rows.push_back(
            Row{{name, amounts[i % 11], born, std::to_string((i * 7919) % 2000)}, i % 10 == 3});
    }
    return MakeTable(dir / "mixed.dbf", fields, rows);
}

struct Def {
    const char* name;
    const char* expression;
    TIndexOptions options;
};
const Def kMixedTags[] = {
    {"NAME", "NAME", ixExpression},
    {"UNAME", "UPPER(NAME)", ixExpression},
    {"AMOUNT", "AMOUNT", ixExpression},
    {"BORN", "BORN", ixExpression},
    {"BORNNAME", "DTOS(BORN)+NAME", ixExpression},
    {"WIDE", "WIDE", ixExpression},
    {"UAMOUNT", "AMOUNT", ixExpression | static_cast<TIndexOptions>(TIndexOption::ixUnique)},
    {"DBORN", "BORN", ixExpression | static_cast<TIndexOptions>(TIndexOption::ixDescending)},
    {"DNAME", "UPPER(NAME)", ixExpression | static_cast<TIndexOptions>(TIndexOption::ixDescending)},
};

std::string BuildMixed(const TempFolder& dir) {
    const std::string table = MakeMixedTable(dir);
    TTable t("Table2");
    t.SetDatabaseName(dir.Path());
    t.SetTableName("mixed.dbf");
    for (const auto& d : kMixedTags)
        t.AddIndex(d.name, d.expression, d.options);
    return table;
}

}  // namespace

TEST(IndexSamples, ListedCheckedAndRebuiltInTheSameOrder) {
    const std::string samples = SamplesDir();
    if (samples.empty())
        GTEST_SKIP() << "the samples folder is not there";
    struct Sample {
        const char* table;
        std::vector<const char*> companions;
        std::vector<std::pair<std::string, std::string>> tags;  // name, FieldExpression
    } cases[] = {
        {"disco.DBF", {"disco.mdx"}, {{"AUTHOR", "AUTHOR"}}},
        {"TDBF_DEMO.DBF", {"tdbf_demo.mdx", "TDBF_DEMO.dbt"}, {{"ID", "ID"}}},
    };
    for (const auto& s : cases) {
        TempFolder orig, fresh;
        CopyInto(samples + "mdx/" + s.table, orig.Path());
        CopyInto(samples + "mdx/" + s.table, fresh.Path());
        for (const char* c : s.companions) {
            CopyInto(samples + "mdx/" + c, orig.Path());
            if (std::string(c).find(".mdx") == std::string::npos)
                CopyInto(samples + "mdx/" + c, fresh.Path());
        }
        TTable t1("Table1");
        t1.SetDatabaseName(orig.Path());
        t1.SetTableName(s.table);
        t1.SetExclusive(true);
        t1.IndexDefs().Update();
        ASSERT_EQ(t1.IndexDefs().Count(), static_cast<int>(s.tags.size())) << s.table;
        EXPECT_EQ(IndexFaults(orig / s.table), "") << s.table;

        TTable t2("Table2");
        t2.SetDatabaseName(fresh.Path());
        t2.SetTableName(s.table);
        for (int i = 0; i < t1.IndexDefs().Count(); ++i) {
            const TIndexDef& d = t1.IndexDefs()[i];
            EXPECT_EQ(d.Name, s.tags[size_t(i)].first);
            EXPECT_EQ(d.FieldExpression, s.tags[size_t(i)].second);
            t2.AddIndex(d.Name, d.FieldExpression, ixExpression);
            EXPECT_EQ(RecordOrder(WalkTag(fresh / s.table, d.Name)),
                      RecordOrder(WalkTag(orig / s.table, d.Name)))
                << s.table << " " << d.Name;
        }
        EXPECT_EQ(IndexFaults(fresh / s.table), "") << s.table;
    }
}

TEST(IndexReaders, PerlXBaseIndexListsAndWalksOurTags) {
    if (!PerlIndexReaderAvailable())
        GTEST_SKIP() << "Perl XBase::Index (libdbd-xbase-perl) is not installed";
    TempFolder dir;
    const std::string table = BuildMixed(dir);
    const std::string mdx = dir / "mixed.mdx";
    std::vector<std::string> tags = PerlTags(mdx), want;
    for (const auto& d : kMixedTags)
        want.push_back(d.name);
    std::sort(tags.begin(), tags.end());
    std::sort(want.begin(), want.end());
    EXPECT_EQ(tags, want);
    EXPECT_GE(TreeLevels(mdx, "WIDE"), 3);
    for (const auto& d : kMixedTags) {
        EXPECT_EQ(PerlOrder(mdx, d.name), RecordOrder(WalkTag(table, d.name))) << d.name;
    }
}

TEST(IndexReaders, FreePascalTdbfListsFlagsAndWalksOurTags) {
    if (TdbfProgram().empty())
        GTEST_SKIP() << "fpc was not found at build time; mdxwalk is not built";
    TempFolder dir;
    const std::string table = BuildMixed(dir);
    std::vector<std::string> want;
    for (const auto& d : kMixedTags) {
        const bool unique = d.options & static_cast<TIndexOptions>(TIndexOption::ixUnique);
        const bool desc = d.options & static_cast<TIndexOptions>(TIndexOption::ixDescending);
        want.push_back(std::string("TAG ") + d.name + "|" + d.expression + "|" +
                       (unique ? "1" : "0") + "|" + (desc ? "1" : "0"));
    }
    EXPECT_EQ(TdbfRun(table), want);
    for (const auto& d : kMixedTags) {
        // TDbf compares the date keys of an index file with its numeric (BCD) comparison, so
        // its walk of a date tag loops; the Perl reader walks those.
        if (std::string(d.expression) == "BORN")
            continue;
        std::vector<std::string> lines = TdbfRun(table, d.name);
        std::vector<uint32_t> order;
        for (const auto& l : lines) {
            if (l.rfind("TAG ", 0) != 0)
                order.push_back(static_cast<uint32_t>(std::stoul(l)));
        }
        EXPECT_EQ(order, RecordOrder(WalkTag(table, d.name))) << d.name;
        // And our order is the model's (keys computed from the records, std::sort).
        EXPECT_EQ(WalkTag(table, d.name),
                  ModelOrder(table, d.expression, "",
                             d.options & static_cast<TIndexOptions>(TIndexOption::ixUnique),
                             d.options & static_cast<TIndexOptions>(TIndexOption::ixDescending)))
            << d.name;
    }
}

TEST(IndexPack, RebuildKeepsEveryTagDefinitionAndDropsDeletedRecords) {
    TempFolder dir;
    const std::string table = MakeMixedTable(dir);
    const std::vector<IndexTagDef> defs = {
        {"NAME", "NAME", "", false, false},
        {"LIVE", "UPPER(NAME)", ".NOT. DELETED()", false, false},
        {"POSITIVE", "AMOUNT", "AMOUNT > 0", false, false},
        {"UAMOUNT", "AMOUNT", "", true, false},
        {"DBORN", "DTOS(BORN)+NAME", "", false, true},
    };
    {
        auto held = DbfFile::Open(table, ShareMode::Exclusive);
        const std::string mdx = dir / "mixed.mdx";
        const int fd = ::open(mdx.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        WriteIndexFile(fd, mdx, *held, "mixed", 2, held->LanguageDriver(), defs);
        ::close(fd);
        held->SetProductionIndexFlag(1);
    }
    ASSERT_EQ(IndexFaults(table), "");
    const uint32_t before = DbfFile::OpenHeld(table)->RecordCount();

    TTable t("Table2");
    t.SetDatabaseName(dir.Path());
    t.SetTableName("mixed.dbf");
    t.SetExclusive(true);
    t.Open();
    Check(EnginePack(t.DBHandle(), t.Handle(), nullptr, "DBASE", 1));
    t.Close();

    EXPECT_EQ(DbfFile::OpenHeld(table)->RecordCount(), before - 300);
    const MdxFile index(dir / "mixed.mdx");
    const std::vector<IndexTagDef> after = TagDefinitions(index);
    ASSERT_EQ(after.size(), defs.size());
    for (size_t i = 0; i < defs.size(); ++i) {
        const IndexTagDef& got = after[i];
        EXPECT_EQ(got.name, defs[i].name);
        EXPECT_EQ(got.expression, defs[i].expression);
        EXPECT_EQ(got.forExpression, defs[i].forExpression);
        EXPECT_EQ(got.unique, defs[i].unique);
        EXPECT_EQ(got.descending, defs[i].descending);
        EXPECT_EQ(WalkTag(table, defs[i].name),
                  ModelOrder(table, defs[i].expression, defs[i].forExpression, defs[i].unique,
                             defs[i].descending))
            << defs[i].name;
    }
    EXPECT_EQ(index.Header().blockPages, 2);
    EXPECT_EQ(IndexFaults(table), "");
}

TEST(IndexWriter, RefusesBlocksTooSmallForATagHeader) {
    TempFolder dir;
    const std::string table = MakeMixedTable(dir);
    auto held = DbfFile::Open(table, ShareMode::Exclusive);
    const std::string mdx = dir / "mixed.mdx";
    const int fd = ::open(mdx.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    const std::vector<IndexTagDef> defs = {{"POSITIVE", "AMOUNT", "AMOUNT > 0", false, false}};
    for (const uint16_t pages : {uint16_t{0}, uint16_t{1}, uint16_t{64}}) {
        try {
            WriteIndexFile(fd, mdx, *held, "mixed", pages, held->LanguageDriver(), defs);
            ADD_FAILURE() << pages << " pages were written";
        } catch (const EDBEngineError& e) {
            EXPECT_NE(e.Message().find("a block size of " + std::to_string(pages) +
                                       " pages cannot be written"),
                      std::string::npos)
                << e.Message();
        }
    }
    ::close(fd);
}
