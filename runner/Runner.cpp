#include "runner/Runner.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "engine/TTable.h"
#include "engine/check/TableCheck.h"
#include "engine/index/MdxBuild.h"
#include "log/LogTexts.h"
#include "log/OperationLog.h"
#include "maintenance/DryRun.h"
#include "maintenance/PassHistory.h"
#include "maintenance/RunSummary.h"
#include "maintenance/StopBetweenTables.h"
#include "platform/Env.h"
#include "platform/Exception.h"
#include "platform/FileErrors.h"
#include "platform/FileNames.h"
#include "platform/Files.h"
#include "platform/ProgramFolders.h"
#include "platform/Version.h"
#include "runner/ScheduleTick.h"
#include "schedule/Schedule.h"
#include "schedule/SessionTick.h"
#include "settings/Formats.h"
#include "templates/TemplateArchive.h"

namespace ari::runner {

namespace {

// The memory the key sorts of one index file share (the engine's default is 256 MB): with the
// rest of the process it keeps the runner under 256 MB.
constexpr size_t kSortMemoryBudget = size_t{128} << 20;

std::string Now() {
    return LongTimeText(LocalNow());
}

void WriteOut(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
}

// The log lines on standard output, with the date and time in front, and the pass's progress:
// on a terminal a bar redrawn in place (tables done of the pass's count, the pass, the table in
// progress and its records done), a plain line per table otherwise.
class Console final : public RunObserver {
  public:
    Console() : terminal_(Env::Default()->IsTerminal(StandardStream::Output)) {}

    void Line(const std::string& line) {
        ClearBar();
        WriteOut(StampText(LocalNow()) + ' ' + line + '\n');
        DrawBar();
        std::fflush(stdout);
    }

    void PassStarted(RunPass pass, const std::vector<std::string>&) override {
        pass_ = pass == RunPass::Index ? "index" : "pack";
    }
    void TableStarted(RunPass, const std::string& table) override {
        table_ = table;
        records_.clear();
    }
    // The engine's records done within the table, on the bar only: a plain line per record
    // count would bury the log lines. Redrawn when the figure changes.
    void TableProgress(RunPass, const std::string&, uint64_t done, uint64_t total) override {
        if (!terminal_)
            return;
        Show(total > 0 ? std::to_string(done) + "/" + std::to_string(total) + " records"
                       : std::string());
    }
    // Between two passes over the records, a large table's key sorts and index writes take
    // seconds: the bar says which, with its keys done.
    void TablePhase(RunPass, const std::string&, engine::ProgressPhase phase, uint64_t done,
                    uint64_t total) override {
        if (!terminal_ || engine::OverRecords(phase))
            return;
        const char* what =
            phase == engine::ProgressPhase::Sorting ? "sorting keys " : "writing keys ";
        Show(what + std::to_string(done) + "/" + std::to_string(total));
    }
    void Progress(int position, int count) override {
        position_ = position;
        count_ = count;
        records_.clear();
        if (terminal_) {
            ClearBar();
            DrawBar();
            std::fflush(stdout);
        } else if (position > 0) {
            WriteOut(StampText(LocalNow()) + " progress " + pass_ + ' ' + std::to_string(position) +
                     '/' + std::to_string(count) + ' ' + table_ + '\n');
            std::fflush(stdout);
        }
    }
    void RunFinished(bool) override { EndBar(); }
    void EndBar() {
        ClearBar();
        count_ = 0;
        std::fflush(stdout);
    }

  private:
    void Show(std::string records) {
        if (records == records_)
            return;
        records_ = std::move(records);
        ClearBar();
        DrawBar();
        std::fflush(stdout);
    }
    void ClearBar() {
        if (terminal_ && barShown_) {
            std::fputs("\r\033[K", stdout);
            barShown_ = false;
        }
    }
    void DrawBar() {
        if (!terminal_ || count_ <= 0)
            return;
        constexpr int kWidth = 30;
        const int filled = position_ * kWidth / count_;
        std::string bar = "[" + std::string(static_cast<size_t>(filled), '#') +
                          std::string(static_cast<size_t>(kWidth - filled), ' ') + "] " +
                          std::to_string(position_) + "/" + std::to_string(count_) + " " + pass_ +
                          " " + table_;
        if (!records_.empty())
            bar += " " + records_;
        std::fputs(bar.c_str(), stdout);
        barShown_ = true;
    }

