// The quser and logoff programs of build/tests-bin against utmp fixture files and a fake loginctl,
// never the machine's own sessions. Processes of the fixtures are real, in sessions of their
// own, so that logoff's hang-up signal has something to end.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utmp.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <thread>

#include "sessions/standins/LoginSessions.h"
#include "tests/support/SessionFixtures.h"
#include "tests/support/TestFolders.h"

extern char** environ;

namespace {

using ari::test::FixtureSession;
using ari::test::Gone;
using ari::test::ReadFileBytes;
using ari::test::TempFolder;
using ari::test::UtmpRecord;
using ari::test::WaitUntilGone;
using ari::test::WriteFileBytes;

struct Result {
    int exitCode = -1;
    std::string out, err;
};

// Runs a program of build/bin, with `env` added to (or, for empty values, removed from) the
// environment; in a process session of its own (so that no fixture session is ever its own)
// unless `inThisSession`; in `workingFolder` when one is given.
Result RunTool(const TempFolder& dir, const std::string& tool, const std::vector<std::string>& args,
               const std::map<std::string, std::string>& env, bool inThisSession = false,
               const std::string& workingFolder = "") {
    const std::string program = std::string(ARI_TOOLS_BIN_DIR) + "/" + tool;
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> envs;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string key = entry.substr(0, entry.find('='));
        if (!env.count(key))
            envs.push_back(entry);
    }
    for (const auto& [k, v] : env) {
        if (!v.empty())
            envs.push_back(k + "=" + v);
    }
    std::vector<char*> cargv, cenv;
    for (auto& a : argv)
        cargv.push_back(a.data());
    cargv.push_back(nullptr);
    for (auto& e : envs)
        cenv.push_back(e.data());
    cenv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, (dir / "out.txt").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, (dir / "err.txt").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!workingFolder.empty())
        posix_spawn_file_actions_addchdir_np(&actions, workingFolder.c_str());
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    if (!inThisSession)
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
    pid_t pid = -1;
    Result r;
    if (posix_spawn(&pid, program.c_str(), &actions, &attr, cargv.data(), cenv.data()) == 0) {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    r.out = ReadFileBytes(dir / "out.txt");
    r.err = ReadFileBytes(dir / "err.txt");
    return r;
}

constexpr long kLogon = 1765350000;       // 10/12/2025 07:00 UTC
constexpr pid_t kNoProcess = 0x7ffffff0;  // above any pid_max

class SessionTools : public ::testing::Test {
  protected:
    std::map<std::string, std::string> UtmpEnv() {
        return {{"ARI_UTMP_FILE", dir / "utmp"}, {"TZ", "UTC"}};
    }
    TempFolder dir;
};

TEST_F(SessionTools, QuserListsTheLiveSessionsOfAUtmpFile) {
    FixtureSession left(false), active(true);
    ASSERT_GT(left.member, 0);
    ASSERT_TRUE(Gone(left.leader));
    // The active session's line is a local display, which has no terminal device whose access
    // time would show as idle time.
    WriteFileBytes(
        dir / "utmp",
        UtmpRecord(BOOT_TIME, 0, 0, "~", "reboot", kLogon) +
            UtmpRecord(USER_PROCESS, active.leader, 0, ":0", "operator", kLogon) +
            UtmpRecord(DEAD_PROCESS, 5, 0, "pts/9", "", kLogon) +
            UtmpRecord(USER_PROCESS, kNoProcess, kNoProcess, "pts/8", "ghost", kLogon) +
            UtmpRecord(USER_PROCESS, left.leader, left.leader, "pts/977", "clerk2", kLogon + 1800));
    const Result r = RunTool(dir, "quser", {"/server:127.0.0.1"}, UtmpEnv());
    EXPECT_EQ(r.exitCode, 0) << r.err;
    // Ids are the records' slots; dead and stale records are left out.
    EXPECT_EQ(
        r.out,
        " USERNAME              SESSIONNAME        ID  STATE   IDLE TIME  LOGON TIME\n"
        " operator              console             2  Active          .  10/12/2025 07:00\n"
        " clerk2                                    5  Disc            .  10/12/2025 07:30\n");
    EXPECT_EQ(r.err, "");
}

TEST_F(SessionTools, QuserMarksTheSessionItRunsIn) {
    // The second record is the session this test runs in, with this (live) process in it.
    FixtureSession active(true);
    WriteFileBytes(dir / "utmp",
                   UtmpRecord(USER_PROCESS, active.leader, 0, ":0", "operator", kLogon) +
                       UtmpRecord(USER_PROCESS, getpid(), getsid(0), "pts/978", "tester", kLogon));
    const Result r = RunTool(dir, "quser", {}, UtmpEnv(), true);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(
        r.out,
        " USERNAME              SESSIONNAME        ID  STATE   IDLE TIME  LOGON TIME\n"
        " operator              console             1  Active          .  10/12/2025 07:00\n"
        ">tester                pts/978             2  Active          .  10/12/2025 07:00\n");
}

