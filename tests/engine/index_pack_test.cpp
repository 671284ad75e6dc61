// The pack of a table with a production index, as the files are replaced: the new table and
// index are the files held for sole use afterwards, they keep the permissions and owners of the
// files they replace, and a pack ended between the renames of the pair is rolled forward when
// the table is next held for sole use: the packed table, with whatever clients wrote to it since,
// stays, and its index is built afresh.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>

#include "engine/EngineErrors.h"
#include "engine/EngineStatus.h"
#include "engine/TTable.h"
#include "engine/format/MdxFormat.h"
#include "engine/index/MdxFile.h"
#include "engine/table/DbfFile.h"
#include "engine/table/TableFiles.h"
#include "engine/table/TableLock.h"
#include "platform/ScopedFd.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/engine/IndexTestSupport.h"
#include "tests/support/FailingEnv.h"
#include "tests/support/TestFolders.h"

using namespace ari::engine;
using ari::ScopedFd;
using namespace ari::test;

namespace {

// T.DBF: 30 records, every third deleted, with a production index T.mdx of two tags.
void MakeIndexedTable(const TempFolder& dir) {
    std::vector<Row> rows;
    for (int i = 0; i < 30; ++i)
        rows.push_back(Row{{"name" + std::to_string((i * 7) % 30), std::to_string(i)}, i % 3 == 0});
    MakeTable(dir / "T.DBF", {{"NAME", 'C', 12, 0, 0}, {"QTY", 'N', 5, 0, 0}}, rows);
    TTable t("Table2");
    t.SetDatabaseName(dir.Path());
    t.SetTableName("T.DBF");
    t.AddIndex("NAME", "NAME", ixExpression);
    t.AddIndex("QTY", "QTY", ixExpression);
}

void OpenExclusive(TTable& t, const TempFolder& dir) {
    t.SetDatabaseName(dir.Path());
    t.SetTableName("T.DBF");
    t.SetExclusive(true);
    t.Open();
}

// Whether another open file description of `path` can take a whole-file lock, as another
// program opening the file would.
bool OthersCanLock(const std::string& path, bool write) {
    const ScopedFd fd(::open(path.c_str(), (write ? O_RDWR : O_RDONLY) | O_CLOEXEC));
    EXPECT_GE(fd.Get(), 0) << path;
    return fd.Get() >= 0 && TryLockWholeFile(fd.Get(), write);
}

struct stat StatOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st;
}

// A group other than the process's own that it may give its files, or -1.
gid_t OtherGroup() {
    if (::geteuid() == 0)
        return 4343;
    gid_t groups[64];
    const int n = ::getgroups(64, groups);
    for (int i = 0; i < n; ++i)
        if (groups[i] != ::getegid())
            return groups[i];
    return static_cast<gid_t>(-1);
}

// Packs T.DBF in a child process that ends at its Nth rename, before or after doing it.
void PackInAProcessEndingAtRename(const TempFolder& dir, int rename, bool after) {
    using ari::test::FailingEnv;
    FailingEnv dying(FailingEnv::kRename, rename, 0,
                     after ? FailingEnv::kDieAfter : FailingEnv::kDieBefore);
    PackInADyingProcess(dying, [&] {
        TTable t("Table2");
        OpenExclusive(t, dir);
        EnginePack(t.DBHandle(), t.Handle(), nullptr, "DBASE", -1);
    });
}

bool AnyBackupLeft(const std::string& folder) {
    for (const auto& n : FileNamesIn(folder))
        if (n.find(".keep.") != std::string::npos)
            return true;
    return false;
}

}  // namespace

