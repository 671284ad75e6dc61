// POSIX implementation of the clock, sleep and the hidden program start.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <vector>

#include "platform/Environment.h"
#include "platform/Files.h"

extern char** environ;

namespace ari {

namespace {

class SystemClock final : public Clock {
public:
    TDateTime Now() override { return LocalNow(); }
};

class SystemSleeper final : public Sleeper {
public:
    void Sleep(unsigned ms) override { SleepMilliseconds(ms); }
};

// Finds `file` beside the executable, then on PATH; "" when nowhere.
std::string LocateProgram(const std::string& file) {
    if (file.find(kPathSeparator) != std::string::npos) return file;
    const std::string beside = ExtractFilePath(ExecutablePath()) + file;
    if (access(beside.c_str(), X_OK) == 0 && FileExists(beside)) return beside;
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        const std::string candidate = WithTrailingSeparator(dirs.substr(start, end - start)) + file;
        if (end > start && access(candidate.c_str(), X_OK) == 0 && FileExists(candidate))
            return candidate;
        start = end + 1;
    }
    return {};
}

// Detached start: the child is reaped by a short-lived intermediate process, so no zombie
// is left behind and the caller never waits for the program itself.
bool SpawnDetached(const std::string& program, const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t mid = fork();
    if (mid < 0) return false;
    if (mid == 0) {
        setsid();
        pid_t child;
        const int rc = posix_spawn(&child, program.c_str(), nullptr, nullptr, argv.data(), environ);
        _exit(rc == 0 ? 0 : 127);
    }
    int status = 0;
    while (waitpid(mid, &status, 0) < 0) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class ShellStarter final : public ProcessStarter {
public:
    bool Start(const std::string& file, const std::string& parameters) override {
        if (file == "cmd") {
            // "/c LINE": the rest of the text is one command line for the shell.
            std::string text = parameters;
            const auto first = text.find_first_not_of(' ');
            text = first == std::string::npos ? std::string() : text.substr(first);
            if (text.size() < 2 || (text.compare(0, 2, "/c") != 0 && text.compare(0, 2, "/C") != 0))
                return false;
            const std::string line = text.substr(2);
            return SpawnDetached("/bin/sh", {"sh", "-c", PrependToolFolder(line)});
        }
        const std::string program = LocateProgram(file);
        if (program.empty()) return false;
        std::vector<std::string> args{file};
        for (auto& a : SplitParameters(parameters)) args.push_back(a);
        return SpawnDetached(program, args);
    }

private:
    // Our tools lie beside the executable: put that folder first on the shell's search path.
    static std::string PrependToolFolder(const std::string& line) {
        const std::string dir = ExtractFilePath(ExecutablePath());
        std::string quoted = "'";
        for (char c : dir) {
            if (c == '\'') quoted += "'\\''";
            else quoted += c;
        }
        quoted += "'";
        return "PATH=" + quoted + ":\"$PATH\"; " + line;
    }
};

}  // namespace

std::vector<std::string> SplitParameters(const std::string& parameters) {
    std::vector<std::string> out;
    std::string cur;
    for (char c : parameters) {
        if (c == ' ' || c == '\t') {
            if (!cur.empty()) out.push_back(std::move(cur));
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) out.push_back(cur);
    return out;
}

Environment DefaultEnvironment() {
    static SystemClock clock;
    static SystemSleeper sleeper;
    static ShellStarter starter;
    return Environment{&clock, &sleeper, &starter, ExecutablePath()};
}

}  // namespace ari
