// Packing a dBASE table: the records marked deleted are dropped, every other byte of every kept
// record and of the header is kept, and the production index is rebuilt. Never in place: the
// new files are written beside the old ones, flushed, and renamed over them; any failure leaves
// the old files whole and removes the new ones (doc/engine-format.md).
#pragma once

#include <cstdint>
#include <string>

#include "engine/table/TableLock.h"

namespace ari::engine {

struct PackResult {
    uint32_t kept = 0;
    uint32_t dropped = 0;
    bool indexRebuilt = false;
    // The new index was written from the old index's keys (ProductionIndex.h), not built from
    // the records.
    bool indexFromOldKeys = false;
};

// Packs the table at `path`. REQUIRES: `lease` holds the table for sole use (with its memo and
// index files); on success the lease holds the new files. Throws EDBEngineError.
PackResult PackDbfTable(const std::string& path, TableLease& lease);

}  // namespace ari::engine
