// WebSocket handshake, codec and session rules over loopback, frames built by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <thread>

#include "http/core/server.h"
#include "http/extras/websocket.h"
#include "tests/http/http_test_support.h"
#include "tests/http/largest_allocation.h"
#include "tests/support/text_pattern.h"

namespace klarion {
namespace {

using testing::Client;
using namespace std::string_literals;

const std::string kHandshake =
    "GET /echo HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";

// A client frame, masked unless told otherwise; `form` forces the 16-bit (126)
// or 64-bit (127) length form.
std::string frame(int first, std::string_view payload, int form = 0, bool mask = true) {
    std::string f(1, char(first));
    const std::uint64_t n = payload.size();
    const char m = mask ? char(0x80) : 0;
    if (form == 0 && n <= 125) {
        f += char(m | char(n));
    } else if (form != 127) {
        f += {char(m | 126), char(n >> 8), char(n)};
    } else {
        f += char(m | 127);
        for (int shift = 56; shift >= 0; shift -= 8) f += char(n >> shift);
    }
    const std::string key = mask ? "\x9a\x3c\x05\xe1" : "";
    f += key;
    for (std::size_t i = 0; i < n; ++i) f += mask ? char(payload[i] ^ key[i % 4]) : payload[i];
    return f;
}
const std::string kClose = frame(0x88, "");

class WebSocketTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto note = [this](char event, auto session) {  // 'c' connected, 'd' disconnected
            std::lock_guard<std::mutex> lock(mutex);
            if ((events += event).back() == 'c') kept.push_back(session);
        };
        server["/echo"] = websocket(
            [](auto s, const std::string& text) { s->writeText(text); },
            [](auto s, const Bytes& bytes) { s->writeBinary(bytes); },
            [](auto s, const Bytes& bytes) { s->writeText("pong " + std::string(bytes.begin(), bytes.end())); },
            [note](auto s) { note('c', s); },
            [note](auto s) { note('d', s), s->writeText("après"); });  // never sent: after the close
        server["/small"] = websocket([](auto s, const std::string& text) { s->writeText(text); }, nullptr, nullptr,
                                     nullptr, nullptr, 1000);
        server["/bare"] = websocket(nullptr, nullptr, nullptr);
        server.listenAddressIPv4 = "127.0.0.1";
        server.start(0, true);
    }
    void TearDown() override { server.stopAndWait(); }

    std::unique_ptr<Client> open(const std::string& path, const std::string& first = "") {
        auto client = std::make_unique<Client>(server.port());
        client->send(std::string(kHandshake).replace(4, 5, path) +
                     first);  // frames right behind the head: read ahead with it
        EXPECT_NE(client->readResponse().find("101 Switching Protocols"), std::string::npos);
        return client;
    }
    std::string takeEvents() {
        std::lock_guard<std::mutex> lock(mutex);
        return std::exchange(events, "");
    }

    HttpServer server;
    std::mutex mutex;
    std::string events;
    std::vector<std::shared_ptr<WebSocketSession>> kept;
};

TEST_F(WebSocketTest, HandshakeAnswersInHeaderOrder) {
    const std::string key = "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
    struct Case {
        std::string headers, expected;
    } cases[] = {
        {"Upgrade: websocket\r\nConnection: Upgrade\r\n" + key,
         "HTTP/1.1 101 Switching Protocols\r\n*Connection: Upgrade\r\n*"
         "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n*Upgrade: WebSocket\r\n\r\n"},
        {"Upgrade: keep-alive, WEBSOCKET\r\nConnection: keep-alive,  upgrade\r\nSec-WebSocket-Key: \r\n",
         "HTTP/1.1 101 *Sec-WebSocket-Accept: Kfh9QIsMVZcl6xEPYxPHzW8SZ8w=\r\n*"},
        {"Connection: close\r\n", "*400 Bad Request*\r\n\r\nInvalid value of 'Upgrade' header: unknown"},
        {"Upgrade: h2c\r\n" + key, "*\r\n\r\nInvalid value of 'Upgrade' header: h2c"},
        {"Upgrade: websocket\r\n" + key, "*\r\n\r\nInvalid value of 'Connection' header: unknown"},
        {"Upgrade: websocket\r\nConnection: Upgrade\r\n",
         "*\r\n\r\nInvalid value of 'Sec-Websocket-Key' header: unknown"},
    };
    for (const auto& c : cases) {
        Client client(server.port());
        client.send("GET /echo HTTP/1.1\r\n" + c.headers + "\r\n");
        std::string response = client.readResponse();
        EXPECT_TRUE(testing::matchesPattern(response, c.expected)) << c.headers << "\n" << response;
        EXPECT_EQ(response.find("Content-Length") == std::string::npos, response.find(" 101 ") != std::string::npos);
    }
}

