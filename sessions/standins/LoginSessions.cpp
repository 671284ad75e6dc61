#include "sessions/standins/LoginSessions.h"

#include <dirent.h>
#include <fcntl.h>
#include <paths.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utmp.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>

extern char** environ;

namespace ari {

namespace {

std::string Field(const char* data, size_t size) {
    return std::string(data, strnlen(data, size));
}

bool AllDigits(const std::string& s) {
    if (s.empty())
        return false;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

bool SafeSessionId(const std::string& id) {
    if (id.empty() || id.size() > 32)
        return false;
    for (char c : id) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')))
            return false;
    }
    return true;
}

struct ProcStat {
    char state = 0;
    pid_t parent = 0;
    pid_t session = 0;
};

// State, parent and process session of /proc/<pid>/stat; nothing when the process is not there.
std::optional<ProcStat> ReadProcStat(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(in, text))
        return std::nullopt;
    // "pid (comm) S ppid pgrp session ...": comm may hold blanks and parentheses.
    const auto close = text.rfind(')');
    if (close == std::string::npos)
        return std::nullopt;
    std::istringstream rest(text.substr(close + 1));
    ProcStat stat;
    long ppid = 0, pgrp = 0, sid = 0;
    if (!(rest >> stat.state >> ppid >> pgrp >> sid))
        return std::nullopt;
    stat.parent = static_cast<pid_t>(ppid);
    stat.session = static_cast<pid_t>(sid);
    return stat;
}

// This process's parent, its parent and so on, as far as this pid namespace shows them.
std::vector<pid_t> AncestorsOfThisProcess() {
    std::vector<pid_t> out;
    pid_t pid = getppid();
    while (pid > 0 && std::find(out.begin(), out.end(), pid) == out.end()) {
        out.push_back(pid);
        const auto stat = ReadProcStat(pid);
        if (!stat)
            break;
        pid = stat->parent;
    }
    return out;
}

long IdleMinutesOfTerminal(const std::string& line) {
    if (line.empty() || line.find("..") != std::string::npos || line[0] == '/')
        return -1;
    struct stat st;
    if (stat(("/dev/" + line).c_str(), &st) != 0)
        return -1;
    const time_t now = time(nullptr);
    return now > st.st_atime ? static_cast<long>((now - st.st_atime) / 60) : 0;
}

bool IsConsoleLine(const std::string& line) {
    if (line == "console" || (!line.empty() && line[0] == ':'))
        return true;
    return line.size() > 3 && line.compare(0, 3, "tty") == 0 && AllDigits(line.substr(3));
}

std::string CurrentLogindSession() {
    if (const char* id = std::getenv("XDG_SESSION_ID"); id && *id)
        return id;
    std::ifstream in("/proc/self/sessionid");
    std::string id;
    in >> id;
    return id == "4294967295" ? std::string() : id;  // the audit "no session" value
}

unsigned long long RealtimeUsec() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<unsigned long long>(ts.tv_sec) * 1000000ull +
           static_cast<unsigned long long>(ts.tv_nsec) / 1000ull;
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Spawns `argv` with standard input and error on /dev/null and standard output on `outFd`
// (or /dev/null when it is -1); the child's pid, or -1.
// `name` in the absolute folders of PATH; "" when not found. Empty and relative entries are
// skipped: they mean the current folder, and nothing there may run in place of a system tool.
std::string FindOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    const std::string dirs = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        if (end > start && dirs[start] == '/') {
            std::string candidate = dirs.substr(start, end - start);
            if (candidate.back() != '/')
                candidate += '/';
            candidate += name;
            struct stat st;
            if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
                access(candidate.c_str(), X_OK) == 0)
                return candidate;
        }
        start = end + 1;
    }
    return {};
}