TEST_F(SessionTools, QuserWithoutSessionsSaysSoAndFails) {
    struct Case {
        const char* name;
        bool writeFile;
        std::string bytes;
    };
    const Case cases[] = {
        {"no utmp file", false, ""},
        {"empty utmp file", true, ""},
        {"only stale and dead records", true,
         UtmpRecord(USER_PROCESS, kNoProcess, 0, "pts/1", "ghost", kLogon) +
             UtmpRecord(DEAD_PROCESS, 1, 0, "pts/2", "", kLogon)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        unlink((dir / "utmp").c_str());
        if (c.writeFile)
            WriteFileBytes(dir / "utmp", c.bytes);
        const Result r = RunTool(dir, "quser", {}, UtmpEnv());
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "No User exists for *\n");
    }
}

TEST_F(SessionTools, QuserAndLogoffRefuseOtherServersAndBadArguments) {
    WriteFileBytes(dir / "utmp", UtmpRecord(USER_PROCESS, 1, 0, "tty1", "operator", kLogon));
    struct Case {
        const char* tool;
        std::vector<std::string> args;
        std::string err;
    };
    const Case cases[] = {
        {"quser", {"/server:10.0.0.9"}, "Only the local machine can be queried, not 10.0.0.9\n"},
        {"quser", {"/Server:db1"}, "Only the local machine can be queried, not db1\n"},
        {"quser", {"someone"}, "Usage: quser [/server:127.0.0.1]\n"},
        {"logoff", {}, "Usage: logoff ID [/server:127.0.0.1]\n"},
        {"logoff", {"/server:127.0.0.1"}, "Usage: logoff ID [/server:127.0.0.1]\n"},
        {"logoff", {"3", "4"}, "Usage: logoff ID [/server:127.0.0.1]\n"},
        {"logoff", {"abc", "/server:127.0.0.1"}, "Invalid session ID: abc\n"},
        {"logoff", {"-1"}, "Invalid session ID: -1\n"},
        {"logoff",
         {"3", "/server:10.0.0.9"},
         "Only sessions of the local machine can be logged off, not 10.0.0.9\n"},
        {"logoff", {"4242", "/server:127.0.0.1"}, "No session exists for ID 4242\n"},
        // A record whose leader is init is never signalled.
        {"logoff", {"1", "/server:127.0.0.1"}, "Session 1 cannot be logged off\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.tool) + " " + (c.args.empty() ? "" : c.args[0]));
        const Result r = RunTool(dir, c.tool, c.args, UtmpEnv());
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
    }
}

TEST_F(SessionTools, LogoffOfAnUnknownIdLeavesEverySessionAlone) {
    FixtureSession left(false), active(true);
    WriteFileBytes(dir / "utmp",
                   UtmpRecord(USER_PROCESS, left.leader, left.leader, "pts/77", "clerk2", kLogon) +
                       UtmpRecord(USER_PROCESS, active.leader, 0, "pts/78", "clerk3", kLogon));
    for (const char* unknown : {"3", "4242", "0"}) {
        const Result r = RunTool(dir, "logoff", {unknown, "/server:127.0.0.1"}, UtmpEnv());
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err, "No session exists for ID " + std::string(unknown) + "\n");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(Gone(left.member));
    EXPECT_FALSE(Gone(active.leader));
    EXPECT_FALSE(Gone(active.member));
}

TEST_F(SessionTools, LogoffHangsUpADisconnectedSession) {
    FixtureSession left(false), other(false);
    WriteFileBytes(
        dir / "utmp",
        UtmpRecord(USER_PROCESS, left.leader, left.leader, "pts/77", "clerk2", kLogon) +
            UtmpRecord(USER_PROCESS, other.leader, other.leader, "pts/79", "clerk4", kLogon));
    const Result r = RunTool(dir, "logoff", {"1", "/server:127.0.0.1"}, UtmpEnv());
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(WaitUntilGone(left.member));
    EXPECT_FALSE(Gone(other.member));
}

TEST_F(SessionTools, LogoffRefusesASessionThatIsNotDisconnected) {
    // The user of slot 1 has come back (its leader lives again) since the listing showed it
    // disconnected; slot 2 is the session that is still left.
    FixtureSession active(true), left(false);
    WriteFileBytes(
        dir / "utmp",
        UtmpRecord(USER_PROCESS, active.leader, active.leader, "pts/78", "clerk3", kLogon) +
            UtmpRecord(USER_PROCESS, left.leader, left.leader, "pts/77", "clerk2", kLogon));
    const Result r = RunTool(dir, "logoff", {"1", "/server:127.0.0.1"}, UtmpEnv());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "Session 1 is not disconnected: only a disconnected session is logged off\n");
    EXPECT_EQ(r.out, "");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(Gone(active.leader));
    EXPECT_FALSE(Gone(active.member));
    EXPECT_FALSE(Gone(left.member));
}

