// The session monitor's tick that the window and the runner share: the sessions listed from
// the session source (sessions/SessionSource.h), a logoff asked for every disconnected session
// the listing names, each written to the operation log (and so to the run journal), and a
// listing that failed said once in the log.
#pragma once

#include <memory>
#include <string>

#include "platform/Environment.h"
#include "sessions/SessionListing.h"
#include "sessions/SessionSource.h"

namespace ari {

// The milliseconds a tick waits for the listing at most.
inline constexpr unsigned kListingWaitMs = 3000;

// Asks the source for the logoff of each row the listing logs off, in order, and writes a line
// for each to the operation log at `time` (a long time text): the user, the session number and
// the state, or why the logoff could not be asked for.
void LogOffDisconnected(const SessionListing& listing, SessionSource& source,
                        const std::string& time);

// The listing without a window: starts it, waits for it to end or for `waitMs`, whichever
// comes first, and finishes it. A listing that did not end in time comes back failed.
SessionListing ListSessions(SessionSource& source, unsigned waitMs = kListingWaitMs);

// Says a failed listing in the operation log once: the first listing that fails writes
// SessionsNotListedLine; later ones with the same reason write nothing, until a listing
// succeeds (which writes nothing either) or fails for another reason.
class ListingFailureNote {
  public:
    void Take(const SessionListing& listing, const std::string& time);

  private:
    std::string said_;  // the reason last written, "" after a listing that succeeded
};

// One whole tick without a window: ListSessions, the failure said once, then the logoffs.
SessionListing MonitorSessions(SessionSource& source, ListingFailureNote& note,
                               unsigned waitMs = kListingWaitMs);

}  // namespace ari
