// Packing a Paradox table (.db): the chain of data blocks is rewritten into full, consecutive
// blocks, free blocks are dropped, and the primary index (.px) of a keyed table is generated
// again. Never in place: new files beside the old ones, flushed, renamed over them.
#pragma once

#include <cstdint>
#include <string>

#include "engine/table/TableLock.h"

namespace ari::engine {

struct ParadoxPackResult {
    uint32_t records = 0;
    uint32_t blocksBefore = 0;
    uint32_t blocksAfter = 0;
    bool indexRebuilt = false;
};

// REQUIRES: `lease` holds the table (and its .px) for sole use. Throws EDBEngineError.
ParadoxPackResult PackParadoxTable(const std::string& path, TableLease& lease);

}  // namespace ari::engine
