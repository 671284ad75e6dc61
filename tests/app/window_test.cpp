// The main window as the operator first sees it: every control, its place, caption and state.
#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QScrollBar>
#include <QTest>
#include <cstdlib>
#include <filesystem>
#include <set>

#include "app/uMain.h"
#include "platform/Dialogs.h"
#include "tests/support/TestFolders.h"

namespace {

using ari::test::TempFolder;

class Window : public ::testing::Test {
  protected:
    void SetUp() override {
        ari::Dialogs().showMessage = [this](const std::string& t) { messages.push_back(t); };
        ari::Dialogs().showError = [this](const std::string& t) { messages.push_back(t); };
        ari::Environment env = ari::DefaultEnvironment();
        env.executablePath = dir / "autoreindex";
        window = std::make_unique<TfMain>(env);
        window->show();
    }
    void TearDown() override {
        window.reset();
        ari::Dialogs() = {};
    }
    template <typename T>
    T* Find(const char* name) {
        T* w = window->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(w, nullptr) << name << " missing or of another kind";
        return w;
    }

    TempFolder dir;
    std::vector<std::string> messages;
    std::unique_ptr<TfMain> window;
};

struct ControlRow {
    const char* name;
    const char* kind;  // Qt class name
    int left, top, width, height;
    bool visible;
    const char* caption;  // text, or nullptr when the control has none
};

const ControlRow kControls[] = {
    {"Panel2", "QFrame", 0, 0, 720, 31, true, nullptr},
    {"Panel1", "QFrame", 0, 31, 720, 563, true, nullptr},
    {"StatusBar1", "QStatusBar", 0, 594, 720, 19, true, nullptr},
    {"FilterComboBox1", "QComboBox", 432, 173, 145, 21, false, nullptr},
    {"FLBMaghsad", "ari::FileListBox", 424, 173, 145, 97, false, nullptr},
    {"Memo1", "QPlainTextEdit", 432, 197, 63, 89, false, nullptr},
    {"Memo2", "QPlainTextEdit", 504, 197, 77, 89, false, nullptr},
    {"LEMaghsad", "QLineEdit", 128, 10, 537, 21, true, ""},
    {"BitBtn2", "QPushButton", 3, 10, 122, 21, true, "انتخاب مسير مقصد"},
    {"LESource", "QLineEdit", 128, 37, 537, 21, true, nullptr},  // filled at start-up
    {"BitBtn3", "QPushButton", 3, 37, 122, 21, true, "انتخاب مسير منبع"},
    {"CBCopyRe", "QCheckBox", 3, 66, 119, 17, true, "انتقال ايندکس"},
    {"CBReIndex", "QCheckBox", 3, 86, 119, 17, true, "بازسازی ايندکس"},
    {"CBPack", "QCheckBox", 3, 107, 119, 17, true, "فشرده سازی"},
    {"CLBFile", "QListWidget", 128, 66, 588, 211, true, nullptr},
    {"btnStart", "QPushButton", 3, 251, 122, 27, true, "شروع"},
    {"BitBtn1", "QPushButton", 3, 283, 122, 27, true, "ذخیره سازی"},
    {"tmpckrBegin", "QTimeEdit", 512, 280, 126, 32, true, "00:00:01"},
    {"Label1", "QLabel", 642, 289, 69, 13, true, "ساعت شروع :"},
    {"tmpckrEnd", "QTimeEdit", 128, 280, 126, 32, true, "06:00:00"},
    {"Label2", "QLabel", 260, 289, 60, 13, true, "ساعت پایان :"},
    {"chkAutomat", "QCheckBox", 128, 319, 126, 17, true, "شروع به کار حین ورود"},
    {"Label3", "QLabel", 642, 325, 67, 13, true, "کاربران متصل :"},
    {"ListBox1", "ari::ListBox", 4, 342, 126, 85, true, nullptr},
    {"ListBox2", "ari::ListBox", 132, 342, 126, 85, true, nullptr},
    {"ListBox3", "ari::ListBox", 260, 342, 126, 85, true, nullptr},
    {"ListBox4", "ari::ListBox", 388, 342, 126, 85, true, nullptr},
    {"lstUsers", "ari::ListBox", 516, 342, 200, 85, true, nullptr},
    {"Label4", "QLabel", 1, 430, 718, 13, true,
     "فولدری به نام mdx ایجاد شده، محتویات را در منبع جایگذاری کنید. (درصورت بروز شدن "
     "ایندکس،resource بروز شود)"},
    {"mLog", "QPlainTextEdit", 4, 446, 712, 93, true, ""},
    {"ProgressBar1", "QProgressBar", 4, 542, 712, 17, true, nullptr},
    {"Memo3", "QPlainTextEdit", 144, 184, 329, 89, false, "Memo3"},
};

QString CaptionOf(QWidget* w) {
    if (auto* b = qobject_cast<QAbstractButton*>(w))
        return b->text();
    if (auto* l = qobject_cast<QLabel*>(w))
        return l->text();
    if (auto* e = qobject_cast<QLineEdit*>(w))
        return e->text();
    if (auto* t = qobject_cast<QTimeEdit*>(w))
        return t->text();
    if (auto* m = qobject_cast<QPlainTextEdit*>(w))
        return m->toPlainText();
    return QString();
}

TEST_F(Window, EveryControlInItsPlaceWithItsCaption) {
    for (const auto& row : kControls) {
        SCOPED_TRACE(row.name);
        QWidget* w = Find<QWidget>(row.name);
        if (!w)
            continue;
        EXPECT_TRUE(w->inherits(row.kind)) << w->metaObject()->className();
        EXPECT_EQ(w->geometry(), QRect(row.left, row.top, row.width, row.height));
        EXPECT_EQ(w->isVisibleTo(window.get()), row.visible);
        if (row.caption) {
            EXPECT_EQ(CaptionOf(w).toStdString(), row.caption);
        }
    }
    // Controls of the working panel are its children; the hidden working lists are the window's.
    EXPECT_EQ(window->LEMaghsad->parentWidget(), window->Panel1);
    EXPECT_EQ(window->Memo3->parentWidget(), window->Panel1);
    EXPECT_EQ(window->FLBMaghsad->parentWidget(), window.get());
}

TEST_F(Window, WindowFrameAndLook) {
    EXPECT_EQ(window->windowTitle(), "Auto ReIndex Database");
    EXPECT_EQ(window->size(), QSize(720, 613));
    EXPECT_EQ(window->minimumSize(), window->maximumSize());
    EXPECT_FALSE(window->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(window->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_EQ(window->palette().color(QPalette::Window), QColor(192, 220, 192));
    EXPECT_EQ(window->font().family(), "Tahoma");
    EXPECT_EQ(window->font().pixelSize(), 11);
    EXPECT_EQ(window->Panel2Caption->text(), "ReIndex _ Pack Database");
    EXPECT_EQ(window->tmpckrBegin->font().family(), "Segoe UI");
    EXPECT_EQ(window->tmpckrBegin->font().pixelSize(), 16);
    EXPECT_EQ(window->tmpckrBegin->displayFormat(), "HH:mm:ss");
    EXPECT_TRUE(window->Label4->font().bold());
    EXPECT_EQ(window->Label4->palette().color(QPalette::WindowText), QColor(128, 0, 0));
    EXPECT_TRUE(window->mLog->styleSheet().contains("rgb(0, 0, 0)"));
    EXPECT_TRUE(window->mLog->styleSheet().contains("rgb(0, 255, 0)"));
    EXPECT_FALSE(window->mLog->isReadOnly());
    EXPECT_EQ(window->mLog->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(window->Memo1->lineWrapMode(), QPlainTextEdit::NoWrap);
    EXPECT_EQ(window->FLBMaghsad->Mask(), "*.dbf");
    EXPECT_EQ(window->FilterComboBox1->count(), 1);
    EXPECT_EQ(window->FilterComboBox1->itemData(0).toString(), "*.dbf|*.dbf");
    EXPECT_EQ(window->ProgressBar1->value(), 0);
}

TEST_F(Window, InitialStates) {
    for (QCheckBox* box : {window->CBCopyRe, window->CBReIndex, window->CBPack, window->chkAutomat})
        EXPECT_FALSE(box->isChecked()) << box->objectName().toStdString();
    EXPECT_EQ(window->btnStartTag(), 0);
    for (QListWidget* l : {window->CLBFile, window->ListBox1, window->ListBox2, window->ListBox3,
                           window->ListBox4, window->lstUsers})
        EXPECT_EQ(l->count(), 0);
    EXPECT_EQ(window->Table1->Name(), "Table1");
    EXPECT_EQ(window->Table2->Name(), "Table2");
    EXPECT_EQ(window->Table2->DatabaseName(), "");
    EXPECT_FALSE(window->Table2->Exclusive());
}

TEST_F(Window, StatusPanels) {
    EXPECT_EQ(window->StatusPanelText(0), "Ver: 5.33");
    EXPECT_EQ(window->StatusPanelText(1), "Proccess isn't start");
    EXPECT_EQ(window->StatusPanelText(2), "");
    auto* p0 = Find<QLabel>("StatusBar1Panel0");
    auto* p1 = Find<QLabel>("StatusBar1Panel1");
    auto* p2 = Find<QLabel>("StatusBar1Panel2");
    EXPECT_EQ(p0->width(), 70);
    EXPECT_EQ(p1->width(), 300);
    EXPECT_GE(p2->width(), 100);
    EXPECT_LT(p0->x(), p1->x());
    EXPECT_LT(p1->x(), p2->x());
    EXPECT_GE(p2->geometry().right(), window->StatusBar1->width() - 12);  // reaches the end
    // Edge to edge: no margin before the first panel and no gap between two of them.
    EXPECT_EQ(p0->x(), 0);
    EXPECT_EQ(p1->x(), p0->geometry().right() + 1);
    EXPECT_EQ(p2->x(), p1->geometry().right() + 1);
    EXPECT_EQ(p2->geometry().right(), window->StatusBar1->width() - 1);
    EXPECT_TRUE(p1->alignment() & Qt::AlignHCenter);
    EXPECT_TRUE(p0->alignment() & Qt::AlignLeft);
}

// The start of what a panel shows, its ellipsis taken off (and the joiner that keeps a cut
// Persian letter in its joined form); "" when the text is shown whole.
QString ShownStart(QString shown) {
    if (shown.endsWith(QChar(0x2026)))
        shown.chop(1);
    else if (shown.endsWith(QStringLiteral("...")))
        shown.chop(3);
    else
        return QString();
    if (shown.endsWith(QChar(0x200D)))
        shown.chop(1);
    return shown;
}

TEST_F(Window, AStatusTextTooLongForItsPanelShowsItsStartInItsOwnDirection) {
    auto* panel = Find<QLabel>("StatusBar1Panel1");
    const struct {
        QString text;
        Qt::LayoutDirection direction;
    } rows[] = {
        {QStringLiteral("File access denied: /opt/accounting-archive/branch-offices/"
                        "tehran-central/fiscal-year-1403/live-tables/customers.dbf"),
         Qt::LeftToRight},
        {QStringLiteral("جدول مشتریان در دسترس نیست و فشرده سازی آن تا اجرای بعدی انجام نخواهد "
                        "شد؛ برنامه دیگری آن را باز نگه داشته است"),
         Qt::RightToLeft},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text.toStdString());
        window->SetStatusPanelText(1, row.text);
        EXPECT_EQ(window->StatusPanelText(1), row.text);
        const QString start = ShownStart(panel->text());
        ASSERT_FALSE(start.isEmpty()) << "shown whole: " << panel->text().toStdString();
        EXPECT_TRUE(row.text.startsWith(start)) << panel->text().toStdString();
        EXPECT_GT(start.size(), row.text.size() / 3) << panel->text().toStdString();
        EXPECT_LE(panel->fontMetrics().horizontalAdvance(panel->text()),
                  panel->contentsRect().width());
        EXPECT_EQ(panel->layoutDirection(), row.direction);
        EXPECT_EQ(panel->toolTip(), row.text);
    }
    // A text that fits is shown whole, without a tip.
    window->SetStatusPanelText(1, QStringLiteral("Proccess isn't start"));
    EXPECT_EQ(panel->text(), QStringLiteral("Proccess isn't start"));
    EXPECT_TRUE(panel->toolTip().isEmpty());
}

TEST_F(Window, Timers) {
    EXPECT_TRUE(window->tCheckUser->Enabled());
    EXPECT_EQ(window->tCheckUser->Interval(), 30000);
    EXPECT_FALSE(window->tStartReindex->Enabled());
    EXPECT_EQ(window->tStartReindex->Interval(), 60000);
}

TEST_F(Window, SwitchingATimerOnRestartsItOnlyWhenItWasOff) {
    ari::WindowTimer* t = window->tStartReindex;
    t->SetEnabled(true);
    QTest::qWait(300);
    const int afterWait = t->RemainingTime();
    EXPECT_LT(afterWait, 59800);
    t->SetEnabled(true);  // already on: the interval runs on
    EXPECT_LE(t->RemainingTime(), afterWait);
    t->SetEnabled(false);
    EXPECT_EQ(t->RemainingTime(), -1);
    t->SetEnabled(true);  // off → on: a fresh interval
    EXPECT_GT(t->RemainingTime(), 59800);
}

TEST_F(Window, RightToLeftWhateverTheLocale) {
    EXPECT_EQ(window->layoutDirection(), Qt::RightToLeft);
    EXPECT_EQ(window->CBPack->layoutDirection(), Qt::RightToLeft);
    EXPECT_EQ(window->Label1->layoutDirection(), Qt::RightToLeft);
    // Controls marked left to right keep their own direction.
    for (QWidget* w : std::initializer_list<QWidget*>{
             window->LEMaghsad, window->LESource, window->CLBFile, window->tmpckrBegin,
             window->tmpckrEnd, window->lstUsers, window->ListBox1, window->mLog, window->Memo3})
        EXPECT_EQ(w->layoutDirection(), Qt::LeftToRight) << w->objectName().toStdString();
    // Labels stand to the right of their edits, 8 pixels away.
    EXPECT_EQ(window->LEMaghsadLabel->text(), "مقصد :");
    EXPECT_EQ(window->LEMaghsadLabel->x(), window->LEMaghsad->geometry().right() + 1 + 8);
    EXPECT_EQ(window->LESourceLabel->text(), "منبع :");
    EXPECT_EQ(window->LESourceLabel->x(), window->LESource->geometry().right() + 1 + 8);
}

TEST_F(Window, TabOrderFollowsTheDesign) {
    const std::vector<QWidget*> panelOrder = {
        window->CBPack,      window->CBReIndex, window->CLBFile,  window->LEMaghsad,
        window->BitBtn2,     window->BitBtn3,   window->LESource, window->ProgressBar1,
        window->btnStart,    window->CBCopyRe,  window->BitBtn1,  window->tmpckrEnd,
        window->tmpckrBegin, window->lstUsers,  window->ListBox1, window->ListBox2,
        window->ListBox3,    window->ListBox4,  window->mLog,     window->Memo3,
        window->chkAutomat};
    for (size_t i = 0; i < panelOrder.size(); ++i)
        EXPECT_EQ(panelOrder[i]->property("TabOrder").toInt(), static_cast<int>(i));
    // The focus chain visits the focusable ones in that order.
    std::vector<QWidget*> focusable;
    for (QWidget* w : panelOrder)
        if (w->focusPolicy() & Qt::TabFocus && w->isVisibleTo(window.get()))
            focusable.push_back(w);
    std::vector<QWidget*> visited;
    QWidget* w = focusable.front();
    do {
        if (std::find(focusable.begin(), focusable.end(), w) != focusable.end() &&
            std::find(visited.begin(), visited.end(), w) == visited.end())
            visited.push_back(w);
        w = w->nextInFocusChain();
    } while (w && w != focusable.front());
    ASSERT_EQ(visited.size(), focusable.size());
    for (size_t i = 0; i < focusable.size(); ++i)
        EXPECT_EQ(visited[i], focusable[i])
            << "position " << i << ": " << visited[i]->objectName().toStdString();
}

void Fill(QListWidget* l, int rows) {
    for (int i = 0; i < rows; ++i)
        l->addItem(QStringLiteral("row %1").arg(i));
}

TEST_F(Window, SelectingARowSelectsItInAllFiveLists) {
    for (QListWidget* l :
         {window->ListBox1, window->ListBox2, window->ListBox3, window->ListBox4, window->lstUsers})
        Fill(l, 4);
    // A click on the third row of ListBox2.
    QListWidget* l2 = window->ListBox2;
    const QRect r = l2->visualItemRect(l2->item(2));
    QTest::mouseClick(l2->viewport(), Qt::LeftButton, {}, r.center());
    for (QListWidget* l :
         {window->ListBox1, window->ListBox2, window->ListBox3, window->ListBox4, window->lstUsers})
        EXPECT_EQ(l->currentRow(), 2) << l->objectName().toStdString();
    // The arrow key in lstUsers moves all of them.
    window->lstUsers->setFocus();
    QTest::keyClick(window->lstUsers, Qt::Key_Down);
    for (QListWidget* l :
         {window->ListBox1, window->ListBox2, window->ListBox3, window->ListBox4, window->lstUsers})
        EXPECT_EQ(l->currentRow(), 3) << l->objectName().toStdString();
}

TEST_F(Window, RowsSetFromCodeRaiseNoSync) {
    for (QListWidget* l : {window->ListBox1, window->ListBox2, window->lstUsers})
        Fill(l, 3);
    window->ListBox1->setCurrentRow(1);
    EXPECT_EQ(window->ListBox2->currentRow(), -1);
    EXPECT_EQ(window->lstUsers->currentRow(), -1);
}

TEST_F(Window, ShorterListsGetNoRowBeyondTheirEnd) {
    Fill(window->ListBox1, 5);
    Fill(window->lstUsers, 2);
    window->ListBox1->setCurrentRow(4);
    window->lstUsersClick(window->ListBox1);
    EXPECT_EQ(window->lstUsers->currentRow(), -1);
    EXPECT_EQ(window->ListBox1->currentRow(), 4);
}

TEST_F(Window, TabLeavesTheLogAsEveryOtherControl) {
    // The log is the last visible control of the tab order but one: Tab must reach the one
    // after it, and the log must not take the key as a tab character.
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    window->mLog->setFocus();
    ASSERT_TRUE(window->mLog->hasFocus());
    window->mLog->setPlainText(QStringLiteral("typed"));
    QTest::keyClick(window->mLog, Qt::Key_Tab);
    EXPECT_EQ(window->mLog->toPlainText(), "typed");
    EXPECT_EQ(QApplication::focusWidget(), window->chkAutomat);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
    EXPECT_EQ(QApplication::focusWidget(), window->mLog);
}

// The lists' rows are one line of the window's font high, as the platform draws them: the
// session lists show six rows in their 85 pixels, and the check list holds 64 tables in its five
// columns without a scroll bar.
TEST_F(Window, ListRowsFollowTheDesignsMetrics) {
    for (QListWidget* l : {window->ListBox1, window->ListBox2, window->ListBox3, window->ListBox4,
                           window->lstUsers}) {
        SCOPED_TRACE(l->objectName().toStdString());
        Fill(l, 8);
        const QRect view = l->viewport()->rect();
        for (int row = 0; row < 8; ++row) {
            const QRect r = l->visualItemRect(l->item(row));
            EXPECT_EQ(r.height(), 13) << row;
            EXPECT_EQ(view.contains(r), row < 6) << row;
        }
    }
    QListWidget* list = window->CLBFile;
    for (int i = 0; i < 64; ++i) {
        auto* item = new QListWidgetItem(QStringLiteral("TABLE%1.DBF").arg(i), list);
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(Qt::Checked);
    }
    QApplication::processEvents();
    std::set<int> columns;
    for (int i = 0; i < 64; ++i) {
        const QRect r = list->visualItemRect(list->item(i));
        EXPECT_EQ(r.height(), 13) << i;
        EXPECT_TRUE(list->viewport()->rect().contains(r)) << i;
        columns.insert(r.left());
    }
    EXPECT_EQ(columns.size(), 5u);
    EXPECT_FALSE(list->horizontalScrollBar()->isVisible());
}

// Each time picker is one stop of the tab order: Tab leaves it from whichever field is
// selected; the arrows move between its fields and change the one selected.
TEST_F(Window, ATimePickerIsOneTabStopAndItsArrowsMoveBetweenItsFields) {
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    QTimeEdit* end = window->tmpckrEnd;
    end->setTime(QTime(6, 0, 0));
    end->setFocus(Qt::TabFocusReason);
    ASSERT_TRUE(end->hasFocus());
    EXPECT_EQ(end->currentSection(), QDateTimeEdit::HourSection);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Right);
    EXPECT_EQ(end->currentSection(), QDateTimeEdit::MinuteSection);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Up);
    EXPECT_EQ(end->time(), QTime(6, 1, 0));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Right);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Right);  // stays on the seconds
    EXPECT_EQ(end->currentSection(), QDateTimeEdit::SecondSection);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Left);
    EXPECT_EQ(end->currentSection(), QDateTimeEdit::MinuteSection);
    // One Tab from the middle field reaches the next control, one Shift+Tab comes back.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), window->tmpckrBegin);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
    EXPECT_EQ(QApplication::focusWidget(), end);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
    EXPECT_EQ(QApplication::focusWidget(), window->BitBtn1);
    EXPECT_EQ(end->time(), QTime(6, 1, 0));
}

