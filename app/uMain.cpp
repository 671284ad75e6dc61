// The main window: every control in its place and initial state, the event wiring, the status
// bar panels and the selection sync of the five session lists.
#include "app/uMain.h"

#include <QApplication>
#include <QFont>
#include <QFontMetrics>
#include <QPalette>
#include <algorithm>
#include <utility>
#include <vector>

#include "app/ClickFilter.h"
#include "app/ErrorGuard.h"
#include "app/ListBox.h"
#include "app/TimePicker.h"
#include "log/OperationLog.h"
#include "maintenance/RunSummary.h"

namespace {

constexpr int kClientWidth = 720;
constexpr int kClientHeight = 613;
const QColor kMoneyGreen(192, 220, 192);
const QColor kMaroon(128, 0, 0);

QFont WindowFont() {
    QFont f(QStringLiteral("Tahoma"));
    f.setPixelSize(11);
    return f;
}

QFont PickerFont() {
    QFont f(QStringLiteral("Segoe UI"));
    f.setPixelSize(16);
    return f;
}

template <typename W>
W* Make(QWidget* parent, const char* name, int left, int top, int width, int height) {
    auto* w = new W(parent);
    w->setObjectName(QString::fromLatin1(name));
    w->setGeometry(left, top, width, height);
    return w;
}

// Marks a control as left to right, with its text aligned to the left.
void MakeLeftToRight(QWidget* w) {
    w->setLayoutDirection(Qt::LeftToRight);
}

QLabel* EditLabel(QWidget* parent, const char* name, const QString& text, QLineEdit* edit) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setLayoutDirection(Qt::RightToLeft);
    label->adjustSize();
    const QRect r = edit->geometry();
    label->move(r.right() + 1 + 8, r.top() + (r.height() - label->height()) / 2);
    return label;
}

QLabel* Caption(QWidget* parent, const char* name, const QString& text, int left, int top,
                int width, int height) {
    auto* label = Make<QLabel>(parent, name, left, top, width, height);
    label->setText(text);
    return label;
}

// Orders the focus chain of one parent's controls by their tab positions.
void SetTabOrder(std::vector<std::pair<int, QWidget*>> controls) {
    std::sort(controls.begin(), controls.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& [tab, w] : controls)
        w->setProperty("TabOrder", tab);
    for (size_t i = 1; i < controls.size(); ++i)
        QWidget::setTabOrder(controls[i - 1].second, controls[i].second);
}

// Maps the window's fonts (Tahoma, Segoe UI) onto fonts this machine has that carry Persian
// glyphs with close metrics.
void InstallFontSubstitutes() {
    const QStringList persian = {QStringLiteral("Noto Sans Arabic UI"),
                                 QStringLiteral("Noto Sans Arabic"), QStringLiteral("DejaVu Sans")};
    QFont::insertSubstitutions(QStringLiteral("Tahoma"), persian);
    QFont::insertSubstitutions(QStringLiteral("Segoe UI"),
                               {QStringLiteral("DejaVu Sans"), QStringLiteral("Noto Sans")});
}

// A panel is one line of fixed width. A text too long for it shows its start, cut at its end
// with an ellipsis, and the whole text in the panel's tip: centred and clipped, a long error
// lost its first words. Each text is laid out in its own direction, that of its first letter,
// whatever the window's: an English error reads left to right, a Persian text right to left.
// `laidOut` is `text` with the direction marks that lay it out (the same text when none).
void ShowInPanel(QLabel* panel, const QString& text, const QString& laidOut) {
    panel->setLayoutDirection(laidOut.isRightToLeft() ? Qt::RightToLeft : Qt::LeftToRight);
    const QFontMetrics metrics(panel->font());
    // The room inside the frame, less the label's margin on either side.
    const int room = panel->contentsRect().width() - metrics.horizontalAdvance(u'x');
    const QString shown = metrics.elidedText(laidOut, Qt::ElideRight, room);
    panel->setText(shown);
    panel->setToolTip(shown == laidOut ? QString() : text);
}

}  // namespace

TfMain::TfMain(const ari::Environment& env, QWidget* parent) : QWidget(parent), env_(env) {
    fMain = this;
    InstallFontSubstitutes();
    CreateControls();
    WireEvents();
    logPanel_ = std::make_unique<ari::LogSubscription>([this](const std::string& text, bool clear) {
        // A line written on another thread reaches the panel through the window's queue.
        QMetaObject::invokeMethod(mLog, [this, line = QString::fromStdString(text), clear] {
            if (fMain != this)
                return;  // the log writes to the panel of the one main window
            if (clear)
                mLog->clear();
            // appendPlainText adds a line break before the text only when the panel is not
            // empty.
            mLog->appendPlainText(line);
        });
    });
    ari::RunGuarded([this] { FormCreate(); });
}

