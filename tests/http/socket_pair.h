// A connected pair of local sockets: one end as a klarion::Socket, the other raw.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <string_view>

#include "http/core/socket.h"

namespace klarion::testing {

struct SocketPair {
    SocketPair() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
            socket = std::make_shared<Socket>(fds[0]);
            peer = fds[1];
        }
    }
    ~SocketPair() { closePeer(); }

    // Sends everything and, by default, ends the stream so reads cannot block.
    void send(std::string_view bytes, bool end = true) {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            ssize_t n = ::send(peer, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return;
            sent += static_cast<std::size_t>(n);
        }
        if (end) ::shutdown(peer, SHUT_WR);
    }

    // Everything the Socket end wrote, once it is closed or shut down.
    std::string receiveAll() {
        std::string out;
        char buffer[4096];
        ssize_t n;
        while ((n = ::recv(peer, buffer, sizeof(buffer), 0)) > 0) out.append(buffer, static_cast<std::size_t>(n));
        return out;
    }

    void closePeer() {
        if (peer >= 0) ::close(peer);
        peer = -1;
    }

    std::shared_ptr<Socket> socket;
    int peer = -1;
};

}  // namespace klarion::testing
