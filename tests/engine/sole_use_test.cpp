// Sole use means that nobody else has the table, its index or its memo file open: a second
// process holding one of them open (plainly, with flock, or with a dBASE lock) makes pack and
// index build refuse and change nothing; an open that arrives while a pack runs undoes the pack
// and the opener's writes land in the live table; a simulated dBASE client editing against
// packs loses nothing. Run twice by ctest: with leases, and with ARI_SOLE_USE_PROOF=scan (the
// look through /proc that stands in where no lease can be had).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "engine/EngineErrors.h"
#include "engine/EngineStatus.h"
#include "engine/TTable.h"
#include "engine/table/DbfFile.h"
#include "engine/table/TableLock.h"
#include "platform/Env.h"
#include "platform/Files.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/ChildHolder.h"
#include "tests/support/TestFolders.h"

using namespace ari::engine;
using ari::test::TempFolder;

namespace {

constexpr int kIdLength = 8, kValueLength = 12;

bool ScanMode() {
    const char* v = std::getenv("ARI_SOLE_USE_PROOF");
    return v && std::strcmp(v, "scan") == 0;
}

// T.DBF (ID C(8), VAL C(12), NOTES M) with a memo file T.DBT and a production index T.mdx on
// ID; every fourth record deleted.
void MakeFixture(const TempFolder& dir, int records = 20) {
    {
        DbfWriter w(dir / "T.DBF",
                    {{"ID", 'C', kIdLength, 0, 0},
                     {"VAL", 'C', kValueLength, 0, 0},
                     {"NOTES", 'M', 10, 0, 0}},
                    0x83);
        for (int i = 0; i < records; ++i)
            w.Append({"R" + std::to_string(i), "v" + std::to_string(i), ""}, i % 4 == 1);
        w.Finish();
    }
    std::string dbt(512, '\0');
    dbt[0] = 1;
    ari::test::WriteFileBytes(dir / "T.DBT", dbt);
    TTable t("Table2");
    t.SetDatabaseName(dir.Path());
    t.SetTableName("T.DBF");
    t.AddIndex("ID", "ID", ixExpression);
}

void Pack(const std::string& folder) {
    TTable t("Table2");
    t.SetDatabaseName(folder);
    t.SetTableName("T.DBF");
    t.SetExclusive(true);
    t.Open();
    Check(EnginePack(t.DBHandle(), t.Handle(), nullptr, "DBASE", -1));
    t.Close();
}

void AddValueIndex(const std::string& folder) {
    TTable t("Table2");
    t.SetDatabaseName(folder);
    t.SetTableName("T.DBF");
    t.AddIndex("VAL", "VAL", ixExpression);
}

// The pack and an index build with `ops` in force from the engine's first write on.
void PackThrough(const std::string& folder, ari::Env& ops) {
    TTable t("Table2");
    t.SetDatabaseName(folder);
    t.SetTableName("T.DBF");
    t.SetExclusive(true);
    t.Open();
    const ari::ScopedEnvForTesting installed(&ops);
    Check(EnginePack(t.DBHandle(), t.Handle(), nullptr, "DBASE", -1));
}
void AddValueIndexThrough(const std::string& folder, ari::Env& ops) {
    const ari::ScopedEnvForTesting installed(&ops);
    AddValueIndex(folder);
}

// Every file of the folder (hidden ones included) with its bytes.
using Files = std::map<std::string, std::string>;
Files Snapshot(const std::string& folder) {
    Files out;
    for (const auto& name : ari::test::FileNamesIn(folder))
        out[name] = ari::test::ReadFileBytes(folder + name);
    return out;
}

// The names whose bytes differ, that appeared, or that went ("" when none).
std::string Changes(const Files& before, const Files& after) {
    std::string out;
    for (const auto& [name, bytes] : before) {
        const auto it = after.find(name);
        if (it == after.end())
            out += name + " gone; ";
        else if (it->second != bytes)
            out += name + " changed; ";
    }
    for (const auto& [name, bytes] : after)
        if (!before.count(name))
            out += name + " appeared; ";
    return out;
}

using Holder = ari::test::ChildHolder;

bool OfdLock(int fd, short type, off_t start, off_t len, bool wait) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = start;
    fl.l_len = len;
    return ::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl) == 0;
}