    bool terminal_;
    bool barShown_ = false;
    int position_ = 0, count_ = 0;
    std::string pass_, table_;
    // "done/total records" of the table in progress, or the keys its sort or index write has
    // done; "" before any
    std::string records_;
};

// The program's template folder: beside the program, unpacked from the program's archive when
// missing, as the window does at start (a failure leaves the run to report the folder it cannot
// use); installed, the package's, never written.
std::string ProgramTemplateFolder(const ProgramFolders& folders) {
    if (!folders.installed)
        UnpackTemplatesIfMissing(folders.templateFolder);
    return folders.templateFolder;
}

// One pass now, as the schedule tick starts it (sessions already counted): the marker, the run,
// the summary, the checks. Returns the exit code.
int OnePass(const Options& options, const RunnerSettings& settings, const ProgramFolders& folders,
            Console& console, const RunJournal& journal) {
    RunChoices choices;
    choices.templateFolderText =
        settings.templateFolder.empty() ? ProgramTemplateFolder(folders) : settings.templateFolder;
    choices.liveFolderText = settings.liveFolder;
    choices.operations = settings.operations;
    choices.markerPath = AbsolutePath(folders.stateFolder + kRunMarkerName);

    TTable templateTable("Table1");
    TTable liveTable("Table2");
    MaintenanceRun run(choices, templateTable, liveTable);
    RunSummary summary(choices.liveFolderText, choices.operations);
    StopWhenAsked stop([] { return StopRequested(); });
    run.AddObserver(&summary);
    run.AddObserver(&console);
    run.AddObserver(&stop);

    int code = kSuccess;
    try {
        code = run.Run() ? kSuccess : kError;
    } catch (const StopBetweenTables&) {
        console.EndBar();
        AddLog(StoppedLine(stop.LastFinished(), Now()));
        summary.Stopped("stopped on request");
        code = kStopped;
    } catch (const EInOutError& e) {
        // Only the marker's creation lets a file error out of the run.
        console.EndBar();
        if (e.ErrorCode() == kSharingViolation)
            return kAnotherPass;  // the run said so; nothing was touched: no summary
        AddLog(ErrorLine(e.Message(), Now()));
        return kError;
    }
    if (code == kError && !summary.FailedTable().empty()) {
        const auto& tables = summary.Tables();
        std::string message;
        for (const TableSummary& t : tables)
            if (t.table == summary.FailedTable())
                message = t.result.substr(t.result.find(':') + 2);
        AddLog(TableErrorLine(summary.FailedTable(), message, Now()));
    }

    if (options.verify && code != kAnotherPass) {
        bool allSound = true;
        for (TableSummary& t : summary.Tables()) {
            const std::string name = FindFileNoCase(summary.LiveFolder(), t.table);
            const engine::CheckResult check =
                engine::CheckDbaseTable(summary.LiveFolder() + (name.empty() ? t.table : name));
            if (check.fault.empty()) {
                t.verify = "ok";
                AddLog(VerifyOkLine(t.table));
            } else {
                allSound = false;
                t.verify = "FAULT" + (check.step.empty() ? "" : " (" + check.step + ")") + ": " +
                           check.fault;
                AddLog(VerifyFailedLine(t.table, t.verify, Now()));
            }
        }
        if (!allSound && code == kSuccess) {
            code = kVerifyFailed;
            summary.SetResult("ok, verify failed");
        }
    }
    journal.Append(JoinedLines(summary.Lines(LocalNow())));
    // A success is the day's pass for every front end that shares the marker.
    if (code == kSuccess || code == kVerifyFailed)
        WritePassRecord(PassRecordPathFor(choices.markerPath), LocalNow());
    return code;
}

}  // namespace

bool StopRequested() {
    return Env::Default()->StopRequested();
}

void InstallStopHandlers() {
    // The schedule's sleep wakes at once on a stop.
    Env::Default()->RequestStopOnTerminate();
}

std::string HelpText() {
    return std::string(
        "Usage: autoreindex-run --now [options]\n"
        "       autoreindex-run --schedule [options]\n"
        "       autoreindex-run --history [N] [--journal DIR]\n"
        "       autoreindex-run --dry-run [--settings FILE]\n"
        "       autoreindex-run --version | --help\n"
        "\n"
        "The maintenance pass of the window without a window: the index transfer, the index\n"
        "rebuild and the pack that the settings file ticks, over its template and live folders.\n"
        "\n"
        "  --now              one pass now, then exit\n"
        "  --schedule         the window's schedule: a tick every minute starts the pass inside\n"
        "                     the settings' time window (begin included, end excluded), at most\n"
        "                     one successful pass a day; every 30 seconds the sessions are\n"
        "                     listed and disconnected ones logged off. SIGTERM stops it cleanly.\n"
        "                     It says one line when armed (the time window, the live and\n"
        "                     template folders, when the first tick comes) and one when it\n"
        "                     stops:\n"
        "                       ... schedule armed: passes from 01:00:00 to 05:00:00; live\n"
        "                       folder /srv/live/; template folder /opt/mdx/; next tick at\n"
        "                       22:14:05 (in 60 s)\n"
        "                       ... schedule stopped on request\n"
        "  --settings FILE    the settings file (default: Setting_VorelIndex.ini beside the\n"
        "                     program, see Folders); it must exist, name a live folder and\n"
        "                     tick an operation\n"
        "  --ignore-sessions  run even when more than one session is connected\n"
        "  --verify           after the pass, check every table it touched and its production\n"
        "                     index (the checks of \"dbtool check\")\n"
        "  --journal DIR      write the run journal autoreindex.log into DIR, made when\n"
        "                     missing (default: beside the program, see Folders)\n"
        "  --history [N]      the last N passes of the journal (default 10) and of its older\n"
        "                     files, oldest first, one line each: date, duration, tables,\n"
        "                     records removed by the pack (\"-\" when no pack said), result;\n"
        "                     nothing runs. With --journal, that folder's journal.\n"
        "  --dry-run          what a pass with the settings would do now, and nothing else:\n"
        "                     no table, index, run marker, journal line or template is\n"
        "                     written. One line per table of the pass: what it would do\n"
        "                     (transfer, rebuild, pack); the index now (current, stale,\n"
        "                     missing, none or damaged: the checks of \"dbtool check\");\n"
        "                     whether another program has it in use now (the pass's own\n"
        "                     check: a lock asked of the system, none taken, and a write\n"
        "                     lease taken and dropped at once, or a look through /proc);\n"
        "                     its records and the deleted ones a pack would remove; the\n"
        "                     bytes the pass would free in the table, its index and its memo\n"
        "                     file (negative: the file grows; the pack keeps the memo file as\n"
        "                     it is); whether it passes its check. Then the totals and a line\n"
        "                     for each table with something to say. Sessions are not\n"
        "                     counted; --journal, --verify and --ignore-sessions change\n"
        "                     nothing.\n"
        "  --version          the program's name and version\n"
        "  --help             this text\n"
        "\n"
        "Log lines go to standard output with the date and time in front, and to the journal\n"
        "with a summary of each pass: a heading \"=== Pass summary YYYY-MM-DD HH:MM:SS (live\n"
        "folder)\", a line per table (operations; records before -> after; deleted records\n"
        "removed; tags rebuilt; table, index and memo bytes before -> after, each file apart;\n"
        "time; result) and the total time and result.\n"
        "\n"
        "A pass never runs beside another one (the window's or a runner's): the run marker\n"
        "\"reindexing\" beside the program, held under a lock for the whole pass, keeps them\n"
        "apart. A stop (SIGTERM, Ctrl-C) lets the table in progress finish\n"
        "and ends the pass before the next one; a table is never left half-replaced.\n"
        "\n"
        "Folders: a program run from anywhere else keeps the settings file, the template\n"
        "folder mdx, the run marker, the day of the last pass (\"reindexed\") and the\n"
        "journal beside itself. Installed (run from /usr/bin, as the package puts it):\n"
        "  /etc/autoreindex/Setting_VorelIndex.ini   the settings file\n"
        "  /usr/share/autoreindex/mdx/                the template tables\n"
        "  /var/lib/autoreindex/                      the run marker and the day of the pass\n"
        "  /var/log/autoreindex/                      the journal and its older files\n"
        "  /usr/libexec/autoreindex/                  the session tools quser and logoff\n"
        "\n"
        "Exit codes:\n"
        "  0  success\n"
        "  1  the pass failed (the error line names the table and why)\n"
        "  2  a command line or settings file that cannot be used\n"
        "  3  more than one session connected, or the sessions could not be listed:\n"
        "     no pass\n"
        "  4  another pass is running: nothing touched\n"
        "  5  the pass went through but a table failed its check (--verify)\n"
        "  6  stopped on request between two tables\n"
        "  7  the run journal cannot be written\n"
        "With --dry-run:\n"
        "  0  a pass now would go through every table (with or without work to do)\n"
        "  1  a pass now would stop for another reason (a folder, a definition ...)\n"
        "  2  a command line or settings file that cannot be used\n"
        "  4  another pass is running: no table looked at\n"
        "  8  a table is in use now (the pass would stop there, or skip its transfer)\n"
        "  9  a table or its index fails its check (damaged), whether in use or not\n"
        "  (when several apply: 9 before 1 before 8)\n"
        "\n"
        "Relative paths are taken from the folder the runner is started in.\n");
}

bool ParseOptions(const std::vector<std::string>& arguments, Options& options, std::string& fault) {
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& a = arguments[i];
        const auto value = [&](std::string& into) {
            if (i + 1 >= arguments.size() || arguments[i + 1].empty()) {
                fault = a + " needs a value";
                return false;
            }
            into = arguments[++i];
            return true;
        };
        if (a == "--now") {
            options.now = true;
        } else if (a == "--schedule") {
            options.schedule = true;
        } else if (a == "--ignore-sessions") {
            options.ignoreSessions = true;
        } else if (a == "--verify") {
            options.verify = true;
        } else if (a == "--help" || a == "-h") {
            options.help = true;
        } else if (a == "--version") {
            options.version = true;
        } else if (a == "--dry-run") {
            options.dryRun = true;
        } else if (a == "--history") {
            options.history = true;
            // The count is optional: a word that is no number is the next option.
            if (i + 1 < arguments.size() && !arguments[i + 1].empty() &&
                arguments[i + 1][0] != '-') {
                const std::string& n = arguments[++i];
                if (n.size() > 6 || n.find_first_not_of("0123456789") != std::string::npos ||
                    std::stoi(n) == 0) {
                    fault = "--history takes a count of passes from 1 to 999999, not " + n;
                    return false;
                }
                options.historyCount = std::stoi(n);
            }
        } else if (a == "--settings") {
            if (!value(options.settingsFile))
                return false;
        } else if (a == "--journal") {
            if (!value(options.journalFolder))
                return false;
        } else {
            fault = "unknown argument " + a;
            return false;
        }
    }
    if (options.help || options.version)
        return true;
    if (options.dryRun) {
        if (options.now || options.schedule || options.history) {
            fault =
                "--dry-run shows what a pass would do and runs none; give it without --now, "
                "--schedule or --history";
            return false;
        }
        return true;
    }
    if (options.history) {
        if (options.now || options.schedule) {
            fault = "--history shows past passes; give it without --now or --schedule";
            return false;
        }
        return true;
    }
    if (options.now == options.schedule) {
        fault = "give either --now or --schedule";
        return false;
    }
    return true;
}

