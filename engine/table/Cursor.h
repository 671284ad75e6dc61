// The engine's inner objects behind CursorHandle and DatabaseHandle: a database is one folder; a
// cursor is one open table (its driver, its lease on the files and, for dBASE-layout tables, the
// open table file). Internal to the engine; the program sees only the handles.
#pragma once

#include <memory>
#include <string>

#include "engine/table/DbfFile.h"
#include "engine/table/TableLock.h"

namespace ari::engine {

enum class Driver { DBase, FoxPro, Paradox };

// The table-type text a driver reports in the cursor information record.
const char* DriverTypeText(Driver driver);

// The driver for a table file by its extension and, for ".dbf", the files beside it and its
// version byte; throws EDBEngineError kStatusUnsupportedFormat for other extensions.
Driver DriverForTable(const std::string& tablePath);

class Database {
  public:
    explicit Database(std::string folder) : folder_(std::move(folder)) {}
    const std::string& Folder() const { return folder_; }  // ends in the separator

  private:
    std::string folder_;
};

class Cursor {
  public:
    // Opens the table at `path` with the given driver; throws EDBEngineError.
    Cursor(Database& database, const std::string& path, Driver driver, ShareMode mode);
    ~Cursor();

    Database& Db() const { return database_; }
    const std::string& Path() const { return path_; }
    Driver GetDriver() const { return driver_; }
    ShareMode Mode() const { return lease_->Mode(); }
    TableLease& Lease() { return *lease_; }
    DbfFile* Table() const { return dbf_.get(); }  // nullptr for Paradox
    // After the engine replaced the table file: reads the new file.
    void Reload();

  private:
    Database& database_;
    std::string path_;
    Driver driver_;
    std::unique_ptr<TableLease> lease_;
    std::unique_ptr<DbfFile> dbf_;
};

}  // namespace ari::engine
