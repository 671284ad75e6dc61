#include "maintenance/IndexFiles.h"

#include "engine/EngineStatus.h"
#include "platform/FileAccess.h"
#include "platform/FileErrors.h"
#include "platform/FileNames.h"

namespace ari {

std::string IndexFileName(const std::string& tableFileName) {
    return CompanionPathFor(tableFileName, kProductionIndexExtension);
}

LiveTableHold::LiveTableHold(TTable& table) : table_(table), wasExclusive_(table.Exclusive()) {
    table_.SetExclusive(true);
    try {
        table_.Open();
    } catch (const EDBEngineError& e) {
        table_.SetExclusive(wasExclusive_);
        switch (e.ErrorCode()) {
            case engine::kStatusTableNotFound:
                // Something that is no regular file under the name (a link, a pipe, a device,
                // a folder) is named with what it is; nothing there is the file error.
                RequireRegularFile(table_.TablePath(), LinkPolicy::Refuse);
                throw EInOutError(kFileNotFound, FileErrorMessage(kFileNotFound),
                                  table_.TablePath());
            case engine::kStatusTableInUse:
            case engine::kStatusRecordsLocked: {
                const std::string file = e.File().empty() ? table_.TablePath() : e.File();
                EInOutError refused(kSharingViolation,
                                    FileErrorMessage(kSharingViolation) + " - " + file, file);
                // The engine's last line says who holds what ("Another program has locked
                // record 1."): the fixed text above does not, the journal does.
                const std::string& m = e.Message();
                const size_t lineStart = m.rfind('\n');
                refused.SetReason(lineStart == std::string::npos ? std::string()
                                                                 : m.substr(lineStart + 1));
                throw refused;
            }
            default:
                throw;
        }
    }
    try {
        // Before the index steps delete or replace anything: a read-only file stays as it is.
        table_.CheckTableWritable();
        table_.CheckTableDamage();
    } catch (...) {
        table_.Close();
        table_.SetExclusive(wasExclusive_);
        throw;
    }
}

LiveTableHold::~LiveTableHold() {
    table_.Close();
    table_.SetExclusive(wasExclusive_);
}

}  // namespace ari
