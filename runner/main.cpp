// autoreindex-run: the maintenance pass without a window (runner/Runner.h). "--help" says how.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/Files.h"
#include "runner/Runner.h"

int main(int argc, char** argv) {
    ari::runner::Options options;
    std::string fault;
    const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    if (!ari::runner::ParseOptions(arguments, options, fault)) {
        std::fprintf(stderr, "autoreindex-run: %s\n(see autoreindex-run --help)\n", fault.c_str());
        return ari::runner::kUsage;
    }
    // Before anything moves the current folder: relative paths are the caller's.
    ari::runner::MakeAbsolute(options);
    ari::runner::InstallStopHandlers();
    // Settings, templates, marker and journal live beside the program or, installed, in the
    // system's folders for each (platform/ProgramFolders.h); never in the current folder.
    return ari::runner::RunMain(options, ari::ThisProgramFolders());
}
