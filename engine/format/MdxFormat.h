// The production index (.mdx) format in one place: named offsets and values of the file
// header, the tag table, tag header blocks and nodes (integers are little-endian: Endian.h).
// All pointers in the file are 512-byte page numbers; a block (node or tag header) is
// header[20..21] pages.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/format/Endian.h"

namespace ari::engine::mdx {

inline constexpr size_t kPageSize = 512;
inline constexpr uint32_t kFirstDataPage = 4;  // pages 0..3: file header and tag table
inline constexpr size_t kTagTableOffset = 512;
inline constexpr size_t kHeaderAreaSize = 2048;

// ---- file header (page 0)
inline constexpr size_t kVersion = 0;
inline constexpr size_t kCreateDate = 1;  // year - 1900, month, day
inline constexpr size_t kBaseName = 4;
inline constexpr size_t kBaseNameSize = 16;
inline constexpr size_t kBlockPages = 20;
inline constexpr size_t kBlockBytes = 22;
inline constexpr size_t kProductionFlag = 24;
inline constexpr size_t kSlotCount = 25;
inline constexpr size_t kSlotLength = 26;
inline constexpr size_t kTagsInUse = 28;
inline constexpr size_t kNextTag = 30;
inline constexpr size_t kLanguage = 31;
inline constexpr size_t kTotalPages = 32;
inline constexpr size_t kFreePage = 36;
inline constexpr size_t kUpdateDate = 44;

inline constexpr uint8_t kVersionDBase4 = 2;
inline constexpr uint8_t kVersionLevel7 = 3;
inline constexpr uint8_t kSlotsValue = 48;
inline constexpr uint8_t kSlotLengthValue = 32;
inline constexpr int kMaxTags = 47;
inline constexpr uint16_t kDefaultBlockPages = 2;
// A tag header fills one block and its FOR text runs to byte 983, so a block has two pages at
// least.
inline constexpr uint16_t kMinBlockPages = 2;
inline constexpr uint16_t kMaxBlockPages = 63;

// ---- tag table: slot 0 is a sentinel whose byte 17 names tag 1 as the root of the name tree
inline constexpr size_t kSlotSize = 32;
inline constexpr size_t kSentinelRootByte = kTagTableOffset + 17;
inline constexpr size_t kSlotHeaderPage = 0;
inline constexpr size_t kSlotName = 4;
inline constexpr size_t kSlotNameSize = 11;
inline constexpr size_t kSlotKeyFormat = 15;
inline constexpr size_t kSlotLeft = 16;
inline constexpr size_t kSlotRight = 17;
inline constexpr size_t kSlotParent = 18;
inline constexpr size_t kSlotMarker = 19;
inline constexpr size_t kSlotKeyType = 20;
inline constexpr uint8_t kSlotMarkerValue = 0x02;
inline constexpr size_t kMaxTagName = 10;
inline size_t SlotOffset(int slot /* 1-based */) {
    return kTagTableOffset + kSlotSize * static_cast<size_t>(slot);
}

// ---- tag header block
inline constexpr size_t kTagRoot = 0;
inline constexpr size_t kTagPages = 4;
inline constexpr size_t kTagKeyFormat = 8;
inline constexpr size_t kTagKeyType = 9;
inline constexpr size_t kTagLanguage = 11;
inline constexpr size_t kTagKeyLength = 12;
inline constexpr size_t kTagMaxKeys = 14;
inline constexpr size_t kTagSecondaryType = 16;
inline constexpr size_t kTagItemLength = 18;
inline constexpr size_t kTagCounter = 20;
inline constexpr size_t kTagUniqueFlag = 23;
inline constexpr size_t kTagExpression = 24;
inline constexpr size_t kTagHasFor = 245;
inline constexpr size_t kTagHasKeys = 246;
inline constexpr size_t kTagFirstNode = 248;
inline constexpr size_t kTagLastNode = 252;
inline constexpr size_t kTagDate = 257;
inline constexpr size_t kTagPlainField = 480;
inline constexpr size_t kTagForExpression = 762;
inline constexpr size_t kMaxExpressionBytes = 220;  // text, then a NUL

inline constexpr uint8_t kKeyFormatBase = 0x10;
inline constexpr uint8_t kKeyFormatDescending = 0x08;
inline constexpr uint8_t kKeyFormatUnique = 0x40;
inline constexpr uint8_t kCounterValue = 2;

// ---- nodes
inline constexpr size_t kNodeCount = 0;
inline constexpr size_t kNodePrevious = 4;  // page of the block written before this one
inline constexpr size_t kNodeItems = 8;
inline constexpr size_t kNodeOverhead = 12;  // count, previous, trailing pointer

inline uint16_t ItemLengthFor(size_t keyLength) {
    return static_cast<uint16_t>((keyLength + 4 + 3) & ~size_t{3});
}
inline uint16_t MaxKeysFor(size_t blockBytes, size_t itemLength) {
    return static_cast<uint16_t>((blockBytes - kNodeOverhead) / itemLength);
}

// Engine status of a production index that is damaged or cannot be written.
inline constexpr uint16_t kStatusIndexFault = 0x270E;

}  // namespace ari::engine::mdx
