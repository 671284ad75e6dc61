// The session monitor tick on the real window through the real chain: the real process starter
// runs a fake quser first on PATH and reads its output; a fake logoff records its calls.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utmp.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <thread>

#include <QCoreApplication>
#include <QTime>
#include <QTimer>

#include "app/uMain.h"
#include "platform/Dialogs.h"
#include "platform/Files.h"
#include "tests/support/SessionFixtures.h"
#include "tests/support/TestFolders.h"

namespace {

using ari::test::FixtureSession;
using ari::test::Gone;
using ari::test::ReadFileBytes;
using ari::test::TempFolder;
using ari::test::UtmpRecord;
using ari::test::WaitForFile;
using ari::test::WaitUntilGone;
using ari::test::WriteFileBytes;

// Stands in for the 3000 ms wait: returns as soon as the fake quser has finished writing
// (it creates its marker last), bounded, so no test depends on timing.
class QuserDoneSleeper final : public ari::Sleeper {
  public:
    explicit QuserDoneSleeper(std::string marker) : marker(std::move(marker)) {}
    void Sleep(unsigned ms) override {
        requested.push_back(ms);
        if (waitForQuser)
            WaitForFile(marker);
    }
    std::string marker;  // the file whose appearance ends the wait
    bool waitForQuser = true;
    std::vector<unsigned> requested;
};

// The real starter, with every call recorded in order; `beforeStart` runs just before each
// start, as another user's program could run at that moment.
class RecordingStarter final : public ari::ProcessStarter {
  public:
    bool Start(const std::string& file, const std::string& parameters) override {
        Record(file, parameters);
        return ari::DefaultEnvironment().starter->Start(file, parameters);
    }
    std::unique_ptr<ari::ProgramOutput> StartReadingOutput(const std::string& file,
                                                           const std::string& parameters) override {
        Record(file, parameters);
        return ari::DefaultEnvironment().starter->StartReadingOutput(file, parameters);
    }
    std::vector<std::string> calls;
    bool throwOnStart = false;
    std::function<void()> beforeStart;

  private:
    void Record(const std::string& file, const std::string& parameters) {
        calls.push_back(file + "|" + parameters);
        if (throwOnStart)
            throw std::runtime_error("cannot start");
        if (beforeStart)
            beforeStart();
    }
};

class FixedClock final : public ari::Clock {
  public:
    ari::TDateTime Now() override { return ari::EncodeDateTime(2026, 12, 10, 12, 0, 0); }
};

const char kHeader[] =
    " USERNAME              SESSIONNAME        ID  STATE   IDLE TIME  LOGON TIME\r\n";
// The six-line example listing, padded to the fixed columns.
const std::string kExample =
    std::string(kHeader) +
    ">operator              console             1  Active      .  10/12/2026 07:00\r\n"
    " clerk1                rdp-tcp#2           2  Active      5  10/12/2026 08:00\r\n"
    " clerk2                                    3  Disc     1:02  10/12/2026 08:30\r\n"
    " clerk3                                    4  Down        .  10/12/2026 09:00\r\n"
    " clerk4                                    5  Disc        7  10/12/2026 09:30\r\n";

class SessionMonitor : public ::testing::Test {
  protected:
    void SetUp() override {
        ari::Dialogs().showMessage = [this](const std::string& t) { boxes.push_back(t); };
        ari::Dialogs().showError = [this](const std::string& t) { boxes.push_back(t); };
        ari::Environment env{&clock, &sleeper, &starter, app / "autoreindex"};
        window = std::make_unique<TfMain>(env);
        boxes.clear();
        savedFolder = ari::CurrentFolder();
        ari::SetCurrentFolder(work.Path());
        const char* path = std::getenv("PATH");
        savedPath = path ? path : "";
        setenv("PATH", (tools.Path() + ":" + savedPath).c_str(), 1);
        // The fake logoff records its arguments, one call a line.
        WriteScript(tools / "logoff", "echo \"$*\" >> '" + (work / "logoff.calls") + "'\n");
    }
    void TearDown() override {
        setenv("PATH", savedPath.c_str(), 1);
        ari::SetCurrentFolder(savedFolder);
        window.reset();
        ari::Dialogs() = {};
        EXPECT_TRUE(boxes.empty());
    }

