// TTable and the engine operations over the engine's cursors and databases (Cursor.h).
#include "engine/TTable.h"

#include <cstring>

#include "engine/EngineStatus.h"
#include "engine/format/Endian.h"
#include "engine/pack/DbfPack.h"
#include "engine/pack/ParadoxPack.h"
#include "engine/table/Cursor.h"
#include "engine/table/TableFiles.h"
#include "engine/table/TableLock.h"
#include "platform/Files.h"

namespace ari::engine {

namespace {
// Runs an engine operation: returns its status, recording the error report of a failure.
template <typename F>
uint16_t Guarded(F&& body) {
    try {
        body();
        ClearLastErrorReport();
        return kStatusOk;
    } catch (const EDBEngineError& e) {
        std::vector<std::string> lines;
        const std::string& m = e.Message();
        size_t start = 0;
        for (size_t nl; (nl = m.find('\n', start)) != std::string::npos; start = nl + 1)
            lines.push_back(m.substr(start, nl - start));
        lines.push_back(m.substr(start));
        SetLastErrorReport(e.ErrorCode(), lines, e.File(), e.Kind());
        return e.ErrorCode();
    } catch (const Exception& e) {
        SetLastErrorReport(kStatusWriteError, {StatusText(kStatusWriteError), e.Message()},
                           e.File(), e.Kind());
        return kStatusWriteError;
    } catch (const std::bad_alloc&) {
        SetLastErrorReport(kStatusReadError, {StatusText(kStatusReadError), "Out of memory."});
        return kStatusReadError;
    }
}
}  // namespace

}  // namespace ari::engine

using namespace ari::engine;

// ---- TTable

TTable::TTable(std::string name) : name_(std::move(name)), indexDefs_(*this) {}

TTable::~TTable() {
    cursor_.reset();
    database_.reset();
}

namespace {
[[noreturn]] void RaiseOpenDataset(const std::string& name) {
    throw EDatabaseError(name + ": Cannot perform this operation on an open dataset");
}
}  // namespace

void TTable::SetDatabaseName(const std::string& value) {
    if (value == databaseName_)
        return;
    if (Active())
        RaiseOpenDataset(name_);
    databaseName_ = value;
}

void TTable::SetTableName(const std::string& value) {
    if (value == tableName_)
        return;
    if (Active())
        RaiseOpenDataset(name_);
    tableName_ = value;
}

void TTable::SetExclusive(bool value) {
    if (value == exclusive_)
        return;
    if (Active())
        RaiseOpenDataset(name_);
    exclusive_ = value;
}

std::string TTable::TablePath() const {
    const std::string folder =
        databaseName_.empty() ? std::string() : ari::WithTrailingSeparator(databaseName_);
    const std::string found = ari::FindFileNoCase(folder.empty() ? "." : folder, tableName_);
    return folder + (found.empty() ? tableName_ : found);
}

void TTable::Open() {
    if (Active())
        return;
    if (tableName_.empty())
        RaiseEngineError(kStatusTableNotFound, {name_ + ": no table name is set."});
    const std::string path = TablePath();
    const std::string folder =
        databaseName_.empty() ? std::string() : ari::WithTrailingSeparator(databaseName_);
    // The database outlives Close: a caller may keep its handle across a close (the pack
    // routine restructures a closed table through it). It is replaced only for another folder.
    if (!database_ || database_->Folder() != folder)
        database_ = std::make_unique<Database>(folder);
    cursor_ = std::make_unique<Cursor>(*database_, path, DriverForTable(path),
                                       exclusive_ ? ShareMode::Exclusive : ShareMode::Shared);
}

void TTable::Close() {
    cursor_.reset();
}

bool TTable::Active() const {
    return cursor_ != nullptr;
}
CursorHandle TTable::Handle() const {
    return cursor_.get();
}
DatabaseHandle TTable::DBHandle() const {
    return cursor_ ? database_.get() : nullptr;
}

// ---- engine operations

uint16_t EngineCursorInfo(CursorHandle cursor, uint8_t* record) {
    return Guarded([&] {
        if (!cursor || !record)
            RaiseEngineError(kStatusInvalidHandle, {});
        std::memset(record, 0, kCursorInfoSize);
        const std::string name = ari::ExtractFileName(cursor->Path());
        std::memcpy(record, name.data(), std::min<size_t>(name.size(), 260));
        const char* type = DriverTypeText(cursor->GetDriver());
        std::memcpy(record + kCursorInfoTypeOffset, type,
                    std::min(std::strlen(type), kCursorInfoTypeLength - 1));
    });
}

uint16_t EngineDatabaseOf(CursorHandle cursor, uint16_t objectKind, DatabaseHandle* database) {
    return Guarded([&] {
        if (!cursor || !database)
            RaiseEngineError(kStatusInvalidHandle, {});
        if (objectKind != kObjectKindDatabase)
            RaiseEngineError(kStatusInvalidParameter,
                             {"Object kind " + std::to_string(objectKind) + " is not a database."});
        *database = &cursor->Db();
    });
}

