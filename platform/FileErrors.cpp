#include "platform/FileErrors.h"

#include <cerrno>

namespace ari {

int FileErrorFromErrno(int err) {
    switch (err) {
        case ENOENT:
            return kFileNotFound;
        case ENOTDIR:
        case ENAMETOOLONG:
        case EINVAL:
        case ELOOP:
            return kInvalidFileName;
        case EMFILE:
        case ENFILE:
            return kTooManyOpenFiles;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR:
        case EEXIST:
            return kAccessDenied;
        case EAGAIN:
        case EBUSY:
        case ETXTBSY:
            return kSharingViolation;
        case ENOSPC:
        case EFBIG:
            return kDiskFull;
        default:
            return 1000 + err;  // outside the platform's numbers: shown as "I/O error N"
    }
}

std::string FileErrorMessage(int fileError) {
    switch (fileError) {
        case kFileNotFound:
            return "The specified file was not found";
        case kInvalidFileName:
            return "Invalid file name - %s";  // the %s stands as it is
        case kTooManyOpenFiles:
            return "Too many open files";
        case kAccessDenied:
            return "File access denied";
        case kReadBeyondEnd:
            return "Read beyond end of file";
        case kDiskFull:
            return "Disk full";
        case kInvalidNumericInput:
            return "Invalid numeric input";
        default:
            return "I/O error " + std::to_string(fileError);
    }
}

EInOutError InOutErrorFromErrno(int err, const std::string& file) {
    const int code = FileErrorFromErrno(err);
    return EInOutError(code, FileErrorMessage(code), file);
}

void ThrowLastInOutError(const std::string& file) {
    throw InOutErrorFromErrno(errno, file);
}

}  // namespace ari
