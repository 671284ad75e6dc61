// What a pass did, table by table, for the run journal (log/RunJournal.h): a RunObserver that
// gathers, for each table the pass touched, its operations, its records and its files' bytes
// before and after, the deleted records the pack removed, the tags the rebuild built, the time
// it took and its result, and then prints them as one summary block. Also the journal's
// subscription to the operation log, which stamps each line with its date and time.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "log/OperationLog.h"
#include "log/RunJournal.h"
#include "maintenance/MaintenanceRun.h"

namespace ari {

// "DD/MM/YYYY HH:MM:SS": the date and time in front of each journal and console line.
std::string StampText(TDateTime value);
// "YYYY-MM-DD HH:MM:SS" (ISO 8601 whatever the format settings): the date and time in the
// heading of a pass's summary in the journal.
std::string IsoStampText(TDateTime value);

// The lines joined with line breaks between them.
std::string JoinedLines(const std::vector<std::string>& lines);

// Every line of the operation log goes into `journal` with its date and time in front, for as
// long as the object lives. A journal that cannot be written costs the lines, never the pass.
class JournalLog {
  public:
    // `now` gives the local time for the stamps; the system's clock when empty.
    explicit JournalLog(const std::string& folder, std::function<TDateTime()> now = {});
    const RunJournal& Journal() const { return journal_; }
    // True once a line could not be written.
    bool Failed() const { return failed_; }

  private:
    RunJournal journal_;
    std::function<TDateTime()> now_;
    std::atomic<bool> failed_{false};
    LogSubscription subscription_;
};

// The sizes of one table's files as they stood at a moment; -1 for a file that did not exist.
struct TableFileBytes {
    std::int64_t table = -1;  // the .dbf
    std::int64_t index = -1;  // the production index
    std::int64_t memo = -1;   // the memo file
    // The files together (those that exist).
    std::uint64_t Total() const;
};

struct TableSummary {
    std::string table;                    // as the pass named it
    std::vector<std::string> operations;  // "transfer", "rebuild", "pack", in the order done
    std::int64_t recordsBefore = -1;      // the header's count; -1 when it could not be read
    std::int64_t recordsAfter = -1;
    std::vector<std::string> tagsRebuilt;  // names of the indexes the rebuild added
    TableFileBytes bytesBefore;            // each file apart: a rebuilt index may grow while
    TableFileBytes bytesAfter;             // the packed table shrinks
    double seconds = 0;
    bool packed = false;
    std::string result;  // "ok", "failed: <message>" or "not finished"
    std::string verify;  // "" when not verified, else "ok" or the fault
};

// What a summary holds once its pass is over, kept apart from the observer that gathered it.
struct PassSummary {
    std::string liveFolder;
    std::vector<TableSummary> tables;
    double seconds = 0;  // the whole pass
    std::string result;  // "ok", "failed", "failed: <message>", "not finished" or why it stopped
};

// The summary block in Persian, right to left, for the window: a heading with `stamp` (that of
// the last pass, or with `last` false that of an earlier one), one paragraph per table
// (operations, records before and after, deleted records removed, tags rebuilt, bytes before and
// after, time, result), then the total time and the result. Table, tag and folder names and
// error messages stay as they are.
std::vector<std::string> PersianLines(const PassSummary& pass, const std::string& stamp,
                                      bool last = true);
// One table's paragraph of PersianLines.
std::string PersianTableLine(const TableSummary& table);
// The words of the summary in Persian: an operation ("transfer", "rebuild", "pack"), a result
// ("ok", "failed[: <message>]", "not finished"; another wording, a stop on request, as it is)
// and a time in seconds with two decimals.
std::string PersianOperation(const std::string& operation);
std::string PersianResult(const std::string& result);
std::string PersianSeconds(double seconds);

class RunSummary final : public RunObserver {
  public:
    // `liveFolderText` as the run gets it (made absolute here the same way: construct right
    // before the run starts) and the operations chosen for it.
    RunSummary(const std::string& liveFolderText, RunOperations operations);
    RunSummary(const RunSummary&) = delete;
    RunSummary& operator=(const RunSummary&) = delete;

    // The summary as it stands.
    PassSummary Pass() const;

    void TableStarted(RunPass pass, const std::string& table) override;
    void IndexAdded(const std::string& table, const IndexDefinition& definition) override;
    void TablePacked(const std::string& table) override;
    void TableFinished(RunPass pass, const std::string& table) override;
    void Error(const std::string& message) override;
    // The reason follows the failed table's result (and the pass's): "failed: I/O error 32 -
    // T.DBF (Another program has locked record 1.)".
    void ErrorReason(const std::string& reason) override;
    void RunFinished(bool result) override;

    // The table in progress when an error ended the run ("" when none was).
    const std::string& FailedTable() const { return failedTable_; }
    const std::vector<TableSummary>& Tables() const { return tables_; }
    std::vector<TableSummary>& Tables() { return tables_; }
    const std::string& LiveFolder() const { return liveFolder_; }
    // Ends the summary of a run that did not report its end (it was stopped between tables,
    // or an error other than Exception left it): the table in progress is marked `why`.
    void Stopped(const std::string& why);
    // The pass's result as the summary prints it; `overall` overrides the run's own.
    void SetResult(const std::string& overall) { overall_ = overall; }

    // The block for the journal: a heading "=== Pass summary <when> (<live folder>)" with
    // `when` as IsoStampText, one line per table, the total time and the result:
    //   table a.dbf: operations rebuild, pack; records 9 -> 8; deleted records removed 1;
    //     tags rebuilt ID; table bytes A -> B; index bytes C -> D; time 0.01 s; result ok
    //   total time 0.02 s; result ok
    // Each file's bytes appear when it existed before or after ("none" on the side it did not).
    // PassHistory.h reads these blocks back: a change here is a change there.
    std::vector<std::string> Lines(TDateTime when) const;
    // The same block with `stamp` as given in its heading.
    std::vector<std::string> Lines(const std::string& stamp) const;

  private:
    TableSummary& Entry(const std::string& table);
    TableFileBytes TableBytes(const std::string& table) const;
    std::int64_t TableRecords(const std::string& table) const;

    RunOperations operations_;
    std::string liveFolder_;
    std::vector<TableSummary> tables_;
    std::string current_;
    std::chrono::steady_clock::time_point started_, tableStarted_, ended_;
    bool finished_ = false;
    std::string failedTable_;
    std::string overall_;
};

}  // namespace ari
