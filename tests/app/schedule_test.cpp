// The start and stop control and the schedule tick on the real window, with a fake clock. The
// maintenance run is the real one: with no operation box ticked it succeeds and touches
// nothing; with rebuild ticked and no template folder it fails.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTimer>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "app/uMain.h"
#include "log/LogTexts.h"
#include "platform/DateTime.h"
#include "platform/Dialogs.h"
#include "platform/FileNames.h"
#include "platform/Files.h"
#include "settings/Formats.h"
#include "tests/schedule/TickCases.h"
#include "tests/support/FakeEnvironment.h"
#include "tests/support/TestFolders.h"

namespace {

using ari::test::TempFolder;

const QString kStartCaption = QStringLiteral("شروع");
const QString kStopCaption = QStringLiteral("--- توقف ---");
const std::string kNoFolders = "مسیر ها تعریف نشده اند";
const std::string kNoOperation = "نوع عملیات تعیین نشده است";

using ari::test::FakeClock;
using ari::test::NoSleep;
using ari::test::NoStart;  // no tick here may reach a real session tool

class Schedule : public ::testing::Test {
  protected:
    void SetUp() override {
        ari::Dialogs().showMessage = [this](const std::string& t) { messages.push_back(t); };
        ari::Dialogs().showError = [this](const std::string& t) { errors.push_back(t); };
        ari::Environment env{&clock, &sleep, &start, dir / "autoreindex"};
        window = std::make_unique<TfMain>(env);
        messages.clear();  // whatever the start-up in a bare folder had to say
        errors.clear();
        ProcessedToday = false;
        TodayStamp = QStringLiteral("10/12/2026");
        window->LEMaghsad->setText(QString::fromStdString(dir / "live"));
        window->LESource->setText(QString::fromStdString(dir / "templates"));
        SetWindow(QTime(0, 0, 1), QTime(6, 0, 0));
        window->lstUsers->clear();
    }
    void TearDown() override {
        EXPECT_TRUE(errors.empty()) << errors.front();  // no error box, ever
        window.reset();
        ari::Dialogs() = {};
    }

    // No pass has succeeded today, by this window's memory or by the record beside the marker
    // that every program sharing the marker reads.
    void ForgetToday() {
        ProcessedToday = false;
        std::filesystem::remove(dir / ari::kPassRecordName);
    }
    void SetWindow(QTime begin, QTime end) {
        window->tmpckrBegin->setTime(begin);
        window->tmpckrEnd->setTime(end);
    }
    void SetNow(int day, int h, int m, int s) {
        clock.now = ari::EncodeDateTime(2026, 12, day, h, m, s);
    }
    void SetCountedSessions(int n) {
        window->lstUsers->clear();
        for (int i = 0; i < n; ++i)
            window->lstUsers->addItem(QStringLiteral("user%1;active").arg(i));
    }
    // Arms the schedule, then clears the boxes so that a run succeeds without touching files.
    void Arm() {
        window->CBPack->setChecked(true);
        window->btnStart->click();
        ASSERT_EQ(window->btnStartTag(), 1);
        window->CBPack->setChecked(false);
    }
    // Runs `action` during the first message pump of the next tick (right after its start line).
    void DuringRun(std::function<void()> action) {
        QTimer::singleShot(0, window.get(), std::move(action));
    }
    QStringList Log() const {
        const QString text = window->mLog->toPlainText();
        return text.isEmpty() ? QStringList() : text.split(u'\n');
    }
    int StartLines() const { return Log().filter(QStringLiteral("---Start reindex")).size(); }

