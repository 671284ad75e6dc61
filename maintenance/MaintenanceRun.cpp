#include "maintenance/MaintenanceRun.h"

#include <thread>
#include <utility>

#include "engine/Progress.h"
#include "engine/table/TableFiles.h"
#include "log/LogTexts.h"
#include "log/OperationLog.h"
#include "maintenance/IndexTransfer.h"
#include "maintenance/PackTable.h"
#include "platform/Exception.h"
#include "platform/FileErrors.h"
#include "platform/Files.h"
#include "platform/RunMarker.h"
#include "settings/Formats.h"

namespace ari {

void RunObserver::PassStarted(RunPass, const std::vector<std::string>&) {}
void RunObserver::TableStarted(RunPass, const std::string&) {}
void RunObserver::IndexDefinitionsRead(const std::string&, const std::vector<IndexDefinition>&) {}
void RunObserver::IndexAdded(const std::string&, const IndexDefinition&) {}
void RunObserver::TablePacked(const std::string&) {}
void RunObserver::TableProgress(RunPass, const std::string&, uint64_t, uint64_t) {}
void RunObserver::TablePhase(RunPass, const std::string&, engine::ProgressPhase, uint64_t,
                             uint64_t) {}
void RunObserver::TableFinished(RunPass, const std::string&) {}
void RunObserver::Progress(int, int) {}
void RunObserver::LogLine(const std::string&) {}
void RunObserver::Error(const std::string&) {}
void RunObserver::ErrorReason(const std::string&) {}
void RunObserver::Pump(RunOperations&) {}
void RunObserver::TransferSkippedInUse(const std::string&) {}
void RunObserver::PassFinished(RunPass) {}
void RunObserver::RunFinished(bool) {}

namespace {

// Absolute, so that the listings' changes of the current folder cannot move it: a relative
// text means the folder it names when the run starts.
std::string FolderOf(const std::string& text) {
    return text.empty() ? std::string() : WithTrailingSeparator(AbsolutePath(text));
}

// The error's message, followed by ": " and the file it is about when the message does not
// name it (the platform's file errors give only their fixed text): the error's own file, or for
// an error that carries none, the file or folder the run was at unless the message names a path.
std::string NamingItsFile(const Exception& e, const std::string& subject) {
    const std::string& message = e.Message();
    if (!e.File().empty())
        return message.find(e.File()) != std::string::npos ? message : message + ": " + e.File();
    // The "/" of "I/O error N" is no path.
    const bool namesAPath =
        message.find('/', message.compare(0, 3, "I/O") == 0 ? 3 : 0) != std::string::npos;
    if (subject.empty() || namesAPath)
        return message;
    return message + ": " + subject;
}

}  // namespace

MaintenanceRun::MaintenanceRun(RunChoices choices, TTable& templateTable, TTable& liveTable)
    : choices_(std::move(choices)),
      operations_(choices_.operations),
      templateTable_(templateTable),
      liveTable_(liveTable) {}

void MaintenanceRun::AddObserver(RunObserver* observer) {
    observers_.push_back(observer);
}

template <typename Event>
void MaintenanceRun::Tell(const Event& event) const {
    for (RunObserver* o : observers_)
        event(*o);
}

TDateTime MaintenanceRun::Now() const {
    return choices_.now ? choices_.now() : LocalNow();
}

bool MaintenanceRun::Run() {
    operations_ = choices_.operations;
    subject_.clear();
    templateFolder_ = FolderOf(choices_.templateFolderText);
    liveFolder_ = FolderOf(choices_.liveFolderText);

    // Every line written on this thread while the run has not handed the turn to its caller
    // is the run's own: the transfer and the rebuild write theirs straight to the log.
    const std::thread::id runThread = std::this_thread::get_id();
    const LogSubscription ownLines([this, runThread](const std::string& line, bool) {
        if (std::this_thread::get_id() == runThread && !pumping_)
            Tell([&](RunObserver& o) { o.LogLine(line); });
    });

    // The engine's own retries (a new file a virus scanner had open for a moment) go to the log.
    const engine::NoticeScope notices([](const std::string& line) { AddLog(line); });

    RunMarker marker;
    if (operations_.transfer || operations_.rebuild || operations_.pack) {
        try {
            marker.Create(choices_.markerPath);
        } catch (const EInOutError& e) {
            // Another pass (this program's, the window's or the runner's) holds the marker:
            // say so before the error goes to the caller; nothing has been touched.
            if (e.ErrorCode() == kSharingViolation)
                AddLog(AnotherPassRunningLine(LongTimeText(Now())));
            throw;
        }
    }

    const auto closing = [&] {
        if (marker.IsOpen()) {
            marker.CloseAndRemove();  // removed under its lock: see RunMarker.h
        } else if (FileExists(choices_.markerPath)) {
            // A marker that an interrupted run left behind, with no operation chosen now. One
            // that another pass holds is not ours to delete.
            RunMarker leftOver;
            try {
                leftOver.Create(choices_.markerPath);
                leftOver.CloseAndRemove();
            } catch (const EInOutError&) {
            }
        }
    };
    bool result = false;
    try {
        try {
            result = Passes();
        } catch (const Exception& e) {
            StopAtError(e);
        }
    } catch (...) {
        templateTable_.Close();
        liveTable_.Close();
        closing();
        throw;
    }
    closing();
    Tell([&](RunObserver& o) { o.RunFinished(result); });
    return result;
}

void MaintenanceRun::StopAtError(const Exception& e) {
    AddLog(ErrorLine(NamingItsFile(e, subject_), LongTimeText(Now())));
    Tell([&](RunObserver& o) { o.Error(e.Message()); });
    if (!e.Reason().empty())
        Tell([&](RunObserver& o) { o.ErrorReason(e.Reason()); });
    // A table that the failed step left open (a pack holds it for sole use) would keep the
    // legacy application out of it until the next run, and a run with another folder could
    // never rebind it: let go of both. Their names and Exclusive stay.
    templateTable_.Close();
    liveTable_.Close();
}

// The engine's progress within `table`, told to the observers: each report as TablePhase, those
// of the loops over the records also as TableProgress.
engine::ProgressSink MaintenanceRun::ProgressOf(RunPass pass, const std::string& table) const {
    return [this, pass, table](engine::ProgressPhase phase, uint64_t done, uint64_t total) {
        if (engine::OverRecords(phase))
            Tell([&](RunObserver& o) { o.TableProgress(pass, table, done, total); });
        Tell([&](RunObserver& o) { o.TablePhase(pass, table, phase, done, total); });
    };
}

// The two passes and the closing lines; true when they went through. Errors go to the caller.
bool MaintenanceRun::Passes() {
    if (operations_.IndexPass() && choices_.templateFolderText.empty()) {
        AddLog(EmptyTemplateFolderTextLine());
        return false;
    }
    if ((operations_.IndexPass() || operations_.pack) && choices_.liveFolderText.empty()) {
        AddLog(EmptyLiveFolderTextLine());
        return false;
    }

    // What an interrupted pass left beside the tables is settled before any table is held.
    if (FolderExists(liveFolder_))
        for (const std::string& line : engine::SettleLeftovers(liveFolder_))
            AddLog(LeftoverLine(line));

    TDateTime indexPassEnd = 0;
    if (operations_.IndexPass()) {
        if (!FolderExists(templateFolder_)) {
            AddLog(MissingTemplateFolderLine(templateFolder_));
            return false;
        }
        subject_ = templateFolder_;
        SetCurrentFolder(templateFolder_);
        const std::vector<std::string> tables = ListFiles(templateFolder_, choices_.tableMask);
        templateTable_.SetDatabaseName(templateFolder_);
        liveTable_.SetDatabaseName(liveFolder_);
        const int count = static_cast<int>(tables.size());
        Tell([&](RunObserver& o) { o.PassStarted(RunPass::Index, tables); });
        Tell([&](RunObserver& o) { o.Progress(0, count); });
        int done = 0;
        for (const std::string& table : tables) {
            Tell([&](RunObserver& o) { o.TableStarted(RunPass::Index, table); });
            subject_ = liveFolder_ + table;
            templateTable_.Close();
            liveTable_.Close();
            templateTable_.SetTableName(table);
            liveTable_.SetTableName(table);
            {
                const engine::ProgressScope progress(ProgressOf(RunPass::Index, table));
                if (operations_.transfer) {
                    const TransferOutcome outcome =
                        TransferIndex(table, templateFolder_, liveFolder_, liveTable_,
                                      operations_.rebuild ? TransferredTags::BuiltByTheRebuild
                                                          : TransferredTags::BuiltHere);
                    // A table in another user's hands keeps its index: replacing it under them
                    // would leave them writing to a file nobody opens again. The transfer says
                    // nothing more than its copy line; the rebuild, when chosen, needs the same
                    // sole use and stops the run with its error.
                    if (outcome == TransferOutcome::TableInUse)
                        Tell([&](RunObserver& o) { o.TransferSkippedInUse(table); });
                }
                if (operations_.rebuild) {
                    const auto definitions = ReadIndexDefinitions(templateTable_);
                    Tell([&](RunObserver& o) { o.IndexDefinitionsRead(table, definitions); });
                    RebuildIndexes(table, liveFolder_, liveTable_, definitions);
                    for (const IndexDefinition& d : definitions)
                        Tell([&](RunObserver& o) { o.IndexAdded(table, d); });
                }
            }
            ++done;
            Tell([&](RunObserver& o) { o.TableFinished(RunPass::Index, table); });
            Tell([&](RunObserver& o) { o.Progress(done, count); });
            pumping_ = true;
            try {
                Tell([&](RunObserver& o) { o.Pump(operations_); });
            } catch (...) {
                pumping_ = false;
                throw;
            }
            pumping_ = false;
        }
        indexPassEnd = Now();
        Tell([&](RunObserver& o) { o.PassFinished(RunPass::Index); });
    }

    if (operations_.pack) {
        subject_ = liveFolder_;
        SetCurrentFolder(liveFolder_);
        const std::vector<std::string> tables = ListFiles(liveFolder_, choices_.tableMask);
        liveTable_.SetDatabaseName(liveFolder_);
        const int count = static_cast<int>(tables.size());
        Tell([&](RunObserver& o) { o.PassStarted(RunPass::Pack, tables); });
        Tell([&](RunObserver& o) { o.Progress(0, count); });
        int done = 0;
        for (const std::string& table : tables) {
            Tell([&](RunObserver& o) { o.TableStarted(RunPass::Pack, table); });
            subject_ = liveFolder_ + table;
            liveTable_.Close();
            liveTable_.SetTableName(table);
            AddLog(PackingLine(liveTable_.TableName()));
            {
                const engine::ProgressScope progress(ProgressOf(RunPass::Pack, table));
                PackTable(liveTable_, true);
            }
            liveTable_.Close();
            ++done;
            Tell([&](RunObserver& o) { o.TablePacked(table); });
            Tell([&](RunObserver& o) { o.TableFinished(RunPass::Pack, table); });
            Tell([&](RunObserver& o) { o.Progress(done, count); });
        }
        Tell([&](RunObserver& o) { o.PassFinished(RunPass::Pack); });
    }

    subject_.clear();
    if (operations_.IndexPass())
        AddLog(IndexPassDoneLine(LongTimeText(indexPassEnd)));
    if (operations_.pack)
        AddLog(PackPassDoneLine(LongTimeText(Now())));
    return true;
}

}  // namespace ari
