#include <gtest/gtest.h>

#include <cerrno>

#include "platform/FileErrors.h"

namespace {

TEST(FileErrors, ErrnoBecomesTheOperatorsMessage) {
    struct Case {
        int err;
        const char* message;
    } cases[] = {
        {ENOENT, "The specified file was not found"},
        {ENAMETOOLONG, "Invalid file name - %s"},
        {EMFILE, "Too many open files"},
        {EACCES, "File access denied"},
        {EROFS, "File access denied"},
        {EAGAIN, "I/O error 32"},
        {ENOSPC, "Disk full"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ari::InOutErrorFromErrno(c.err).Message(), c.message) << "errno " << c.err;
    }
    EXPECT_EQ(ari::FileErrorMessage(ari::kReadBeyondEnd), "Read beyond end of file");
    EXPECT_EQ(ari::FileErrorMessage(ari::kInvalidNumericInput), "Invalid numeric input");
    EXPECT_EQ(ari::InOutErrorFromErrno(ENOENT).ErrorCode(), 2);
}

TEST(FileErrors, UnlistedErrorsSayIoErrorWithANumber) {
    const std::string msg = ari::InOutErrorFromErrno(EIO).Message();
    EXPECT_EQ(msg.rfind("I/O error ", 0), 0u) << msg;
}

}  // namespace
