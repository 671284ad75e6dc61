// The seam through which the engine writes, flushes and renames files when it replaces a
// table. Production code uses the system calls; tests install a FileOps that fails the Nth call
// (or ends the process) to prove that every failure leaves the old table whole.
#pragma once

#include <sys/types.h>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/ScopedFd.h"

namespace ari::engine {

class FileOps {
  public:
    virtual ~FileOps() = default;
    // Same contracts as write(2), fsync(2), rename(2): -1 with errno set on failure.
    virtual ssize_t Write(int fd, const void* data, size_t size);
    virtual int Fsync(int fd);
    virtual int Rename(const char* from, const char* to);
};

// The FileOps in use (the system calls unless a test installed another).
FileOps& CurrentFileOps();
// Installs `ops` (nullptr restores the system calls). Not thread-safe; tests only.
void SetFileOpsForTesting(FileOps* ops);

// Writes all of `data` through CurrentFileOps, retrying short writes and EINTR; throws
// EInOutError (with the file named) on failure.
void WriteAll(int fd, const void* data, size_t size, const std::string& path);
// Writes at an offset (pwrite) through the same seam: seeks, then WriteAll.
void WriteAllAt(int fd, uint64_t offset, const void* data, size_t size, const std::string& path);
// fsync through the seam; throws EInOutError on failure.
void SyncFile(int fd, const std::string& path);
// rename through the seam; throws EInOutError on failure.
void RenameFile(const std::string& from, const std::string& to);
// Flushes a folder's entry list so that renames inside it survive a crash (best effort).
void SyncFolder(const std::string& folder);

// Reads exactly `size` bytes at `offset`; returns the bytes read (short only at end of file).
// Throws EInOutError on a read error.
size_t ReadAt(int fd, uint64_t offset, void* data, size_t size, const std::string& path);

}  // namespace ari::engine