void MakeAbsolute(Options& options) {
    if (!options.settingsFile.empty())
        options.settingsFile = AbsolutePath(options.settingsFile);
    if (!options.journalFolder.empty())
        options.journalFolder = AbsolutePath(options.journalFolder);
}

namespace {
int RunWithJournal(const Options& options, const ProgramFolders& folders, Console& console,
                   const JournalLog& journal);
}  // namespace

namespace {

// --history: the last passes of the journal and its rotated files, read without any lock.
int ShowHistory(const Options& options, const ProgramFolders& folders) {
    const RunJournal journal(options.journalFolder.empty() ? folders.journalFolder
                                                           : options.journalFolder);
    const std::vector<std::string> files = journal.ReadOldestFirst();
    if (files.empty()) {
        WriteOut("No run journal at " + journal.Path() + ": no pass to show.\n");
        return kSuccess;
    }
    std::string text;
    for (const std::string& file : files)
        text += file.empty() || file.back() == '\n' ? file : file + '\n';
    const std::vector<PassRecord> passes = ReadPasses(text);
    if (passes.empty()) {
        WriteOut("No pass summary in the run journal " + journal.Path() + ".\n");
        return kSuccess;
    }
    const size_t shown = std::min(passes.size(), static_cast<size_t>(options.historyCount));
    WriteOut("Passes in " + journal.Path() + " and its older files, oldest first (the last " +
             std::to_string(shown) + " of " + std::to_string(passes.size()) + "):\n");
    WriteOut(HistoryTable(passes, shown));
    return kSuccess;
}

// --dry-run: the forecast of a pass with the settings' choices, on standard output; nothing is
// written, the journal neither.
int DryRun(const Options& options, const ProgramFolders& folders) {
    const std::string settingsFile =
        options.settingsFile.empty() ? folders.settingsFile : options.settingsFile;
    RunnerSettings settings;
    std::string fault;
    try {
        settings = ReadScheduleSettings(settingsFile);
        fault = UnusableSettings(settingsFile, settings);
    } catch (const Exception& e) {
        fault = e.Message();
    }
    if (!fault.empty()) {
        std::fprintf(stderr, "autoreindex-run: %s\n", fault.c_str());
        return kUsage;
    }
    ari::engine::SetIndexSortMemoryBudget(kSortMemoryBudget);
    RunChoices choices;
    // The program's own template folder, which the pass would unpack when missing (never the
    // installed one); not unpacked here.
    const bool besideProgram = settings.templateFolder.empty() && !folders.installed;
    choices.templateFolderText =
        settings.templateFolder.empty() ? folders.templateFolder : settings.templateFolder;
    choices.liveFolderText = settings.liveFolder;
    choices.operations = settings.operations;
    choices.markerPath = AbsolutePath(folders.stateFolder + kRunMarkerName);
    // A large unique tag's key count may spill sorted runs: into a folder of our own in the
    // system's temporary folder (made for this run, readable by us alone, removed after), never
    // at a fixed name there that another user could have planted a file or a link at.
    std::error_code ec;
    const std::u8string tempName = std::filesystem::temp_directory_path(ec).u8string();
    const std::string tempFolder(tempName.begin(), tempName.end());
    const std::string spillFolder =
        ec ? std::string()
           : Env::Default()->MakeUniqueFolder(WithTrailingSeparator(tempFolder) +
                                              "autoreindex-dry-run-");
    if (spillFolder.empty()) {
        const std::string why = ec ? ec.message() : FileErrorText(errno);
        std::fprintf(stderr,
                     "autoreindex-run: cannot make a folder for the dry run's key sort in the "
                     "temporary folder %s: %s\n",
                     tempFolder.c_str(), why.c_str());
        return kError;
    }
    const DryRunResult result = ForecastRun(
        choices, besideProgram, WithTrailingSeparator(spillFolder) + "autoreindex-dry-run.dbf");
    RemoveFolder(spillFolder);
    WriteOut(DryRunReport(result));
    std::fflush(stdout);
    if (result.anotherPass)
        return kAnotherPass;
    if (!result.runFault.empty())
        return kError;
    bool damaged = false, otherStop = false, inUse = false;
    for (const TableForecast& t : result.tables) {
        damaged = damaged || !t.checkFault.empty() || t.index == IndexState::Damaged;
        inUse = inUse || t.inUse;
        otherStop = otherStop || (!t.stops.empty() && !t.inUse);
    }
    return damaged ? kTablesDamaged : otherStop ? kError : inUse ? kTablesInUse : kSuccess;
}

}  // namespace

