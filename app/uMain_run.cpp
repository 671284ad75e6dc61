// The maintenance run of TfMain: the window gathers the choices from its controls, runs the
// MaintenanceRun (maintenance/MaintenanceRun.h) on a thread of its own and follows it as one of
// its observers, in its title, check list, progress bar, hidden lists and memos, answering the
// operator throughout.
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QListWidgetItem>
#include <QPalette>
#include <QProgressBar>
#include <QStringList>
#include <QThread>
#include <QWindow>
#include <algorithm>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "app/uMain.h"
#include "app/uMainSupport.h"
#include "log/LogTexts.h"
#include "log/OperationLog.h"
#include "maintenance/MaintenanceRun.h"
#include "maintenance/RunSummary.h"
#include "maintenance/StopBetweenTables.h"
#include "platform/Files.h"
#include "platform/ProgramFolders.h"
#include "settings/Formats.h"

namespace {

QStringList ToStringList(const std::vector<std::string>& names) {
    QStringList out;
    for (const std::string& n : names)
        out << QString::fromStdString(n);
    return out;
}

// The check list receives the pass's entries, in order, all unticked.
void FillCheckList(QListWidget* list, const QStringList& entries) {
    list->clear();
    for (const QString& e : entries) {
        auto* item = new QListWidgetItem(e, list);
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(Qt::Unchecked);
    }
}

void TickEntry(QListWidget* list, const QString& entry) {
    for (int i = 0; i < list->count(); ++i) {
        QListWidgetItem* item = list->item(i);
        if (item->text().compare(entry, Qt::CaseInsensitive) == 0) {
            item->setCheckState(Qt::Checked);
            return;
        }
    }
}

int EntryRow(const QListWidget* list, const QString& entry) {
    for (int i = 0; i < list->count(); ++i) {
        if (list->item(i)->text().compare(entry, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

// The table being worked on is the check list's current, selected entry, scrolled into view;
// none is once it is finished.
void MarkEntry(QListWidget* list, const QString& entry) {
    const int row = EntryRow(list, entry);
    if (row < 0 || list->currentRow() == row)
        return;
    list->setCurrentRow(row);
    list->scrollToItem(list->item(row));
}

void UnmarkEntries(QListWidget* list) {
    list->setCurrentItem(nullptr);
    list->clearSelection();
}

// What the engine does within the current table, after its name: items done of their total
// (records in a pass over its records, keys in the steps between two such passes that take
// seconds on a large table), then the name of such a step: the sort of a tag's keys, the
// writing of its keys into the index. The figures come right after the name, in the order the
// name reads, whichever direction the bar lays the line out in.
QString PhaseText(ari::engine::ProgressPhase phase, uint64_t done, uint64_t total) {
    const QString count =
        QStringLiteral("%1 / %2").arg(QString::number(done), QString::number(total));
    switch (phase) {
        case ari::engine::ProgressPhase::Sorting:
            return count + QStringLiteral(" — مرتب سازی کلیدها");
        case ari::engine::ProgressPhase::Writing:
            return count + QStringLiteral(" — نوشتن کلیدها در ایندکس");
        default:
            return count;
    }
}

// The bar's text shows how far the engine has got within the current table; the bar's value
// keeps counting tables. The text is hidden between tables.
void ShowTableProgress(QProgressBar* bar, const QString& entry, ari::engine::ProgressPhase phase,
                       uint64_t done, uint64_t total) {
    QString name = entry;
    name.replace(u'%', u'_');  // the bar's text format would read %v, %m and %p in a name
    bar->setFormat(name + QStringLiteral(": ") + PhaseText(phase, done, total));
    // The style draws the text over the empty part of a right-to-left bar in the colour meant
    // for the filled part, white on white while no table is done: one colour for both parts.
    QPalette palette = bar->palette();
    palette.setColor(QPalette::HighlightedText, palette.color(QPalette::Text));
    bar->setPalette(palette);
    bar->setTextVisible(true);
}

void HideTableProgress(QProgressBar* bar) {
    bar->setTextVisible(false);
    bar->resetFormat();
}

// The boxes as they stand: the run follows them from its next decision on.
ari::RunOperations ChosenOperations(const TfMain& w) {
    ari::RunOperations ops;
    ops.transfer = w.CBCopyRe->isChecked();
    ops.rebuild = w.CBReIndex->isChecked();
    ops.pack = w.CBPack->isChecked();
    return ops;
}

// The window as an observer of its run. The run works on a thread of its own: every event is
// handed to the window thread through the window's queue, in the order the run reports them
// (the log's lines take the same queue, so lines and events keep their order), and nothing of
// the window is touched on the run's thread.
class WindowObserver final : public ari::RunObserver {
  public:
    explicit WindowObserver(TfMain& w) : w_(w) {}

    void PassStarted(ari::RunPass, const std::vector<std::string>& tables) override {
        const QStringList entries = ToStringList(tables);
        Post([this, entries] {
            // The hidden file list holds the folder's tables, as it did when it listed them.
            w_.FLBMaghsad->clear();
            w_.FLBMaghsad->addItems(entries);
            FillCheckList(w_.CLBFile, entries);
        });
    }
    void TableStarted(ari::RunPass pass, const std::string& table) override {
        if (pass == ari::RunPass::Index) {
            Post([this] {
                w_.Memo1->clear();
                w_.Memo2->clear();
            });
        }
        const QString entry = QString::fromStdString(table);
        Post([this, entry] { MarkEntry(w_.CLBFile, entry); });
    }
    void TablePhase(ari::RunPass, const std::string& table, ari::engine::ProgressPhase phase,
                    uint64_t done, uint64_t total) override {
        const QString entry = QString::fromStdString(table);
        Post([this, entry, phase, done, total] {
            MarkEntry(w_.CLBFile, entry);
            ShowTableProgress(w_.ProgressBar1, entry, phase, done, total);
        });
    }
    void IndexDefinitionsRead(const std::string&,
                              const std::vector<ari::IndexDefinition>& definitions) override {
        QStringList names, keys;
        for (const auto& d : definitions) {
            names << QString::fromStdString(d.name);
            keys << QString::fromStdString(d.key);
        }
        Post([this, names, keys] {
            for (const QString& n : names)
                w_.Memo1->appendPlainText(n);
            for (const QString& k : keys)
                w_.Memo2->appendPlainText(k);
        });
    }
    void TableFinished(ari::RunPass, const std::string& table) override {
        const QString entry = QString::fromStdString(table);
        Post([this, entry] {
            TickEntry(w_.CLBFile, entry);
            UnmarkEntries(w_.CLBFile);
            HideTableProgress(w_.ProgressBar1);
        });
    }
    // A table that an error ended is no longer worked on.
    void RunFinished(bool) override {
        Post([this] {
            UnmarkEntries(w_.CLBFile);
            HideTableProgress(w_.ProgressBar1);
        });
    }
    // One step a table; a folder without tables leaves the bar empty (a range of 0 to 0 would
    // show Qt's busy animation instead).
    void Progress(int position, int count) override {
        Post([this, position, count] {
            w_.ProgressBar1->setValue(position);
            w_.ProgressBar1->setMaximum(std::max(count, 1));
        });
    }
    // The window's turn between two tables of the index pass: the run waits until the window
    // thread has handled everything reported so far, and reads the boxes as they stand then.
    void Pump(ari::RunOperations& operations) override {
        ari::RunOperations chosen = operations;
        QMetaObject::invokeMethod(
            &w_,
            [this, &chosen] {
                emit w_.RunPumped();
                chosen = ChosenOperations(w_);
            },
            Qt::BlockingQueuedConnection);
        operations = chosen;
    }

  private:
    template <typename F>
    void Post(F action) {
        QMetaObject::invokeMethod(&w_, std::move(action), Qt::QueuedConnection);
    }

    TfMain& w_;
};

}  // namespace

void TfMain::closeEvent(QCloseEvent* event) {
    stopAsked_ = true;
    if (runInProgress_) {
        closeAfterRun_ = true;
        event->ignore();
        return;
    }
    QWidget::closeEvent(event);
}

bool TfMain::ReindexProccess() {
    if (runInProgress_)
        return false;  // a run pumps messages; nothing may start a second one
    if (stopAsked_)
        return false;  // the window was closed: the program is ending
    runInProgress_ = true;
    const ari::ScopeExit inProgress([this] {
        runInProgress_ = false;
        // A close that came during the run is done now, at the window's next turn.
        if (closeAfterRun_)
            QMetaObject::invokeMethod(
                this, [this] { close(); }, Qt::QueuedConnection);
    });

    setWindowTitle(QString());
    // The platform shows the application's name in place of an empty title; a blank keeps the
    // caption empty on screen (the window's own title stays the empty text).
    if (QWindow* handle = windowHandle())
        handle->setTitle(QStringLiteral(" "));
    ari::RunChoices choices;
    choices.liveFolderText = LEMaghsad->text().toStdString();
    choices.templateFolderText = LESource->text().toStdString();
    Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
    Memo2->setLineWrapMode(QPlainTextEdit::NoWrap);
    ProgressBar1->setValue(0);
    CLBFile->clear();

    choices.operations = ChosenOperations(*this);
    choices.markerPath = ari::AbsolutePath(
        ari::ProgramFoldersFor(ari::ExtractFilePath(env_.executablePath)).stateFolder +
        ari::kRunMarkerName);
    choices.tableMask = FLBMaghsad->Mask().toStdString();
    choices.now = [this] { return Now(); };

    ari::RunSummary summary(choices.liveFolderText, choices.operations);
    // The run works on a thread of its own while this thread keeps answering the operator;
    // the call returns when the run has ended, as a call that did the work itself would.
    ari::MaintenanceRun run(std::move(choices), *Table1, *Table2);
    WindowObserver observer(*this);
    // Once the window is closed, the run stops between two tables.
    ari::StopWhenAsked stop([this] { return stopAsked_.load(); });
    run.AddObserver(&observer);
    run.AddObserver(&summary);
    run.AddObserver(&stop);
    bool result = false;
    bool stopped = false;
    std::exception_ptr error;
    QEventLoop waiting;
    std::unique_ptr<QThread> worker(QThread::create([&] {
        try {
            result = run.Run();
        } catch (const ari::StopBetweenTables&) {
            stopped = true;
        } catch (...) {
            error = std::current_exception();
        }
    }));
    connect(worker.get(), &QThread::finished, &waiting, &QEventLoop::quit, Qt::QueuedConnection);
    worker->start();
    waiting.exec();
    // The loop also ends when the application quits (the window was closed); the run still
    // needs this thread for its turns between tables, so its events go on being handled.
    while (!worker->wait(QDeadlineTimer(10)))
        QCoreApplication::processEvents();
    QCoreApplication::processEvents();  // what the run reported last comes before the result
    HideTableProgress(ProgressBar1);    // also after an error that did not let the run finish
    // The check list followed the run's table to its last column: it shows its first again.
    if (CLBFile->count() > 0)
        CLBFile->scrollToItem(CLBFile->item(0));
    if (stopped) {
        UnmarkEntries(CLBFile);
        AddLog(ari::StoppedLine(stop.LastFinished(), ari::LongTimeText(Now())));
        summary.Stopped("stopped on request");
    }
    lastPass_ = summary.Pass();  // shown on demand, however the pass ended
    lastPassStamp_ = ari::IsoStampText(Now());
    lastPassJournalled_ = false;
    if (error)
        std::rethrow_exception(error);
    if (journal_)  // the pass's summary block follows its lines in the journal
        lastPassJournalled_ =
            journal_->Journal().Append(ari::JoinedLines(summary.Lines(lastPassStamp_)));
    return result;
}
