// The Paradox table format (.db) in one place: named offsets and values of the header and of a
// data block's header, and the pure parser that validates a header before any other code
// trusts it (integers are little-endian: Endian.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/format/Endian.h"

namespace ari::engine {

namespace px {
inline constexpr size_t kRecordSize = 0x00;
inline constexpr size_t kHeaderSize = 0x02;
inline constexpr size_t kFileType = 0x04;       // 0 keyed .db, 2 unkeyed .db, 1 .px
inline constexpr size_t kBlockSizeCode = 0x05;  // n -> n x 1024 bytes
inline constexpr size_t kRecordCount = 0x06;
inline constexpr size_t kBlocksInUse = 0x0A;
inline constexpr size_t kBlocksInFile = 0x0C;
inline constexpr size_t kFirstBlock = 0x0E;
inline constexpr size_t kLastBlock = 0x10;
inline constexpr size_t kFieldCount = 0x21;
inline constexpr size_t kKeyFieldCount = 0x23;
inline constexpr size_t kEncryption = 0x25;
inline constexpr uint32_t kEncryptionElsewhere = 0xFF00FF00u;
inline constexpr size_t kEncryption4 = 0x5C;
inline constexpr size_t kVersion = 0x39;
inline constexpr size_t kFirstFreeBlock = 0x4D;
inline constexpr size_t kBlockHeaderSize = 6;  // next, previous, (records - 1) x record size
inline constexpr uint8_t kFileTypeKeyed = 0;
inline constexpr uint8_t kFileTypeUnkeyed = 2;
}  // namespace px

struct ParadoxHeader {
    uint16_t recordSize = 0;
    uint16_t headerSize = 0;
    uint8_t fileType = 0;
    uint32_t blockSize = 0;
    uint32_t recordCount = 0;
    uint16_t blocksInUse = 0;
    uint16_t blocksInFile = 0;
    uint16_t firstBlock = 0;
    uint16_t lastBlock = 0;
    uint16_t fieldCount = 0;
    uint16_t keyFieldCount = 0;
    uint8_t version = 0;
};

// Validates and parses a Paradox table header (`bytes`: the start of the file). Throws
// EDBEngineError kStatusCorruptHeader / kStatusUnsupportedFormat naming `path`.
ParadoxHeader ParseParadoxHeader(std::string_view bytes, uint64_t fileSize,
                                 const std::string& path);

}  // namespace ari::engine
