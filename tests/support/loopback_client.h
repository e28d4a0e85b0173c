// The one loopback HTTP client of the tests: a blocking connection to
// 127.0.0.1 or ::1 that sends raw bytes and reads raw bytes back, one
// response at a time (keep-alive and pipelining keep every byte: what was
// read past a response stays for the next read), a stream up to a marker, or
// everything until the server closes. Every read gives up after a bounded
// wait, so a broken server fails a test instead of hanging it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <thread>

namespace klarion::testing {

using namespace std::chrono_literals;

// A response taken apart. `complete`: the announced body arrived whole (or,
// without a length, the server closed after it).
struct HttpReply {
    int status = 0;
    std::map<std::string, std::string> headers;  // lower-case names
    std::string body;
    bool complete = false;
    std::string header(const std::string& lowerCaseName) const {
        auto it = headers.find(lowerCaseName);
        return it == headers.end() ? std::string() : it->second;
    }
};

inline std::string lowerCase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Status code of a response text ("HTTP/1.1 200 OK..." gives 200), 0 when none.
inline int statusOf(std::string_view response) {
    if (response.size() < 12 || response.substr(0, 5) != "HTTP/") return 0;
    return std::atoi(std::string(response.substr(9, 3)).c_str());
}

// Body of a response text (after the blank line).
inline std::string bodyOf(std::string_view response) {
    auto at = response.find("\r\n\r\n");
    return at == std::string_view::npos ? std::string() : std::string(response.substr(at + 4));
}

// Takes a response text apart; `closed` says the server ended the connection after it.
inline HttpReply parseReply(std::string_view raw, bool closed = true) {
    HttpReply reply;
    const auto headEnd = raw.find("\r\n\r\n");
    if (headEnd == std::string_view::npos) return reply;
    reply.status = statusOf(raw);
    reply.body = std::string(raw.substr(headEnd + 4));
    std::string_view head = raw.substr(0, headEnd);
    for (auto line = head.find("\r\n"); line != std::string_view::npos;) {
        auto next = head.find("\r\n", line + 2);
        auto text = head.substr(line + 2, next == std::string_view::npos ? std::string_view::npos : next - line - 2);
        if (auto colon = text.find(':'); colon != std::string_view::npos) {
            auto value = text.substr(colon + 1);
            value.remove_prefix(std::min(value.size(), value.find_first_not_of(' ')));
            reply.headers[lowerCase(std::string(text.substr(0, colon)))] = std::string(value);
        }
        line = next;
    }
    auto length = reply.headers.find("content-length");
    reply.complete = length == reply.headers.end() ? closed : reply.body.size() == std::stoul(length->second);
    return reply;
}

// A request text: "Host" set, a JSON body with its length, more header lines
// as given ("Name: value\r\n" each), "Connection: close" unless `keepAlive`.
inline std::string requestText(std::string_view method, std::string_view target, std::string_view body = "",
                               std::string_view moreHeaders = "", bool keepAlive = false) {
    std::string text = std::string(method) + " " + std::string(target) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (!body.empty()) text += "Content-Type: application/json\r\n";
    if (!body.empty() || method == "POST") text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    text += std::string(moreHeaders) + (keepAlive ? "" : "Connection: close\r\n") + "\r\n" + std::string(body);
    return text;
}

class LoopbackClient {
public:
    struct Options {
        bool ipv6 = false;                     // ::1 instead of 127.0.0.1
        const char* source = nullptr;          // a source address in 127.0.0.0/8
        std::chrono::milliseconds wait = 20s;  // the longest any one read or send waits
        int receiveBuffer = 0;  // bytes, set before connecting: a client that stops reading stalls its sender early
    };

    explicit LoopbackClient(std::uint16_t port) : LoopbackClient(port, Options{}) {}
    LoopbackClient(std::uint16_t port, Options options) : wait_(options.wait) {
        fd_ = ::socket(options.ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) return;
        if (options.receiveBuffer > 0) setReceiveBuffer(options.receiveBuffer);
        if (options.source) {
            sockaddr_in local{};
            local.sin_family = AF_INET;
            ::inet_pton(AF_INET, options.source, &local.sin_addr);
            if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) return;
        }
        sockaddr_in6 six{AF_INET6, htons(port), 0, in6addr_loopback, 0};
        sockaddr_in four{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        connected_ = options.ipv6 ? ::connect(fd_, reinterpret_cast<sockaddr*>(&six), sizeof(six)) == 0
                                  : ::connect(fd_, reinterpret_cast<sockaddr*>(&four), sizeof(four)) == 0;
        timeval t{static_cast<time_t>(wait_.count() / 1000), static_cast<suseconds_t>(wait_.count() % 1000 * 1000)};
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &t, sizeof(t));
        int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    }
    ~LoopbackClient() { close(); }
    LoopbackClient(const LoopbackClient&) = delete;
    LoopbackClient& operator=(const LoopbackClient&) = delete;

