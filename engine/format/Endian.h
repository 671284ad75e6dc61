// Little-endian integers as the table, memo and index files store them: the one place that
// reads and writes them. The format headers (DbfFormat.h, MdxFormat.h) include it.
#pragma once

#include <cstdint>

namespace ari::engine {

// REQUIRES: p points at 2 (GetLE16, PutLE16) or 4 (GetLE32, PutLE32) bytes.
inline uint16_t GetLE16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t GetLE32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void PutLE16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutLE32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace ari::engine
