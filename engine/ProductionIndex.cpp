// The pack's production index rebuild: every tag of the old index built afresh from the new
// records, with the old file's tag order, definitions, block size and language id.
#include "engine/ProductionIndex.h"

#include <fcntl.h>
#include <unistd.h>

#include "engine/DbfFile.h"
#include "engine/EngineStatus.h"
#include "engine/FileOps.h"
#include "engine/MdxFile.h"
#include "engine/MdxTable.h"

namespace ari::engine {

bool ProductionIndexRebuildAvailable() {
    return true;
}

void RebuildProductionIndex(const std::string& dbfPath, const std::string& oldMdxPath,
                            const std::string& newMdxPath) {
    auto table = DbfFile::OpenHeld(dbfPath, false);
    const MdxFile old(oldMdxPath);
    const ScopedFd file(::open(newMdxPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (file.Get() < 0) {
        RaiseEngineError(kStatusIndexError, {"Index file: " + newMdxPath, "It cannot be created."});
    }
    try {
        WriteIndexFile(file.Get(), newMdxPath, *table, old.Header().baseName,
                       old.Header().blockPages, old.Header().language, TagDefinitions(old));
        SyncFile(file.Get(), newMdxPath);
    } catch (...) {
        ::unlink(newMdxPath.c_str());
        throw;
    }
}

}  // namespace ari::engine
