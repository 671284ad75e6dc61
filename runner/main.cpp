// autoreindex-run: the maintenance pass without a window (runner/Runner.h). "--help" says how.
#include <QCoreApplication>
#include <cstdio>

#include "platform/Files.h"
#include "runner/Runner.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ari::runner::Options options;
    QString fault;
    if (!ari::runner::ParseOptions(app.arguments().mid(1), options, fault)) {
        std::fprintf(stderr, "autoreindex-run: %s\n(see autoreindex-run --help)\n",
                     fault.toUtf8().constData());
        return ari::runner::kUsage;
    }
    ari::runner::InstallStopHandlers();
    // Settings, templates, marker and journal live beside the program, never in the current
    // folder.
    const std::string appDir = ari::ExtractFilePath(ari::ExecutablePath());
    return ari::runner::RunMain(options, appDir);
}
