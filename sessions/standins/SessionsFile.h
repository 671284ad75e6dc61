// The Windows stand-ins' source of sessions. The real quser and logoff of a terminal server are
// what the program starts there; where they do not exist (Wine, a Windows without Remote Desktop
// Services) these stand-ins take their place, and their sessions are lines of a text file that
// ARI_SESSIONS_FILE names, so that tests set them:
//   ID|USER|SESSIONNAME|Active or Disc|IDLE MINUTES|LOGON TIME ("DD/MM/YYYY HH:MM")|*
// (the last field "*" marks the session the tool runs in; it may be left out). Without the
// variable there are no sessions. logoff removes a disconnected session's line.
#pragma once

#include <string>
#include <vector>

#include "sessions/standins/LoginSessions.h"

namespace ari {

// The sessions of the file's text, in its order; malformed lines are left out.
std::vector<LoginSession> ParseSessionsFile(const std::string& text);
// The text of the file with the session `id` left out.
std::string WithoutSession(const std::string& text, const std::string& id);

}  // namespace ari
