// The index transfer: replaces a live table's production index file with the template table's
// and leaves the live table with an index that lists its own records: the copied file's tags
// are built over the live table's records, under one sole-use hold of the live table.
#pragma once

#include <string>

#include "engine/TTable.h"

namespace ari {

// What builds the transferred index's tags over the live table's records.
enum class TransferredTags {
    BuiltHere,         // the transfer, so that the table and its index agree when it ends
    BuiltByTheRebuild  // the index rebuild that follows in the same step of the run, which
                       // replaces the copied file at once: building it here would be work
                       // thrown away
};

// What a transfer did with the live index.
enum class TransferOutcome {
    Replaced,         // the live index is the template's now (built here or copied)
    NoTemplateIndex,  // the template has no index file, or it cannot be read, or it is the
                      // live file itself (one folder for both)
    TableInUse,       // the live table or one of its files is open or locked by another user
    NotCopied,        // the copy could not be made or could not take the live index's place
};

// Logs "---Copy Index " and `live`'s TableName, then replaces the live index file (live folder,
// IndexFileName(entry), whatever its case) by the template's. With a live table, all of it is
// done under one sole-use hold of it (LiveTableHold, maintenance/IndexFiles.h); the template's
// file is copied beside the live index and then
// - BuiltHere: the live index is replaced, in one rename, by a file with the copy's tags (names,
//   keys, FOR conditions, unique and descending), block size and base name, built over the live
//   table's records under its language driver (TTable::RebuildIndexFrom);
// - BuiltByTheRebuild: the copy itself replaces the live index, byte for byte.
// Without a live table the copy is put in place as it is: there are no records to list. The new
// file carries what the live index carried (AtomicFile::CarryAttributes; the engine's files
// likewise).
// Raises EInOutError, the live index left as it was, when it is a symbolic link (a replace would
// leave two diverging indexes) or when one of its extended attributes cannot be carried.
// A step that cannot be done is skipped without a word, its outcome returned for the caller to
// decide on, and the live index is left exactly as it was:
// - when the template has no index file, or it cannot be read, or it is the live file itself;
// - when the live table or one of its files is open or locked by another user (replacing the
//   index under them would leave them writing to a file nobody opens again);
// - when the copy cannot be made or cannot take the live index's place.
// Raises the engine's EDBEngineError when the live table cannot be opened for another reason (a
// damaged header ...) or the tags cannot be built over it (a key naming a field the live table
// lacks, a damaged template index ...): the live index is then left as it was.
// A replaced file keeps the live spelling of its name; a new one is named IndexFileName(entry).
// `live` ends closed, Exclusive as it was. REQUIRES: both folders end in the separator; `live`
// closed, bound to `liveFolder` with TableName `entry`.
TransferOutcome TransferIndex(const std::string& entry, const std::string& templateFolder,
                              const std::string& liveFolder, TTable& live, TransferredTags tags);

}  // namespace ari
