#include "app/PassSummaryView.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <utility>

namespace ari {

namespace {

// A name, a path, a date or an engine message (all written left to right) kept in its own
// direction inside a right-to-left line: a date's time would otherwise come before its day, and
// a message's closing punctuation would move to its other end. Left-to-right embedding and its
// end, which this toolkit's text layout honours (it lays the isolates of Unicode 6.3 out as
// plain neutrals).
QString LeftToRight(const QString& text) {
    return QChar(0x202A) + text + QChar(0x202C);
}

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

QString Count(std::int64_t n) {
    return n < 0 ? QStringLiteral("نامعلوم") : QString::number(n);
}

bool Failed(const std::string& result) {
    return result.rfind("failed", 0) == 0;
}

// The result in Persian, a message isolated in its own direction.
QString ResultText(const std::string& result) {
    if (Failed(result) && result.size() > 8 && result.compare(6, 2, ": ") == 0)
        return Q(PersianResult("failed")) + QStringLiteral(": ") + LeftToRight(Q(result.substr(8)));
    return Q(PersianResult(result));
}

// The pass in the list: its date, its result in a word and its number of tables.
QString PassEntry(const DatedPass& p) {
    const std::string word = Failed(p.pass.result) ? "failed" : p.pass.result;
    return LeftToRight(Q(p.date)) + QStringLiteral("، ") + Q(PersianResult(word)) +
           QStringLiteral("، ") + QString::number(p.pass.tables.size()) + QStringLiteral(" جدول");
}

QTableWidgetItem* Cell(const QString& text, const QString& tip) {
    auto* item = new QTableWidgetItem(text);
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    item->setToolTip(tip);
    return item;
}

}  // namespace

PassSummaryView::PassSummaryView(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("PassSummaryView"));
    setWindowTitle(QStringLiteral("خلاصه اجراها"));
    setAttribute(Qt::WA_WindowPropagation);  // the main window's font and colours
    setLayoutDirection(Qt::RightToLeft);
    setSizeGripEnabled(true);

    auto* layout = new QVBoxLayout(this);
    auto* top = new QHBoxLayout;
    auto* passLabel = new QLabel(QStringLiteral("اجرا :"), this);
    Passes = new QComboBox(this);
    Passes->setObjectName(QStringLiteral("Passes"));
    Passes->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    passLabel->setBuddy(Passes);
    top->addWidget(passLabel);
    top->addWidget(Passes);
    top->addStretch(1);
    layout->addLayout(top);

    Folder = new QLabel(this);
    Folder->setObjectName(QStringLiteral("Folder"));
    Folder->setTextFormat(Qt::PlainText);
    Folder->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(Folder);

    Table = new QTableWidget(0, kColumnCount, this);
    Table->setObjectName(QStringLiteral("Table"));
    Table->setHorizontalHeaderLabels(
        {QStringLiteral("جدول"), QStringLiteral("عملیات"), QStringLiteral("رکوردها پیش از کار"),
         QStringLiteral("رکوردها پس از کار"), QStringLiteral("حذف شده"),
         QStringLiteral("زمان (ثانیه)"), QStringLiteral("نتیجه")});
    Table->verticalHeader()->setVisible(false);
    Table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    Table->verticalHeader()->setDefaultSectionSize(Table->fontMetrics().height() + 6);
    Table->horizontalHeader()->setStretchLastSection(true);
    Table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Table->setSelectionBehavior(QAbstractItemView::SelectRows);
    Table->setSelectionMode(QAbstractItemView::SingleSelection);
    Table->setAlternatingRowColors(true);
    Table->setWordWrap(false);
    Table->setTextElideMode(Qt::ElideMiddle);
    Table->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    layout->addWidget(Table, 1);

    Total = new QLabel(this);
    Total->setObjectName(QStringLiteral("Total"));
    Total->setTextFormat(Qt::PlainText);
    Total->setWordWrap(true);  // a long error message takes lines, not the view's width
    Total->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(Total);

    auto* buttons = new QDialogButtonBox(this);
    CopyButton = buttons->addButton(QStringLiteral("کپی متن"), QDialogButtonBox::ActionRole);
    CopyButton->setObjectName(QStringLiteral("CopyButton"));
    CopyButton->setAutoDefault(false);
    CloseButton = buttons->addButton(QStringLiteral("بستن"), QDialogButtonBox::RejectRole);
    CloseButton->setObjectName(QStringLiteral("CloseButton"));
    CloseButton->setDefault(true);
    layout->addWidget(buttons);

    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(CopyButton, &QPushButton::clicked, this,
            [this] { QApplication::clipboard()->setText(PassText()); });
    connect(Passes, &QComboBox::currentIndexChanged, this, [this](int i) { ShowPass(i); });
    setTabOrder(Passes, Table);
    setTabOrder(Table, CopyButton);
    setTabOrder(CopyButton, CloseButton);
}

