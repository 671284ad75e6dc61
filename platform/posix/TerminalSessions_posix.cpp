// No terminal-session service to ask on POSIX systems: the session tools' listing (utmp and
// logind, sessions/standins/) stands in for it.
#include "platform/TerminalSessions.h"

namespace ari {

TerminalSessions* PlatformTerminalSessions() {
    return nullptr;
}

}  // namespace ari
