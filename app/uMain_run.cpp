// The maintenance run of TfMain: the window gathers the choices from its controls, runs the
// MaintenanceRun (maintenance/MaintenanceRun.h) and follows it as one of its observers, in its
// title, check list, progress bar, hidden lists and memos, pumping its messages between the
// tables of the index pass.
#include <QCoreApplication>
#include <QListWidgetItem>
#include <QStringList>
#include <algorithm>
#include <string>
#include <vector>

#include "app/uMain.h"
#include "app/uMainSupport.h"
#include "maintenance/MaintenanceRun.h"
#include "maintenance/RunSummary.h"
#include "platform/Files.h"

namespace {

const char kRunMarkerName[] = "reindexing";

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

// The boxes as they stand: the run follows them from its next decision on.
ari::RunOperations ChosenOperations(const TfMain& w) {
    ari::RunOperations ops;
    ops.transfer = w.CBCopyRe->isChecked();
    ops.rebuild = w.CBReIndex->isChecked();
    ops.pack = w.CBPack->isChecked();
    return ops;
}

// The window as an observer of its run.
class WindowObserver final : public ari::RunObserver {
  public:
    explicit WindowObserver(TfMain& w) : w_(w) {}

    void PassStarted(ari::RunPass, const std::vector<std::string>& tables) override {
        const QStringList entries = ToStringList(tables);
        // The hidden file list holds the folder's tables, as it did when it listed them.
        w_.FLBMaghsad->clear();
        w_.FLBMaghsad->addItems(entries);
        FillCheckList(w_.CLBFile, entries);
    }
    void TableStarted(ari::RunPass pass, const std::string&) override {
        if (pass == ari::RunPass::Index) {
            w_.Memo1->clear();
            w_.Memo2->clear();
        }
    }
    void IndexDefinitionsRead(const std::string&,
                              const std::vector<ari::IndexDefinition>& definitions) override {
        for (const auto& d : definitions) {
            w_.Memo1->appendPlainText(QString::fromStdString(d.name));
            w_.Memo2->appendPlainText(QString::fromStdString(d.key));
        }
    }
    void TableFinished(ari::RunPass, const std::string& table) override {
        TickEntry(w_.CLBFile, QString::fromStdString(table));
    }
    // One step a table; a folder without tables leaves the bar empty (a range of 0 to 0 would
    // show Qt's busy animation instead).
    void Progress(int position, int count) override {
        w_.ProgressBar1->setValue(position);
        w_.ProgressBar1->setMaximum(std::max(count, 1));
    }
    void Pump(ari::RunOperations& operations) override {
        QCoreApplication::processEvents();
        operations = ChosenOperations(w_);
    }

  private:
    TfMain& w_;
};

}  // namespace

bool TfMain::ReindexProccess() {
    if (runInProgress_)
        return false;  // a run pumps messages; nothing may start a second one
    runInProgress_ = true;
    const ari::ScopeExit inProgress([this] { runInProgress_ = false; });

    setWindowTitle(QString());
    ari::RunChoices choices;
    choices.liveFolderText = LEMaghsad->text().toStdString();
    choices.templateFolderText = LESource->text().toStdString();
    Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
    Memo2->setLineWrapMode(QPlainTextEdit::NoWrap);
    ProgressBar1->setValue(0);
    CLBFile->clear();

    choices.operations = ChosenOperations(*this);
    choices.markerPath =
        ari::AbsolutePath(ari::ExtractFilePath(env_.executablePath) + kRunMarkerName);
    choices.tableMask = FLBMaghsad->Mask().toStdString();
    choices.now = [this] { return Now(); };

    ari::RunSummary summary(choices.liveFolderText, choices.operations);
    ari::MaintenanceRun run(std::move(choices), *Table1, *Table2);
    WindowObserver observer(*this);
    run.AddObserver(&observer);
    run.AddObserver(&summary);
    const bool result = run.Run();
    if (journal_)  // the pass's summary block follows its lines in the journal
        journal_->Journal().Append(summary.Lines(ari::StampText(Now())).join(u'\n'));
    return result;
}
