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

std::string TableDetail(const std::string& tablePath) {
    return "Table: " + tablePath;
}

void RaiseTableError(uint16_t status, const std::string& tablePath,
                     std::vector<std::string> details) {
    details.insert(details.begin(), TableDetail(tablePath));
    RaiseEngineError(status, std::move(details));
}

void SetLastErrorReport(uint16_t status, std::vector<std::string> texts) {
    lastStatus = status;
    lastTexts = std::move(texts);
}

void ClearLastErrorReport() {
    lastStatus = 0;
    lastTexts.clear();
}

uint16_t LastErrorStatus() {
    return lastStatus;
}
const std::vector<std::string>& LastErrorTexts() {
    return lastTexts;
}

}  // namespace ari::engine
