// Fixture tables for the maintenance tests, made with the engine's own table writer: a dBASE
// III table with memos and deleted records, its expected surviving rows, and readers that give
// a table's rows, memos and header bytes back for comparison.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "log/OperationLog.h"
#include "maintenance/RunSummary.h"

namespace ari::test {

struct FixtureRow {
    std::string id;    // ID N(5,0)
    std::string name;  // NAME C(20)
    std::string note;  // NOTE M: "" for no memo
    bool deleted = false;
};

// The rows of the standard live table: five rows, two of them deleted, memos short and
// spanning several blocks.
std::vector<FixtureRow> StandardRows();

// The rows of `rows` that a pack keeps: the ones not deleted, in order.
std::vector<FixtureRow> Surviving(const std::vector<FixtureRow>& rows);

// Writes `path` (ID, NAME, NOTE; version 0x83) and its memo file (same name, ".dbt") with
// `rows`. Header byte 28 and 29 are set from `productionIndexFlag` and `languageDriver`.
void MakeTable(const std::string& path, const std::vector<FixtureRow>& rows,
               uint8_t productionIndexFlag = 0, uint8_t languageDriver = 0);

// The live (not deleted) rows of a table as the engine reads them, memos included, trailing
// blanks of the name dropped; fails the current test when the table cannot be read.
std::vector<FixtureRow> ReadRows(const std::string& path);

// Records in the file, deleted ones included.
uint32_t RecordCount(const std::string& path);

bool operator==(const FixtureRow& a, const FixtureRow& b);

// A lock on `path` held through an open file description of its own, as another user of the
// file holds it (OFD locks conflict across descriptions, within one process too). `type` is
// 'r' or 'w'; length 0 means to the end of any file. Released when destroyed.
class ForeignLock {
  public:
    ForeignLock(const std::string& path, char type, uint64_t start = 0, uint64_t length = 0);
    ~ForeignLock();
    ForeignLock(const ForeignLock&) = delete;
    ForeignLock& operator=(const ForeignLock&) = delete;

  private:
    int fd_ = -1;
};

// Bytes of a file ("" when it cannot be read).
std::string Bytes(const std::string& path);

// The operation log as a panel shows it, for as long as the object lives: the lines written
// since the last clearing, one per line.
class RecordedLog {
  public:
    RecordedLog();
    std::string toPlainText() const { return ari::JoinedLines(lines_); }
    const std::vector<std::string>& Lines() const { return lines_; }
    void clear() { lines_.clear(); }

  private:
    std::vector<std::string> lines_;
    ari::LogSubscription subscription_;
};

// Another process that opens `table` of `folder` through the engine (shared use, as another
// user's program) and keeps it open until released or destroyed.
class HeldByChild {
  public:
    HeldByChild(const std::string& folder, const std::string& table);
    ~HeldByChild() { Release(); }
    HeldByChild(const HeldByChild&) = delete;
    HeldByChild& operator=(const HeldByChild&) = delete;

    bool Holding() const { return holding_; }
    void Release();

  private:
    int child_ = -1;
    bool holding_ = false;
};

}  // namespace ari::test
