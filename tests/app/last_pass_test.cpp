// The last pass as the window keeps it for the operator, through the real window and real
// tables: a failed pass's error stays in the status bar through the minute ticks that clear the
// log, until a later pass succeeds; a click on the status bar shows the last pass's summary in
// Persian.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QComboBox>
#include <QCoreApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QTableWidget>
#include <QTest>
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

// ---- the summary view over the journal's passes

// A journal written by earlier runs of the window or the runner, and one of its older files.
class SummaryView : public ::testing::Test {
  protected:
    void SetUp() override {
        ari::Dialogs().showMessage = [this](const std::string& t) { messages.push_back(t); };
    }
    void TearDown() override {
        window.reset();
        ari::Dialogs() = {};
    }
    void Write(const std::string& name, const std::string& text) {
        std::ofstream(dir / name, std::ios::binary) << text;
    }
    void Start() {
        ari::Environment env{&clock, &sleep, &start, dir / "autoreindex"};
        window = std::make_unique<TfMain>(env);
        window->show();
    }
    ari::PassSummaryView* Open() {
        messages.clear();
        window->ShowLastPass();
        ari::PassSummaryView* view = window->SummaryView();
        return view && view->isVisible() ? view : nullptr;
    }
    QString Cell(ari::PassSummaryView* view, int row, int column) {
        const QTableWidgetItem* item = view->Table->item(row, column);
        return item ? item->text() : QString();
    }

    TempFolder dir;
    FakeClock clock;
    NoSleep sleep;
    NoStart start;
    std::vector<std::string> messages;
    std::unique_ptr<TfMain> window;
};

// Invisible marks that keep a name, a date or a message in its own direction.
QString WithoutMarks(QString text) {
    for (const char16_t mark : {u'\u202A', u'\u202C'})
        text.remove(QChar(mark));
    return text;
}

const std::string kOlderFile =
    "=== Pass summary 2026-12-09 01:00:04 (/srv/live/)\n"
    "table a.dbf: operations rebuild, pack; records 10 -> 8; deleted records removed 2; tags "
    "rebuilt ID; table bytes 900 -> 700; index bytes 4096 -> 4608; time 0.10 s; result ok\n"
    "total time 0.50 s; result ok\n";
const std::string kJournal =
    "10/12/2026 01:00:00 ---Start reindex Time: \"01:00:00\"\n"
    "=== Pass summary 2026-12-10 01:00:09 (/srv/live/)\n"
    "table a.dbf: operations pack; records 8 -> 8; deleted records removed 0; tags rebuilt none; "
    "table bytes 700 -> 700; time 0.02 s; result ok\n"
    "table b.dbf: operations pack; records 5 -> 5; tags rebuilt none; table bytes 300 -> 300; "
    "time 1.25 s; result failed: Table b.dbf is in use; another program holds it\n"
    "total time 1.30 s; result failed: Table b.dbf is in use; another program holds it\n"
    "10/12/2026 01:00:10 ---Checking... Time: \"01:00:10\"\n";

