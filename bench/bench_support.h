// Shared pieces of the benchmark programs: the test server and the fake LM
// Studio on loopback, timed HTTP exchanges and figures. Benchmarks print
// figures; they assert nothing.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "tests/hostile/hostile_client.h"
#include "tests/hostile/server_process.h"
#include "tests/support/fake_lmstudio.h"

namespace klarion::bench {

using Clock = std::chrono::steady_clock;

inline double millisecondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// The q-quantile (0..1) of the values, nearest rank; 0 when empty.
inline double quantile(std::vector<double> values, double q) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    std::size_t rank = static_cast<std::size_t>(q * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(rank, values.size() - 1)];
}

// A numeric option "--name value" of the command line, else `fallback`.
inline long option(int argc, char** argv, const std::string& name, long fallback) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (argv[i] == name) return std::strtol(argv[i + 1], nullptr, 10);
    }
    return fallback;
}

// The fake LM Studio in this process and the test server program beside it.
struct Classroom {
    FakeLmStudio fake;
    hostile::ScratchFolder home;
    std::unique_ptr<test::TestServerProcess> server;

    explicit Classroom(FakeChatReply reply = {}) {
        fake.setChatReply(std::move(reply));
        if (!fake.start()) {
            std::fprintf(stderr, "bench: the fake LM Studio cannot listen\n");
            std::exit(1);
        }
        server = hostile::startTestServer(home.path(), fake.baseUrl());
        if (server->port() == 0) {
            std::fprintf(stderr, "bench: klarion-test-server did not start\n");
            std::exit(1);
        }
        // Give the server's first status probe time to see the loaded model.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    ~Classroom() {
        server.reset();
        fake.stop();
    }
};

// One streamed exchange: when the first body byte and the last byte came.
struct Exchange {
    bool ok = false;
    double connectMs = 0;  // connect() alone; the times below start after it
    double firstByteMs = 0;
    double lastByteMs = 0;
    std::string head;
    std::string body;  // as received (chunk framing included for a chunked answer)
};

// Sends `request` and reads the answer until the server closes (`chunked`
// false) or until the last chunk of a chunked body.
inline Exchange timedExchange(std::uint16_t port, const std::string& request, bool chunked,
                              const char* source = nullptr) {
    Exchange result;
    const auto connecting = Clock::now();
    hostile::Client client(port, source, 90);
    if (!client.connected()) return result;
    const auto start = Clock::now();
    result.connectMs = millisecondsBetween(connecting, start);
    if (!client.send(request)) return result;
    std::string received;
    std::size_t headEnd = std::string::npos;
    char buffer[16384];
    for (;;) {
        ssize_t n = ::recv(client.fd(), buffer, sizeof(buffer), 0);
        if (n <= 0) break;
        received.append(buffer, static_cast<std::size_t>(n));
        if (headEnd == std::string::npos) {
            headEnd = received.find("\r\n\r\n");
            if (headEnd != std::string::npos && received.size() > headEnd + 4) {
                result.firstByteMs = millisecondsBetween(start, Clock::now());
            }
        } else if (result.firstByteMs == 0) {
            result.firstByteMs = millisecondsBetween(start, Clock::now());
        }
        if (chunked && headEnd != std::string::npos && received.ends_with("\r\n0\r\n\r\n")) break;
    }
    result.lastByteMs = millisecondsBetween(start, Clock::now());
    if (headEnd == std::string::npos) return result;
    result.head = received.substr(0, headEnd + 4);
    result.body = received.substr(headEnd + 4);
    result.ok = hostile::statusOf(result.head) == 200 && result.firstByteMs > 0;
    return result;
}

// The payload of a chunked body.
inline std::string dechunk(const std::string& body) {
    std::string out;
    std::size_t at = 0;
    while (at < body.size()) {
        std::size_t lineEnd = body.find("\r\n", at);
        if (lineEnd == std::string::npos) break;
        std::size_t size = std::strtoul(body.substr(at, lineEnd - at).c_str(), nullptr, 16);
        if (size == 0) break;
        out += body.substr(lineEnd + 2, size);
        at = lineEnd + 2 + size + 2;
    }
    return out;
}

inline std::string chatRequest(const std::string& message) {
    std::string body = R"({"userMessage":")" + message + R"(","history":[]})";
    return "POST /api/chat HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

inline void printFigures(const char* what, const std::vector<double>& values) {
    std::printf("  %-34s median %8.3f ms   p99 %8.3f ms   max %8.3f ms\n", what, quantile(values, 0.5),
                quantile(values, 0.99), values.empty() ? 0.0 : *std::max_element(values.begin(), values.end()));
}

}  // namespace klarion::bench
