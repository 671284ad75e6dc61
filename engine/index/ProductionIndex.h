// The production index (.mdx) hook of the pack: after the pack has written the new table file,
// it asks for a fresh index built from the new records with the definitions of the old index.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/index/BuiltIndexes.h"

namespace ari::engine {

// Which records of the old table the pack kept, and the number each has in the new table.
class KeptRecords {
  public:
    // Tables with more records than this are not followed (the map would take over 12 MB):
    // their pack builds the index from the records.
    static constexpr uint32_t kMaxRecords = uint32_t{1} << 26;

    // `records` old records, none kept yet. REQUIRES: records <= kMaxRecords.
    explicit KeptRecords(uint32_t records);
    // Record `recno` (1-based) is kept. Calls come in ascending record order.
    void Keep(uint32_t recno) { bits_[(recno - 1) >> 6] |= uint64_t{1} << ((recno - 1) & 63); }
    uint32_t Records() const { return records_; }
    bool Kept(uint32_t recno) const {
        return recno >= 1 && recno <= records_ &&
               ((bits_[(recno - 1) >> 6] >> ((recno - 1) & 63)) & 1) != 0;
    }
    // Ends the marking; NewNumber works from here on.
    void Finish();
    // The kept record's number in the new table. REQUIRES: Kept(recno), Finish() called.
    uint32_t NewNumber(uint32_t recno) const;

  private:
    uint32_t records_;
    std::vector<uint64_t> bits_;
    std::vector<uint32_t> keptBefore_;  // per word of bits_: kept records in the words before it
};

// What the pack saw of the old table as it read it: the digest of its shape and of every record
// (AddTableShape, then the records in file order), and which records it kept.
struct PackedRecords {
    std::string oldTablePath;
    ContentDigest::Value oldTableDigest;
    const KeptRecords* kept = nullptr;
};

// Builds, from the records of the table file at `dbfPath`, a fresh index into `newMdxFd` (an
// empty file open for writing, named `newMdxPath` in messages) with the same tags (order, names,
// expressions, FOR conditions, unique and descending flags), block size and language id as the
// index file at `oldMdxPath`, and flushes it. Throws EDBEngineError on any failure, and before
// writing anything when the old index is damaged (FindProductionIndexDamage, TableDamage.h:
// a header that fails a check, no tags, a tag definition that cannot be parsed).
// With `packed`: when the old index is one this process built from exactly the records and
// fields `packed` describes (BuiltIndexes.h), its bytes unchanged since, and no tag is unique or
// keyed or filtered on RECNO() or DELETED(), each new tag is written from the old tag's keys,
// those of dropped records left out and the others renumbered: the same file a build from the
// records writes, without evaluating a key. Otherwise the tags are built from the records.
// Returns true when the tags were written from the old keys.
// Called while the caller holds all three files for sole use (their locks belong to the caller):
// the function must open the others without taking locks (DbfFile::OpenHeld), must not rename
// or remove anything, and leaves the new file to its owner, which renames it into place or
// removes it.
bool RebuildProductionIndex(const std::string& dbfPath, const std::string& oldMdxPath, int newMdxFd,
                            const std::string& newMdxPath, const PackedRecords* packed = nullptr);

}  // namespace ari::engine
