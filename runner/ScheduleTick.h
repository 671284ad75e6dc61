// The window's schedule without the window: the decision of one schedule tick as a pure
// function, and the loop that ticks every minute and lists the sessions every 30 seconds.
#pragma once

#include <QString>
#include <functional>
#include <string>

#include "platform/DateTime.h"

namespace ari::runner {

struct Options;

inline constexpr const char kTestTickVariable[] = "ARI_TEST_SCHEDULE_TICK_MS";

struct RunnerSettings;

// What the schedule remembers between ticks: the day a pass belongs to and whether one has
// succeeded on it.
struct ScheduleState {
    QString todayStamp;  // short date text
    bool processedToday = false;
};

enum class TickAction {
    Nothing,         // done today, or outside the time window
    UsersConnected,  // inside the window with more than one counted session
    Start,           // start the pass
};

// One tick at `now`, as the window's tick decides it. While a pass has succeeded today the tick
// does nothing, and the first tick on a later date clears the flag (the pass may come at the
// next tick). Otherwise the time of day, as a long time text, must lie in the window: `begin`
// included, `end` excluded (texts compare in the order of the times; an empty end admits no
// time). Then more than one counted session holds the pass back.
TickAction DecideTick(ScheduleState& state, TDateTime now, const QString& begin, const QString& end,
                      int countedSessions);

// After the pass that a tick started at `tickTime`: a success marks that tick's day done.
void PassEnded(ScheduleState& state, TDateTime tickTime, bool succeeded);

// Runs the schedule until a stop is asked for (StopRequested): every 30 seconds the session
// listing, with a logoff of each disconnected session; a tick one minute after the end of the
// previous one, re-reading `settingsFile` so that a saved change counts from the next tick.
// `pass` runs one pass and returns its exit code. Returns the process's exit code.
// For tests only, the environment variable kTestTickVariable set to a number of milliseconds
// (100 to 60000) makes the tick that long and the session listing half of it; the runner then
// says so on standard error at start. Nothing the package installs sets it.
int RunSchedule(const Options& options, const QString& settingsFile, const std::string& appDir,
                const std::function<int(const RunnerSettings&)>& pass);

}  // namespace ari::runner