uint16_t EnginePack(DatabaseHandle database, CursorHandle cursor, const char* tableName, const char* driverType,
                    int32_t /*regenerateIndexes: the production index is always rebuilt, since a
                              stale index would misdirect the legacy application*/) {
    return Guarded([&] {
        if (!database || !cursor || &cursor->Db() != database)
            RaiseEngineError(kStatusInvalidHandle, {});
        if (tableName && *tableName &&
            !ari::EqualsNoCase(ari::ExtractFileName(cursor->Path()), tableName))
            RaiseEngineError(kStatusInvalidParameter, {std::string("Table name ") + tableName +
                                                       " does not match the cursor."});
        if (driverType && *driverType && std::strcmp(driverType, "DBASE") != 0)
            RaiseTableError(
                kStatusUnsupportedFormat, cursor->Path(),
                {std::string("Packing tables of type ") + driverType + " is not supported here."});
        if (cursor->GetDriver() != Driver::DBase)
            RaiseTableError(kStatusUnsupportedFormat, cursor->Path(),
                            {"Only dBASE tables can be packed this way."});
        if (cursor->Mode() != ShareMode::Exclusive)
            RaiseTableError(kStatusNeedExclusive, cursor->Path());
        try {
            PackDbfTable(cursor->Path(), cursor->Lease());
        } catch (...) {
            // The pack's own error is the one to report, not a failed reload's (the cursor then
            // has no table view, which the index operations refuse).
            try {
                cursor->Reload();
            } catch (const Exception&) {
            }
            throw;
        }
        cursor->Reload();
    });
}

uint16_t EngineRestructure(DatabaseHandle database, uint16_t descriptorCount,
                           const uint8_t* descriptor, const char* saveAs, const char* keyviolName,
                           const char* problemsName, int32_t analyzeOnly) {
    return Guarded([&] {
        if (!database || !descriptor)
            RaiseEngineError(kStatusInvalidHandle, {});
        if (descriptorCount != 1 || analyzeOnly || (saveAs && *saveAs) ||
            (keyviolName && *keyviolName) || (problemsName && *problemsName))
            RaiseEngineError(kStatusNotAvailable,
                             {"Only a pack of one table into itself is supported."});
        // The name and the type text each end at a NUL inside their fields.
        const uint8_t* const nameField = descriptor + ari::kDescriptorNameOffset;
        const uint8_t* const typeField = descriptor + ari::kDescriptorTypeOffset;
        const auto* nameEnd =
            static_cast<const uint8_t*>(std::memchr(nameField, 0, ari::kDescriptorNameMax + 1));
        const auto* typeEnd =
            static_cast<const uint8_t*>(std::memchr(typeField, 0, ari::kDescriptorTypeSize));
        if (!nameEnd || !typeEnd || nameEnd == nameField)
            RaiseEngineError(kStatusInvalidParameter, {"The table descriptor is malformed."});
        const std::string name(reinterpret_cast<const char*>(nameField),
                               static_cast<size_t>(nameEnd - nameField));
        const std::string type(reinterpret_cast<const char*>(typeField),
                               static_cast<size_t>(typeEnd - typeField));
        const uint16_t packFlag = GetLE16(descriptor + ari::kDescriptorPackOffset);
        if (type != "PARADOX")
            RaiseEngineError(kStatusNotAvailable,
                             {"Restructuring tables of type " + type + " is not supported."});
        if (packFlag == 0)
            RaiseEngineError(kStatusNotAvailable, {"Only the pack of a table is supported."});
        const std::string& folder = database->Folder();
        const std::string found = ari::FindFileNoCase(folder.empty() ? "." : folder, name);
        const std::string path = folder + (found.empty() ? name : found);
        if (DriverForTable(path) != Driver::Paradox)
            RaiseTableError(kStatusUnsupportedFormat, path, {"It is not a Paradox table."});
        if (ari::FolderExists(path))
            RaiseTableError(kStatusNotATableFile, path, {"It is a folder."});
        if (!ari::FileExists(path))
            RaiseTableError(kStatusTableNotFound, path);
        if (ProcessHoldsTable(path))
            RaiseTableError(kStatusTableOpen, path);
        auto lease = TableLease::Acquire(
            path, FindCompanions(path, {ari::kParadoxIndexExtension, ari::kParadoxMemoExtension}),
            ShareMode::Exclusive);
        PackParadoxTable(path, *lease);
    });
}

void Check(uint16_t status) {
    if (status == kStatusOk)
        return;
    std::vector<std::string> texts{StatusText(status)};
    if (LastErrorStatus() != status)
        throw EDBEngineError(status, texts);
    for (const auto& t : LastErrorTexts())
        texts.push_back(t);
    throw EDBEngineError(status, texts, LastErrorFile(), LastErrorKind());
}
