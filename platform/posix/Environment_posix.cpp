// POSIX implementation of the hidden program start.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <vector>

#include "platform/Environment.h"
#include "platform/Files.h"
#include "platform/ProgramFolders.h"

extern char** environ;

namespace ari {

namespace {

bool IsExecutableFile(const std::string& path) {
    return access(path.c_str(), X_OK) == 0 && FileExists(path);
}

// The folders of PATH that are absolute. Empty and relative entries are dropped: they name the
// current folder, which is the (writable) table folder after a run, and nothing there may be
// started in place of a tool.
std::vector<std::string> SearchFolders() {
    const char* path = std::getenv("PATH");
    const std::string dirs = path ? path : "/usr/bin:/bin";
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        if (end > start && dirs[start] == kPathSeparator)
            out.push_back(dirs.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

// Finds `file` in the program's tool folder (beside the executable, or the installed tool
// folder), then in the search folders; "" when nowhere.
std::string LocateProgram(const std::string& file) {
    if (file.empty())
        return {};
    if (file.find(kPathSeparator) != std::string::npos)
        return IsExecutableFile(file) ? file : "";
    const std::string beside = ThisProgramFolders().toolFolder + file;
    if (IsExecutableFile(beside))
        return beside;
    for (const std::string& dir : SearchFolders()) {
        const std::string candidate = WithTrailingSeparator(dir) + file;
        if (IsExecutableFile(candidate))
            return candidate;
    }
    return {};
}

// Spawn attributes and file actions for a hidden start: default signal dispositions and an
// empty signal mask (whatever the window process set up), standard input from /dev/null,
// standard output (and with `errorsToo` standard error) into `outputFd` when one is given, and
// no inherited descriptors beyond the standard three.
class SpawnSetup {
  public:
    explicit SpawnSetup(int outputFd, bool errorsToo = false) {
        ok_ = posix_spawnattr_init(&attr_) == 0;
        if (!ok_)
            return;
        actionsInit_ = posix_spawn_file_actions_init(&actions_) == 0;
        ok_ = actionsInit_;
        sigset_t none, all;
        sigemptyset(&none);
        sigfillset(&all);
        ok_ =
            ok_ && posix_spawnattr_setsigmask(&attr_, &none) == 0 &&
            posix_spawnattr_setsigdefault(&attr_, &all) == 0 &&
            posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0 &&
            posix_spawn_file_actions_addopen(&actions_, 0, "/dev/null", O_RDONLY, 0) == 0 &&
            (outputFd < 0 || posix_spawn_file_actions_adddup2(&actions_, outputFd, 1) == 0) &&
            (outputFd < 0 || !errorsToo ||
             posix_spawn_file_actions_adddup2(&actions_, outputFd, 2) == 0) &&
            posix_spawn_file_actions_addclosefrom_np(&actions_, 3) == 0;
    }
    ~SpawnSetup() {
        posix_spawnattr_destroy(&attr_);
        if (actionsInit_)
            posix_spawn_file_actions_destroy(&actions_);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    bool ok() const { return ok_; }
    const posix_spawnattr_t* attr() const { return &attr_; }
    const posix_spawn_file_actions_t* actions() const { return &actions_; }

  private:
    posix_spawnattr_t attr_{};
    posix_spawn_file_actions_t actions_{};
    bool ok_ = false;
    bool actionsInit_ = false;
};

// Detached start: an intermediate child spawns the program and exits at once, so the program
// is adopted by init (no zombie is left behind) and the caller never waits for the program.
// Everything the intermediate child needs is prepared before the fork; true when the program
// was started (its exec succeeded). The program stays in the window process's session, so that
// the session tools can tell which login session is the program's own. `outputFd`, when not
// -1, becomes the program's standard output (and with `errorsToo` its standard error).
bool SpawnDetached(const std::string& program, const std::vector<std::string>& args,
                   int outputFd = -1, bool errorsToo = false) {
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    SpawnSetup setup(outputFd, errorsToo);
    if (!setup.ok())
        return false;
    const pid_t mid = fork();
    if (mid < 0)
        return false;
    if (mid == 0) {
        pid_t child;
        const int rc = posix_spawn(&child, program.c_str(), setup.actions(), setup.attr(),
                                   argv.data(), environ);
        _exit(rc == 0 ? 0 : 127);
    }
    int status = 0;
    pid_t waited;
    do {
        waited = waitpid(mid, &status, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited < 0)
        return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A text as one single-quoted word of the POSIX shell.
std::string ShellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

class ShellStarter final : public ProcessStarter {
  public:
    bool Start(const std::string& file, const std::string& parameters) override {
        if (file == "cmd") {
            // "/c LINE": the rest of the text is one command line for the shell.
            const auto first = parameters.find_first_not_of(' ');
            if (first == std::string::npos)
                return false;
            const std::string text = parameters.substr(first);
            if (text.size() < 2 || (text.compare(0, 2, "/c") != 0 && text.compare(0, 2, "/C") != 0))
                return false;
            return SpawnDetached("/bin/sh", {"sh", "-c", PrependToolFolder(text.substr(2))});
        }
        const std::string program = LocateProgram(file);
        if (program.empty())
            return false;
        std::vector<std::string> args{file};
        for (auto& a : SplitParameters(parameters))
            args.push_back(a);
        return SpawnDetached(program, args);
    }

    std::unique_ptr<ProgramOutput> StartReadingOutput(const std::string& file,
                                                      const std::string& parameters) override {
        return StartPiped(file, parameters, false);
    }

    std::unique_ptr<ProgramOutput> StartReadingOutputAndErrors(
        const std::string& file, const std::string& parameters) override {
        return StartPiped(file, parameters, true);
    }

  private:
    std::unique_ptr<ProgramOutput> StartPiped(const std::string& file,
                                              const std::string& parameters, bool errorsToo) {
        const std::string program = LocateProgram(file);
        if (program.empty())
            return nullptr;
        std::vector<std::string> args{file};
        for (auto& a : SplitParameters(parameters))
            args.push_back(a);
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            return nullptr;
        // Once the start is done only the program holds the writing end, so the pipe ends
        // when the program closes its output.
        const bool started = SpawnDetached(program, args, fds[1], errorsToo);
        close(fds[1]);
        if (!started) {
            close(fds[0]);
            return nullptr;
        }
        return std::make_unique<ProgramOutput>(fds[0]);
    }

    // The shell searches the program's tool folder first, then the absolute folders of PATH.
    static std::string PrependToolFolder(const std::string& line) {
        std::string path = ThisProgramFolders().toolFolder;
        for (const std::string& dir : SearchFolders()) {
            if (!path.empty())
                path += ':';
            path += dir;
        }
        if (path.empty())
            path = "/usr/bin:/bin";
        return "PATH=" + ShellQuoted(path) + "; export PATH; " + line;
    }
};

}  // namespace

ProcessStarter* PlatformStarter() {
    static ShellStarter starter;
    return &starter;
}

}  // namespace ari
