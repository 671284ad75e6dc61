// Packing Paradox tables made by an independent writer (Debian's pxlib): the records read back
// by pxlib in the same order, data blocks consecutive and full, the header's block counts, the
// primary index generated again; the old files left whole when a write or rename fails.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

extern "C" {
#include <paradox.h>
}

#include "engine/EngineStatus.h"
#include "engine/TTable.h"
#include "engine/format/DbfFormat.h"
#include "engine/format/ParadoxFormat.h"
#include "engine/pack/ParadoxPack.h"
#include "engine/table/ParadoxFile.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/FailingEnv.h"
#include "tests/support/TestFolders.h"

using namespace ari::engine;
using ari::test::TempFolder;

namespace {

pxfield_t* Fields(bool forIndex) {
    const int n = forIndex ? 4 : 2;
    auto* f = static_cast<pxfield_t*>(std::malloc(sizeof(pxfield_t) * n));
    f[0] = {strdup("ID"), pxfLong, 4, 0};
    if (forIndex) {
        for (int k = 1; k < 4; ++k)
            f[k] = {strdup(k == 1 ? "block" : k == 2 ? "count" : "x"), pxfShort, 2, 0};
    } else {
        f[1] = {strdup("NAME"), pxfAlpha, 30, 0};
    }
    return f;
}

// A table of `records` (ID, NAME); keyed on ID with its .PX when `keyed`; then every
// `deleteEvery`-th record deleted through pxlib, which leaves gaps in the blocks.
void MakeParadoxTable(const std::string& path, int records, bool keyed, int deleteEvery) {
    pxdoc_t* doc = PX_new();
    ASSERT_EQ(PX_create_file(doc, Fields(false), 2, path.c_str(),
                             keyed ? pxfFileTypIndexDB : pxfFileTypNonIndexDB),
              0);
    if (keyed)
        doc->px_head->px_primarykeyfields = 1;
    for (int i = 0; i < records; ++i) {
        pxval_t v0{}, v1{};
        v0.type = pxfLong;
        v0.value.lval = i * 10;
        v1.type = pxfAlpha;
        std::string name = "name " + std::to_string(i);
        v1.value.str.val = name.data();
        v1.value.str.len = static_cast<int>(name.size());
        pxval_t* vals[2] = {&v0, &v1};
        ASSERT_GE(PX_insert_record(doc, vals), 0);
    }
    if (deleteEvery > 0)
        for (int recno = PX_get_num_records(doc) - 1; recno >= 0; --recno)
            if (recno % deleteEvery == 0)
                PX_delete_record(doc, recno);
    PX_close(doc);
    PX_delete(doc);
    if (!keyed)
        return;
    pxdoc_t* db = PX_new();
    pxdoc_t* ix = PX_new();
    ASSERT_EQ(PX_open_file(db, path.c_str()), 0);
    const std::string px = path.substr(0, path.size() - 2) + "PX";
    ASSERT_EQ(PX_create_file(ix, Fields(true), 4, px.c_str(), pxfFileTypPrimIndex), 0);
    ASSERT_EQ(PX_write_primary_index(db, ix), 0);
    PX_close(ix);
    PX_close(db);
    PX_delete(ix);
    PX_delete(db);
}

// The records as pxlib reads them, in table order.
std::vector<std::string> PxlibRecords(const std::string& path) {
    std::vector<std::string> out;
    pxdoc_t* doc = PX_new();
    if (PX_open_file(doc, path.c_str()) < 0) {
        PX_delete(doc);
        return out;
    }
    std::vector<char> rec(static_cast<size_t>(PX_get_recordsize(doc)));
    for (int i = 0; i < PX_get_num_records(doc); ++i)
        if (PX_get_record(doc, i, rec.data()))
            out.emplace_back(rec.data(), rec.size());
    PX_close(doc);
    PX_delete(doc);
    return out;
}

int PxlibRecordCount(const std::string& path) {
    pxdoc_t* doc = PX_new();
    int n = -1;
    if (PX_open_file(doc, path.c_str()) == 0)
        n = PX_get_num_records(doc);
    PX_close(doc);
    PX_delete(doc);
    return n;
}

// The pack as the pack routine drives it: type text, database, close, restructure with pack.
uint16_t PackParadox(const std::string& folder, const std::string& table) {
    TTable t("Table2");
    t.SetDatabaseName(folder);
    t.SetTableName(table);
    t.SetExclusive(true);
    t.Open();
    uint8_t info[kCursorInfoSize];
    Check(EngineCursorInfo(t.Handle(), info));
    EXPECT_STREQ(reinterpret_cast<const char*>(info + kCursorInfoTypeOffset), "PARADOX");
    std::vector<uint8_t> desc(kTableDescriptorSize, 0);
    std::memcpy(desc.data(), table.c_str(), table.size() + 1);
    std::memcpy(desc.data() + 261, "PARADOX", 8);
    desc[620] = desc[621] = 0xFF;
    DatabaseHandle db = nullptr;
    Check(EngineDatabaseOf(t.Handle(), kObjectKindDatabase, &db));
    t.Close();
    return EngineRestructure(db, 1, desc.data(), nullptr, nullptr, nullptr, 0);
}

}  // namespace

