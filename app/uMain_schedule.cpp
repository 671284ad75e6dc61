// The start and stop control, the schedule tick and the session monitor tick of TfMain.
// Clock, sleep and program starts go through Env() so that tests move time and fake the tools.
#include <QApplication>
#include <QCoreApplication>
#include <QEventLoop>
#include <QTime>
#include <QTimer>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/ErrorGuard.h"
#include "app/PassSummaryView.h"
#include "app/uMain.h"
#include "app/uMainSupport.h"
#include "log/LogTexts.h"
#include "log/OperationLog.h"
#include "maintenance/PassHistory.h"
#include "maintenance/RunSummary.h"
#include "platform/Dialogs.h"
#include "platform/Exception.h"
#include "platform/FileErrors.h"
#include "platform/Files.h"
#include "platform/ProgramFolders.h"
#include "schedule/Schedule.h"
#include "schedule/SessionTick.h"
#include "sessions/SessionListing.h"
#include "settings/Formats.h"

namespace {

const QString kStartCaption = QStringLiteral("شروع");
const QString kStopCaption = QStringLiteral("--- توقف ---");
constexpr char kNoFoldersMessage[] = "مسیر ها تعریف نشده اند";
constexpr char kNoOperationMessage[] = "نوع عملیات تعیین نشده است";

const QString kProcessedToday = QStringLiteral("This operation has been processed today");
const QString kNotProcessedToday = QStringLiteral("No processing has been done today");
// The three backslashes in front of every line that reports a problem (log/LogTexts.h).
const QString kProblemLead = QStringLiteral("\\\\\\");
const QString kLastErrorLead = QStringLiteral("خطای آخرین اجرا: ");
// `text` embedded in the direction of its own first letter, whatever stands around it (to the
// end of its first line). An embedding, not an isolate: this toolkit's text layout takes the
// isolates of Unicode 6.3 for plain neutrals, and a tip's English error read from its end.
QString InItsOwnDirection(const QString& text) {
    return QChar(text.isRightToLeft() ? 0x202B : 0x202A) + text + QChar(0x202C);
}
const QString kFailedWithoutLine = QStringLiteral("اجرا با موفقیت تمام نشد");
const QString kNoPassYet = QStringLiteral("هنوز هیچ اجرایی انجام نشده است.");
// The summary view lists this many of the journal's last passes (a journal of 4 MB and its four
// older files hold a few hundred).
constexpr size_t kPassesShown = 100;

using ari::ScopeExit;

// The time of day of a picker as a long time text; only hours, minutes and seconds take part.
std::string PickerTimeText(const QTimeEdit* picker) {
    const QTime t = picker->time();
    return ari::LongTimeText(ari::EncodeTime(t.hour(), t.minute(), t.second()));
}

}  // namespace

void TfMain::btnStartClick() {
    if (btnStartTag_ != 0) {
        btnStart->setText(kStartCaption);
        tStartReindex->SetEnabled(false);
        btnStartTag_ = 0;
        return;
    }
    // Only emptiness is tested: a text of blanks passes, existence is the run's concern.
    if (LEMaghsad->text().isEmpty() || LESource->text().isEmpty()) {
        ari::ShowMessage(kNoFoldersMessage);
        return;
    }
    if (!CBPack->isChecked() && !CBReIndex->isChecked() && !CBCopyRe->isChecked()) {
        ari::ShowMessage(kNoOperationMessage);
        return;
    }
    btnStart->setText(kStopCaption);
    tStartReindex->SetEnabled(true);
    btnStartTag_ = 1;
}

