#include "maintenance/IndexRebuild.h"

#include <QString>
#include <algorithm>

#include "engine/DbfFormat.h"
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

namespace {

// Throws unless the open file holds a dBASE table header (the engine's own checks): two bytes
// are written into it only then.
void RequireTableHeader(const ByteFile& tableFile) {
    const uint64_t size = tableFile.Size();
    if (size < dbf::kHeaderSize)
        throw EInOutError(kReadBeyondEnd, FileErrorMessage(kReadBeyondEnd));
    const std::string start = tableFile.Read(0, dbf::kHeaderSize);
    const uint16_t claimed = engine::ClaimedHeaderLength(start);
    engine::ParseDbfHeader(tableFile.Read(0, std::max<size_t>(claimed, dbf::kHeaderSize)), size,
                           tableFile.Path());
}

}  // namespace

void ClearIndexHeaderBytes(ByteFile& tableFile) {
    RequireTableHeader(tableFile);
    tableFile.WriteByte(dbf::kProductionIndexFlag, 0);
    tableFile.WriteByte(dbf::kLanguageDriver, 0);
    tableFile.Close();
}

void RebuildIndexes(const std::string& entry, const std::string& liveFolder, TTable& live,
                    const std::vector<IndexDefinition>& definitions) {
    // The very file the engine opens for `live`, whatever the case of its name.
    ByteFile tableFile(live.TablePath());
    RequireTableHeader(tableFile);

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
        AddLog(QStringLiteral("------Add Index ") + tableName + u' ' +
               QString::fromStdString(d.name));
        live.AddIndex(d.name, d.key, ixExpression, std::string());
    }
}

}  // namespace ari
