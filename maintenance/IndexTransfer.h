// The index transfer: replaces a live table's production index file with the template
// table's, byte for byte. Works on files only and opens no table.
#pragma once

#include <string>

#include "engine/TTable.h"

namespace ari {

// Logs "---Copy Index " and `live`'s TableName, then replaces the live index file (live folder,
// IndexFileName(entry), whatever its case) by a copy of the template's, carrying what the live
// index carried (ReplaceFileWith). Raises EInOutError, the live index left as it was, when it is
// a symbolic link (a replace would leave two diverging indexes) or when one of its extended
// attributes cannot be carried. Otherwise raises nothing; a step that cannot be done is skipped
// without a word, and the live index is left exactly as it was:
// - when the template has no index file, or it cannot be read, or it is the live file itself;
// - when the live table or its index file is locked by another user (deleting it under them
//   would leave them writing to a file nobody opens again);
// - when the live index cannot be deleted (the copy then finds its destination in place).
// A replaced file keeps the live spelling of its name; a new one is named IndexFileName(entry).
// REQUIRES: both folders end in the separator.
void TransferIndex(const std::string& entry, const std::string& templateFolder,
                   const std::string& liveFolder, const TTable& live);

}  // namespace ari
