// The dBASE table format in one place: named offsets and values of the .dbf header and field
// descriptors, and the pure parser that validates a header before any other code trusts it
// (doc/engine-format.md summarises the facts used here; integers are little-endian: Endian.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/format/Endian.h"
#include "engine/format/Field.h"

namespace ari::engine {

// ---- .dbf header (32 bytes), then 32-byte field descriptors ended by 0x0D
namespace dbf {
inline constexpr size_t kHeaderSize = 32;
inline constexpr size_t kDescriptorSize = 32;
inline constexpr size_t kVersion = 0;
inline constexpr size_t kUpdateYear = 1;  // year - 1900, month, day in bytes 1..3
inline constexpr size_t kRecordCount = 4;
inline constexpr size_t kHeaderLength = 8;
inline constexpr size_t kRecordLength = 10;
inline constexpr size_t kTransactionFlag = 14;
inline constexpr size_t kEncryptionFlag = 15;
inline constexpr size_t kProductionIndexFlag = 28;
inline constexpr size_t kLanguageDriver = 29;
// Field descriptor offsets.
inline constexpr size_t kFieldName = 0;  // 11 bytes, NUL padded
inline constexpr size_t kFieldNameSize = 11;
inline constexpr size_t kFieldType = 11;
inline constexpr size_t kFieldLength = 16;
inline constexpr size_t kFieldDecimals = 17;
inline constexpr size_t kFieldWorkArea = 20;
inline constexpr uint8_t kFieldTerminator = 0x0D;
inline constexpr uint8_t kEndOfFile = 0x1A;
inline constexpr uint8_t kLiveFlag = 0x20;
inline constexpr uint8_t kDeletedFlag = 0x2A;
inline constexpr size_t kMemoPointerWidth = 10;
}  // namespace dbf

// The layout family of a version byte.
enum class DbfFamily {
    DBase,    // dBASE III / IV / V layouts the engine reads and packs
    FoxPro,   // FoxPro / Visual FoxPro: recognised and read, never packed
    Level7,   // dBASE level 7: refused
    Unknown,  // dBASE II, FoxBASE and anything else: refused
};
DbfFamily FamilyOfVersion(uint8_t version);

// Which memo file layout the table's memo fields point into.
enum class MemoLayout { None, DBase3, DBase4, FoxPro };
MemoLayout MemoLayoutOfVersion(uint8_t version);

struct DbfHeader {
    uint8_t version = 0;
    uint8_t updateYear = 0, updateMonth = 0, updateDay = 0;  // as stored (year - 1900)
    uint32_t recordCount = 0;                                // as stored in the header
    uint16_t headerLength = 0;
    uint16_t recordLength = 0;
    uint8_t productionIndexFlag = 0;
    uint8_t languageDriver = 0;
    bool encrypted = false;
    DbfFamily family = DbfFamily::Unknown;
    MemoLayout memoLayout = MemoLayout::None;
    std::vector<FieldDef> fields;
    bool HasMemoFields() const;
};

// Validates and parses the header of a table file. `bytes` holds the start of the file (at least
// the whole header when the file is that long), `fileSize` the file's size. Raises EDBEngineError
// (kStatusCorruptHeader / kStatusUnsupportedFormat) naming `path` and the check that failed.
DbfHeader ParseDbfHeader(std::string_view bytes, uint64_t fileSize, const std::string& path);

// Header length the file claims (bytes 8-9), or 0 when fewer than 32 bytes are given.
uint16_t ClaimedHeaderLength(std::string_view bytes);

// A byte as messages show it: "0x1A".
std::string Hex2(unsigned v);

// A memo pointer field: block number, 0 for none. Accepts leading blanks or zeros and blank
// fill; returns false for any other text (a damaged pointer).
bool ParseMemoPointer(std::string_view text, uint32_t& block);

// True when a record's field texts are plausible for their types (digits and signs in numbers,
// a date of digits or blanks, a logical letter, a memo pointer). Used to decide whether records
// beyond the header's count are real.
bool RecordLooksPlausible(const uint8_t* record, const DbfHeader& header);

// Whole records the file holds after its header: P = (size - headerLength) div recordLength
// (the division swallows the 0x1A end byte and a partial last record). DbfFile applies the
// count rule (doc/engine-format.md): N > P -> P; N < P -> P only when every extra record is
// plausible, else N.
uint32_t PhysicalRecordCount(const DbfHeader& header, uint64_t fileSize);

}  // namespace ari::engine
