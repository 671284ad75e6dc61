// Shared and sole use across processes and inside one process: a held table refuses sole use
// to others, legacy dBASE byte-range locks (classic fcntl) refuse it too, shared users coexist,
// and closing one component's table never drops another's lock.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <memory>

#include "engine/EngineStatus.h"
#include "engine/TTable.h"
#include "engine/table/DbfFile.h"
#include "engine/table/TableLock.h"
#include "platform/Files.h"
#include "tests/support/ChildHolder.h"
#include "tests/support/TestFolders.h"

using namespace ari::engine;
using ari::test::TempFolder;

namespace {

using Holder = ari::test::ChildHolder;

void MakeTable(const std::string& path) {
    DbfWriter w(path, {{"NAME", 'C', 10, 0, 0}}, 0x83);
    w.Append({"a"});
    w.Finish();
    std::string dbt(512, '\0');
    dbt[0] = 1;
    ari::test::WriteFileBytes(ari::ExtractFilePath(path) + "T.DBT", dbt);
}

// Opens with the given mode; returns 0 or the engine status of the failure, and its message.
uint16_t TryOpen(const std::string& folder, bool exclusive, std::string* message = nullptr) {
    TTable t("T");
    t.SetDatabaseName(folder);
    t.SetTableName("T.DBF");
    t.SetExclusive(exclusive);
    try {
        t.Open();
    } catch (const EDBEngineError& e) {
        if (message)
            *message = e.Message();
        return e.ErrorCode();
    }
    return 0;
}

// A classic (process-owned) fcntl write lock, as a dBASE client takes it.
bool ClassicLock(const std::string& path, off_t start, off_t len) {
    const int fd = ::open(path.c_str(), O_RDWR);
    if (fd < 0)
        return false;
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = start;
    fl.l_len = len;
    return ::fcntl(fd, F_SETLK, &fl) == 0;  // fd stays open: the lock lives until the child ends
}

}  // namespace

TEST(TableLocks, AHeldTableRefusesSoleUseToAnotherProcessUntilItIsClosed) {
    for (bool holderExclusive : {false, true}) {
        SCOPED_TRACE(holderExclusive ? "holder exclusive" : "holder shared");
        TempFolder dir;
        MakeTable(dir / "T.DBF");
        static std::unique_ptr<TTable> held;  // lives in the child only
        Holder holder([&] {
            held = std::make_unique<TTable>("Held");
            held->SetDatabaseName(dir.Path());
            held->SetTableName("T.DBF");
            held->SetExclusive(holderExclusive);
            held->Open();
            return held->Active();
        });
        std::string message;
        EXPECT_EQ(TryOpen(dir.Path(), true, &message), kStatusTableInUse);
        EXPECT_NE(message.find(dir / "T.DBF"), std::string::npos) << message;
        EXPECT_NE(message.find("in use"), std::string::npos) << message;
        // Shared users coexist; sole use keeps everybody out.
        EXPECT_EQ(TryOpen(dir.Path(), false), holderExclusive ? kStatusTableInUse : 0);
        holder.Release();
        EXPECT_EQ(TryOpen(dir.Path(), true), 0);
    }
}

TEST(TableLocks, LegacyByteRangeLocksRefuseSoleUseButNotSharedUse) {
    struct Case {
        const char* name;
        const char* file;
        off_t start, len;
        uint16_t status;
        const char* mentions;
    } cases[] = {
        {"header lock", "T.DBF", 0xEFFFFFFE, 1, kStatusRecordsLocked, "locked the table"},
        {"whole-table lock", "T.DBF", 0xEFFFFFFE, 2, kStatusRecordsLocked, "locked the table"},
        {"record 5", "T.DBF", 0xEFFFFFFE - 5, 1, kStatusRecordsLocked, "record 5"},
        {"append lock", "T.DBF", 0xEFFFFFFF, 1, kStatusRecordsLocked, "locked"},
        {"memo file lock", "T.DBT", 0xEFFFFFFE, 1, kStatusRecordsLocked, "T.DBT"},
        {"whole file", "T.DBF", 0, 0, kStatusTableInUse, "sole use"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder dir;
        MakeTable(dir / "T.DBF");
        Holder holder([&] { return ClassicLock(dir / c.file, c.start, c.len); });
        std::string message;
        EXPECT_EQ(TryOpen(dir.Path(), true, &message), c.status) << message;
        EXPECT_NE(message.find(c.mentions), std::string::npos) << message;
        if (c.len != 0) {
            EXPECT_EQ(TryOpen(dir.Path(), false), 0);
        }
        holder.Release();
        EXPECT_EQ(TryOpen(dir.Path(), true), 0);
    }
}

TEST(TableLocks, ClosingOneComponentKeepsTheOthersLock) {
    TempFolder dir;
    MakeTable(dir / "T.DBF");
    TTable a("A"), b("B"), c("C");
    for (TTable* t : {&a, &b, &c}) {
        t->SetDatabaseName(dir.Path());
        t->SetTableName("T.DBF");
    }
    a.Open();
    b.Open();
    c.SetExclusive(true);
    std::string message;
    EXPECT_EQ(TryOpen(dir.Path(), true, &message), kStatusTableInUse);  // inside this process
    EXPECT_NE(message.find("this program"), std::string::npos) << message;
    b.Close();
    EXPECT_TRUE(ProcessHoldsTable(dir / "T.DBF"));
    // Another process still cannot take sole use: A's lock survived B's close.
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(TryOpen(dir.Path(), true) == kStatusTableInUse ? 0 : 1);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    a.Close();
    EXPECT_FALSE(ProcessHoldsTable(dir / "T.DBF"));
    c.Open();
    EXPECT_TRUE(c.Active());
    EXPECT_EQ(TryOpen(dir.Path(), false), kStatusTableInUse);
}