TEST_F(SummaryView, ARestartedWindowShowsTheJournalsPassesTheLastOneFirst) {
    Write("autoreindex.log.1", kOlderFile);
    Write("autoreindex.log", kJournal);
    Start();
    ari::PassSummaryView* view = Open();
    ASSERT_NE(view, nullptr);
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(view->layoutDirection(), Qt::RightToLeft);

    // The nights to choose from, the last one first.
    ASSERT_EQ(view->Passes->count(), 2);
    EXPECT_EQ(WithoutMarks(view->Passes->itemText(0)),
              QStringLiteral("2026-12-10 01:00:09، ناموفق، 2 جدول"));
    EXPECT_EQ(WithoutMarks(view->Passes->itemText(1)),
              QStringLiteral("2026-12-09 01:00:04، موفق، 1 جدول"));
    EXPECT_EQ(view->ShownPass(), 0);

    // A row per table: table, operations, records before and after, removed, time, result.
    ASSERT_EQ(view->Table->rowCount(), 2);
    ASSERT_EQ(view->Table->columnCount(), 7);
    const QStringList a = {"a.dbf", "فشرده سازی", "8", "8", "0", "0.02", "موفق"};
    const QStringList b = {"b.dbf",
                           "فشرده سازی",
                           "5",
                           "5",
                           "-",
                           "1.25",
                           "ناموفق: Table b.dbf is in use; another program holds it"};
    for (int c = 0; c < 7; ++c) {
        EXPECT_EQ(WithoutMarks(Cell(view, 0, c)), a[c]) << c;
        EXPECT_EQ(WithoutMarks(Cell(view, 1, c)), b[c]) << c;
    }
    // The rest of a table's figures are in its row's tip.
    EXPECT_TRUE(view->Table->item(0, 0)->toolTip().contains(QStringLiteral("حجم پیش از کار: 700")));
    EXPECT_TRUE(WithoutMarks(view->Folder->text()).endsWith(QStringLiteral("/srv/live/")));
    EXPECT_EQ(WithoutMarks(view->Total->text()),
              QStringLiteral("زمان کل: 1.30 ثانیه؛ نتیجه کل: ناموفق: Table b.dbf is in use; "
                             "another program holds it"));

    // The older night, from the journal's older file.
    view->Passes->setCurrentIndex(1);
    ASSERT_EQ(view->Table->rowCount(), 1);
    const QStringList older = {"a.dbf", "بازسازی ایندکس، فشرده سازی", "10", "8", "2", "0.10",
                               "موفق"};
    for (int c = 0; c < 7; ++c)
        EXPECT_EQ(WithoutMarks(Cell(view, 0, c)), older[c]) << c;
    EXPECT_TRUE(view->PassText().startsWith(QStringLiteral("خلاصه اجرا، 2026-12-09 01:00:04")));

    // Esc closes it, and so does its button.
    QTest::keyClick(view->Table, Qt::Key_Escape);
    EXPECT_FALSE(view->isVisible());
    ASSERT_EQ(Open(), view);
    EXPECT_EQ(view->ShownPass(), 0);  // opened again on the last night
    view->CloseButton->click();
    EXPECT_FALSE(view->isVisible());
}

TEST_F(SummaryView, ItFitsTheScreenWhateverTheNumberOfTables) {
    for (const int tables : {3, 64, 2000}) {
        SCOPED_TRACE(tables);
        std::string text = "=== Pass summary 2026-12-10 01:00:09 (/srv/live/)\n";
        for (int i = 0; i < tables; ++i)
            text += "table T" + std::to_string(i) +
                    ".DBF: operations rebuild, pack; records 9 -> 8; deleted records removed 1; "
                    "tags rebuilt ID; table bytes 900 -> 800; time 0.01 s; result ok\n";
        text += "total time 3.00 s; result ok\n";
        Write("autoreindex.log", text);
        window.reset();
        Start();
        ari::PassSummaryView* view = Open();
        ASSERT_NE(view, nullptr);
        EXPECT_EQ(view->Table->rowCount(), tables);
        const QRect screen = window->screen()->availableGeometry();
        EXPECT_TRUE(screen.contains(view->frameGeometry()))
            << view->frameGeometry().width() << "x" << view->frameGeometry().height() << " on "
            << screen.width() << "x" << screen.height();
        // Its buttons are on screen, and the table scrolls to its last row.
        for (QWidget* w :
             {static_cast<QWidget*>(view->CloseButton), static_cast<QWidget*>(view->Total)})
            EXPECT_TRUE(screen.contains(QRect(w->mapToGlobal(QPoint(0, 0)), w->size())));
        view->Table->scrollToBottom();
        const QRect last = view->Table->visualItemRect(view->Table->item(tables - 1, 0));
        EXPECT_TRUE(view->Table->viewport()->rect().contains(last));
        // A few tables need no more room than they take.
        if (tables == 3) {
            EXPECT_LT(view->height(), screen.height() / 2);
        }
    }
}

TEST_F(SummaryView, ThePassTheJournalCouldNotTakeIsShownFromTheWindow) {
    std::filesystem::create_directories(dir / "live");
    ari::test::MakeTable(dir / "live/t1.dbf", ari::test::StandardRows());
    std::filesystem::create_directories(dir / "autoreindex.log");  // no journal can be written
    Start();
    window->LEMaghsad->setText(QString::fromStdString(dir / "live"));
    window->LESource->setText(QString::fromStdString(dir / "mdx"));
    window->CBPack->setChecked(true);
    ASSERT_TRUE(window->ReindexProccess());
    ari::PassSummaryView* view = Open();
    ASSERT_NE(view, nullptr);
    ASSERT_EQ(view->Passes->count(), 1);
    ASSERT_EQ(view->Table->rowCount(), 1);
    EXPECT_EQ(WithoutMarks(Cell(view, 0, ari::PassSummaryView::kTable)), "t1.dbf");
    EXPECT_EQ(Cell(view, 0, ari::PassSummaryView::kResult), QStringLiteral("موفق"));
}
