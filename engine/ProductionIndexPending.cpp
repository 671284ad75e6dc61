// Stand-in for the production index rebuild until engine/ProductionIndex.cpp exists: reports it
// unavailable, so the pack refuses tables with a production index. Delete this file (and its
// line in engine/CMakeLists.txt) when ProductionIndex.cpp lands.
#include "engine/ProductionIndex.h"

#include "engine/EngineStatus.h"

namespace ari::engine {

bool ProductionIndexRebuildAvailable() { return false; }

void RebuildProductionIndex(const std::string& dbfPath, const std::string&, const std::string&) {
    RaiseEngineError(kStatusIndexUnavailable, {"Table: " + dbfPath});
}

}  // namespace ari::engine