void TfMain::tStartReindexTimer() {
    if (sessionTickBusy_) {
        // The session tick waits for its listing with the lists cleared: the gate must see the
        // new listing, as it would had the wait blocked this thread.
        scheduleTickDeferred_ = true;
        return;
    }
    if (scheduleTickBusy_ || RunInProgress()) {
        // A stop and a start pressed while a run pumps messages re-arm the timer, so its tick
        // can arrive inside the run: it starts nothing. The running tick re-arms the timer when
        // it ends, so the next tick still comes one interval after the run.
        tStartReindex->SetEnabled(false);
        return;
    }
    QApplication::setOverrideCursor(Qt::WaitCursor);
    tStartReindex->SetEnabled(false);
    scheduleTickBusy_ = true;
    const ScopeExit closing([this] {
        scheduleTickBusy_ = false;
        // A stop pressed while the run pumped messages holds: the timer stays off.
        if (btnStartTag_ != 0)
            tStartReindex->SetEnabled(true);
        tCheckUser->SetEnabled(true);
        QApplication::restoreOverrideCursor();
    });

    AddLog(ari::CheckingLine(ari::LongTimeText(Now())), true);

    const ari::TDateTime now = Now();
    const std::string markerPath = ari::AbsolutePath(
        ari::ProgramFoldersFor(ari::ExtractFilePath(Env().executablePath)).stateFolder +
        ari::kRunMarkerName);
    const std::string recordPath = ari::PassRecordPathFor(markerPath);

    // The schedule decides (schedule/Schedule.h); this tick shows its decision.
    ari::ScheduleState state{TodayStamp.toStdString(), ProcessedToday};
    // A pass that another program sharing the marker ran today counts as this day's pass.
    ari::TakePassRecord(state, recordPath, now);
    const bool wasProcessed = state.processedToday;
    const int sessions = lstUsers->count();
    const ari::TickAction action =
        ari::DecideTick(state, now, PickerTimeText(tmpckrBegin), PickerTimeText(tmpckrEnd),
                        sessions, sessionsUnknown_);
    TodayStamp = QString::fromStdString(state.todayStamp);
    ProcessedToday = state.processedToday;
    if (wasProcessed) {
        SetStatusPanelText(1, kProcessedToday);
        if (!state.processedToday)
            SetStatusPanelText(1, kNotProcessedToday);
        return;
    }
    // A failed listing was said in the log when it failed; the pass waits for one that works.
    if (action == ari::TickAction::Nothing || action == ari::TickAction::SessionsUnknown)
        return;
    if (action == ari::TickAction::UsersConnected) {
        AddLog(ari::UsersConnectedLine(sessions, ari::LongTimeText(Now())));
        return;
    }

    tCheckUser->SetEnabled(false);
    AddLog(ari::StartLine(ari::LongTimeText(Now())));
    QCoreApplication::processEvents();

    bool succeeded = false;
    // The pass's problem lines, from whichever thread writes them: the last one is the error that
    // the window keeps showing until a later pass succeeds.
    std::mutex problemMutex;
    QString problemLine;
    const ari::LogSubscription problems([&](const std::string& text, bool) {
        const QString line = QString::fromStdString(text);
        if (line.startsWith(kProblemLead)) {
            std::lock_guard<std::mutex> lock(problemMutex);
            problemLine = line;
        }
    });
    lastPass_.reset();
    bool heldOff = false;  // another pass held the marker: this tick ran none
    // Also when an error leaves the run: that pass failed too.
    const ScopeExit noted([&] {
        if (heldOff)
            return;
        std::lock_guard<std::mutex> lock(problemMutex);
        NoteLastPass(succeeded, problemLine);
    });
    try {
        succeeded = ReindexProccess();
        markerFault_.clear();  // the marker could be created: a later fault is news again
    } catch (const EInOutError& e) {
        // The run handles every Exception of its passes itself; one that leaves it comes from
        // the run marker, before anything was done. A marker that another pass holds is no
        // fault: the run has said so, and the other pass's record decides the later ticks.
        if (e.ErrorCode() == ari::kSharingViolation) {
            heldOff = true;
            return;
        }
        ReportMarkerFault(e, markerPath);
    } catch (const Exception& e) {
        ReportMarkerFault(e, markerPath);
    }
    // The success belongs to the day the tick started it on: at most one a day, also when the
    // program has been running since an earlier day.
    ari::PassEnded(state, now, succeeded);
    ProcessedToday = state.processedToday;
    if (succeeded) {
        SetStatusPanelText(2, QString::fromStdString(ari::DateTimeText(Now())));
        TodayStamp = QString::fromStdString(state.todayStamp);
        ari::WritePassRecord(recordPath, now);
    }
    QCoreApplication::processEvents();
}

// A run marker error is logged as any other run error, and shown in a box only when its cause
// differs from the last one shown: a tick comes every minute, and an unattended night must not
// pile up boxes.
void TfMain::ReportMarkerFault(const Exception& e, const std::string& markerPath) {
    const std::string message = e.Message() + ": " + markerPath;
    AddLog(ari::ErrorLine(message, ari::LongTimeText(Now())));
    if (message == markerFault_)
        return;
    markerFault_ = message;
    throw Exception(message);
}

void TfMain::NoteLastPass(bool succeeded, const QString& problemLine) {
    try {
        if (succeeded) {
            // A later pass succeeded: the day's state comes back in panel 1.
            if (!lastError_.isEmpty()) {
                SetStatusPanelText(1, panel1BeforeError_);  // and the tip that goes with it
                lastError_.clear();
            }
            return;
        }
        // Panel 1 is written by the tick only while a pass has succeeded: the error stays in
        // it through every tick until a pass succeeds, the log cleared or not.
        if (lastError_.isEmpty())
            panel1BeforeError_ = StatusPanelText(1);
        lastError_ = problemLine.isEmpty() ? kFailedWithoutLine : problemLine;
        // The panel is one line high: an engine message of several lines shows on one, the
        // panel's tip shows it as written.
        QString oneLine = lastError_;
        oneLine.replace(u'\n', u' ');
        // The error keeps its own direction after the Persian lead: isolated, an English line
        // reads left to right, its backslashes and quotes in place.
        SetStatusPanelLaidOut(1, kLastErrorLead + oneLine,
                              kLastErrorLead + InItsOwnDirection(oneLine));
        statusPanels_[1]->setToolTip(kLastErrorLead + InItsOwnDirection(lastError_));
    } catch (...) {
        // Out of memory: the panel keeps what it showed; the tick goes on.
    }
}

