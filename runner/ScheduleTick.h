// The runner's schedule loop: a tick every minute decided by the shared schedule
// (schedule/Schedule.h), the session listing every 30 seconds with a logoff of each
// disconnected session.
#pragma once

#include <functional>
#include <string>

#include "platform/DateTime.h"
#include "platform/ProgramFolders.h"
#include "schedule/Schedule.h"
#include "schedule/ScheduleSettings.h"

namespace ari::runner {

struct Options;

inline constexpr const char kTestTickVariable[] = "ARI_TEST_SCHEDULE_TICK_MS";

// One schedule tick of the runner: clears the log with the checking line, reads
// `settingsFile` (an error is logged and the tick ends), takes the record of the day's pass at
// `recordPath`, and, as the shared schedule decides, logs that users are connected or logs the
// start line and runs `pass`, whose exit code decides whether the day is done. `now` gives the
// local time. A failed last listing (`sessionsUnknown`) holds the pass without a line here: the
// monitor said why when it failed. Returns the pass's exit code, or -1 when no pass ran.
int ScheduleTick(ScheduleState& state, const std::string& settingsFile,
                 const std::string& recordPath, int countedSessions,
                 const std::function<TDateTime()>& now,
                 const std::function<int(const ScheduleSettings&)>& pass,
                 bool sessionsUnknown = false);

// Runs the schedule until a stop is asked for (StopRequested): every 30 seconds the session
// listing, with a logoff of each disconnected session; a tick one minute after the end of the
// previous one, re-reading `settingsFile` so that a saved change counts from the next tick.
// `pass` runs one pass and returns its exit code. `say` gets one line once the schedule is
// armed (ScheduleArmedLine of `settings`, the ones read at start) and one when it stops
// (ScheduleStoppedLine); they are for the console, not the operation log. Returns the process's
// exit code.
// For tests only, the environment variable kTestTickVariable set to a number of milliseconds
// (100 to 60000) makes the tick that long and the session listing half of it; the runner then
// says so on standard error at start. Nothing the package installs sets it.
int RunSchedule(const Options& options, const std::string& settingsFile,
                const ScheduleSettings& settings, const ProgramFolders& folders,
                const std::function<void(const std::string&)>& say,
                const std::function<int(const ScheduleSettings&)>& pass);

// "schedule armed: passes from BEGIN to END; live folder LIVE; template folder TEMPLATES; next
// tick at HH:MM:SS (in N s)": `templateFolder` is the one a pass would use, `nextTick` the local
// time of the first tick and `tickSeconds` the interval. An unset time is shown as "(not set)".
std::string ScheduleArmedLine(const ScheduleSettings& settings, const std::string& templateFolder,
                              TDateTime nextTick, double tickSeconds);
// "schedule stopped on request" and, after a pass that a stop ended, "schedule stopped on
// request during a pass".
std::string ScheduleStoppedLine(bool duringPass);

}  // namespace ari::runner
