// Packing dBASE tables: kept records and memos as an independent reader sees them, every kept
// byte unchanged, the count rule, the refusal to leave a stale index, and the old table left
// whole (and no temporary file behind) when a write, flush or rename fails or the process dies.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "engine/EngineStatus.h"
#include "engine/TTable.h"
#include "engine/table/DbfFile.h"
#include "engine/table/TableFiles.h"
#include "platform/Files.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/FailingEnv.h"
#include "tests/support/TestFolders.h"

using namespace ari::engine;
using ari::test::TempFolder;

namespace {

void Pack(const std::string& folder, const std::string& table) {
    TTable t("Table2");
    t.SetDatabaseName(folder);
    t.SetTableName(table);
    t.SetExclusive(true);
    t.Open();
    Check(EnginePack(t.DBHandle(), t.Handle(), nullptr, "DBASE", -1));
    t.Close();
}

std::vector<std::string> WithTag(const std::vector<std::string>& lines, char tag) {
    std::vector<std::string> out;
    for (const auto& l : lines)
        if (!l.empty() && l[0] == tag)
            out.push_back(l);
    return out;
}

// The raw records of a table, the deleted ones left out.
std::vector<std::string> LiveRawRecords(const std::string& path) {
    std::vector<std::string> out;
    const auto f = DbfFile::Open(path, ShareMode::Shared);
    DbfFile::Scanner scan(*f);
    while (const uint8_t* r = scan.Next())
        if (r[0] != dbf::kDeletedFlag)
            out.emplace_back(reinterpret_cast<const char*>(r), f->RecordLength());
    return out;
}

// Fails the Nth write, fsync or rename (counting all three), with short writes so that the
// retry loop is exercised; counts calls when N is 0.
struct FailingOps : ari::test::FailingEnv {
    explicit FailingOps(int failAt, int err = ENOSPC) : FailingEnv(kAny, failAt, err) {
        ShortWrites();
    }
};

using ScopedOps = ari::test::InstalledEnv;

}  // namespace

TEST(DbasePack, KeepsUndeletedRecordsAndMemosAsIndependentReadersSeeThem) {
    const bool haveDbf = ari::test::PythonModuleAvailable("dbf");
    const bool haveXBase = ari::test::PerlXBaseAvailable();
    if (!ari::test::PythonModuleAvailable("dbfread") || (!haveDbf && !haveXBase))
        GTEST_SKIP() << "python3-dbfread and python3-dbf or libdbd-xbase-perl are needed";
    struct Maker {
        const char* name;
        bool available;
        void (*make)(const std::string&, int, int);
    } makers[] = {
        {"dBASE III by python3-dbf", haveDbf, ari::test::MakeDbase3MemoTable},
        {"dBASE IV by Perl XBase", haveXBase, ari::test::MakeDbase4MemoTable},
    };
    for (const auto& m : makers) {
        if (!m.available)
            continue;
        for (int deleteEvery : {3, 1, 0}) {  // some, all, none deleted
            SCOPED_TRACE(std::string(m.name) + ", deleting every " + std::to_string(deleteEvery));
            TempFolder dir;
            const std::string path = dir / "CLIENTS.DBF";
            m.make(path, 40, deleteEvery);
            const std::string before = ari::test::ReadFileBytes(path);
            const std::string memoPath = FindCompanion(path, ".dbt");
            ASSERT_FALSE(memoPath.empty());
            const std::string memoBefore = ari::test::ReadFileBytes(memoPath);
            const auto readerBefore = ari::test::DbfreadRecords(path);
            const auto rawBefore = LiveRawRecords(path);
            ASSERT_FALSE(memoBefore.empty());

            Pack(dir.Path(), "clients.dbf");

            const auto readerAfter = ari::test::DbfreadRecords(path);
            EXPECT_EQ(readerAfter, WithTag(readerBefore, 'L'));
            EXPECT_TRUE(WithTag(readerAfter, 'D').empty());
            EXPECT_EQ(LiveRawRecords(path), rawBefore);  // every byte of every kept record

            const std::string after = ari::test::ReadFileBytes(path);
            const auto f = DbfFile::Open(path, ShareMode::Shared);
            const size_t hl = f->HeaderLength(), rl = f->RecordLength();
            EXPECT_EQ(f->HeaderRecordCount(), rawBefore.size());
            EXPECT_EQ(after.size(), hl + rawBefore.size() * rl + 1);
            EXPECT_EQ(after.back(), '\x1a');
            // Header: only the date (1-3) and the count (4-7) change.
            EXPECT_EQ(after.substr(0, 1), before.substr(0, 1));
            EXPECT_EQ(after.substr(8, hl - 8), before.substr(8, hl - 8));
            uint8_t today[3];
            TodayForHeader(today);
            EXPECT_EQ(std::memcmp(after.data() + 1, today, 3), 0);
            // The memo file is left as it was; the kept pointers still reach their memos.
            EXPECT_EQ(ari::test::ReadFileBytes(memoPath), memoBefore);
            EXPECT_EQ(ari::test::FileNamesIn(dir.Path()),
                      (std::vector<std::string>{"CLIENTS.DBF", ari::ExtractFileName(memoPath)}));
        }
    }
}

