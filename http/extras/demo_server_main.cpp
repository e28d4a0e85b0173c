// klarion-demo-server FOLDER [--port P]
// Runs the demonstration server on loopback, sharing FOLDER under "/public/".
// Port 0 (the default) takes a free one. Prints "listening on PORT" once
// listening and stops on SIGTERM or SIGINT.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <pthread.h>

#include "http/extras/demo_server.h"

int main(int argc, char** argv) {
    const char* folder = nullptr;
    long port = 0;
    bool wrong = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc) {
            char* end = nullptr;
            port = std::strtol(argv[++i], &end, 10);
            wrong = wrong || *end || port < 0 || port > 65535;
        } else {
            wrong = wrong || folder;
            folder = argv[i];
        }
    }
    if (!folder || wrong) {
        std::fprintf(stderr, "usage: klarion-demo-server FOLDER [--port P]\n");
        return 2;
    }
    // Blocked here, so in every thread the server starts; sigwait takes them below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    auto server = klarion::demoServer(folder);
    try {
        server->start(static_cast<std::uint16_t>(port), true);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cannot listen on port %ld: %s\n", port, e.what());
        return 1;
    }
    std::printf("listening on %u\n", server->port());
    std::fflush(stdout);
    int signal = 0;
    sigwait(&stopSignals, &signal);
    server->stop();
    return 0;
}
