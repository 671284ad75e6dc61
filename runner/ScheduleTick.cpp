#include "runner/ScheduleTick.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "log/LogTexts.h"
#include "log/OperationLog.h"
#include "platform/Environment.h"
#include "platform/Exception.h"
#include "platform/FileNames.h"
#include "platform/Files.h"
#include "runner/Runner.h"
#include "schedule/SessionTick.h"
#include "settings/Formats.h"

namespace ari::runner {

namespace {

using SteadyClock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;
constexpr Milliseconds kSessionInterval = std::chrono::seconds(30);
constexpr Milliseconds kTickInterval = std::chrono::seconds(60);
constexpr long kTestTickMin = 100, kTestTickMax = 60000;
constexpr double kSecondsPerDay = 24 * 60 * 60;  // a TDateTime counts days

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

std::string TimeOrUnset(const std::string& text) {
    return text.empty() ? std::string("(not set)") : text;
}

// Whole seconds when the interval is, else milliseconds' worth with up to three decimals.
std::string SecondsText(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", seconds);
    return text;
}

}  // namespace

std::string ScheduleArmedLine(const ScheduleSettings& settings, const std::string& templateFolder,
                              TDateTime nextTick, double tickSeconds) {
    return "schedule armed: passes from " + TimeOrUnset(settings.begin) + " to " +
           TimeOrUnset(settings.end) + "; live folder " + settings.liveFolder +
           "; template folder " + templateFolder + "; next tick at " + LongTimeText(nextTick) +
           " (in " + SecondsText(tickSeconds) + " s)";
}

std::string ScheduleStoppedLine(bool duringPass) {
    return std::string("schedule stopped on request") + (duringPass ? " during a pass" : "");
}

int ScheduleTick(ScheduleState& state, const std::string& settingsFile,
                 const std::string& recordPath, int countedSessions,
                 const std::function<TDateTime()>& now,
                 const std::function<int(const ScheduleSettings&)>& pass, bool sessionsUnknown) {
    AddLog(CheckingLine(LongTimeText(now())), true);
    const TDateTime tickTime = now();
    ScheduleSettings settings;
    try {
        settings = ReadScheduleSettings(settingsFile);
    } catch (const Exception& e) {
        AddLog(ErrorLine(e.Message(), LongTimeText(now())));
        return -1;
    }
    TakePassRecord(state, recordPath, tickTime);
    switch (DecideTick(state, tickTime, settings.begin, settings.end, countedSessions,
                       sessionsUnknown)) {
        case TickAction::Nothing:
        case TickAction::SessionsUnknown:
            return -1;
        case TickAction::UsersConnected:
            AddLog(UsersConnectedLine(countedSessions, LongTimeText(now())));
            return -1;
        case TickAction::Start:
            break;
    }
    AddLog(StartLine(LongTimeText(now())));
    const int code = pass(settings);
    // A pass held off by another one is no failure of the day: the other's record tells.
    PassEnded(state, tickTime, code == kSuccess || code == kVerifyFailed);
    return code;
}

int RunSchedule(const Options& options, const std::string& settingsFile,
                const ScheduleSettings& settings, const ProgramFolders& folders,
                const std::function<void(const std::string&)>& say,
                const std::function<int(const ScheduleSettings&)>& pass) {
    Environment env = DefaultEnvironment();
    const Intervals intervals = ScheduleIntervals();
    const std::string recordPath =
        PassRecordPathFor(AbsolutePath(folders.stateFolder + kRunMarkerName));
    ScheduleState state;
    state.todayStamp = ShortDateText(LocalNow());
    int counted = 0;  // no listing yet: nobody counted, as the window's empty list
    bool unknown = false;
    const std::unique_ptr<SessionSource> sessions = DefaultSessionSource(*env.starter);
    ListingFailureNote failureNote;
    auto nextListing = SteadyClock::now() + intervals.sessions;
    auto nextTick = SteadyClock::now() + intervals.tick;
    const double tickSeconds = std::chrono::duration<double>(intervals.tick).count();
    say(ScheduleArmedLine(
        settings,
        settings.templateFolder.empty() ? folders.templateFolder : settings.templateFolder,
        LocalNow() + tickSeconds / kSecondsPerDay, tickSeconds));

    while (!StopRequested()) {
        const auto now = SteadyClock::now();
        if (now >= nextListing) {
            const SessionListing listing = MonitorSessions(*sessions, failureNote);
            counted = static_cast<int>(listing.counted.size());
            unknown = !listing.failure.empty();
            nextListing = SteadyClock::now() + intervals.sessions;
            continue;
        }
        if (now >= nextTick) {
            const int code =
                ScheduleTick(state, settingsFile, recordPath, options.ignoreSessions ? 0 : counted,
                             LocalNow, pass, !options.ignoreSessions && unknown);
            if (code == kStopped) {
                say(ScheduleStoppedLine(true));
                return kSuccess;
            }
            // The listing waited while a pass ran; it comes one interval after.
            if (code >= 0)
                nextListing = SteadyClock::now() + intervals.sessions;
            nextTick = SteadyClock::now() + intervals.tick;
            continue;
        }
        // A stop signal ends the sleep early (its handler does not restart it).
        const auto wake = std::min(nextListing, nextTick);
        std::this_thread::sleep_for(
            std::min<SteadyClock::duration>(wake - now, std::chrono::milliseconds(500)));
    }
    say(ScheduleStoppedLine(false));
    return kSuccess;
}

}  // namespace ari::runner
