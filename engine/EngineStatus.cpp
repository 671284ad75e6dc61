#include "engine/EngineStatus.h"

#include "engine/EngineErrors.h"

namespace ari::engine {

namespace {
struct StatusEntry {
    uint16_t status;
    const char* text;
};

constexpr StatusEntry kStatusTexts[] = {
    {kStatusTableNotFound, "Table does not exist."},
    {kStatusNotATableFile, "The table name does not name a table file."},
    {kStatusCorruptHeader, "The table header is damaged."},
    {kStatusUnsupportedFormat, "The table format is not supported."},
    {kStatusTableInUse, "The table is in use by another program."},
    {kStatusRecordsLocked, "Another program has locked the table or some of its records."},
    {kStatusReadError, "The table could not be read."},
    {kStatusWriteError, "The table could not be written; it was left as it was."},
    {kStatusMemoError, "The memo file of the table is missing or damaged."},
    {kStatusNeedExclusive, "The table must be open for sole use (exclusively)."},
    {kStatusInvalidHandle, "Invalid table or database handle."},
    {kStatusInvalidParameter, "Invalid parameter."},
    {kStatusIndexUnavailable,
     "The table has a production index that this program cannot rebuild; nothing was changed."},
    {kStatusIndexError, "The production index of the table is damaged or could not be written."},
    {kStatusNotAvailable, "The operation is not available."},
    {kStatusTableOpen, "The table must be closed for this operation."},
    {kStatusCorruptData, "The table data is damaged."},
};

thread_local uint16_t lastStatus = 0;
thread_local std::vector<std::string> lastTexts;
thread_local std::string lastFile;
thread_local ErrorKind lastKind = ErrorKind::Other;
}  // namespace

std::string StatusText(uint16_t status) {
    for (const auto& e : kStatusTexts)
        if (e.status == status)
            return e.text;
    return {};
}

void RaiseEngineError(uint16_t status, std::vector<std::string> details) {
    details.insert(details.begin(), StatusText(status));
    throw EDBEngineError(status, details);
}

void RaiseEngineError(uint16_t status, std::vector<std::string> details, const std::string& file,
                      ErrorKind kind) {
    details.insert(details.begin(), StatusText(status));
    throw EDBEngineError(status, details, file, kind);
}

std::string TableDetail(const std::string& tablePath) {
    return "Table: " + tablePath;
}

void RaiseTableError(uint16_t status, const std::string& tablePath,
                     std::vector<std::string> details) {
    details.insert(details.begin(), TableDetail(tablePath));
    RaiseEngineError(status, std::move(details), tablePath, EDBEngineError::KindOfStatus(status));
}

void RaiseTableErrorCausedBy(uint16_t status, const std::string& tablePath, const Exception& cause,
                             std::vector<std::string> more) {
    more.insert(more.begin(), cause.Message());
    more.insert(more.begin(), TableDetail(tablePath));
    const ErrorKind kind = EDBEngineError::KindOfStatus(status);
    RaiseEngineError(status, std::move(more), tablePath,
                     kind == ErrorKind::Other ? cause.Kind() : kind);
}

void RaiseFileError(uint16_t status, const std::string& path, std::vector<std::string> details) {
    details.insert(details.begin(), "File: " + path);
    RaiseEngineError(status, std::move(details), path, EDBEngineError::KindOfStatus(status));
}

void SetLastErrorReport(uint16_t status, std::vector<std::string> texts, std::string file,
                        ErrorKind kind) {
    lastStatus = status;
    lastTexts = std::move(texts);
    lastFile = std::move(file);
    lastKind = kind;
}

void ClearLastErrorReport() {
    lastStatus = 0;
    lastTexts.clear();
    lastFile.clear();
    lastKind = ErrorKind::Other;
}

uint16_t LastErrorStatus() {
    return lastStatus;
}
const std::vector<std::string>& LastErrorTexts() {
    return lastTexts;
}
const std::string& LastErrorFile() {
    return lastFile;
}
ErrorKind LastErrorKind() {
    return lastKind;
}

}  // namespace ari::engine