// systemd-logind through a fake loginctl first on PATH.
class LogindTools : public SessionTools {
  protected:
    void SetUp() override {
        const std::string script =
            "#!/bin/sh\n"
            "case \"$1\" in\n"
            "list-sessions) printf '      3 1000 clerk2 seat0 tty2\\n     c1    0 root\\n"
            "     12 1001 clerk3\\n      7  115 gdm seat0 tty1\\n' ;;\n"
            "show-session) case \"$2\" in\n"
            "  3) printf 'Id=3\\nName=clerk2\\nTTY=tty2\\nSeat=seat0\\nRemote=no\\nState=active\\n"
            "Class=user\\nTimestamp=Wed 2025-12-10 07:00:00 UTC\\nIdleHint=no\\n' ;;\n"
            "  c1) printf 'Id=c1\\nName=root\\nState=closing\\nClass=user\\n' ;;\n"
            "  12) printf 'Id=12\\nName=clerk3\\nTTY=pts/0\\nRemote=yes\\nState=closing\\n"
            "Class=user\\nTimestamp=Wed 2025-12-10 08:15:00 UTC\\n' ;;\n"
            "  7) printf 'Id=7\\nName=gdm\\nState=active\\nClass=greeter\\n' ;;\n"
            "  *) echo \"Failed to get session path: No session '$2' known\" >&2; exit 1 ;;\n"
            "  esac ;;\n"
            "terminate-session) echo \"$2\" >> '" +
            (dir / "terminated") +
            "' ;;\n"
            "*) exit 1 ;;\n"
            "esac\n";
        WriteFileBytes(bin / "loginctl", script);
        chmod((bin / "loginctl").c_str(), 0755);
        const char* path = std::getenv("PATH");
        env = {{"PATH", bin.Path() + ":" + (path ? path : "/usr/bin:/bin")},
               {"ARI_UTMP_FILE", ""},
               {"XDG_SESSION_ID", "3"}};
    }
    TempFolder bin;
    std::map<std::string, std::string> env;
};

TEST_F(LogindTools, QuserListsUserSessionsClosingOnesAsDisconnected) {
    const Result r = RunTool(dir, "quser", {"/server:127.0.0.1"}, env);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(
        r.out,
        " USERNAME              SESSIONNAME        ID  STATE   IDLE TIME  LOGON TIME\n"
        ">clerk2                console             3  Active          .  10/12/2025 07:00\n"
        " root                                     c1  Disc            .\n"
        " clerk3                                   12  Disc            .  10/12/2025 08:15\n");
}

TEST_F(LogindTools, LoginctlInTheCurrentFolderIsNeverRun) {
    // An empty PATH entry means the current folder: a loginctl planted there must not run.
    WriteFileBytes(dir / "loginctl", "#!/bin/sh\ntouch planted-ran\nexit 1\n");
    chmod((dir / "loginctl").c_str(), 0755);
    env["PATH"] = ":/usr/bin:/bin";
    RunTool(dir, "quser", {}, env, false, dir.Path());
    RunTool(dir, "logoff", {"3"}, env, false, dir.Path());
    EXPECT_FALSE(std::ifstream(dir / "planted-ran").good());
}

TEST_F(LogindTools, LogoffTerminatesKnownSessionsOnly) {
    Result r = RunTool(dir, "logoff", {"12", "/server:127.0.0.1"}, env);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    r = RunTool(dir, "logoff", {"99", "/server:127.0.0.1"}, env);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "No session exists for ID 99\n");
    EXPECT_EQ(ReadFileBytes(dir / "terminated"), "12\n");
}

TEST_F(LogindTools, LogoffRefusesSessionsThatAreNotDisconnected) {
    // 3: an active user session; 7: a greeter, which quser never lists.
    for (const char* id : {"3", "7"}) {
        SCOPED_TRACE(id);
        const Result r = RunTool(dir, "logoff", {id, "/server:127.0.0.1"}, env);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err, "Session " + std::string(id) +
                             " is not disconnected: only a disconnected session is logged off\n");
    }
    EXPECT_EQ(ReadFileBytes(dir / "terminated"), "");
}

}  // namespace