TfMain::~TfMain() {
    if (listingSleep_.joinable())
        listingSleep_.join();  // the sleeper belongs to the environment's owner
    logPanel_.reset();
    if (fMain == this)
        fMain = nullptr;
}

void TfMain::CreateControls() {
    setObjectName(QStringLiteral("fMain"));
    setWindowTitle(QStringLiteral("Auto ReIndex Database"));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(kClientWidth, kClientHeight);
    setLayoutDirection(Qt::RightToLeft);
    setFont(WindowFont());
    QPalette pal = palette();
    pal.setColor(QPalette::Window, kMoneyGreen);
    setPalette(pal);
    setAutoFillBackground(true);

    // ---- Top level: caption strip, working panel, status bar, hidden working lists.
    Panel2 = Make<QFrame>(this, "Panel2", 0, 0, 720, 31);
    Panel2->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Panel2->setLineWidth(1);
    Panel2Caption = Make<QLabel>(Panel2, "Panel2Caption", 1, 1, 718, 29);
    Panel2Caption->setText(QStringLiteral("ReIndex _ Pack Database"));
    Panel2Caption->setAlignment(Qt::AlignCenter);
    Panel2Caption->setFrameStyle(QFrame::Panel | QFrame::Sunken);

    Panel1 = Make<QFrame>(this, "Panel1", 0, 31, 720, 563);
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Panel1->setLineWidth(1);

    StatusBar1 = Make<QStatusBar>(this, "StatusBar1", 0, 594, 720, 19);
    StatusBar1->setSizeGripEnabled(false);
    StatusBar1->setLayoutDirection(Qt::LeftToRight);
    // The panels sit edge to edge at 0, 70 and 370, the last reaching the right end. They are
    // placed by hand: the bar's own layout would put margins and spacing around them.
    const int lefts[3] = {0, 70, 370};
    const int widths[3] = {70, 300, 720 - 370};
    const char* texts[3] = {"Ver: 5.33", "Proccess isn't start", ""};
    for (int i = 0; i < 3; ++i) {
        auto* panel = new QLabel(StatusBar1);
        panel->setObjectName(QStringLiteral("StatusBar1Panel%1").arg(i));
        panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        panel->setAlignment(i == 0 ? (Qt::AlignLeft | Qt::AlignVCenter) : Qt::AlignCenter);
        panel->setTextFormat(Qt::PlainText);  // an error text is never read as markup
        panel->setGeometry(lefts[i], 0, widths[i], 19);
        statusPanels_[i] = panel;
        SetStatusPanelText(i, QString::fromLatin1(texts[i]));
    }
    // Panels 1 and 2 (the day's state or the last error, the last success) open the last
    // pass's summary.
    auto* lastPassClick =
        new ari::ClickFilter(StatusBar1, [this] { ari::RunGuarded([this] { ShowLastPass(); }); });
    statusPanels_[1]->installEventFilter(lastPassClick);
    statusPanels_[2]->installEventFilter(lastPassClick);

    FilterComboBox1 = Make<QComboBox>(this, "FilterComboBox1", 432, 173, 145, 21);
    FilterComboBox1->addItem(QStringLiteral("*.dbf"), QStringLiteral("*.dbf|*.dbf"));
    FilterComboBox1->setVisible(false);
    FLBMaghsad = Make<ari::FileListBox>(this, "FLBMaghsad", 424, 173, 145, 97);
    FLBMaghsad->SetMask(QStringLiteral("*.dbf"));
    FLBMaghsad->setVisible(false);
    Memo1 = Make<QPlainTextEdit>(this, "Memo1", 432, 197, 63, 89);
    Memo2 = Make<QPlainTextEdit>(this, "Memo2", 504, 197, 77, 89);
    for (QPlainTextEdit* m : {Memo1, Memo2}) {
        m->setLineWrapMode(QPlainTextEdit::NoWrap);
        m->setVisible(false);
    }

    // ---- Controls of the working panel (coordinates relative to it).
    QWidget* p = Panel1;
    LEMaghsad = Make<QLineEdit>(p, "LEMaghsad", 128, 10, 537, 21);
    MakeLeftToRight(LEMaghsad);
    LEMaghsadLabel = EditLabel(p, "LEMaghsadLabel", QStringLiteral("مقصد :"), LEMaghsad);
    BitBtn2 = Make<QPushButton>(p, "BitBtn2", 3, 10, 122, 21);
    BitBtn2->setText(QStringLiteral("انتخاب مسير مقصد"));
    LESource = Make<QLineEdit>(p, "LESource", 128, 37, 537, 21);
    MakeLeftToRight(LESource);
    LESourceLabel = EditLabel(p, "LESourceLabel", QStringLiteral("منبع :"), LESource);
    BitBtn3 = Make<QPushButton>(p, "BitBtn3", 3, 37, 122, 21);
    BitBtn3->setText(QStringLiteral("انتخاب مسير منبع"));

    CBCopyRe = Make<QCheckBox>(p, "CBCopyRe", 3, 66, 119, 17);
    CBCopyRe->setText(QStringLiteral("انتقال ايندکس"));
    CBReIndex = Make<QCheckBox>(p, "CBReIndex", 3, 86, 119, 17);
    CBReIndex->setText(QStringLiteral("بازسازی ايندکس"));
    CBPack = Make<QCheckBox>(p, "CBPack", 3, 107, 119, 17);
    CBPack->setText(QStringLiteral("فشرده سازی"));

    CLBFile = Make<QListWidget>(p, "CLBFile", 128, 66, 588, 211);
    MakeLeftToRight(CLBFile);
    CLBFile->setFlow(QListView::TopToBottom);  // five columns, filled column by column
    CLBFile->setWrapping(true);
    CLBFile->setResizeMode(QListView::Adjust);
    CLBFile->setUniformItemSizes(true);
    // Rows of one line of the window's font, as the platform's check list draws them: fifteen
    // rows of five columns show 75 tables without a scroll bar.
    CLBFile->setGridSize(QSize((588 - 2 * CLBFile->frameWidth()) / 5, ari::ListBox::kRowHeight));
    CLBFile->setItemDelegate(new ari::RowHeightDelegate(ari::ListBox::kRowHeight, CLBFile));

    btnStart = Make<QPushButton>(p, "btnStart", 3, 251, 122, 27);
    btnStart->setText(QStringLiteral("شروع"));
    BitBtn1 = Make<QPushButton>(p, "BitBtn1", 3, 283, 122, 27);
    BitBtn1->setText(QStringLiteral("ذخیره سازی"));

    tmpckrBegin = Make<ari::TimePicker>(p, "tmpckrBegin", 512, 280, 126, 32);
    tmpckrEnd = Make<ari::TimePicker>(p, "tmpckrEnd", 128, 280, 126, 32);
    for (QTimeEdit* t : {tmpckrBegin, tmpckrEnd}) {
        MakeLeftToRight(t);  // keeps hh:mm:ss in reading order under a right-to-left window
        t->setDisplayFormat(QStringLiteral("HH:mm:ss"));
        t->setFont(PickerFont());
        t->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    }
    tmpckrBegin->setTime(QTime(0, 0, 1));
    tmpckrEnd->setTime(QTime(6, 0, 0));
    Label1 = Caption(p, "Label1", QStringLiteral("ساعت شروع :"), 642, 289, 69, 13);
    Label2 = Caption(p, "Label2", QStringLiteral("ساعت پایان :"), 260, 289, 60, 13);

    chkAutomat = Make<QCheckBox>(p, "chkAutomat", 128, 319, 126, 17);
    chkAutomat->setText(QStringLiteral("شروع به کار حین ورود"));
    Label3 = Caption(p, "Label3", QStringLiteral("کاربران متصل :"), 642, 325, 67, 13);

    ListBox1 = Make<ari::ListBox>(p, "ListBox1", 4, 342, 126, 85);
    ListBox2 = Make<ari::ListBox>(p, "ListBox2", 132, 342, 126, 85);
    ListBox3 = Make<ari::ListBox>(p, "ListBox3", 260, 342, 126, 85);
    ListBox4 = Make<ari::ListBox>(p, "ListBox4", 388, 342, 126, 85);
    lstUsers = Make<ari::ListBox>(p, "lstUsers", 516, 342, 200, 85);
    for (QListWidget* l : {ListBox1, ListBox2, ListBox3, ListBox4, lstUsers})
        MakeLeftToRight(l);
    lstUsers->setToolTipDuration(0);  // no hints

    Label4 = Caption(p, "Label4",
                     QStringLiteral("فولدری به نام mdx ایجاد شده، محتویات را در منبع جایگذاری "
                                    "کنید. (درصورت بروز شدن ایندکس،resource بروز شود)"),
                     1, 430, 718, 13);
    Label4->setAlignment(Qt::AlignCenter);
    {
        QFont f = WindowFont();
        f.setBold(true);
        Label4->setFont(f);
        QPalette lp = Label4->palette();
        lp.setColor(QPalette::WindowText, kMaroon);
        Label4->setPalette(lp);
    }

    mLog = Make<QPlainTextEdit>(p, "mLog", 4, 446, 712, 93);
    MakeLeftToRight(mLog);
    mLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    mLog->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    mLog->setFont(WindowFont());
    mLog->setAutoFillBackground(true);
    mLog->setStyleSheet(QStringLiteral(
        "QPlainTextEdit#mLog { background-color: rgb(0, 0, 0); color: rgb(0, 255, 0); }"));
    mLog->document()->setDocumentMargin(3);
    mLog->setTabChangesFocus(true);  // Tab moves on from the log as from every other control

    ProgressBar1 = Make<QProgressBar>(p, "ProgressBar1", 4, 542, 712, 17);
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);

    Memo3 = Make<QPlainTextEdit>(p, "Memo3", 144, 184, 329, 89);
    MakeLeftToRight(Memo3);
    Memo3->setLineWrapMode(QPlainTextEdit::NoWrap);
    Memo3->setPlainText(QStringLiteral("Memo3"));
    Memo3->setVisible(false);

    SetTabOrder(
        {{0, FilterComboBox1}, {1, FLBMaghsad}, {2, Memo1}, {3, Memo2}, {4, Panel1}, {5, Panel2}});
    SetTabOrder({{0, CBPack},       {1, CBReIndex}, {2, CLBFile},   {3, LEMaghsad},
                 {4, BitBtn2},      {5, BitBtn3},   {6, LESource},  {7, ProgressBar1},
                 {8, btnStart},     {9, CBCopyRe},  {10, BitBtn1},  {11, tmpckrEnd},
                 {12, tmpckrBegin}, {13, lstUsers}, {14, ListBox1}, {15, ListBox2},
                 {16, ListBox3},    {17, ListBox4}, {18, mLog},     {19, Memo3},
                 {20, chkAutomat}});

    // ---- Non-visual members.
    tCheckUser = new ari::WindowTimer(QStringLiteral("tCheckUser"), 30000, true, this);
    tStartReindex = new ari::WindowTimer(QStringLiteral("tStartReindex"), 60000, false, this);
    Table1 = std::make_unique<TTable>("Table1");
    Table2 = std::make_unique<TTable>("Table2");
}

