// Resident memory of the classroom server with many idle connections.
//
//   bench_idle_memory [--connections 1000]
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "bench/bench_support.h"

using namespace klarion;
using namespace klarion::bench;

int main(int argc, char** argv) {
    const long count = option(argc, argv, "--connections", 1000);
    Classroom classroom;
    const std::uint16_t port = classroom.server->port();
    // A few requests first, so that the baseline holds what serving needs.
    for (int i = 0; i < 50; ++i) {
        hostile::Client client(port);
        client.send("GET /api/config HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        client.readToEnd();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const long before = classroom.server->residentKiB();
    const long threadsBefore = classroom.server->threads();

    std::vector<std::unique_ptr<hostile::Client>> idle;
    for (long i = 0; i < count; ++i) {
        const std::string source = "127.0.1." + std::to_string(1 + i % 200);
        idle.push_back(std::make_unique<hostile::Client>(port, source.c_str()));
        if (!idle.back()->connected()) {
            std::fprintf(stderr, "connection %ld failed\n", i);
            return 1;
        }
    }
    hostile::eventually([&] { return classroom.server->threads() >= threadsBefore + count; }, std::chrono::seconds(30));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const long during = classroom.server->residentKiB();
    const long threadsDuring = classroom.server->threads();

    // Still serving meanwhile?
    hostile::Client probe(port);
    probe.send("GET /api/config HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    const int status = hostile::statusOf(probe.readResponse());

    std::printf("idle connections: %ld open\n", count);
    std::printf("  server resident memory %ld KiB before, %ld KiB with them open: %.1f KiB per idle connection\n",
                before, during, static_cast<double>(during - before) / static_cast<double>(count));
    std::printf("  server threads %ld before, %ld with them open; a new request meanwhile got status %d\n",
                threadsBefore, threadsDuring, status);
    return 0;
}
