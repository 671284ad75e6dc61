#include "engine/table/TableDamage.h"

#include <algorithm>
#include <memory>

#include "engine/EngineErrors.h"
#include "engine/EngineStatus.h"
#include "engine/index/MdxBuild.h"
#include "engine/index/MdxFile.h"
#include "engine/table/DbfFile.h"
#include "engine/table/FileOps.h"
#include "engine/table/TableFiles.h"
#include "engine/table/TableLock.h"
#include "platform/FileErrors.h"
#include "platform/ScopedFd.h"

namespace ari::engine {

namespace {

// Padding writers leave between the field list's terminator and the first record.
bool IsHeaderPadding(uint8_t c) {
    return c == 0x00 || c == ' ';
}

void CheckHeaderGap(const DbfFile& table, int fd, std::vector<TableDamage>& out) {
    const DbfHeader& h = table.Header();
    if (h.family != DbfFamily::DBase)
        return;  // FoxPro keeps a 263-byte link to its database container there
    const size_t terminator = dbf::kHeaderSize + h.fields.size() * dbf::kDescriptorSize;
    if (terminator + 1 >= h.headerLength)
        return;
    std::vector<uint8_t> gap(h.headerLength - terminator - 1);
    if (ReadAt(fd, terminator + 1, gap.data(), gap.size(), table.Path()) < gap.size())
        return;  // the header parser already refused a header longer than the file
    if (std::all_of(gap.begin(), gap.end(), IsHeaderPadding))
        return;
    out.push_back({kStatusCorruptHeader,
                   "Header length " + std::to_string(h.headerLength) +
                       " disagrees with the field descriptors, which end at byte " +
                       std::to_string(terminator + 1) + ": the " + std::to_string(gap.size()) +
                       " bytes between hold data, not padding (records of " +
                       std::to_string(h.recordLength) + " bytes would be hidden or misread)."});
}

void CheckTail(const DbfFile& table, int fd, std::vector<TableDamage>& out) {
    const DbfHeader& h = table.Header();
    const uint32_t kept = table.RecordCount();
    // Bytes beyond a count the rule kept low are garbage by that rule, not a record cut short.
    if (kept != PhysicalRecordCount(h, table.FileSize()))
        return;
    const uint64_t end = h.headerLength + static_cast<uint64_t>(kept) * h.recordLength;
    if (table.FileSize() <= end)
        return;
    uint8_t first = 0;
    if (ReadAt(fd, end, &first, 1, table.Path()) < 1 || first == dbf::kEndOfFile)
        return;
    out.push_back({kStatusCorruptData, "The file ends inside record " + std::to_string(kept + 1) +
                                           ": " + std::to_string(table.FileSize() - end) +
                                           " of its " + std::to_string(h.recordLength) +
                                           " bytes are there."});
}

}  // namespace

std::vector<TableDamage> FindProductionIndexDamage(const DbfFile& table, const std::string& path) {
    std::vector<TableDamage> out;
    std::unique_ptr<MdxFile> index;
    try {
        index = std::make_unique<MdxFile>(path);
    } catch (const EDBEngineError& e) {
        out.push_back({kStatusIndexError, e.Message()});
        return out;
    }
    if (index->Tags().empty()) {
        out.push_back({kStatusIndexError,
                       "Index file " + path +
                           " claims no tags, but the table header names it as its production "
                           "index: its tag definitions cannot be read."});
        return out;
    }
    for (const auto& t : index->Tags()) {
        try {
            PlanTag(t.name, t.expression, t.forExpression, t.unique, t.descending, table.Fields(),
                    index->Header().language);
        } catch (const EDBEngineError& e) {
            out.push_back(
                {kStatusIndexError, "Index file " + path + ", tag " + t.name + ": " + e.Message()});
        }
    }
    return out;
}

std::vector<TableDamage> FindRecordDamage(const DbfFile& table) {
    std::vector<TableDamage> out;
    // The held descriptor when this process holds the table: an own second open would break
    // the lease that proves sole use.
    const ari::ScopedFd file(OpenTableFile(table.Path(), kOpenRead));
    if (file.Get() < 0)
        ThrowLastInOutError(table.Path());
    CheckHeaderGap(table, file.Get(), out);
    CheckTail(table, file.Get(), out);
    return out;
}

std::vector<TableDamage> FindTableDamage(const DbfFile& table) {
    std::vector<TableDamage> out = FindRecordDamage(table);
    const DbfHeader& h = table.Header();
    if (h.family == DbfFamily::DBase && h.productionIndexFlag != 0) {
        const std::string index = FindCompanion(table.Path(), kProductionIndexExtension);
        if (!index.empty()) {
            for (auto& d : FindProductionIndexDamage(table, index))
                out.push_back(std::move(d));
        }
    }
    return out;
}

namespace {
void Refuse(const DbfFile& table, const std::vector<TableDamage>& damage) {
    if (damage.empty())
        return;
    std::vector<std::string> texts{TableDetail(table.Path())};
    for (const auto& d : damage)
        texts.push_back(d.what);
    texts.push_back("The table is left as it is.");
    RaiseEngineError(damage.front().status, std::move(texts), table.Path(), ErrorKind::Damaged);
}
}  // namespace

void RefuseDamagedTable(const DbfFile& table) {
    Refuse(table, FindTableDamage(table));
}

void RefuseDamagedRecords(const DbfFile& table) {
    Refuse(table, FindRecordDamage(table));
}

void RefuseDamagedIndex(const DbfFile& table, const std::string& mdxPath) {
    Refuse(table, FindProductionIndexDamage(table, mdxPath));
}

}  // namespace ari::engine
