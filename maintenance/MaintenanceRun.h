// The maintenance run: the index pass over the template folder's tables (index transfer and
// index rebuild of the live table of the same name), the pack pass over the live folder's
// tables, the run marker and the run's log lines. It holds no widget and calls no widget
// function: it takes its choices as data and tells observers what it does, so that the main
// window, a headless runner or a test drives the same run.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/Progress.h"
#include "engine/TTable.h"
#include "maintenance/IndexRebuild.h"
#include "platform/DateTime.h"
#include "platform/FileNames.h"

namespace ari {

// The three operations that the operator chooses.
struct RunOperations {
    bool transfer = false;  // copy each template table's index file over the live one's
    bool rebuild = false;   // rebuild each live table's indexes from the template's definitions
    bool pack = false;      // pack each table of the live folder

    bool IndexPass() const { return rebuild || transfer; }
};

// What one run works on, fixed for its length (the operations aside, see RunObserver::Pump).
struct RunChoices {
    // The folder texts as the operator gave them. Each is made absolute against the current
    // folder when the run starts (the listings move the current folder afterwards) and given a
    // trailing separator. An empty text is refused before any table is touched: it would name
    // the root folder once the separator is appended.
    std::string templateFolderText;
    std::string liveFolderText;
    RunOperations operations;
    // The run marker file, which exists while a run with an operation chosen is in progress.
    std::string markerPath;
    // The table files of a folder: regular, non-hidden files whose names match it, case aside.
    std::string tableMask = kTableMask;
    // The local time for the log lines; the system's clock when empty.
    std::function<TDateTime()> now;
};

enum class RunPass { Index, Pack };

// What a run reports, in the order it happens, on the thread that runs it. Every method does
// nothing unless overridden. An observer must not start another run.
class RunObserver {
  public:
    virtual ~RunObserver() = default;

    // A pass begins over `tables`, the folder's table files sorted without regard to case.
    virtual void PassStarted(RunPass pass, const std::vector<std::string>& tables);
    // The work on `table` begins (its tables are closed and named after it next).
    virtual void TableStarted(RunPass pass, const std::string& table);
    // The rebuild read these definitions from the template table named `table`.
    virtual void IndexDefinitionsRead(const std::string& table,
                                      const std::vector<IndexDefinition>& definitions);
    // The rebuild of `table` added the index `definition` (reported once the table's rebuild
    // has gone through, one call per index in the order they were added).
    virtual void IndexAdded(const std::string& table, const IndexDefinition& definition);
    // `table` of the live folder was packed and closed again.
    virtual void TablePacked(const std::string& table);
    // Another user has `table` of the live folder (or one of its files) open or locked: the
    // index transfer left its index as it was (the run's decision, see MaintenanceRun::Run).
    virtual void TransferSkippedInUse(const std::string& table);
    // `done` of the `total` records of `table` are through in one of the engine's long loops
    // for it (engine/Progress.h): each index build of the rebuild and the transfer, the pack's
    // pass over the records and then each of its index builds, one after another and each
    // rising from 0 to `total`. Only between the table's TableStarted and TableFinished; called
    // with the table held, so it must return quickly, must not use the run's tables and must
    // not throw.
    virtual void TableProgress(RunPass pass, const std::string& table, uint64_t done,
                               uint64_t total);
    // Every progress report of the engine for `table`, with its phase (engine/Progress.h): the
    // loops over the records that TableProgress reports, and between them each tag's sort of
    // its keys and the writing of its keys, which TableProgress does not report. Called right
    // after TableProgress for a report of both, under the same conditions.
    virtual void TablePhase(RunPass pass, const std::string& table, engine::ProgressPhase phase,
                            uint64_t done, uint64_t total);
    // `table` is finished in `pass`.
    virtual void TableFinished(RunPass pass, const std::string& table);
    // `position` tables of the pass's `count` are finished (0 when a pass starts).
    virtual void Progress(int position, int count);
    // A line that the run, the transfer or the rebuild wrote to the operation log (AddLog):
    // the line has been written when this is called.
    virtual void LogLine(const std::string& line);
    // An error ended the run; its line has been logged, the result is false.
    virtual void Error(const std::string& message);
    // After Error, when the error carries why the table was refused (Exception::Reason).
    virtual void ErrorReason(const std::string& reason);
    // After each table of the index pass: the caller's event loop may take a turn (the window
    // pumps its pending messages here) and may change `operations`, which the next decisions
    // of the run then follow (the next table's transfer or rebuild, the pack pass, the closing
    // lines). The pack pass has no such turn: its table is held for sole use meanwhile.
    virtual void Pump(RunOperations& operations);
    // `pass` went through (also over a folder without tables).
    virtual void PassFinished(RunPass pass);
    // The run ended with `result`, the marker closed and deleted. Not called when the marker
    // cannot be created or an error of a class other than Exception leaves the run.
    virtual void RunFinished(bool result);
};

class MaintenanceRun {
  public:
    // `templateTable` and `liveTable` are the table components bound to the template and live
    // folders; they keep their last folder and table names after the run, closed. REQUIRES:
    // both outlive the run and no one else uses them while it runs.
    MaintenanceRun(RunChoices choices, TTable& templateTable, TTable& liveTable);

    // Adds an observer, told of the events of Run in the order observers were added.
    // REQUIRES: `observer` outlives the run.
    void AddObserver(RunObserver* observer);

    // Runs both passes as chosen and returns true when they went through to the end without
    // error (also when no operation was chosen: nothing is done then, and a marker file left
    // by an earlier run is deleted). In order:
    // 1. creates the marker anew when an operation is chosen; its file error (EInOutError)
    //    goes to the caller with nothing else done (a marker that another pass holds, error 32,
    //    is first logged as AnotherPassRunningLine);
    // 2. the index pass, when transfer or rebuild is chosen: a missing template folder logs
    //    MissingTemplateFolderLine and ends the run with false; else the template folder
    //    becomes the current folder and each of its tables, in order, gets the transfer and
    //    then the rebuild onto the live table of the same name. A live table that another
    //    user holds keeps its index through the transfer (TransferSkippedInUse, no line); the
    //    rebuild, when chosen, meets the same hold and ends the run with its error;
    // 3. the pack pass, when pack is chosen: the live folder becomes the current folder and
    //    each of its tables is logged (PackingLine) and packed;
    // 4. the closing lines: IndexPassDoneLine with the time the index pass ended, and
    //    PackPassDoneLine.
    // An Exception in steps 2 to 4 ends the run with ErrorLine and false (a message that names
    // no path gets ": " and the table file or folder being worked on appended, so that every
    // error line names its file after the error's own text); both tables are
    // closed then, so that none stays held for sole use. Any other error goes to the caller
    // after both tables and the marker are closed and the marker deleted. Lines go to the
    // operation log (AddLog). The current folder is process-wide: only one run at a time per
    // process. Not to be called again while running.
    bool Run();

  private:
    bool Passes();
    // The one place an error ends the run: its line, the observers told, both tables let go.
    void StopAtError(const Exception& e);
    TDateTime Now() const;
    template <typename Event>
    void Tell(const Event& event) const;
    engine::ProgressSink ProgressOf(RunPass pass, const std::string& table) const;

    RunChoices choices_;
    RunOperations operations_;
    TTable& templateTable_;
    TTable& liveTable_;
    std::vector<RunObserver*> observers_;
    std::string templateFolder_;
    std::string liveFolder_;
    std::string subject_;   // the table file or folder being worked on, for the error line
    bool pumping_ = false;  // an observer's Pump is under way: lines written meanwhile are not ours
};

}  // namespace ari