TEST(IndexPack, TheNewTableAndIndexStayHeldForSoleUseUntilClosed) {
    TempFolder dir;
    MakeIndexedTable(dir);
    TTable t("Table2");
    OpenExclusive(t, dir);
    Check(EnginePack(t.DBHandle(), t.Handle(), nullptr, "DBASE", -1));
    ASSERT_TRUE(t.Active());
    EXPECT_EQ(DbfFile::OpenHeld(dir / "T.DBF")->RecordCount(), 20u);
    for (const char* name : {"T.DBF", "T.mdx"}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(OthersCanLock(dir / name, true));
        EXPECT_FALSE(OthersCanLock(dir / name, false));
    }
    t.Close();
    // The locks were the table's, not left behind by the pack.
    for (const char* name : {"T.DBF", "T.mdx"})
        EXPECT_TRUE(OthersCanLock(dir / name, true)) << name;
    EXPECT_EQ(IndexFaults(dir / "T.DBF"), "");
    EXPECT_EQ(FileNamesIn(dir.Path()), (std::vector<std::string>{"T.DBF", "T.mdx"}));
}

TEST(IndexPack, TheNewFilesKeepThePermissionsAndOwnersOfTheOldOnes) {
    // Modes a shared folder uses; the table and its index may differ. The process umask (022
    // at least) would take the group and other write bits off a new file.
    const mode_t oldMask = ::umask(022);
    struct Case {
        mode_t table, index;
    } cases[] = {{0666, 0666}, {0640, 0640}, {0660, 0600}, {0600, 0664}};
    const gid_t group = OtherGroup();
    const bool root = ::geteuid() == 0;
    for (const auto& c : cases) {
        char modes[32];
        std::snprintf(modes, sizeof modes, "table %04o, index %04o", unsigned(c.table),
                      unsigned(c.index));
        SCOPED_TRACE(modes);
        TempFolder dir;
        MakeIndexedTable(dir);
        ASSERT_EQ(::chmod((dir / "T.DBF").c_str(), c.table), 0);
        ASSERT_EQ(::chmod((dir / "T.mdx").c_str(), c.index), 0);
        // Owners: as root any owner; otherwise one of the process's other groups, if any.
        const uid_t owner = root ? 4242 : ::geteuid();
        if (group != static_cast<gid_t>(-1)) {
            ASSERT_EQ(::chown((dir / "T.DBF").c_str(), owner, group), 0);
            ASSERT_EQ(::chown((dir / "T.mdx").c_str(), owner, group), 0);
        }
        const struct stat tableBefore = StatOf(dir / "T.DBF");
        const struct stat indexBefore = StatOf(dir / "T.mdx");
        {
            TTable t("Table2");
            OpenExclusive(t, dir);
            Check(EnginePack(t.DBHandle(), t.Handle(), nullptr, "DBASE", -1));
        }
        // The index writer replaces the index file the same way.
        TTable t("Table2");
        t.SetDatabaseName(dir.Path());
        t.SetTableName("T.DBF");
        t.AddIndex("QNAME", "STR(QTY,5)+NAME", ixExpression);

        // Both files were replaced: the table packed, the index with the new tag.
        ASSERT_EQ(DbfFile::OpenHeld(dir / "T.DBF")->RecordCount(), 20u);
        ASSERT_EQ(WalkTag(dir / "T.DBF", "QNAME").size(), 20u);
        EXPECT_EQ(IndexFaults(dir / "T.DBF"), "");
        for (const auto& [name, before] :
             {std::pair{"T.DBF", tableBefore}, std::pair{"T.mdx", indexBefore}}) {
            const struct stat after = StatOf(dir / name);
            EXPECT_EQ(after.st_mode & 07777, before.st_mode & 07777) << name;
            EXPECT_EQ(after.st_uid, before.st_uid) << name;
            EXPECT_EQ(after.st_gid, before.st_gid) << name;
        }
    }
    ::umask(oldMask);
}

