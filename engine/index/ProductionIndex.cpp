// The pack's production index rebuild: every tag of the old index built afresh from the new
// records, with the old file's tag order, definitions, block size and language id.
#include "engine/index/ProductionIndex.h"

#include <bit>

#include "engine/index/MdxFile.h"
#include "engine/index/MdxTable.h"
#include "engine/table/DbfFile.h"
#include "engine/table/FileOps.h"
#include "engine/table/TableDamage.h"

namespace ari::engine {

KeptRecords::KeptRecords(uint32_t records)
    : records_(records), bits_((static_cast<size_t>(records) + 63) / 64, 0) {}

void KeptRecords::Finish() {
    keptBefore_.resize(bits_.size());
    uint32_t sum = 0;
    for (size_t w = 0; w < bits_.size(); ++w) {
        keptBefore_[w] = sum;
        sum += static_cast<uint32_t>(std::popcount(bits_[w]));
    }
}

uint32_t KeptRecords::NewNumber(uint32_t recno) const {
    const uint32_t i = recno - 1;
    const uint64_t below = bits_[i >> 6] & ((uint64_t{1} << (i & 63)) - 1);
    return keptBefore_[i >> 6] + static_cast<uint32_t>(std::popcount(below)) + 1;
}

namespace {

// True when `old` is, byte for byte, an index this process built from the records `packed`
// describes: the pack may then write the new tags from its keys.
bool BuiltFromTheseRecords(const MdxFile& old, const PackedRecords& packed) {
    Env* env = Env::Default();
    const ScopedFd file(OpenTableFile(old.Path(), kOpenRead));
    FileInfo index, table;
    if (file.Get() < 0 || env->Info(file.Get(), &index) != 0 ||
        env->PathInfo(packed.oldTablePath, true, &table) != 0) {
        return false;
    }
    const std::optional<BuiltIndex> built = FindBuiltIndex(index.id);
    if (!built || built->table != table.id || built->tableDigest != packed.oldTableDigest ||
        built->indexBytes != index.size || built->indexModified != index.modified) {
        return false;
    }
    return DigestOfFile(file.Get(), index.size, old.Path()) == built->indexDigest;
}

}  // namespace

bool RebuildProductionIndex(const std::string& dbfPath, const std::string& oldMdxPath, int newMdxFd,
                            const std::string& newMdxPath, const PackedRecords* packed) {
    auto table = DbfFile::OpenHeld(dbfPath, false);
    // Tags are built only from definitions read with certainty: an index that claims no tags
    // would otherwise be replaced by one without any.
    RefuseDamagedIndex(*table, oldMdxPath);
    const MdxFile old(oldMdxPath);
    const bool fromOldKeys =
        packed && packed->kept && KeysCarryOver(old, *table) && BuiltFromTheseRecords(old, *packed);
    if (fromOldKeys) {
        WriteIndexFileFromKeys(newMdxFd, newMdxPath, *table, old, *packed->kept);
    } else {
        WriteIndexFile(newMdxFd, newMdxPath, *table, old.Header().baseName, old.Header().blockPages,
                       old.Header().language, TagDefinitions(old));
    }
    SyncFile(newMdxFd, newMdxPath);
    return fromOldKeys;
}

}  // namespace ari::engine
