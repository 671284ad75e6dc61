// Stand-ins for the window's injected environment in tests: a clock that tests move, a sleeper
// that returns at once, and a process starter that starts nothing, so that no tick reaches a
// real session tool.
#pragma once

#include <memory>
#include <string>

#include "platform/DateTime.h"
#include "platform/Environment.h"

namespace ari::test {

class FakeClock final : public ari::Clock {
  public:
    ari::TDateTime Now() override { return now; }
    ari::TDateTime now = ari::EncodeDateTime(2026, 12, 10, 12, 0, 0);
};

class NoSleep final : public ari::Sleeper {
  public:
    void Sleep(unsigned) override {}
};

class NoStart final : public ari::ProcessStarter {
  public:
    bool Start(const std::string&, const std::string&) override { return false; }
    std::unique_ptr<ari::ProgramOutput> StartReadingOutput(const std::string&,
                                                           const std::string&) override {
        return nullptr;
    }
};

}  // namespace ari::test