    static void WriteScript(const std::string& path, const std::string& body) {
        WriteFileBytes(path, "#!/bin/sh\n" + body);
        chmod(path.c_str(), 0755);
    }
    // A fake quser that records its arguments, prints `listing` and then marks itself done.
    void FakeQuser(const std::string& listing, const std::string& before = "") {
        WriteFileBytes(tools / "listing.bin", listing);
        WriteScript(tools / "quser", before + "echo \"$*\" > quser.args\ncat '" +
                                         (tools / "listing.bin") + "'\ntouch quser.done\n");
    }
    // Waits until the fake logoff has recorded `n` calls; returns them sorted.
    std::vector<std::string> LogoffCalls(size_t n) {
        std::vector<std::string> lines;
        for (int i = 0; i < 1000; ++i) {
            const QString text = QString::fromStdString(ReadFileBytes(work / "logoff.calls"));
            lines.clear();
            for (const QString& l : text.split(u'\n', Qt::SkipEmptyParts))
                lines.push_back(l.toStdString());
            if (lines.size() >= n)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::sort(lines.begin(), lines.end());
        return lines;
    }
    static QStringList Items(const QListWidget* list) {
        QStringList out;
        for (int i = 0; i < list->count(); ++i)
            out << list->item(i)->text();
        return out;
    }
    void ExpectAllListsEmpty() {
        for (const QListWidget* list : {window->lstUsers, window->ListBox1, window->ListBox2,
                                        window->ListBox3, window->ListBox4})
            EXPECT_EQ(list->count(), 0) << list->objectName().toStdString();
    }

    TempFolder app, work, tools;
    FixedClock clock;
    QuserDoneSleeper sleeper{work / "quser.done"};
    RecordingStarter starter;
    std::unique_ptr<TfMain> window;
    std::vector<std::string> boxes;
    std::string savedFolder, savedPath;
};

const std::string kQuser = "quser|/server:127.0.0.1";

TEST_F(SessionMonitor, ExampleListingFillsTheListsAndLogsOffTheDisconnectedSessions) {
    FakeQuser(kExample);
    window->tCheckUser->Fire();

    EXPECT_EQ(sleeper.requested, std::vector<unsigned>{3000});
    EXPECT_EQ(ReadFileBytes(work / "quser.args"), "/server:127.0.0.1\n");
    // The tool ran in the current folder, and its listing passed through no file there.
    EXPECT_TRUE(ari::FileExists(work / "quser.done"));
    EXPECT_FALSE(ari::FileExists(work / "login.txt"));
    EXPECT_EQ(Items(window->lstUsers), (QStringList{">operator(directly);active", "clerk1;active",
                                                    "clerk2;disc", "clerk4;disc"}));
    EXPECT_EQ(Items(window->ListBox1),
              (QStringList{">operator              ", " clerk1                ",
                           " clerk2                ", " clerk3                ",
                           " clerk4                "}));
    const QString blanks(19, u' ');
    EXPECT_EQ(Items(window->ListBox2),
              (QStringList{"console            ", "rdp-tcp#2          ", blanks, blanks, blanks}));
    EXPECT_EQ(Items(window->ListBox3), (QStringList{" 1  ", " 2  ", " 3  ", " 4  ", " 5  "}));
    EXPECT_EQ(Items(window->ListBox4),
              (QStringList{"Active  ", "Active  ", "Disc    ", "Down    ", "Disc    "}));
    EXPECT_EQ(window->Memo3->toPlainText().split(u'\n').size(), 6);

    // Started in this order, with the untrimmed id fields of lines 4 and 6.
    EXPECT_EQ(starter.calls, (std::vector<std::string>{kQuser, "logoff| 3   /server:127.0.0.1",
                                                       "logoff| 5   /server:127.0.0.1"}));
    EXPECT_EQ(LogoffCalls(2),
              (std::vector<std::string>{"3 /server:127.0.0.1", "5 /server:127.0.0.1"}));
    EXPECT_TRUE(window->tCheckUser->Enabled());
    EXPECT_GT(window->tCheckUser->RemainingTime(), 29000);
}

TEST_F(SessionMonitor, RowsWithoutASessionNumberNeverReachLogoff) {
    // User name, session name, the four id columns and the state, each at its place.
    auto row = [](const std::string& user, const std::string& id, const std::string& state) {
        return (user + std::string(42 - user.size(), ' ')) + id + state + "\n";
    };
    FakeQuser(std::string(kHeader) + row(" blankid", "    ", "Disc") +
              row(" garbled", " ?x ", "Disc") +
              row(" cut", "1234", "5 Disc") +  // an id too long for its columns
              // Session 123 right-aligned under "ID": the id columns show "23", its first
              // digit stands after a blank in the session name's last column.
              row(" wide", "23  ", "Disc").replace(41, 1, "1") +
              // The same with a session name ending right before it: no telling the id.
              row(" glued", "23  ", "Disc").replace(39, 3, "#91") + row(" good", "42  ", "Disc"));
    window->tCheckUser->Fire();
    EXPECT_EQ(Items(window->lstUsers), (QStringList{"blankid;disc", "garbled;disc", "wide;disc",
                                                    "glued;disc", "good;disc"}));
    EXPECT_EQ(Items(window->ListBox3).at(3), "23  ");
    EXPECT_EQ(starter.calls, (std::vector<std::string>{kQuser, "logoff|123   /server:127.0.0.1",
                                                       "logoff|42   /server:127.0.0.1"}));
    EXPECT_EQ(LogoffCalls(2),
              (std::vector<std::string>{"123 /server:127.0.0.1", "42 /server:127.0.0.1"}));
}

// The current folder is the live or template folder, which other users can write.
TEST_F(SessionMonitor, LinkPlantedInTheCurrentFolderIsNeverWrittenThrough) {
    TempFolder elsewhere;
    const std::string target = elsewhere / "only-root-may-write";
    WriteFileBytes(target, "kept");
    // A link under the old listing file's name, there before the tick and planted again just
    // before the tool starts (an existing link stays as it is).
    auto plant = [&] { (void)!symlink(target.c_str(), (work / "login.txt").c_str()); };
    plant();
    starter.beforeStart = plant;
    FakeQuser(kExample);

    window->tCheckUser->Fire();
    EXPECT_EQ(ReadFileBytes(target), "kept");
    struct stat st;
    ASSERT_EQ(lstat((work / "login.txt").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(Items(window->lstUsers), (QStringList{">operator(directly);active", "clerk1;active",
                                                    "clerk2;disc", "clerk4;disc"}));
    EXPECT_EQ(LogoffCalls(2),
              (std::vector<std::string>{"3 /server:127.0.0.1", "5 /server:127.0.0.1"}));
}

TEST_F(SessionMonitor, ListingSwappedInDuringTheWaitIsNeverActedOn) {
    // While the tool runs, another user puts a listing of their own under the old listing
    // file's name, in which session 77 is disconnected.
    WriteFileBytes(
        tools / "theirs.bin",
        std::string(kHeader) + " victim                                   77  Disc        .\r\n");
    WriteFileBytes(tools / "listing.bin", kExample);
    WriteScript(tools / "quser", "cat '" + (tools / "listing.bin") + "'\ncp '" +
                                     (tools / "theirs.bin") +
                                     "' theirs.tmp && mv -f theirs.tmp login.txt\n"
                                     "touch quser.done\n");

    window->tCheckUser->Fire();
    EXPECT_EQ(Items(window->lstUsers), (QStringList{">operator(directly);active", "clerk1;active",
                                                    "clerk2;disc", "clerk4;disc"}));
    EXPECT_EQ(starter.calls, (std::vector<std::string>{kQuser, "logoff| 3   /server:127.0.0.1",
                                                       "logoff| 5   /server:127.0.0.1"}));
    EXPECT_EQ(LogoffCalls(2),
              (std::vector<std::string>{"3 /server:127.0.0.1", "5 /server:127.0.0.1"}));
}

TEST_F(SessionMonitor, MissingEmptyOrStaleListingLeavesTheListsEmpty) {
    struct Case {
        const char* name;
        std::string quser;  // script body; "" means no quser at all
    };
    const Case cases[] = {
        {"no quser on the path", ""},
        {"quser fails without output", "touch quser.done\nexit 1\n"},
        {"header only", "echo ' USERNAME  ID'\ntouch quser.done\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Last tick's lists, which must not show again.
        FakeQuser(kExample);
        window->tCheckUser->Fire();
        ASSERT_EQ(window->lstUsers->count(), 4);
        ari::RemoveFile(work / "quser.done");
        ari::RemoveFile(tools / "quser");
        if (!c.quser.empty())
            WriteScript(tools / "quser", c.quser);
        starter.calls.clear();

        window->tCheckUser->Fire();
        ExpectAllListsEmpty();
        EXPECT_EQ(window->Memo3->toPlainText(),
                  c.quser.find("USERNAME") != std::string::npos ? " USERNAME  ID" : "");
        EXPECT_EQ(starter.calls, std::vector<std::string>{kQuser});
        EXPECT_TRUE(window->tCheckUser->Enabled());
        ari::RemoveFile(work / "quser.done");
        ari::RemoveFile(work / "logoff.calls");
    }
}

TEST_F(SessionMonitor, LateListingIsNotWaitedFor) {
    // The fake quser writes only once it is released, after the tick has read the file.
    FakeQuser(kExample, "while [ ! -e release ]; do sleep 0.01; done\n");
    sleeper.waitForQuser = false;
    window->tCheckUser->Fire();
    ExpectAllListsEmpty();
    EXPECT_EQ(starter.calls, std::vector<std::string>{kQuser});
    WriteFileBytes(work / "release", "");
    ASSERT_TRUE(WaitForFile(work / "quser.done"));  // let it finish inside this test's folder
}

TEST_F(SessionMonitor, TheWindowAnswersWhileTheListingToolRuns) {
    // The fake quser prints only once released, and the release comes from an event that the
    // window thread must handle while the tick waits for the listing.
    FakeQuser(kExample, "while [ ! -e release ]; do sleep 0.01; done\n");
    bool answered = false;
    QTimer::singleShot(0, window.get(), [&] {
        answered = true;
        WriteFileBytes(work / "release", "");
    });
    window->tCheckUser->Fire();
    EXPECT_TRUE(answered);
    EXPECT_EQ(window->ListBox1->count(), 5);
    EXPECT_EQ(window->lstUsers->count(), 4);
    EXPECT_EQ(LogoffCalls(2).size(), 2u);
    WriteFileBytes(work / "release", "");           // also when the tick did not release it
    ASSERT_TRUE(WaitForFile(work / "quser.done"));  // let it finish inside this test's folder
}

TEST_F(SessionMonitor, AScheduleTickDuringTheWaitSeesTheNewListing) {
    // The lists are empty while the tick waits: a schedule tick handled then would count no
    // session and start a run. It waits for the listing instead.
    FakeQuser(kExample, "while [ ! -e release ]; do sleep 0.01; done\n");
    ProcessedToday = false;
    window->tmpckrBegin->setTime(QTime(0, 0, 1));
    window->tmpckrEnd->setTime(QTime(23, 59, 59));
    window->LEMaghsad->setText(QString::fromStdString(work / "live"));
    window->LESource->setText(QString::fromStdString(work / "mdx"));
    QTimer::singleShot(0, window.get(), [&] {
        window->tStartReindex->Fire();
        WriteFileBytes(work / "release", "");
    });
    window->tCheckUser->Fire();
    QCoreApplication::processEvents();
    EXPECT_EQ(window->mLog->toPlainText(),
              "---Checking... Time: \"12:00:00\"\n"
              "\\\\\\There are 4 users connected to the server. Time: \"12:00:00\"");
    EXPECT_EQ(LogoffCalls(2).size(), 2u);
    WriteFileBytes(work / "release", "");
    ASSERT_TRUE(WaitForFile(work / "quser.done"));
}

// A listing that failed is not "nobody connected": the schedule tick holds the pass as with
// too many sessions, and the log says why once, not at every listing.
TEST_F(SessionMonitor, AFailedListingHoldsThePassAndIsSaidOnce) {
    ProcessedToday = false;
    window->tmpckrBegin->setTime(QTime(0, 0, 1));
    window->tmpckrEnd->setTime(QTime(23, 59, 59));
    window->LEMaghsad->setText(QString::fromStdString(work / "live"));
    window->LESource->setText(QString::fromStdString(work / "mdx"));
    const QString said = QStringLiteral(
        "\\\\\\The sessions cannot be listed (quser printed nothing): no pass until they can. "
        "Time: \"12:00:00\"");
    WriteScript(tools / "quser", "touch quser.done\nexit 1\n");
    for (int tick = 0; tick < 3; ++tick) {
        window->tCheckUser->Fire();
        ari::RemoveFile(work / "quser.done");
    }
    EXPECT_EQ(window->mLog->toPlainText(), said);
    window->tStartReindex->Fire();
    EXPECT_EQ(window->mLog->toPlainText(), "---Checking... Time: \"12:00:00\"");

    // A listing again, then a failure again: said again.
    FakeQuser(kExample);
    window->tCheckUser->Fire();
    ari::RemoveFile(work / "quser.done");
    WriteScript(tools / "quser", "touch quser.done\nexit 1\n");
    window->tCheckUser->Fire();
    EXPECT_TRUE(window->mLog->toPlainText().endsWith(said))
        << window->mLog->toPlainText().toStdString();
    LogoffCalls(2);
}

// Each logoff goes into the operation log, and so into the run journal beside the program.
TEST_F(SessionMonitor, EachLogoffIsLoggedWithUserSessionAndState) {
    FakeQuser(kExample);
    window->tCheckUser->Fire();
    EXPECT_EQ(window->mLog->toPlainText(),
              "---Log off clerk2, session 3, Disc Time: \"12:00:00\"\n"
              "---Log off clerk4, session 5, Disc Time: \"12:00:00\"");
    const std::string journal = ReadFileBytes(app / "autoreindex.log");
    EXPECT_NE(journal.find("10/12/2026 12:00:00 ---Log off clerk2, session 3, Disc Time: "
                           "\"12:00:00\"\n"),
              std::string::npos)
        << journal;
    LogoffCalls(2);
}

TEST_F(SessionMonitor, ErrorInsideTheTickIsSwallowedAndTheTimerRunsOn) {
    starter.throwOnStart = true;
    window->tCheckUser->Fire();
    ExpectAllListsEmpty();
    EXPECT_TRUE(window->tCheckUser->Enabled());
    EXPECT_EQ(window->mLog->toPlainText(), "");  // the monitor writes no log line
}

TEST_F(SessionMonitor, UnicodeListingWithByteOrderMark) {
    const QString listing =
        QString::fromLatin1(kHeader) +
        QStringLiteral(" کاربر                 console             1  Active\r\n");
    QByteArray bytes("\xFF\xFE");
    bytes.append(reinterpret_cast<const char*>(listing.utf16()), listing.size() * 2);
    FakeQuser(bytes.toStdString());
    window->tCheckUser->Fire();
    EXPECT_EQ(Items(window->lstUsers), QStringList{QStringLiteral("کاربر(directly);active")});
}

// ---- The shipped quser and logoff (built into build/tests-bin), on a utmp fixture.

TEST(SessionMonitorWithShippedTools, ListsAndLogsOffADisconnectedSession) {
    TempFolder app, work, tools;
    FixtureSession left(false), active(true);
    ASSERT_GT(left.member, 0);
    ASSERT_GT(active.leader, 0);
    ASSERT_FALSE(Gone(left.member));
    // Slot 1: an active session on a local display; slot 2: the session that was left.
    constexpr long kLogon = 1765350000;
    WriteFileBytes(
        work / "utmp",
        UtmpRecord(USER_PROCESS, active.leader, active.leader, ":0", "operator", kLogon) +
            UtmpRecord(USER_PROCESS, left.leader, left.leader, "pts/977", "clerk2", kLogon));
    FixedClock clock;
    // The shipped quser, run by a wrapper first on PATH that marks when it has ended.
    ari::test::WriteFileBytes(tools / "quser", "#!/bin/sh\n'" + std::string(ARI_TOOLS_BIN_DIR) +
                                                   "/quser' \"$@\"\ntouch quser.done\n");
    chmod((tools / "quser").c_str(), 0755);
    QuserDoneSleeper sleeper(work / "quser.done");
    RecordingStarter starter;
    {
        TfMain window(ari::Environment{&clock, &sleeper, &starter, app / "autoreindex"});
        const std::string savedFolder = ari::CurrentFolder();
        const char* path = std::getenv("PATH");
        const std::string savedPath = path ? path : "";
        ari::SetCurrentFolder(work.Path());
        setenv("PATH", (tools.Path() + ":" + ARI_TOOLS_BIN_DIR + ":" + savedPath).c_str(), 1);
        setenv("ARI_UTMP_FILE", (work / "utmp").c_str(), 1);

        window.tCheckUser->Fire();
        QStringList users;
        for (int i = 0; i < window.lstUsers->count(); ++i)
            users << window.lstUsers->item(i)->text();
        EXPECT_EQ(users, (QStringList{"operator(directly);active", "clerk2;disc"}));
        EXPECT_EQ(window.ListBox3->count(), 2);
        EXPECT_EQ(starter.calls,
                  (std::vector<std::string>{kQuser, "logoff| 2   /server:127.0.0.1"}));
        unsetenv("ARI_UTMP_FILE");
        setenv("PATH", savedPath.c_str(), 1);
        ari::SetCurrentFolder(savedFolder);
    }
    // The shipped logoff has hung up the left session's process.
    EXPECT_TRUE(WaitUntilGone(left.member));
}

}  // namespace
