// TTable: the table component through which the program opens, indexes and packs tables, and
// the four engine operations that the pack routine calls directly.
//
// A TTable names a table by DatabaseName (a folder text ending in the path separator) and
// TableName (a file name with its extension, which picks the driver: ".dbf" dBASE, FoxPro when
// a ".fpt" or ".cdx" of the same name lies beside it, ".db" Paradox; case aside).
// Not thread-safe: one thread uses a component at a time.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/EngineErrors.h"
#include "engine/format/TableDescriptor.h"

namespace ari::engine {
class Cursor;    // an open table inside the engine
class Database;  // the engine's database: one folder
}  // namespace ari::engine

// What TTable::Handle and TTable::DBHandle give: the open table's engine cursor and the engine
// database it belongs to, to be handed back to the engine operations below.
using CursorHandle = ari::engine::Cursor*;
using DatabaseHandle = ari::engine::Database*;

enum class TIndexOption : uint16_t {
    ixPrimary = 1,
    ixUnique = 2,
    ixDescending = 4,
    ixCaseInsensitive = 8,
    ixExpression = 16,
    ixNonMaintained = 32,
};
using TIndexOptions = uint16_t;  // bit set of TIndexOption values
inline constexpr TIndexOptions ixExpression =
    static_cast<TIndexOptions>(TIndexOption::ixExpression);

struct TIndexDef {
    std::string Name;             // the tag name
    std::string FieldExpression;  // key expression, or field names joined by ";"
    TIndexOptions Options = 0;
    std::string Expression;        // key expression text as stored (expression tags)
    std::string Fields;            // field name(s) of a field tag
    std::string FilterExpression;  // the FOR condition, "" when none
};

class TTable;

class TIndexDefs {
  public:
    explicit TIndexDefs(TTable& owner) : owner_(owner) {}
    // Reads the definitions from the table's production index; opens the table briefly
    // (exclusively when Exclusive is set) when it is closed.
    void Update();
    int Count() const { return static_cast<int>(items_.size()); }
    const TIndexDef& operator[](int i) const { return items_.at(static_cast<size_t>(i)); }
    const std::vector<TIndexDef>& Items() const { return items_; }

  private:
    friend class TTable;
    TTable& owner_;
    std::vector<TIndexDef> items_;
};

class TTable {
  public:
    // `name` is the component name used in messages ("Table2").
    explicit TTable(std::string name);
    ~TTable();
    TTable(const TTable&) = delete;
    TTable& operator=(const TTable&) = delete;

    const std::string& Name() const { return name_; }

    // Closed-only properties: changing one on an open table raises EDatabaseError
    // "<name>: Cannot perform this operation on an open dataset"; setting the value held
    // does nothing, even when open.
    const std::string& DatabaseName() const { return databaseName_; }
    void SetDatabaseName(const std::string& value);
    const std::string& TableName() const { return tableName_; }
    void SetTableName(const std::string& value);
    bool Exclusive() const { return exclusive_; }
    void SetExclusive(bool value);

    // Opens the table (sole use when Exclusive); raises EDBEngineError on failure.
    void Open();
    // Closes the table; closing a closed table does nothing.
    void Close();
    bool Active() const;
    void SetActive(bool value) { value ? Open() : Close(); }

    // The engine cursor and database of an open table (nullptr when closed).
    CursorHandle Handle() const;
    DatabaseHandle DBHandle() const;

    // Brackets for data-aware controls; counted, and observable for tests.
    void DisableControls() {
        ++disableCount_;
        ++disableCalls_;
    }
    void EnableControls() {
        if (disableCount_ > 0)
            --disableCount_;
        ++enableCalls_;
    }
    bool ControlsDisabled() const { return disableCount_ > 0; }
    int DisableControlsCalls() const { return disableCalls_; }
    int EnableControlsCalls() const { return enableCalls_; }

    TIndexDefs& IndexDefs() { return indexDefs_; }

    // Adds a maintained tag named `name` keyed by the dBASE expression `fields` to the table's
    // production index, creating the index file when there is none. Of `options`, ixUnique and
    // ixDescending make the tag unique and descending (a dBASE tag is descending as a whole, so
    // `descFields` is not looked at); `forCondition`, when not empty, is the tag's FOR condition
    // (a logical dBASE expression: only the records it admits are in the tag).
    // On a closed table the call holds the table for sole use while it writes. On a table open
    // for sole use (Exclusive) it works under that hold, so that a caller can make several
    // changes to the table's index under one hold; on a table open for shared use it raises
    // EDBEngineError. Then the file is the one the open table holds, as found when opened.
    // A damaged table is refused before anything is written (CheckTableDamage).
    void AddIndex(const std::string& name, const std::string& fields, TIndexOptions options,
                  const std::string& descFields = std::string(),
                  const std::string& forCondition = std::string());

    // One tag for AddIndexes: the arguments of an AddIndex call.
    struct NewIndex {
        std::string name;
        std::string fields;
        TIndexOptions options = 0;
        std::string forCondition;
    };
    // Adds `tags` to the production index, in order, leaving the index file as that many
    // AddIndex calls would, but builds them into one new file: one flush, one rename and the
    // header's flag set once, where each AddIndex call copies the file, flushes and renames it.
    // `beforeEach(i)`, when given, is called before tag i is looked at. A tag that AddIndex
    // would refuse before writing anything (its name, a name the index or an earlier tag of the
    // list holds, its key or FOR expression, a full tag table) ends the list: the tags before it
    // are put in place first, as the AddIndex calls before it would have done, then its
    // EDBEngineError is raised. Any other failure raises EDBEngineError with the index as it
    // was before the call. Holds and open states as for AddIndex.
    void AddIndexes(const std::vector<NewIndex>& tags,
                    const std::function<void(size_t)>& beforeEach = {});

