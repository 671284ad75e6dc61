// autoreindex-run as a real process: a copy of the program in a folder of its own with its
// settings file and a stand-in quser beside it, over a live folder made by maketemplates; what
// it leaves is read back with readers we did not write (python3-dbfread, Perl XBase::Index).
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>

#include "platform/Files.h"
#include "platform/RunMarker.h"
#include "runner/ScheduleTick.h"
#include "sessions/SessionListing.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/engine/IndexTestSupport.h"
#include "tests/maintenance/run_fixtures.h"
#include "tests/support/TestFolders.h"

namespace {

namespace fs = std::filesystem;
using ari::test::CommandResult;
using ari::test::ReadFileBytes;
using ari::test::RunCommand;
using ari::test::ShellQuote;
using ari::test::TempFolder;
using ari::test::WriteFileBytes;

const std::string kBin = ARI_BIN_DIR;

// One row of a session listing, cut at the listing's fixed columns.
std::string ListingRow(const std::string& user, const std::string& session, int id,
                       const std::string& state) {
    auto pad = [](std::string s, size_t n) {
        s.resize(n, ' ');
        return s;
    };
    std::string idText = std::to_string(id);
    return pad(user, 23) + pad(session, 19) + pad(std::string(4 - idText.size(), ' ') + idText, 4) +
           " " + pad(state, 8) + "  .  1/1/2026 1:00 AM\n";
}

const std::string kListingHeader =
    " USERNAME              SESSIONNAME        ID  STATE   IDLE TIME  LOGON TIME\n";

void WriteScript(const std::string& path, const std::string& body) {
    WriteFileBytes(path, "#!/bin/sh\n" + body);
    fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
}

std::vector<std::string> Tables(const std::string& folder) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(folder)) {
        const std::string name = e.path().filename().string();
        if (e.is_regular_file() && ari::MatchesMask(name, "*.dbf"))
            out.push_back(name);
    }
    std::sort(out.begin(), out.end());
    return out;
}

// The program's folder (a copy of autoreindex-run, its settings, a quser that lists `sessions`
// active sessions), a template folder and a live folder.
struct RunnerFolder {
    TempFolder dir;
    std::string app = dir / "app/";
    std::string tmpl = dir / "mdx/";
    std::string live = dir / "live/";

    explicit RunnerFolder(const std::string& operations = "Transfer=0\nReindex=-1\nPack=-1\n") {
        fs::create_directory(app);
        fs::create_directory(live);
        fs::copy_file(kBin + "/autoreindex-run", app + "autoreindex-run");
        WriteFileBytes(app + "Setting_VorelIndex.ini", "[Setting]\nSource=" + tmpl +
                                                           "\nDest=" + live + "\n" + operations +
                                                           "Begin=00:00:00\nEnd=23:59:59\n");
        Sessions(1);
    }
    void Sessions(int active, int disconnected = 0) {
        std::string listing = kListingHeader;
        for (int i = 0; i < active; ++i)
            listing += ListingRow((i == 0 ? ">user" : "user") + std::to_string(i),
                                  "rdp-tcp#" + std::to_string(i), i + 1, "Active");
        for (int i = 0; i < disconnected; ++i)
            listing += ListingRow("gone" + std::to_string(i), "", i + 10, "Disc");
        WriteFileBytes(app + "listing.txt", listing);
        WriteScript(app + "quser", "cat '" + app + "listing.txt'\n");
    }
    // The template set and the demo live folder (stale, current and missing indexes; about one
    // record in nine deleted).
    void MakeDemo() {
        ASSERT_EQ(RunCommand(kBin + "/maketemplates --archive " + ShellQuote(dir / "t.zip") +
                             " --keep " + ShellQuote(tmpl) + " >/dev/null 2>&1")
                      .exitCode,
                  0);
        fs::remove_all(live);
        ASSERT_EQ(
            RunCommand(kBin + "/maketemplates --demo " + ShellQuote(live) + " >/dev/null 2>&1")
                .exitCode,
            0);
    }
    CommandResult Run(const std::string& arguments) const {
        return RunCommand("cd / && " + ShellQuote(app + "autoreindex-run") + " " + arguments);
    }
    std::string Journal() const { return ReadFileBytes(app + "autoreindex.log"); }
};

// Live and deleted record counts of a table as dbfread sees it.
std::pair<int, int> DbfreadCounts(const std::string& table) {
    int live = 0, deleted = 0;
    for (const std::string& l : ari::test::DbfreadRecords(table)) {
        live += l.rfind("L", 0) == 0 ? 1 : 0;
        deleted += l.rfind("D", 0) == 0 ? 1 : 0;
    }
    return {live, deleted};
}

bool ReadersAvailable() {
    return ari::test::PythonModuleAvailable("dbfread") && ari::test::PerlIndexReaderAvailable();
}

const std::regex kStamped(R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d .*)");

