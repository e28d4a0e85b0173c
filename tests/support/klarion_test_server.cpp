// klarion-test-server: the classroom server without a window, for the
// end-to-end and browser tests.
//
//   klarion-test-server --port P [--lmstudio http://127.0.0.1:Q] [--resources DIR]
//
// Runs the application without its window (the same composition as the
// program `klarion`), the main queue as a run loop
// with the 5-second status tick, and starts the server on port P (0: a free
// port) through the start action: only when LM Studio answers at --lmstudio
// with a model loaded. Once it listens it prints, each on its own line, flushed:
//   listening on PORT
//   teacher PIN NNNN
// It stops cleanly on SIGTERM or SIGINT (exit status 0). A start that fails
// (the panel shows its alert) prints the alert on standard error and exits
// with status 1.
//
// HOME and the XDG variables should point at a scratch folder: the program
// reads and writes the preferences and the Documents folder found there
// (write "Klarion_Config/mode.json" and "teachers.json" there beforehand for
// the establishment mode). --resources names the folder of the student page
// files (default: "resources" beside the program).
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "platform/main_queue.h"
#include "ui/panel/application.h"

namespace {

struct Options {
    int64_t port = 3000;
    std::string lmStudioURL = "http://127.0.0.1:1234";
    std::string resources;
};

int usage() {
    std::fprintf(stderr, "usage: klarion-test-server --port P [--lmstudio URL] [--resources DIR]\n");
    return 2;
}

bool parsePort(const char* text, int64_t& port) {
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < 0 || value > 65535) return false;
    port = value;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace klarion;
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) return usage();
        if (arg == "--port") {
            if (!parsePort(argv[++i], options.port)) return usage();
        } else if (arg == "--lmstudio") {
            options.lmStudioURL = argv[++i];
        } else if (arg == "--resources") {
            options.resources = argv[++i];
        } else {
            return usage();
        }
    }

    // Every thread inherits this mask; one thread takes the signals with sigwait.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    auto queue = std::make_shared<RunLoopMainQueue>();
    setMainQueue(queue);

    auto app = std::make_unique<Application>(ApplicationOptions{options.lmStudioURL, options.resources});
    ContentView* view = &app->view();
    view->panel()->selectedPort = options.port;
    ClassroomServer* classroom = &app->server();

    // Reports the outcome of the start once, after the task that brought it.
    int status = 0;
    bool reported = false;
    auto panel = view->panel();
    queue->addAfterTaskHook([&] {
        if (reported) return;
        if (auto port = classroom->listeningPort(); port && panel->isRunning) {
            reported = true;
            std::printf("listening on %u\n", static_cast<unsigned>(*port));
            std::printf("teacher PIN %s\n", view->config()->teacherPinCode().c_str());
            std::fflush(stdout);
        } else if (panel->showingAlert) {
            reported = true;
            std::fprintf(stderr, "klarion-test-server: %s\n%s\n", panel->alertTitle.c_str(),
                         panel->alertMessage.c_str());
            status = 1;
            queue->stop();
        }
    });

    queue->post([&] {
        view->onAppear();
        view->startStopAction();  // through the LM Studio pre-check
    });
    queue->every(ContentView::timerIntervalSeconds, [&] { view->onTimerTick(); });

    std::thread signalWaiter([&] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        queue->post([&] { queue->stop(); });
    });

    queue->run();

    app.reset();  // stops the server
    // Wakes the signal thread if the loop ended on its own.
    kill(getpid(), SIGTERM);
    signalWaiter.join();
    return status;
}
