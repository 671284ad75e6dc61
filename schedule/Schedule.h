// The daily schedule that the window and the headless runner share: the decision of one
// schedule tick, what a finished pass changes, and the record of the day's successful pass that
// both read, so that "done today" is one fact for every front end that shares a run marker.
#pragma once

#include <string>

#include "platform/DateTime.h"

namespace ari {

// What the schedule remembers between ticks: the day a pass belongs to and whether one has
// succeeded on it.
struct ScheduleState {
    std::string todayStamp;  // short date text
    bool processedToday = false;
};

enum class TickAction {
    Nothing,          // done today, or outside the time window
    UsersConnected,   // inside the window with more than one counted session
    SessionsUnknown,  // inside the window, the last session listing failed
    Start,            // start the pass
};

// One tick at `now`. While a pass has succeeded today the tick does nothing, and the first tick
// on a later date clears the flag (the pass may come at the next tick). Otherwise the time of
// day, as a long time text, must lie in the window: `begin` included, `end` excluded (texts
// compare in the order of the times; an empty end admits no time). Then more than one counted
// session holds the pass back, and so does a last session listing that failed
// (`sessionsUnknown`): who is connected is then not known, which is never "nobody".
TickAction DecideTick(ScheduleState& state, TDateTime now, const std::string& begin,
                      const std::string& end, int countedSessions, bool sessionsUnknown = false);

// After the pass that a tick started at `tickTime`: a success marks that tick's day done.
void PassEnded(ScheduleState& state, TDateTime tickTime, bool succeeded);

// The record of the last successful pass: a small file beside the run marker holding the short
// date text of the day it belongs to. Every front end that shares the marker writes it after a
// success and reads it at each tick, so a pass that another program ran today counts as done.
std::string PassRecordPathFor(const std::string& markerPath);

// Takes the record at `recordPath` into `state` before a tick at `now`: when it says a pass
// succeeded on `now`'s date, the state becomes done today. A missing, unreadable or foreign
// record changes nothing (the schedule then knows only its own passes).
void TakePassRecord(ScheduleState& state, const std::string& recordPath, TDateTime now);

// Writes the record of a pass that succeeded for the day of `tickTime`; false when it could not
// be written (the success still counts for this process).
bool WritePassRecord(const std::string& recordPath, TDateTime tickTime);

}  // namespace ari
