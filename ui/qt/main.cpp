// klarion: the desktop control panel and its classroom server.
//
// One instance per user: a second one says so in a dialog ("Klarion est déjà
// ouvert.") and exits with 1 without touching a file. Closing the main window
// quits; quitting stops the server.
//
// The options --lmstudio URL and --port P exist for the tests (a fake LM
// Studio, a free port); a teacher never needs them. --help prints the usage
// (exit 0, with or without a display); anything else prints it on standard
// error with what is wrong (exit 2).
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QLockFile>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "platform/main_queue.h"
#include "ui/panel/application.h"
#include "ui/panel/command_line.h"
#include "ui/qt/main_window.h"
#include "ui/qt/qt_desktop.h"
#include "ui/qt/qt_main_queue.h"
#include "ui/qt/translations.h"
#include "ui/qt/widgets.h"

namespace {

bool hasDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value && *value) return true;
    }
    return false;
}

QString lockPath() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime) return QDir(runtime).filePath("klarion.lock");
    return QDir::temp().filePath(QString("klarion-%1.lock").arg(getuid()));
}

}  // namespace

int main(int argc, char** argv) {
    using namespace klarion;
    const CommandLine line = parseCommandLine({argv + 1, argv + argc});
    if (line.action == CommandLine::Action::help) {
        std::fputs(commandLineUsage().c_str(), stdout);
        return 0;
    }
    if (line.action == CommandLine::Action::usageError) {
        std::fprintf(stderr, "klarion : %s.\n%s", line.error.c_str(), commandLineUsage().c_str());
        return 2;
    }
    if (!hasDisplay()) {
        std::fprintf(stderr, "klarion : aucun écran disponible (DISPLAY n'est pas défini).\n");
        return 1;
    }
    QLockFile lock(lockPath());
    lock.setStaleLockTime(0);
    if (!lock.tryLock(0)) {
        // Started again from the application menu: answer where the teacher looks.
        std::fprintf(stderr, "klarion : Klarion est déjà ouvert.\n");
        QApplication qtApp(argc, argv);
        qt::useFrenchQtTexts();
        auto* alert = new qt::AlertDialog("alreadyRunning", "Klarion est déjà ouvert.", "", nullptr);
        alert->addButton("OK", "alertOK", true);
        alert->show();
        QApplication::exec();
        return 1;
    }
    signal(SIGPIPE, SIG_IGN);

    QApplication qtApp(argc, argv);
    QApplication::setApplicationName("Klarion");
    QApplication::setApplicationVersion(KLARION_VERSION_TEXT);
    qt::useFrenchQtTexts();
    QApplication::setQuitOnLastWindowClosed(false);  // the main window's close quits
    markMainThread();
    setMainQueue(std::make_shared<qt::QtMainQueue>(&qtApp));

    auto app = std::make_unique<Application>(line.options);
    app->view().panel()->selectedPort = line.port;
    auto desktop = std::make_shared<qt::QtDesktop>();
    app->view().desktop = desktop;
    auto window = std::make_unique<qt::MainWindow>(*app);
    desktop->setWindow(window.get());
    window->show();
    window->act([&] { app->view().onAppear(); });

    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] { window->act([&] { app->view().onTimerTick(); }); });
    tick.start(static_cast<int>(ContentView::timerIntervalSeconds * 1000));

    const int status = QApplication::exec();
    tick.stop();
    window.reset();
    app.reset();  // stops the server and waits for its connections
    return status;
}