int RunMain(const Options& options, const ProgramFolders& folders) {
    if (options.help) {
        WriteOut(HelpText());
        return kSuccess;
    }
    if (options.version) {
        WriteOut(std::string("autoreindex-run ") + ProjectVersion() + "\n");
        return kSuccess;
    }
    if (options.history)
        return ShowHistory(options, folders);
    if (options.dryRun)
        return DryRun(options, folders);
    // A server program keeps its memory bounded whatever the size of a table: the key sorts of
    // one index file share this much, and a larger sort spills sorted runs beside the table.
    ari::engine::SetIndexSortMemoryBudget(kSortMemoryBudget);
    Env::Default()->ReuseFreedMemoryAcrossThreads();
    ApplyFormatSettings();
    Console console;
    const LogSubscription toConsole(
        [&console](const std::string& line, bool) { console.Line(line); });
    const std::string journalFolder = options.journalFolder.empty()
                                          ? folders.journalFolder
                                          : WithTrailingSeparator(options.journalFolder);
    // A folder named for the journal is made; one that cannot be is said before any pass.
    if (!FolderExists(journalFolder) && !MakeFolderPath(journalFolder)) {
        console.Line(JournalUnwritableLine(journalFolder + RunJournal::kFileName));
        return kJournalUnwritable;
    }
    const JournalLog journal(journalFolder);
    int code = RunWithJournal(options, folders, console, journal);
    if (journal.Failed()) {
        console.Line(JournalUnwritableLine(journal.Journal().Path()));
        // A pass whose journal was lost is not a quiet success; a failure keeps its own code.
        if (code == kSuccess)
            code = kJournalUnwritable;
    }
    return code;
}

