// The terminal sessions of the local machine as the system itself reports them: each session's
// number, user, station name and connection state as a number, the same in every display
// language. Windows has them (the Remote Desktop Services API); elsewhere there is no such
// service and the session tools' listing is read instead (sessions/SessionSource.h).
#pragma once

#include <string>
#include <vector>

namespace ari {

// A session's connection state. The values and their order are the system's own
// (WTS_CONNECTSTATE_CLASS), so that the Windows adapter passes the number through unchanged.
enum class TerminalState {
    Active = 0,        // a user is logged on and the session is connected
    Connected = 1,     // a client is connected, nobody logged on yet
    ConnectQuery = 2,  // a client is connecting
    Shadow = 3,        // shadowing another session
    Disconnected = 4,  // a user is logged on, no client connected
    Idle = 5,          // waiting for a client
    Listen = 6,        // the listener that accepts connections
    Reset = 7,         // being reset
    Down = 8,          // down after an error
    Init = 9,          // being initialised
};

struct TerminalSession {
    unsigned id = 0;
    std::string user;     // UTF-8; empty for sessions nobody is logged on to (services, listeners)
    std::string station;  // "Console", "RDP-Tcp#3", "Services", "RDP-Tcp" (a listener), ...
    TerminalState state = TerminalState::Down;
};

// The sessions of the local machine and their logoff. Tests substitute their own.
class TerminalSessions {
  public:
    virtual ~TerminalSessions() = default;
    // Every session the system knows, in its order. False with `error` set when the system
    // could not be asked (the list is then not to be trusted in any part).
    virtual bool Enumerate(std::vector<TerminalSession>* sessions, std::string* error) = 0;
    // The session this process runs in.
    virtual unsigned OwnSession() = 0;
    // Asks the system to log the session off, without waiting for it to end. False with
    // `error` set when the system refused.
    virtual bool LogOff(unsigned id, std::string* error) = 0;
};

// The system's sessions, or null where the system keeps none that this program can ask
// (Linux: the session tools are read there instead).
TerminalSessions* PlatformTerminalSessions();

}  // namespace ari