// The caption as the display server shows it: the platform appends the application display name
// to a window's title when one is set. Runs a copy of the real program (its folder takes its
// settings and templates) on a virtual display and reads its window's name there.
TEST(Caption, TheDisplayShowsTheDesignedCaptionAlone) {
    if (std::system("command -v xvfb-run >/dev/null 2>&1 && command -v xwininfo >/dev/null 2>&1") !=
        0)
        GTEST_SKIP() << "xvfb-run or xwininfo is not installed";
    TempFolder dir;
    const std::string exe = dir / "autoreindex";
    std::filesystem::copy_file(std::string(ARI_BIN_DIR) + "/autoreindex", exe);
    const std::string tree = dir / "tree.txt";
    const std::string script = "'" + exe +
                               "' & app=\\$!; i=0; "
                               "until xwininfo -root -tree | grep -q '\\\"Auto ReIndex'; do "
                               "i=\\$((i+1)); [ \\$i -gt 200 ] && break; sleep 0.05; done; "
                               "sleep 0.3; xwininfo -root -tree > '" +
                               tree + "'; kill \\$app; wait \\$app";
    const std::string command =
        "env -u QT_QPA_PLATFORM xvfb-run -a sh -c \"" + script + "\" >/dev/null 2>&1";
    std::system(command.c_str());
    const QString listing = QString::fromStdString(ari::test::ReadFileBytes(tree));
    QString caption;
    for (const QString& line : listing.split(u'\n')) {
        // The program's top-level window: its class is the executable's name.
        if (line.contains(QStringLiteral("(\"autoreindex\"")) &&
            line.contains(QStringLiteral("720x613")))
            caption = line.section(u'"', 1, 1);
    }
    EXPECT_EQ(caption.toStdString(), "Auto ReIndex Database") << listing.toStdString();
}

}  // namespace
