#include "runner/ScheduleTick.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "log/LogTexts.h"
#include "log/OperationLog.h"
#include "platform/Environment.h"
#include "platform/Exception.h"
#include "runner/Runner.h"
#include "settings/Formats.h"

namespace ari::runner {

TickAction DecideTick(ScheduleState& state, TDateTime now, const QString& begin, const QString& end,
                      int countedSessions) {
    const QString timeText = LongTimeText(now);
    const QString dateText = ShortDateText(now);
    if (state.processedToday) {
        if (dateText != state.todayStamp) {
            state.todayStamp = dateText;
            state.processedToday = false;
        }
        return TickAction::Nothing;
    }
    if (timeText < begin)
        return TickAction::Nothing;
    if (!(timeText < end))
        return TickAction::Nothing;
    if (countedSessions > 1)
        return TickAction::UsersConnected;
    return TickAction::Start;
}

void PassEnded(ScheduleState& state, TDateTime tickTime, bool succeeded) {
    state.processedToday = succeeded;
    if (succeeded)
        state.todayStamp = ShortDateText(tickTime);
}

namespace {

using SteadyClock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;
constexpr Milliseconds kSessionInterval = std::chrono::seconds(30);
constexpr Milliseconds kTickInterval = std::chrono::seconds(60);
constexpr long kTestTickMin = 100, kTestTickMax = 60000;

// The tick and the session interval. A test shortens them with kTestTickVariable (see
// ScheduleTick.h); any other value of it is ignored, and a shortened tick is announced on
// standard error, so that it cannot pass unnoticed on a server.
struct Intervals {
    Milliseconds tick = kTickInterval;
    Milliseconds sessions = kSessionInterval;
};

Intervals ScheduleIntervals() {
    Intervals out;
    const char* text = std::getenv(kTestTickVariable);
    if (!text || !*text)
        return out;
    char* end = nullptr;
    const long ms = std::strtol(text, &end, 10);
    if (*end != '\0' || ms < kTestTickMin || ms > kTestTickMax) {
        std::fprintf(stderr, "autoreindex-run: %s=%s ignored (%ld to %ld ms)\n", kTestTickVariable,
                     text, kTestTickMin, kTestTickMax);
        return out;
    }
    out.tick = Milliseconds(ms);
    out.sessions = Milliseconds(ms / 2);
    std::fprintf(stderr,
                 "autoreindex-run: test schedule: a tick every %ld ms, sessions every %ld ms "
                 "(%s)\n",
                 ms, ms / 2, kTestTickVariable);
    return out;
}

// The session monitor's tick: the counted sessions, and a logoff for each disconnected one.
int MonitorSessions(const std::string& appDir, ProcessStarter& starter) {
    const SessionListing listing = ListSessions(appDir);
    for (int row : listing.logoffRows)
        starter.Start("logoff", LogoffParameters(listing.rows[row]).toStdString());
    return static_cast<int>(listing.counted.size());
}

}  // namespace

int RunSchedule(const Options& options, const QString& settingsFile, const std::string& appDir,
                const std::function<int(const RunnerSettings&)>& pass) {
    Environment env = DefaultEnvironment();
    const Intervals intervals = ScheduleIntervals();
    ScheduleState state;
    state.todayStamp = ShortDateText(LocalNow());
    int counted = 0;  // no listing yet: nobody counted, as the window's empty list
    auto nextListing = SteadyClock::now() + intervals.sessions;
    auto nextTick = SteadyClock::now() + intervals.tick;

    while (!StopRequested()) {
        const auto now = SteadyClock::now();
        if (now >= nextListing) {
            counted = MonitorSessions(appDir, *env.starter);
            nextListing = SteadyClock::now() + intervals.sessions;
            continue;
        }
        if (now >= nextTick) {
            AddLog(CheckingLine(LongTimeText(LocalNow())), true);
            const TDateTime tickTime = LocalNow();
            RunnerSettings settings;
            bool readable = true;
            try {
                settings = ReadRunnerSettings(settingsFile);
            } catch (const Exception& e) {
                AddLog(ErrorLine(QString::fromStdString(e.Message()), LongTimeText(LocalNow())));
                readable = false;
            }
            if (readable) {
                const int sessions = options.ignoreSessions ? 0 : counted;
                switch (DecideTick(state, tickTime, settings.begin, settings.end, sessions)) {
                    case TickAction::Nothing:
                        break;
                    case TickAction::UsersConnected:
                        AddLog(UsersConnectedLine(sessions, LongTimeText(LocalNow())));
                        break;
                    case TickAction::Start: {
                        AddLog(StartLine(LongTimeText(LocalNow())));
                        const int code = pass(settings);
                        if (code == kStopped)
                            return kSuccess;
                        PassEnded(state, tickTime, code == kSuccess || code == kVerifyFailed);
                        // The listing waited while the pass ran; it comes one interval after.
                        nextListing = SteadyClock::now() + intervals.sessions;
                        break;
                    }
                }
            }
            nextTick = SteadyClock::now() + intervals.tick;
            continue;
        }
        // A stop signal ends the sleep early (its handler does not restart it).
        const auto wake = std::min(nextListing, nextTick);
        std::this_thread::sleep_for(
            std::min<SteadyClock::duration>(wake - now, std::chrono::milliseconds(500)));
    }
    return kSuccess;
}

}  // namespace ari::runner
