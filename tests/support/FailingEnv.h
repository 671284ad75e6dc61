// The tests' one way to make the calls that write, flush and rename files fail or end the
// process: an Env (platform/Env.h) over the real one that fails the Nth call of a kind with a
// chosen errno, or every call of it from the Nth on, or ends the process (_exit) before or after
// the Nth call; and a guard that installs it for a scope. Tests that need a hook or a watch at
// a call derive their own small EnvWrapper instead.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/Env.h"

namespace ari::test {

class FailingEnv : public ari::EnvWrapper {
  public:
    // Which calls count: Write, Sync or Rename alone, or all three together.
    enum Kind { kWrite, kFsync, kRename, kAny };
    // What the Nth counted call does.
    enum Action {
        kFailOnce,     // fails with `err`; later calls go through
        kFailFromNth,  // fails with `err`, and so does every later call of the kind
        kDieBefore,    // ends the process (_exit(9)) without doing the call
        kDieAfter,     // does the call, then ends the process (_exit(9))
    };

    // n == 0: nothing fails; the calls are only counted.
    FailingEnv(Kind kind, int n, int err = ENOSPC, Action action = kFailOnce)
        : EnvWrapper(ari::Env::Default()), kind_(kind), n_(n), err_(err), action_(action) {}

    // Every successful write writes only about half of what it was asked (at least one byte),
    // so that the callers' loops over short writes run.
    void ShortWrites() { shortWrites_ = true; }

    int64_t Write(FileHandle file, const void* data, size_t size) override {
        if (Hit(kWrite))
            return -1;
        const size_t asked = shortWrites_ && size > 1 ? size / 2 + 1 : size;
        return After(EnvWrapper::Write(file, data, asked));
    }
    int Sync(FileHandle file) override { return Hit(kFsync) ? -1 : After(EnvWrapper::Sync(file)); }
    int Rename(const std::string& from, const std::string& to) override {
        return Hit(kRename) ? -1 : After(EnvWrapper::Rename(from, to));
    }
    int RenameOverHeld(const std::string& from, const std::string& to, FileHandle held) override {
        return Hit(kRename) ? -1 : After(EnvWrapper::RenameOverHeld(from, to, held));
    }

    // Calls counted so far; fewer than N means the failure never came.
    int Count() const { return count_; }
    bool Failed() const { return n_ > 0 && count_ >= n_; }

  private:
    // Counts a call of `kind`; true when it is to fail (errno set).
    bool Hit(Kind kind) {
        dieAfterThis_ = false;
        if (kind_ != kAny && kind != kind_)
            return false;
        ++count_;
        if (n_ <= 0 || count_ < n_)
            return false;
        if (count_ > n_ && action_ != kFailFromNth)
            return false;
        switch (action_) {
            case kDieBefore:
                ::_exit(9);
            case kDieAfter:
                dieAfterThis_ = true;
                return false;
            case kFailOnce:
            case kFailFromNth:
                break;
        }
        errno = err_;
        return true;
    }
    template <typename T>
    T After(T result) {
        if (dieAfterThis_)
            ::_exit(9);
        return result;
    }

    Kind kind_;
    int n_;
    int err_;
    Action action_;
    bool shortWrites_ = false;
    bool dieAfterThis_ = false;
    int count_ = 0;
};

// Installs an Env as Env::Default() until the end of the scope.
using InstalledEnv = ari::ScopedEnvForTesting;

}  // namespace ari::test
