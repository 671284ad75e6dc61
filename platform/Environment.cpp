// The parts of the environment that every platform shares: the clock and sleep over the
// platform's own calls, and the splitting of a parameter text.
#include "platform/Environment.h"

#include "platform/Files.h"

namespace ari {

namespace {

class SystemClock final : public Clock {
  public:
    TDateTime Now() override { return LocalNow(); }
};

class SystemSleeper final : public Sleeper {
  public:
    void Sleep(unsigned ms) override { SleepMilliseconds(ms); }
};

}  // namespace

std::vector<std::string> SplitParameters(const std::string& parameters) {
    std::vector<std::string> out;
    std::string cur;
    for (char c : parameters) {
        if (c == ' ' || c == '\t') {
            if (!cur.empty())
                out.push_back(std::move(cur));
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty())
        out.push_back(cur);
    return out;
}

Environment DefaultEnvironment() {
    static SystemClock clock;
    static SystemSleeper sleeper;
    return Environment{&clock, &sleeper, PlatformStarter(), ExecutablePath()};
}

}  // namespace ari