void TfMain::WireEvents() {
    auto guarded = [this](void (TfMain::*handler)()) {
        return [this, handler] { ari::RunGuarded([this, handler] { (this->*handler)(); }); };
    };
    connect(BitBtn1, &QPushButton::clicked, this, guarded(&TfMain::BitBtn1Click));
    connect(BitBtn2, &QPushButton::clicked, this, guarded(&TfMain::BitBtn2Click));
    connect(BitBtn3, &QPushButton::clicked, this, guarded(&TfMain::BitBtn3Click));
    connect(btnStart, &QPushButton::clicked, this, guarded(&TfMain::btnStartClick));
    for (QListWidget* list : {lstUsers, ListBox1, ListBox2, ListBox3, ListBox4}) {
        auto* box = static_cast<ari::ListBox*>(list);
        connect(box, &ari::ListBox::UserRowChanged, this,
                [this, list] { ari::RunGuarded([this, list] { lstUsersClick(list); }); });
    }
    tCheckUser->SetHandler([this] { tCheckUserTimer(); });
    tStartReindex->SetHandler([this] { tStartReindexTimer(); });
}

QString TfMain::StatusPanelText(int panel) const {
    return (panel >= 0 && panel < 3) ? statusTexts_[panel] : QString();
}

ari::TDateTime TfMain::Now() const {
    return env_.clock ? env_.clock->Now() : ari::LocalNow();
}

void TfMain::SetStatusPanelText(int panel, const QString& text) {
    if (panel < 0 || panel >= 3)
        return;
    SetStatusPanelLaidOut(panel, text, text);
}

void TfMain::SetStatusPanelLaidOut(int panel, const QString& text, const QString& laidOut) {
    statusTexts_[panel] = text;
    ShowInPanel(statusPanels_[panel], text, laidOut);
}

void TfMain::lstUsersClick(QListWidget* sender) {
    const int index = sender ? sender->currentRow() : -1;
    for (QListWidget* list : {ListBox1, ListBox2, ListBox3, ListBox4, lstUsers}) {
        if (list->currentRow() == index)
            continue;
        if (index < 0 || index >= list->count()) {
            list->setCurrentRow(-1);
            list->clearSelection();
        } else {
            list->setCurrentRow(index);
        }
    }
}