TEST(IndexPack, APackEndedMidwayLeavesAConsistentPairOnceTheTableIsHeldAgain) {
    struct Case {
        const char* name;
        int rename;       // the rename (1 the table, 2 the index) at which the process ends
        bool after;       // after doing it
        bool packed;      // the pair expected: the packed one, else the old one
        bool mismatched;  // the table and index on disk disagree until the table is held again
    } cases[] = {
        {"ended before the table was renamed", 1, false, false, false},
        {"ended between the renames of table and index", 2, false, true, true},
        {"ended after both renames", 2, true, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder dir;
        MakeIndexedTable(dir);
        const std::string table = ReadFileBytes(dir / "T.DBF");
        const std::string index = ReadFileBytes(dir / "T.mdx");
        PackInAProcessEndingAtRename(dir, c.rename, c.after);
        EXPECT_EQ(IndexFaults(dir / "T.DBF").empty(), !c.mismatched);
        ASSERT_TRUE(AnyBackupLeft(dir.Path()));
        const std::string tableAfterEnd = ReadFileBytes(dir / "T.DBF");

        // Held for sole use, as a run opens a table before it packs it.
        {
            TTable t("Table2");
            OpenExclusive(t, dir);
        }
        EXPECT_EQ(DbfFile::OpenHeld(dir / "T.DBF")->RecordCount(), c.packed ? 20u : 30u);
        EXPECT_EQ(IndexFaults(dir / "T.DBF"), "");
        if (!c.packed) {
            EXPECT_EQ(ReadFileBytes(dir / "T.DBF"), table);
            EXPECT_EQ(ReadFileBytes(dir / "T.mdx"), index);
        } else {
            EXPECT_EQ(ReadFileBytes(dir / "T.DBF"), tableAfterEnd);
        }
        EXPECT_FALSE(AnyBackupLeft(dir.Path()));

        // The next pack takes the leftovers of the ended one for what they are.
        {
            TTable t("Table2");
            OpenExclusive(t, dir);
            Check(EnginePack(t.DBHandle(), t.Handle(), nullptr, "DBASE", -1));
        }
        EXPECT_EQ(DbfFile::OpenHeld(dir / "T.DBF")->RecordCount(), 20u);
        EXPECT_EQ(IndexFaults(dir / "T.DBF"), "");
        EXPECT_EQ(FileNamesIn(dir.Path()), (std::vector<std::string>{"T.DBF", "T.mdx"}));
    }
}

TEST(IndexPack, AFileAnotherProgramHoldsUnderTheBackupNameIsLeftAlone) {
    TempFolder dir;
    MakeIndexedTable(dir);
    const std::string table = ReadFileBytes(dir / "T.DBF");
    const std::string index = ReadFileBytes(dir / "T.mdx");
    const std::string backup = BackupPathFor(dir / "T.DBF");
    WriteFileBytes(backup, "another program's file");
    const ScopedFd holder(::open(backup.c_str(), O_RDWR | O_CLOEXEC));
    ASSERT_TRUE(TryLockWholeFile(holder.Get(), true));
    {
        TTable t("Table2");
        OpenExclusive(t, dir);
        EXPECT_EQ(EnginePack(t.DBHandle(), t.Handle(), nullptr, "DBASE", -1), kStatusWriteError);
    }
    EXPECT_EQ(ReadFileBytes(backup), "another program's file");
    EXPECT_EQ(ReadFileBytes(dir / "T.DBF"), table);
    EXPECT_EQ(ReadFileBytes(dir / "T.mdx"), index);
}

// A pack ended between its two renames leaves the packed table beside the old index. A client
// that opens the table then edits, deletes and appends in the packed table; when the table is
// next held for sole use, all of that is kept, the index is built afresh to match, and the
// backups go.
TEST(IndexPack, RollingForwardKeepsWhatClientsWroteAfterAPackEnded) {
    TempFolder dir;
    MakeIndexedTable(dir);
    PackInAProcessEndingAtRename(dir, 2, false);
    ASSERT_TRUE(AnyBackupLeft(dir.Path()));

    // The client: raw writes as a dBASE program makes them, with the header count kept right.
    {
        const auto packed = DbfFile::OpenHeld(dir / "T.DBF");
        ASSERT_EQ(packed->RecordCount(), 20u);
        const size_t hl = packed->HeaderLength(), rl = packed->RecordLength();
        std::string bytes = ReadFileBytes(dir / "T.DBF");
        ASSERT_EQ(bytes.size(), hl + 20 * rl + 1);
        bytes.replace(hl + 2 * rl + 1, 12, "edited      ");  // record 3's NAME
        bytes[hl + 4 * rl] = '*';                            // record 5 deleted
        bytes.pop_back();                                    // the 0x1A
        bytes += " client1       901";                       // flag, NAME C(12), QTY N(5)
        bytes += " client2       902";
        bytes += '\x1a';
        PutLE32(reinterpret_cast<uint8_t*>(&bytes[4]), 22);
        const ScopedFd client(::open((dir / "T.DBF").c_str(), O_WRONLY | O_CLOEXEC));
        ASSERT_GE(client.Get(), 0);
        ASSERT_EQ(::pwrite(client.Get(), bytes.data(), bytes.size(), 0),
                  static_cast<ssize_t>(bytes.size()));
    }
    const std::string written = ReadFileBytes(dir / "T.DBF");
    ASSERT_NE(IndexFaults(dir / "T.DBF"), "");  // the old index does not match

    {
        TTable t("Table2");
        OpenExclusive(t, dir);
        // The index built afresh is the file held for sole use.
        EXPECT_FALSE(OthersCanLock(dir / "T.mdx", false));
    }
    EXPECT_EQ(ReadFileBytes(dir / "T.DBF"), written);  // nothing the client wrote is lost
    EXPECT_EQ(DbfFile::OpenHeld(dir / "T.DBF")->RecordCount(), 22u);
    EXPECT_EQ(IndexFaults(dir / "T.DBF"), "");
    const auto names = WalkTag(dir / "T.DBF", "NAME");
    EXPECT_EQ(names.size(), 22u);
    EXPECT_NE(std::find(names.begin(), names.end(), IndexEntry{3, "edited      "}), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), IndexEntry{22, "client2     "}), names.end());
    const auto tags = MdxFile(dir / "T.mdx").Tags();
    ASSERT_EQ(tags.size(), 2u);
    EXPECT_EQ(tags[0].name, "NAME");
    EXPECT_EQ(tags[1].name, "QTY");
    EXPECT_FALSE(AnyBackupLeft(dir.Path()));
    EXPECT_EQ(FileNamesIn(dir.Path()), (std::vector<std::string>{"T.DBF", "T.mdx"}));

    const std::string dbtool = std::string(ARI_BIN_DIR) + "/dbtool";
    if (std::filesystem::exists(dbtool)) {
        const auto r = RunCommand(ShellQuote(dbtool) + " check " + ShellQuote(dir / "T.DBF"));
        EXPECT_EQ(r.exitCode, 0) << r.output;
    }
}

