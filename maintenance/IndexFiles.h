// The name of a table's production index file, and the sole-use hold under which the index
// steps change a live table's files. Live files are looked up whatever the case of their names
// (FilesNamedNoCase, platform/Files.h): on this case-sensitive platform orders.dbf and
// ORDERS.MDX still belong together, as they do for the legacy application.
#pragma once

#include <string>

#include "engine/TTable.h"

namespace ari {

// The index file name of a table file name: the name without its extension (everything from
// the last full stop on) followed by ".mdx" in lower case. "ORDERS.DBF" gives "ORDERS.mdx".
std::string IndexFileName(const std::string& tableFileName);

// Sole use of a live table for the whole of an index step: opens the closed `table` with
// Exclusive set (the engine's hold of the table file and of each companion: memo and index
// files), and on destruction closes it and sets Exclusive back. While the hold stands no other
// user has the table or its index open, and none can open them: a step that removes, replaces
// or rebuilds the index under it can never leave another user working with an index the table
// no longer names, nor be seen half done.
// The engine's refusals become the file errors of the live table file:
//   no table file                       EInOutError 2 "The specified file was not found"
//   another user has a file of the table open or locked
//                                       EInOutError 32 "I/O error 32 - <path of that file>"
// every other failure of the open (not a table, a damaged header ...) is the engine's
// EDBEngineError, and so is a damaged table (TTable::CheckTableDamage), refused before any step
// touches its index. REQUIRES: `table` closed, DatabaseName and TableName set.
class LiveTableHold {
  public:
    explicit LiveTableHold(TTable& table);
    ~LiveTableHold();
    LiveTableHold(const LiveTableHold&) = delete;
    LiveTableHold& operator=(const LiveTableHold&) = delete;

  private:
    TTable& table_;
    bool wasExclusive_;
};

}  // namespace ari
