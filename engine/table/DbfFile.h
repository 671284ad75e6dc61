// One open dBASE table file (.dbf): opened for shared or sole use (TableLock), its validated
// header and fields, records by number or by a fast sequential scan, its memos; and DbfWriter,
// which creates new tables record by record. Format facts live in DbfFormat.h.
// Not thread-safe: one thread uses an object at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/format/DbfFormat.h"
#include "engine/format/Field.h"
#include "engine/table/MemoFile.h"
#include "engine/table/TableLock.h"

namespace ari::engine {

class TemporaryFile;

class DbfFile {
  public:
    // Opens `path` for shared use or sole use. Sole use also holds the table's memo and
    // production index files (found whatever the case of their names), and opens the file for
    // writing. Throws EDBEngineError: kStatusTableNotFound, kStatusNotATableFile,
    // kStatusTableInUse / kStatusRecordsLocked, kStatusCorruptHeader, kStatusUnsupportedFormat.
    static std::unique_ptr<DbfFile> Open(const std::string& path, ShareMode mode);
    // Opens without taking any lock: for code that already holds the table through a lease (the
    // pack, index builds on a table held for sole use). `writable` opens for writing.
    static std::unique_ptr<DbfFile> OpenHeld(const std::string& path, bool writable = false);
    // Over a descriptor the caller owns (not closed here); used by the fuzz target.
    static std::unique_ptr<DbfFile> FromDescriptor(FileHandle fd, const std::string& path);
    ~DbfFile();
    DbfFile(const DbfFile&) = delete;
    DbfFile& operator=(const DbfFile&) = delete;

    const std::string& Path() const { return path_; }
    const DbfHeader& Header() const { return header_; }
    const std::vector<FieldDef>& Fields() const { return header_.fields; }
    uint8_t Version() const { return header_.version; }
    uint8_t LanguageDriver() const { return header_.languageDriver; }
    uint8_t ProductionIndexFlag() const { return header_.productionIndexFlag; }
    uint16_t HeaderLength() const { return header_.headerLength; }
    uint16_t RecordLength() const { return header_.recordLength; }
    uint64_t FileSize() const { return fileSize_; }
    // Records the engine reads and keeps: the header's count reconciled with the file size by
    // the count rule (PhysicalRecordCount); HeaderRecordCount is the stored value.
    uint32_t RecordCount() const { return recordCount_; }
    uint32_t HeaderRecordCount() const { return header_.recordCount; }
    // The lease when opened with Open (nullptr for OpenHeld).
    TableLease* Lease() const { return lease_.get(); }
    // Index of a field by name (case aside), -1 when absent.
    int FieldIndex(const std::string& name) const;

    // Reads record `recno` (1-based, <= RecordCount()) into `buf` (RecordLength() bytes).
    void ReadRecord(uint32_t recno, uint8_t* buf) const;
    std::string ReadRecord(uint32_t recno) const;

    // Sequential reading with large buffered reads: Next() returns the next record (flag byte
    // first) or nullptr at the end; the pointer stays valid until the next call.
    class Scanner {
      public:
        explicit Scanner(const DbfFile& file, size_t bufferBytes = size_t{4} << 20);
        const uint8_t* Next();
        uint32_t RecNo() const { return recno_; }  // of the record Next() returned last

      private:
        const DbfFile& file_;
        std::vector<uint8_t> buf_;
        size_t perRead_ = 1, inBuf_ = 0, pos_ = 0;
        uint32_t recno_ = 0, loaded_ = 0;
    };

    // The memo file (.dbt beside the table, any case); nullptr when the table has none. Throws
    // kStatusMemoError when the table's memo fields need one that is missing or damaged.
    const MemoFile* Memo() const;
    std::string MemoPath() const;
    // The memo a memo field of `record` points to ("" for an empty pointer). Throws
    // kStatusMemoError for a damaged pointer or a pointer past the end.
    std::string ReadMemoField(const uint8_t* record, const FieldDef& field) const;

    // Header bytes 28 (production index flag) and 29 (language driver), written in place and
    // flushed. REQUIRES: opened for sole use or OpenHeld(writable).
    void SetProductionIndexFlag(uint8_t value);
    void SetLanguageDriver(uint8_t value);
    // Both bytes in one write and one flush (they are adjacent).
    void SetIndexHeaderBytes(uint8_t productionIndexFlag, uint8_t languageDriver);

  private:
    DbfFile() = default;
    void Load(FileHandle fd, bool owned, const std::string& path);
    void WriteHeaderByte(size_t offset, uint8_t value);

    std::unique_ptr<TableLease> lease_;
    FileHandle fd_ = kNoFile;
    bool owned_ = false;
    bool writable_ = false;
    std::string path_;
    DbfHeader header_;
    uint64_t fileSize_ = 0;
    uint32_t recordCount_ = 0;
    mutable bool memoLoaded_ = false;
    mutable std::unique_ptr<MemoFile> memo_;
};

// The companion extensions a table held for sole use also holds.
const std::vector<std::string>& DbaseCompanionExtensions();

// Creates a new table file. Records are buffered and written as they come; Finish() writes the
// count, the 0x1A end byte, flushes, and moves the file into place (it does not exist at `path`
// until then; an existing file at `path` is an error). Field offsets are computed here; names
// are stored upper case.
class DbfWriter {
  public:
    DbfWriter(const std::string& path, std::vector<FieldDef> fields, uint8_t version = 0x03,
              uint8_t languageDriver = 0);
    ~DbfWriter();
    DbfWriter(const DbfWriter&) = delete;
    DbfWriter& operator=(const DbfWriter&) = delete;

    const std::vector<FieldDef>& Fields() const { return fields_; }
    uint16_t RecordLength() const { return recordLength_; }
    // Sets a header byte the writer does not own (28 production index flag, 29 language driver,
    // reserved bytes). REQUIRES: offset < 32 and not one of bytes 0-11.
    void SetHeaderByte(size_t offset, uint8_t value);
    // Appends one whole record (RecordLength() bytes, flag byte first).
    void AppendRaw(const uint8_t* record);
    // Appends a record from field texts: C left-aligned and blank padded, N/F right-aligned,
    // others as given and padded; texts longer than the field are an error.
    void Append(const std::vector<std::string>& values, bool deleted = false);
    uint32_t Count() const { return count_; }
    void Finish();

  private:
    void Flush();
    std::string path_;
    std::vector<FieldDef> fields_;
    uint16_t recordLength_ = 1;
    std::vector<uint8_t> header_;
    std::vector<uint8_t> buffer_;
    uint32_t count_ = 0;
    std::unique_ptr<TemporaryFile> temp_;
    bool finished_ = false;
};

// Today's date as the header stores it (year - 1900, month, day).
void TodayForHeader(uint8_t ymd[3]);

}  // namespace ari::engine
