// One device against the classroom server: many connections from one address
// that each send half a request head and then nothing. Prints the server's
// threads while they are open, how many the server refused, how long another
// address waits for an answer meanwhile, and when the held ones are let go.
//
//   bench_one_device [--connections 1000] [--watch-seconds 40]
#include <poll.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "bench/bench_support.h"

using namespace klarion;
using namespace klarion::bench;

namespace {

const std::string kConfig = "GET /api/config HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

// How many of the clients the server has closed (end of stream or reset);
// what it answered them is read and dropped.
long closedByServer(const std::vector<std::unique_ptr<hostile::Client>>& clients, std::vector<bool>& closed) {
    std::vector<pollfd> ready;
    for (const auto& client : clients) ready.push_back({client->fd(), POLLIN, 0});
    ::poll(ready.data(), ready.size(), 0);
    long count = 0;
    for (std::size_t i = 0; i < ready.size(); ++i) {
        char sink[4096];
        while (!closed[i] && (ready[i].revents & (POLLIN | POLLHUP | POLLERR))) {
            const ssize_t n = ::recv(ready[i].fd, sink, sizeof(sink), MSG_DONTWAIT);
            if (n > 0) continue;
            closed[i] = n == 0 || errno == ECONNRESET;
            break;
        }
        count += closed[i];
    }
    return count;
}

}  // namespace

int main(int argc, char** argv) {
    const long count = option(argc, argv, "--connections", 1000);
    const long watch = option(argc, argv, "--watch-seconds", 40);
    Classroom classroom;
    const std::uint16_t port = classroom.server->port();
    const auto other = [&] {
        const auto start = Clock::now();
        hostile::Client client(port, "127.0.6.2", 5);
        const bool answered = client.send(kConfig) && hostile::statusOf(client.readResponse()) == 200;
        return answered ? millisecondsBetween(start, Clock::now()) : -1.0;
    };
    for (int i = 0; i < 50; ++i) other();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const long threadsBefore = classroom.server->threads();

    std::vector<std::unique_ptr<hostile::Client>> held;
    std::vector<double> others;
    const auto opened = Clock::now();
    for (long i = 0; i < count; ++i) {
        held.push_back(std::make_unique<hostile::Client>(port, "127.0.6.1", 5));
        held.back()->send("GET /api/config HTTP/1.1\r\nHost: 127.0.0.1\r\nX-A: ");
        if (i % 100 == 99) others.push_back(other());
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const long threadsDuring = classroom.server->threads();
    std::vector<bool> closed(held.size());
    const long refused = closedByServer(held, closed);
    for (int i = 0; i < 10; ++i) others.push_back(other());

    std::printf("one address, %ld connections each with half a request head\n", count);
    std::printf("  server threads %ld before, %ld with them open; %ld of them refused at once\n", threadsBefore,
                threadsDuring, refused);
    std::printf("  another address meanwhile: %zu requests, answer median %.2f ms, slowest %.2f ms%s\n", others.size(),
                quantile(others, 0.5), quantile(others, 1.0),
                std::count(others.begin(), others.end(), -1.0) ? " (some unanswered)" : "");
    for (long second = 1; second <= watch; ++second) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        if (closedByServer(held, closed) == count) {
            std::printf("  all closed by the server %.1f s after they were opened; server threads then %ld\n",
                        millisecondsBetween(opened, Clock::now()) / 1000, classroom.server->threads());
            return 0;
        }
    }
    std::printf("  still open after %ld s: server threads %ld\n", watch, classroom.server->threads());
    return 0;
}
