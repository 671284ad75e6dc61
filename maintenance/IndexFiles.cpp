#include "maintenance/IndexFiles.h"

#include "engine/EngineStatus.h"
#include "platform/FileAccess.h"
#include "platform/FileErrors.h"
#include "platform/FileNames.h"

namespace ari {

namespace {

// The file an engine refusal names (its "File: " line), "" when it names none.
std::string FileNamedBy(const EDBEngineError& e) {
    static const std::string kPrefix = "File: ";
    const std::string& m = e.Message();
    for (size_t start = 0; start <= m.size();) {
        size_t end = m.find('\n', start);
        if (end == std::string::npos)
            end = m.size();
        if (m.compare(start, kPrefix.size(), kPrefix) == 0)
            return m.substr(start + kPrefix.size(), end - start - kPrefix.size());
        start = end + 1;
    }
    return {};
}

}  // namespace

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
                throw EInOutError(kFileNotFound, FileErrorMessage(kFileNotFound));
            case engine::kStatusTableInUse:
            case engine::kStatusRecordsLocked: {
                const std::string file = FileNamedBy(e);
                throw EInOutError(kSharingViolation,
                                  FileErrorMessage(kSharingViolation) + " - " +
                                      (file.empty() ? table_.TablePath() : file));
            }
            default:
                throw;
        }
    }
}

LiveTableHold::~LiveTableHold() {
    table_.Close();
    table_.SetExclusive(wasExclusive_);
}

}  // namespace ari