TEST_F(WebSocketTest, SessionRulesAndBadInput) {
    const std::string p125(125, 'p'), p126(126, 'p'),
        c = "\x88\x00"s, utf8 = "Invalid UTF8 character: invalidUTF8(\"\")", pe = "Protocol error: protocolError(\"",
        mixed = pe + "Continuing fragmented frame cannot have an operation code.\")",
        reserved = pe + "Reserved frame bit has not been negociated.\")",
        big = pe + "Payload gretter than 125 octets.\")";
    auto bytes = [](std::size_t n) {
        std::string b(n, '\0');
        for (std::size_t i = 0; i < n; ++i) b[i] = char(i * 7 + i / 256);
        return b;
    };
    struct Case {
        std::string path, sent, reply, line;
    } cases[] = {
        // the three length forms both ways (a 16-bit length of 5 is accepted)
        {"/echo", frame(0x82, "") + kClose, "\x82\x00"s + c, ""},
        {"/echo", frame(0x82, bytes(125)) + kClose, "\x82\x7d" + bytes(125) + c, ""},
        {"/echo", frame(0x82, bytes(126)) + kClose, "\x82\x7e\x00\x7e"s + bytes(126) + c, ""},
        {"/echo", frame(0x82, bytes(65535)) + kClose, "\x82\x7e\xff\xff" + bytes(65535) + c, ""},
        {"/echo", frame(0x82, bytes(65536), 127) + kClose, "\x82\x7f\0\0\0\0\0\x01\0\0"s + bytes(65536) + c, ""},
        {"/echo", frame(0x82, "hello", 126) + frame(0x8a, "pp") + kClose, "\x82\x05hello\x81\x07pong pp" + c, ""},
        // fragments with control frames between them; close; callbacks absent
        {"/echo", frame(0x01, "Bon") + frame(0x89, "p") + frame(0x00, "jou") + frame(0x80, "r") + kClose,
         "\x8a\x01p\x81\x07"
         "Bonjour" +
             c,
         ""},
        {"/echo", frame(0x02, "\x01") + frame(0x80, "\x02") + frame(0x88, "\x03\xe8"), "\x82\x02\x01\x02" + c, ""},
        {"/echo", frame(0x89, p125) + kClose, "\x8a\x7d" + p125 + c, ""},
        {"/bare", frame(0x01, "a") + frame(0x89, "") + frame(0x80, "b") + frame(0x82, "c") + kClose, "\x8a\x00"s + c,
         ""},
        // UTF-8 over the whole payload, NUL included, also across fragments
        {"/echo", frame(0x81, "Élève 😀 a\0b"s) + kClose, "\x81\x10Élève 😀 a\0b"s + c, ""},
        {"/echo", frame(0x01, "\xf0\x9f") + frame(0x80, "\x98\x80") + kClose, "\x81\x04😀" + c, ""},
        {"/echo", frame(0x81, "\xc0\xaf"), c, utf8},
        {"/echo", frame(0x81, "\xe0\x80\xaf"), c, utf8},
        {"/echo", frame(0x81, "a\xed\xa0\x80"), c, utf8},
        {"/echo", frame(0x81, "\xf4\x90\x80\x80"), c, utf8},
        {"/echo", frame(0x01, "\xf0\x9f") + frame(0x80, "A"), c, utf8},
        // faults of the frame itself
        {"/echo", frame(0x81, "hello", 0, false), c,
         "Unmasked frame: unMaskedFrame(\"A client must mask all frames that it sends to the server.\")"},
        {"/echo", frame(0xc1, "a"), c, reserved},
        {"/echo", frame(0x43, "a"), c, reserved},
        {"/echo", frame(0x83, "a"), c, "Unknown Op Code: unknownOpCode(\"3\")"},
        {"/echo", frame(0x8f, "a"), c, "Unknown Op Code: unknownOpCode(\"15\")"},
        {"/echo", frame(0x09, "a"), c, pe + "Control frames must not be fragmented.\")"},
        {"/echo", frame(0x89, p126), c, big},
        {"/echo", frame(0x8a, p126), c, big},
        {"/echo", frame(0x80, "x"), c, pe + "Continuation frame without a fragmented message.\")"},
        {"/echo", frame(0x01, "a") + frame(0x81, "b"), c, mixed},
        {"/echo", frame(0x01, "a") + frame(0x02, "b"), c, mixed},
        // size caps, checked on the announced length
        {"/echo", "\x82\xff\x80\0\0\0\0\0\0\0\1\2\3\4"s, c, pe + "Message longer than 16777216 octets.\")"},
        {"/small", frame(0x81, std::string(1001, 'a')), c, pe + "Message longer than 1000 octets.\")"},
        {"/small", frame(0x01, std::string(600, 'a')) + frame(0x80, std::string(401, 'a')), c,
         pe + "Message longer than 1000 octets.\")"},
        // the peer stops in the middle of a frame
        {"/echo", "\x81\x85\x01"s, c, "Unkown error recvFailed(\"Success\")"},
    };
    for (const auto& c : cases) {
        takeEvents();
        ::testing::internal::CaptureStdout();
        auto client = open(c.path, c.sent);
        ::shutdown(client->fd, SHUT_WR);
        bool closed = false;
        EXPECT_EQ(client->readToEnd(&closed), c.reply) << c.line;
        EXPECT_TRUE(closed);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.line.empty() ? "" : c.line + "\n");
        EXPECT_EQ(takeEvents(), c.path == "/echo" ? "cd" : "") << c.line;
    }
}

