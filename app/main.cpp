// SPDX-License-Identifier: GPL-3.0-or-later
#include <QApplication>
#include <QGuiApplication>
#include <QScreen>
#include <cstdio>
#include <cstdlib>

#include <csignal>

#include "cycle/atomic_file.h"
#include "main_window.h"

namespace {

// A file being written when the window is told to end leaves no temporary behind.
extern "C" void on_end_signal(int signal) {
    valdmora::remove_live_temporaries();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

}  // namespace

int main(int argc, char** argv) {
#ifdef SIGHUP
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) std::signal(signal, on_end_signal);
#else
    for (int signal : {SIGINT, SIGTERM}) std::signal(signal, on_end_signal);
#endif
#if defined(Q_OS_LINUX)
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY") && !(platform && *platform)) {
        std::fprintf(stderr,
                     "valdmora needs a display to open its window, and none was found (DISPLAY and "
                     "WAYLAND_DISPLAY are not set).\nRun it from a desktop session, or under a virtual "
                     "display: xvfb-run -a valdmora\n");
        return 2;
    }
#endif
    QApplication app(argc, argv);
    QApplication::setOrganizationName("valdmora");
    QApplication::setApplicationName("valdmora");
    QApplication::setApplicationVersion("1.01");
    QApplication::setDesktopFileName("valdmora");
    valdmora::Form1 window;
    if (window.restore_window()) {
        window.show();  // where and as large as it was left
    } else {
        // Without a window manager (a bare X server) maximizing does nothing: fill the screen.
        if (const QScreen* screen = QGuiApplication::primaryScreen()) window.setGeometry(screen->availableGeometry());
        window.showMaximized();
    }
    return app.exec();
}
