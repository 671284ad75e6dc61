// The main window TfMain with every control, its handlers and the maintenance run, and the
// process-wide values that the startup sequence sets. Handlers are spread over several source
// files by concern (uMain.cpp: the window and the list selection; uMain_startup.cpp: creation
// and settings buttons; uMain_schedule.cpp: start/stop, schedule tick, session monitor;
// uMain_run.cpp: the window's side of the maintenance run, maintenance/MaintenanceRun.h).
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QString>
#include <QTimeEdit>
#include <QWidget>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "app/FileListBox.h"
#include "app/PassSummaryView.h"
#include "app/WindowTimer.h"
#include "engine/TTable.h"
#include "maintenance/RunSummary.h"
#include "platform/Environment.h"
#include "platform/FileNames.h"
#include "schedule/SessionTick.h"

class TfMain;
namespace ari {
class JournalLog;
class LogSubscription;
}  // namespace ari

// ---- Process-wide values (set by FormCreate, living until the process ends).
extern QString AppDir;        // the executable's folder, with a trailing separator
extern QString SettingsFile;  // AppDir + "Setting_VorelIndex.ini" (installed: /etc/autoreindex/)
extern QString TemplateDir;   // AppDir + "mdx" + separator (installed: /usr/share/autoreindex/)
extern QString TodayStamp;    // short date text of the day ProcessedToday belongs to
extern bool ProcessedToday;   // a run has succeeded since the flag was last cleared
extern TfMain* fMain;         // the one main window

class TfMain : public QWidget {
    Q_OBJECT

  public:
    // Creates every control in its initial state and then runs FormCreate, before the window
    // is first shown. `env` supplies the clock, sleep, program start and executable path.
    explicit TfMain(const ari::Environment& env = ari::DefaultEnvironment(),
                    QWidget* parent = nullptr);
    ~TfMain() override;

    // ---- Controls (member name = Qt object name).
    QFrame* Panel2 = nullptr;
    QLabel* Panel2Caption = nullptr;
    QFrame* Panel1 = nullptr;
    QStatusBar* StatusBar1 = nullptr;
    QComboBox* FilterComboBox1 = nullptr;
    ari::FileListBox* FLBMaghsad = nullptr;
    QPlainTextEdit* Memo1 = nullptr;
    QPlainTextEdit* Memo2 = nullptr;

    QLineEdit* LEMaghsad = nullptr;
    QLabel* LEMaghsadLabel = nullptr;
    QPushButton* BitBtn2 = nullptr;
    QLineEdit* LESource = nullptr;
    QLabel* LESourceLabel = nullptr;
    QPushButton* BitBtn3 = nullptr;
    QCheckBox* CBCopyRe = nullptr;
    QCheckBox* CBReIndex = nullptr;
    QCheckBox* CBPack = nullptr;
    QListWidget* CLBFile = nullptr;
    QPushButton* btnStart = nullptr;
    QPushButton* BitBtn1 = nullptr;
    QTimeEdit* tmpckrBegin = nullptr;
    QLabel* Label1 = nullptr;
    QTimeEdit* tmpckrEnd = nullptr;
    QLabel* Label2 = nullptr;
    QCheckBox* chkAutomat = nullptr;
    QLabel* Label3 = nullptr;
    QListWidget* ListBox1 = nullptr;
    QListWidget* ListBox2 = nullptr;
    QListWidget* ListBox3 = nullptr;
    QListWidget* ListBox4 = nullptr;
    QListWidget* lstUsers = nullptr;
    QLabel* Label4 = nullptr;
    QPlainTextEdit* mLog = nullptr;
    QProgressBar* ProgressBar1 = nullptr;
    QPlainTextEdit* Memo3 = nullptr;

    // ---- Non-visual members.
    ari::WindowTimer* tCheckUser = nullptr;     // 30000 ms, on
    ari::WindowTimer* tStartReindex = nullptr;  // 60000 ms, off
    std::unique_ptr<TTable> Table1;             // template tables
    std::unique_ptr<TTable> Table2;             // live tables

    // Status bar panels 0..2: the whole text; a panel shows the start of a text too long for
    // it, the whole text in its tip.
    QString StatusPanelText(int panel) const;
    void SetStatusPanelText(int panel, const QString& text);

