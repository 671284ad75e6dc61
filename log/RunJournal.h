// The run journal: the file that keeps every line of the operation log with its date and
// time, and a summary of each pass, where no tick clears them ("autoreindex.log" beside the
// program unless another folder is named). The window and the headless runner may write the
// same journal at once.
//
// Each entry is appended with one write(2) on a descriptor opened with O_APPEND, so a reader
// always sees whole entries. Writers take turns on a lock of their own, an flock on the file
// ".autoreindex.log.lock" beside the journal, so entries of two programs never interleave and
// one rotation happens at a time. Never on the journal itself: whoever may read the journal may
// lock it, and a reader's lock held for minutes must not hold a pass for minutes. The lock file
// is open to those who may write the journal and to no one else: it is made 0600 (group or
// others also get it when the journal is writable by them) and given the journal's owner and
// group when the system allows; an administrator who lets another account write the journal
// later gives it the lock file too. The folder must be writable by the writers (rotation
// renames in it, and the lock file is made there).
//
// A journal the program creates is 0640, not 0644: it names the tables, their folders and what
// went wrong with them, which is not for every account; the group stays, so that an
// administrator can let the operators read it by its group alone. An existing journal's
// permissions are never changed, and the file that takes its name at a rotation is given what
// the old one carries (permissions, owner and group, access lists).
//
// Only a regular file is ever written, at the journal's name and at the lock's: a pipe, a
// device, a folder or a link there makes Append return false at once (names are opened without
// following links and without waiting on a pipe, and checked on the open descriptor).
//
// When an entry would take the file past the size limit, the file is rotated first:
// "autoreindex.log.1" is the newest old file, up to `keep` of them; the oldest is dropped.
// Rotation renames, so a reader that holds the file open goes on reading the old file to its
// end. It moves regular files only: a generation's name that holds anything else stops it
// before anything moves, and the entry is not written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ari {

class RunJournal {
  public:
    static constexpr char kFileName[] = "autoreindex.log";
    static constexpr char kLockFileName[] = ".autoreindex.log.lock";  // the writers' lock
    static constexpr std::uint64_t kDefaultLimit = 4u << 20;          // bytes per file
    static constexpr int kDefaultKeep = 4;                            // old files kept

    // The journal in `folder` (with or without its trailing separator).
    explicit RunJournal(const std::string& folder, std::uint64_t limit = kDefaultLimit,
                        int keep = kDefaultKeep);

    const std::string& Path() const { return path_; }

    // Appends `text` (UTF-8, one or more lines, a line break added at its end when missing).
    // Returns false when the journal cannot be written (a folder that is not writable, a full
    // disk, a link, a folder or a pipe in the file's place or the lock's, a lock file this
    // account may not open, a rotation that cannot be done): the journal never stops a pass,
    // and the caller may say so once. Waits only for other writers, never for a reader.
    // Thread-safe: two threads appending at once take turns as two programs do.
    bool Append(const std::string& text) const;

    // The text of each of the journal's files that exist, oldest first: the rotated generations
    // from the highest number down to "autoreindex.log.1", then the journal itself. Only regular
    // files are read (never through a link, never waiting on a pipe); one that cannot be read
    // is left out. Empty when there is no journal. Takes no lock: a reader may see a rotation
    // half done, and at worst reads one file twice or misses one.
    std::vector<std::string> ReadOldestFirst() const;

  private:
    // Append's work once the writers' lock is held.
    bool AppendLocked(const char* data, size_t size) const;
    // False when a generation's name holds something else than a regular file, or a rename
    // fails; every regular file moved up one otherwise.
    bool Rotate() const;

    std::string path_;
    std::string lockPath_;
    std::uint64_t limit_;
    int keep_;
};

}  // namespace ari
