// The run marker over an Env that reports a held lock the way another system may.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "platform/Env.h"
#include "platform/Exception.h"
#include "platform/RunMarker.h"
#include "tests/support/TestFolders.h"

namespace {

using ari::test::ReadFileBytes;
using ari::test::TempFolder;
using ari::test::WriteFileBytes;

// Every lock is held by somebody else, and the refusal is reported with `err`.
class LocksHeldElsewhere : public ari::EnvWrapper {
  public:
    explicit LocksHeldElsewhere(int err) : EnvWrapper(ari::Env::Default()), err_(err) {}
    int LockRange(ari::FileHandle, ari::LockKind, uint64_t, uint64_t) override {
        errno = err_;
        return -1;
    }

  private:
    int err_;
};

TEST(RunMarker, AMarkerHeldElsewhereIsErrorThirtyTwoWhicheverErrorTheSystemGives) {
    // Env.h lets a held lock be refused with EAGAIN or EACCES; the operator reads one message.
    for (const int err : {EAGAIN, EACCES}) {
        SCOPED_TRACE(err);
        TempFolder dir;
        const std::string path = dir / "reindexing";
        WriteFileBytes(path, "kept");
        LocksHeldElsewhere env(err);
        const ari::ScopedEnvForTesting installed(&env);
        ari::RunMarker marker;
        try {
            marker.Create(path);
            FAIL() << "no error";
        } catch (const EInOutError& e) {
            EXPECT_EQ(e.ErrorCode(), 32);
            EXPECT_EQ(e.Message(), "I/O error 32");
        }
        EXPECT_FALSE(marker.IsOpen());
        EXPECT_EQ(ReadFileBytes(path), "kept");  // not emptied under its holder
    }
}

}  // namespace
