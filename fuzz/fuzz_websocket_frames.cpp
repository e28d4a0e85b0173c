// Feeds arbitrary bytes to a WebSocket session as the client's half of an
// upgraded connection (a local socket pair), and checks what comes out against
// a plain reading of the same bytes: the messages and pongs handed to the
// callbacks, the pongs and the one close frame written back, and where the
// session stops. The first byte picks the callbacks present and the message
// limit; the rest is the client's stream: frames masked or not, fragmented or
// not, cut anywhere.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "http/core/text_utils.h"
#include "http/extras/websocket.h"

namespace {

using namespace klarion;

using fuzzing::check;

struct Events {
    std::vector<std::string> delivered;  // "t" or "b" or "p" (pong callback), then the payload
    std::string written;                 // frames the server wrote
};

void appendFrame(std::string& out, std::uint8_t first, const Bytes& payload) {
    out += static_cast<char>(first);
    const std::uint64_t n = payload.size();
    if (n <= 125) {
        out += static_cast<char>(n);
    } else if (n <= 0xFFFF) {
        out += {'\x7E', static_cast<char>(n >> 8), static_cast<char>(n)};
    } else {
        out += '\x7F';
        for (int shift = 56; shift >= 0; shift -= 8) out += static_cast<char>(n >> shift);
    }
    out.append(payload.begin(), payload.end());
}

// What the session must do with `in`: each frame read whole, by the rules of
// the session loop, until the first fault or the end of the stream.
Events expected(const std::uint8_t* in, std::size_t size, bool text, bool binary, bool pong, std::size_t limit) {
    Events e;
    std::size_t at = 0;
    int open = 0;  // 0 none, 1 text, 2 binary
    Bytes buffer;
    auto deliver = [&](int kind, const Bytes& message) {
        if (kind == 1 && !text) return true;
        if (kind == 2 && !binary) return true;
        std::string s(message.begin(), message.end());
        if (kind == 1 && !textutil::isWellFormedUtf8(s)) return false;
        e.delivered.push_back((kind == 1 ? "t" : "b") + s);
        return true;
    };
    for (;;) {
        if (at >= size) break;
        const std::uint8_t b0 = in[at++];
        const int op = b0 & 0x0F;
        const bool fin = b0 & 0x80;
        const bool control = op >= 8;
        if (b0 & 0x70) break;
        if (op != 0 && op != 1 && op != 2 && op != 8 && op != 9 && op != 10) break;
        if (!fin && control) break;
        if (at >= size) break;
        const std::uint8_t b1 = in[at++];
        if (!(b1 & 0x80)) break;
        std::uint64_t length = b1 & 0x7F;
        const int extra = length == 127 ? 8 : length == 126 ? 2 : 0;
        if (extra) {
            if (size - at < static_cast<std::size_t>(extra)) break;
            length = 0;
            for (int i = 0; i < extra; ++i) length = (length << 8) | in[at++];
        }
        if (control && length > 125) break;
        if (!control && length > limit - buffer.size()) break;
        if (size - at < 4 || size - at - 4 < length) break;
        const std::uint8_t* key = in + at;
        at += 4;
        Bytes payload(in + at, in + at + length);
        for (std::size_t i = 0; i < payload.size(); ++i) payload[i] ^= key[i % 4];
        at += length;

        if (op == 8) break;
        if (op == 9) {
            appendFrame(e.written, 0x8A, payload);
            continue;
        }
        if (op == 10) {
            if (pong) e.delivered.push_back("p" + std::string(payload.begin(), payload.end()));
            continue;
        }
        if (op == 0) {
            if (open == 0) break;
            if ((open == 1 && text) || (open == 2 && binary))
                buffer.insert(buffer.end(), payload.begin(), payload.end());
            if (!fin) continue;
            const int kind = open;
            open = 0;
            Bytes message;
            message.swap(buffer);
            if (!deliver(kind, message)) break;
            continue;
        }
        if (open != 0) break;
        if (fin) {
            if (!deliver(op, payload)) break;
            continue;
        }
        open = op;
        if ((op == 1 && text) || (op == 2 && binary)) buffer = std::move(payload);
    }
    e.written += "\x88";
    e.written += '\0';
    return e;
}

// The client's side: sends the stream, then ends it, and keeps everything the
// server writes until the server closes.
std::string playClient(int fd, const std::uint8_t* data, std::size_t size) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    std::string received;
    std::size_t sent = 0;
    bool sending = true;
    if (size == 0) ::shutdown(fd, SHUT_WR), sending = false;
    for (;;) {
        pollfd p{fd, static_cast<short>(POLLIN | (sending ? POLLOUT : 0)), 0};
        if (::poll(&p, 1, -1) < 0) continue;
        if (sending && (p.revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t n = ::send(fd, data + sent, size - sent, MSG_NOSIGNAL);
            if (n > 0) sent += static_cast<std::size_t>(n);
            if (n < 0 && errno != EAGAIN) sent = size;  // the server has gone
            if (sent == size) ::shutdown(fd, SHUT_WR), sending = false;
        }
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            char chunk[4096];
            ssize_t n = ::recv(fd, chunk, sizeof(chunk), 0);
            if (n > 0) {
                received.append(chunk, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EAGAIN) {
                return received;
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A session prints one line for the fault that ends it: not wanted here.
    [[maybe_unused]] std::FILE* quiet = std::freopen("/dev/null", "w", stdout);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t config = data[0];
    const bool text = config & 1, binary = config & 2, pong = config & 4;
    const std::size_t limit = (config & 8) ? 300 : defaultWebSocketMessageLimit;
    ++data, --size;

    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 0;
    auto socket = std::make_shared<Socket>(fds[0]);
    std::string written;
    std::thread client([&] { written = playClient(fds[1], data, size); });

    Events seen;
    int connected = 0, disconnected = 0;
    WebSocketCallbacks callbacks;
    if (text) {
        callbacks.text = [&](const auto&, const std::string& message) { seen.delivered.push_back("t" + message); };
    }
    if (binary) {
        callbacks.binary = [&](const auto&, const Bytes& message) {
            seen.delivered.push_back("b" + std::string(message.begin(), message.end()));
        };
    }
    if (pong) {
        callbacks.pong = [&](const auto&, const Bytes& payload) {
            seen.delivered.push_back("p" + std::string(payload.begin(), payload.end()));
        };
    }
    callbacks.connected = [&](const auto&) { check(connected++ == 0 && seen.delivered.empty(), "connected twice"); };
    callbacks.disconnected = [&](const auto&) { check(disconnected++ == 0, "disconnected twice"); };
    WebSocketSessionLoop::run(socket, callbacks, limit);
    client.join();
    ::close(fds[1]);

    check(connected == 1 && disconnected == 1, "connected or disconnected missing");
    check(socket->isClosed(), "socket left open");
    const Events want = expected(data, size, text, binary, pong, limit);
    check(seen.delivered == want.delivered, "messages differ from the stream's");
    check(written == want.written, "frames written back differ from the stream's pings and one close");
    return 0;
}
