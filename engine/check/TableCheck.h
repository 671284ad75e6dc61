// The checks of a dBASE table and its production index that "dbtool check" makes and that the
// headless runner makes after a pass (--verify): one step per aspect, each returning the first
// fault it finds ("" when sound). Nothing is written.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace ari::engine {

class DbfFile;

using CheckStep = std::function<std::string(const DbfFile&)>;

// In order: "damage" (what the pack refuses), "records" (the header's count against the file,
// the deletion flags), "memos" (every memo pointer leads to a readable memo), "index" (the
// production index's tags, every key against the records).
const std::vector<std::pair<std::string, CheckStep>>& CheckSteps();

struct CheckResult {
    std::string step;   // the step that found the fault; "" when sound or the table would not open
    std::string fault;  // "" when the table and its index are sound
};

// Opens the dBASE table at `path` for shared reading and runs every step, stopping at the
// first fault; a table that does not open is a fault too (the engine's message).
CheckResult CheckDbaseTable(const std::string& path);

// The production index step of the check: "" when the table names no index or it is sound,
// else the faults, one per line.
std::string CheckProductionIndexStep(const DbfFile& table);

// The production index file the table names, "" when its header names none. Throws
// EDBEngineError when the header names one that is missing.
std::string ProductionIndexPathOf(const DbfFile& table);

}  // namespace ari::engine
