#include "maintenance/IndexRebuild.h"

#include <algorithm>

#include "log/LogTexts.h"
#include "log/OperationLog.h"
#include "maintenance/IndexFiles.h"
#include "platform/FileErrors.h"
#include "platform/Files.h"

namespace ari {

namespace {

constexpr TIndexOptions kCarriedOptions = static_cast<TIndexOptions>(TIndexOption::ixUnique) |
                                          static_cast<TIndexOptions>(TIndexOption::ixDescending);

}  // namespace

std::vector<IndexDefinition> ReadIndexDefinitions(TTable& templateTable) {
    templateTable.SetExclusive(true);
    templateTable.IndexDefs().Update();
    std::vector<IndexDefinition> out;
    for (const TIndexDef& d : templateTable.IndexDefs().Items())
        out.push_back({d.Name, d.FieldExpression,
                       static_cast<TIndexOptions>(d.Options & kCarriedOptions),
                       d.FilterExpression});
    templateTable.SetExclusive(false);
    return out;
}

void ClearIndexHeaderBytes(TTable& table) {
    table.SetIndexHeaderBytes(0, 0);
}

void RebuildIndexes(const std::string& entry, const std::string& liveFolder, TTable& live,
                    const std::vector<IndexDefinition>& definitions) {
    const LiveTableHold hold(live);
    const auto indexNames = FilesNamedNoCase(liveFolder, IndexFileName(entry));
    // Deleting a link and writing a new index would leave the file it names behind as a second,
    // stale index.
    for (const auto& n : indexNames) {
        if (IsSymbolicLink(liveFolder + n))
            throw EInOutError(kAccessDenied,
                              liveFolder + n +
                                  " is a symbolic link; the index is not rebuilt "
                                  "through a link (put the index file itself there)");
    }
    for (const auto& n : indexNames)
        RemoveFile(liveFolder + n);
    ClearIndexHeaderBytes(live);

    // All tags into one new index file: one build per tag, one flush and one rename.
    const std::string tableName = live.TableName();
    std::vector<TTable::NewIndex> tags;
    for (const IndexDefinition& d : definitions)
        tags.push_back(
            {d.name, d.key, static_cast<TIndexOptions>(ixExpression | d.options), d.forCondition});
    live.AddIndexes(tags, [&](size_t i) { AddLog(AddIndexLine(tableName, definitions[i].name)); });
}

}  // namespace ari
