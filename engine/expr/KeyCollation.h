// Collation of character keys by language driver: which drivers order keys byte by byte, the
// sort weights of the others the engine knows, and the refusal of the rest, so that no index
// is written in an order its readers would not expect.
#pragma once

#include <cstdint>

namespace ari::engine {

// Status of a character key under a language driver whose order the engine does not know.
inline constexpr uint16_t kStatusUnknownCollation = 0x2E02;

// True when character keys under `languageId` order byte by byte (0x00 none set, 0x1B
// cp437 US, 0x57 ANSI "ascii").
bool IsBinaryCollation(uint8_t languageId);
// The 256 sort weights of a driver with a weight table (each byte its own weight, so the
// order is total and a key can be recovered from its weights); nullptr for binary drivers
// and for drivers the engine has no table for.
const uint8_t* CollationWeights(uint8_t languageId);
// The inverse of CollationWeights (weight -> byte); nullptr likewise.
const uint8_t* CollationBytes(uint8_t languageId);
// True when the engine can order character keys under this driver.
bool CollationKnown(uint8_t languageId);

}  // namespace ari::engine
