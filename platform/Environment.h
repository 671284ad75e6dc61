// The services that the scheduler and the session monitor reach the outside world through:
// the clock, sleeping and starting programs. Tests substitute their own.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/DateTime.h"
#include "platform/ProgramOutput.h"

namespace ari {

class Clock {
  public:
    virtual ~Clock() = default;
    // Local wall-clock time.
    virtual TDateTime Now() = 0;
};

class Sleeper {
  public:
    virtual ~Sleeper() = default;
    // Blocks the calling (window) thread for `ms` milliseconds.
    virtual void Sleep(unsigned ms) = 0;
};

// Starts a program hidden and without waiting for it, in the process's current folder.
// Stands in for the shell's start operation: `file` "cmd" with parameters "/c LINE" runs LINE
// through the system shell; any other file is found beside the executable first, then on the
// path, and gets its parameter text split at blanks into arguments (never through a shell).
class ProcessStarter {
  public:
    virtual ~ProcessStarter() = default;
    // Returns false when the program could not be started; callers may ignore it.
    virtual bool Start(const std::string& file, const std::string& parameters) = 0;
    // Starts a program as Start does any file but "cmd" (found the same way, parameters split
    // the same way, never through a shell), with its standard output into a pipe that only this
    // process reads. Null when the program could not be started.
    virtual std::unique_ptr<ProgramOutput> StartReadingOutput(const std::string& file,
                                                              const std::string& parameters) = 0;
    // As StartReadingOutput, with the program's standard error into the same pipe, so that a
    // tool's "nobody there" is told from its failure by what it said. A starter that cannot
    // (a test's) reads the standard output alone.
    virtual std::unique_ptr<ProgramOutput> StartReadingOutputAndErrors(
        const std::string& file, const std::string& parameters) {
        return StartReadingOutput(file, parameters);
    }
};

struct Environment {
    Clock* clock = nullptr;
    Sleeper* sleeper = nullptr;
    ProcessStarter* starter = nullptr;
    // Full path of the executable; decides the folder of the settings, templates and marker.
    std::string executablePath;
};

// The real clock, sleep and process starter, and the running executable's path.
Environment DefaultEnvironment();

// The platform's own process starter (platform/posix/ or platform/win32/), DefaultEnvironment's.
ProcessStarter* PlatformStarter();

// Splits a parameter text at runs of blanks (no quoting rules: none of our tools needs them).
std::vector<std::string> SplitParameters(const std::string& parameters);

}  // namespace ari
