// The session monitor's tick that the window and the runner share: the listing tool started
// with its output through a pipe, the listing read from what it printed, and a logoff started
// for every disconnected session the listing names.
#pragma once

#include <memory>
#include <string>

#include "platform/Environment.h"
#include "sessions/SessionListing.h"

namespace ari {

// The milliseconds a tick waits for the listing tool at most.
inline constexpr unsigned kListingWaitMs = 3000;

// Starts the listing tool ("quser /server:<address>"); null when it cannot be started (a tick
// then counts no session).
std::unique_ptr<ProgramOutput> StartSessionListing(ProcessStarter& starter);

// The listing of what the tool printed (its bytes as they came).
SessionListing ReadSessionListing(const std::string& printed);

// Starts logoff for each row the listing logs off, in order.
void LogOffDisconnected(const SessionListing& listing, ProcessStarter& starter);

// The listing without a window: starts the tool, waits for it to end or for `waitMs`, whichever
// comes first, and reads what it printed. An empty listing when the tool is missing, fails or
// prints nothing: an unreadable listing counts no session.
SessionListing ListSessions(ProcessStarter& starter, unsigned waitMs = kListingWaitMs);

// One whole tick without a window: ListSessions, then the logoffs.
SessionListing MonitorSessions(ProcessStarter& starter, unsigned waitMs = kListingWaitMs);

}  // namespace ari
