#include "engine/table/TableLock.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "engine/EngineStatus.h"
#include "engine/Progress.h"
#include "engine/table/TableFiles.h"
#include "platform/FileAccess.h"
#include "platform/FileErrors.h"
#include "platform/ScopedFd.h"

namespace ari::engine {

namespace {

using Key = FileId;

// This process's tables: shared holders share one descriptor with the read lock; a table held
// for sole use is marked so that a second component of this process is refused at once.
struct Entry {
    ShareMode mode = ShareMode::Shared;
    int sharedCount = 0;
    FileHandle sharedFd = kNoFile;
};

std::mutex registryMutex;
std::map<Key, Entry>& Registry() {
    static std::map<Key, Entry> registry;
    return registry;
}
// Every file this process holds for sole use (tables and companions), with the held descriptor
// that OpenTableFile duplicates.
std::map<Key, FileHandle>& HeldFds() {
    static std::map<Key, FileHandle> held;
    return held;
}

bool SetLock(FileHandle fd, LockKind kind, uint64_t start, uint64_t len) {
    return Env::Default()->LockRange(fd, kind, start, len) == 0;
}

[[noreturn]] void RaiseOpenError(int err, const std::string& path) {
    if (err == ENOENT)
        RaiseFileError(kStatusTableNotFound, path);
    RaiseFileError(kStatusReadError, path, {FileErrorText(err)});
}

bool StatKey(FileHandle fd, Key& key) {
    FileInfo info;
    if (Env::Default()->Info(fd, &info) != 0)
        return false;
    key = info.id;
    return true;
}

[[noreturn]] void RaiseInUse(FileHandle fd, const std::string& path, bool exclusiveWanted) {
    bool dbaseRegion = false;
    std::string what = DescribeConflictingLock(fd, &dbaseRegion);
    if (what.empty())
        what = exclusiveWanted ? "Another program has the file open."
                               : "Another program holds the file for sole use.";
    RaiseFileError(dbaseRegion ? kStatusRecordsLocked : kStatusTableInUse, path, {what});
}

FileHandle OpenForLock(const std::string& path, bool write, LinkPolicy links);

// Sole use is taken to change or replace the files: a symbolic link is refused, so that a
// replace never turns a link into a second, diverging copy. Shared use reads through one.
FileHandle OpenForLock(const std::string& path, bool write) {
    return OpenForLock(path, write, write ? LinkPolicy::Refuse : LinkPolicy::Follow);
}

// A regular file with no write permission bit at all: the read-only attribute on Windows.
bool MarkedReadOnly(const FileInfo& info) {
    return info.kind == NameKind::Regular && (info.permissions & 0222u) == 0;
}

[[noreturn]] void RaiseReadOnly(const std::string& path) {
    RaiseEngineError(kStatusWriteError,
                     {"File: " + path, FileErrorMessage(kAccessDenied) + ".",
                      "The file is marked read-only (the read-only attribute, or no write "
                      "permission for anyone); it was left unchanged."},
                     path, ErrorKind::AccessDenied);
}

// Why an open was refused by another program's sharing (Windows: an open that allows others no
// writing, as a dBASE or Clipper program in exclusive mode makes, or none at all).
const char kDeniesWriting[] =
    "Another program has the file open and lets no other program write to it.";
const char kDeniesOpening[] = "Another program has the file open for its sole use.";

// A sole-use open refused because another program has the file open (Windows): what a shared
// look finds in the way, in the words a look without holding anything uses.
[[noreturn]] void RaiseOpenedElsewhere(const std::string& path) {
    const FileHandle fd = Env::Default()->Open(path, kOpenRead | kOpenNoFollow);
    if (fd < 0)
        RaiseFileError(kStatusTableInUse, path, {kDeniesOpening});
    bool dbaseRegion = false;
    std::string what = DescribeConflictingLock(fd, &dbaseRegion);
    Env::Default()->Close(fd);
    if (what.empty()) {
        const FileHandle writer = Env::Default()->Open(path, kOpenReadWrite | kOpenNoFollow);
        what =
            writer < 0 && errno == EAGAIN ? kDeniesWriting : "Another program has the file open.";
        if (writer >= 0)
            Env::Default()->Close(writer);
    }
    RaiseFileError(dbaseRegion ? kStatusRecordsLocked : kStatusTableInUse, path, {what});
}

FileHandle OpenForLock(const std::string& path, bool write, LinkPolicy links) {
    try {
        // Sole use from the first open: where the system has share modes, nobody else can open
        // the file from here until the step ends (Env.h kOpenSoleUse).
        return OpenRegularFile(path, write ? kOpenReadWrite | kOpenSoleUse : kOpenRead, links);
    } catch (const EInOutError& e) {
        if (e.ErrorCode() == kFileNotFound)
            RaiseFileError(kStatusTableNotFound, path);
        if (write && e.ErrorCode() == kSharingViolation)
            RaiseOpenedElsewhere(path);
        if (e.ErrorCode() == kSharingViolation)  // in use, not unreadable
            RaiseFileError(kStatusTableInUse, path, {kDeniesOpening});
        FileInfo info;
        if (write && e.ErrorCode() == kAccessDenied &&
            Env::Default()->PathInfo(path, true, &info) == 0 && MarkedReadOnly(info))
            RaiseReadOnly(path);
        if (e.Message() == FileErrorMessage(e.ErrorCode()))  // the open itself failed
            RaiseFileError(kStatusReadError, path, {e.Message()});
        RaiseFileError(kStatusNotATableFile, path, {e.Message() + "."});
    }
}

bool KeyOfPath(const std::string& path, bool followLink, Key& key) {
    FileInfo info;
    if (Env::Default()->PathInfo(path, followLink, &info) != 0)
        return false;
    key = info.id;
    return true;
}

// ---- Proof that nobody else has a file open

bool ScanOnly() {
    static const bool scanOnly = [] {
        const char* v = std::getenv("ARI_SOLE_USE_PROOF");
        return v && std::strcmp(v, "scan") == 0;
    }();
    return scanOnly;
}

// A sentence naming who else has the file open.
std::string DescribeOpener(const OtherOpener& o) {
    const std::string pid = std::to_string(o.pid);
    switch (o.kind) {
        case OtherOpener::Kind::OtherProcess:
            if (o.pid == 0)  // the system does not tell which (Windows)
                return "Another program has the file open.";
            return "Another program (process " + pid + ", " + o.command + ") has the file open.";
        case OtherOpener::Kind::ThisProcessAgain:
            return "This program (process " + pid + ") has the file open a second time.";
        case OtherOpener::Kind::CannotInspect:
            return "Another program (process " + pid + ", " + o.command +
                   ") may have the file open; its open files cannot be looked at.";
        case OtherOpener::Kind::NoProcessList:
            break;
    }
    return "The open files of other processes cannot be looked at (/proc).";
}

// Looks through every process's open files for another open file description of the file
// held by `fd`: "" when there is none, else a sentence naming the process. A process whose
// open files cannot be read (another user's, for a process without the right) cannot be
// cleared and is named too.
std::string WhoElseHasOpen(FileHandle fd) {
    Key key{};
    // A handle that cannot be looked at proves nothing (and would find nobody).
    if (!StatKey(fd, key))
        return "The held file cannot be looked at: " + FileErrorText(errno) + ".";
    const auto found = Env::Default()->FindOtherOpeners({{key, fd}});
    return found.empty() ? std::string() : DescribeOpener(found.front());
}

bool LeaseIntact(FileHandle fd) {
    return Env::Default()->LeaseIntact(fd);
}

// Proves that no other open file description of the file held by `fd` exists: by a write
// lease, kept until released, or where none can be had by a look through /proc. Sets `who`
// (possibly empty) when another exists.
bool ProveFile(FileHandle fd, SoleUseProof& proof, std::string& who) {
    proof = SoleUseProof::None;
    if (!ScanOnly()) {
        if (Env::Default()->TakeLease(fd) == 0) {
            proof = SoleUseProof::Lease;
            return true;
        }
        if (errno == EAGAIN || errno == EBUSY) {
            who = WhoElseHasOpen(fd);
            return false;
        }
        // No lease on this file system, leases disabled, or not the owner: look instead.
    }
    who = WhoElseHasOpen(fd);
    if (!who.empty())
        return false;
    proof = SoleUseProof::ProcessScan;
    return true;
}

// The proof `proof` of the file held by `fd` still stands.
bool StillProven(FileHandle fd, SoleUseProof proof) {
    switch (proof) {
        case SoleUseProof::Lease:
            return LeaseIntact(fd);
        case SoleUseProof::ProcessScan:
            return WhoElseHasOpen(fd).empty();
        case SoleUseProof::None:
            break;
    }
    return false;
}

void DropLease(FileHandle fd, SoleUseProof& proof) {
    if (proof == SoleUseProof::Lease)
        Env::Default()->DropLease(fd);
    proof = SoleUseProof::None;
}

}  // namespace

FileHandle OpenTableFile(const std::string& path, unsigned flags) {
    Key key{};
    if (KeyOfPath(path, (flags & kOpenNoFollow) == 0, key)) {
        std::lock_guard<std::mutex> guard(registryMutex);
        const auto it = HeldFds().find(key);
        if (it != HeldFds().end())
            return Env::Default()->Duplicate(it->second);
    }
    return Env::Default()->Open(path, flags);
}

bool TryLockWholeFile(FileHandle fd, bool write) {
    return SetLock(fd, write ? LockKind::Write : LockKind::Read, 0, 0);
}

std::string DescribeConflictingLock(FileHandle fd, bool* inDbaseRegion) {
    if (inDbaseRegion)
        *inDbaseRegion = false;
    LockHolder fl;
    if (!Env::Default()->FindLock(fd, LockKind::Write, 0, 0, &fl))
        return {};
    const uint64_t start = fl.start;
    const bool dbase = start >= kDbaseLockBase - kDbaseRecordLockSpan && start <= kDbaseAppendLock;
    if (inDbaseRegion)
        *inDbaseRegion = dbase;
    std::string who = fl.pid > 0 ? " (process " + std::to_string(fl.pid) + ")" : "";
    if (dbase) {
        if (start >= kDbaseLockBase)
            return "Another program" + who + " has locked the table for update.";
        return "Another program" + who + " has locked record " +
               std::to_string(kDbaseLockBase - start) + ".";
    }
    if (start == kSharedUseOffset && fl.kind == LockKind::Read)
        return "Another program" + who + " has the table open.";
    if (fl.kind == LockKind::Write)
        return "Another program" + who + " holds the file for sole use.";
    return "Another program" + who + " has the file open.";
}

std::unique_ptr<TableLease> TableLease::Acquire(const std::string& tablePath,
                                                const std::vector<std::string>& companions,
                                                ShareMode mode) {
    std::unique_ptr<TableLease> lease(new TableLease());
    lease->tablePath_ = tablePath;
    lease->mode_ = mode;
    std::unique_lock<std::mutex> guard(registryMutex);
    auto& reg = Registry();
    // A file this process holds for sole use is never opened again (that would break its lease
    // and wait for ourselves): another component of this program is refused at once.
    Key heldKey{};
    if (KeyOfPath(tablePath, true, heldKey) && HeldFds().count(heldKey))
        RaiseFileError(kStatusTableInUse, tablePath,
                       {"Another component of this program holds the table for sole use."});

    if (mode == ShareMode::Shared) {
        const FileHandle fd = OpenForLock(tablePath, false);
        Key key{};
        StatKey(fd, key);
        lease->dev_ = key.device;
        lease->ino_ = key.node;
        auto it = reg.find(key);
        if (it != reg.end()) {
            Env::Default()->Close(fd);
            if (it->second.mode == ShareMode::Exclusive)
                RaiseFileError(kStatusTableInUse, tablePath,
                               {"Another component of this program holds the table for sole use."});
            ++it->second.sharedCount;
            lease->registered_ = true;
            return lease;
        }
        if (!SetLock(fd, LockKind::Read, kSharedUseOffset, 1)) {
            const int err = errno;
            if (err != EAGAIN && err != EACCES) {
                Env::Default()->Close(fd);
                RaiseOpenError(err, tablePath);
            }
            try {
                RaiseInUse(fd, tablePath, false);
            } catch (...) {
                Env::Default()->Close(fd);
                throw;
            }
        }
        reg[key] = Entry{ShareMode::Shared, 1, fd};
        lease->registered_ = true;
        return lease;
    }

    // Sole use: the table file first, then each companion; any conflict undoes everything.
    std::vector<std::string> files{tablePath};
    files.insert(files.end(), companions.begin(), companions.end());
    for (const auto& path : files) {
        if (KeyOfPath(path, true, heldKey) && HeldFds().count(heldKey))
            RaiseFileError(kStatusTableInUse, path,
                           {"Another component of this program holds the file for sole use."});
        const FileHandle fd = OpenForLock(path, true);
        lease->held_.push_back({path, fd});  // the destructor closes it on failure
        if (path == tablePath) {
            Key key{};
            StatKey(fd, key);
            lease->dev_ = key.device;
            lease->ino_ = key.node;
            if (reg.count(key))
                RaiseFileError(kStatusTableInUse, tablePath,
                               {"Another component of this program has the table open."});
        }
        if (!TryLockWholeFile(fd, true)) {
            const int err = errno;
            if (err != EAGAIN && err != EACCES)
                RaiseOpenError(err, path);
            RaiseInUse(fd, path, true);
        }
    }
    reg[Key{lease->dev_, lease->ino_}] = Entry{ShareMode::Exclusive, 0, -1};
    lease->registered_ = true;
    for (const auto& h : lease->held_) {
        Key key{};
        if (StatKey(h.fd, key))
            HeldFds()[key] = h.fd;
    }
    guard.unlock();
    {
        // Nobody else may have any of the files open, with or without a lock; a replace of
        // these files that a process left halfway is settled before anybody reads them.
        SoleUseHold hold(*lease);
        RecoverInterruptedReplace(*lease);
    }
    return lease;
}

TableLease::~TableLease() {
    std::lock_guard<std::mutex> guard(registryMutex);
    auto& reg = Registry();
    auto it = reg.find(Key{dev_, ino_});
    if (mode_ == ShareMode::Shared) {
        if (registered_ && it != reg.end() && it->second.mode == ShareMode::Shared &&
            --it->second.sharedCount <= 0) {
            Env::Default()->Close(it->second.sharedFd);
            reg.erase(it);
        }
    } else {
        // Only the lease that registered the table removes it (a refused acquire never did).
        if (registered_ && it != reg.end())
            reg.erase(it);
    }
    for (auto& h : held_) {
        if (h.fd < 0)
            continue;
        Key key{};
        if (StatKey(h.fd, key)) {
            const auto f = HeldFds().find(key);
            if (f != HeldFds().end() && f->second == h.fd)
                HeldFds().erase(f);
        }
        Env::Default()->Close(h.fd);  // ends its lease too
    }
}

FileHandle TableLease::HeldHandle(const std::string& path) const {
    for (const auto& h : held_)
        if (h.path == path)
            return h.fd;
    return kNoFile;
}

std::vector<std::string> TableLease::Files() const {
    if (mode_ == ShareMode::Shared)
        return {tablePath_};
    std::vector<std::string> out;
    for (const auto& h : held_)
        out.push_back(h.path);
    return out;
}

void TableLease::Replace(const std::string& path, FileHandle fd) {
    // The new file keeps the lease ProveNewFile took on it. One broken since (somebody opened
    // the new file after its rename, which loses nothing), or proven by a look through /proc
    // (which holds nobody back), is let go, so that an opener goes on, and proven again at the
    // next check.
    SoleUseProof proof = SoleUseProof::Lease;
    if (holds_ == 0 || !LeaseIntact(fd)) {
        Env::Default()->DropLease(fd);
        proof = SoleUseProof::None;
    }
    std::lock_guard<std::mutex> guard(registryMutex);
    Key newKey{};
    if (StatKey(fd, newKey))
        HeldFds()[newKey] = fd;
    for (auto& h : held_) {
        if (h.path != path)
            continue;
        const FileHandle old = h.fd;
        Key oldKey{};
        if (old >= 0 && StatKey(old, oldKey) && oldKey != newKey) {
            const auto f = HeldFds().find(oldKey);
            if (f != HeldFds().end() && f->second == old)
                HeldFds().erase(f);
        }
        h.fd = fd;
        h.proof = proof;
        if (&h == &held_.front()) {
            auto& reg = Registry();
            reg.erase(Key{dev_, ino_});
            Key key{};
            StatKey(fd, key);
            dev_ = key.device;
            ino_ = key.node;
            reg[key] = Entry{ShareMode::Exclusive, 0, -1};
        }
        if (old >= 0)
            Env::Default()->Close(old);
        return;
    }
    held_.push_back({path, fd, proof});
}

void TableLease::ProveAll() {
    for (auto& h : held_) {
        if (h.proof != SoleUseProof::None)
            continue;
        // Taken before the look, so that a write between the two is seen as a change.
        FileInfo info;
        if (Env::Default()->Info(h.fd, &info) == 0) {
            h.size = info.size;
            h.modified = info.modified;
        }
        std::string who;
        if (!ProveFile(h.fd, h.proof, who))
            RefuseInUse(h.path, who);
    }
}

bool TableLease::WrittenSinceLook(const Held& h) {
    if (h.proof != SoleUseProof::ProcessScan)
        return false;
    FileInfo info;
    return Env::Default()->Info(h.fd, &info) != 0 || info.size != h.size ||
           info.modified != h.modified;
}

void TableLease::RefuseInUse(const std::string& path, const std::string& who) {
    ReleaseProofs();
    RaiseFileError(kStatusTableInUse, path,
                   {who.empty() ? "Another program has the file open." : who});
}

SoleUseHold::SoleUseHold(TableLease& lease) : lease_(lease) {
    if (lease_.mode_ != ShareMode::Exclusive)
        RaiseTableError(kStatusNeedExclusive, lease_.tablePath_);
    if (lease_.holds_++ > 0)
        return;
    try {
        lease_.ProveAll();
    } catch (...) {
        --lease_.holds_;
        throw;
    }
}

SoleUseHold::~SoleUseHold() {
    if (--lease_.holds_ == 0)
        lease_.ReleaseProofs();
}

void TableLease::CheckSoleUse() {
    if (mode_ != ShareMode::Exclusive || holds_ == 0)
        RaiseTableError(kStatusNeedExclusive, tablePath_);
    for (auto& h : held_) {
        if (h.proof == SoleUseProof::None || StillProven(h.fd, h.proof))
            continue;
        // Somebody opened the file since it was proven (a pending lease break, or a descriptor
        // found by the look through /proc).
        std::string who = WhoElseHasOpen(h.fd);
        if (who.empty())
            who = "Another program opened the file while it was held for sole use.";
        RefuseInUse(h.path, who);
    }
    for (const auto& h : held_)
        if (WrittenSinceLook(h))
            RefuseInUse(h.path,
                        "Another program wrote to the file while it was held for sole use.");
    ProveAll();
}

void TableLease::RefuseReadOnly() const {
    if (mode_ != ShareMode::Exclusive)
        return;
    for (const auto& h : held_) {
        FileInfo info;
        if (h.fd >= 0 && Env::Default()->Info(h.fd, &info) == 0 && MarkedReadOnly(info))
            RaiseReadOnly(h.path);
    }
}

void TableLease::ProveNewFile(FileHandle fd, const std::string& path) {
    // A file this program has just made is opened for a moment by virus scanners and indexers
    // (on Windows servers above all): a few short retries before the refusal. Never for the
    // live files, whose opener is a user.
    constexpr int kTries = 10;
    constexpr unsigned kPauseMs = 100;
    for (int attempt = 1;; ++attempt) {
        SoleUseProof proof = SoleUseProof::None;
        std::string who;
        if (ProveFile(fd, proof, who))
            return;
        if (attempt == kTries || Env::Default()->StopRequested())
            RefuseInUse(path, who.empty() ? "Another program has the new file open." : who);
        ReportNotice("The new file " + path + " is open in another program (" +
                     (who.empty() ? std::string("Another program has the file open.") : who) +
                     "); trying again (" + std::to_string(attempt + 1) + " of " +
                     std::to_string(kTries) + ").");
        Env::Default()->SleepMilliseconds(kPauseMs);
    }
}

bool TableLease::LeaseBroken() const {
    for (const auto& h : held_)
        if (h.proof == SoleUseProof::Lease && !LeaseIntact(h.fd))
            return true;
    return false;
}

std::string TableLease::LostProof() const {
    for (const auto& h : held_)
        if (!StillProven(h.fd, h.proof) || WrittenSinceLook(h))
            return h.path;
    return {};
}

void TableLease::ReleaseProofs() {
    for (auto& h : held_)
        DropLease(h.fd, h.proof);
}

SoleUseProof TableLease::Proof() const {
    if (mode_ != ShareMode::Exclusive || held_.empty())
        return SoleUseProof::None;
    SoleUseProof weakest = SoleUseProof::Lease;
    for (const auto& h : held_) {
        if (h.proof == SoleUseProof::None)
            return SoleUseProof::None;
        if (h.proof == SoleUseProof::ProcessScan)
            weakest = SoleUseProof::ProcessScan;
    }
    return weakest;
}

SoleUseProbe ProbeSoleUse(const std::string& tablePath,
                          const std::vector<std::string>& companions) {
    std::vector<std::string> files{tablePath};
    files.insert(files.end(), companions.begin(), companions.end());
    for (const std::string& path : files) {
        Key key{};
        if (KeyOfPath(path, true, key)) {
            std::lock_guard<std::mutex> guard(registryMutex);
            if (HeldFds().count(key) || (path == tablePath && Registry().count(key)))
                return {true, path, "Another component of this program has the file open."};
        }
        // Refused as Acquire refuses it: a link is never taken for sole use.
        const ScopedFd fd(OpenForLock(path, false, LinkPolicy::Refuse));
        bool dbaseRegion = false;
        std::string who = DescribeConflictingLock(fd.Get(), &dbaseRegion);
        if (!who.empty())
            return {true, path, who};
        SoleUseProof proof = SoleUseProof::None;
        const bool alone = ProveFile(fd.Get(), proof, who);
        DropLease(fd.Get(), proof);
        if (!alone) {
            // The words the pass would use for an opener that lets nobody write: the pass
            // opens the file for writing, which such an open refuses (nothing is written here).
            const FileHandle writable = Env::Default()->Open(path, kOpenReadWrite | kOpenNoFollow);
            const int err = errno;
            if (writable >= 0)
                Env::Default()->Close(writable);
            else if (err == EAGAIN)
                who = kDeniesWriting;
            return {true, path, who.empty() ? "Another program has the file open." : who};
        }
    }
    return {};
}

bool ProcessHoldsTable(const std::string& path) {
    Key key{};
    if (!KeyOfPath(path, true, key))
        return false;
    std::lock_guard<std::mutex> guard(registryMutex);
    return Registry().count(key) > 0;
}

}  // namespace ari::engine
