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
//
// Sole use also means that nobody else has the files open at all: a program between two edits
// holds no lock, yet every write it makes after a replace lands in the unlinked old file. So a
// sole-use lease proves, for each held file, that no other open file description of it exists:
// when it is acquired, and again for the span of each operation that changes the files (a
// SoleUseHold: a pack, an index build, the settling of an interrupted replace), keeping the proof
// up to and including the renames. The proof is:
//   * a write lease (F_SETLEASE F_WRLCK), which the kernel grants only while nobody else has the
//     file open; another process's open of the file then breaks it: the opener waits (up to
//     /proc/sys/fs/lease-break-time) until we let go, and F_GETLEASE reports the break;
//   * where no lease can be had (a file system without leases, leases disabled, not the owner
//     and not root), a look through every process's open descriptors (/proc/*/fd, by device and
//     inode) finds no other; unlike a lease this cannot hold an opener back, so it is repeated
//     at each check. A process whose descriptors cannot be looked at counts as a holder. A
//     client that opens, writes without a lock and closes between two looks leaves nothing to
//     find: so each check (and LostProof) also compares the file's size and modification time
//     with what they were when it was proven, and a change is "table in use" like an opener.
//     The pack compares, besides, the bytes of the old table with the bytes it read, before and
//     after its renames (ReplaceTableFiles), since a write within one tick of the file system's
//     clock may leave the modification time as it was. A write that lands after the last
//     comparison, in an old file already renamed away, is not seen: only leases close that gap.
// The proof is kept only while a SoleUseHold lasts, not for as long as a table stays open for
// sole use: a lease holds every opener back, and a dBASE client opening a table this program
// merely keeps open would wait lease-break-time instead of being told at once that it is in use.
// This process's own access to a held file goes through OpenTableFile, which hands out a
// duplicate of the held descriptor (the same open file description), so the engine never
// breaks its own lease; a second open description in this process is refused like any other.
// A lease break triggers SIGIO to this process; the engine installs a handler that does nothing
// (only where SIGIO still has its default action, which would end the process).
//
// Protocol of a replace (pack, index build; TableFiles.h ReplaceTableFiles):
//   1. CheckSoleUse: every held file still proven (a lost proof is taken again, or refused).
//   2. The old files get backup names (hard links); the new files are proven (leased) too.
//   3. CheckSoleUse again, right before the rename(s): a break is "table in use": the new files
//      are abandoned, the leases released, and the opener goes on with the untouched old file.
//   4. The rename(s), then LostProof: when a break of an old file arrived in between, the
//      old files are renamed back from their backups before any lease is released, and the
//      replace is "table in use". Never is a file renamed over after a break was seen.
//   5. The lease takes over the new descriptors with their proof and lets go of the old ones.
// What a check refuses is EDBEngineError kStatusTableInUse naming the file and, where known,
// the process that has it open.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Env.h"

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
bool TryLockWholeFile(FileHandle fd, bool write);

// What conflicts with sole use of an open file: "" when nothing, else a sentence naming the
// kind of lock and, for classic locks, the process.
std::string DescribeConflictingLock(FileHandle fd, bool* inDbaseRegion = nullptr);

// Opens a table or companion file (Env::Open flags). When this process holds the file for sole
// use, returns a duplicate of the held handle instead of opening it again (an own second open
// would break the lease); it is then open for reading and writing whatever `flags` asked.
// kNoFile with errno set on failure.
FileHandle OpenTableFile(const std::string& path, unsigned flags);

// How a lease proves that nobody else has a held file open.
enum class SoleUseProof { None, Lease, ProcessScan };
// The environment variable ARI_SOLE_USE_PROOF=scan (read once) makes every proof a look
// through /proc instead of a lease: for tests of that path, and for systems where leases
// misbehave.

class TableLease {
  public:
    // Acquires use of `tablePath` and, for sole use, of each existing file of `companions`; with
    // sole use, a replace of these files that a process left halfway is then settled
    // (RecoverInterruptedReplace, engine/table/TableFiles.h). Throws EDBEngineError
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
    // The handle through which the file named `path` (as Files() names it) is held; kNoFile
    // when it is not held (shared use, or no such file).
    FileHandle HeldHandle(const std::string& path) const;

    // REQUIRES: sole use. A new file was renamed over `path` (the table or a companion); `fd` is
    // its descriptor holding a whole-file write lock. The lease takes it over and lets go of the
    // old file.
    void Replace(const std::string& path, FileHandle fd);