void PassSummaryView::SetPasses(std::vector<DatedPass> passes) {
    passes_ = std::move(passes);
    {
        const QSignalBlocker quiet(Passes);
        Passes->clear();
        for (const DatedPass& p : passes_)
            Passes->addItem(PassEntry(p));
        Passes->setCurrentIndex(passes_.empty() ? -1 : 0);
    }
    ShowPass(passes_.empty() ? -1 : 0);
}

int PassSummaryView::ShownPass() const {
    return Passes->currentIndex();
}

void PassSummaryView::ShowPass(int index) {
    if (index != Passes->currentIndex()) {
        Passes->setCurrentIndex(index);  // comes back here through the list's signal
        return;
    }
    Table->clearContents();
    Table->setRowCount(0);
    if (index < 0 || index >= static_cast<int>(passes_.size())) {
        Folder->clear();
        Total->clear();
        return;
    }
    const PassSummary& pass = passes_[static_cast<size_t>(index)].pass;
    Folder->setText(QStringLiteral("پوشه مقصد: ") + LeftToRight(Q(pass.liveFolder)));
    Table->setRowCount(static_cast<int>(pass.tables.size()));
    const QColor failedColour(128, 0, 0);
    for (int row = 0; row < Table->rowCount(); ++row) {
        const TableSummary& t = pass.tables[static_cast<size_t>(row)];
        const QString tip = Q(PersianTableLine(t));
        QStringList operations;
        for (const std::string& o : t.operations)
            operations << Q(PersianOperation(o));
        const bool removedKnown = t.packed && t.recordsBefore >= 0 && t.recordsAfter >= 0;
        const QString cells[kColumnCount] = {
            LeftToRight(Q(t.table)),
            operations.isEmpty() ? QStringLiteral("هیچ") : operations.join(QStringLiteral("، ")),
            Count(t.recordsBefore),
            Count(t.recordsAfter),
            removedKnown ? QString::number(t.recordsBefore - t.recordsAfter) : QStringLiteral("-"),
            QString::number(t.seconds, 'f', 2),
            ResultText(t.result) +
                (t.verify.empty()
                     ? QString()
                     : QStringLiteral("؛ بررسی: ") +
                           (t.verify == "ok" ? QStringLiteral("سالم") : LeftToRight(Q(t.verify))))};
        for (int column = 0; column < kColumnCount; ++column) {
            QTableWidgetItem* item = Cell(cells[column], tip);
            if (column >= kRecordsBefore && column <= kSeconds)
                item->setTextAlignment(Qt::AlignCenter);
            if (Failed(t.result))
                item->setForeground(failedColour);
            Table->setItem(row, column, item);
        }
    }
    Table->scrollToTop();
    Total->setText(QStringLiteral("زمان کل: ") + Q(PersianSeconds(pass.seconds)) +
                   QStringLiteral("؛ نتیجه کل: ") + ResultText(pass.result));
}

QString PassSummaryView::PassText() const {
    const int index = ShownPass();
    if (index < 0 || index >= static_cast<int>(passes_.size()))
        return QString();
    const DatedPass& p = passes_[static_cast<size_t>(index)];
    return Q(JoinedLines(PersianLines(p.pass, p.date, index == 0)));
}

void PassSummaryView::FitToScreen(const QWidget* over) {
    QScreen* screen = over ? over->screen() : this->screen();
    if (screen == nullptr)
        screen = QGuiApplication::primaryScreen();
    const QRect free = screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
    // Room for the frame the window manager puts around the view.
    const int maxWidth = free.width() * 9 / 10;
    const int maxHeight = free.height() * 85 / 100;

    // Each column as wide as its widest cell, but none wider than a third of the room: a long
    // error message is cut, and shown whole in its row's tip.
    Table->resizeColumnsToContents();
    int tableWidth = 2 * Table->frameWidth() + Table->verticalScrollBar()->sizeHint().width();
    for (int c = 0; c < kColumnCount; ++c) {
        Table->setColumnWidth(c, std::min(Table->columnWidth(c), maxWidth / 3));
        tableWidth += Table->columnWidth(c);
    }
    const int tableHeight = 2 * Table->frameWidth() +
                            Table->horizontalHeader()->sizeHint().height() +
                            Table->rowCount() * Table->verticalHeader()->defaultSectionSize();
    const QSize around = layout()->sizeHint() - Table->sizeHint();
    const int width =
        std::clamp(std::max(tableWidth + around.width(), layout()->sizeHint().width()),
                   std::min(320, maxWidth), maxWidth);
    const int height =
        std::clamp(tableHeight + around.height(), std::min(240, maxHeight), maxHeight);
    resize(width, height);

    QPoint centre = over ? over->geometry().center() : free.center();
    QRect placed(QPoint(0, 0), QSize(width, height));
    placed.moveCenter(centre);
    placed.moveLeft(std::clamp(placed.left(), free.left(), free.right() - width + 1));
    placed.moveTop(std::clamp(placed.top(), free.top(), free.bottom() - height + 1));
    move(placed.topLeft());
}

}  // namespace ari