namespace {

int RunWithJournal(const Options& options, const ProgramFolders& folders, Console& console,
                   const JournalLog& journal) {
    const std::string settingsFile =
        options.settingsFile.empty() ? folders.settingsFile : options.settingsFile;
    RunnerSettings settings;
    try {
        settings = ReadScheduleSettings(settingsFile);
    } catch (const Exception& e) {
        AddLog(ErrorLine(e.Message(), Now()));
        return kUsage;
    }
    // A settings file that names nothing to do is a mistake to be seen at once, not a healthy
    // night's "result ok".
    if (const std::string fault = UnusableSettings(settingsFile, settings); !fault.empty()) {
        AddLog(ErrorLine(fault, Now()));
        return kUsage;
    }

    if (options.schedule)
        return RunSchedule(
            options, settingsFile, settings, folders,
            [&console](const std::string& line) { console.Line(line); },
            [&](const RunnerSettings& s) {
                return OnePass(options, s, folders, console, journal.Journal());
            });

    if (!options.ignoreSessions) {
        const std::unique_ptr<SessionSource> source =
            DefaultSessionSource(*DefaultEnvironment().starter);
        const SessionListing listing = ListSessions(*source);
        if (!listing.failure.empty()) {
            // Who is connected is not known, which is never "nobody".
            AddLog(SessionsNotListedLine(listing.failure, Now()));
            return kSessionsConnected;
        }
        const int sessions = static_cast<int>(listing.counted.size());
        if (sessions > 1) {
            AddLog(UsersConnectedLine(sessions, Now()));
            return kSessionsConnected;
        }
    }
    AddLog(StartLine(Now()));
    return OnePass(options, settings, folders, console, journal.Journal());
}

}  // namespace

}  // namespace ari::runner