    // Throws EDBEngineError kStatusWriteError (Kind() AccessDenied, File() the file), naming the
    // file and its read-only mark, when a held file is read-only: the read-only attribute on
    // Windows, no write permission bit at all on POSIX (refused for every user, root included,
    // as Windows refuses its administrators). A replace would put a new file in its place, so
    // the mark is honoured before anything is written. Does nothing in shared use.
    void RefuseReadOnly() const;

    // REQUIRES: sole use and a SoleUseHold on this lease. Throws EDBEngineError
    // kStatusTableInUse (naming the file and, where known, who has it open) unless no other open
    // file description of any held file exists now and since the hold proved it; a file without
    // proof (a new one) is proven now. On a refusal every lease is released first, so that the
    // opener goes on at once.
    void CheckSoleUse();
    // True when an open of a held file has broken its lease since it was taken (cheap: no look
    // through /proc); for long operations to give up early through CheckSoleUse.
    bool LeaseBroken() const;
    // REQUIRES: sole use and a SoleUseHold. Proves a new file (held by `fd`, named `path` in
    // messages) that is to be renamed over a held one, so that an open of it after the rename is
    // seen. Throws kStatusTableInUse when another description of it exists.
    void ProveNewFile(FileHandle fd, const std::string& path);
    // After the rename(s) of a replace: "" when every held (old) file is still proven, i.e.
    // nobody opened one of them (nor, by the look, wrote to one) since the last check; else the
    // path of one that is not.
    // Changes nothing.
    std::string LostProof() const;
    // Releases every lease (so that a blocked opener goes on) and forgets the proofs.
    void ReleaseProofs();
    // The weakest proof of the held files (None for shared use or when one was lost).
    SoleUseProof Proof() const;

  private:
    friend class SoleUseHold;
    TableLease() = default;
    struct Held {
        std::string path;
        FileHandle fd = kNoFile;
        SoleUseProof proof = SoleUseProof::None;
        uint64_t size = 0;     // when proven by a look: the file's size then
        int64_t modified = 0;  // and its modification time
    };
    // The file held as `h`, proven by a look through /proc, was written since (its size or
    // modification time changed).
    static bool WrittenSinceLook(const Held& h);
    // Proves every held file without proof; throws (after ReleaseProofs) on a refusal.
    void ProveAll();
    [[noreturn]] void RefuseInUse(const std::string& path, const std::string& who);
    std::string tablePath_;
    ShareMode mode_ = ShareMode::Shared;
    std::vector<Held> held_;  // sole use: every file; shared: empty (the registry holds the fd)
    uint64_t dev_ = 0, ino_ = 0;
    bool registered_ = false;  // counted in the process registry
    int holds_ = 0;            // SoleUseHolds alive on this lease
};

// The span of one operation on a table held for sole use (pack, index build, replace): the
// constructor proves that nobody else has any held file open (throws EDBEngineError
// kStatusTableInUse otherwise) and keeps that proof, by leases, until the outermost hold ends;
// holds nest. REQUIRES: `lease` holds its files for sole use.
class SoleUseHold {
  public:
    explicit SoleUseHold(TableLease& lease);
    ~SoleUseHold();
    SoleUseHold(const SoleUseHold&) = delete;
    SoleUseHold& operator=(const SoleUseHold&) = delete;

  private:
    TableLease& lease_;
};

// What a sole-use open of a table (TableLease::Acquire with ShareMode::Exclusive) would meet now,
// found without holding anything past the look.
struct SoleUseProbe {
    bool inUse = false;
    std::string file;  // the file in use ("" when none)
    std::string who;   // a sentence naming the lock or the opener
};

// Looks, for the table file and each existing companion in turn, for what makes Acquire refuse
// sole use: a lock that a whole-file write lock would conflict with (asked of the system, none
// taken), and another open of the file (the proof Acquire takes: a write lease, dropped again at
// once, or where none can be had, the look through /proc). Each file is opened for reading
// only, for the time of the look, and nothing is written. A lease held for one system call holds
// back a program that opens the file in that instant until it is dropped. Throws EDBEngineError,
// as Acquire does, for a file that cannot be opened: not there, a symbolic link, no regular
// file. REQUIRES: this process has none of the files open (its own open would count as
// another).
SoleUseProbe ProbeSoleUse(const std::string& tablePath, const std::vector<std::string>& companions);

// True when this process holds the table file at `path` (shared or sole use).
bool ProcessHoldsTable(const std::string& path);

}  // namespace ari::engine
