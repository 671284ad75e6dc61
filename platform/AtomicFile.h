// A new file written beside the file it replaces and put in its place by one rename, so that the
// target is at every moment either its old self or the whole new file. Used for every file the
// program replaces: tables and indexes (the engine's temporary files), the settings file, the
// unpacked templates and a transferred index. Every write, flush and rename goes through
// Env::Default() (platform/Env.h), so that tests can fail each of them in turn.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "platform/Env.h"

namespace ari {

class AtomicFile {
  public:
    // How the temporary's name is given.
    enum class Naming {
        Exact,   // the name itself (the engine's "<folder>.<name>.<purpose>.tmp")
        Unique,  // a pattern ending in "XXXXXX", replaced by characters that make a new name
    };
    // Called with the temporary's name when an Exact name is taken; true when it removed a
    // leftover there (the name is free again).
    using StaleRemover = std::function<bool(const std::string&)>;

    // Creates the temporary for `target` (a name in the target's folder, from FileNames.h).
    // The file is created exclusively: an existing name, a symbolic link included, is never
    // opened or followed. An Exact name is created readable by all (0644 less the umask); when
    // it is taken and `removeStale` frees it, the creation is tried once more, and a name that
    // stays taken is EBUSY. A Unique name is created readable by its owner only (0600).
    // Throws EInOutError (InOutErrorFromErrno: its message names no file, its File() is the
    // temporary's name) when the file cannot be created.
    AtomicFile(std::string target, std::string temporaryName, Naming naming = Naming::Exact,
               const StaleRemover& removeStale = {});
    // Discard() unless committed or released.
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    const std::string& Target() const { return target_; }
    const std::string& TemporaryPath() const { return temporary_; }
    // The open temporary; kNoFile once committed, released or discarded.
    FileHandle Fd() const { return fd_; }

    // Writes all of `data` at the current position (short writes and EINTR retried); throws
    // EInOutError (InOutErrorFromErrno) on failure, EIO for a write that makes no progress.
    // The errors of the calls below are about the temporary (File()), a failed read in CopyFrom
    // about the source, and a failed rename in Commit about the target.
    void Write(const void* data, size_t size);
    // Copies the whole regular file `sourcePath` (a link followed) into the temporary through
    // Write. Throws EInOutError when it cannot be read (as OpenRegularFile) or written.
    void CopyFrom(const std::string& sourcePath);
    // Flushes the temporary's data to disk; throws EInOutError on failure.
    void Flush();
    // Gives the temporary everything the current target carries (CarryFileAttributes); nothing
    // when there is no target yet. Throws EInOutError naming the attribute that cannot be carried.
    void CarryAttributes();
    // Flush, close, rename over the target, flush the target's folder (best effort: some file
    // systems refuse it). Throws EInOutError (InOutErrorFromErrno) when the flush, close or
    // rename fails; the temporary is then removed and the target is as it was.
    void Commit();
    // The caller renamed the temporary itself (the engine's replace of a table with its
    // companions): hands over the open descriptor, which the caller closes; nothing is removed.
    FileHandle Release();
    // Removes the temporary (before closing it, so that a lock on it keeps others away until it
    // is gone). Nothing after a Commit or Release.
    void Discard();

  private:
    std::string target_;
    std::string temporary_;
    FileHandle fd_ = kNoFile;
};

}  // namespace ari