// When the index cannot be built afresh (its tag definitions cannot be read), holding the table
// fails with an error that says what happened, and every file and backup stays as it was for a
// later try.
TEST(IndexPack, ARollForwardThatCannotBuildTheIndexChangesNothing) {
    TempFolder dir;
    MakeIndexedTable(dir);
    PackInAProcessEndingAtRename(dir, 2, false);
    std::string index = ReadFileBytes(dir / "T.mdx");
    index[mdx::kTagsInUse] = index[mdx::kTagsInUse + 1] = 0;  // no tag definitions left
    WriteFileBytes(dir / "T.mdx", index);
    std::map<std::string, std::string> before;
    for (const auto& n : FileNamesIn(dir.Path()))
        before[n] = ReadFileBytes(dir / n);
    ASSERT_TRUE(AnyBackupLeft(dir.Path()));
    try {
        TTable t("Table2");
        OpenExclusive(t, dir);
        ADD_FAILURE() << "held";
    } catch (const EDBEngineError& e) {
        EXPECT_NE(e.Message().find("the packed table is kept"), std::string::npos) << e.Message();
    }
    std::map<std::string, std::string> after;
    for (const auto& n : FileNamesIn(dir.Path()))
        after[n] = ReadFileBytes(dir / n);
    EXPECT_TRUE(after == before);
}
