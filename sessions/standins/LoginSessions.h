// The login sessions of the local machine, as our quser and logoff tools see them: read from
// systemd-logind through loginctl when it runs, else from the utmp file, and printed in the
// fixed-column session listing that the session monitor cuts. No widget toolkit here.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace ari {

// One login session.
struct LoginSession {
    std::string id;  // the session number given to logoff (utmp: the record's slot)
    std::string user;
    std::string sessionName;  // "console" for a local seat or virtual console, else the terminal
    bool disconnected = false;
    bool current = false;   // the session the tool itself runs in
    long idleMinutes = -1;  // -1 when not known or not idle
    std::string logonTime;  // "DD/MM/YYYY HH:MM", or ""
    pid_t leader = 0;       // utmp: the session's leader process
    pid_t sessionId = 0;    // utmp: the process session whose processes belong to it
};

// ---- The listing layout (1-based columns): ">" or a blank in column 1, the user name in
// columns 2-23, the session name in 24-42, the id right-aligned ending at column 44, the state
// from column 47, the idle time right-aligned ending at column 63, the logon time from 66.

inline constexpr char kListingHeader[] =
    " USERNAME              SESSIONNAME        ID  STATE   IDLE TIME  LOGON TIME";

// One row. Names too long for their columns are cut. An id of three or four characters takes
// all four id columns (43-46). A longer id does not fit: the id columns then hold "*" (the
// session is still listed in its columns and counted by a reader of them, but no reader ever
// takes a cut id for a session number) and the whole id follows the row as "(id ...)".
std::string FormatListingRow(const LoginSession& session);
// "." under a minute or unknown, "M", "H:MM", or "D+H:MM".
std::string IdleText(long minutes);
// Local "DD/MM/YYYY HH:MM" of a time.
std::string LogonTimeText(time_t t);

// ---- systemd-logind, through loginctl's output.

// Session ids from `loginctl list-sessions --no-legend`: the first word of every line.
std::vector<std::string> ParseSessionIds(const std::string& listSessionsOutput);
// KEY=VALUE lines of `loginctl show-session`.
std::map<std::string, std::string> ParseProperties(const std::string& showOutput);
// The session described by show-session's properties; nothing for sessions that are not
// user logins (greeters, lock screens, background sessions) or that are gone. "closing" (the
// user has left, processes still run) is disconnected. `nowUsec` is the realtime clock in µs.
std::optional<LoginSession> SessionFromProperties(const std::map<std::string, std::string>& props,
                                                  unsigned long long nowUsec,
                                                  const std::string& currentId);
// "Thu 2026-12-10 07:05:00 UTC" -> "10/12/2026 07:05"; "" when no date is found.
std::string LogonTimeFromTimestamp(const std::string& timestamp);

// ---- utmp.

// A USER_PROCESS record of a utmp file.
struct UtmpLogin {
    int slot = 0;  // 1-based position of the record in the file
    pid_t pid = 0;
    pid_t session = 0;
    std::string line, user, host;
    time_t loginTime = 0;
};
// The user-process records of a utmp file's bytes (whole records only; others skipped).
std::vector<UtmpLogin> ParseUtmp(const std::string& bytes);

// What a utmp record is now: a live leader makes an active session; a gone leader whose
// process session still has processes makes a disconnected one; else the record is stale.
enum class UtmpState { Active, Disconnected, Stale };
UtmpState ClassifyUtmpLogin(bool leaderAlive, bool sessionHasProcesses);

// ---- Machine access (not pure).

// Runs `argv` (looked up in the absolute folders of PATH) and captures its standard output;
// nothing when it could not be started or exited with a nonzero status.
std::optional<std::string> RunAndCapture(const std::vector<std::string>& argv);
// Exit status of `argv`, or -1 when it could not be run.
int RunProgram(const std::vector<std::string>& argv);

bool ProcessAlive(pid_t pid);
// Processes whose process session is `sid`.
std::vector<pid_t> ProcessesOfSession(pid_t sid);

// Where the sessions come from: ARI_UTMP_FILE names a utmp file to read (tests); otherwise
// logind when loginctl answers, otherwise the system's utmp file.
struct SessionSource {
    bool logind = false;
    std::string utmpFile;
};
SessionSource ChooseSessionSource();
// The sessions of the source, in listing order (logind's order, or the file's order). A utmp
// session's id is the slot of its record: small, and stable while the record lives (logind's
// ids may grow large, utmp's process ids usually are).
std::vector<LoginSession> ListSessions(const SessionSource& source);

// True for a "/server:" argument (any letter case), and for one that names the local machine.
bool IsServerArgument(const std::string& arg);
bool IsLocalServerArgument(const std::string& arg);

// quser's arguments accepted: none, or "/server:" naming the local machine. Otherwise false,
// with the reason on standard error.
bool QuserArgumentsAccepted(int argc, char** argv);

}  // namespace ari
