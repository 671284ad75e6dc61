// Stopping a run between two tables on request (a service stop, the window closed): the table in
// progress is finished and no other is begun, so no table is ever left half-replaced.
#pragma once

#include <functional>
#include <string>
#include <utility>

#include "maintenance/MaintenanceRun.h"

namespace ari {

// Thrown out of the run by StopWhenAsked. It is no Exception, so the run closes its tables and
// its marker and hands it on to its caller (MaintenanceRun::Run).
struct StopBetweenTables {};

// An observer that throws StopBetweenTables once `asked` says so: after a table is finished,
// and at the caller's turn between two tables of the index pass. Add it after every other
// observer, so that they have all been told of the table before the run stops. Remembers the
// last table finished, for the stop line.
class StopWhenAsked final : public RunObserver {
  public:
    explicit StopWhenAsked(std::function<bool()> asked) : asked_(std::move(asked)) {}

    void TableFinished(RunPass, const std::string& table) override {
        lastFinished_ = table;
        if (asked_())
            throw StopBetweenTables{};
    }
    void Pump(RunOperations&) override {
        if (asked_())
            throw StopBetweenTables{};
    }
    // The last table finished ("" when none was).
    const std::string& LastFinished() const { return lastFinished_; }

  private:
    std::function<bool()> asked_;
    std::string lastFinished_;
};

}  // namespace ari
