// Shared and sole use of tables across processes, with open-file-description locks
// (F_OFD_SETLK): a lock belongs to the descriptor that took it, so closing another descriptor of
// the same file never drops it. This module is the one place that knows which tables this
// process holds (a registry keyed by device and inode).
//
// Scheme (doc/engine-format.md): a shared user holds a read lock on one byte at
// kSharedUseOffset of the table file, above the dBASE lock region so that record and table locks
// of the legacy application never collide with it. Sole use is a write lock over the whole of
// the table file and of each companion (.dbt, .mdx ...), which fails while anybody holds any
// lock there: our shared users, or a dBASE client's record / header locks at 0xEFFFFFFE - n.
// Not thread-safe beyond the registry's own mutex; one thread uses a lease at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ari::engine {

enum class ShareMode { Shared, Exclusive };

// dBASE lock offsets (header / file-update lock; record n at kDbaseLockBase - n).
inline constexpr uint64_t kDbaseLockBase = 0xEFFFFFFEull;
inline constexpr uint64_t kDbaseAppendLock = 0xEFFFFFFFull;
inline constexpr uint64_t kDbaseRecordLockSpan = 1000000000ull;
// Our shared-use marker byte.
inline constexpr uint64_t kSharedUseOffset = 0xF0000000ull;

// Takes (non-blocking) an OFD read or write lock over the whole of an open file; false when
// another lock conflicts. REQUIRES: fd open for writing when `write`.
bool TryLockWholeFile(int fd, bool write);

// What conflicts with sole use of an open file: "" when nothing, else a sentence naming the
// kind of lock and, for classic locks, the process.
std::string DescribeConflictingLock(int fd, bool* inDbaseRegion = nullptr);

class TableLease {
  public:
    // Acquires use of `tablePath` and, for sole use, of each existing file of `companions`; with
    // sole use, a replace of these files that a process left halfway is then settled
    // (RecoverInterruptedReplace, engine/TableFiles.h). Throws EDBEngineError
    // (kStatusTableInUse, kStatusRecordsLocked, kStatusTableNotFound ...) naming the file.
    static std::unique_ptr<TableLease> Acquire(const std::string& tablePath,
                                               const std::vector<std::string>& companions,
                                               ShareMode mode);
    ~TableLease();
    TableLease(const TableLease&) = delete;
    TableLease& operator=(const TableLease&) = delete;

    ShareMode Mode() const { return mode_; }
    const std::string& TablePath() const { return tablePath_; }
    // The held files (table first).
    std::vector<std::string> Files() const;

    // REQUIRES: sole use. A new file was renamed over `path` (the table or a companion); `fd` is
    // its descriptor holding a whole-file write lock. The lease takes it over and lets go of the
    // old file.
    void Replace(const std::string& path, int fd);
    // REQUIRES: sole use. Locks a companion created while the table is held (a new index file).
    void Add(const std::string& path);

  private:
    TableLease() = default;
    struct Held {
        std::string path;
        int fd = -1;
    };
    std::string tablePath_;
    ShareMode mode_ = ShareMode::Shared;
    std::vector<Held> held_;  // sole use: every file; shared: empty (the registry holds the fd)
    uint64_t dev_ = 0, ino_ = 0;
    bool registered_ = false;  // counted in the process registry
};

// True when this process holds the table file at `path` (shared or sole use).
bool ProcessHoldsTable(const std::string& path);

}  // namespace ari::engine