TEST(ParadoxPack, RewritesTheChainIntoFullConsecutiveBlocksAndRegeneratesThePrimaryIndex) {
    for (bool keyed : {true, false}) {
        SCOPED_TRACE(keyed ? "keyed" : "unkeyed");
        TempFolder dir;
        const std::string path = dir / "PARTS.DB";
        MakeParadoxTable(path, 700, keyed, 3);
        const auto before = PxlibRecords(path);
        ASSERT_EQ(before.size(), 700u - 234u);
        const std::string oldHead = ari::test::ReadFileBytes(path).substr(0, 0x800);
        const auto* oh = reinterpret_cast<const uint8_t*>(oldHead.data());
        const uint16_t blocksBefore = GetLE16(oh + px::kBlocksInFile);

        Check(PackParadox(dir.Path(), "parts.db"));

        EXPECT_EQ(PxlibRecords(path), before);
        const std::string bytes = ari::test::ReadFileBytes(path);
        const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
        const ParadoxHeader h = ParseParadoxHeader(bytes, bytes.size(), path);
        const uint32_t perBlock = (h.blockSize - 6) / h.recordSize;
        const uint32_t blocks = (static_cast<uint32_t>(before.size()) + perBlock - 1) / perBlock;
        EXPECT_LT(blocks, blocksBefore);
        EXPECT_EQ(h.blocksInFile, blocks);
        EXPECT_EQ(h.blocksInUse, blocks);
        EXPECT_EQ(h.firstBlock, 1);
        EXPECT_EQ(h.lastBlock, blocks);
        EXPECT_EQ(GetLE16(p + px::kFirstFreeBlock), 0);
        EXPECT_EQ(bytes.size(), h.headerSize + blocks * h.blockSize);
        for (uint32_t b = 1; b <= blocks; ++b) {
            const uint8_t* blk = p + h.headerSize + (b - 1) * h.blockSize;
            EXPECT_EQ(GetLE16(blk), b == blocks ? 0 : b + 1) << b;
            EXPECT_EQ(GetLE16(blk + 2), b - 1) << b;
            const uint32_t n = static_cast<int16_t>(GetLE16(blk + 4)) / h.recordSize + 1;
            EXPECT_EQ(n, b < blocks ? perBlock : before.size() - (blocks - 1) * perBlock) << b;
        }
        EXPECT_EQ(CheckParadoxTable(path), "");
        // Header bytes the pack does not own are kept.
        EXPECT_EQ(bytes.substr(0x12, 0x4D - 0x12), oldHead.substr(0x12, 0x4D - 0x12));
        if (keyed) {
            EXPECT_EQ(PxlibRecordCount(dir / "PARTS.PX"), static_cast<int>(blocks));
        }
        std::vector<std::string> expected{"PARTS.DB"};
        if (keyed)
            expected.push_back("PARTS.PX");
        EXPECT_EQ(ari::test::FileNamesIn(dir.Path()), expected);
    }
}

