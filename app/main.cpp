// Process entry: one application, one main window, the message loop.
#include <QApplication>
#include <QFileInfo>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/ErrorGuard.h"
#include "app/QtDialogs.h"
#include "app/uMain.h"
#include "platform/FileAccess.h"
#include "platform/Files.h"
#include "platform/Version.h"

namespace {
bool HasDisplay() {
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform && *platform)
        return true;  // the caller chose a platform (offscreen, xcb, ...)
    const char* x = std::getenv("DISPLAY");
    const char* wl = std::getenv("WAYLAND_DISPLAY");
    return (x && *x) || (wl && *wl);
}
}  // namespace

int main(int argc, char** argv) {
    // Needs no display: said before any window or application object exists.
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("autoreindex %s\n", ari::ProjectVersion());
        return 0;
    }
    ari::IgnoreFileSizeSignal();  // a write past the size limit fails, and is reported
    if (!HasDisplay()) {
        std::fprintf(stderr,
                     "autoreindex: no display is available (DISPLAY is not set).\n"
                     "Run it on a desktop session, or under a virtual display:\n"
                     "    xvfb-run -a %s\n",
                     argv[0]);
        return 2;
    }
    QApplication app(argc, argv);
    const QString exe = QString::fromStdString(ari::ExecutablePath());
    // Message and error boxes carry the application title made from the executable's name.
    // No display name is set: the platform would append it to the window's caption.
    QApplication::setApplicationName(ari::ApplicationTitle(exe));
    ari::InstallQtDialogs();

    auto* window = new TfMain();
    window->show();
    const int rc = app.exec();
    delete window;
    return rc;
}