TEST_F(WebSocketTest, StopEndsOpenSessionsAndLaterWritesStayOffTheDescriptor) {
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 3; ++i) clients.push_back(open("/echo", frame(0x81, "hi")));
    char echo[4];
    for (auto& c : clients)
        EXPECT_TRUE(::recv(c->fd, echo, 4, MSG_WAITALL) == 4 && std::string(echo, 4) == "\x81\x02hi");
    ::testing::internal::CaptureStdout();
    server.stopAndWait();
    for (auto& client : clients) {
        bool closed = false;
        EXPECT_EQ(client->readToEnd(&closed), "\x88\x02\x03\xe9");  // close, 1001 going away
        EXPECT_TRUE(closed);
    }
    for (auto& session : kept) session->writeText("trop tard");
    std::string printed = ::testing::internal::GetCapturedStdout();
    // Each session: its failed read; then the late writes.
    EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 6) << printed;
    EXPECT_TRUE(
        printed.ends_with("writeFailed(\"Bad file descriptor\")\nwriteFailed(\"Bad file descriptor\")\n"
                          "writeFailed(\"Bad file descriptor\")\n"))
        << printed;
    EXPECT_EQ(events, "cccddd");
}

TEST_F(WebSocketTest, AMessageOverTheLimitIsReadOffSoThatTheClientGetsTheCloseFrame) {
    ::testing::internal::CaptureStdout();
    auto client = open("/small", frame(0x81, std::string(64 << 10, 'a'), 127));  // sent whole, unread
    ::shutdown(client->fd, SHUT_WR);
    std::string received;
    char buffer[64];
    ssize_t n;
    while ((n = ::recv(client->fd, buffer, sizeof(buffer), 0)) > 0) received.append(buffer, n);
    const int error = n < 0 ? errno : 0;
    ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(received, "\x88\x00"s);
    EXPECT_EQ(error, 0) << std::strerror(error);  // an end, not a reset
}

TEST(WebSocketSessionLoop, ATextMessageReachesItsCallbackWithoutACopy) {
    const std::size_t size = 8 << 20;
    testing::SocketPair pair;
    std::thread client([&] { pair.send(frame(0x81, std::string(size, 'a'), 127) + kClose); });
    std::size_t delivered = 0, peak = 0;
    WebSocketCallbacks callbacks;
    callbacks.text = [&](const auto&, const std::string& text) { delivered = text.size(); };
    {
        testing::LargestAllocation held;
        WebSocketSessionLoop::run(pair.socket, callbacks);
        peak = held.peakBytes();
    }
    client.join();
    EXPECT_EQ(delivered, size);
    EXPECT_LT(peak, size + size / 2);  // the message once, and a step of its growth
}

// A client nobody here wrote (node-ws): text and binary echo, ping, close.
TEST_F(WebSocketTest, InteroperatesWithNodeWs) {
    std::string command = "NODE_PATH=/usr/share/nodejs node " KLARION_WS_INTEROP_SCRIPT " ws://127.0.0.1:" +
                          std::to_string(server.port()) + "/echo 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    for (char buffer[512]; std::fgets(buffer, sizeof(buffer), pipe);) output += buffer;
    EXPECT_EQ(::pclose(pipe), 0) << output;
    EXPECT_EQ(output, "text ok\nbinary ok\nlarge ok\npong ok\nclose 1005\n");
}

}  // namespace
}  // namespace klarion
