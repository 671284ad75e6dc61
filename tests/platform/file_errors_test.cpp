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

// What a network file system reports when its server or the way to it fails says so, on both
// platforms: the errno values of a POSIX client and the codes a Windows client keeps as they are.
TEST(FileErrors, NetworkFailuresSayWhatHappened) {
    struct Case {
        int err;
        int number;
        const char* message;
    } cases[] = {
        {ECONNRESET, 64, "The connection to the file server was lost"},
        {ENOTCONN, 64, "The connection to the file server was lost"},
        {ETIMEDOUT, 121, "The file server did not answer in time"},
        {EHOSTUNREACH, 1231, "The network of the file server cannot be reached"},
        {ari::ErrnoForSystemCode(64), 64,
         "The connection to the file server was lost (Windows error 64)"},
        {ari::ErrnoForSystemCode(121), 121,
         "The file server did not answer in time (Windows error 121)"},
        {ari::ErrnoForSystemCode(59), 59,
         "An unexpected network error occurred (Windows error 59)"},
        {ari::ErrnoForSystemCode(53), 53,
         "The network path was not found (the file server is not reachable) (Windows error 53)"},
        {ari::ErrnoForSystemCode(67), 67, "The network share was not found (Windows error 67)"},
        {ari::ErrnoForSystemCode(55), 55,
         "The network share is no longer available (Windows error 55)"},
        {ari::ErrnoForSystemCode(1231), 1231,
         "The network of the file server cannot be reached (Windows error 1231)"},
    };
    for (const auto& c : cases) {
        const EInOutError e = ari::InOutErrorFromErrno(c.err, "T.DBF");
        EXPECT_EQ(e.ErrorCode(), c.number) << c.message;
        EXPECT_EQ(e.Message(), c.message);
        EXPECT_EQ(e.File(), "T.DBF");
        // Neither missing nor in use: the table is there, the way to it is not.
        EXPECT_EQ(e.Kind(), ari::ErrorKind::Other) << c.message;
    }
}

// A system code that has no words of ours keeps the number it always had ("I/O error 1005") and
// adds the code, with the system's own text where the system has one (on Windows; the Windows
// tests look at that text).
TEST(FileErrors, UnmappedSystemCodeKeepsItsNumberAndCode) {
    const int err = ari::ErrnoForSystemCode(1117);  // the request could not be performed
    EXPECT_EQ(ari::SystemCodeOf(err), 1117u);
    EXPECT_EQ(ari::SystemCodeOf(EIO), 0u);
    const EInOutError e = ari::InOutErrorFromErrno(err);
    EXPECT_EQ(e.ErrorCode(), 1005);
    EXPECT_EQ(e.Message().rfind("I/O error 1005 (Windows error 1117", 0), 0u) << e.Message();
    EXPECT_EQ(e.Message().back(), ')');
    // No code, or none the system has, is a plain I/O error.
    EXPECT_EQ(ari::ErrnoForSystemCode(0), EIO);
    EXPECT_EQ(ari::ErrnoForSystemCode(0x80070005ul), EIO);
}

}  // namespace
