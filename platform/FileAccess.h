// Byte-level access to an existing file (the table header patch of the index rebuild), a
// probe for other users' locks, so that maintenance can leave files alone while they are in
// use, and the rules for opening and replacing the files the program works on: only regular
// files are read or written (never a pipe, device or folder under a table's name), a file that
// is replaced is never reached through a symbolic link, and its replacement carries everything
// the old file carried. Locks are the OFD and classic POSIX record locks that the table engine
// and dBASE clients take; a program that takes none stays invisible to the probe.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Env.h"

namespace ari {

// Whether OpenRegularFile goes through a symbolic link at the path's last step.
enum class LinkPolicy {
    Follow,  // reading: the file the link names is read
    Refuse,  // a file the program changes or replaces: a link is refused, never written through
};

// Opens the existing regular file at `path` with `flags` (kOpenRead or kOpenReadWrite, plus
// kOpenNoFollow) and returns its handle in blocking mode.
// A pipe, device, socket or folder is refused before any read could wait on it or run without
// end (it is opened non-blocking, if at all, and checked on the open descriptor). Throws
// EInOutError: the file error of the failed open (kFileNotFound when there is none, with the
// message of FileErrorMessage alone); kAccessDenied "<path> is a symbolic link; ..." when
// `links` is Refuse and the last step is a link; kAccessDenied "<path> is not a regular file"
// for anything else than a regular file.
FileHandle OpenRegularFile(const std::string& path, unsigned flags, LinkPolicy links);
// Throws as OpenRegularFile does when `path` is no regular file that can be read; returns
// otherwise (the file is opened and closed again).
void RequireRegularFile(const std::string& path, LinkPolicy links);

// Gives the open new file `fd`, which is about to replace the file at `oldPath`, everything the
// old file carries: every extended attribute that can be listed (POSIX ACLs in
// system.posix_acl_access, a file server's security.NTACL and user.DOSATTRIB, ...), the owner
// and group as far as the system allows (only root gives a file away; only a group the process
// is in may be given: those refusals leave the new file to this process's owner or group), and
// the permission bits. Nothing to do when there is no file at `oldPath`. Throws EInOutError
// naming the attribute and the file when an extended attribute cannot be read or set: a
// replacement that would silently drop one must not take the old file's place.
void CarryFileAttributes(const std::string& oldPath, FileHandle fd);

// Makes a write past the process's file-size limit (RLIMIT_FSIZE) fail with EFBIG ("Disk
// full"), which the caller reports, instead of ending the process with SIGXFSZ. Called once at
// the start of every program of ours that writes files.
void IgnoreFileSizeSignal();

// An existing file opened for reading and writing as a file of single-byte records; it is
// never created. Other programs may keep reading and writing it while it is open.
class ByteFile {
  public:
    // Throws EInOutError: "The specified file was not found" when it does not exist, "File
    // access denied" when it is read-only or a folder, "Invalid file name - %s" for a bad or
    // too long path, "File access denied" for anything but a regular file. A symbolic link is
    // refused (OpenRegularFile's message naming it), never written through: the patch would
    // land in whatever file the link names.
    explicit ByteFile(const std::string& path);
    // Closes the file if still open, ignoring errors.
    ~ByteFile();
    ByteFile(const ByteFile&) = delete;
    ByteFile& operator=(const ByteFile&) = delete;

    const std::string& Path() const { return path_; }
    // Current length in bytes.
    uint64_t Size() const;
    // True when another open file (this process's other descriptors included) holds a lock
    // that overlaps bytes [offset, offset + length); length 0 means up to the end of any file.
    bool LockedByOthers(uint64_t offset = 0, uint64_t length = 0) const;
    // Up to `size` bytes from `offset` (fewer at the end of the file). Throws EInOutError on a
    // read error.
    std::string Read(uint64_t offset, size_t size) const;
    // Writes one byte at `offset`. Throws EInOutError "I/O error 32" when another program
    // holds that byte under a lock, or the file error of the failed write.
    void WriteByte(uint64_t offset, uint8_t value);
    // Closes the file; throws EInOutError when the system reports a failed write-back.
    void Close();

  private:
    FileHandle fd_ = kNoFile;
    std::string path_;
};

// True when some open file holds a lock anywhere on the file at `path`; false when nobody
// does or the file cannot be opened.
bool FileLockedByOthers(const std::string& path);

// True when the file at `path` exists as a regular file and can be opened for reading (a pipe
// under that name is never opened in a way that waits).
bool FileReadable(const std::string& path);

}  // namespace ari