TEST(Runner, NowRebuildsAndPacksTheLiveFolderAsOtherReadersSeeIt) {
    if (!ReadersAvailable())
        GTEST_SKIP() << "python3-dbfread or Perl XBase::Index is not installed";
    RunnerFolder f;
    f.MakeDemo();
    std::map<std::string, std::pair<int, int>> before;
    for (const std::string& t : Tables(f.live))
        before[t] = DbfreadCounts(f.live + t);
    ASSERT_GT(before.size(), 30u);

    const CommandResult r = f.Run("--now --verify");
    ASSERT_EQ(r.exitCode, 0) << r.output;

    // Every line on standard output carries the date and time (not a terminal: no bar).
    const std::vector<std::string> out = ari::test::SplitLines(r.output);
    for (const std::string& l : out)
        EXPECT_TRUE(std::regex_match(l, kStamped)) << l;
    EXPECT_NE(r.output.find(" ---Start reindex Time: \""), std::string::npos);
    EXPECT_NE(r.output.find(" ---Pack has successfully Time: \""), std::string::npos);
    EXPECT_EQ(r.output.find("\\\\\\"), std::string::npos) << r.output;
    EXPECT_FALSE(fs::exists(f.app + "reindexing"));

    const std::string journal = f.Journal();
    int indexed = 0;
    for (const auto& [table, counts] : before) {
        SCOPED_TRACE(table);
        // dbfread: the live records are all there, the deleted ones gone.
        EXPECT_EQ(DbfreadCounts(f.live + table), std::make_pair(counts.first, 0));
        EXPECT_NE(r.output.find("---Packing " + table + " ... "), std::string::npos);
        EXPECT_NE(r.output.find("---Verify " + table + " OK"), std::string::npos);
        // The summary line of the table: records before and after, the deleted ones removed.
        const std::string summary = "table " + table + ": operations ";
        const size_t at = journal.find(summary);
        ASSERT_NE(at, std::string::npos);
        const std::string line = journal.substr(at, journal.find('\n', at) - at);
        EXPECT_NE(line.find("; records " + std::to_string(counts.first + counts.second) + " -> " +
                            std::to_string(counts.first) + "; deleted records removed " +
                            std::to_string(counts.second) + ";"),
                  std::string::npos)
            << line;
        EXPECT_NE(line.find("; result ok; verify ok"), std::string::npos) << line;
        // Perl's index reader walks every tag in the order of the records it lists.
        const std::string mdx = f.live + table.substr(0, table.size() - 4) + ".mdx";
        if (!fs::exists(mdx))
            continue;
        ++indexed;
        const std::vector<std::string> tags = ari::test::PerlTags(mdx);
        EXPECT_FALSE(tags.empty());
        for (const std::string& tag : tags)
            EXPECT_EQ(ari::test::PerlOrder(mdx, tag).size(), static_cast<size_t>(counts.first))
                << tag;
    }
    EXPECT_GT(indexed, 30);
    EXPECT_NE(journal.find("total time "), std::string::npos);
    EXPECT_NE(journal.find(" s; result ok\n"), std::string::npos);
    // Every log line in the journal carries its date and time too.
    EXPECT_NE(journal.find(" ---Start reindex Time: "), std::string::npos);
    for (const std::string& l : ari::test::SplitLines(journal))
        if (l.find("---") != std::string::npos && l.rfind("===", 0) != 0) {
            EXPECT_TRUE(std::regex_match(l, kStamped)) << l;
        }
}

