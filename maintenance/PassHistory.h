// The passes of the run journal read back from the summary blocks RunSummary::Lines writes, and
// the table "autoreindex-run --history" shows them in. Pure functions over the journal's text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "maintenance/RunSummary.h"

namespace ari {

struct PassRecord {
    // "YYYY-MM-DD HH:MM:SS"; a heading of the older form "DD/MM/YYYY HH:MM:SS" is turned into
    // this one, any other is kept as written.
    std::string date;
    std::string liveFolder;
    double seconds = -1;               // the total time; -1 when the block has no total line
    int tables = 0;                    // table lines in the block
    std::int64_t recordsRemoved = -1;  // deleted records the packs removed; -1 when none said
    std::string result;                // the total line's result; "not finished" without one
};

// The passes summed up in `text` (one or more journal files' contents, oldest first), in the
// order they were written. Lines outside a summary block are skipped; a block that another
// heading or a stamped line cuts short before its total line is kept as "not finished".
std::vector<PassRecord> ReadPasses(const std::string& text);

// A pass of the journal with its tables, as the window's summary view shows it.
struct JournalPass {
    PassRecord record;
    // Each table line read back: the table, its operations, records before and after, whether
    // the pack removed records (`packed`: the line says how many), the tags rebuilt, the bytes
    // of each file (the older heading's summed bytes count as the table's), the time and the
    // result ("ok", "failed: <message>", ...) and the check after the pass. A line that cannot
    // be read keeps what could be read; its result is then "?". The pass's total time and result
    // are the record's.
    PassSummary pass;
};

// The passes of `text` as ReadPasses finds them, each with its tables.
std::vector<JournalPass> ReadJournalPasses(const std::string& text);

// The last `count` of `passes` as a table, oldest first: a line of column names, then one line
// per pass (date, duration, tables, records removed, result).
std::string HistoryTable(const std::vector<PassRecord>& passes, std::size_t count);

}  // namespace ari
