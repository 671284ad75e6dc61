// The table descriptor that the engine's restructure (EngineRestructure) takes from the pack
// routine: a fixed record with the table's name, its type text and the pack flag. The offsets
// live here alone; the pack routine writes a descriptor with them and the engine reads it back
// with them.
#pragma once

#include <cstddef>

namespace ari {

// kTableDescriptorSize bytes, all zero but: the name at kDescriptorNameOffset (at most
// kDescriptorNameMax bytes, NUL-terminated), the type text at kDescriptorTypeOffset
// (NUL-terminated inside its kDescriptorTypeSize bytes) and the 16-bit little-endian pack flag
// at kDescriptorPackOffset (nonzero: pack the table; the pack routine writes 0xFFFF, true).
inline constexpr size_t kTableDescriptorSize = 682;
inline constexpr size_t kDescriptorNameOffset = 0;
inline constexpr size_t kDescriptorNameMax = 260;
inline constexpr size_t kDescriptorTypeOffset = 261;
inline constexpr size_t kDescriptorTypeSize = 32;
inline constexpr size_t kDescriptorPackOffset = 620;

}  // namespace ari
