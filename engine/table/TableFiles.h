// The files the engine writes beside a table while it replaces it, and how they take the old
// files' place: finding a table's companion files (.dbt, .mdx, .fpt, .cdx, .px) whatever the
// case of their names, the engine's temporary files (an AtomicFile under a lock) and the
// replace of a table with its companion. Every name comes from platform/FileNames.h; temporary
// files are hidden (leading '.') so folder listings of tables skip them.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/AtomicFile.h"
#include "platform/Env.h"
#include "platform/Exception.h"
#include "platform/FileNames.h"

namespace ari::engine {

using ari::BackupPathFor;
using ari::CompanionPathFor;
using ari::IsEngineTemporaryName;
using ari::TemporaryPathFor;

// The existing companion with extension `ext`, found whatever the case of its name; "" when
// there is none. The names themselves (CompanionPathFor, TemporaryPathFor, BackupPathFor, ...)
// come from platform/FileNames.h.
std::string FindCompanion(const std::string& tablePath, const std::string& ext);
// Every existing companion of a table for the given extensions.
std::vector<std::string> FindCompanions(const std::string& tablePath,
                                        const std::vector<std::string>& exts);

// A file the engine creates to replace another (an AtomicFile whose rename the caller makes,
// see ReplaceTableFiles): created exclusively (O_EXCL) and held with a
// write lock so that no other engine instance takes it for a stale leftover. A leftover of a
// crashed run at the same name (no lock on it), and a link or pipe planted there, is removed
// first (RemoveStaleTemporary); a name that stays taken throws EInOutError naming the path
// (TakenNameError). When the file it replaces
// exists, the new file carries what it carries (CarryFileAttributes: extended attributes and
// access lists, permission bits and, as far as the system allows, owner and group); an
// attribute that cannot be carried throws EInOutError and no file is left. The destructor closes
// the file and removes it unless Release() was called after the rename.
class TemporaryFile {
  public:
    TemporaryFile(const std::string& forPath, const std::string& purpose);
    ~TemporaryFile();
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    const std::string& Path() const { return path_; }
    FileHandle Fd() const { return file_ ? file_->Fd() : kNoFile; }
    // After a successful rename: the file now lives under another name; keep it and hand over
    // the descriptor (with its lock) to the caller.
    FileHandle Release();
    // Removes the file now (closing it).
    void Discard();

  private:
    std::string path_;
    std::unique_ptr<AtomicFile> file_;
};

class TableLease;

// Moves the new files into place: `newMain` over `mainPath` and, when given, `newCompanion`
// over `companionPath`. One file: one rename. Two files: what an ended earlier replace left is
// settled first (RecoverInterruptedReplace); both old files are then kept under backup names
// (hard links), so that when the second rename fails the first is undone; the backups are
// removed at the end. On success the lease holds the new files. Throws EDBEngineError
// kStatusWriteError naming the table; the old files are then in place.
// `asRead`, when given, tells whether the old main file still holds what the caller read from
// it; it is asked after the last check before the renames and again after them, and a "no" is
// "table in use" as an open would be (the old files stay, or are put back, for the writer).
void ReplaceTableFiles(const std::string& mainPath, TemporaryFile& newMain,
                       const std::string& companionPath, TemporaryFile* newCompanion,
                       TableLease& lease, const std::function<bool()>& asRead = {});

// Settles the backups a two-file ReplaceTableFiles leaves when its process ends halfway, for a
// table held for sole use by `lease` (nothing for shared use).
// Ended between the two renames (the table's backup is another file than the table, a
// companion's backup still the companion itself): the new table was flushed before its rename
// and clients may have written to it since, so it is rolled forward. A production index (.mdx)
// is built afresh from the live table's records with the old index's own tag definitions (as
// the pack builds it), under the pack's temporary name (which takes the ended pack's leftover
// for what it is), and renamed over the old index; the lease holds the new index, and the
// backups are then removed (the old table's only when no process holds it). A companion that
// cannot be built afresh here (a Paradox primary index) is not rolled forward: the old table is
// renamed back instead, and the lease holds it, leaving the new companion's temporary file to
// the cleanup of stale temporaries.
// Ended before the first rename or after the second: the backups are removed (a backup of a
// replaced file only when no process holds it).
// Throws EDBEngineError naming the table when the index cannot be built (its own status, for
// instance kStatusIndexError for an old index whose tag definitions cannot be read) or the old
// table cannot be put back; the files and backups are then left as they were, and the next
// holder of the table tries again.
void RecoverInterruptedReplace(TableLease& lease);

// Frees the engine's temporary or backup name `path` of what is left there; returns true when
// the path is free afterwards. A regular file goes when no process holds it (a leftover of an
// ended run). Anything else under the name was put there by someone else, never by the engine,
// which creates its files exclusively and never opens such a name: a symbolic link (dangling or
// not), a pipe, a socket or a device node is only a name, which goes (unlinking a link never
// follows it, so the file it points to is not touched); a folder is left where it is (it may
// hold somebody's files) and the name stays taken.
bool RemoveStaleTemporary(const std::string& path);

// Settles what an interrupted run left in `folder` beside the tables, before anything of it is
// held: a table or companion that a replace had renamed aside (Windows: "<name>.rpl-XXXXXX")
// while its name was still missing is put back under its name (never over a file there);
// every other aside name ("<name>.rpl-XXXXXX" beside its file again, "<name>.del-XXXXXX") and
// every temporary file of the engine that no live run holds goes. The backups of an
// interrupted replace (BackupPathFor) stay: the next sole use of their table settles them
// (RecoverInterruptedReplace). Returns one sentence for each name settled; a name that
// cannot be settled now (held by a live run, or not a file) is left as it is, silently.
std::vector<std::string> SettleLeftovers(const std::string& folder);

// Refuses a change because another program put another file under the name `path` of a file
// the change was to replace (or was to take): EDBEngineError kStatusTableInUse naming `path`.
[[noreturn]] void RaiseNameTaken(const std::string& path);

// The error for the engine's temporary or backup name `path`, which `err` (from the creation or
// the link that made the name) found taken: it names the path and says what is there when that
// is not a file of the engine's (a folder the user has to move away).
EInOutError TakenNameError(int err, const std::string& path);

}  // namespace ari::engine