    bool connected() const { return connected_; }
    int fd() const { return fd_; }
    // The server ended the connection (end of stream or reset).
    bool peerClosed() const { return closed_; }

    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    // Stops sending (the server sees the end of the stream) but keeps reading.
    void shutdownWrite() { ::shutdown(fd_, SHUT_WR); }
    void setReceiveBuffer(int bytes) { ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes)); }

    // Sends everything; false when the server closed or reset the connection.
    bool send(std::string_view bytes) {
        for (std::size_t sent = 0; sent < bytes.size();) {
            ssize_t n = fd_ < 0 ? -1 : ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }

    // One response as sent: the head, then "Content-Length" bytes when
    // announced (else nothing more). Empty when the server closed without answering.
    std::string readResponse() {
        const auto deadline = std::chrono::steady_clock::now() + wait_;
        std::size_t headEnd;
        while ((headEnd = pending_.find("\r\n\r\n")) == std::string::npos) {
            if (!fill(deadline, 16384)) return take(pending_.size());
        }
        std::size_t size = headEnd + 4;
        auto head = lowerCase(pending_.substr(0, headEnd));
        if (auto at = head.find("\r\ncontent-length:"); at != std::string::npos)
            size += std::stoul(head.substr(at + 17));
        while (pending_.size() < size && fill(deadline, size - pending_.size())) {}
        return take(std::min(size, pending_.size()));
    }
    // The next response taken apart.
    HttpReply readReply() {
        auto raw = readResponse();
        return parseReply(raw, closed_);
    }

    // Up to `n` bytes (fewer when the server closes or the wait ends); reads no further.
    std::string readSome(std::size_t n) {
        const auto deadline = std::chrono::steady_clock::now() + wait_;
        while (pending_.size() < n && fill(deadline, n - pending_.size())) {}
        return take(std::min(n, pending_.size()));
    }

    // Reads until `marker` has arrived (empty: until the server closes), the
    // server closes, or `wait` passes; everything read so far (kept for the next call).
    const std::string& readUntil(std::string_view marker, std::chrono::milliseconds wait) {
        const auto deadline = std::chrono::steady_clock::now() + wait;
        while ((marker.empty() || pending_.find(marker) == std::string::npos) && fill(deadline, 16384)) {}
        return pending_;
    }

    // Everything until the server closes; `closed` tells whether it did (not a time-out).
    std::string readToEnd(bool* closed = nullptr) {
        const auto deadline = std::chrono::steady_clock::now() + wait_;
        while (fill(deadline, 16384)) {}
        if (closed) *closed = closed_;
        return take(pending_.size());
    }

private:
    // Reads once (at most `most` bytes) unless the server closed or the deadline passed.
    bool fill(std::chrono::steady_clock::time_point deadline, std::size_t most) {
        if (fd_ < 0 || closed_) return false;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd_, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
        char buffer[16384];
        ssize_t n = ::recv(fd_, buffer, std::min(sizeof(buffer), most), 0);
        if (n < 0 && errno == EINTR) return true;
        // A close with unread request bytes arrives as a reset: closed all the same.
        if (n <= 0) return closed_ = n == 0 || errno == ECONNRESET || errno == EPIPE, false;
        pending_.append(buffer, static_cast<std::size_t>(n));
        return true;
    }
    std::string take(std::size_t n) {
        std::string out = pending_.substr(0, n);
        pending_.erase(0, n);
        return out;
    }

    int fd_ = -1;
    bool connected_ = false, closed_ = false;
    std::chrono::milliseconds wait_;
    std::string pending_;
};

// One request text on its own connection, read until the server closes.
inline HttpReply roundTrip(std::uint16_t port, std::string_view request, LoopbackClient::Options options = {}) {
    LoopbackClient client(port, options);
    if (!client.send(request)) return {};
    bool closed = false;
    auto raw = client.readToEnd(&closed);
    return parseReply(raw, closed);
}

// One request ("Connection: close"; a body goes as JSON) on its own connection.
inline HttpReply request(std::uint16_t port, std::string_view method, std::string_view target,
                         std::string_view body = "", std::string_view moreHeaders = "") {
    return roundTrip(port, requestText(method, target, body, moreHeaders));
}

// Waits until `condition` holds, checking every 5 ms, for at most `limit`.
inline bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = 20s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

}  // namespace klarion::testing
