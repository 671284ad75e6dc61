// The dry run: what a maintenance pass with the same choices would do now, found without
// changing anything. For each table of the pass: whether its production index is current, stale
// or missing (the checks of "dbtool check"), whether another program has it in use (the decision
// the pass's sole-use open makes), what the pass would do to it, how many deleted records a pack
// would remove and the bytes of the table, its index and its memo file now and after the pass.
// No table, index, marker, journal or template is written, and no file is made in the live or
// template folder. No widget: the runner prints it, the window may show it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "maintenance/MaintenanceRun.h"

namespace ari {

// The production index of a live table as the checks find it now.
enum class IndexState {
    NotLooked,  // no live table, or it could not be read
    None,       // the table names no production index
    Current,    // it names one, and its tags list every record with the right key
    Stale,      // it names one whose tags do not list the records as they are
    Missing,    // it names one, and there is no such file
    Damaged,    // the index file cannot be read with certainty (the pack refuses it)
};
const char* IndexStateText(IndexState state);

// One file of a table: its bytes now and after the pass ("exists" false: no such file).
struct FileForecast {
    bool existsNow = false;
    uint64_t bytesNow = 0;
    bool existsAfter = false;
    uint64_t bytesAfter = 0;

    // Bytes the pass frees (negative when the file grows or is made).
    int64_t Freed() const {
        return static_cast<int64_t>(existsNow ? bytesNow : 0) -
               static_cast<int64_t>(existsAfter ? bytesAfter : 0);
    }
};

struct TableForecast {
    std::string table;        // the file name as its folder lists it (the live one when both)
    bool inTemplate = false;  // the index pass works on it
    bool inLive = false;      // the live folder has it
    std::string operations;   // what the pass would do to it: "transfer", "rebuild", "pack", joined
                              // by "," ("" for nothing)
    IndexState index = IndexState::NotLooked;
    std::string indexFault;  // for Stale, Missing and Damaged: the check's words
    // The checks of the table file itself ("dbtool check" without its index step): "" when sound,
    // else "<step>: <fault>" (damage, records, memos), or why the table could not be read.
    std::string checkFault;
    bool inUse = false;
    std::string inUseBy;        // who has it: the lock or the opener, in the pass's words
    bool lookedInside = false;  // the records were read: the counts and the bytes after hold
    uint64_t records = 0;       // records now (the header's count reconciled with the file)
    uint64_t deleted = 0;       // records marked deleted: what a pack removes
    FileForecast tableFile, indexFile, memoFile;
    // Why the pass would stop with an error at this table ("" when it would not); the tables
    // after it would not be reached.
    std::string stops;
    // Something the pass would do differently from the rest ("the transfer leaves its index: in
    // use"), "" when nothing.
    std::string note;
};

struct DryRunResult {
    std::string templateFolder;  // absolute, with the separator ("" when no index pass)
    std::string liveFolder;      // absolute, with the separator
    RunOperations operations;
    // Another pass holds the run marker: nothing was looked at (a look would find its tables in
    // use, and the opens of the look could disturb it).
    bool anotherPass = false;
    // Why the pass could not start or would stop before any table (a folder missing ...), as its
    // log line says it; "" when it would start.
    std::string runFault;
    // The template folder is missing and the program's template tables would be unpacked there
    // first (the folder beside the program): the index pass is forecast without them.
    bool templatesUnpackedFirst = false;
    std::vector<TableForecast> tables;  // the index pass's tables and the pack pass's, merged
                                        // by name (case aside) and sorted without regard to case

    // The first table at which the pass would stop, in the pass's order (index pass, then pack);
    // nullptr when none.
    const TableForecast* StoppingTable() const;
};

// Looks at the folders of `choices` as MaintenanceRun::Run would work on them, without creating
// the marker (RunMarker::HeldByAPass is asked instead), writing, locking for longer than a look,
// or unpacking anything. `templatesBesideProgram`: the template folder is the program's own and
// a missing one would be unpacked by the pass. A table's unique tags are counted by a sort that
// spills, when it must, beside `spillBeside` (a path outside the live and template folders).
DryRunResult ForecastRun(const RunChoices& choices, bool templatesBesideProgram,
                         const std::string& spillBeside);

// The forecast as text: a heading, one line per table under a header row, the totals, and a
// line per table with something to say (in use, a fault, why the pass would stop).
std::string DryRunReport(const DryRunResult& result);

}  // namespace ari