TEST(ParadoxPack, AFailedWriteOrRenameLeavesTheOldFilesWhole) {
    TempFolder dir;
    MakeParadoxTable(dir / "T.DB", 400, true, 2);
    const std::string db = ari::test::ReadFileBytes(dir / "T.DB");
    const std::string px = ari::test::ReadFileBytes(dir / "T.PX");
    using ari::test::FailingEnv;
    int total = 0;
    {
        TempFolder probe;
        ari::test::WriteFileBytes(probe / "T.DB", db);
        ari::test::WriteFileBytes(probe / "T.PX", px);
        FailingEnv counting(FailingEnv::kAny, 0);
        {
            const ari::test::InstalledEnv installed(&counting);
            EXPECT_EQ(PackParadox(probe.Path(), "T.DB"), 0);
        }
        total = counting.Count();
    }
    ASSERT_GT(total, 3);
    for (int n = 1; n <= total; ++n) {
        SCOPED_TRACE(n);
        FailingEnv failing(FailingEnv::kAny, n, EIO);
        uint16_t status = 0;
        {
            const ari::test::InstalledEnv installed(&failing);
            status = PackParadox(dir.Path(), "T.DB");
        }
        EXPECT_EQ(status, kStatusWriteError);
        ASSERT_EQ(ari::test::ReadFileBytes(dir / "T.DB"), db);
        ASSERT_EQ(ari::test::ReadFileBytes(dir / "T.PX"), px);
        ASSERT_EQ(ari::test::FileNamesIn(dir.Path()), (std::vector<std::string>{"T.DB", "T.PX"}));
    }
}

TEST(ParadoxPack, RefusesWhatItCannotRebuildOrRead) {
    // A secondary index would be left stale; files of the same name that are not indexes do
    // not stand in the way.
    for (const auto& [name, refused] : std::vector<std::pair<std::string, bool>>{{"T.X02", true},
                                                                                 {"t.y0a", true},
                                                                                 {"T.XG0", true},
                                                                                 {"T.YG1", true},
                                                                                 {"T.XLS", false},
                                                                                 {"T.XML", false},
                                                                                 {"T.YG", false},
                                                                                 {"T.X1", false}}) {
        SCOPED_TRACE(name);
        TempFolder dir;
        MakeParadoxTable(dir / "T.DB", 50, true, 0);
        ari::test::WriteFileBytes(dir / name, std::string(2048, '\0'));
        const std::string before = ari::test::ReadFileBytes(dir / "T.DB");
        EXPECT_EQ(PackParadox(dir.Path(), "T.DB"), refused ? kStatusIndexUnavailable : 0);
        if (refused) {
            EXPECT_EQ(ari::test::ReadFileBytes(dir / "T.DB"), before);
        }
    }

    // A broken chain: block 1 points to itself.
    TempFolder dir2;
    MakeParadoxTable(dir2 / "T.DB", 200, false, 0);
    std::string bytes = ari::test::ReadFileBytes(dir2 / "T.DB");
    const ParadoxHeader h = ParseParadoxHeader(bytes, bytes.size(), "T.DB");
    bytes[h.headerSize] = 1;
    bytes[h.headerSize + 1] = 0;
    ari::test::WriteFileBytes(dir2 / "T.DB", bytes);
    EXPECT_NE(CheckParadoxTable(dir2 / "T.DB").find("broken at block 1"), std::string::npos);
    EXPECT_EQ(PackParadox(dir2.Path(), "T.DB"), kStatusCorruptData);
    EXPECT_EQ(ari::test::ReadFileBytes(dir2 / "T.DB"), bytes);
    EXPECT_EQ(ari::test::FileNamesIn(dir2.Path()), (std::vector<std::string>{"T.DB"}));

    // Restructure of a table this process holds open.
    TTable t("T");
    t.SetDatabaseName(dir2.Path());
    t.SetTableName("T.DB");
    t.Open();
    std::vector<uint8_t> desc(kTableDescriptorSize, 0);
    std::memcpy(desc.data(), "T.DB", 5);
    std::memcpy(desc.data() + 261, "PARADOX", 8);
    desc[620] = desc[621] = 0xFF;
    EXPECT_EQ(EngineRestructure(t.DBHandle(), 1, desc.data(), nullptr, nullptr, nullptr, 0),
              kStatusTableOpen);
}
