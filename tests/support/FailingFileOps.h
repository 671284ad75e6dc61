// A file-operation seam for tests that fails the Nth call of one kind (write, flush or rename)
// with a chosen errno, and a guard that installs it for a scope.
#pragma once

#include <cerrno>

#include "platform/FileOps.h"

namespace ari::test {

class FailNthFileOp : public ari::FileOps {
  public:
    enum Kind { kWrite, kFsync, kRename };
    FailNthFileOp(Kind kind, int n, int err = ENOSPC) : kind_(kind), n_(n), err_(err) {}
    ssize_t Write(int fd, const void* data, size_t size) override {
        if (Hit(kWrite))
            return -1;
        return FileOps::Write(fd, data, size);
    }
    int Fsync(int fd) override { return Hit(kFsync) ? -1 : FileOps::Fsync(fd); }
    int Rename(const char* from, const char* to) override {
        return Hit(kRename) ? -1 : FileOps::Rename(from, to);
    }
    // Calls of the chosen kind so far; fewer than N means the failure never came.
    int Count() const { return count_; }
    bool Failed() const { return count_ >= n_; }

  private:
    bool Hit(Kind kind) {
        if (kind != kind_ || ++count_ != n_)
            return false;
        errno = err_;
        return true;
    }
    Kind kind_;
    int n_;
    int err_;
    int count_ = 0;
};

// Installs `ops` as the process's file-operation seam until the end of the scope.
class InstalledFileOps {
  public:
    explicit InstalledFileOps(ari::FileOps& ops) { ari::SetFileOpsForTesting(&ops); }
    ~InstalledFileOps() { ari::SetFileOpsForTesting(nullptr); }
    InstalledFileOps(const InstalledFileOps&) = delete;
    InstalledFileOps& operator=(const InstalledFileOps&) = delete;
};

}  // namespace ari::test
