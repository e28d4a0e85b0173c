// Concurrent classes: simultaneous chat streams from many loopback addresses
// (two per address, the per-address limit), each relayed body compared byte
// for byte with what the fake LM Studio sent for that chat.
//
//   bench_concurrent_classes [--streams 300] [--addresses 150] [--pieces 200] [--gap-ms 2]
#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "bench/bench_support.h"

using namespace klarion;
using namespace klarion::bench;

int main(int argc, char** argv) {
    const long streams = option(argc, argv, "--streams", 300);
    const long addresses = option(argc, argv, "--addresses", 150);
    const long pieces = option(argc, argv, "--pieces", 200);
    const long gapMs = option(argc, argv, "--gap-ms", 2);

    FakeChatReply reply;
    reply.pieces.clear();
    for (long i = 0; i < pieces; ++i) reply.pieces.push_back(" mot" + std::to_string(i) + " é\"\\ ✓");
    reply.gap = std::chrono::milliseconds(gapMs);
    Classroom classroom(reply);
    const std::uint16_t port = classroom.server->port();
    const long baseline = classroom.server->residentKiB();

    std::vector<Exchange> results(static_cast<std::size_t>(streams));
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> clients;
    for (long i = 0; i < streams; ++i) {
        clients.emplace_back([&, i] {
            const std::string source =
                "127.0." + std::to_string(1 + (i % addresses) / 250) + "." + std::to_string(1 + (i % addresses) % 250);
            ++ready;
            while (!go) std::this_thread::yield();
            results[static_cast<std::size_t>(i)] =
                timedExchange(port, chatRequest("flux " + std::to_string(i)), false, source.c_str());
        });
    }
    while (ready < streams) std::this_thread::yield();
    const auto start = Clock::now();
    go = true;
    for (auto& client : clients) client.join();
    const double wall = millisecondsBetween(start, Clock::now());
    const long peak = classroom.server->peakResidentKiB();

    // What the fake sent for each chat, found by the chat's own message.
    std::map<std::string, std::string> sent;
    for (const auto& record : classroom.fake.requestsTo("/v1/chat/completions")) {
        auto at = record.body.find("flux ");
        if (at == std::string::npos) continue;
        auto end = record.body.find('"', at);
        sent[record.body.substr(at, end - at)] = record.emitted;
    }
    long identical = 0, altered = 0, missing = 0, failed = 0;
    std::size_t relayedBytes = 0;
    for (long i = 0; i < streams; ++i) {
        const Exchange& r = results[static_cast<std::size_t>(i)];
        if (!r.ok) {
            ++failed;
            continue;
        }
        relayedBytes += r.body.size();
        auto it = sent.find("flux " + std::to_string(i));
        if (it == sent.end()) {
            ++missing;
        } else if (it->second == r.body) {
            ++identical;
        } else {
            ++altered;
        }
    }
    std::printf("concurrent classes: %ld streams from %ld loopback addresses, %ld pieces each (%ld ms apart)\n",
                streams, addresses, pieces, gapMs);
    std::printf("  byte-identical %ld, altered %ld, not seen by the fake %ld, failed %ld; %zu bytes relayed\n",
                identical, altered, missing, failed, relayedBytes);
    std::printf("  wall time %.0f ms; server resident memory %ld KiB before, peak %ld KiB\n", wall, baseline, peak);
    std::vector<double> connect, first, last;
    for (const auto& r : results) {
        if (!r.ok) continue;
        connect.push_back(r.connectMs);
        first.push_back(r.firstByteMs);
        last.push_back(r.lastByteMs);
    }
    printFigures("connect", connect);
    printFigures("first event byte (after connect)", first);
    printFigures("last byte", last);
    return identical == streams ? 0 : 1;
}
