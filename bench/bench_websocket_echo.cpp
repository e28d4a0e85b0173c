// WebSocket echo round trips: our echo route (in this process) beside node-ws's
// echo server (a node program on the same machine), the same client for both,
// with 1 and 64 connections on loopback. Prints figures; asserts nothing.
//
//     build/bench/bench_websocket_echo [--seconds 3] [--size 32]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "http/core/server.h"
#include "http/extras/websocket.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

long option(int argc, char** argv, const std::string& name, long fallback) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (argv[i] == name) return std::strtol(argv[i + 1], nullptr, 10);
    }
    return fallback;
}

bool sendAll(int fd, const std::string& bytes) {
    for (std::size_t sent = 0; sent < bytes.size();) {
        ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

bool receiveExactly(int fd, char* into, std::size_t n) {
    return n == 0 || ::recv(fd, into, n, MSG_WAITALL) == static_cast<ssize_t>(n);
}

// A connected client past the upgrade; -1 when anything failed.
int openSession(std::uint16_t port, const std::string& path) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    timeval timeout{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        !sendAll(fd, "GET " + path +
                         " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                         "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n")) {
        ::close(fd);
        return -1;
    }
    std::string head;
    for (char c; head.find("\r\n\r\n") == std::string::npos && ::recv(fd, &c, 1, 0) == 1;) head.push_back(c);
    if (head.rfind("HTTP/1.1 101", 0) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// One masked text frame of `size` bytes, as a client sends it.
std::string clientFrame(std::size_t size) {
    std::string frame = "\x81";
    if (size <= 125) {
        frame += static_cast<char>(0x80 | size);
    } else {
        frame += {static_cast<char>(0x80 | 126), static_cast<char>(size >> 8), static_cast<char>(size)};
    }
    const char key[4] = {0x11, 0x22, 0x33, 0x44};
    frame.append(key, 4);
    for (std::size_t i = 0; i < size; ++i) frame += static_cast<char>(('a' + i % 26) ^ key[i % 4]);
    return frame;
}

// Reads one server frame; false on any failure.
bool readEcho(int fd, std::string& payload) {
    unsigned char head[2];
    if (!receiveExactly(fd, reinterpret_cast<char*>(head), 2)) return false;
    std::size_t length = head[1] & 0x7F;
    if (length == 126) {
        unsigned char extended[2];
        if (!receiveExactly(fd, reinterpret_cast<char*>(extended), 2)) return false;
        length = (std::size_t{extended[0]} << 8) | extended[1];
    } else if (length == 127) {
        return false;  // the benchmark's messages are smaller
    }
    payload.resize(length);
    return receiveExactly(fd, payload.data(), length);
}

struct Figures {
    double roundTripsPerSecond = 0;
    double p50 = 0, p99 = 0;  // milliseconds
    long failures = 0;
};

Figures run(std::uint16_t port, const std::string& path, int connections, double seconds, std::size_t size) {
    std::vector<std::vector<double>> latencies(connections);
    std::atomic<long> failures{0};
    std::atomic<bool> go{false};
    const std::string frame = clientFrame(size);
    std::vector<std::thread> threads;
    for (int c = 0; c < connections; ++c) {
        threads.emplace_back([&, c] {
            int fd = openSession(port, path);
            while (!go.load()) std::this_thread::yield();
            if (fd < 0) {
                ++failures;
                return;
            }
            std::string echo;
            const auto end = Clock::now() + std::chrono::duration<double>(seconds);
            for (auto now = Clock::now(); now < end;) {
                if (!sendAll(fd, frame) || !readEcho(fd, echo) || echo.size() != size) {
                    ++failures;
                    break;
                }
                auto after = Clock::now();
                latencies[c].push_back(std::chrono::duration<double, std::milli>(after - now).count());
                now = after;
            }
            sendAll(fd, std::string("\x88\x80\0\0\0\0", 6));
            ::close(fd);
        });
    }
    go = true;
    for (auto& thread : threads) thread.join();
    std::vector<double> all;
    for (auto& list : latencies) all.insert(all.end(), list.begin(), list.end());
    Figures figures;
    figures.failures = failures;
    if (all.empty()) return figures;
    std::sort(all.begin(), all.end());
    figures.roundTripsPerSecond = static_cast<double>(all.size()) / seconds;
    figures.p50 = all[all.size() / 2];
    figures.p99 = all[std::min(all.size() - 1, all.size() * 99 / 100)];
    return figures;
}

// node-ws's echo server in a child process; its port is read from its first line.
struct NodeEchoServer {
    pid_t pid = -1;
    std::uint16_t port = 0;

    NodeEchoServer() {
        int out[2];
        if (::pipe(out) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        std::vector<std::string> env = {"NODE_PATH=/usr/share/nodejs"};
        for (char** e = environ; *e; ++e) env.emplace_back(*e);
        std::vector<char*> envp;
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        char node[] = "node", script[] = KLARION_WS_NODE_ECHO_SCRIPT;
        char* argv[] = {node, script, nullptr};
        if (posix_spawnp(&pid, "node", &actions, nullptr, argv, envp.data()) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        std::string line;
        for (char c; line.find('\n') == std::string::npos && ::read(out[0], &c, 1) == 1;) line.push_back(c);
        ::close(out[0]);
        if (line.rfind("listening on ", 0) == 0) port = static_cast<std::uint16_t>(std::stoi(line.substr(13)));
    }
    ~NodeEchoServer() {
        if (pid > 0) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
    }
};

void print(const char* who, int connections, const Figures& f) {
    std::printf("%-8s %2d connection%s  %9.0f round trips/s   p50 %.3f ms   p99 %.3f ms%s\n", who, connections,
                connections == 1 ? " " : "s", f.roundTripsPerSecond, f.p50, f.p99,
                f.failures ? ("   (" + std::to_string(f.failures) + " failed)").c_str() : "");
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = static_cast<double>(option(argc, argv, "--seconds", 3));
    const std::size_t size = static_cast<std::size_t>(option(argc, argv, "--size", 32));

    klarion::HttpServer server;
    server["/echo"] = klarion::websocket(
        [](const auto& session, const std::string& text) { session->writeText(text); },
        [](const auto& session, const klarion::Bytes& bytes) { session->writeBinary(bytes); }, nullptr);
    server.listenAddressIPv4 = "127.0.0.1";
    server.start(0, true);
    NodeEchoServer node;
    if (node.port == 0) std::printf("node-ws echo server did not start (node and node-ws installed?)\n");

    std::printf("echo of %zu-byte text messages, %.0f s per run, loopback\n", size, seconds);
    for (int connections : {1, 64}) {
        print("klarion", connections, run(server.port(), "/echo", connections, seconds, size));
        if (node.port) print("node-ws", connections, run(node.port, "/", connections, seconds, size));
    }
    server.stop();
    return 0;
}
