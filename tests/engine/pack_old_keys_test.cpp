// A pack right after this process built a table's index writes the new index from the old one's
// keys: the same file a build from the packed records writes. Any change to the records or the
// index since the build, and any tag whose keys a pack changes, sends it back to that build.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "engine/TTable.h"
#include "engine/index/BuiltIndexes.h"
#include "engine/pack/DbfPack.h"
#include "engine/table/DbfFile.h"
#include "engine/table/TableFiles.h"
#include "engine/table/TableLock.h"
#include "tests/engine/IndexTestSupport.h"
#include "tests/support/TestFolders.h"

using namespace ari::engine;
using namespace ari::test;
namespace fs = std::filesystem;

namespace {

const std::vector<FieldDef> kFields = {
    {"NAME", 'C', 12, 0, 0}, {"QTY", 'N', 8, 2, 0}, {"DAY", 'D', 8, 0, 0}};
constexpr int kRows = 3000;  // enough for trees of more than one level
constexpr TIndexOptions kDescending =
    ixExpression | static_cast<TIndexOptions>(TIndexOption::ixDescending);
constexpr TIndexOptions kUnique =
    ixExpression |
    static_cast<TIndexOptions>(TIndexOption::ixUnique);  // enough for trees of more than one level

// K.DBF: kRows records, every fourth deleted; names repeat, so equal keys are many.
void MakeKeyTable(const std::string& folder) {
    std::vector<Row> rows;
    for (int i = 0; i < kRows; ++i) {
        char qty[16], day[16];
        std::snprintf(qty, sizeof qty, "%.2f", ((i * 37) % 2001 - 1000) / 4.0);
        std::snprintf(day, sizeof day, "%04d%02d%02d", 1990 + i % 30, 1 + i % 12, 1 + i % 28);
        rows.push_back(
            Row{{"name" + std::to_string((i * 7919) % 700), qty, i % 11 ? day : ""}, i % 4 == 1});
    }
    MakeTable(folder + "/K.DBF", kFields, rows);
}

const std::vector<TTable::NewIndex> kCarriedTags = {
    {"NAME", "NAME", ixExpression, ""},        {"UPNAME", "UPPER(NAME)", kDescending, ""},
    {"QTY", "QTY", ixExpression, ""},          {"DAY", "DAY", ixExpression, ""},
    {"BIG", "NAME", ixExpression, "QTY > 10"}, {"MIX", "DTOS(DAY)+NAME", ixExpression, ""},
};

// The index rebuild as the maintenance run does it: the table's index built from its records.
void BuildIndex(const std::string& folder, const std::vector<TTable::NewIndex>& tags) {
    TTable t("K");
    t.SetDatabaseName(folder);
    t.SetTableName("K.DBF");
    t.AddIndexes(tags);
}

PackResult Pack(const std::string& folder) {
    const std::string path = folder + "/K.DBF";
    auto lease = TableLease::Acquire(path, FindCompanions(path, DbaseCompanionExtensions()),
                                     ShareMode::Exclusive);
    return PackDbfTable(path, *lease);
}

void Overwrite(const std::string& path, uint64_t offset, const std::string& bytes) {
    std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(static_cast<std::streamoff>(offset));
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(f.good()) << path;
}

// Packs the folder `live` (its index built here) and, as the reference, a copy of it made just
// before (files this process never built: their index is built from the packed records). The
// two packs must leave the same bytes.
void ExpectPackEqualsTheBuildFromRecords(const TempFolder& dir, bool fromOldKeys) {
    const std::string live = dir / "live", copy = dir / "copy";
    fs::copy(live, copy);
    const PackResult packed = Pack(live);
    const PackResult reference = Pack(copy);
    EXPECT_EQ(packed.indexFromOldKeys, fromOldKeys);
    EXPECT_FALSE(reference.indexFromOldKeys);
    EXPECT_TRUE(packed.indexRebuilt);
    EXPECT_EQ(packed.kept, reference.kept);
    EXPECT_EQ(IndexFaults(live + "/K.DBF"), "");
    EXPECT_EQ(IndexFaults(copy + "/K.DBF"), "");
    EXPECT_TRUE(ReadFileBytes(live + "/K.DBF") == ReadFileBytes(copy + "/K.DBF"));
    EXPECT_TRUE(ReadFileBytes(live + "/K.mdx") == ReadFileBytes(copy + "/K.mdx"));
}

}  // namespace

