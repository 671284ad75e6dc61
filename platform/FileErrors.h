// Maps operating-system error numbers onto the program's file error numbers and messages.
// This is the one place where errno values become operator-facing text.
#pragma once

#include <cerrno>
#include <string>

#include "platform/Exception.h"

namespace ari {

// File error numbers used in messages ("I/O error 32"): the numbers that the log lines and
// error boxes show, so that texts matched by operators and scripts stay the same.
enum FileError : int {
    kFileNotFound = 2,
    kInvalidFileName = 3,
    kTooManyOpenFiles = 4,
    kAccessDenied = 5,
    kSharingViolation = 32,
    // The failures of a file server or the network to it: the system's own numbers for them.
    kNetworkPathNotFound = 53,     // no such server, or it does not answer
    kNetworkDeviceGone = 55,       // the share or its device is no longer there
    kUnexpectedNetworkError = 59,  // the server or the network failed in a way it did not say
    kNetworkConnectionLost = 64,   // the connection to the server broke
    kNetworkShareNotFound = 67,    // the server has no share of that name
    kNetworkTimeout = 121,         // the server did not answer in time
    kNetworkUnreachable = 1231,    // no route to the server's network
    kReadBeyondEnd = 100,
    kDiskFull = 101,
    kInvalidNumericInput = 106,
};

// Each number of a kind has that kind (EInOutError::KindOf).
static_assert(EInOutError::KindOf(kFileNotFound) == ErrorKind::Missing);
static_assert(EInOutError::KindOf(kAccessDenied) == ErrorKind::AccessDenied);
static_assert(EInOutError::KindOf(kSharingViolation) == ErrorKind::InUse);
static_assert(EInOutError::KindOf(kDiskFull) == ErrorKind::DiskFull);

// A system error code that no <cerrno> value stands for (a Windows error code) travels as an
// errno-like value of its own, kSystemErrorBase + the code, so that the message can show the
// code and the system's words for it. No errno of the C library comes near this base.
inline constexpr int kSystemErrorBase = 0x40000;
// (Code 0, "no error", and a code beyond the system's error numbers are plain EIO.)
constexpr int ErrnoForSystemCode(unsigned long code) {
    return code == 0 || code > 0xFFFF ? EIO : kSystemErrorBase + static_cast<int>(code);
}
// The system code an errno-like value carries, 0 for a plain errno value.
constexpr unsigned long SystemCodeOf(int err) {
    return err >= kSystemErrorBase && err < kSystemErrorBase + 0x10000
               ? static_cast<unsigned long>(err - kSystemErrorBase)
               : 0;
}
// The system's own text for its error `code` (in the system's language), trimmed of its line
// end and final full stop; "" when the system has none (and always on POSIX, whose errno values
// have texts of ours).
std::string SystemErrorText(unsigned long code);

// The program's error number for an errno value (ENOENT -> 2, EACCES -> 5, EAGAIN -> 32, the
// network's failures -> 53 ... 1231, ...). A system code with no number of its own is
// "I/O error 1005", as EIO.
int FileErrorFromErrno(int err);

// The operator-facing text for a file error number:
// "The specified file was not found", "Invalid file name - %s", ..., "I/O error %d".
std::string FileErrorMessage(int fileError);

// The operator-facing text for an errno value: FileErrorMessage of its number, and for a system
// code the code and, where the number has no words of its own, the system's text:
// "I/O error 1005 (Windows error 64: The specified network name is no longer available)".
std::string FileErrorText(int err);

// An EInOutError for an errno value, about `file` when one is given (File(); the message is
// FileErrorText, the fixed text of the error number for every plain errno value).
EInOutError InOutErrorFromErrno(int err, const std::string& file = std::string());

// Throws InOutErrorFromErrno(errno, file).
[[noreturn]] void ThrowLastInOutError(const std::string& file = std::string());

}  // namespace ari
