// The one interface through which the program reaches the operating system: files, names,
// attributes, locks, processes, the clock and signals. platform/posix/ (Linux) and
// platform/win32/ (Windows) implement this class and the files beside it there, and nothing
// outside those folders includes an operating-system header.
//
// Errors: a call that fails returns what its comment says (-1, kNoFile, false) and leaves the
// reason in errno as a <cerrno> value (ENOENT, EACCES, EAGAIN, ENOSPC, ...); an implementation
// maps its own error codes onto those, so that FileErrors.h stays the one place where reasons
// become the operator's text. A call never throws unless its comment says so.
//
// Thread-safety: every call may be made from any thread; the calls on one handle are not
// ordered against each other. Default() may be replaced only while no other thread runs
// (tests, through ScopedEnvForTesting).
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace ari {

// An open file (or folder) of this process. Owned by whoever opened it; closed with
// Env::Close. Never inherited by programs this process starts.
using FileHandle = int;
inline constexpr FileHandle kNoFile = -1;

// How Env::Open opens a file: one access mode, plus any of the options.
enum OpenFlags : unsigned {
    kOpenRead = 0,
    kOpenWrite = 1,  // write only
    kOpenReadWrite = 2,
    kOpenCreate = 1u << 2,       // create when missing (with the permissions given)
    kOpenExclusive = 1u << 3,    // with kOpenCreate: fail with EEXIST when the name exists
    kOpenTruncate = 1u << 4,     // empty an existing file
    kOpenAppend = 1u << 5,       // every write lands at the end
    kOpenNoFollow = 1u << 6,     // a symbolic link at the last step fails with ELOOP
    kOpenNonBlocking = 1u << 7,  // a pipe without a writer does not make the open wait
    // For sole use of a table's file from this very open: where the system has share modes
    // (Windows) the open allows others nothing but a rename or delete of the name, is refused
    // with EBUSY while anybody else has the file open, and refuses every later open by anybody
    // until it is closed. Elsewhere nothing (the lease is the proof there).
    kOpenSoleUse = 1u << 8,
};

// The errno of Env::RenameOverHeld when the name no longer holds the file this process holds:
// ESTALE where the C library has it (the Windows one has not).
#ifdef ESTALE
inline constexpr int kNameChanged = ESTALE;
#else
inline constexpr int kNameChanged = 200;
#endif

// What a name is.
enum class NameKind { Missing, Regular, Folder, Link, Other };

// Identity of a file: two names or handles with one FileId reach one file.
struct FileId {
    uint64_t device = 0;
    uint64_t node = 0;
    bool operator==(const FileId& o) const { return device == o.device && node == o.node; }
    bool operator!=(const FileId& o) const { return !(*this == o); }
    bool operator<(const FileId& o) const {
        return device != o.device ? device < o.device : node < o.node;
    }
};

struct FileInfo {
    NameKind kind = NameKind::Missing;  // never Link for an open handle
    uint64_t size = 0;                  // bytes, for a regular file
    FileId id;
    unsigned permissions = 0;  // the permission bits (0777 and the set-id and sticky bits)
    int64_t modified = 0;      // time of the last change of its content, ns since 1970
};

enum class LockKind { Read, Write };

// A lock that another open file holds (Env::FindLock).
struct LockHolder {
    LockKind kind = LockKind::Write;
    uint64_t start = 0;
    long pid = 0;  // the holding process when the system tells, else 0
};

// A file this process holds, to be looked for among other processes' open files.
struct OpenFileTarget {
    FileId id;
    FileHandle held = kNoFile;  // this process's own handle, and its duplicates, are not others
};

// One other opener found by Env::FindOtherOpeners.
struct OtherOpener {
    enum class Kind {
        OtherProcess,      // another process has the file open
        ThisProcessAgain,  // this process has it open a second time (not through `held`)
        CannotInspect,     // a process whose open files cannot be looked at: may have it open
        NoProcessList,     // the system's list of processes cannot be read at all
    };
    FileId id;
    Kind kind = Kind::OtherProcess;
    long pid = 0;
    std::string command;  // the process's command name, when known
};

enum class StandardStream { Input, Output, Error };

class Env {
  public:
    virtual ~Env() = default;

    // The Env in force: the platform's own, unless a test installed another.
    static Env* Default();
    // The platform's own implementation (what Default() returns outside tests).
    static Env* Platform();

    // ---- Files

    // Opens `path` (kOpenFlags); kNoFile on failure.
    virtual FileHandle Open(const std::string& path, unsigned flags,
                            unsigned createPermissions = 0666) = 0;
    // Closes the handle; -1 when the system reports a failed write-back (the handle is closed
    // either way).
    virtual int Close(FileHandle file) = 0;
    // Up to `size` bytes at the handle's position (then moved on); -1 on failure, 0 at the end.
    virtual int64_t Read(FileHandle file, void* data, size_t size) = 0;
    // Up to `size` bytes at `offset` (position unchanged); -1 on failure, 0 at the end.
    virtual int64_t ReadAt(FileHandle file, uint64_t offset, void* data, size_t size) = 0;
    // Writes up to `size` bytes at the handle's position; the count written, or -1. One of the
    // three calls tests fail on purpose (with Sync and Rename).
    virtual int64_t Write(FileHandle file, const void* data, size_t size) = 0;
    // Writes up to `size` bytes at `offset` (position unchanged); the count written, or -1.
    virtual int64_t WriteAt(FileHandle file, uint64_t offset, const void* data, size_t size) = 0;
    // Moves the handle's position to `offset` from the start; -1 on failure.
    virtual int Seek(FileHandle file, uint64_t offset) = 0;
    // Puts the file's data and size on disk; -1 on failure (EINVAL: the file cannot be synced,
    // a pipe or a special file).
    virtual int Sync(FileHandle file) = 0;
    // Cuts or extends the file to `size` bytes; -1 on failure.
    virtual int Truncate(FileHandle file, uint64_t size) = 0;
    // What the handle reaches; -1 on failure.
    virtual int Info(FileHandle file, FileInfo* info) = 0;
    // A second handle on the same open file (one position, one set of locks); kNoFile on
    // failure.
    virtual FileHandle Duplicate(FileHandle file) = 0;
    // Copies `size` bytes from `from` at `fromOffset` to `to` at `toOffset`, inside the system
    // where it can; the count copied (short only at the end of `from`), or -1 (ENOSYS, EXDEV,
    // EINVAL: not possible between these two; the caller copies itself).
    virtual int64_t CopyRange(FileHandle from, uint64_t fromOffset, FileHandle to,
                              uint64_t toOffset, size_t size) = 0;
    // Says the file is about to be read from start to end once (a hint; no failure).
    virtual void AdviseSequential(FileHandle file) = 0;
    // Makes reads and writes of a handle opened with kOpenNonBlocking wait again, as those of
    // any other handle; -1 on failure.
    virtual int EndNonBlocking(FileHandle file) = 0;

    // ---- Names

    // What `path` is; `followLink` false looks at a link itself. -1 on failure (ENOENT when the
    // name is missing).
    virtual int PathInfo(const std::string& path, bool followLink, FileInfo* info) = 0;
    // Renames `from` to `to`, replacing a file at `to`; -1 on failure. One of the three calls
    // tests fail on purpose.
    virtual int Rename(const std::string& from, const std::string& to) = 0;
    // Renames `from` over `to` only while `to` still names the file this process holds as
    // `held`; -1 on failure, with kNameChanged when `to` names another file or none (another
    // program put a file there, or took ours away): nothing is changed then, the other file least
    // of all. Where the system can, the check and the rename are one step (Linux: an exchange of
    // the two names, undone when what came back is not ours); elsewhere the look and the rename
    // follow each other. Counted as a rename by tests that fail renames.
    virtual int RenameOverHeld(const std::string& from, const std::string& to, FileHandle held) = 0;
    // Makes `to` a second name of the file `from` (never replacing `to`); -1 on failure.
    virtual int Link(const std::string& from, const std::string& to) = 0;
    // Removes the name of a file (or link); -1 on failure.
    virtual int Remove(const std::string& path) = 0;
    // Creates a new file named `prefix` followed by six unique characters, open for reading
    // and writing, readable and writable by the owner only; its name in `name`. kNoFile on
    // failure.
    virtual FileHandle CreateUniqueFile(const std::string& prefix, std::string* name) = 0;
    // Creates one folder; -1 on failure (EEXIST when the name exists).
    virtual int MakeFolder(const std::string& path, unsigned permissions = 0777) = 0;
    // Creates a new, empty folder named `prefix` followed by six unique characters; the name,
    // or "" on failure.
    virtual std::string MakeUniqueFolder(const std::string& prefix) = 0;
    // The absolute name of the file or folder that `path` reaches, every symbolic link on the
    // way resolved; "" on failure (ENOENT: a step is missing or a link dangles).
    virtual std::string ResolveLinks(const std::string& path) = 0;
    // The names in the folder, "." and ".." left out; -1 on failure.
    virtual int ListFolder(const std::string& path, std::vector<std::string>* names) = 0;
    // Puts the folder's list of names on disk, so that a rename inside it survives a crash;
    // "" is the current folder. Best effort: some file systems refuse it.
    virtual void SyncFolder(const std::string& path) = 0;

    // ---- Attributes

    // Gives the open file `file`, which is about to replace the file at `oldPath`, everything
    // the old file carries (CarryFileAttributes in FileAccess.h states the rules; it calls
    // this). Throws EInOutError naming the attribute when one cannot be carried.
    virtual void CarryAttributes(const std::string& oldPath, FileHandle file) = 0;
    // Gives the open file `file` the owner and group of the file at `fromPath` (a link there is
    // followed), as far as the system allows: only root gives a file away, and only a group the
    // process is in may be given; those refusals leave `file` as it was and are no failure.
    // The permission bits are left alone. -1 on failure (ENOENT when `fromPath` is missing).
    virtual int CarryOwner(const std::string& fromPath, FileHandle file) = 0;
    // Sets the permission bits; -1 on failure.
    virtual int SetPermissions(FileHandle file, unsigned permissions) = 0;
    // Sets the times of last access and change to `seconds` since 1970-01-01 UTC; -1 on failure.
    virtual int SetTimes(FileHandle file, int64_t seconds) = 0;

    // ---- Locks
    // Record locks belong to the open file (not to the process), so closing one handle never
    // drops a lock another handle of this process holds. Bytes [start, start + length);
    // length 0 reaches to the end of any file.

    // Takes the lock without waiting; -1 on failure (EAGAIN or EACCES: another holds a
    // conflicting lock).
    virtual int LockRange(FileHandle file, LockKind kind, uint64_t start, uint64_t length) = 0;
    // Releases this handle's locks on the range; -1 on failure.
    virtual int UnlockRange(FileHandle file, uint64_t start, uint64_t length) = 0;
    // True, with `holder` filled, when another open file (this process's other handles
    // included) holds a lock that conflicts with a `kind` lock on the range; false when none
    // does or the system cannot tell.
    virtual bool FindLock(FileHandle file, LockKind kind, uint64_t start, uint64_t length,
                          LockHolder* holder) = 0;
    // Takes a lock over the whole file that programs of ours honour, waiting for its holder;
    // -1 on failure.
    virtual int LockWholeFileWaiting(FileHandle file) = 0;

    // The sole-use proof: a write lease is broken as soon as any other open of the file is
    // tried. -1 on failure: EAGAIN or EBUSY when another open of the file exists; anything
    // else when leases cannot be had here (then FindOtherOpeners is the proof).
    virtual int TakeLease(FileHandle file) = 0;
    // True while the write lease taken by TakeLease is unbroken.
    virtual bool LeaseIntact(FileHandle file) = 0;
    // Gives the lease up (nothing when there is none).
    virtual void DropLease(FileHandle file) = 0;
    // Looks through every process's open files for another open of each target; at most one
    // finding per target, none for a target nobody else has open.
    virtual std::vector<OtherOpener> FindOtherOpeners(
        const std::vector<OpenFileTarget>& targets) = 0;

    // ---- Processes (started programs and their output: ProgramOutput.h, Environment.h)

    // True when the stream is a terminal.
    virtual bool IsTerminal(StandardStream stream) = 0;

    // ---- Clock

    // Microseconds on a clock that only moves forward (not the wall clock).
    virtual uint64_t MonotonicMicros() = 0;
    // Blocks the calling thread.
    virtual void SleepMilliseconds(unsigned ms) = 0;
    // The local calendar date and time of `seconds` since 1970-01-01 UTC (the time zone of the
    // process); false when it cannot be told.
    virtual bool LocalTime(int64_t seconds, std::tm* local) = 0;

    // ---- Memory

    // From now on memory the process frees is reused or given back rather than kept aside, so
    // that the process's resident size follows what it uses (a long pass of large sorts on
    // several threads would otherwise keep freed blocks in each thread's heap).
    virtual void ReuseFreedMemoryAcrossThreads() = 0;

    // ---- Signals

    // A write past the process's file-size limit fails with EFBIG instead of ending the
    // process.
    virtual void IgnoreFileSizeSignal() = 0;
    // From now on a terminate or interrupt request (a stop, Ctrl-C) only sets the flag that
    // StopRequested reads, and ends any sleep at once.
    virtual void RequestStopOnTerminate() = 0;
    virtual bool StopRequested() = 0;
};

// Forwards every call to a target Env; a test overrides only the calls it fails or watches.
class EnvWrapper : public Env {
  public:
    explicit EnvWrapper(Env* target) : target_(target) {}
    Env* Target() const { return target_; }

    FileHandle Open(const std::string& path, unsigned flags, unsigned createPermissions) override {
        return target_->Open(path, flags, createPermissions);
    }
    int Close(FileHandle file) override { return target_->Close(file); }
    int64_t Read(FileHandle file, void* data, size_t size) override {
        return target_->Read(file, data, size);
    }
    int64_t ReadAt(FileHandle file, uint64_t offset, void* data, size_t size) override {
        return target_->ReadAt(file, offset, data, size);
    }
    int64_t Write(FileHandle file, const void* data, size_t size) override {
        return target_->Write(file, data, size);
    }
    int64_t WriteAt(FileHandle file, uint64_t offset, const void* data, size_t size) override {
        return target_->WriteAt(file, offset, data, size);
    }
    int Seek(FileHandle file, uint64_t offset) override { return target_->Seek(file, offset); }
    int Sync(FileHandle file) override { return target_->Sync(file); }
    int Truncate(FileHandle file, uint64_t size) override { return target_->Truncate(file, size); }
    int Info(FileHandle file, FileInfo* info) override { return target_->Info(file, info); }
    FileHandle Duplicate(FileHandle file) override { return target_->Duplicate(file); }
    int64_t CopyRange(FileHandle from, uint64_t fromOffset, FileHandle to, uint64_t toOffset,
                      size_t size) override {
        return target_->CopyRange(from, fromOffset, to, toOffset, size);
    }
    void AdviseSequential(FileHandle file) override { target_->AdviseSequential(file); }
    int EndNonBlocking(FileHandle file) override { return target_->EndNonBlocking(file); }

    int PathInfo(const std::string& path, bool followLink, FileInfo* info) override {
        return target_->PathInfo(path, followLink, info);
    }
    int Rename(const std::string& from, const std::string& to) override {
        return target_->Rename(from, to);
    }
    int RenameOverHeld(const std::string& from, const std::string& to, FileHandle held) override {
        return target_->RenameOverHeld(from, to, held);
    }
    int Link(const std::string& from, const std::string& to) override {
        return target_->Link(from, to);
    }
    int Remove(const std::string& path) override { return target_->Remove(path); }
    FileHandle CreateUniqueFile(const std::string& prefix, std::string* name) override {
        return target_->CreateUniqueFile(prefix, name);
    }
    int MakeFolder(const std::string& path, unsigned permissions) override {
        return target_->MakeFolder(path, permissions);
    }
    std::string MakeUniqueFolder(const std::string& prefix) override {
        return target_->MakeUniqueFolder(prefix);
    }
    std::string ResolveLinks(const std::string& path) override {
        return target_->ResolveLinks(path);
    }
    int ListFolder(const std::string& path, std::vector<std::string>* names) override {
        return target_->ListFolder(path, names);
    }
    void SyncFolder(const std::string& path) override { target_->SyncFolder(path); }

    void CarryAttributes(const std::string& oldPath, FileHandle file) override {
        target_->CarryAttributes(oldPath, file);
    }
    int CarryOwner(const std::string& fromPath, FileHandle file) override {
        return target_->CarryOwner(fromPath, file);
    }
    int SetPermissions(FileHandle file, unsigned permissions) override {
        return target_->SetPermissions(file, permissions);
    }
    int SetTimes(FileHandle file, int64_t seconds) override {
        return target_->SetTimes(file, seconds);
    }

    int LockRange(FileHandle file, LockKind kind, uint64_t start, uint64_t length) override {
        return target_->LockRange(file, kind, start, length);
    }
    int UnlockRange(FileHandle file, uint64_t start, uint64_t length) override {
        return target_->UnlockRange(file, start, length);
    }
    bool FindLock(FileHandle file, LockKind kind, uint64_t start, uint64_t length,
                  LockHolder* holder) override {
        return target_->FindLock(file, kind, start, length, holder);
    }
    int LockWholeFileWaiting(FileHandle file) override {
        return target_->LockWholeFileWaiting(file);
    }
    int TakeLease(FileHandle file) override { return target_->TakeLease(file); }
    bool LeaseIntact(FileHandle file) override { return target_->LeaseIntact(file); }
    void DropLease(FileHandle file) override { target_->DropLease(file); }
    std::vector<OtherOpener> FindOtherOpeners(const std::vector<OpenFileTarget>& targets) override {
        return target_->FindOtherOpeners(targets);
    }

    bool IsTerminal(StandardStream stream) override { return target_->IsTerminal(stream); }

    uint64_t MonotonicMicros() override { return target_->MonotonicMicros(); }
    void SleepMilliseconds(unsigned ms) override { target_->SleepMilliseconds(ms); }
    bool LocalTime(int64_t seconds, std::tm* local) override {
        return target_->LocalTime(seconds, local);
    }

    void ReuseFreedMemoryAcrossThreads() override { target_->ReuseFreedMemoryAcrossThreads(); }
    void IgnoreFileSizeSignal() override { target_->IgnoreFileSizeSignal(); }
    void RequestStopOnTerminate() override { target_->RequestStopOnTerminate(); }
    bool StopRequested() override { return target_->StopRequested(); }

  private:
    Env* target_;
};

// Installs `env` as Env::Default() for its lifetime and restores the one before it. Tests only;
// REQUIRES: no other thread of the process uses the Env while one is installed or removed.
class ScopedEnvForTesting {
  public:
    explicit ScopedEnvForTesting(Env* env);
    ~ScopedEnvForTesting();
    ScopedEnvForTesting(const ScopedEnvForTesting&) = delete;
    ScopedEnvForTesting& operator=(const ScopedEnvForTesting&) = delete;

  private:
    Env* previous_;
};

// The kind of the name `path` (a link is Link, not what it names); Missing on any failure.
NameKind KindOfName(const std::string& path);

}  // namespace ari
