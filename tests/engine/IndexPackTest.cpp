// The pack of a table with a production index, as the files are replaced: the new table and
// index are the files held for sole use afterwards, and they keep the permissions and owners of
// the files they replace.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "engine/DbfFile.h"
#include "engine/EngineErrors.h"
#include "engine/FileOps.h"
#include "engine/TTable.h"
#include "engine/TableFiles.h"
#include "engine/TableLock.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/engine/IndexTestSupport.h"
#include "tests/support/TestFolders.h"

using namespace ari::engine;
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
    EXPECT_EQ(AllNames(dir.Path()), (std::vector<std::string>{"T.DBF", "T.mdx"}));
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
