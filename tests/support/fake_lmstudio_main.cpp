// fake-lmstudio: the fake LM Studio as a program, for tests that need it in another process.
//
//   fake-lmstudio [--port P] [--control-port C]
//
// Listens on 127.0.0.1 (ports 0 by default: free ones), prints "listening on P" and then
// "control on C", each on its own line, once both listen, and runs until SIGTERM, SIGINT or
// POST /control/quit. The control port is described in tests/support/fake_lmstudio_control.h.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/support/fake_lmstudio.h"
#include "tests/support/fake_lmstudio_control.h"

namespace {

bool parsePort(const char* text, std::uint16_t& port) {
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < 0 || v > 65535) return false;
    port = static_cast<std::uint16_t>(v);
    return true;
}

int usage() {
    std::fprintf(stderr, "usage: fake-lmstudio [--port P] [--control-port C]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::uint16_t port = 0;
    std::uint16_t controlPort = 0;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if ((arg == "--port" || arg == "--control-port") && i + 1 < argc) {
            if (!parsePort(argv[++i], arg == "--port" ? port : controlPort)) return usage();
        } else {
            return usage();
        }
    }

    // Every thread inherits this mask; the main thread takes the signals with sigwait.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    klarion::FakeLmStudio fake;
    if (!fake.start(port)) {
        std::fprintf(stderr, "fake-lmstudio: cannot listen on 127.0.0.1:%u: %s\n", port, std::strerror(errno));
        return 1;
    }
    klarion::FakeLmStudioControl control(fake, [] { kill(getpid(), SIGTERM); });
    if (!control.start(controlPort)) {
        std::fprintf(stderr, "fake-lmstudio: cannot listen on 127.0.0.1:%u: %s\n", controlPort, std::strerror(errno));
        return 1;
    }
    std::printf("listening on %u\ncontrol on %u\n", fake.port(), control.port());
    std::fflush(stdout);

    int sig = 0;
    sigwait(&stopSignals, &sig);
    control.stop();
    fake.stop();
    return 0;
}
