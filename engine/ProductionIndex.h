// The production index (.mdx) hook of the pack: after the pack has written the new table file,
// it asks for a fresh index built from the new records with the definitions of the old index.
#pragma once

#include <string>

namespace ari::engine {

// Builds, from the records of the table file at `dbfPath`, a fresh index file at `newMdxPath`
// with the same tags (order, names, expressions, FOR conditions, unique and descending flags),
// block size and language id as the index file at `oldMdxPath`. Throws EDBEngineError on any
// failure and then leaves no file at `newMdxPath`.
// Called while the caller holds all three files for sole use (their locks belong to the caller):
// the function must open them without taking locks (DbfFile::OpenHeld) and must not rename
// anything; the caller flushes and renames the new file into place.
void RebuildProductionIndex(const std::string& dbfPath, const std::string& oldMdxPath,
                            const std::string& newMdxPath);

// True once RebuildProductionIndex is implemented; until then the pack refuses tables whose
// header names a production index instead of leaving a stale index behind.
bool ProductionIndexRebuildAvailable();

}  // namespace ari::engine
