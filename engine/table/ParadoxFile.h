// Reading a Paradox table (.db): its header, validated (engine/format/ParadoxFormat.h), and its
// chain of data blocks, followed and checked. Nothing is written here; the pack
// (engine/pack/ParadoxPack.h) writes the new files.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "engine/format/ParadoxFormat.h"
#include "platform/Env.h"
#include "platform/ScopedFd.h"

namespace ari::engine {

// A Paradox table open for reading, with its size and its first bytes (as many as the largest
// header can take).
struct ParadoxSource {
    ScopedFd fd;
    uint64_t size = 0;
    std::string head;
};

// Opens the table at `path` for reading and reads its first bytes. Throws EDBEngineError
// kStatusReadError when the file cannot be opened or read.
ParadoxSource OpenParadoxSource(const std::string& path);

// Reads and validates the header of the Paradox table at `path`; throws as ParseParadoxHeader,
// or kStatusReadError when the file cannot be read.
ParadoxHeader ReadParadoxHeader(const std::string& path);

// Follows the chain of data blocks from the first, calling `each` with the records of every
// block in order; returns the number of records. Throws kStatusCorruptData for a loop, a block
// out of range or cut off, or an impossible record count.
uint32_t WalkParadoxChain(FileHandle fd, const ParadoxHeader& header, const std::string& path,
                          const std::function<void(const uint8_t* records, uint32_t count)>& each);

// "" when the table's header and chain of data blocks are sound, else the first fault.
std::string CheckParadoxTable(const std::string& path);

}  // namespace ari::engine
