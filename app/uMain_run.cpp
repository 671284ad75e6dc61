// The maintenance run of TfMain: the run marker, the index pass over the template folder
// (index transfer and rebuild of each live table of the same name), the pack pass over the
// live folder, and the run's log lines.
#include <QCoreApplication>
#include <QListWidgetItem>
#include <QStringList>
#include <algorithm>
#include <string>

#include "app/uMain.h"
#include "app/uMainSupport.h"
#include "log/OperationLog.h"
#include "maintenance/IndexRebuild.h"
#include "maintenance/IndexTransfer.h"
#include "maintenance/PackTable.h"
#include "platform/Exception.h"
#include "platform/Files.h"
#include "platform/RunMarker.h"
#include "settings/Formats.h"

namespace {

const char kRunMarkerName[] = "reindexing";

using ari::Quoted;

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

// One step a table; a folder without tables leaves the bar empty (a range of 0 to 0 would show
// Qt's busy animation instead).
void SetProgressMaximum(QProgressBar* bar, qsizetype tables) {
    bar->setMaximum(static_cast<int>(std::max<qsizetype>(tables, 1)));
}

void StepProgress(QProgressBar* bar) {
    bar->setValue(bar->value() + 1);
}

// The two passes and the closing lines; true when they went through. Errors go to the caller.
bool RunPasses(TfMain& w, const std::string& templateFolder, const std::string& liveFolder,
               bool templateTextEmpty, bool liveTextEmpty) {
    // An empty folder text would name the root folder once the separator is appended: refuse
    // before any table is touched.
    const bool indexPassChosen = w.CBReIndex->isChecked() || w.CBCopyRe->isChecked();
    if (indexPassChosen && templateTextEmpty) {
        AddLog(QStringLiteral("\\\\\\Directory of the template tables (LESource) is empty!"));
        return false;
    }
    if ((indexPassChosen || w.CBPack->isChecked()) && liveTextEmpty) {
        AddLog(QStringLiteral("\\\\\\Directory of the live tables (LEMaghsad) is empty!"));
        return false;
    }

    ari::TDateTime indexPassEnd = 0;
    if (w.CBReIndex->isChecked() || w.CBCopyRe->isChecked()) {
        if (!ari::FolderExists(templateFolder)) {
            AddLog(QStringLiteral("\\\\\\Directory ") + QString::fromStdString(templateFolder) +
                   QStringLiteral(" does not exists!"));
            return false;
        }
        w.FLBMaghsad->ApplyFilePath(QString::fromStdString(templateFolder));
        w.Table1->SetDatabaseName(templateFolder);
        w.Table2->SetDatabaseName(liveFolder);
        const QStringList entries = w.FLBMaghsad->Entries();
        SetProgressMaximum(w.ProgressBar1, entries.size());
        FillCheckList(w.CLBFile, entries);
        for (const QString& e : entries) {
            const std::string entry = e.toStdString();
            w.Table1->Close();
            w.Table2->Close();
            w.Table1->SetTableName(entry);
            w.Table2->SetTableName(entry);
            w.Memo1->clear();
            w.Memo2->clear();
            if (w.CBCopyRe->isChecked())
                ari::TransferIndex(entry, templateFolder, liveFolder, *w.Table2,
                                   w.CBReIndex->isChecked()
                                       ? ari::TransferredTags::BuiltByTheRebuild
                                       : ari::TransferredTags::BuiltHere);
            if (w.CBReIndex->isChecked()) {
                const auto definitions = ari::ReadIndexDefinitions(*w.Table1);
                for (const auto& d : definitions) {
                    w.Memo1->appendPlainText(QString::fromStdString(d.name));
                    w.Memo2->appendPlainText(QString::fromStdString(d.key));
                }
                ari::RebuildIndexes(entry, liveFolder, *w.Table2, definitions);
            }
            StepProgress(w.ProgressBar1);
            TickEntry(w.CLBFile, e);
            QCoreApplication::processEvents();
        }
        indexPassEnd = w.Now();
    }

    if (w.CBPack->isChecked()) {
        w.FLBMaghsad->ApplyFilePath(QString::fromStdString(liveFolder));
        w.Table2->SetDatabaseName(liveFolder);
        const QStringList entries = w.FLBMaghsad->Entries();
        w.ProgressBar1->setValue(0);
        SetProgressMaximum(w.ProgressBar1, entries.size());
        FillCheckList(w.CLBFile, entries);
        // No messages are pumped here: a table is held for sole use while it is packed.
        for (const QString& e : entries) {
            w.Table2->Close();
            w.Table2->SetTableName(e.toStdString());
            AddLog(QStringLiteral("---Packing ") + QString::fromStdString(w.Table2->TableName()) +
                   QStringLiteral(" ... "));
            PackTable(*w.Table2, true);
            w.Table2->Close();
            StepProgress(w.ProgressBar1);
            TickEntry(w.CLBFile, e);
        }
    }

    if (w.CBReIndex->isChecked() || w.CBCopyRe->isChecked())
        AddLog(QStringLiteral("---ReIndex has successfully Time: ") +
               Quoted(ari::LongTimeText(indexPassEnd)));
    if (w.CBPack->isChecked())
        AddLog(QStringLiteral("---Pack has successfully Time: ") +
               Quoted(ari::LongTimeText(w.Now())));
    return true;
}

}  // namespace

bool TfMain::ReindexProccess() {
    if (runInProgress_)
        return false;  // a run pumps messages; nothing may start a second one
    runInProgress_ = true;
    const ari::ScopeExit inProgress([this] { runInProgress_ = false; });

    setWindowTitle(QString());
    const QString liveText = LEMaghsad->text();
    const QString templateText = LESource->text();
    // Absolute, so that the listings' changes of the current folder cannot move them: a relative
    // text means the folder it names when the run starts.
    const auto folderOf = [](const QString& text) {
        return text.isEmpty() ? std::string()
                              : ari::WithTrailingSeparator(ari::AbsolutePath(text.toStdString()));
    };
    const std::string liveFolder = folderOf(liveText);
    const std::string templateFolder = folderOf(templateText);
    Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
    Memo2->setLineWrapMode(QPlainTextEdit::NoWrap);
    ProgressBar1->setValue(0);
    CLBFile->clear();

    const std::string markerPath =
        ari::AbsolutePath(ari::ExtractFilePath(env_.executablePath) + kRunMarkerName);
    ari::RunMarker marker;
    if (CBCopyRe->isChecked() || CBReIndex->isChecked() || CBPack->isChecked())
        marker.Create(markerPath);  // EInOutError goes to the caller

    const auto closing = [&] {
        marker.Close();
        if (ari::FileExists(markerPath))
            ari::RemoveFile(markerPath);
    };
    bool result = false;
    try {
        try {
            result = RunPasses(*this, templateFolder, liveFolder, templateText.isEmpty(),
                               liveText.isEmpty());
        } catch (const Exception& e) {
            AddLog(QStringLiteral("\\\\\\Error ") + Quoted(QString::fromStdString(e.Message())) +
                   QStringLiteral(" Time: ") + Quoted(ari::LongTimeText(Now())));
            // A table that the failed step left open (a pack holds it for sole use) would keep
            // the legacy application out of it until the next run, and a run with another
            // folder could never rebind it: let go of both. Their names and Exclusive stay.
            Table1->Close();
            Table2->Close();
        }
    } catch (...) {
        Table1->Close();
        Table2->Close();
        closing();
        throw;
    }
    closing();
    return result;
}
