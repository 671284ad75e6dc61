// One table of schedule ticks that every front end (the window and the runner) must decide the
// same way: each row is the state before the tick, the time, the time window, the counted
// sessions and the record of the day's pass that another front end may have left.
#pragma once

#include <string>
#include <vector>

namespace ari::test {

struct TickCase {
    const char* what;
    bool processed;     // a pass has succeeded on `stamp`
    const char* stamp;  // the day the state belongs to
    int day, h, m, s;   // the tick's time, December 2026
    const char* begin;  // the time window
    const char* end;
    int sessions;         // counted sessions of the last listing
    const char* record;   // the record of the day's pass ("" : none)
    bool starts;          // the tick starts a pass
    bool usersConnected;  // the tick says that users are connected
    bool processedAfter;  // the state after the tick (before any pass ends)
};

inline const std::vector<TickCase>& TickCases() {
    static const std::vector<TickCase> cases = {
        {"before the window", false, "10/12/2026", 10, 1, 59, 59, "02:00:00", "04:00:00", 0, "",
         false, false, false},
        {"at its begin, one session", false, "10/12/2026", 10, 2, 0, 0, "02:00:00", "04:00:00", 1,
         "", true, false, false},
        {"inside, two sessions", false, "10/12/2026", 10, 3, 0, 0, "02:00:00", "04:00:00", 2, "",
         false, true, false},
        {"at its end", false, "10/12/2026", 10, 4, 0, 0, "02:00:00", "04:00:00", 0, "", false,
         false, false},
        {"done today", true, "10/12/2026", 10, 2, 30, 0, "02:00:00", "04:00:00", 0, "", false,
         false, true},
        {"done yesterday: cleared, no pass on this tick", true, "09/12/2026", 10, 2, 30, 0,
         "02:00:00", "04:00:00", 0, "", false, false, false},
        {"another program's pass today", false, "10/12/2026", 10, 2, 30, 0, "02:00:00", "04:00:00",
         0, "10/12/2026\n", false, false, true},
        {"another program's pass yesterday", false, "10/12/2026", 10, 2, 30, 0, "02:00:00",
         "04:00:00", 0, "09/12/2026\n", true, false, false},
        {"a record that is not a date", false, "10/12/2026", 10, 2, 30, 0, "02:00:00", "04:00:00",
         0, "garbage", true, false, false},
        {"a window over midnight admits nothing", false, "10/12/2026", 10, 23, 30, 0, "23:00:00",
         "01:00:00", 0, "", false, false, false},
    };
    return cases;
}

}  // namespace ari::test
