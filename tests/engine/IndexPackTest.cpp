// The pack of a table with a production index, as the files are replaced: the new table and
// index are the files held for sole use afterwards.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

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
