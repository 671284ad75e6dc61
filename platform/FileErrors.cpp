#include "platform/FileErrors.h"

#include <cerrno>

namespace ari {

namespace {

// The number of a system code that says more than "I/O error": the network's failures.
int FileErrorFromSystemCode(unsigned long code) {
    switch (code) {
        case 51:  // the remote computer is not available
        case 53:
            return kNetworkPathNotFound;
        case 55:
            return kNetworkDeviceGone;
        case 59:
            return kUnexpectedNetworkError;
        case 64:
        case 240:   // the session was cancelled
        case 1236:  // the connection was aborted by this side
            return kNetworkConnectionLost;
        case 67:
            return kNetworkShareNotFound;
        case 121:
            return kNetworkTimeout;
        case 1222:  // no network
        case 1231:
        case 1232:  // the host cannot be reached
            return kNetworkUnreachable;
        default:
            return 1000 + EIO;  // what such an error said before: "I/O error 1005"
    }
}

}  // namespace

int FileErrorFromErrno(int err) {
    if (SystemCodeOf(err) != 0)
        return FileErrorFromSystemCode(SystemCodeOf(err));
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
        // What a network file system reports when its server or the way to it fails.
        case ECONNRESET:
        case ECONNABORTED:
        case ENETRESET:
        case ENOTCONN:
            return kNetworkConnectionLost;
        case ETIMEDOUT:
            return kNetworkTimeout;
        case ENETDOWN:
        case ENETUNREACH:
        case EHOSTUNREACH:
#ifdef EHOSTDOWN
        case EHOSTDOWN:
#endif
            return kNetworkUnreachable;
#ifdef EREMOTEIO
        case EREMOTEIO:
            return kUnexpectedNetworkError;
#endif
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
        case kNetworkPathNotFound:
            return "The network path was not found (the file server is not reachable)";
        case kNetworkDeviceGone:
            return "The network share is no longer available";
        case kUnexpectedNetworkError:
            return "An unexpected network error occurred";
        case kNetworkConnectionLost:
            return "The connection to the file server was lost";
        case kNetworkShareNotFound:
            return "The network share was not found";
        case kNetworkTimeout:
            return "The file server did not answer in time";
        case kNetworkUnreachable:
            return "The network of the file server cannot be reached";
        default:
            return "I/O error " + std::to_string(fileError);
    }
}

std::string FileErrorText(int err) {
    const int number = FileErrorFromErrno(err);
    std::string text = FileErrorMessage(number);
    const unsigned long code = SystemCodeOf(err);
    if (code == 0)
        return text;
    // The system's words only where ours say nothing but a number.
    const std::string words = number == 1000 + EIO ? SystemErrorText(code) : std::string();
    return text + " (Windows error " + std::to_string(code) + (words.empty() ? "" : ": " + words) +
           ")";
}

EInOutError InOutErrorFromErrno(int err, const std::string& file) {
    return EInOutError(FileErrorFromErrno(err), FileErrorText(err), file);
}

void ThrowLastInOutError(const std::string& file) {
    throw InOutErrorFromErrno(errno, file);
}

}  // namespace ari
