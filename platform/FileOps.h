// The seam through which files that replace others are written, flushed and renamed: tables and
// indexes (engine), the settings file and the unpacked templates. Production code uses the
// system calls; tests install a FileOps that fails the Nth call (or ends the process) to prove
// that every failure leaves the old file whole.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace ari {

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

}  // namespace ari