void TfMain::ShowLastPass() {
    std::vector<ari::DatedPass> passes;
    if (journal_) {
        // The journal and its older files, never locked: a pass being written shows next time.
        std::string text;
        for (const std::string& file : journal_->Journal().ReadOldestFirst())
            text += file.empty() || file.back() == '\n' ? file : file + '\n';
        std::vector<ari::JournalPass> read = ari::ReadJournalPasses(text);
        const size_t first = read.size() > kPassesShown ? read.size() - kPassesShown : 0;
        for (size_t i = read.size(); i-- > first;)
            passes.push_back({read[i].record.date, std::move(read[i].pass)});
    }
    // The window's last pass, when the journal could not take it.
    if (lastPass_ && !lastPassJournalled_)
        passes.insert(passes.begin(), {lastPassStamp_, *lastPass_});
    if (passes.empty()) {
        ari::ShowMessage(kNoPassYet.toStdString());
        return;
    }
    if (!summaryView_)
        summaryView_ = new ari::PassSummaryView(this);
    const bool shown = summaryView_->isVisible();
    summaryView_->SetPasses(std::move(passes));
    if (!shown)
        summaryView_->FitToScreen(this);
    summaryView_->show();
    summaryView_->raise();
    summaryView_->activateWindow();
}

// The 3000 ms are the sleeper's (tests give one that ends with their fake tool); it sleeps on a
// thread of its own, so that this thread handles its events until the tool has closed its
// output or the sleep has ended. A sleep that outlasts the tool ends in the background and is
// joined before the next wait.
void TfMain::WaitForListing(ari::PendingListing& listing) {
    if (listingSleep_.joinable())
        listingSleep_.join();
    auto slept = std::make_shared<std::atomic<bool>>(false);
    ari::Sleeper* sleeper = Env().sleeper;
    listingSleep_ = std::thread([sleeper, slept] {
        sleeper->Sleep(3000);
        *slept = true;
    });
    QEventLoop waiting;
    QTimer poll;
    connect(&poll, &QTimer::timeout, &waiting, [&] {
        if (*slept || listing.Ended())
            waiting.quit();
    });
    poll.start(5);
    waiting.exec();
}

void TfMain::tCheckUserTimer() {
    tCheckUser->SetEnabled(false);
    sessionTickBusy_ = true;
    const ScopeExit rearm([this] {
        sessionTickBusy_ = false;
        tCheckUser->SetEnabled(true);
        // A schedule tick that fell into the wait comes now, with the lists of this tick.
        if (scheduleTickDeferred_) {
            scheduleTickDeferred_ = false;
            QTimer::singleShot(0, this,
                               [this] { ari::RunGuarded([this] { tStartReindexTimer(); }); });
        }
    });

    lstUsers->clear();
    ListBox1->clear();
    ListBox2->clear();
    ListBox3->clear();
    ListBox4->clear();
    Memo3->clear();

    // Until this tick has a listing, who is connected is not known: a schedule tick that falls
    // into an error below holds the pass rather than count nobody.
    sessionsUnknown_ = true;
    // Every error from here on ends the tick quietly, the lists as far as they were filled.
    try {
        // The tools' listing comes through a pipe that only this process reads, never through
        // a file: the current folder is the live or template folder, which other users can
        // write, and a link or a listing of theirs planted there would steer the logoffs below.
        const std::unique_ptr<ari::SessionSource> source =
            ari::DefaultSessionSource(*Env().starter);
        const std::unique_ptr<ari::PendingListing> pending = source->Start();
        // The listing is what the source has when the wait ends: at its end, or after 3000 ms,
        // whichever comes first. The window thread goes on with its events meanwhile.
        WaitForListing(*pending);
        const ari::SessionListing listing = pending->Finish();
        QStringList shown;
        for (const std::string& line : listing.lines)
            shown << QString::fromStdString(line);
        Memo3->setPlainText(shown.join(u'\n'));
        const std::string time = ari::LongTimeText(Now());
        listingNote_.Take(listing, time);
        if (!listing.failure.empty())
            return;
        sessionsUnknown_ = false;

        for (const ari::SessionRow& row : listing.rows) {
            ListBox1->addItem(QString::fromStdString(row.userName));
            ListBox2->addItem(QString::fromStdString(row.sessionName));
            ListBox3->addItem(QString::fromStdString(row.id));
            ListBox4->addItem(QString::fromStdString(row.state));
        }
        for (const ari::CountedSession& entry : listing.counted)
            lstUsers->addItem(QString::fromStdString(entry.text));
        ari::LogOffDisconnected(listing, *source, time);
    } catch (...) {
    }
}
