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
// "BDE error $%.4x" with the status when there is no text.
class EDBEngineError : public EDatabaseError {
  public:
    EDBEngineError(uint16_t status, const std::vector<std::string>& texts);
    uint16_t ErrorCode() const noexcept { return status_; }

    // Joins texts by the rule above.
    static std::string ComposeMessage(uint16_t status, const std::vector<std::string>& texts);

  private:
    uint16_t status_;
};
