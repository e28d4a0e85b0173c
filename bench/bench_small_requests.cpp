// Small requests: GET "/api/config" over kept-alive connections, all at once.
//
//   bench_small_requests [--connections 64] [--seconds 5]
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "bench/bench_support.h"

using namespace klarion;
using namespace klarion::bench;

int main(int argc, char** argv) {
    const long connections = option(argc, argv, "--connections", 64);
    const long seconds = option(argc, argv, "--seconds", 5);
    Classroom classroom;
    const std::uint16_t port = classroom.server->port();
    const std::string request = "GET /api/config HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: keep-alive\r\n\r\n";

    std::atomic<bool> stop{false};
    std::atomic<long> failures{0};
    std::vector<std::vector<double>> latencies(static_cast<std::size_t>(connections));
    std::vector<std::thread> clients;
    const auto start = Clock::now();
    for (long i = 0; i < connections; ++i) {
        clients.emplace_back([&, i] {
            auto client = std::make_unique<hostile::Client>(port);
            auto& mine = latencies[static_cast<std::size_t>(i)];
            while (!stop) {
                const auto begin = Clock::now();
                std::string response;
                if (client->send(request)) response = client->readResponse();
                if (hostile::statusOf(response) != 200 ||
                    response.find("Connection: keep-alive") == std::string::npos) {
                    ++failures;
                    client = std::make_unique<hostile::Client>(port);
                    continue;
                }
                mine.push_back(millisecondsBetween(begin, Clock::now()));
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    stop = true;
    for (auto& client : clients) client.join();
    const double elapsed = millisecondsBetween(start, Clock::now()) / 1000.0;

    std::vector<double> all;
    for (const auto& mine : latencies) all.insert(all.end(), mine.begin(), mine.end());
    std::printf("small requests: GET /api/config, keep-alive, %ld connections, %.1f s\n", connections, elapsed);
    std::printf("  %zu requests, %.0f requests per second, %ld failed\n", all.size(),
                static_cast<double>(all.size()) / elapsed, failures.load());
    std::printf("  latency: p50 %.3f ms, p90 %.3f ms, p99 %.3f ms, p99.9 %.3f ms\n", quantile(all, 0.5),
                quantile(all, 0.9), quantile(all, 0.99), quantile(all, 0.999));
    return failures == 0 ? 0 : 1;
}