// The lines of /proc/locks that are leases on the file at `path` (its inode).
std::vector<std::string> LeasesOn(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return {};
    const std::string inode = ":" + std::to_string(st.st_ino) + " ";
    std::vector<std::string> out;
    std::ifstream in("/proc/locks");
    for (std::string line; std::getline(in, line);)
        if (line.find("LEASE") != std::string::npos && line.find(inode) != std::string::npos)
            out.push_back(line);
    return out;
}

}  // namespace

// The look through /proc clears only processes whose descriptors it can read: without root
// every other user's process counts as a holder, and nothing could be packed.
class SoleUse : public ::testing::Test {
  protected:
    void SetUp() override {
        if (ScanMode() && ::geteuid() != 0)
            GTEST_SKIP() << "the look through /proc needs root to see every process";
    }
};

TEST_F(SoleUse, AnotherProcessHoldingAnyFileOpenMakesPackAndIndexBuildRefuse) {
    struct Holding {
        const char* name;
        std::function<bool(int fd)> take;  // on the child's descriptor of the file
        uint16_t status;
    } holdings[] = {
        {"plain open", [](int) { return true; }, kStatusTableInUse},
        {"flock shared", [](int fd) { return ::flock(fd, LOCK_SH) == 0; }, kStatusTableInUse},
        {"OFD read lock at the dBASE record offset",
         [](int fd) { return OfdLock(fd, F_RDLCK, kDbaseLockBase - 1, 1, false); },
         kStatusRecordsLocked},
    };
    struct Operation {
        const char* name;
        std::function<void(const std::string&)> run;
    } operations[] = {{"pack", Pack}, {"add index", AddValueIndex}};
    for (const char* file : {"T.DBF", "T.DBT", "T.mdx"}) {
        for (const auto& h : holdings) {
            for (const auto& op : operations) {
                SCOPED_TRACE(std::string(file) + ", " + h.name + ", " + op.name);
                TempFolder dir;
                MakeFixture(dir);
                const auto before = Snapshot(dir.Path());
                Holder holder([&] {
                    const int fd = ::open((dir / file).c_str(), O_RDWR);
                    return fd >= 0 && h.take(fd);  // the descriptor stays open in the child
                });
                try {
                    op.run(dir.Path());
                    ADD_FAILURE() << "not refused";
                } catch (const EDBEngineError& e) {
                    EXPECT_EQ(e.ErrorCode(), h.status) << e.Message();
                    EXPECT_NE(e.Message().find(dir / file), std::string::npos) << e.Message();
                }
                EXPECT_EQ(Changes(before, Snapshot(dir.Path())), "");
                holder.Release();
                // The same operation goes ahead once nobody holds the file.
                EXPECT_NO_THROW(op.run(dir.Path()));
            }
        }
    }
}

namespace {

// Runs `hook` once, at the first call of the chosen kind, before doing the call.
class HookedOps : public ari::EnvWrapper {
  public:
    enum class At { Write, Fsync, Rename };
    HookedOps(At at, std::function<void()> hook)
        : EnvWrapper(ari::Env::Default()), at_(at), hook_(std::move(hook)) {}
    int64_t Write(ari::FileHandle fd, const void* data, size_t size) override {
        Fire(At::Write);
        return EnvWrapper::Write(fd, data, size);
    }
    int Sync(ari::FileHandle fd) override {
        Fire(At::Fsync);
        return EnvWrapper::Sync(fd);
    }
    int Rename(const std::string& from, const std::string& to) override {
        Fire(At::Rename);
        return EnvWrapper::Rename(from, to);
    }
    int RenameOverHeld(const std::string& from, const std::string& to,
                       ari::FileHandle held) override {
        Fire(At::Rename);
        return EnvWrapper::RenameOverHeld(from, to, held);
    }