    // The toggle state of btnStart (0 stopped, 1 armed).
    int btnStartTag() const { return btnStartTag_; }

    // The maintenance run (ari::MaintenanceRun) over the choices of the controls, followed by
    // the window: true when it went through without error. The run works on a thread of its
    // own; this call keeps the window thread's events flowing (the window repaints and answers
    // input) until the run has ended, and every event of the run has reached the window by the
    // time it returns. An error that leaves the run is rethrown here.
    bool ReindexProccess();
    // True while ReindexProccess is in progress (a run never starts twice at once).
    bool RunInProgress() const { return runInProgress_; }

    const ari::Environment& Env() const { return env_; }
    // The local time by the environment's clock (the system's when it has none).
    ari::TDateTime Now() const;

    // Handlers (also called directly by tests and by FormCreate).
    void FormCreate();
    void BitBtn1Click();
    void BitBtn2Click();
    void BitBtn3Click();
    void btnStartClick();
    void lstUsersClick(QListWidget* sender);
    void tCheckUserTimer();
    void tStartReindexTimer();
    // A click on status panel 1 or 2: the summary view (app/PassSummaryView.h) over the passes
    // of the run journal, the last one shown, in Persian; before any pass, a Persian message
    // that says so. The view stays open beside the window until it is closed.
    void ShowLastPass();
    // The summary view once ShowLastPass has opened it (null before).
    ari::PassSummaryView* SummaryView() const { return summaryView_; }

  signals:
    // The window's turn between two tables of the index pass, on the window thread, while the
    // run waits for it; the boxes are read for the run's next decisions right after it.
    void RunPumped();

  protected:
    // Closing the window ends the program. During a run the window stays until the run has
    // stopped between two tables (the table in progress is finished, never left half
    // replaced, and the stop is logged), and closes then.
    void closeEvent(QCloseEvent* event) override;

  private:
    void CreateControls();
    void WaitForListing(ari::PendingListing& listing);
    void WireEvents();

    ari::Environment env_;
    QLabel* statusPanels_[3] = {nullptr, nullptr, nullptr};
    QString statusTexts_[3];  // the panels' whole texts
    // Panel `panel` (0..2) holds `text` and shows `laidOut`, the same text with direction marks.
    void SetStatusPanelLaidOut(int panel, const QString& text, const QString& laidOut);
    int btnStartTag_ = 0;
    bool runInProgress_ = false;
    std::atomic<bool> stopAsked_{false};   // the window was closed: no table is started after
    bool closeAfterRun_ = false;           // a close came during the run: it is done after it
    bool scheduleTickBusy_ = false;        // a schedule tick is under way (it may pump messages)
    bool sessionTickBusy_ = false;         // the session tick waits for its listing
    bool scheduleTickDeferred_ = false;    // a schedule tick came during that wait
    std::thread listingSleep_;             // the session tick's 3000 ms, on a thread of its own
    bool sessionsUnknown_ = false;         // the last session listing failed: the pass waits
    ari::ListingFailureNote listingNote_;  // says a failed listing once in the log
    std::string markerFault_;  // the last run marker error shown in a box; empty once cleared
    std::unique_ptr<ari::LogSubscription> logPanel_;  // mLog as a subscriber of the log
    std::unique_ptr<ari::JournalLog> journal_;        // the run journal beside the executable
    // The summary of the pass ReindexProccess last ran (none while a tick has not run one), the
    // date of its journal heading, and whether the journal took it: the summary view shows it
    // from here when the journal could not.
    std::optional<ari::PassSummary> lastPass_;
    std::string lastPassStamp_;
    bool lastPassJournalled_ = false;
    QPointer<ari::PassSummaryView> summaryView_;
    // The last pass's problem line while it failed and no later pass has succeeded; status
    // panel 1 shows it (the tick does not write that panel then), and its text before it.
    QString lastError_;
    QString panel1BeforeError_;
    void NoteLastPass(bool succeeded, const QString& problemLine);
    // Logs a run marker error that is not another pass's hold; raises it when it differs from
    // the last one raised.
    void ReportMarkerFault(const Exception& e, const std::string& markerPath);
};
