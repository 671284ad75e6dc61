// The index rebuild: gives a live table a fresh production index whose tags are named and
// keyed like the template table's, after clearing the live header's production index flag and
// language driver bytes.
#pragma once

#include <string>
#include <vector>

#include "engine/TTable.h"
#include "platform/FileAccess.h"

namespace ari {

// One saved index definition of a template table: the tag name and its FieldExpression (the
// key expression, or the field names joined by ";").
struct IndexDefinition {
    std::string name;
    std::string key;
};

// Sets Exclusive of the closed `templateTable`, refreshes its IndexDefs (opening it briefly),
// and clears Exclusive again. Returns the definitions in the engine's order. An error leaves
// Exclusive set.
std::vector<IndexDefinition> ReadIndexDefinitions(TTable& templateTable);

// Clears bytes 28 and 29 of an open table file (one 0 byte written at each; nothing else
// changes, the length neither) and closes it, only when the file holds a dBASE table header.
// Throws EInOutError "Read beyond end of file" for a file too short to hold a table header,
// EDBEngineError (ParseDbfHeader) for one whose header fails a check, else the file error of
// the failed write.
void ClearIndexHeaderBytes(ByteFile& tableFile);

// Rebuilds the live table named `entry` in `liveFolder` from `definitions`:
// 1. opens the live table file (live.TablePath(): the file the engine opens) for writing, so
//    that a missing or read-only table, a symbolic link or a file without a dBASE table header
//    fails (ByteFile, ClearIndexHeaderBytes) before anything is changed;
// 2. refuses ("I/O error 32 - <path of the held file>") while another user holds a lock on
//    the table or its index file;
// 3. deletes the live index file (every spelling of IndexFileName(entry)), outcome not looked
//    at;
// 4. clears header bytes 28 and 29;
// 5. for each definition logs "------Add Index <TableName> <name>" and adds it to the closed
//    `live` as an ascending, non-unique expression tag keyed by the definition's text.
// Errors go to the caller; what was done before stays done. REQUIRES: `live` closed, bound to
// `liveFolder` (ending in the separator) with TableName `entry`.
void RebuildIndexes(const std::string& entry, const std::string& liveFolder, TTable& live,
                    const std::vector<IndexDefinition>& definitions);

}  // namespace ari
