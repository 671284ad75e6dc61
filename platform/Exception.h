// The error classes of the program: every failure that a caller may handle is an Exception.
// Messages are UTF-8 text meant for the operator; they are shown and logged unchanged. Besides
// its message an error carries, as fields that callers test instead of reading the text, the
// file it is about (when one is known) and what kind of failure it is.
#pragma once

#include <exception>
#include <string>

namespace ari {

// What a failure is, for callers that act on it without reading its message.
enum class ErrorKind {
    Other,         // none of the kinds below
    InUse,         // another program has the file open or locked: sole use was refused
    Damaged,       // the file fails a check: it cannot be read with certainty
    Missing,       // there is no file of that name
    DiskFull,      // no room for a write (or a write past the process's file-size limit)
    AccessDenied,  // the file may not be read or written, or something else holds its name
};

}  // namespace ari

// Base of every error the program raises on purpose.
class Exception : public std::exception {
  public:
    explicit Exception(std::string message, ari::ErrorKind kind = ari::ErrorKind::Other,
                       std::string file = std::string())
        : message_(std::move(message)), file_(std::move(file)), kind_(kind) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& Message() const noexcept { return message_; }
    // The path of the file the error is about, "" when none is known. The message may name it
    // too, in its own words; this is the path itself.
    const std::string& File() const noexcept { return file_; }
    ari::ErrorKind Kind() const noexcept { return kind_; }
    // Why the operation was refused, in the words the dry run uses ("Another program has locked
    // record 1."), where the message itself is a fixed text that does not say ("I/O error 32 -
    // T.DBF"); "" when the message says it all. The run's journal shows it beside the message.
    const std::string& Reason() const noexcept { return reason_; }
    void SetReason(std::string reason) { reason_ = std::move(reason); }

  private:
    std::string message_;
    std::string file_;
    std::string reason_;
    ari::ErrorKind kind_;
};

// A failed file operation. ErrorCode is the platform-neutral file error number
// (2 not found, 3 bad name, 4 too many files, 5 access denied, 32 in use, ...:
// platform/FileErrors.h); the kind follows from it (KindOf).
class EInOutError : public Exception {
  public:
    EInOutError(int errorCode, std::string message, std::string file = std::string())
        : Exception(std::move(message), KindOf(errorCode), std::move(file)),
          errorCode_(errorCode) {}
    int ErrorCode() const noexcept { return errorCode_; }

    // The kind of a file error number: 2 Missing, 5 AccessDenied, 32 InUse, 101 DiskFull,
    // every other number Other.
    static constexpr ari::ErrorKind KindOf(int errorCode) noexcept {
        switch (errorCode) {
            case 2:
                return ari::ErrorKind::Missing;
            case 5:
                return ari::ErrorKind::AccessDenied;
            case 32:
                return ari::ErrorKind::InUse;
            case 101:
                return ari::ErrorKind::DiskFull;
            default:
                return ari::ErrorKind::Other;
        }
    }

  private:
    int errorCode_;
};