pid_t Spawn(const std::vector<std::string>& argv, int outFd) {
    const std::string program = FindOnPath(argv.at(0));
    if (program.empty())
        return -1;
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0)
        return -1;
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (outFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    else
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

int WaitFor(pid_t pid) {
    int status = 0;
    pid_t waited;
    do {
        waited = waitpid(pid, &status, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited < 0 || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

std::vector<std::string> ShowSessionCommand(const std::string& id) {
    return {"loginctl", "show-session", id,   "--no-pager", "-p", "Id",        "-p", "Name",
            "-p",       "TTY",          "-p", "Seat",       "-p", "Remote",    "-p", "Service",
            "-p",       "State",        "-p", "Class",      "-p", "Timestamp", "-p", "IdleHint",
            "-p",       "IdleSinceHint"};
}

}  // namespace

std::string LogonTimeText(time_t t) {
    struct tm tm;
    if (t <= 0 || !localtime_r(&t, &tm))
        return {};
    char buf[32];
    strftime(buf, sizeof buf, "%d/%m/%Y %H:%M", &tm);
    return buf;
}

std::vector<std::string> ParseSessionIds(const std::string& output) {
    std::vector<std::string> ids;
    std::istringstream in(output);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string id;
        if (words >> id)
            ids.push_back(id);
    }
    return ids;
}

std::map<std::string, std::string> ParseProperties(const std::string& output) {
    std::map<std::string, std::string> props;
    std::istringstream in(output);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const auto eq = line.find('=');
        if (eq == std::string::npos || eq == 0)
            continue;
        props[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return props;
}

std::string LogonTimeFromTimestamp(const std::string& timestamp) {
    static const std::regex date(R"((\d{4})-(\d{2})-(\d{2}) (\d{2}):(\d{2}))");
    std::smatch m;
    if (!std::regex_search(timestamp, m, date))
        return {};
    return m[3].str() + "/" + m[2].str() + "/" + m[1].str() + " " + m[4].str() + ":" + m[5].str();
}

std::optional<LoginSession> SessionFromProperties(const std::map<std::string, std::string>& props,
                                                  unsigned long long nowUsec,
                                                  const std::string& currentId) {
    auto get = [&](const char* key) {
        const auto it = props.find(key);
        return it == props.end() ? std::string() : it->second;
    };
    const std::string cls = get("Class");
    if (!cls.empty() && cls != "user")
        return std::nullopt;
    const std::string state = get("State");
    LoginSession s;
    if (state == "active" || state == "online")
        s.disconnected = false;
    else if (state == "closing")
        s.disconnected = true;
    else
        return std::nullopt;
    s.id = get("Id");
    if (s.id.empty())
        return std::nullopt;
    s.user = get("Name");
    if (!s.disconnected) {
        if (!get("Seat").empty() && get("Remote") != "yes")
            s.sessionName = "console";
        else if (!get("TTY").empty())
            s.sessionName = get("TTY");
        else
            s.sessionName = get("Service");
    }
    if (get("IdleHint") == "yes") {
        const std::string since = get("IdleSinceHint");
        if (AllDigits(since)) {
            const unsigned long long t = std::strtoull(since.c_str(), nullptr, 10);
            if (t > 0 && t <= nowUsec)
                s.idleMinutes = static_cast<long>((nowUsec - t) / 60000000ull);
        }
    }
    s.logonTime = LogonTimeFromTimestamp(get("Timestamp"));
    s.current = !currentId.empty() && s.id == currentId;
    return s;
}

std::vector<UtmpLogin> ParseUtmp(const std::string& bytes) {
    static_assert(sizeof(struct utmp) == 384, "the utmp record layout of this platform");
    std::vector<UtmpLogin> out;
    int slot = 0;
    for (size_t at = 0; at + sizeof(struct utmp) <= bytes.size(); at += sizeof(struct utmp)) {
        ++slot;
        struct utmp u;
        std::memcpy(&u, bytes.data() + at, sizeof u);
        if (u.ut_type != USER_PROCESS)
            continue;
        UtmpLogin login;
        login.slot = slot;
        login.pid = u.ut_pid;
        login.session = static_cast<pid_t>(u.ut_session);
        login.line = Field(u.ut_line, sizeof u.ut_line);
        login.user = Field(u.ut_user, sizeof u.ut_user);
        login.host = Field(u.ut_host, sizeof u.ut_host);
        login.loginTime = static_cast<time_t>(u.ut_tv.tv_sec);
        out.push_back(login);
    }
    return out;
}

UtmpState ClassifyUtmpLogin(bool leaderAlive, bool sessionHasProcesses) {
    if (leaderAlive)
        return UtmpState::Active;
    return sessionHasProcesses ? UtmpState::Disconnected : UtmpState::Stale;
}

std::optional<std::string> RunAndCapture(const std::vector<std::string>& argv) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return std::nullopt;
    const pid_t pid = Spawn(argv, fds[1]);
    close(fds[1]);
    std::string out;
    char buf[4096];
    for (;;) {
        const ssize_t n = read(fds[0], buf, sizeof buf);
        if (n > 0)
            out.append(buf, static_cast<size_t>(n));
        else if (n == 0 || errno != EINTR)
            break;
    }
    close(fds[0]);
    if (pid < 0 || WaitFor(pid) != 0)
        return std::nullopt;
    return out;
}

int RunProgram(const std::vector<std::string>& argv) {
    const pid_t pid = Spawn(argv, -1);
    return pid < 0 ? -1 : WaitFor(pid);
}

bool ProcessAlive(pid_t pid) {
    if (pid <= 0)
        return false;
    if (const auto stat = ReadProcStat(pid))
        return stat->state != 'Z' && stat->state != 'X';
    return kill(pid, 0) == 0 || errno == EPERM;
}

std::vector<pid_t> ProcessesOfSession(pid_t sid) {
    std::vector<pid_t> out;
    if (sid <= 0)
        return out;
    DIR* dir = opendir("/proc");
    if (!dir)
        return out;
    while (const dirent* e = readdir(dir)) {
        if (!AllDigits(e->d_name))
            continue;
        const pid_t pid = static_cast<pid_t>(std::atol(e->d_name));
        const auto stat = ReadProcStat(pid);
        if (stat && stat->session == sid && stat->state != 'Z' && stat->state != 'X')
            out.push_back(pid);
    }
    closedir(dir);
    return out;
}

SessionSource ChooseSessionSource() {
    if (const char* file = std::getenv("ARI_UTMP_FILE"); file && *file)
        return {false, file};
    if (RunAndCapture({"loginctl", "list-sessions", "--no-legend", "--no-pager"}))
        return {true, {}};
    return {false, _PATH_UTMP};
}

std::vector<LoginSession> ListSessions(const SessionSource& source) {
    std::vector<LoginSession> sessions;
    if (source.logind) {
        const auto listed =
            RunAndCapture({"loginctl", "list-sessions", "--no-legend", "--no-pager"});
        if (!listed)
            return sessions;
        const std::string current = CurrentLogindSession();
        for (const std::string& id : ParseSessionIds(*listed)) {
            if (!SafeSessionId(id))
                continue;
            const auto shown = RunAndCapture(ShowSessionCommand(id));
            if (!shown)
                continue;  // ended meanwhile
            if (auto s = SessionFromProperties(ParseProperties(*shown), RealtimeUsec(), current))
                sessions.push_back(std::move(*s));
        }
        return sessions;
    }
    // Where this process's session leader lies outside its pid namespace (a container's), getsid
    // gives 0; this process's session is then the login whose process is one of its ancestors.
    const pid_t ownSession = getsid(0);
    const std::vector<pid_t> ancestors =
        ownSession > 0 ? std::vector<pid_t>{} : AncestorsOfThisProcess();
    for (const UtmpLogin& login : ParseUtmp(ReadWholeFile(source.utmpFile))) {
        LoginSession s;
        s.leader = login.pid;
        s.sessionId = login.session > 0 ? login.session : login.pid;
        const bool alive = ProcessAlive(login.pid);
        const UtmpState state =
            ClassifyUtmpLogin(alive, !alive && !ProcessesOfSession(s.sessionId).empty());
        if (state == UtmpState::Stale || s.sessionId <= 0)
            continue;
        s.disconnected = state == UtmpState::Disconnected;
        s.id = std::to_string(login.slot);
        s.user = login.user;
        if (!s.disconnected)
            s.sessionName = IsConsoleLine(login.line) ? "console" : login.line;
        s.idleMinutes = IdleMinutesOfTerminal(login.line);
        s.logonTime = LogonTimeText(login.loginTime);
        s.current = ownSession > 0 ? s.sessionId == ownSession
                                   : std::find(ancestors.begin(), ancestors.end(), login.pid) !=
                                         ancestors.end();
        sessions.push_back(std::move(s));
    }
    return sessions;
}

}  // namespace ari