TEST(Runner, SessionGateCountsTheListingOfTheQuserBesideIt) {
    RunnerFolder f("Transfer=0\nReindex=0\nPack=-1\n");
    ari::test::MakeTable(f.live + "items.dbf", ari::test::StandardRows());
    const std::string original = ReadFileBytes(f.live + "items.dbf");
    struct Case {
        const char* what;
        int active, disconnected;
        const char* options;
        int exitCode;
        bool packed;
    };
    const Case cases[] = {
        {"two active sessions", 2, 0, "--now", 3, false},
        {"one active, two disconnected", 1, 2, "--now", 3, false},
        {"two sessions, gate ignored", 2, 0, "--now --ignore-sessions", 0, true},
        {"only our own session", 1, 0, "--now", 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteFileBytes(f.live + "items.dbf", original);
        f.Sessions(c.active, c.disconnected);
        const CommandResult r = f.Run(c.options);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.output;
        EXPECT_EQ(ReadFileBytes(f.live + "items.dbf") != original, c.packed);
        if (c.exitCode == 3) {
            EXPECT_NE(r.output.find("\\\\\\There are " + std::to_string(c.active + c.disconnected) +
                                    " users connected to the server. Time: \""),
                      std::string::npos)
                << r.output;
        }
    }
}

// A listing that failed is never "nobody connected": the pass waits as with too many sessions
// and the log says why. The tools' own "nobody logged on" (on standard error, exit 1) is no
// failure: the pass runs.
TEST(Runner, SessionListingThatFailedHoldsThePass) {
    RunnerFolder f("Transfer=0\nReindex=0\nPack=-1\n");
    ari::test::MakeTable(f.live + "items.dbf", ari::test::StandardRows());
    const std::string original = ReadFileBytes(f.live + "items.dbf");
    struct Case {
        const char* what;
        std::string quser;  // script body; "" for no quser at all
        std::string why;    // the reason the log gives; "" when the pass runs
    };
    const Case cases[] = {
        {"no quser", "", "the session tool quser could not be started"},
        {"error exit without a word", "exit 1\n", "quser printed nothing"},
        {"error exit with a message", "echo 'Error [5]:Access is denied.' >&2\nexit 1\n",
         "quser printed no session listing: \"Error [5]:Access is denied.\""},
        {"garbage", "echo 'Segmentation fault'\n",
         "quser printed no session listing: \"Segmentation fault\""},
        {"never answers", "exec sleep 6\n", "quser did not answer in time"},
        {"nobody logged on", "echo 'No User exists for *' >&2\nexit 1\n", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteFileBytes(f.live + "items.dbf", original);
        fs::remove(f.app + "quser");
        if (!c.quser.empty())
            WriteScript(f.app + "quser", c.quser);
        const CommandResult r = f.Run("--now");
        const bool held = !c.why.empty();
        EXPECT_EQ(r.exitCode, held ? 3 : 0) << r.output;
        EXPECT_EQ(ReadFileBytes(f.live + "items.dbf") != original, !held);
        if (held) {
            EXPECT_NE(r.output.find("\\\\\\The sessions cannot be listed (" + c.why +
                                    "): no pass until they can. Time: \""),
                      std::string::npos)
                << r.output;
            EXPECT_EQ(r.output.find("---Start reindex"), std::string::npos) << r.output;
        }
    }
}

// Another pass holds the marker (a second process, as the window or another runner holds it
// for its whole pass): the runner says so, exits with its own code and touches nothing.
TEST(Runner, RefusesToRunBesideAnotherPass) {
    RunnerFolder f("Transfer=0\nReindex=0\nPack=-1\n");
    ari::test::MakeTable(f.live + "items.dbf", ari::test::StandardRows());
    const std::string original = ReadFileBytes(f.live + "items.dbf");
    int ready[2];
    int release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    const pid_t holder = fork();
    if (holder == 0) {
        ari::RunMarker marker;
        marker.Create(f.app + "reindexing");
        char c = 1;
        (void)!write(ready[1], &c, 1);
        (void)!read(release[0], &c, 1);
        marker.CloseAndRemove();
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);

    const CommandResult r = f.Run("--now");
    EXPECT_EQ(r.exitCode, 4) << r.output;
    EXPECT_NE(r.output.find("\\\\\\Another pass is running on these tables."), std::string::npos)
        << r.output;
    EXPECT_EQ(r.output.find("---Packing"), std::string::npos);
    EXPECT_EQ(ReadFileBytes(f.live + "items.dbf"), original);
    EXPECT_TRUE(fs::exists(f.app + "reindexing"));  // the holder's marker stays

    (void)!write(release[1], &c, 1);
    int status = 0;
    ASSERT_EQ(waitpid(holder, &status, 0), holder);
    // Once the other pass has ended, the runner runs.
    const CommandResult again = f.Run("--now");
    EXPECT_EQ(again.exitCode, 0) << again.output;
    EXPECT_NE(ReadFileBytes(f.live + "items.dbf"), original);
}

// An error names the table it stopped at; the exit code says it failed; the journal's summary
// keeps the failure.
TEST(Runner, AnErrorNamesItsTableAndEndsWithTheErrorCode) {
    RunnerFolder f("Transfer=0\nReindex=0\nPack=-1\n");
    ari::test::MakeTable(f.live + "a.dbf", ari::test::StandardRows());
    ari::test::MakeTable(f.live + "b.dbf", ari::test::StandardRows());
    ari::test::MakeTable(f.live + "c.dbf", ari::test::StandardRows());
    const std::string c = ReadFileBytes(f.live + "c.dbf");
    // Another program reads b: its pack, which needs the table alone, must not go ahead.
    const ari::test::ForeignLock reader(f.live + "b.dbf", 'r');
    const CommandResult r = f.Run("--now");
    EXPECT_EQ(r.exitCode, 1) << r.output;
    EXPECT_NE(r.output.find("\\\\\\Error in table b.dbf: \""), std::string::npos) << r.output;
    EXPECT_EQ(ReadFileBytes(f.live + "c.dbf"), c);  // the later table untouched
    const std::string journal = f.Journal();
    EXPECT_NE(journal.find("table b.dbf: operations pack;"), std::string::npos) << journal;
    EXPECT_NE(journal.find("; result failed: "), std::string::npos) << journal;
    EXPECT_NE(journal.find("s; result failed: "), std::string::npos) << journal;
}

// The index rebuild reads no memo: a table whose memo file lost its blocks goes through the
// pass, and only the check after it finds the fault.
TEST(Runner, VerifyNamesATableThatFailsItsCheck) {
    RunnerFolder f("Transfer=0\nReindex=-1\nPack=0\n");
    fs::create_directory(f.tmpl);
    ari::test::MakeTable(f.tmpl + "items.dbf", {});
    ASSERT_EQ(RunCommand(kBin + "/dbtool index " + ShellQuote(f.tmpl + "items.dbf") +
                         " BYID ID >/dev/null")
                  .exitCode,
              0);
    ari::test::MakeTable(f.live + "items.dbf", ari::test::StandardRows());
    ari::test::MakeTable(f.live + "other.dbf", ari::test::StandardRows());
    fs::resize_file(f.live + "items.dbt", 512);  // the memo blocks are gone

    const CommandResult unchecked = f.Run("--now");
    EXPECT_EQ(unchecked.exitCode, 0) << unchecked.output;
    const CommandResult r = f.Run("--now --verify");
    EXPECT_EQ(r.exitCode, 5) << r.output;
    EXPECT_NE(r.output.find("\\\\\\Verify items.dbf failed: \"FAULT (memos): "), std::string::npos)
        << r.output;
    EXPECT_EQ(r.output.find("other.dbf"), std::string::npos) << "not in the pass: not checked";
    const std::string journal = f.Journal();
    EXPECT_NE(journal.find("tags rebuilt BYID;"), std::string::npos) << journal;
    EXPECT_NE(journal.find("; result ok; verify FAULT (memos): "), std::string::npos) << journal;
    EXPECT_NE(journal.find("s; result ok, verify failed"), std::string::npos) << journal;
}

// A stop asked for during the pack of a big table lets that table finish and packs no other:
// the big table is whole and packed, the next one whole and untouched, the marker gone.
TEST(Runner, SigtermStopsBetweenTablesLeavingEachTableWhole) {
    if (!ari::test::PythonModuleAvailable("dbfread"))
        GTEST_SKIP() << "python3-dbfread is not installed";
    RunnerFolder f("Transfer=0\nReindex=0\nPack=-1\n");
    std::vector<ari::test::FixtureRow> rows;
    // Large enough that its pack lasts well beyond the moment the SIGTERM arrives, even on a
    // loaded machine: the signal must come while a.dbf is being packed.
    for (int i = 0; i < 300000; ++i)
        rows.push_back({std::to_string(i % 100000), "name " + std::to_string(i),
                        i % 3 == 0 ? std::string(300, 'n') : std::string(), i % 4 == 1});
    ari::test::MakeTable(f.live + "a.dbf", rows);
    ari::test::MakeTable(f.live + "b.dbf", ari::test::StandardRows());
    const std::string b = ReadFileBytes(f.live + "b.dbf");
    const auto aBefore = DbfreadCounts(f.live + "a.dbf");

    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        execl((f.app + "autoreindex-run").c_str(), "autoreindex-run", "--now",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string seen;
    char buf[4096];
    bool signalled = false;
    for (;;) {
        const ssize_t n = read(out[0], buf, sizeof buf);
        if (n <= 0)
            break;
        seen.append(buf, static_cast<size_t>(n));
        if (!signalled && seen.find("---Packing a.dbf ... ") != std::string::npos) {
            kill(child, SIGTERM);
            signalled = true;
        }
    }
    close(out[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(signalled) << seen;
    ASSERT_TRUE(WIFEXITED(status)) << "ended by a signal: " << seen;
    EXPECT_EQ(WEXITSTATUS(status), 6) << seen;
    EXPECT_NE(seen.find("\\\\\\Stopped on request after table a.dbf"), std::string::npos) << seen;
    EXPECT_EQ(seen.find("---Packing b.dbf"), std::string::npos) << seen;
    EXPECT_EQ(DbfreadCounts(f.live + "a.dbf"), std::make_pair(aBefore.first, 0));
    EXPECT_EQ(ReadFileBytes(f.live + "b.dbf"), b);
    EXPECT_FALSE(fs::exists(f.app + "reindexing"));
    EXPECT_NE(f.Journal().find("s; result stopped on request"), std::string::npos) << f.Journal();
}

// A SIGTERM ends the schedule at once with exit code 0. Armed, it says so on standard output,
// stamped as the log lines: its time window, its folders and when its first tick comes; stopped
// before any tick, it says that too.
TEST(Runner, ScheduleEndsCleanlyOnSigterm) {
    struct Case {
        const char* tickMs;  // ARI_TEST_SCHEDULE_TICK_MS; "" : unset
        int tickSeconds;
    } cases[] = {{"", 60}, {"5000", 5}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tickMs);
        RunnerFolder f("Transfer=0\nReindex=0\nPack=-1\nBegin=01:00:00\nEnd=05:30:00\n");
        const std::string outPath = f.dir / "out.txt";
        const pid_t child = fork();
        if (child == 0) {
            const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int devnull = open("/dev/null", O_WRONLY);
            dup2(out, STDOUT_FILENO);
            dup2(devnull, STDERR_FILENO);
            if (*c.tickMs)
                setenv(ari::runner::kTestTickVariable, c.tickMs, 1);
            else
                unsetenv(ari::runner::kTestTickVariable);
            execl((f.app + "autoreindex-run").c_str(), "autoreindex-run", "--schedule",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (ReadFileBytes(outPath).find("schedule armed") == std::string::npos &&
               std::chrono::steady_clock::now() < deadline)
            usleep(20 * 1000);
        ASSERT_EQ(kill(child, SIGTERM), 0);
        int status = 0;
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);

        const std::vector<std::string> lines = ari::test::SplitLines(ReadFileBytes(outPath));
        ASSERT_EQ(lines.size(), 2u) << ReadFileBytes(outPath);
        for (const std::string& l : lines)
            EXPECT_TRUE(std::regex_match(l, kStamped)) << l;
        const std::string& armed = lines[0];
        EXPECT_NE(armed.find(" schedule armed: passes from 01:00:00 to 05:30:00; live folder " +
                             f.live + "; template folder " + f.tmpl + "; next tick at "),
                  std::string::npos)
            << armed;
        EXPECT_NE(armed.find(" (in " + std::to_string(c.tickSeconds) + " s)"), std::string::npos)
            << armed;
        // The next tick is the line's own time plus one interval (a second's leeway).
        std::smatch m;
        ASSERT_TRUE(std::regex_search(
            armed, m, std::regex(R"(^\S+ (\d\d):(\d\d):(\d\d) .* at (\d\d):(\d\d):(\d\d) )")))
            << armed;
        const auto seconds = [&m](int first) {
            return std::stoi(m[first]) * 3600 + std::stoi(m[first + 1]) * 60 +
                   std::stoi(m[first + 2]);
        };
        const int ahead = (seconds(4) - seconds(1) + 86400) % 86400;
        EXPECT_GE(ahead, c.tickSeconds - 1) << armed;
        EXPECT_LE(ahead, c.tickSeconds + 1) << armed;
        EXPECT_NE(lines[1].find(" schedule stopped on request"), std::string::npos) << lines[1];
        EXPECT_EQ(lines[1].find("during a pass"), std::string::npos) << lines[1];
        // Neither line is a log line: the journal has no pass and neither of them.
        EXPECT_EQ(f.Journal().find("schedule "), std::string::npos) << f.Journal();
    }
}

// On a terminal the bar follows the engine within a table: the table's name, the tables done
// of the pass's count and its records done, rising to the total, redrawn in place.
TEST(Runner, OnATerminalTheBarFollowsTheRecordsOfTheTableInProgress) {
    RunnerFolder f("Transfer=0\nReindex=0\nPack=-1\n");
    constexpr int kRecords = 40000;
    std::vector<ari::test::FixtureRow> rows;
    for (int i = 0; i < kRecords; ++i)
        rows.push_back({std::to_string(i % 99999), "name " + std::to_string(i), "", i % 5 == 1});
    ari::test::MakeTable(f.live + "big.dbf", rows);
    ari::test::MakeTable(f.live + "small.dbf", ari::test::StandardRows());

    int terminal = -1;
    const pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
    ASSERT_GE(child, 0);
    if (child == 0) {
        execl((f.app + "autoreindex-run").c_str(), "autoreindex-run", "--now",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    std::string seen;
    char buf[4096];
    for (;;) {
        const ssize_t n = read(terminal, buf, sizeof buf);
        if (n <= 0)
            break;  // EIO once the program has ended
        seen.append(buf, static_cast<size_t>(n));
    }
    close(terminal);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << seen;
    EXPECT_EQ(WEXITSTATUS(status), 0) << seen;

    // Each drawing of the bar follows a carriage return; the records figures of big.dbf rise
    // from 0 past a figure between the ends up to the total.
    const std::regex bigBar(R"(\] 0/2 pack big\.dbf (\d+)/(\d+) records)");
    std::vector<long> done;
    for (auto it = std::sregex_iterator(seen.begin(), seen.end(), bigBar);
         it != std::sregex_iterator(); ++it) {
        EXPECT_EQ(std::stol((*it)[2]), kRecords);
        done.push_back(std::stol((*it)[1]));
    }
    ASSERT_GE(done.size(), 3u) << seen;
    EXPECT_EQ(done.front(), 0);
    EXPECT_TRUE(std::is_sorted(done.begin(), done.end())) << seen;
    EXPECT_TRUE(std::any_of(done.begin(), done.end(), [](long d) { return d > 0 && d < kRecords; }))
        << seen;
    EXPECT_NE(seen.find("] 1/2 pack small.dbf"), std::string::npos) << seen;
    EXPECT_NE(seen.find("\r\033[K"), std::string::npos) << "the bar is redrawn in place";
    // The log lines still come whole, each on its own line, with the date and time.
    EXPECT_NE(seen.find(" ---Packing big.dbf ... "), std::string::npos) << seen;
    EXPECT_NE(seen.find(" ---Pack has successfully Time: \""), std::string::npos) << seen;
}

size_t Occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// The schedule as the service runs it, its tick shortened for the test: the session monitor
// lists the sessions and logs off the disconnected one; the tick holds the pass back while two
// sessions count and starts it once one does; later ticks of the same day start no second
// pass; SIGTERM ends the schedule with exit code 0, the tables whole and packed.
TEST(Runner, ScheduleRunsOnePassAfterTheMonitorLogsOffTheDisconnectedSession) {
    if (!ari::test::PythonModuleAvailable("dbfread"))
        GTEST_SKIP() << "python3-dbfread is not installed";
    RunnerFolder f("Transfer=0\nReindex=0\nPack=-1\n");
    ari::test::MakeTable(f.live + "a.dbf", ari::test::StandardRows());
    ari::test::MakeTable(f.live + "b.dbf", ari::test::StandardRows());
    const auto before = DbfreadCounts(f.live + "a.dbf");
    ASSERT_GT(before.second, 0);
    // Our own session and a disconnected one; the logoff stand-in writes down what it was
    // given. The disconnected session goes from the listing once a tick has been held back.
    f.Sessions(1);
    const std::string alone = ReadFileBytes(f.app + "listing.txt");
    f.Sessions(1, 1);
    WriteScript(f.app + "logoff", "echo \"$@\" >> '" + f.app + "logoff.txt'\n");

    constexpr int kTickMs = 300;
    const std::string outPath = f.dir / "out.txt", errPath = f.dir / "err.txt";
    const pid_t child = fork();
    if (child == 0) {
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        setenv(ari::runner::kTestTickVariable, std::to_string(kTickMs).c_str(), 1);
        execl((f.app + "autoreindex-run").c_str(), "autoreindex-run", "--schedule",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    // Until the pass's summary is in the journal, then four more ticks.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    bool sessionGone = false;
    while (f.Journal().find("s; result ok\n") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        if (!sessionGone &&
            ReadFileBytes(outPath).find("There are 2 users connected") != std::string::npos) {
            // Whole at every moment for the quser stand-in that reads it.
            WriteFileBytes(f.app + "alone.txt", alone);
            fs::rename(f.app + "alone.txt", f.app + "listing.txt");
            sessionGone = true;
        }
        usleep(50 * 1000);
    }
    usleep(4 * kTickMs * 1000);
    ASSERT_EQ(kill(child, SIGTERM), 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    const std::string out = ReadFileBytes(outPath);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by a signal: " << out;
    EXPECT_EQ(WEXITSTATUS(status), 0) << out;
    EXPECT_NE(ReadFileBytes(errPath).find(ari::runner::kTestTickVariable), std::string::npos)
        << "a shortened tick is announced";

    // The monitor logged off session 10, the disconnected one, at each listing that showed
    // it, and nothing else.
    const std::vector<std::string> logoffs =
        ari::test::SplitLines(ReadFileBytes(f.app + "logoff.txt"));
    EXPECT_FALSE(logoffs.empty());
    for (const std::string& l : logoffs)
        EXPECT_EQ(l, std::string("10 /server:") + ari::kSessionServer);
    // Two sessions held a tick back; a later tick started the one pass of the day.
    const size_t held = out.find("\\\\\\There are 2 users connected to the server. Time: \"");
    const size_t started = out.find(" ---Start reindex Time: \"");
    ASSERT_NE(held, std::string::npos) << out;
    ASSERT_NE(started, std::string::npos) << out;
    EXPECT_LT(held, started) << out;
    EXPECT_EQ(Occurrences(out, "---Start reindex Time: "), 1u) << out;
    EXPECT_EQ(Occurrences(out, "---Packing a.dbf ... "), 1u) << out;
    EXPECT_EQ(Occurrences(out, " ---Pack has successfully Time: \""), 1u) << out;
    EXPECT_GE(Occurrences(out.substr(started), "---Checking... Time: \""), 2u)
        << "ticks went on after the pass: " << out;
    for (const std::string& l : ari::test::SplitLines(out))
        EXPECT_TRUE(std::regex_match(l, kStamped)) << l;
    // Armed before the first tick, stopped after the last.
    const std::vector<std::string> outLines = ari::test::SplitLines(out);
    ASSERT_GE(outLines.size(), 2u);
    EXPECT_NE(outLines.front().find(" schedule armed: passes from 00:00:00 to 23:59:59; "),
              std::string::npos)
        << out;
    EXPECT_EQ(Occurrences(out, " schedule armed: "), 1u) << out;
    EXPECT_LT(out.find(" schedule armed: "), held) << out;
    EXPECT_NE(outLines.back().find(" schedule stopped on request"), std::string::npos) << out;

    const std::string journal = f.Journal();
    EXPECT_EQ(Occurrences(journal, "table a.dbf: operations pack;"), 1u) << journal;
    EXPECT_EQ(Occurrences(journal, "table b.dbf: operations pack;"), 1u) << journal;
    EXPECT_EQ(Occurrences(journal, "total time "), 1u) << journal;
    EXPECT_NE(journal.find(" s; result ok\n"), std::string::npos) << journal;
    EXPECT_NE(journal.find(" ---Start reindex Time: "), std::string::npos) << journal;

    EXPECT_EQ(DbfreadCounts(f.live + "a.dbf"), std::make_pair(before.first, 0));
    EXPECT_EQ(DbfreadCounts(f.live + "b.dbf"), std::make_pair(before.first, 0));
    EXPECT_FALSE(fs::exists(f.app + "reindexing"));
}

TEST(Runner, CommandLineAndHelp) {
    RunnerFolder f;
    const CommandResult help = f.Run("--help");
    EXPECT_EQ(help.exitCode, 0);
    for (const char* word :
         {"--now", "--schedule", "--settings", "--ignore-sessions", "--verify", "--journal",
          "--history [N]", "--version", "schedule armed", "another pass is running"})
        EXPECT_NE(help.output.find(word), std::string::npos) << word;
    for (const char* bad :
         {"", "--now --schedule", "--bogus --now", "--now --settings", "--history 0",
          "--history ten", "--history --now", "--schedule --history 3", "--history 1234567"})
        EXPECT_EQ(f.Run(std::string(bad) + " 2>/dev/null").exitCode, 2) << bad;
    // --settings and --journal name other places.
    ari::test::MakeTable(f.live + "items.dbf", ari::test::StandardRows());
    WriteFileBytes(f.dir / "other.ini",
                   "[Setting]\nDest=" + f.live + "\nPack=-1\nReindex=0\nTransfer=0\n");
    fs::create_directory(f.dir / "journal");
    const CommandResult r = f.Run("--now --settings " + ShellQuote(f.dir / "other.ini") +
                                  " --journal " + ShellQuote(f.dir / "journal"));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(ReadFileBytes(f.dir / "journal/autoreindex.log").find("table items.dbf: "),
              std::string::npos);
    EXPECT_FALSE(fs::exists(f.app + "autoreindex.log"));
}

// --history: the passes of the journal and of its rotated files, oldest first, the last N of
// them; the older heading's date is shown in the newer form. Without a journal it says so. It
// runs no pass and exits 0 either way.
TEST(Runner, HistoryShowsTheLastPassesOfTheJournalAndItsOlderFiles) {
    RunnerFolder f("Transfer=0\nReindex=0\nPack=-1\n");
    const std::vector<ari::test::FixtureRow> rows = ari::test::StandardRows();
    ari::test::MakeTable(f.live + "items.dbf", rows);
    const long deleted = std::count_if(rows.begin(), rows.end(),
                                       [](const ari::test::FixtureRow& r) { return r.deleted; });
    ASSERT_GT(deleted, 0);
    const std::string original = ReadFileBytes(f.live + "items.dbf");

    const CommandResult none = f.Run("--history");
    EXPECT_EQ(none.exitCode, 0) << none.output;
    EXPECT_EQ(none.output, "No run journal at " + f.app + "autoreindex.log: no pass to show.\n");
    EXPECT_EQ(ReadFileBytes(f.live + "items.dbf"), original);  // no pass ran

    // Two older files, the older heading in the oldest, then the journal with a real pass.
    WriteFileBytes(
        f.app + "autoreindex.log.2",
        "09/12/2026 01:00:00 ---Start reindex Time: \"01:00:00\"\n"
        "=== Pass summary 09/12/2026 01:00:09 (" +
            f.live +
            ")\n"
            "table items.dbf: operations pack; records 9 -> 7; deleted records removed 2; "
            "tags rebuilt none; bytes 900 -> 700; time 0.50 s; result ok\n"
            "total time 9.00 s; result ok\n");
    WriteFileBytes(
        f.app + "autoreindex.log.1",
        "=== Pass summary 2026-12-10 01:00:03 (" + f.live +
            ")\n"
            "table items.dbf: operations pack; records 7 -> 7; deleted records removed 0; "
            "tags rebuilt none; table bytes 700 -> 700; time 0.20 s; result ok\n"
            "total time 3.00 s; result failed: I/O error 32\n");
    const CommandResult pass = f.Run("--now");
    ASSERT_EQ(pass.exitCode, 0) << pass.output;

    const std::regex today(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d +\d+\.\d\d s +1 +)" +
                           std::to_string(deleted) + "  ok");
    struct Case {
        std::string args;
        std::vector<std::string> olderRows;  // before today's pass
    } cases[] = {
        {"--history",
         {"2026-12-09 01:00:09      9.00 s       1                2  ok",
          "2026-12-10 01:00:03      3.00 s       1                0  failed: I/O error 32"}},
        {"--history 3",
         {"2026-12-09 01:00:09      9.00 s       1                2  ok",
          "2026-12-10 01:00:03      3.00 s       1                0  failed: I/O error 32"}},
        {"--history 2",
         {"2026-12-10 01:00:03      3.00 s       1                0  failed: I/O error 32"}},
        {"--history 1", {}},
        {"--history 1 --journal " + f.app, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        const CommandResult r = f.Run(c.args);
        EXPECT_EQ(r.exitCode, 0) << r.output;
        const std::vector<std::string> lines = ari::test::SplitLines(r.output);
        ASSERT_EQ(lines.size(), 3 + c.olderRows.size()) << r.output;
        EXPECT_EQ(lines[0], "Passes in " + f.app + "autoreindex.log and its older files, oldest " +
                                "first (the last " + std::to_string(1 + c.olderRows.size()) +
                                " of 3):");
        EXPECT_EQ(lines[1], "date                   duration  tables  records removed  result");
        for (size_t i = 0; i < c.olderRows.size(); ++i)
            EXPECT_EQ(lines[2 + i], c.olderRows[i]);
        EXPECT_TRUE(std::regex_match(lines.back(), today)) << lines.back();
    }

    // Another folder with no journal in it.
    fs::create_directory(f.dir / "empty");
    const CommandResult elsewhere = f.Run("--history --journal " + ShellQuote(f.dir / "empty"));
    EXPECT_EQ(elsewhere.exitCode, 0);
    EXPECT_NE(elsewhere.output.find("No run journal at " + (f.dir / "empty")), std::string::npos)
        << elsewhere.output;
}

// The server's programs load no Qt library at all: a server without a desktop installs none.
TEST(Runner, ServerProgramsLoadNoQtLibrary) {
    for (const std::string& program :
         {kBin + "/autoreindex-run", kBin + "/dbtool", std::string(ARI_TOOLS_BIN_DIR) + "/quser",
          std::string(ARI_TOOLS_BIN_DIR) + "/logoff"}) {
        const CommandResult r = RunCommand("ldd " + ShellQuote(program));
        ASSERT_EQ(r.exitCode, 0) << program;
        EXPECT_NE(r.output.find("libc.so"), std::string::npos) << r.output;  // ldd did read it
        EXPECT_EQ(r.output.find("libQt"), std::string::npos) << program << "\n" << r.output;
    }
}

// A settings file that cannot drive a pass ends the runner at once with the usage code and a
// line naming the file (and the key at fault): never an empty pass reported as "result ok".
TEST(Runner, SettingsThatCannotBeUsedAreAUsageErrorNamingFileAndKey) {
    struct Case {
        const char* what;
        std::string settings;  // "" : no settings file at all
        std::vector<std::string> said;
    };
    const Case cases[] = {
        {"no settings file", "", {"does not exist"}},
        {"no live folder", "[Setting]\nDest=\nPack=-1\n", {"key Dest in"}},
        {"no operation",
         "[Setting]\nDest=/tmp\nPack=0\nReindex=0\nTransfer=0\n",
         {"No operation is chosen"}},
        {"a time that is none",
         "[Setting]\nDest=/tmp\nPack=-1\nEnd=25:00\n",
         {"'25:00' is not a valid time (key End in"}},
        {"a flag that is none",
         "[Setting]\nDest=/tmp\nPack=maybe\n",
         {"'maybe' is not a valid boolean value (key Pack in"}},
    };
    for (const Case& c : cases) {
        for (const char* mode : {"--now", "--schedule"}) {
            SCOPED_TRACE(std::string(c.what) + " " + mode);
            RunnerFolder f;
            const std::string file = f.dir / "typo.ini";
            if (!c.settings.empty())
                WriteFileBytes(file, c.settings);
            // Bounded: a schedule that took such settings would run on for good.
            const CommandResult r =
                RunCommand("cd / && timeout 60 " + ShellQuote(f.app + "autoreindex-run") + " " +
                           mode + " --ignore-sessions --settings " + ShellQuote(file));
            EXPECT_EQ(r.exitCode, 2) << r.output;
            EXPECT_NE(r.output.find(file), std::string::npos) << r.output;
            for (const std::string& words : c.said)
                EXPECT_NE(r.output.find(words), std::string::npos) << r.output;
            EXPECT_EQ(f.Journal().find("result ok"), std::string::npos) << f.Journal();
        }
    }
}

// --settings and --journal given relative are the caller's: taken from the folder the runner
// was started in, though the pass moves the current folder. A journal folder that does not
// exist is made; one that cannot be written is an error with its own exit code.
TEST(Runner, RelativePathsAreTheCallersAndTheJournalIsWrittenOrSaidUnwritable) {
    RunnerFolder f;
    ari::test::MakeTable(f.live + "items.dbf", ari::test::StandardRows());
    fs::create_directory(f.dir / "work");
    WriteFileBytes(f.dir / "work/mine.ini",
                   "[Setting]\nDest=" + f.live + "\nPack=-1\nReindex=0\nTransfer=0\n");
    const CommandResult r = RunCommand(
        "cd " + ShellQuote(f.dir / "work") + " && " + ShellQuote(f.app + "autoreindex-run") +
        " --now --ignore-sessions --settings mine.ini --journal logs/nightly");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(ReadFileBytes(f.dir / "work/logs/nightly/autoreindex.log").find("table items.dbf: "),
              std::string::npos)
        << r.output;

    // A folder in the journal's place cannot hold it; a file in the folder's place cannot be
    // made a folder.
    WriteFileBytes(f.dir / "work/blocked", "a file, not a folder");
    fs::create_directories(f.dir / "work/taken/autoreindex.log");
    for (const char* journal : {"blocked", "taken"}) {
        SCOPED_TRACE(journal);
        const CommandResult bad = RunCommand(
            "cd " + ShellQuote(f.dir / "work") + " && " + ShellQuote(f.app + "autoreindex-run") +
            " --now --ignore-sessions --settings mine.ini --journal " + journal);
        EXPECT_EQ(bad.exitCode, 7) << bad.output;
        EXPECT_NE(bad.output.find("cannot be written"), std::string::npos) << bad.output;
    }
}

}  // namespace
