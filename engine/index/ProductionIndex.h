// The production index (.mdx) hook of the pack: after the pack has written the new table file,
// it asks for a fresh index built from the new records with the definitions of the old index.
#pragma once

#include <string>

namespace ari::engine {

// Builds, from the records of the table file at `dbfPath`, a fresh index into `newMdxFd` (an
// empty file open for writing, named `newMdxPath` in messages) with the same tags (order, names,
// expressions, FOR conditions, unique and descending flags), block size and language id as the
// index file at `oldMdxPath`, and flushes it. Throws EDBEngineError on any failure, and before
// writing anything when the old index is damaged (FindProductionIndexDamage, TableDamage.h:
// a header that fails a check, no tags, a tag definition that cannot be parsed).
// Called while the caller holds all three files for sole use (their locks belong to the caller):
// the function must open the others without taking locks (DbfFile::OpenHeld), must not rename
// or remove anything, and leaves the new file to its owner, which renames it into place or
// removes it.
void RebuildProductionIndex(const std::string& dbfPath, const std::string& oldMdxPath, int newMdxFd,
                            const std::string& newMdxPath);

}  // namespace ari::engine
