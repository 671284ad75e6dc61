// Errors of the table components and the table engine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Exception.h"

// A misuse of a table component, or a table that is not in the state an operation needs.
class EDatabaseError : public Exception {
  public:
    using Exception::Exception;
};

// A failed engine operation: carries the 16-bit engine status. The message is the engine's
// texts for the status and its error report, one per line, empty and repeated texts dropped;
// "BDE error $%.4x" with the status when there is no text. File() is the table or file the
// failure is about ("" when none); Kind() is the one given, else the status's (KindOfStatus).
class EDBEngineError : public EDatabaseError {
  public:
    EDBEngineError(uint16_t status, const std::vector<std::string>& texts,
                   std::string file = std::string());
    EDBEngineError(uint16_t status, const std::vector<std::string>& texts, std::string file,
                   ari::ErrorKind kind);
    uint16_t ErrorCode() const noexcept { return status_; }

    // Joins texts by the rule above.
    static std::string ComposeMessage(uint16_t status, const std::vector<std::string>& texts);
    // The kind a status stands for (engine/EngineStatus.h): table not found Missing; table in
    // use and records locked InUse; a damaged header or damaged data Damaged; every other
    // status Other (a throw site that knows better, a damaged index say, gives the kind).
    static ari::ErrorKind KindOfStatus(uint16_t status) noexcept;

  private:
    uint16_t status_;
};
