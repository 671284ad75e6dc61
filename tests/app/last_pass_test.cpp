// The last pass as the window keeps it for the operator, through the real window and real
// tables: a failed pass's error stays in the status bar through the minute ticks that clear the
// log, until a later pass succeeds; a click on the status bar shows the last pass's summary in
// Persian.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QStatusBar>
#include <QTime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/PassSummaryView.h"
#include "app/uMain.h"
#include "engine/TTable.h"
#include "platform/DateTime.h"
#include "platform/Dialogs.h"
#include "tests/maintenance/run_fixtures.h"
#include "tests/support/FakeEnvironment.h"
#include "tests/support/TestFolders.h"

namespace {

using ari::test::HeldByChild;
using ari::test::TempFolder;

const QString kErrorLead = QStringLiteral("خطای آخرین اجرا: ");

using ari::test::FakeClock;
using ari::test::NoSleep;
using ari::test::NoStart;  // no tick here may reach a real session tool

class LastPass : public ::testing::Test {
  protected:
    void SetUp() override {
        ari::Dialogs().showMessage = [this](const std::string& t) { messages.push_back(t); };
        ari::Dialogs().showError = [this](const std::string& t) { errors.push_back(t); };
        std::filesystem::create_directories(live);
        std::filesystem::create_directories(dir / "mdx");
        ari::Environment env{&clock, &sleep, &start, dir / "autoreindex"};
        window = std::make_unique<TfMain>(env);
        messages.clear();
        errors.clear();
        ProcessedToday = false;
        TodayStamp = QStringLiteral("10/12/2026");
        window->LEMaghsad->setText(QString::fromStdString(live));
        window->LESource->setText(QString::fromStdString(dir / "mdx"));
        window->tmpckrBegin->setTime(QTime(0, 0, 1));
        window->tmpckrEnd->setTime(QTime(6, 0, 0));
        window->lstUsers->clear();
    }
    void TearDown() override {
        EXPECT_TRUE(errors.empty()) << errors.front();
        window.reset();
        ari::Dialogs() = {};
    }

    void Tick(int day, int h, int m) {
        clock.now = ari::EncodeDateTime(2026, 12, day, h, m, 0);
        window->tStartReindexTimer();
    }
    // A left click on status panel `panel`, as the operator gives it; returns the boxes shown
    // and the text of the pass the summary view shows when the click opened it.
    std::vector<std::string> Click(int panel) {
        auto* label =
            window->StatusBar1->findChild<QLabel*>(QStringLiteral("StatusBar1Panel%1").arg(panel));
        EXPECT_NE(label, nullptr);
        messages.clear();
        if (window->SummaryView())
            window->SummaryView()->close();
        if (label == nullptr)
            return {};
        const QPointF at(5, 5);
        QMouseEvent press(QEvent::MouseButtonPress, at, label->mapToGlobal(at), Qt::LeftButton,
                          Qt::LeftButton, Qt::NoModifier);
        QMouseEvent release(QEvent::MouseButtonRelease, at, label->mapToGlobal(at), Qt::LeftButton,
                            Qt::NoButton, Qt::NoModifier);
        QCoreApplication::sendEvent(label, &press);
        QCoreApplication::sendEvent(label, &release);
        std::vector<std::string> shown = messages;
        if (window->SummaryView() && window->SummaryView()->isVisible())
            shown.push_back(window->SummaryView()->PassText().toStdString());
        return shown;
    }
    QStringList Log() const {
        const QString text = window->mLog->toPlainText();
        return text.isEmpty() ? QStringList() : text.split(u'\n');
    }
    std::string Journal() const {
        std::ifstream in(dir / "autoreindex.log");
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    }

    TempFolder dir;
    std::string live = dir / "live/";
    FakeClock clock;
    NoSleep sleep;
    NoStart start;
    std::vector<std::string> messages, errors;
    std::unique_ptr<TfMain> window;
};

bool Has(const std::string& text, const QString& part) {
    return text.find(part.toStdString()) != std::string::npos;
}

TEST_F(LastPass, BeforeAnyPassTheSummarySaysThereIsNone) {
    for (int panel : {1, 2}) {
        SCOPED_TRACE(panel);
        const std::vector<std::string> boxes = Click(panel);
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0], "هنوز هیچ اجرایی انجام نشده است.");
    }
    EXPECT_TRUE(Click(0).empty());  // the version panel opens nothing
}

