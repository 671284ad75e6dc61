// Maps operating-system error numbers onto the program's file error numbers and messages.
// This is the one place where errno values become operator-facing text.
#pragma once

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
    kReadBeyondEnd = 100,
    kDiskFull = 101,
    kInvalidNumericInput = 106,
};

// Each number of a kind has that kind (EInOutError::KindOf).
static_assert(EInOutError::KindOf(kFileNotFound) == ErrorKind::Missing);
static_assert(EInOutError::KindOf(kAccessDenied) == ErrorKind::AccessDenied);
static_assert(EInOutError::KindOf(kSharingViolation) == ErrorKind::InUse);
static_assert(EInOutError::KindOf(kDiskFull) == ErrorKind::DiskFull);

// The program's error number for an errno value (ENOENT -> 2, EACCES -> 5, EAGAIN -> 32, ...).
int FileErrorFromErrno(int err);

// The operator-facing text for a file error number:
// "The specified file was not found", "Invalid file name - %s", ..., "I/O error %d".
std::string FileErrorMessage(int fileError);

// An EInOutError for an errno value, about `file` when one is given (File(); the message stays
// the fixed text of the error number).
EInOutError InOutErrorFromErrno(int err, const std::string& file = std::string());

// Throws InOutErrorFromErrno(errno, file).
[[noreturn]] void ThrowLastInOutError(const std::string& file = std::string());

}  // namespace ari
