// The error classes of the program: every failure that a caller may handle is an Exception.
// Messages are UTF-8 text meant for the operator; they are shown and logged unchanged.
#pragma once

#include <exception>
#include <string>

// Base of every error the program raises on purpose.
class Exception : public std::exception {
  public:
    explicit Exception(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& Message() const noexcept { return message_; }

  private:
    std::string message_;
};

// A failed file operation. ErrorCode is the platform-neutral file error number
// (2 not found, 3 bad name, 4 too many files, 5 access denied, 32 in use, ...).
class EInOutError : public Exception {
  public:
    EInOutError(int errorCode, std::string message)
        : Exception(std::move(message)), errorCode_(errorCode) {}
    int ErrorCode() const noexcept { return errorCode_; }

  private:
    int errorCode_;
};