    TempFolder dir;
    FakeClock clock;
    NoSleep sleep;
    NoStart start;
    std::vector<std::string> messages, errors;
    std::unique_ptr<TfMain> window;
};

// ---- The table of ticks that the runner's tick runs too (tests/schedule/schedule_test.cpp).

TEST_F(Schedule, DecidesEveryCaseAsTheRunnerDoes) {
    Arm();
    for (const ari::test::TickCase& c : ari::test::TickCases()) {
        SCOPED_TRACE(c.what);
        const std::string record = dir / ari::kPassRecordName;
        std::filesystem::remove(record);
        if (*c.record)
            ari::test::WriteFileBytes(record, c.record);
        ProcessedToday = c.processed;
        TodayStamp = QString::fromLatin1(c.stamp);
        SetWindow(QTime::fromString(QString::fromLatin1(c.begin), QStringLiteral("HH:mm:ss")),
                  QTime::fromString(QString::fromLatin1(c.end), QStringLiteral("HH:mm:ss")));
        SetCountedSessions(c.sessions);
        SetNow(c.day, c.h, c.m, c.s);
        bool processedDuringRun = !c.processedAfter;
        if (c.starts)
            DuringRun([&] { processedDuringRun = ProcessedToday; });
        window->tStartReindexTimer();
        EXPECT_EQ(StartLines(), c.starts ? 1 : 0);
        const QString users = QString::fromStdString(
            ari::UsersConnectedLine(c.sessions, ari::LongTimeText(clock.now)));
        EXPECT_EQ(Log().contains(users), c.usersConnected);
        if (c.starts) {
            EXPECT_EQ(processedDuringRun, c.processedAfter);
            EXPECT_TRUE(ProcessedToday);  // the day is done after a success
        } else {
            EXPECT_EQ(ProcessedToday, c.processedAfter);
        }
    }
}

// ---- Start and stop control.

TEST_F(Schedule, StartTestsFoldersThenOperations) {
    struct Case {
        const char* name;
        QString live, templates;
        bool pack, rebuild, transfer;
        std::vector<std::string> messages;  // empty: the press arms the schedule
    };
    const QString a = QStringLiteral("/no/such/live"), b = QStringLiteral("/no/such/mdx");
    const Case cases[] = {
        {"nothing filled", "", "", false, false, false, {kNoFolders}},
        {"no live folder, boxes ticked", "", b, true, true, true, {kNoFolders}},
        {"no template folder", a, "", true, false, false, {kNoFolders}},
        {"no operation", a, b, false, false, false, {kNoOperation}},
        {"pack only", a, b, true, false, false, {}},
        {"rebuild only", a, b, false, true, false, {}},
        {"transfer only", a, b, false, false, true, {}},
        {"blank folder texts pass", " ", "  ", true, false, false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        window->LEMaghsad->setText(c.live);
        window->LESource->setText(c.templates);
        window->CBPack->setChecked(c.pack);
        window->CBReIndex->setChecked(c.rebuild);
        window->CBCopyRe->setChecked(c.transfer);
        messages.clear();
        window->btnStart->click();
        EXPECT_EQ(messages, c.messages);
        const bool armed = c.messages.empty();
        EXPECT_EQ(window->btnStartTag(), armed ? 1 : 0);
        EXPECT_EQ(window->btnStart->text(), armed ? kStopCaption : kStartCaption);
        EXPECT_EQ(window->tStartReindex->Enabled(), armed);
        if (armed) {
            // The first tick comes one whole interval after the press.
            EXPECT_GT(window->tStartReindex->RemainingTime(), 59000);
            window->btnStart->click();  // stop, for the next row
            EXPECT_EQ(window->btnStartTag(), 0);
            EXPECT_EQ(window->btnStart->text(), kStartCaption);
            EXPECT_FALSE(window->tStartReindex->Enabled());
        }
        EXPECT_TRUE(errors.empty());
    }
}

TEST_F(Schedule, StopNeedsNoFoldersAndLeavesTheSessionTimerAlone) {
    Arm();
    window->LEMaghsad->clear();
    window->LESource->clear();
    window->btnStart->click();
    EXPECT_TRUE(messages.empty()) << (messages.empty() ? "" : messages[0]);
    EXPECT_EQ(window->btnStartTag(), 0);
    EXPECT_FALSE(window->tStartReindex->Enabled());
    EXPECT_TRUE(window->tCheckUser->Enabled());
}

// ---- Schedule tick.

TEST_F(Schedule, TimeWindowIncludesBeginExcludesEndAndNeverSpansMidnight) {
    struct Case {
        QTime begin, end;
        int h, m, s;
        bool runs;
    };
    const Case cases[] = {
        {QTime(0, 0, 1), QTime(6, 0, 0), 0, 0, 1, true},
        {QTime(0, 0, 1), QTime(6, 0, 0), 5, 59, 59, true},
        {QTime(0, 0, 1), QTime(6, 0, 0), 6, 0, 0, false},
        {QTime(0, 0, 1), QTime(6, 0, 0), 0, 0, 0, false},
        {QTime(0, 0, 1), QTime(6, 0, 0), 12, 0, 0, false},
        {QTime(22, 0, 0), QTime(2, 0, 0), 23, 0, 0, false},
        {QTime(22, 0, 0), QTime(2, 0, 0), 1, 0, 0, false},
        {QTime(22, 0, 0), QTime(2, 0, 0), 22, 0, 0, false},
        {QTime(3, 0, 0), QTime(3, 0, 0), 3, 0, 0, false},
        {QTime(9, 5, 0), QTime(10, 0, 0), 9, 10, 0, true},  // minutes compare after hours
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(QStringLiteral("%1-%2 at %3:%4:%5")
                         .arg(c.begin.toString(), c.end.toString())
                         .arg(c.h)
                         .arg(c.m)
                         .arg(c.s)
                         .toStdString());
        ForgetToday();
        SetWindow(c.begin, c.end);
        SetNow(10, c.h, c.m, c.s);
        const QString t = QStringLiteral("\"%1:%2:%3\"")
                              .arg(c.h, 2, 10, QChar(u'0'))
                              .arg(c.m, 2, 10, QChar(u'0'))
                              .arg(c.s, 2, 10, QChar(u'0'));
        window->tStartReindexTimer();
        QStringList expected{"---Checking... Time: " + t};
        if (c.runs)
            expected << "---Start reindex Time: " + t;
        EXPECT_EQ(Log(), expected);
        EXPECT_EQ(QApplication::overrideCursor(), nullptr);
        EXPECT_TRUE(window->tCheckUser->Enabled());
        EXPECT_FALSE(window->tStartReindex->Enabled());  // not armed: the tick leaves it off
    }
}

TEST_F(Schedule, MoreThanOneCountedSessionHoldsTheRunBack) {
    SetNow(10, 0, 30, 0);
    for (int n : {0, 1, 2, 3}) {
        SCOPED_TRACE(n);
        ForgetToday();
        SetCountedSessions(n);
        window->tStartReindexTimer();
        QStringList expected{"---Checking... Time: \"00:30:00\""};
        if (n > 1)
            expected << QStringLiteral(
                            "\\\\\\There are %1 users connected to the server. Time: \"00:30:00\"")
                            .arg(n);
        else
            expected << "---Start reindex Time: \"00:30:00\"";
        EXPECT_EQ(Log(), expected);
    }
}

TEST_F(Schedule, SuccessfulRunSetsPanelTwoAtOnceAndPanelOneOnTheNextTick) {
    TodayStamp = QStringLiteral("01/12/2026");  // the program was started days ago
    SetNow(10, 0, 30, 0);
    window->tStartReindexTimer();
    EXPECT_TRUE(ProcessedToday);
    EXPECT_EQ(window->StatusPanelText(2), "10/12/2026 00:30:00");
    EXPECT_EQ(window->StatusPanelText(1), "Proccess isn't start");
    // The success belongs to its own day: later ticks that day only report.
    EXPECT_EQ(TodayStamp, "10/12/2026");

    SetNow(10, 0, 31, 0);
    window->tStartReindexTimer();
    EXPECT_EQ(Log(), QStringList{"---Checking... Time: \"00:31:00\""});
    EXPECT_EQ(window->StatusPanelText(1), "This operation has been processed today");
    EXPECT_TRUE(ProcessedToday);
    EXPECT_EQ(window->StatusPanelText(2), "10/12/2026 00:30:00");
}

TEST_F(Schedule, NewDayClearsTheFlagWithoutRunningAndTheNextTickRuns) {
    ProcessedToday = true;
    TodayStamp = QStringLiteral("09/12/2026");
    SetNow(10, 0, 30, 0);  // inside the window
    window->tStartReindexTimer();
    EXPECT_EQ(Log(), QStringList{"---Checking... Time: \"00:30:00\""});
    EXPECT_FALSE(ProcessedToday);
    EXPECT_EQ(TodayStamp, "10/12/2026");
    EXPECT_EQ(window->StatusPanelText(1), "No processing has been done today");

    SetNow(10, 0, 31, 0);
    window->tStartReindexTimer();
    EXPECT_EQ(StartLines(), 1);
    EXPECT_TRUE(ProcessedToday);
}

TEST_F(Schedule, FailedRunLeavesTheFlagClearAndTheNextTickRunsAgain) {
    window->CBReIndex->setChecked(true);  // and the template folder does not exist
    SetNow(10, 0, 30, 0);
    window->tStartReindexTimer();
    EXPECT_EQ(StartLines(), 1);
    EXPECT_FALSE(ProcessedToday);
    EXPECT_EQ(window->StatusPanelText(2), "");
    SetNow(10, 0, 31, 0);
    window->tStartReindexTimer();
    EXPECT_EQ(StartLines(), 1);
    EXPECT_EQ(Log().first(), "---Checking... Time: \"00:31:00\"");
    EXPECT_FALSE(ProcessedToday);
}

TEST_F(Schedule, ErrorLeavingTheRunEndsTheTickButTimersAndPointerRecover) {
    Arm();
    window->CBPack->setChecked(true);
    // A folder where the run marker belongs: creating the marker fails and the run lets the
    // error through to the tick.
    ASSERT_TRUE(ari::MakeFolder(dir / "reindexing"));
    SetNow(10, 0, 30, 0);
    window->tStartReindex->Fire();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], "File access denied: " + dir / "reindexing" + ".");
    errors.clear();
    EXPECT_FALSE(ProcessedToday);
    EXPECT_EQ(window->StatusPanelText(2), "");
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_TRUE(window->tCheckUser->Enabled());
    EXPECT_TRUE(window->tStartReindex->Enabled());
    EXPECT_GT(window->tStartReindex->RemainingTime(), 59000);
}

