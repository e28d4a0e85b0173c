// A blocking loopback client for the hostile tests: it can pick its own
// source address in 127.0.0.0/8, send byte by byte, stop reading, or leave
// halfway. Every read gives up after a bounded wait, so a broken server fails
// a test instead of hanging it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

namespace klarion::hostile {

class Client {
public:
    // Connects to 127.0.0.1:port from `source` (any 127.x.y.z address).
    // A receive buffer size (bytes, before connecting) makes a client that
    // stops reading stall its sender early.
    explicit Client(std::uint16_t port, const char* source = nullptr, int readTimeoutSeconds = 20,
                    int receiveBuffer = 0) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) return;
        if (receiveBuffer > 0) setReceiveBuffer(receiveBuffer);
        if (source) {
            sockaddr_in local{};
            local.sin_family = AF_INET;
            ::inet_pton(AF_INET, source, &local.sin_addr);
            if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) return;
        }
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
        timeval t{readTimeoutSeconds, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof(t));
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &t, sizeof(t));
        int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    }
    ~Client() { close(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool connected() const { return connected_; }
    int fd() const { return fd_; }

    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    // Stops sending (the server sees the end of the stream) but keeps reading.
    void shutdownWrite() { ::shutdown(fd_, SHUT_WR); }

    // Shrinks the receive buffer so that a client that stops reading stalls the sender early.
    void setReceiveBuffer(int bytes) { ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes)); }

    // Sends everything; false when the server closed or reset the connection.
    bool send(std::string_view bytes) {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) {
                if (n < 0 && errno == EINTR) continue;
                return false;
            }
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }

    // One response: the head, then "Content-Length" bytes when announced
    // (else nothing more). Empty when the server closed without answering.
    std::string readResponse() {
        std::string head;
        while (head.find("\r\n\r\n") == std::string::npos) {
            char c;
            if (::recv(fd_, &c, 1, 0) != 1) return head;
            head.push_back(c);
        }
        auto at = head.find("Content-Length: ");
        if (at == std::string::npos) return head;
        std::size_t length = std::stoul(head.substr(at + 16));
        return head + readSome(length);
    }

    std::string readSome(std::size_t n) {
        std::string out;
        while (out.size() < n) {
            char buffer[16384];
            ssize_t got = ::recv(fd_, buffer, std::min(sizeof(buffer), n - out.size()), 0);
            if (got <= 0) break;
            out.append(buffer, static_cast<std::size_t>(got));
        }
        return out;
    }

    // Everything until the server closes; `closed` tells whether it did (not a time-out).
    std::string readToEnd(bool* closed = nullptr) {
        std::string out;
        char buffer[16384];
        ssize_t n;
        while ((n = ::recv(fd_, buffer, sizeof(buffer), 0)) > 0) out.append(buffer, static_cast<std::size_t>(n));
        // A close with unread request bytes arrives as a reset: closed all the same.
        if (closed) *closed = n == 0 || (n < 0 && (errno == ECONNRESET || errno == EPIPE));
        return out;
    }

private:
    int fd_ = -1;
    bool connected_ = false;
};

// Status code of a response text ("HTTP/1.1 200 OK..." gives 200), 0 when none.
inline int statusOf(const std::string& response) {
    if (response.size() < 12 || response.compare(0, 5, "HTTP/") != 0) return 0;
    return std::atoi(response.c_str() + 9);
}

// Body of a response text (after the blank line).
inline std::string bodyOf(const std::string& response) {
    auto at = response.find("\r\n\r\n");
    return at == std::string::npos ? std::string() : response.substr(at + 4);
}

// Waits until `condition` holds, checking every 10 ms, for at most `limit`.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Resident memory of a process in KiB (VmRSS of /proc/PID/status), 0 when unknown.
inline long residentKiB(const std::string& pid = "self") {
    std::ifstream status("/proc/" + pid + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return 0;
}

// True when built with a sanitizer that changes memory figures.
constexpr bool sanitized() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    return true;
#else
    return false;
#endif
#else
    return false;
#endif
}

}  // namespace klarion::hostile