  private:
    void Fire(At at) {
        if (at != at_ || fired_)
            return;
        fired_ = true;
        hook_();
    }
    At at_;
    std::function<void()> hook_;
    bool fired_ = false;
};

// A child that, when told, opens `file` of `folder` (which waits while a lease on it is being
// broken), says so; when told to go on, opens T.DBF as well if that was another file, waits for
// the dBASE lock of record 1, writes `value` into its VAL field and ends.
class LateOpener {
  public:
    LateOpener(const std::string& folder, const std::string& file, const std::string& value) {
        int go[2], opened[2];
        if (::pipe(go) != 0 || ::pipe(opened) != 0)
            throw std::runtime_error("pipe");
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(go[1]);
            ::close(opened[0]);
            char c;
            if (::read(go[0], &c, 1) != 1)
                ::_exit(2);
            const int first = ::open((folder + file).c_str(), O_RDWR);
            if (first < 0 || ::write(opened[1], "o", 1) != 1)
                ::_exit(3);
            if (::read(go[0], &c, 1) != 1)  // told to go on
                ::_exit(2);
            const int fd = file == "T.DBF" ? first : ::open((folder + "T.DBF").c_str(), O_RDWR);
            if (fd < 0 || !OfdLock(fd, F_WRLCK, kDbaseLockBase - 1, 1, true))
                ::_exit(4);
            uint8_t head[12];
            if (::pread(fd, head, sizeof head, 0) != sizeof head)
                ::_exit(5);
            const off_t headerLength = head[8] | (head[9] << 8);
            std::string field = value;
            field.resize(kValueLength, ' ');
            if (::pwrite(fd, field.data(), field.size(), headerLength + 1 + kIdLength) !=
                    static_cast<ssize_t>(field.size()) ||
                ::fsync(fd) != 0)
                ::_exit(6);
            ::_exit(0);
        }
        ::close(go[0]);
        ::close(opened[1]);
        goFd_ = go[1];
        openedFd_ = opened[0];
    }
    ~LateOpener() {
        ::close(goFd_);
        ::close(openedFd_);
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    void Go() { (void)::write(goFd_, "g", 1); }
    void GoOn() { (void)::write(goFd_, "g", 1); }
    // Waits until the child's open returned.
    bool Opened() {
        char c;
        return ::read(openedFd_, &c, 1) == 1;
    }
    int Wait() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

  private:
    pid_t pid_ = -1;
    int goFd_ = -1, openedFd_ = -1;
};

}  // namespace

