// Where the session monitor gets the sessions of the machine from, and how it logs one off:
// the system's own session states (Windows: the terminal-session service, whatever the display
// language), or the session tools quser and logoff, whose listing is read in the English,
// German, Spanish or French wording (Linux, where our own tools are the system's; and anywhere
// an explicit setting names a folder of tools, as the tests and the demo do). Both give the same
// SessionListing, so the window, the runner and the pass gate read one thing.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/Environment.h"
#include "platform/TerminalSessions.h"
#include "sessions/SessionListing.h"

namespace ari {

// The environment variable that names a folder holding quser and logoff to list and log off
// with instead of the system's own sessions. Nothing the program or its packages install sets
// it; scripts/start.sh sets it for the demo, and tests for their fake tools.
inline constexpr char kSessionToolsVariable[] = "ARI_SESSION_TOOLS";

// A listing under way.
class PendingListing {
  public:
    virtual ~PendingListing() = default;
    // True once the listing is all there (at once where nothing is waited for). Any thread.
    virtual bool Ended() = 0;
    // The listing as it stands: a listing that has not ended (a tool's output gets a quarter
    // of a second more to end), or could not be had, comes back with its `failure` set.
    // REQUIRES: called once.
    virtual SessionListing Finish() = 0;
};

class SessionSource {
  public:
    virtual ~SessionSource() = default;
    // Starts listing the sessions; never null (a listing that cannot start ends at once with
    // its failure).
    virtual std::unique_ptr<PendingListing> Start() = 0;
    // Asks for the logoff of the listing's row `row` (one of its logoffRows), without waiting
    // for the session to end. "" when asked, else why it could not be.
    virtual std::string LogOff(const SessionListing& listing, int row) = 0;
};

// The session tools: `quser` started through `starter` ("quser /server:<address>", its standard
// output and error read through a pipe), and `logoff` with the row's logoff parameters. `quser`
// and `logoff` are names the starter looks up, or full paths. When `ownSession` is given, a row
// with that session number is never logged off, whatever the listing's ">" mark says.
std::unique_ptr<SessionSource> ToolSessionSource(ProcessStarter& starter, std::string quser,
                                                 std::string logoff,
                                                 std::optional<unsigned> ownSession = {});

// The system's own sessions. Only sessions a user is logged on to are listed; active and
// disconnected ones count; a disconnected one is logged off unless it is this process's own.
// The rows read as the tool's would: a ">" before our own session's user, the station's name,
// the number, and the state's word ("Active", "Disc", "Conn", "Idle", "Listen", ...).
std::unique_ptr<SessionSource> SystemSessionSource(TerminalSessions& sessions);

// What the program uses: the tools of the folder that kSessionToolsVariable names when it is
// set; else the system's sessions where it has them (Windows); else the tools quser and logoff
// as the starter finds them (Linux: beside the program or in its installed tool folder).
std::unique_ptr<SessionSource> DefaultSessionSource(ProcessStarter& starter);

}  // namespace ari
