// The engine's status numbers and their texts, in one table. Every failure inside the engine is
// raised through RaiseEngineError with a status from here and details that name the table, the
// file and what is wrong; the engine operations turn it back into a status for Check().
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Exception.h"

namespace ari::engine {

enum EngineStatus : uint16_t {
    kStatusOk = 0,
    kStatusTableNotFound = 0x2701,      // no table file of that name
    kStatusNotATableFile = 0x2702,      // the name is a folder or not a regular file
    kStatusCorruptHeader = 0x2703,      // the table header fails a check
    kStatusUnsupportedFormat = 0x2704,  // a table version or driver the engine does not handle
    kStatusTableInUse = 0x2705,         // another program (or component) holds the table
    kStatusRecordsLocked = 0x2706,      // another program holds record or table locks on it
    kStatusReadError = 0x2707,
    kStatusWriteError = 0x2708,
    kStatusMemoError = 0x2709,      // memo file missing or a memo that cannot be read
    kStatusNeedExclusive = 0x270A,  // the operation needs the table open for sole use
    kStatusInvalidHandle = 0x270B,
    kStatusInvalidParameter = 0x270C,
    kStatusIndexUnavailable = 0x270D,  // production index present but cannot be rebuilt here
    kStatusIndexError = 0x270E,        // production index damaged or cannot be written
    kStatusNotAvailable = 0x270F,      // an operation this engine does not provide
    kStatusTableOpen = 0x2710,         // the operation needs the table closed
    kStatusCorruptData = 0x2711,       // records or data blocks that fail a check
};

// The general text of a status ("" for 0 or an unknown number).
std::string StatusText(uint16_t status);

// Throws EDBEngineError(status, {StatusText(status), details...}), about no file and of the
// status's kind (EDBEngineError::KindOfStatus).
[[noreturn]] void RaiseEngineError(uint16_t status, std::vector<std::string> details);
// The same about `file`, of kind `kind`.
[[noreturn]] void RaiseEngineError(uint16_t status, std::vector<std::string> details,
                                   const std::string& file, ErrorKind kind);

// The detail that names the table an error is about ("Table: <path>"), the first detail of
// every error about one table.
std::string TableDetail(const std::string& tablePath);
// Throws RaiseEngineError(status, {TableDetail(tablePath), details...}), about the table file.
[[noreturn]] void RaiseTableError(uint16_t status, const std::string& tablePath,
                                  std::vector<std::string> details = {});
// The same for a failure whose cause is `cause` (a file error inside the step): its message is
// the first detail, and the error is of the cause's kind (a full disk stays DiskFull) unless the
// status says more.
[[noreturn]] void RaiseTableErrorCausedBy(uint16_t status, const std::string& tablePath,
                                          const Exception& cause,
                                          std::vector<std::string> more = {});
// Throws RaiseEngineError(status, {"File: " + path, details...}), about that file: the detail
// that names the one file of a table (the table, its index or memo file) an error is about.
[[noreturn]] void RaiseFileError(uint16_t status, const std::string& path,
                                 std::vector<std::string> details = {});

// The error report of the last failed engine operation of this thread: its status and texts,
// and the file and kind of its error. Engine operations record it so that Check() can raise
// the failure again with its details.
void SetLastErrorReport(uint16_t status, std::vector<std::string> texts,
                        std::string file = std::string(), ErrorKind kind = ErrorKind::Other);
void ClearLastErrorReport();
uint16_t LastErrorStatus();
const std::vector<std::string>& LastErrorTexts();
const std::string& LastErrorFile();
ErrorKind LastErrorKind();

}  // namespace ari::engine