TEST_F(LastPass, AFailedPassStaysShownThroughTheTicksUntilAPassSucceeds) {
    const size_t rows = ari::test::StandardRows().size();
    const size_t kept = ari::test::Surviving(ari::test::StandardRows()).size();
    ASSERT_LT(kept, rows);
    for (const char* t : {"t1.dbf", "t2.dbf"})
        ari::test::MakeTable(live + t, ari::test::StandardRows());
    window->CBPack->setChecked(true);
    window->btnStart->click();
    ASSERT_EQ(window->btnStartTag(), 1);
    const QString panelBefore = window->StatusPanelText(1);

    // The night's pass: the second table is held by another program.
    {
        HeldByChild holder(live, "t2.dbf");
        ASSERT_TRUE(holder.Holding());
        Tick(10, 0, 30);
    }
    ASSERT_FALSE(ProcessedToday);
    const QString log = Log().join(u'\n');
    const qsizetype at = log.indexOf(QStringLiteral("\\\\\\Error "));
    ASSERT_GE(at, 0) << log.toStdString();
    const QString errorLine = log.mid(at);
    ASSERT_TRUE(errorLine.contains(QStringLiteral("t2.dbf")));
    QString shown = kErrorLead + errorLine;
    shown.replace(u'\n', u' ');
    EXPECT_EQ(window->StatusPanelText(1), shown);

    // The summary of that pass, in Persian.
    std::vector<std::string> boxes = Click(1);
    ASSERT_EQ(boxes.size(), 1u);
    const QString count = QStringLiteral("تعداد رکوردها پیش از کار: %1، پس از کار: %2");
    EXPECT_TRUE(Has(
        boxes[0], QStringLiteral("جدول t1.dbf: عملیات: فشرده سازی؛ ") + count.arg(rows).arg(kept) +
                      QStringLiteral("؛ رکوردهای حذف شده که پاک شدند: %1؛").arg(rows - kept)))
        << boxes[0];
    EXPECT_TRUE(Has(
        boxes[0], QStringLiteral("جدول t2.dbf: عملیات: فشرده سازی؛ ") + count.arg(rows).arg(rows)))
        << boxes[0];
    EXPECT_TRUE(Has(boxes[0], QStringLiteral("نتیجه: ناموفق: "))) << boxes[0];
    EXPECT_TRUE(Has(boxes[0], QStringLiteral("نتیجه کل: ناموفق"))) << boxes[0];
    EXPECT_FALSE(Has(boxes[0], QStringLiteral("result"))) << boxes[0];

    // Ticks that clear the log and run nothing: after the window, with sessions connected, and
    // at a new day's first tick outside the window.
    Tick(10, 7, 0);
    EXPECT_EQ(Log().size(), 1);
    EXPECT_EQ(window->StatusPanelText(1), shown);
    window->lstUsers->addItems({QStringLiteral("a;active"), QStringLiteral("b;active")});
    Tick(10, 3, 0);
    EXPECT_FALSE(Log().join(u'\n').contains(QStringLiteral("Error")));
    EXPECT_EQ(window->StatusPanelText(1), shown);
    window->lstUsers->clear();
    Tick(11, 7, 0);
    EXPECT_EQ(window->StatusPanelText(1), shown);
    EXPECT_EQ(Click(2), boxes);  // still that pass's summary

    // The journal, never cleared, holds the error line and the pass's summary.
    const std::string journal = Journal();
    EXPECT_TRUE(Has(journal, errorLine)) << journal;
    EXPECT_TRUE(Has(journal, QStringLiteral("table t2.dbf: operations pack"))) << journal;

    // The next night's pass succeeds: the error is gone, the success stamped as that day's.
    Tick(11, 0, 30);
    ASSERT_TRUE(ProcessedToday);
    EXPECT_EQ(window->StatusPanelText(1), panelBefore);
    EXPECT_EQ(window->StatusPanelText(2), QStringLiteral("11/12/2026 00:30:00"));
    EXPECT_EQ(TodayStamp, QStringLiteral("11/12/2026"));
    boxes = Click(2);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(Has(
        boxes[0], QStringLiteral("جدول t1.dbf: عملیات: فشرده سازی؛ ") + count.arg(kept).arg(kept)))
        << boxes[0];
    EXPECT_TRUE(Has(
        boxes[0], QStringLiteral("جدول t2.dbf: عملیات: فشرده سازی؛ ") + count.arg(rows).arg(kept)))
        << boxes[0];
    EXPECT_FALSE(Has(boxes[0], QStringLiteral("ناموفق"))) << boxes[0];
    EXPECT_TRUE(Has(boxes[0], QStringLiteral("نتیجه کل: موفق"))) << boxes[0];
    Tick(11, 0, 31);
    EXPECT_EQ(window->StatusPanelText(1),
              QStringLiteral("This operation has been processed today"));
}

}  // namespace