TEST_F(SoleUse, ASecondOpenInThisProcessIsRefusedButTheEnginesOwnReadsAreNot) {
    TempFolder dir;
    MakeFixture(dir);
    const auto before = Snapshot(dir.Path());
    for (const char* file : {"T.DBF", "T.mdx"}) {
        SCOPED_TRACE(file);
        const int fd = ::open((dir / file).c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        try {
            Pack(dir.Path());
            ADD_FAILURE() << "not refused";
        } catch (const EDBEngineError& e) {
            EXPECT_EQ(e.ErrorCode(), kStatusTableInUse) << e.Message();
            EXPECT_NE(e.Message().find("This program"), std::string::npos) << e.Message();
        }
        ::close(fd);
        EXPECT_EQ(Changes(before, Snapshot(dir.Path())), "");
    }
    // The pack reads the table and the index while it holds them, and adds no open of its own.
    EXPECT_NO_THROW(Pack(dir.Path()));
    EXPECT_NO_THROW(AddValueIndex(dir.Path()));
    EXPECT_NO_THROW(Pack(dir.Path()));
}

TEST_F(SoleUse, AnOpenDuringPackOrIndexBuildUndoesItAndTheOpenersWritesPersist) {
    const auto pack = PackThrough;
    const auto addIndex = AddValueIndexThrough;
    // A new index in place of the old one, the header's language driver kept.
    const auto replaceIndexes = [](const std::string& folder, ari::Env& ops) {
        const auto language = static_cast<uint8_t>(ari::test::ReadFileBytes(folder + "T.DBF")[29]);
        TTable t("Table2");
        t.SetDatabaseName(folder);
        t.SetTableName("T.DBF");
        t.SetExclusive(true);
        t.Open();
        const ari::ScopedEnvForTesting installed(&ops);
        t.ReplaceIndexes({{"VAL", "VAL", ixExpression, ""}}, language);
    };
    struct Case {
        const char* name;
        std::function<void(const std::string&, ari::Env&)> run;
        HookedOps::At at;
        const char* file;  // the late opener opens it first
    } cases[] = {
        {"pack, table opened as the new table is begun", pack, HookedOps::At::Write, "T.DBF"},
        {"pack, table opened while the new files are written", pack, HookedOps::At::Fsync, "T.DBF"},
        {"pack, table opened between the last check and the rename", pack, HookedOps::At::Rename,
         "T.DBF"},
        {"pack, index opened between the last check and the rename", pack, HookedOps::At::Rename,
         "T.mdx"},
        {"add index, index opened between the last check and the rename", addIndex,
         HookedOps::At::Rename, "T.mdx"},
        {"add index, table opened between the last check and the rename", addIndex,
         HookedOps::At::Rename, "T.DBF"},
        {"replace indexes, table opened as the new index is begun", replaceIndexes,
         HookedOps::At::Write, "T.DBF"},
        {"replace indexes, index opened as the new index is flushed", replaceIndexes,
         HookedOps::At::Fsync, "T.mdx"},
        {"replace indexes, index opened between the last check and the rename", replaceIndexes,
         HookedOps::At::Rename, "T.mdx"},
        {"replace indexes, table opened between the last check and the rename", replaceIndexes,
         HookedOps::At::Rename, "T.DBF"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder dir;
        MakeFixture(dir);
        const auto before = Snapshot(dir.Path());
        LateOpener opener(dir.Path(), c.file, "from client");
        bool leaseBroken = false, sawLease = false;
        HookedOps ops(c.at, [&] {
            sawLease = !LeasesOn(dir / c.file).empty();
            opener.Go();
            if (ScanMode()) {
                opener.Opened();  // nothing holds it back
            } else {
                // The opener waits in open(2) while the lease is being broken.
                leaseBroken = ari::test::WaitUntil([&] {
                    for (const auto& l : LeasesOn(dir / c.file))
                        if (l.find("BREAK") != std::string::npos)
                            return true;
                    return false;
                });
            }
        });
        try {
            c.run(dir.Path(), ops);
            ADD_FAILURE() << "the change went ahead";
        } catch (const EDBEngineError& e) {
            EXPECT_EQ(e.ErrorCode(), kStatusTableInUse) << e.Message();
            EXPECT_NE(e.Message().find(dir / c.file), std::string::npos) << e.Message();
            EXPECT_EQ(e.Kind(), ari::ErrorKind::InUse);
            EXPECT_EQ(e.File(), dir / c.file);
        }
        // The old files, untouched, are the live ones; the opener gets its record lock now that
        // the table is closed, and writes.
        EXPECT_EQ(Changes(before, Snapshot(dir.Path())), "");
        if (ScanMode()) {
            EXPECT_FALSE(sawLease) << "a lease although the look through /proc was asked for";
        } else {
            EXPECT_TRUE(sawLease) << "no lease on " << c.file;
            EXPECT_TRUE(leaseBroken);
            EXPECT_TRUE(opener.Opened());
        }
        opener.GoOn();
        EXPECT_EQ(opener.Wait(), 0);
        const auto table = DbfFile::Open(dir / "T.DBF", ShareMode::Shared);
        EXPECT_EQ(table->ReadRecord(1).substr(1 + kIdLength, kValueLength), "from client ");
        // Nothing else changed, nothing left behind.
        EXPECT_EQ(Changes(before, Snapshot(dir.Path())), "T.DBF changed; ");
    }
}

// A program that renames a file of its own onto the table's or the index's name while the pack
// or an index build holds them (mv, rsync, an editor's "safe save", a file server's rename):
// that file is never renamed over. The change is given up and reported as another program's,
// the other file stays byte for byte under the name, and nothing else changes.
TEST_F(SoleUse, AFileRenamedOntoAHeldNameIsNeverOverwritten) {
    const auto pack = PackThrough;
    const auto addIndex = AddValueIndexThrough;
    struct Case {
        const char* name;
        std::function<void(const std::string&, ari::Env&)> run;
        const char* file;  // renamed onto
    } cases[] = {
        {"pack, onto the table", pack, "T.DBF"},
        {"pack, onto the index", pack, "T.mdx"},
        {"add index, onto the index", addIndex, "T.mdx"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder dir, elsewhere;
        MakeFixture(dir);
        const auto before = Snapshot(dir.Path());
        const std::string theirs = "a file of another program's, not a table";
        HookedOps ops(HookedOps::At::Rename, [&] {
            ari::test::WriteFileBytes(dir / "incoming.part", theirs);
            ASSERT_EQ(::rename((dir / "incoming.part").c_str(), (dir / c.file).c_str()), 0);
        });
        try {
            c.run(dir.Path(), ops);
            ADD_FAILURE() << "the change went ahead";
        } catch (const EDBEngineError& e) {
            EXPECT_EQ(e.ErrorCode(), kStatusTableInUse) << e.Message();
            EXPECT_NE(e.Message().find("Another program put another file under this name"),
                      std::string::npos)
                << e.Message();
            EXPECT_EQ(e.File(), dir / c.file);
        }
        EXPECT_EQ(ari::test::ReadFileBytes(dir / c.file), theirs);
        EXPECT_EQ(Changes(before, Snapshot(dir.Path())), std::string(c.file) + " changed; ");
    }
}

// A client that opens the table, writes without a lock and closes again between two looks
// through /proc leaves no descriptor to be found: the pack compares the old table with what it
// read before it renames and gives up ("table in use"), and the old table, with the client's
// write, stays the live one. With leases the client's open waits until the pack gave up.
TEST_F(SoleUse, AWriteWithoutALockBetweenTwoChecksMakesThePackGiveUp) {
    struct Case {
        const char* name;
        HookedOps::At at;
    } cases[] = {
        {"written after the read, as the new table is flushed", HookedOps::At::Fsync},
        {"written between the last check and the rename", HookedOps::At::Rename},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder dir;
        MakeFixture(dir);
        const std::string table = dir / "T.DBF";
        const auto before = Snapshot(dir.Path());
        pid_t client = -1;
        HookedOps ops(c.at, [&] {
            client = ::fork();
            if (client == 0) {
                const int fd = ::open(table.c_str(), O_RDWR);
                uint8_t head[12];
                if (fd < 0 || ::pread(fd, head, sizeof head, 0) != sizeof head)
                    ::_exit(2);
                const off_t headerLength = head[8] | (head[9] << 8);
                std::string field = "from client";
                field.resize(kValueLength, ' ');
                const bool written =
                    ::pwrite(fd, field.data(), field.size(), headerLength + 1 + kIdLength) ==
                    static_cast<ssize_t>(field.size());
                ::close(fd);
                ::_exit(written ? 0 : 3);
            }
            if (ScanMode()) {  // nothing holds it back: it has written and gone
                int status = 0;
                ::waitpid(client, &status, 0);
                client = -1;
                ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
            } else {  // its open waits while the lease is being broken
                EXPECT_TRUE(ari::test::WaitUntil([&] {
                    for (const auto& l : LeasesOn(table))
                        if (l.find("BREAK") != std::string::npos)
                            return true;
                    return false;
                }));
            }
        });
        try {
            TTable t("Table2");
            t.SetDatabaseName(dir.Path());
            t.SetTableName("T.DBF");
            t.SetExclusive(true);
            t.Open();
            const ari::ScopedEnvForTesting installed(&ops);
            Check(EnginePack(t.DBHandle(), t.Handle(), nullptr, "DBASE", -1));
            ADD_FAILURE() << "packed over the client's write";
        } catch (const EDBEngineError& e) {
            EXPECT_EQ(e.ErrorCode(), kStatusTableInUse) << e.Message();
            EXPECT_EQ(e.Kind(), ari::ErrorKind::InUse);
            EXPECT_EQ(e.File(), table);
            EXPECT_NE(e.Message().find(table), std::string::npos) << e.Message();
        }
        if (client > 0) {
            int status = 0;
            ::waitpid(client, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        }
        // The old table is the live one, with every record and the client's write; nothing else
        // changed and nothing is left behind.
        EXPECT_EQ(Changes(before, Snapshot(dir.Path())), "T.DBF changed; ");
        const auto t = DbfFile::Open(table, ShareMode::Shared);
        EXPECT_EQ(t->RecordCount(), 20u);
        EXPECT_EQ(t->ReadRecord(1).substr(1 + kIdLength, kValueLength), "from client ");
    }
}

namespace {

// A simulated dBASE client: opens the table, takes the table lock at the dBASE offset for each
// change, edits, appends and deletes records keyed by ID, keeps its descriptor across a run of
// changes and then closes it for a while; keeps a model of what it believes the table holds and
// writes it to `result` at the end ("L id value" for live records, "D id" for deleted ones, "M n"
// for changes it found missing itself, "W n" for the appends and edits it made).
void RunClient(const std::string& table, const std::string& result, int stopFd, unsigned seed) {
    std::mt19937 rng(seed);
    std::map<std::string, std::string> live;
    std::set<std::string> deleted;
    int missing = 0, nextId = 0, fd = -1, sessionLeft = 5, writes = 0;
    bool first = true;
    auto field = [](std::string s, size_t n) {
        s.resize(n, ' ');
        return s;
    };
    for (int step = 0;; ++step) {
        char c;
        if (::read(stopFd, &c, 1) >= 0 && !first)
            break;  // told to stop (or the parent is gone)
        if (fd < 0 && (fd = ::open(table.c_str(), O_RDWR)) < 0)
            ::_exit(10);
        if (!OfdLock(fd, F_WRLCK, kDbaseLockBase, 1, true))
            ::_exit(11);
        uint8_t head[12];
        if (::pread(fd, head, sizeof head, 0) != sizeof head)
            ::_exit(12);
        const uint32_t count =
            head[4] | (head[5] << 8) | (head[6] << 16) | (uint32_t(head[7]) << 24);
        const off_t headerLength = head[8] | (head[9] << 8);
        const size_t rl = head[10] | (head[11] << 8);
        std::string records(count * rl, '\0');
        if (::pread(fd, records.data(), records.size(), headerLength) !=
            static_cast<ssize_t>(records.size()))
            ::_exit(13);
        std::map<std::string, uint32_t> where;  // live id -> record index
        for (uint32_t i = 0; i < count; ++i) {
            const std::string rec = records.substr(i * rl, rl);
            std::string id = rec.substr(1, kIdLength);
            id.erase(id.find_last_not_of(' ') + 1);
            if (rec[0] != '*')
                where[id] = i;
        }
        if (first) {  // the client's model starts from what it first sees
            for (const auto& [id, i] : where) {
                std::string v = records.substr(i * rl + 1 + kIdLength, kValueLength);
                v.erase(v.find_last_not_of(' ') + 1);
                live[id] = v;
            }
            first = false;
        }
        const int op = static_cast<int>(rng() % 10);
        if (op < 3 || live.empty()) {  // append
            const std::string id = "C" + std::to_string(nextId++);
            const std::string value = "a" + std::to_string(step);
            std::string rec = " " + field(id, kIdLength) + field(value, kValueLength);
            rec.resize(rl, ' ');
            rec += '\x1A';
            uint8_t newCount[4] = {uint8_t(count + 1), uint8_t((count + 1) >> 8),
                                   uint8_t((count + 1) >> 16), uint8_t((count + 1) >> 24)};
            if (::pwrite(fd, rec.data(), rec.size(), headerLength + off_t(count) * off_t(rl)) !=
                    static_cast<ssize_t>(rec.size()) ||
                ::pwrite(fd, newCount, 4, 4) != 4)
                ::_exit(14);
            live[id] = value;
            ++writes;
        } else {
            auto it = live.begin();
            std::advance(it, rng() % live.size());
            const std::string id = it->first;
            const auto found = where.find(id);
            if (found == where.end()) {
                ++missing;  // the client's own check: what it wrote is not there
                live.erase(it);
            } else if (op < 8) {  // edit
                const std::string value = "e" + std::to_string(step);
                const std::string v = field(value, kValueLength);
                if (::pwrite(fd, v.data(), v.size(),
                             headerLength + off_t(found->second) * off_t(rl) + 1 + kIdLength) !=
                    static_cast<ssize_t>(v.size()))
                    ::_exit(15);
                it->second = value;
                ++writes;
            } else {  // delete
                if (::pwrite(fd, "*", 1, headerLength + off_t(found->second) * off_t(rl)) != 1)
                    ::_exit(16);
                live.erase(it);
                deleted.insert(id);
            }
        }
        OfdLock(fd, F_UNLCK, kDbaseLockBase, 1, false);
        // The descriptor is kept across a run of changes (a session), then closed for a while.
        if (--sessionLeft <= 0) {
            ::close(fd);
            fd = -1;
            sessionLeft = 5 + static_cast<int>(rng() % 36);
            ::usleep(50000 + rng() % 200000);
        } else {
            ::usleep(rng() % 3000);
        }
    }
    std::ofstream out(result);
    for (const auto& [id, v] : live)
        out << "L " << id << " " << v << "\n";
    for (const auto& id : deleted)
        out << "D " << id << "\n";
    out << "M " << missing << "\n";
    out << "W " << writes << "\n";
    out.close();
    ::_exit(out ? 0 : 17);
}

}  // namespace

TEST_F(SoleUse, AClientEditingAgainstRepeatedPacksLosesNothing) {
    TempFolder dir;
    MakeFixture(dir, 40);
    int stop[2];
    ASSERT_EQ(::pipe(stop), 0);
    ASSERT_EQ(::fcntl(stop[0], F_SETFL, O_NONBLOCK), 0);
    const std::string result = dir / "client.txt";
    const pid_t client = ::fork();
    if (client == 0) {
        ::close(stop[1]);
        RunClient(dir / "T.DBF", result, stop[0], 20261210);
    }
    ::close(stop[0]);
    int packed = 0, refused = 0;
    std::mt19937 rng(7);
    // Six seconds, longer (up to fifteen) until a few packs went ahead; on a loaded machine, where
    // the client's pauses may all be shorter than a pack, up to a minute until one did.
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        const auto elapsed = std::chrono::steady_clock::now() - start;
        if (elapsed > std::chrono::seconds(60) ||
            (elapsed > std::chrono::seconds(15) && packed >= 1) ||
            (elapsed > std::chrono::seconds(6) && packed >= 3))
            break;
        ::usleep(100000 + rng() % 200000);
        try {
            Pack(dir.Path());
            ++packed;
        } catch (const EDBEngineError& e) {
            ASSERT_TRUE(e.ErrorCode() == kStatusTableInUse || e.ErrorCode() == kStatusRecordsLocked)
                << e.Message();
            ++refused;
        }
    }
    ::close(stop[1]);  // end of file: the client stops
    int status = 0;
    ::waitpid(client, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    std::map<std::string, std::string> inTable;  // live records of the table
    {
        const auto t = DbfFile::Open(dir / "T.DBF", ShareMode::Shared);
        DbfFile::Scanner scan(*t);
        while (const uint8_t* r = scan.Next()) {
            if (r[0] == '*')
                continue;
            std::string id(reinterpret_cast<const char*>(r) + 1, kIdLength);
            std::string v(reinterpret_cast<const char*>(r) + 1 + kIdLength, kValueLength);
            id.erase(id.find_last_not_of(' ') + 1);
            v.erase(v.find_last_not_of(' ') + 1);
            inTable[id] = v;
        }
    }
    int live = 0, writes = 0, deletes = 0, lostWrites = 0, lostDeletes = 0, missing = 0;
    std::ifstream in(result);
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string kind, id, value;
        fields >> kind >> id >> value;
        if (kind == "L") {
            ++live;
            const auto it = inTable.find(id);
            lostWrites += it == inTable.end() || it->second != value;
        } else if (kind == "D") {
            ++deletes;
            lostDeletes += inTable.count(id) > 0;
        } else if (kind == "M") {
            missing = std::stoi(id);
        } else if (kind == "W") {
            writes = std::stoi(id);
        }
    }
    std::cout << "packs " << packed << ", refused " << refused << "; appends and edits " << writes
              << ", records whose last write is lost " << lostWrites << " of " << live
              << "; deletes " << deletes << " (lost " << lostDeletes
              << "); changes the client found missing " << missing << "\n";
    EXPECT_GT(packed, 0) << "no pack went ahead: the soak proved nothing";
    EXPECT_GT(live, 0);
    EXPECT_GT(writes, 0);
    EXPECT_EQ(lostWrites, 0);
    EXPECT_EQ(lostDeletes, 0);
    EXPECT_EQ(missing, 0);
}
