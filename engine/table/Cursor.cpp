// The engine's databases and cursors (Cursor.h): the driver a table file takes, and a cursor's
// opening of its table under a lease on the files.
#include "engine/table/Cursor.h"

#include "engine/EngineErrors.h"
#include "engine/EngineStatus.h"
#include "engine/table/ParadoxFile.h"
#include "engine/table/TableFiles.h"
#include "engine/table/TableLock.h"
#include "platform/Files.h"

namespace ari::engine {

const char* DriverTypeText(Driver driver) {
    switch (driver) {
        case Driver::DBase:
            return "DBASE";
        case Driver::FoxPro:
            return "FOXPRO";
        case Driver::Paradox:
            return "PARADOX";
    }
    return "";
}

Driver DriverForTable(const std::string& tablePath) {
    const std::string name = ExtractFileName(tablePath);
    if (MatchesMask(name, kParadoxTableMask))
        return Driver::Paradox;
    if (!MatchesMask(name, kTableMask))
        RaiseTableError(kStatusUnsupportedFormat, tablePath,
                        {"The extension names no table driver (.dbf dBASE, .db Paradox)."});
    if (!FindCompanion(tablePath, kFoxProMemoExtension).empty() ||
        !FindCompanion(tablePath, kFoxProIndexExtension).empty())
        return Driver::FoxPro;
    // A FoxPro version byte without its companion files is still a FoxPro table.
    // Non-blocking: a pipe under the name is refused, not waited on; a regular file ignores it.
    Env* env = Env::Default();
    const FileHandle fd = OpenTableFile(tablePath, kOpenRead | kOpenNonBlocking);
    if (fd >= 0) {
        uint8_t version = 0;
        const bool got = env->ReadAt(fd, 0, &version, 1) == 1;
        env->Close(fd);
        if (got && FamilyOfVersion(version) == DbfFamily::FoxPro)
            return Driver::FoxPro;
    }
    return Driver::DBase;
}

Cursor::Cursor(Database& database, const std::string& path, Driver driver, ShareMode mode)
    : database_(database), path_(path), driver_(driver) {
    if (FolderExists(path))
        RaiseTableError(kStatusNotATableFile, path, {"It is a folder."});
    if (!FileExists(path))
        RaiseTableError(kStatusTableNotFound, path);
    std::vector<std::string> companions;
    if (mode == ShareMode::Exclusive) {
        switch (driver) {
            case Driver::DBase:
                companions = FindCompanions(path, DbaseCompanionExtensions());
                break;
            case Driver::FoxPro:
                companions = FindCompanions(path, {kFoxProMemoExtension, kFoxProIndexExtension});
                break;
            case Driver::Paradox:
                companions = FindCompanions(path, {kParadoxIndexExtension, kParadoxMemoExtension});
                break;
        }
    }
    lease_ = TableLease::Acquire(path, companions, mode);
    Reload();
}

Cursor::~Cursor() {
    dbf_.reset();
    lease_.reset();
}

void Cursor::Reload() {
    dbf_.reset();
    if (driver_ == Driver::Paradox) {
        ReadParadoxHeader(path_);  // validated only: the pack reads the records itself
        return;
    }
    dbf_ = DbfFile::OpenHeld(path_, lease_->Mode() == ShareMode::Exclusive);
}

}  // namespace ari::engine
