#include "maintenance/IndexRebuild.h"

#include <QString>

#include "log/LogTexts.h"
#include "log/OperationLog.h"
#include "maintenance/IndexFiles.h"
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
    for (const auto& n : FilesNamedNoCase(liveFolder, IndexFileName(entry)))
        RemoveFile(liveFolder + n);
    ClearIndexHeaderBytes(live);

    const QString tableName = QString::fromStdString(live.TableName());
    for (const IndexDefinition& d : definitions) {
        AddLog(AddIndexLine(tableName, QString::fromStdString(d.name)));
        live.AddIndex(d.name, d.key, static_cast<TIndexOptions>(ixExpression | d.options),
                      std::string(), d.forCondition);
    }
}

}  // namespace ari
