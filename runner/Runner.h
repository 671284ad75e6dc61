// The headless runner: the maintenance pass of the window without a window, for a server run
// by its service manager. It reads the same settings file, passes the same session gate, runs
// the same MaintenanceRun under the same run marker and writes the same log lines, on standard
// output with the date and time in front and into the run journal with a summary per pass.
#pragma once

#include <QString>
#include <QStringList>
#include <string>

#include "maintenance/MaintenanceRun.h"
#include "sessions/SessionListing.h"

namespace ari::runner {

// The process's exit codes.
enum ExitCode : int {
    kSuccess = 0,
    kError = 1,              // the pass failed: the error line names the table and why
    kUsage = 2,              // a command line or a settings file that cannot be used
    kSessionsConnected = 3,  // more than one counted session: no pass
    kAnotherPass = 4,        // another pass holds the run marker: nothing touched
    kVerifyFailed = 5,       // the pass went through, a table failed its check
    kStopped = 6,            // stopped on request between two tables
};

struct Options {
    bool now = false;
    bool schedule = false;
    bool ignoreSessions = false;
    bool verify = false;
    bool help = false;
    std::string settingsFile;   // "" : the settings file beside the program
    std::string journalFolder;  // "" : beside the program
};

// Reads the command line (without the program name); false with `fault` for anything it does
// not know, a missing value, or neither/both of --now and --schedule.
bool ParseOptions(const QStringList& arguments, Options& options, QString& fault);
QString HelpText();

// The choices of the settings file (section "Setting"), as the window reads them at start.
struct RunnerSettings {
    std::string templateFolder;  // "" : the template folder beside the program
    std::string liveFolder;
    RunOperations operations;
    QString begin, end;  // the time window as long time texts; "" when not set
};
// Throws Exception (EConvertError for a value that is not a flag or a time, EInOutError for a
// file that cannot be read).
RunnerSettings ReadRunnerSettings(const QString& settingsFile);

// The session listing of the local machine, from the quser stand-in beside the program (else
// on the path), waited for up to `waitMs`. Empty when the tool is missing, fails or prints
// nothing: like the window, an unreadable listing counts no session.
SessionListing ListSessions(const std::string& appDir, int waitMs = 3000);

// The process: everything but the argument parsing. `appDir` is the program's folder.
int RunMain(const Options& options, const std::string& appDir);

// Set by SIGTERM and SIGINT: a pass stops after its current table, the schedule ends.
bool StopRequested();
void InstallStopHandlers();

}  // namespace ari::runner
