#include "maintenance/IndexRebuild.h"

#include <QString>

#include "engine/DbfFormat.h"
#include "log/LogTexts.h"
#include "log/OperationLog.h"
#include "maintenance/IndexFiles.h"
#include "platform/FileAccess.h"
#include "platform/FileErrors.h"
#include "platform/Files.h"

namespace ari {

namespace dbf = ari::engine::dbf;

std::vector<IndexDefinition> ReadIndexDefinitions(TTable& templateTable) {
    templateTable.SetExclusive(true);
    templateTable.IndexDefs().Update();
    std::vector<IndexDefinition> out;
    for (const TIndexDef& d : templateTable.IndexDefs().Items())
        out.push_back({d.Name, d.FieldExpression});
    templateTable.SetExclusive(false);
    return out;
}

void ClearIndexHeaderBytes(ByteFile& tableFile) {
    if (tableFile.Size() < dbf::kHeaderSize)
        throw EInOutError(kReadBeyondEnd, FileErrorMessage(kReadBeyondEnd));
    tableFile.WriteByte(dbf::kProductionIndexFlag, 0);
    tableFile.WriteByte(dbf::kLanguageDriver, 0);
    tableFile.Close();
}

void RebuildIndexes(const std::string& entry, const std::string& liveFolder, TTable& live,
                    const std::vector<IndexDefinition>& definitions) {
    // The very file the engine opens for `live`, whatever the case of its name.
    ByteFile tableFile(live.TablePath());

    const auto indexNames = FilesNamedNoCase(liveFolder, IndexFileName(entry));
    // Another user (the engine's shared-use byte, a dBASE client's record or file locks, a sole
    // user) would keep working with the old index under a header that no longer names it.
    std::string heldFile;
    if (tableFile.LockedByOthers())
        heldFile = tableFile.Path();
    for (const auto& n : indexNames) {
        if (heldFile.empty() && FileLockedByOthers(liveFolder + n))
            heldFile = liveFolder + n;
    }
    if (!heldFile.empty())
        throw EInOutError(kSharingViolation,
                          FileErrorMessage(kSharingViolation) + " - " + heldFile);

    for (const auto& n : indexNames)
        RemoveFile(liveFolder + n);
    ClearIndexHeaderBytes(tableFile);

    const QString tableName = QString::fromStdString(live.TableName());
    for (const IndexDefinition& d : definitions) {
        AddLog(AddIndexLine(tableName, QString::fromStdString(d.name)));
        live.AddIndex(d.name, d.key, ixExpression, std::string());
    }
}

}  // namespace ari
