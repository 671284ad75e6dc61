// The index rebuild: gives a live table a fresh production index whose tags are the template
// table's (names, keys, FOR conditions, unique and descending), its header naming no language
// driver; all of it under one sole-use hold of the live table, the old index kept in place until
// the new one is complete.
#pragma once

#include <string>
#include <vector>

#include "engine/TTable.h"

namespace ari {

// One saved index definition of a template table: the tag name, its FieldExpression (the
// key expression, or the field names joined by ";") and what else makes the tag the template's
// tag: unique, descending, its FOR condition. A rebuilt tag without them would let the legacy
// application show duplicate rows, list them in the wrong order, or see records its filter
// excludes.
struct IndexDefinition {
    std::string name;
    std::string key;
    TIndexOptions options = 0;  // of the template's options, ixUnique and ixDescending only
    std::string forCondition;   // "" when the tag has none
};

// Sets Exclusive of the closed `templateTable`, refreshes its IndexDefs (opening it briefly),
// and clears Exclusive again. Returns the definitions in the engine's order. An error leaves
// Exclusive set.
std::vector<IndexDefinition> ReadIndexDefinitions(TTable& templateTable);

// Clears bytes 28 and 29 of the table (one 0 byte written at each; nothing else changes, the
// length neither), through the engine's hold of it. REQUIRES: `table` open for sole use.
void ClearIndexHeaderBytes(TTable& table);

// Rebuilds the live table named `entry` in `liveFolder` from `definitions`, all of it under one
// sole-use hold of the live table (LiveTableHold, maintenance/IndexFiles.h):
// 1. takes the hold, so that a missing table, one another user has open or locked, one that
//    cannot be opened for writing, a symbolic link or a file without a sound dBASE table header
//    fails with its error before anything is changed; so does a live index file that is a
//    symbolic link (EInOutError naming it: replacing the link would leave the file it names as a
//    second, stale index);
// 2. for each definition logs "------Add Index <TableName> <name>" and takes it as an expression
//    tag keyed by the definition's text, unique, descending and with the FOR condition as the
//    definition has them; the tags are built into one new index file, which takes the live
//    index's place (every spelling of IndexFileName(entry)) in one rename only when it is
//    complete and nobody else has the table open; the header's production index flag is then
//    set and its language driver byte cleared (TTable::ReplaceIndexes). A definition the engine
//    refuses ends the list with its error after the ones before it are in place; when it is the
//    first, the live index and header stay as they were. Any other failure, and another user
//    opening the table meanwhile, leaves the old index in place (its flag clear at worst, never
//    a flag without its file);
// 3. without definitions, clears header bytes 28 and 29 and, once the hold is let go of, deletes
//    the live index file (every spelling), outcome not looked at;
// 4. lets go of the hold (also on error): `live` ends closed, Exclusive as it was.
// Errors go to the caller. REQUIRES: `live` closed, bound to `liveFolder` (ending in the
// separator) with TableName `entry`.
void RebuildIndexes(const std::string& entry, const std::string& liveFolder, TTable& live,
                    const std::vector<IndexDefinition>& definitions);

}  // namespace ari