TEST(PackFromOldKeys, AnIndexBuiltHereAndUntouchedGivesTheSameFileAsABuildFromTheRecords) {
    TempFolder dir;
    fs::create_directory(dir / "live");
    MakeKeyTable(dir / "live");
    BuildIndex(dir / "live", kCarriedTags);
    ExpectPackEqualsTheBuildFromRecords(dir, true);
    // Every kept record once, in the order of its key, under its new number.
    EXPECT_EQ(WalkTag(dir / "live/K.DBF", "MIX"), ModelOrder(dir / "live/K.DBF", "DTOS(DAY)+NAME"));
    EXPECT_EQ(WalkTag(dir / "live/K.DBF", "BIG"),
              ModelOrder(dir / "live/K.DBF", "NAME", "QTY > 10"));
}

// What may happen between the index build and the pack, or what a tag may be, that the old keys
// cannot stand for: each one's pack builds the index from the records.
TEST(PackFromOldKeys, AChangeSinceTheBuildOrAKeyThePackChangesBuildsFromTheRecords) {
    struct Case {
        const char* what;
        std::vector<TTable::NewIndex> tags;
        std::function<void(const std::string& folder)> meanwhile;
    };
    const auto recordOffset = [](const std::string& folder, uint32_t recno) {
        const auto t = DbfFile::OpenHeld(folder + "/K.DBF");
        return t->Header().headerLength + uint64_t{recno - 1} * t->RecordLength();
    };
    const std::vector<Case> cases = {
        {"a record edited in place by another program", kCarriedTags,
         [&](const std::string& folder) {
             Overwrite(folder + "/K.DBF", recordOffset(folder, 3) + 1, "zzzz");
         }},
        {"a key changed in the index file in place", kCarriedTags,
         [](const std::string& folder) {
             const std::string mdx = ReadFileBytes(folder + "/K.mdx");
             const size_t at = mdx.find("name1", 4096);
             ASSERT_NE(at, std::string::npos);
             Overwrite(folder + "/K.mdx", at, "nbme1");
         }},
        {"the index file replaced by a copy of itself", kCarriedTags,
         [](const std::string& folder) {
             fs::copy_file(folder + "/K.mdx", folder + "/K.tmp");
             fs::rename(folder + "/K.tmp", folder + "/K.mdx");
         }},
        {"a unique tag: a dropped first record of a value lets the next one in",
         {{"NAME", "NAME", kUnique, ""}},
         nullptr},
        {"a key on the record number",
         {{"PLACE", "STR(RECNO(),6)+NAME", ixExpression, ""}},
         nullptr},
        {"a condition on the deletion mark",
         {{"NAME", "NAME", ixExpression, ""}, {"LIVE", "NAME", ixExpression, ".NOT. DELETED()"}},
         nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempFolder dir;
        fs::create_directory(dir / "live");
        MakeKeyTable(dir / "live");
        BuildIndex(dir / "live", c.tags);
        if (c.meanwhile)
            c.meanwhile(dir / "live");
        ExpectPackEqualsTheBuildFromRecords(dir, false);
    }
}

// The pack feeds the records in blocks, the build one record at a time: the digest must not
// depend on the pieces, and must change with any byte.
TEST(PackFromOldKeys, TheDigestDependsOnTheBytesNotOnThePiecesTheyComeIn) {
    std::mt19937 rng(5);
    for (const size_t size : {0, 1, 31, 32, 33, 64, 100, 4099}) {
        SCOPED_TRACE(size);
        std::string bytes(size, '\0');
        for (char& c : bytes)
            c = static_cast<char>(rng());
        ContentDigest whole;
        whole.Add(bytes.data(), bytes.size());
        for (int trial = 0; trial < 20; ++trial) {
            ContentDigest pieces;
            for (size_t at = 0; at < size;) {
                const size_t n = std::min<size_t>(size - at, rng() % 70);
                pieces.Add(bytes.data() + at, n);
                at += n;
            }
            EXPECT_EQ(pieces.Result(), whole.Result());
        }
        for (size_t i = 0; i < size; i += 1 + size / 16) {
            std::string changed = bytes;
            changed[i] = static_cast<char>(changed[i] ^ 1);
            ContentDigest other;
            other.Add(changed.data(), changed.size());
            EXPECT_NE(other.Result(), whole.Result()) << "byte " << i;
        }
        // A longer stream of zeros is another stream.
        ContentDigest longer;
        longer.Add(bytes.data(), bytes.size());
        longer.Add("", 1);
        EXPECT_NE(longer.Result(), whole.Result());
    }
}