TEST(DbasePack, RecordCountAgainstFileSizeLosesNoRecord) {
    // Each case builds a table of 6 records (2 and 5 deleted), then damages count or tail.
    struct Case {
        const char* name;
        uint32_t headerCount;  // stored in the header
        std::string tail;      // bytes appended after the 6 records
        size_t expectKept;     // live records after the pack
    } cases[] = {
        {"header and file agree", 6, "\x1a", 4},
        {"no end byte", 6, "", 4},
        {"stale high count", 40, "\x1a", 4},
        {"low count, plausible records beyond it", 4, "\x1a", 4},
        {"low count, garbage beyond it", 4, std::string(23, '\x07') + "\x1a", 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder dir;
        const std::string path = dir / "T.DBF";
        {
            DbfWriter w(path,
                        {{"NAME", 'C', 10, 0, 0}, {"QTY", 'N', 5, 0, 0}, {"DT", 'D', 8, 0, 0}});
            for (int i = 1; i <= 6; ++i)
                w.Append({"rec" + std::to_string(i), std::to_string(i), "20200101"},
                         i == 2 || i == 5);
            w.Finish();
        }
        std::string bytes = ari::test::ReadFileBytes(path);
        bytes.pop_back();  // the 0x1A
        if (c.name == std::string("low count, garbage beyond it")) {
            // records 5 and 6 become garbage; the header keeps the first 4
            bytes.resize(bytes.size() - 2 * 24);
        }
        bytes += c.tail;
        PutLE32(reinterpret_cast<uint8_t*>(&bytes[4]), c.headerCount);
        ari::test::WriteFileBytes(path, bytes);

        Pack(dir.Path(), "T.DBF");
        const auto f = DbfFile::Open(path, ShareMode::Shared);
        EXPECT_EQ(f->HeaderRecordCount(), c.expectKept);
        EXPECT_EQ(f->RecordCount(), c.expectKept);
        EXPECT_EQ(f->FileSize(), f->HeaderLength() + c.expectKept * f->RecordLength() + 1);
        EXPECT_EQ(ari::test::ReadFileBytes(path).back(), '\x1a');
        DbfFile::Scanner scan(*f);
        while (const uint8_t* r = scan.Next())
            EXPECT_EQ(r[0], dbf::kLiveFlag);
    }
}

TEST(DbasePack, NeverLeavesAStaleIndexBehind) {
    // The header names a production index that cannot be rebuilt (a damaged index file): the
    // pack fails before anything changes.
    TempFolder dir;
    {
        DbfWriter w(dir / "T.DBF", {{"NAME", 'C', 10, 0, 0}});
        w.SetHeaderByte(28, 1);
        w.Append({"a"}, true);
        w.Append({"b"});
        w.Finish();
    }
    ari::test::WriteFileBytes(dir / "t.MDX", std::string(2048, '\0'));
    const std::string before = ari::test::ReadFileBytes(dir / "T.DBF");
    TTable t("Table2");
    t.SetDatabaseName(dir.Path());
    t.SetTableName("T.DBF");
    t.SetExclusive(true);
    t.Open();
    try {
        Check(EnginePack(t.DBHandle(), t.Handle(), nullptr, "DBASE", -1));
        ADD_FAILURE() << "packed";
    } catch (const EDBEngineError& e) {
        EXPECT_EQ(e.ErrorCode(), kStatusIndexError) << e.Message();
        EXPECT_NE(e.Message().find("t.MDX"), std::string::npos) << e.Message();
    }
    t.Close();
    EXPECT_EQ(ari::test::ReadFileBytes(dir / "T.DBF"), before);
    EXPECT_EQ(ari::test::ReadFileBytes(dir / "t.MDX"), std::string(2048, '\0'));
    EXPECT_EQ(ari::test::FileNamesIn(dir.Path()), (std::vector<std::string>{"T.DBF", "t.MDX"}));
}

TEST(DbasePack, AFailedWriteFlushOrRenameLeavesTheOldTableWhole) {
    TempFolder dir;
    const std::string path = dir / "T.DBF";
    {
        // Large enough for several buffered writes.
        DbfWriter w(path, {{"NAME", 'C', 200, 0, 0}, {"QTY", 'N', 10, 0, 0}});
        for (int i = 0; i < 60000; ++i)
            w.Append({"name" + std::to_string(i), std::to_string(i)}, i % 7 == 0);
        w.Finish();
    }
    const std::string original = ari::test::ReadFileBytes(path);
    const auto names = ari::test::FileNamesIn(dir.Path());

    // Count the calls of a successful pack on a copy.
    int total = 0;
    {
        TempFolder probe;
        ari::test::WriteFileBytes(probe / "T.DBF", original);
        FailingOps counting(0);
        ScopedOps scoped(&counting);
        Pack(probe.Path(), "T.DBF");
        total = counting.Count();
    }
    ASSERT_GT(total, 5);
    for (int n = 1; n <= total; ++n) {
        SCOPED_TRACE("failing call " + std::to_string(n) + " of " + std::to_string(total));
        FailingOps failing(n, n % 2 ? ENOSPC : EIO);
        {
            ScopedOps scoped(&failing);
            TTable t("Table2");
            t.SetDatabaseName(dir.Path());
            t.SetTableName("T.DBF");
            t.SetExclusive(true);
            t.Open();
            const uint16_t status = EnginePack(t.DBHandle(), t.Handle(), nullptr, "DBASE", -1);
            EXPECT_EQ(status, kStatusWriteError);
            try {
                Check(status);
            } catch (const EDBEngineError& e) {
                EXPECT_NE(e.Message().find("T.DBF"), std::string::npos) << e.Message();
            }
            EXPECT_TRUE(t.Active());  // still held for sole use
        }
        ASSERT_EQ(ari::test::ReadFileBytes(path), original);
        ASSERT_EQ(ari::test::FileNamesIn(dir.Path()), names);
    }
    Pack(dir.Path(), "T.DBF");
    EXPECT_LT(ari::test::ReadFileBytes(path).size(), original.size());
}

TEST(DbasePack, AProcessKilledMidwayLeavesTheOldTableAndItsLeftoverIsCleared) {
    TempFolder dir;
    const std::string path = dir / "T.DBF";
    {
        DbfWriter w(path, {{"NAME", 'C', 100, 0, 0}});
        for (int i = 0; i < 50000; ++i)
            w.Append({"n" + std::to_string(i)}, i % 2 == 0);
        w.Finish();
    }
    const std::string original = ari::test::ReadFileBytes(path);
    // Killed after the first buffer reached the disk.
    ari::test::FailingEnv dying(ari::test::FailingEnv::kWrite, 2, 0,
                                ari::test::FailingEnv::kDieBefore);
    ari::test::PackInADyingProcess(dying, [&] { Pack(dir.Path(), "T.DBF"); });
    EXPECT_EQ(ari::test::ReadFileBytes(path), original);
    EXPECT_EQ(ari::test::FileNamesIn(dir.Path()).size(), 2u);  // the table and the leftover
    Pack(dir.Path(), "T.DBF");  // takes the unlocked leftover for what it is
    EXPECT_EQ(ari::test::FileNamesIn(dir.Path()), (std::vector<std::string>{"T.DBF"}));
    const auto f = DbfFile::Open(path, ShareMode::Shared);
    EXPECT_EQ(f->RecordCount(), 25000u);
}

TEST(DbasePack, WithAProductionIndexAFailureAtAnyStepLeavesTheOldPairWhole) {
    const std::string samples = ari::test::SamplesDir();
    if (samples.empty())
        GTEST_SKIP() << "the samples folder beside the project is absent";
    TempFolder dir;
    std::string dbf = ari::test::ReadFileBytes(samples + "mdx/disco.DBF");
    const std::string mdx = ari::test::ReadFileBytes(samples + "mdx/disco.mdx");
    for (size_t i = 0; i < 1561; i += 4)
        dbf[353 + i * 91] = '*';  // header 353, records of 91
    ari::test::WriteFileBytes(dir / "disco.DBF", dbf);
    ari::test::WriteFileBytes(dir / "disco.mdx", mdx);
    int total = 0;
    {
        TempFolder probe;
        ari::test::WriteFileBytes(probe / "disco.DBF", dbf);
        ari::test::WriteFileBytes(probe / "disco.mdx", mdx);
        FailingOps counting(0);
        ScopedOps scoped(&counting);
        Pack(probe.Path(), "disco.DBF");
        total = counting.Count();
    }
    ASSERT_GE(total, 4);  // table and index written, flushed, and two renames
    for (int n = 1; n <= total; ++n) {
        SCOPED_TRACE("failing call " + std::to_string(n) + " of " + std::to_string(total));
        FailingOps failing(n, EIO);
        {
            ScopedOps scoped(&failing);
            TTable t("Table2");
            t.SetDatabaseName(dir.Path());
            t.SetTableName("disco.DBF");
            t.SetExclusive(true);
            t.Open();
            EXPECT_NE(EnginePack(t.DBHandle(), t.Handle(), nullptr, "DBASE", -1), 0);
        }
        ASSERT_EQ(ari::test::ReadFileBytes(dir / "disco.DBF"), dbf);
        ASSERT_EQ(ari::test::ReadFileBytes(dir / "disco.mdx"), mdx);
        ASSERT_EQ(ari::test::FileNamesIn(dir.Path()),
                  (std::vector<std::string>{"disco.DBF", "disco.mdx"}));
    }
}
