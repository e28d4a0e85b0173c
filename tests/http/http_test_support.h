// Test pieces for the HTTP core: a connected pair of local sockets (one end a
// klarion::Socket, the other raw), a blocking loopback client whose reads give
// up after a while (a broken server fails the test instead of hanging it), and
// a one-shot signal between threads.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "http/core/socket.h"

namespace klarion::testing {

inline bool sendAll(int fd, std::string_view bytes) {
    for (std::size_t sent = 0; sent < bytes.size();) {
        ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

// Everything until the other end closes; `closed` tells whether it did (not a
// time-out). A close with unread request bytes arrives as a reset: closed all the same.
inline std::string receiveAll(int fd, bool* closed = nullptr) {
    std::string out;
    char buffer[4096];
    ssize_t n;
    while ((n = ::recv(fd, buffer, sizeof(buffer), 0)) > 0) out.append(buffer, static_cast<std::size_t>(n));
    if (closed) *closed = n == 0 || (n < 0 && errno == ECONNRESET);
    return out;
}

inline int timeoutSeconds(int fd, int option) {
    timeval t{};
    socklen_t length = sizeof(t);
    ::getsockopt(fd, SOL_SOCKET, option, &t, &length);
    return static_cast<int>(t.tv_sec);
}

struct SocketPair {
    SocketPair() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0)
            socket = std::make_shared<Socket>(fds[0]), peer = fds[1];
    }
    ~SocketPair() { closePeer(); }
    // Sends everything and ends the stream so reads cannot block.
    void send(std::string_view bytes) { sendAll(peer, bytes), ::shutdown(peer, SHUT_WR); }
    void closePeer() {
        if (peer >= 0) ::close(peer);
        peer = -1;
    }
    std::shared_ptr<Socket> socket;
    int peer = -1;
};

class Client {
public:
    explicit Client(std::uint16_t port, bool ipv6 = false) {
        sockaddr_in6 six{AF_INET6, htons(port), 0, in6addr_loopback, 0};
        sockaddr_in four{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        connected = ipv6 ? ::connect(fd, reinterpret_cast<sockaddr*>(&six), sizeof(six)) == 0
                         : ::connect(fd, reinterpret_cast<sockaddr*>(&four), sizeof(four)) == 0;
        timeval t{20, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof(t));
    }
    ~Client() { ::close(fd); }
    bool send(std::string_view bytes) { return sendAll(fd, bytes); }
    // One response: the head, then "Content-Length" bytes when announced.
    std::string readResponse() {
        std::string r;
        auto complete = [&] {
            auto head = r.find("\r\n\r\n"), at = r.find("Content-Length: ");
            return head != std::string::npos && r.size() >= head + 4 + (at < head ? std::stoul(r.substr(at + 16)) : 0);
        };
        for (char c; !complete() && ::recv(fd, &c, 1, 0) == 1;) r.push_back(c);
        return r;
    }
    std::string readToEnd(bool* closed = nullptr) { return receiveAll(fd, closed); }

    int fd = -1;
    bool connected = false;
};

// A moment handed from one thread to another; waiting gives up after a while.
class Signal {
public:
    void open() {
        std::call_once(once_, [&] { promise_.set_value(); });
    }
    bool wait() { return future_.wait_for(std::chrono::seconds(20)) == std::future_status::ready; }

private:
    std::once_flag once_;
    std::promise<void> promise_;
    std::future<void> future_ = promise_.get_future();
};

}  // namespace klarion::testing
