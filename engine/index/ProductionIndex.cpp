// The pack's production index rebuild: every tag of the old index built afresh from the new
// records, with the old file's tag order, definitions, block size and language id.
#include "engine/index/ProductionIndex.h"

#include "engine/index/MdxFile.h"
#include "engine/index/MdxTable.h"
#include "engine/table/DbfFile.h"
#include "engine/table/FileOps.h"
#include "engine/table/TableDamage.h"

namespace ari::engine {

void RebuildProductionIndex(const std::string& dbfPath, const std::string& oldMdxPath, int newMdxFd,
                            const std::string& newMdxPath) {
    auto table = DbfFile::OpenHeld(dbfPath, false);
    // Tags are built only from definitions read with certainty: an index that claims no tags
    // would otherwise be replaced by one without any.
    RefuseDamagedIndex(*table, oldMdxPath);
    const MdxFile old(oldMdxPath);
    WriteIndexFile(newMdxFd, newMdxPath, *table, old.Header().baseName, old.Header().blockPages,
                   old.Header().language, TagDefinitions(old));
    SyncFile(newMdxFd, newMdxPath);
}

}  // namespace ari::engine
