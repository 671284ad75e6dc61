#include "maintenance/IndexRebuild.h"

#include <algorithm>

#include "log/LogTexts.h"
#include "log/OperationLog.h"
#include "maintenance/IndexFiles.h"
#include "platform/FileErrors.h"
#include "platform/Files.h"

namespace ari {

namespace {

// What the rebuilt header names as its language driver: none.
constexpr uint8_t kNoLanguageDriver = 0;

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
    std::vector<std::string> indexNames;
    {
        const LiveTableHold hold(live);
        indexNames = FilesNamedNoCase(liveFolder, IndexFileName(entry));
        // Replacing a link by a file would leave the file it names behind as a second, stale
        // index.
        for (const auto& n : indexNames) {
            if (IsSymbolicLink(liveFolder + n))
                throw EInOutError(kAccessDenied,
                                  liveFolder + n +
                                      " is a symbolic link; the index is not rebuilt "
                                      "through a link (put the index file itself there)");
        }
        if (!definitions.empty()) {
            // All tags into one new index file, which takes the old one's place only when whole:
            // one build per tag, one flush and one rename. The header then names the new index
            // and no language driver.
            const std::string tableName = live.TableName();
            std::vector<TTable::NewIndex> tags;
            for (const IndexDefinition& d : definitions)
                tags.push_back({d.name, d.key, static_cast<TIndexOptions>(ixExpression | d.options),
                                d.forCondition});
            live.ReplaceIndexes(tags, kNoLanguageDriver, [&](size_t i) {
                AddLog(AddIndexLine(tableName, definitions[i].name));
            });
            return;
        }
        // No tags: the header stops naming the index before the index goes.
        ClearIndexHeaderBytes(live);
    }
    // Removed once the table is let go of: a file the header no longer names is nobody's index,
    // and a removed file this process still held would linger under another name on some systems.
    for (const auto& n : indexNames)
        RemoveFile(liveFolder + n);
}

}  // namespace ari
