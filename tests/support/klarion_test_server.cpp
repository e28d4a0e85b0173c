// klarion-test-server: the classroom server without a window, for the
// end-to-end and browser tests.
//
//   klarion-test-server --port P [--lmstudio http://127.0.0.1:Q] [--resources DIR]
//
// Runs the main queue as a run loop with the 5-second status tick, starts the
// server on port P (0: a free port) and prints, each on its own line, flushed:
//   listening on PORT
//   teacher PIN NNNN
// It stops cleanly on SIGTERM or SIGINT (exit status 0). A start that fails
// prints the reason on standard error and exits with status 1.
//
// HOME and the XDG variables should point at a scratch folder: the program
// reads and writes the preferences and the Documents folder found there.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "platform/main_queue.h"
#include "server/api/classroom_server.h"
#include "server/api/lan_address.h"
#include "web/dashboard/static_routes.h"

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

    auto context = ClassroomContext::makeDefault();
    auto panel = std::make_shared<PanelState>();
    panel->selectedPort = options.port;
    panel->hostName = computerHostName();
    auto classroom = std::make_shared<ClassroomServer>(context, panel);
    const auto resources = options.resources.empty() ? dashboard::ResourceFolder::besideProgram()
                                                     : std::filesystem::path(options.resources);
    classroom->setPageRoutes(dashboard::staticRoutes(std::make_shared<dashboard::ResourceFolder>(resources)));

    // The LM Studio pre-check before a start joins here with the LM Studio
    // gateway: until then the server starts without it.
    int status = 0;
    queue->post([&] {
        classroom->startServer();
        const auto port = classroom->listeningPort();
        if (!port) {
            std::fprintf(stderr, "klarion-test-server: the server did not start on port %lld\n",
                         static_cast<long long>(options.port));
            status = 1;
            queue->stop();
            return;
        }
        std::printf("listening on %u\n", static_cast<unsigned>(*port));
        std::printf("teacher PIN %s\n", context->config().teacherPinCode().c_str());
        std::fflush(stdout);
    });
    // The status tick of the panel joins here with the panel model.
    queue->every(5.0, [] {});

    std::thread signalWaiter([&] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        queue->post([&] { queue->stop(); });
    });

    queue->run();

    if (classroom->isRunning()) classroom->stopServer();
    classroom.reset();
    // Wakes the signal thread if the loop ended on its own.
    kill(getpid(), SIGTERM);
    signalWaiter.join();
    return status;
}
