#include "engine/check/TableCheck.h"

#include <cstdio>

#include "engine/EngineErrors.h"
#include "engine/format/MdxFormat.h"
#include "engine/index/MdxTable.h"
#include "engine/table/DbfFile.h"
#include "engine/table/TableDamage.h"
#include "engine/table/TableFiles.h"
#include "platform/FileNames.h"

namespace ari::engine {

namespace {

// The damage the pack refuses, in the pack's words (engine/table/TableDamage.h).
std::string CheckDamage(const DbfFile& f) {
    std::string out;
    for (const auto& d : FindTableDamage(f))
        out += (out.empty() ? "" : "\n") + d.what;
    return out;
}

std::string CheckRecords(const DbfFile& f) {
    const DbfHeader& h = f.Header();
    const uint32_t physical = PhysicalRecordCount(h, f.FileSize());
    if (h.recordCount > physical)
        return "The header counts " + std::to_string(h.recordCount) +
               " records but the file holds " + std::to_string(physical) + ".";
    if (f.RecordCount() != h.recordCount)
        return "The file holds " + std::to_string(f.RecordCount()) +
               " records but the header counts " + std::to_string(h.recordCount) + ".";
    DbfFile::Scanner scan(f);
    while (const uint8_t* r = scan.Next())
        if (r[0] != dbf::kLiveFlag && r[0] != dbf::kDeletedFlag)
            return "Record " + std::to_string(scan.RecNo()) + " has the invalid deletion flag " +
                   Hex2(r[0]) + ".";
    return {};
}

std::string CheckMemos(const DbfFile& f) {
    const DbfHeader& h = f.Header();
    if (h.family != DbfFamily::DBase || !h.HasMemoFields())
        return {};
    const MemoFile* memo = f.Memo();  // throws when missing
    DbfFile::Scanner scan(f);
    while (const uint8_t* r = scan.Next()) {
        for (const auto& fd : f.Fields()) {
            if (fd.type != 'M' && fd.type != 'B' && fd.type != 'G')
                continue;
            try {
                f.ReadMemoField(r, fd);
            } catch (const EDBEngineError& e) {
                return "Record " + std::to_string(scan.RecNo()) + ", field " + fd.name + ": " +
                       e.Message();
            }
        }
    }
    (void)memo;
    return {};
}

}  // namespace

const std::vector<std::pair<std::string, CheckStep>>& CheckSteps() {
    static const std::vector<std::pair<std::string, CheckStep>> steps{
        {"damage", CheckDamage},
        {"records", CheckRecords},
        {"memos", CheckMemos},
        {"index", CheckProductionIndexStep},
    };
    return steps;
}

CheckResult CheckDbaseTable(const std::string& path) {
    try {
        const auto f = DbfFile::Open(path, ShareMode::Shared);
        for (const auto& [name, step] : CheckSteps()) {
            std::string fault = step(*f);
            if (!fault.empty())
                return {name, std::move(fault)};
        }
    } catch (const EDBEngineError& e) {
        return {"", e.Message().empty() ? std::string("the table does not open") : e.Message()};
    }
    return {};
}

std::string ProductionIndexPathOf(const DbfFile& table) {
    if (table.Header().family != DbfFamily::DBase || table.ProductionIndexFlag() == 0)
        return {};
    const std::string path = FindCompanion(table.Path(), ari::kProductionIndexExtension);
    if (path.empty()) {
        throw EDBEngineError(
            mdx::kStatusIndexFault,
            {"Table " + table.Path() + " names a production index file, but there is none."});
    }
    return path;
}

std::string CheckProductionIndexStep(const DbfFile& table) {
    std::string path;
    try {
        path = ProductionIndexPathOf(table);
    } catch (const EDBEngineError& e) {
        return e.Message();
    }
    if (path.empty())
        return {};
    std::string out;
    for (const auto& fault : CheckIndexFile(table, path)) {
        if (!out.empty())
            out += '\n';
        out += fault;
    }
    return out;
}

}  // namespace ari::engine
