// The headless runner: the maintenance pass of the window without a window, for a server run
// by its service manager. It reads the same settings file, passes the same session gate, runs
// the same MaintenanceRun under the same run marker and writes the same log lines, on standard
// output with the date and time in front and into the run journal with a summary per pass.
#pragma once

#include <string>
#include <vector>

#include "maintenance/MaintenanceRun.h"
#include "platform/ProgramFolders.h"
#include "schedule/ScheduleSettings.h"
#include "sessions/SessionListing.h"

namespace ari::runner {

// The process's exit codes.
enum ExitCode : int {
    kSuccess = 0,
    kError = 1,              // the pass failed: the error line names the table and why
    kUsage = 2,              // a command line or a settings file that cannot be used
    kSessionsConnected = 3,  // more than one counted session, or none known: no pass
    kAnotherPass = 4,        // another pass holds the run marker: nothing touched
    kVerifyFailed = 5,       // the pass went through, a table failed its check
    kStopped = 6,            // stopped on request between two tables
    kJournalUnwritable = 7,  // the run journal cannot be written
    // --dry-run only (0: every table can be done; 1: a pass would stop for another reason;
    // 2: as above; 4: another pass is running):
    kTablesInUse = 8,    // a table is in use now: the pass would stop there or skip its transfer
    kTablesDamaged = 9,  // a table or its index fails its check (the pass refuses damage)
};

struct Options {
    bool now = false;
    bool schedule = false;
    bool ignoreSessions = false;
    bool verify = false;
    bool help = false;
    bool version = false;
    // --history [N]: the last `historyCount` passes of the journal as a table.
    bool history = false;
    int historyCount = 10;
    // --dry-run: what a pass would do now, nothing written (maintenance/DryRun.h).
    bool dryRun = false;
    // Folders and files as given; relative ones are taken from the folder the runner was
    // started in (MakeAbsolute), since a pass changes the current folder.
    std::string settingsFile;   // "" : the settings file beside the program
    std::string journalFolder;  // "" : beside the program
};

// Reads the command line (without the program name); false with `fault` for anything it does
// not know, a missing value, or neither/both of --now and --schedule (--help, --version,
// --history and --dry-run need neither and take the place of both; --dry-run and --history
// refuse each other and both of them).
bool ParseOptions(const std::vector<std::string>& arguments, Options& options, std::string& fault);
// Makes the settings file and the journal folder absolute against the current folder.
void MakeAbsolute(Options& options);
std::string HelpText();

// The choices of the settings file, as the window reads them at start.
using RunnerSettings = ScheduleSettings;

// The process: everything but the argument parsing. `folders` are the running program's
// (ThisProgramFolders): the settings file, templates, run marker and journal it uses by default.
int RunMain(const Options& options, const ProgramFolders& folders);

// Set by SIGTERM and SIGINT: a pass stops after its current table, the schedule ends.
bool StopRequested();
void InstallStopHandlers();

}  // namespace ari::runner
