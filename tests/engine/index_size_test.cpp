// The size of an index file known before it is written (IndexBytesOfBuild, IndexFileBytes): it
// must be the size of the file that the engine's own build and the pack's rebuild then write,
// for trees of one to four levels, for every kind of tag (FOR conditions, unique, descending),
// and over the records a pack keeps.
#include <gtest/gtest.h>

#include <filesystem>

#include "engine/TTable.h"
#include "engine/index/MdxFile.h"
#include "engine/index/MdxTable.h"
#include "engine/table/DbfFile.h"
#include "tests/engine/IndexTestSupport.h"
#include "tests/support/TestFolders.h"

using namespace ari::engine;
using namespace ari::test;

namespace {

constexpr TIndexOptions kUnique = ixExpression | static_cast<TIndexOptions>(TIndexOption::ixUnique);
constexpr TIndexOptions kDescending =
    ixExpression | static_cast<TIndexOptions>(TIndexOption::ixDescending);

// The tags of the fixture: a 100-byte key gives nine keys a node in 1024-byte blocks, so a few
// thousand records make a tree of four levels.
const std::vector<TTable::NewIndex> kTags = {
    {"LONG", "NAME", ixExpression, ""},         {"QTY", "QTY", ixExpression, ""},
    {"SOME", "NAME", ixExpression, "QTY > 40"}, {"ONCE", "QTY", kUnique, ""},
    {"DOWN", "UPPER(NAME)", kDescending, ""},   {"FIRST", "NAME", kUnique, "RECNO() < 30"},
};

uint64_t FileSize(const std::string& path) {
    return std::filesystem::file_size(path);
}

uint64_t Forecast(const std::string& table, bool keptOnly, const TempFolder& spill) {
    const auto f = DbfFile::Open(table, ShareMode::Shared);
    const MdxFile index(table.substr(0, table.size() - 4) + ".mdx");
    return IndexBytesOfBuild(*f, index.Header().blockPages, index.Header().language,
                             TagDefinitions(index), keptOnly, spill / "spill.dbf");
}

TEST(IndexSize, ForecastIsTheSizeTheBuildAndThePackWrite) {
    // Without a unique tag the pack writes the new index from the old one's keys.
    const std::vector<TTable::NewIndex> withoutUnique(kTags.begin(), kTags.begin() + 3);
    // Record counts around the node capacities: one leaf, one full leaf, two levels, three, four.
    for (const auto& tags : {kTags, withoutUnique})
        for (const int records : {0, 1, 9, 10, 81, 82, 91, 729, 730, 1500, 7000}) {
            SCOPED_TRACE(std::to_string(records) + " records, " + std::to_string(tags.size()) +
                         " tags");
            TempFolder dir, spill;
            std::vector<Row> rows;
            for (int i = 0; i < records; ++i)
                rows.push_back(Row{
                    {"name" + std::to_string((i * 7919) % (records + 1)), std::to_string(i % 97)},
                    i % 4 == 1});
            const std::string table = dir / "T.DBF";
            MakeTable(table, {{"NAME", 'C', 100, 0, 0}, {"QTY", 'N', 5, 0, 0}}, rows);
            TTable t("Table2");
            t.SetDatabaseName(dir.Path());
            t.SetTableName("T.DBF");
            t.AddIndexes(tags);
            const std::string mdx = dir / "T.mdx";
            EXPECT_EQ(Forecast(table, false, spill), FileSize(mdx));

            const uint64_t afterPack = Forecast(table, true, spill);
            t.SetExclusive(true);
            t.Open();
            Check(EnginePack(t.DBHandle(), t.Handle(), nullptr, "DBASE", -1));
            t.Close();
            EXPECT_EQ(afterPack, FileSize(mdx));
            EXPECT_EQ(IndexFaults(table), "");
            // Nothing was left where the unique tags' keys were sorted.
            EXPECT_TRUE(FileNamesIn(spill.Path()).empty());
        }
}

TEST(IndexSize, ForecastRefusesWhatTheBuildRefuses) {
    TempFolder dir;
    MakeTable(dir / "T.DBF", {{"NAME", 'C', 10, 0, 0}}, {Row{{"a"}}});
    const auto f = DbfFile::Open(dir / "T.DBF", ShareMode::Shared);
    EXPECT_THROW(
        IndexBytesOfBuild(*f, 2, 0, {{"BAD", "NOSUCH", "", false, false}}, false, dir / "s.dbf"),
        EDBEngineError);
    EXPECT_THROW(
        IndexBytesOfBuild(*f, 1, 0, {{"NAME", "NAME", "", false, false}}, false, dir / "s.dbf"),
        EDBEngineError);
    EXPECT_EQ(IndexBytesOfBuild(*f, 2, 0, {}, false, dir / "s.dbf"), 2048u);
}

}  // namespace