    // Gives the table, open for sole use, a production index of `tags` alone in place of the one
    // it has (whatever that holds): the file AddIndexes writes into a table without an index,
    // built under the language driver `languageDriver`, which the header names afterwards with
    // its production index flag set. Tags are taken and refused as AddIndexes takes them; when
    // the first is refused nothing changes. The old index stays in place, and the header as it
    // was, until the new file is complete and flushed; it then takes the old one's place in one
    // rename while nobody else has any of the table's files open (ReplaceTableFiles), and any
    // other spelling of the index's name goes. The header bytes are written only where they
    // change, so that a process ended at any moment leaves the old index with its header, the
    // new one with its header, or at worst an index file the header does not name (flag clear):
    // never a flag without its file, nor an index under another language driver than the
    // header's. Where the language driver changes, the flag is cleared (with the new language
    // driver) before the rename and set after it. Raises EDBEngineError; a failure before the
    // rename leaves the old index and header as they were, except after another program opened
    // the table in between (kStatusTableInUse): the flag then stays clear rather than change
    // under the program that read the header. `beforeEach` as for AddIndexes.
    void ReplaceIndexes(const std::vector<NewIndex>& tags, uint8_t languageDriver,
                        const std::function<void(size_t)>& beforeEach = {});

    // Writes header bytes 28 (the production index flag) and 29 (the language driver id) of
    // the table open for sole use, through the engine's own hold of the file; nothing else of
    // the file changes. Raises EDBEngineError when the table is not open for sole use or is no
    // dBASE table, or when the write fails.
    void SetIndexHeaderBytes(uint8_t productionIndexFlag, uint8_t languageDriver);

    // Gives the table, open for sole use, the production index file `indexPath`, built over its
    // records with the tags of the index file at `sourceIndexPath` (their order, names, key and
    // FOR expressions, unique and descending flags) and its block size and base name, under the
    // table's language driver. A damaged table is refused first (CheckTableDamage). The new file
    // is written beside `indexPath` and renamed over it:
    // the index is at every moment either the old file or the whole new one. The table's header
    // is not changed. `indexPath` must name a file beside the table named like it with the
    // extension ".mdx", whatever the case. Raises EDBEngineError (the old index then stays as it
    // was).
    void RebuildIndexFrom(const std::string& sourceIndexPath, const std::string& indexPath);

    // Raises EDBEngineError, naming the table and its damage as the pack does (Kind() Damaged,
    // File() the table), when the open table is a damaged dBASE table: a header length that
    // disagrees with its field descriptors, or a file that ends inside a record
    // (engine/table/TableDamage.h). Its production index is not looked at: the index steps
    // replace it. Does nothing for a closed table or another driver's. AddIndex, AddIndexes and
    // RebuildIndexFrom make the same check before they write anything; a caller that changes the
    // table's files itself first calls this.
    void CheckTableDamage() const;
    // Raises EDBEngineError (Kind() AccessDenied, File() the file) when the table is open for
    // sole use and it, its memo or its index file is marked read-only (TableLease::RefuseReadOnly):
    // a caller that changes the table's files itself calls this before it changes anything.
    // Does nothing for a closed table or one open in shared use.
    void CheckTableWritable() const;

    // Full path of the table file: DatabaseName followed by the file as found on disk
    // (case aside).
    std::string TablePath() const;

  private:
    std::string name_;
    std::string databaseName_;
    std::string tableName_;
    bool exclusive_ = false;
    int disableCount_ = 0;
    int disableCalls_ = 0;
    int enableCalls_ = 0;
    TIndexDefs indexDefs_;
    std::unique_ptr<ari::engine::Cursor> cursor_;
    std::unique_ptr<ari::engine::Database> database_;
};

// ---- Engine operations called directly by the pack routine. Each returns a status, 0 = OK;
// a caller turns a nonzero status into EDBEngineError with Check().

// Size of the cursor information record; the table-type text is 32 bytes at offset 263.
inline constexpr size_t kCursorInfoSize = 1024;
inline constexpr size_t kCursorInfoTypeOffset = 263;
inline constexpr size_t kCursorInfoTypeLength = 32;
// The table descriptor that EngineRestructure takes: engine/format/TableDescriptor.h.
using ari::kTableDescriptorSize;
inline constexpr uint16_t kObjectKindDatabase = 4;

uint16_t EngineCursorInfo(CursorHandle cursor, uint8_t* record /* kCursorInfoSize bytes */);
uint16_t EngineDatabaseOf(CursorHandle cursor, uint16_t objectKind, DatabaseHandle* database);
uint16_t EnginePack(DatabaseHandle database, CursorHandle cursor, const char* tableName,
                    const char* driverType, int32_t regenerateIndexes);
uint16_t EngineRestructure(DatabaseHandle database, uint16_t descriptorCount,
                           const uint8_t* descriptor /* kTableDescriptorSize bytes */,
                           const char* saveAs, const char* keyviolName, const char* problemsName,
                           int32_t analyzeOnly);

// Raises EDBEngineError for a nonzero status (with the engine's texts for it and the error
// report of the last failed operation); does nothing for 0.
void Check(uint16_t status);