TEST_F(Schedule, RunHasBothTimersOffAndTheBusyPointerThenRearms) {
    Arm();
    SetNow(10, 0, 30, 0);
    bool checkUserOn = true, scheduleOn = true;
    const QCursor* pointer = nullptr;
    DuringRun([&] {
        checkUserOn = window->tCheckUser->Enabled();
        scheduleOn = window->tStartReindex->Enabled();
        pointer = QApplication::overrideCursor();
        ASSERT_NE(pointer, nullptr);
        EXPECT_EQ(pointer->shape(), Qt::WaitCursor);
    });
    window->tStartReindex->Fire();
    EXPECT_NE(pointer, nullptr);
    EXPECT_FALSE(checkUserOn);
    EXPECT_FALSE(scheduleOn);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
    EXPECT_TRUE(window->tCheckUser->Enabled());
    EXPECT_TRUE(window->tStartReindex->Enabled());
    EXPECT_EQ(window->btnStartTag(), 1);
}

TEST_F(Schedule, LongTickRestartsTheIntervalWhenItEnds) {
    Arm();
    SetNow(10, 0, 30, 0);
    // Without the restart the timer, armed before the tick, would have less than 57 s left.
    DuringRun([] { std::this_thread::sleep_for(std::chrono::milliseconds(3000)); });
    window->tStartReindex->Fire();
    EXPECT_EQ(StartLines(), 1);
    EXPECT_GT(window->tStartReindex->RemainingTime(), 58500);
}

