// Stand-in for TIndexDefs::Update and TTable::AddIndex until engine/TTableIndex.cpp exists.
// Delete this file (and its line in engine/CMakeLists.txt) when that file lands.
#include "engine/EngineStatus.h"
#include "engine/TTable.h"

void TIndexDefs::Update() {
    ari::engine::RaiseEngineError(ari::engine::kStatusNotAvailable,
                                  {"Reading index definitions is not available."});
}

void TTable::AddIndex(const std::string&, const std::string&, TIndexOptions, const std::string&) {
    ari::engine::RaiseEngineError(ari::engine::kStatusNotAvailable,
                                  {"Adding an index is not available."});
}