TEST_F(Schedule, StopPressedDuringARunHolds) {
    Arm();
    SetNow(10, 0, 30, 0);
    DuringRun([&] { window->btnStart->click(); });
    window->tStartReindex->Fire();
    EXPECT_EQ(window->btnStartTag(), 0);
    EXPECT_EQ(window->btnStart->text(), kStartCaption);
    EXPECT_FALSE(window->tStartReindex->Enabled());
    EXPECT_TRUE(window->tCheckUser->Enabled());
}

TEST_F(Schedule, TickArrivingDuringARunStartsNoSecondRun) {
    Arm();
    SetNow(10, 0, 30, 0);
    bool reenteredTimerOn = true;
    DuringRun([&] {
        window->btnStart->click();  // stop
        window->CBPack->setChecked(true);
        window->btnStart->click();  // and start again: the timer is on during the run
        window->CBPack->setChecked(false);
        ASSERT_TRUE(window->tStartReindex->Enabled());
        window->tStartReindex->Fire();
        reenteredTimerOn = window->tStartReindex->Enabled();
    });
    window->tStartReindex->Fire();
    EXPECT_TRUE(messages.empty()) << (messages.empty() ? "" : messages[0]);
    EXPECT_FALSE(reenteredTimerOn);
    EXPECT_EQ(Log(), (QStringList{"---Checking... Time: \"00:30:00\"",
                                  "---Start reindex Time: \"00:30:00\""}));
    EXPECT_TRUE(ProcessedToday);
    EXPECT_EQ(window->btnStartTag(), 1);
    EXPECT_TRUE(window->tStartReindex->Enabled());
    EXPECT_GT(window->tStartReindex->RemainingTime(), 59000);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(Schedule, AMarkerThatCannotBeCreatedIsLoggedEveryTickAndBoxedOncePerCause) {
    Arm();
    window->CBPack->setChecked(true);
    ASSERT_TRUE(ari::MakeFolder(dir / "reindexing"));  // where the run marker belongs
    const QString errorLine = QString::fromStdString(
        "\\\\\\Error \"File access denied: " + dir / "reindexing" + "\" Time: \"00:3%1:00\"");
    for (int minute = 0; minute < 3; ++minute) {
        SCOPED_TRACE(minute);
        SetNow(10, 0, 30 + minute, 0);
        window->tStartReindex->Fire();
        EXPECT_EQ(Log(),
                  (QStringList{QStringLiteral("---Checking... Time: \"00:3%1:00\"").arg(minute),
                               QStringLiteral("---Start reindex Time: \"00:3%1:00\"").arg(minute),
                               errorLine.arg(minute)}));
        EXPECT_FALSE(ProcessedToday);
        EXPECT_TRUE(window->tStartReindex->Enabled());
    }
    // One box for the night, not one a minute.
    EXPECT_EQ(errors,
              (std::vector<std::string>{"File access denied: " + dir / "reindexing" + "."}));
    errors.clear();

    // Once the cause has gone, the same fault coming back is news and gets its box again.
    ASSERT_TRUE(std::filesystem::remove(dir / "reindexing"));
    window->CBPack->setChecked(false);
    SetNow(10, 0, 40, 0);
    window->tStartReindex->Fire();
    EXPECT_TRUE(ProcessedToday);
    EXPECT_TRUE(errors.empty());
    ForgetToday();
    window->CBPack->setChecked(true);
    ASSERT_TRUE(ari::MakeFolder(dir / "reindexing"));
    SetNow(10, 0, 41, 0);
    window->tStartReindex->Fire();
    EXPECT_EQ(errors,
              (std::vector<std::string>{"File access denied: " + dir / "reindexing" + "."}));
    errors.clear();
}

}  // namespace
