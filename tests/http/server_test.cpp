#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <csignal>
#include <thread>

#include "http/core/server.h"
#include "socket_pair.h"

using namespace klarion;

namespace {

// A blocking loopback client whose reads give up after a while, so that a
// broken server fails the test instead of hanging it.
class Client {
public:
    explicit Client(std::uint16_t port, bool ipv6 = false) {
        if (ipv6) {
            fd_ = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in6 a{};
            a.sin6_family = AF_INET6;
            a.sin6_port = htons(port);
            a.sin6_addr = in6addr_loopback;
            connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
        } else {
            fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(port);
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
        }
        timeval t{20, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof(t));
    }
    ~Client() { close(); }

    bool connected() const { return connected_; }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    bool send(std::string_view bytes) {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return false;
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }

    // One response: the head, then "Content-Length" bytes when announced.
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
        std::string body;
        while (body.size() < length) {
            char buffer[4096];
            ssize_t n = ::recv(fd_, buffer, std::min(sizeof(buffer), length - body.size()), 0);
            if (n <= 0) break;
            body.append(buffer, static_cast<std::size_t>(n));
        }
        return head + body;
    }

    std::string readSome(std::size_t n) {
        std::string out;
        while (out.size() < n) {
            char buffer[4096];
            ssize_t got = ::recv(fd_, buffer, std::min(sizeof(buffer), n - out.size()), 0);
            if (got <= 0) break;
            out.append(buffer, static_cast<std::size_t>(got));
        }
        return out;
    }

    // Everything until the server closes; `closed` tells whether it did (not a time-out).
    std::string readToEnd(bool* closed = nullptr) {
        std::string out;
        char buffer[4096];
        ssize_t n;
        while ((n = ::recv(fd_, buffer, sizeof(buffer), 0)) > 0) out.append(buffer, static_cast<std::size_t>(n));
        // A close with unread request bytes arrives as a reset: closed all the same.
        if (closed) *closed = n == 0 || (n < 0 && errno == ECONNRESET);
        return out;
    }

private:
    int fd_ = -1;
    bool connected_ = false;
};

HttpResponse textResponse(std::string text) {
    return HttpResponse::ok(HttpResponseBody::text(std::move(text)));
}

// A one-shot latch for handing a moment from one thread to another.
class Latch {
public:
    void open() {
        std::lock_guard<std::mutex> lock(mutex_);
        open_ = true;
        cv_.notify_all();
    }
    bool wait() {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, std::chrono::seconds(20), [&] { return open_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool open_ = false;
};

}  // namespace

TEST(HttpServerEndToEnd, KeepAliveServesSeveralRequestsOnOneConnection) {
    HttpServer server;
    server["/data"] = [](HttpRequest&) { return HttpResponse::ok(HttpResponseBody::json(JsonValue::object({{"n", 1}}))); };
    server.start(0);
    Client client(server.port());
    ASSERT_TRUE(client.connected());

    const std::string expected =
        "HTTP/1.1 200 OK\r\nContent-Length: 7\r\nConnection: keep-alive\r\n"
        "Content-Type: application/json\r\nServer: Klarion 1.4\r\n\r\n{\"n\":1}";
    client.send("GET /data HTTP/1.1\r\nConnection: keep-alive\r\n\r\n");
    EXPECT_EQ(client.readResponse(), expected);
    client.send("GET /data HTTP/1.1\r\nConnection: keep-alive\r\n\r\n");
    EXPECT_EQ(client.readResponse(), expected);

    // Without the header: one response, then the server closes.
    client.send("GET /data HTTP/1.1\r\n\r\n");
    bool closed = false;
    EXPECT_EQ(client.readToEnd(&closed),
              "HTTP/1.1 200 OK\r\nContent-Length: 7\r\nContent-Type: application/json\r\nServer: Klarion 1.4\r\n\r\n{\"n\":1}");
    EXPECT_TRUE(closed);
    server.stop();
}

TEST(HttpServerEndToEnd, ResponsesWithoutLengthCloseTheConnection) {
    HttpServer server;
    server["/stream"] = [](HttpRequest&) {
        return HttpResponse::raw(200, "OK", HttpHeaders{{"Content-Type", "text/event-stream"}},
                                 [](HttpResponseBodyWriter& w) {
                                     w.write("data: a\n\n");
                                     w.write("data: [DONE]\n\n");
                                 });
    };
    server.start(0);

    struct Case {
        std::string request;
        std::string response;
    };
    const Case cases[] = {
        {"GET /stream HTTP/1.1\r\nConnection: keep-alive\r\n\r\n",
         "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nServer: Klarion 1.4\r\n\r\ndata: a\n\ndata: [DONE]\n\n"},
        {"GET /missing HTTP/1.1\r\nConnection: keep-alive\r\n\r\n", "HTTP/1.1 404 Not Found\r\nServer: Klarion 1.4\r\n\r\n"},
        {"GET /\r\n\r\n", ""},       // malformed request line: no answer at all
        {"BROKEN\r\n\r\n", ""},
        {"POST /x HTTP/1.1\r\nContent-Length: -5\r\n\r\n", ""},
        {"POST /x HTTP/1.1\r\nConnection: keep-alive\r\nContent-Length: 67108865\r\n\r\n",
         "HTTP/1.1 413 Payload Too Large\r\nServer: Klarion 1.4\r\n\r\n"},
    };
    for (const auto& c : cases) {
        Client client(server.port());
        client.send(c.request);
        bool closed = false;
        EXPECT_EQ(client.readToEnd(&closed), c.response) << c.request;
        EXPECT_TRUE(closed) << c.request;
    }
    server.stop();
}

TEST(HttpServerEndToEnd, ClientAddressesAndPeerFamilies) {
    HttpServer server;
    server["/who"] = [](HttpRequest& r) { return textResponse(r.clientAddress() + " " + r.method + " " + r.path); };
    server.start(0);
    EXPECT_FALSE(server.isIPv4());

    Client four(server.port());
    four.send("PUT /who?x HTTP/1.1\r\n\r\n");
    std::string answer = four.readToEnd();
    EXPECT_NE(answer.find("\r\n\r\n127.0.0.1 PUT /who"), std::string::npos) << answer;

    Client six(server.port(), true);
    if (six.connected()) {  // hosts without IPv6 loopback skip this half
        six.send("GET /who HTTP/1.1\r\n\r\n");
        EXPECT_NE(six.readToEnd().find("\r\n\r\n::1 GET /who"), std::string::npos);
    }
    server.stop();
}

TEST(HttpServerEndToEnd, StartTwiceStopTwiceAndRestartOnTheSamePort) {
    HttpServer server;
    server["/"] = [](HttpRequest&) { return textResponse("up"); };
    server.stop();  // not running: nothing happens
    EXPECT_EQ(server.state(), HttpServerIOState::stopped);
    server.start(0);
    const std::uint16_t port = server.port();
    server.start(0);  // already running: same socket
    EXPECT_EQ(server.port(), port);
    server.stop();
    EXPECT_EQ(server.state(), HttpServerIOState::stopped);
    server.stop();

    for (int round = 0; round < 3; ++round) {
        server.start(port);
        ASSERT_TRUE(server.operating());
        Client client(port);
        client.send("GET / HTTP/1.1\r\n\r\n");
        EXPECT_NE(client.readToEnd().find("\r\n\r\nup"), std::string::npos);
        server.stop();
    }
}

TEST(HttpServerEndToEnd, PortInUseFailsThenAFreePortWorks) {
    HttpServer first;
    first.start(0);
    HttpServer second;
    try {
        second.start(first.port());
        FAIL() << "a port in use must refuse to start";
    } catch (const SocketError& e) {
        EXPECT_EQ(e.kind(), SocketError::Kind::bindFailed);
    }
    EXPECT_EQ(second.state(), HttpServerIOState::starting);
    second.start(0);
    EXPECT_TRUE(second.operating());
    second.stop();
    first.stop();
}

TEST(HttpServerEndToEnd, StopWakesBlockedConnectionsAndWaitsForThem) {
    HttpServer server;
    Latch streaming;
    std::atomic<bool> writerFailed{false};
    server["/idle"] = [](HttpRequest&) { return textResponse("k"); };
    server["/flood"] = [&](HttpRequest&) {
        return HttpResponse::raw(200, "OK", std::nullopt, [&](HttpResponseBodyWriter& w) {
            const std::string chunk(64 * 1024, 'z');
            streaming.open();
            try {
                for (;;) w.write(chunk);  // the client never reads: this blocks in send
            } catch (const SocketError&) {
                writerFailed = true;
                throw;
            }
        });
    };
    server.start(0);

    Client idle(server.port());  // kept alive, then silent: blocked in a read
    idle.send("GET /idle HTTP/1.1\r\nConnection: keep-alive\r\n\r\n");
    EXPECT_NE(idle.readResponse().find("\r\n\r\nk"), std::string::npos);
    Client silent(server.port());  // connected, nothing sent
    Client flood(server.port());   // blocked in a write
    flood.send("GET /flood HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(streaming.wait());

    server.stop();  // returns only once every connection thread has ended
    EXPECT_EQ(server.activeConnections(), 0u);
    EXPECT_TRUE(writerFailed);
    bool closed = false;
    idle.readToEnd(&closed);
    EXPECT_TRUE(closed);
    silent.readToEnd(&closed);
    EXPECT_TRUE(closed);
}

TEST(HttpServerEndToEnd, ClientVanishingMidStreamLeavesTheServerServing) {
    HttpServer server;
    Latch failed;
    std::atomic<int> chunks{0};
    server["/stream"] = [&](HttpRequest&) {
        return HttpResponse::raw(200, "OK", HttpHeaders{{"Content-Type", "text/event-stream"}},
                                 [&](HttpResponseBodyWriter& w) {
                                     try {
                                         for (;;) {
                                             w.write("data: {\"choices\":[{\"delta\":{\"content\":\"x\"}}]}\n\n");
                                             ++chunks;
                                         }
                                     } catch (...) {
                                         failed.open();
                                         throw;
                                     }
                                 });
    };
    server["/ping"] = [](HttpRequest&) { return textResponse("pong"); };
    server.start(0);
    {
        Client client(server.port());
        client.send("POST /api/chat HTTP/1.1\r\n\r\n");  // not routed: 404 first, on its own connection
        client.readToEnd();
    }
    {
        Client client(server.port());
        client.send("GET /stream HTTP/1.1\r\n\r\n");
        EXPECT_FALSE(client.readSome(200).empty());
    }  // the client goes away while the writer is still writing
    ASSERT_TRUE(failed.wait());
    EXPECT_GT(chunks.load(), 0);

    Client after(server.port());
    after.send("GET /ping HTTP/1.1\r\n\r\n");
    EXPECT_NE(after.readToEnd().find("\r\n\r\npong"), std::string::npos);
    server.stop();
}

TEST(HttpServerEndToEnd, HandlerFailuresAndStopFromInsideAHandler) {
    HttpServer server;
    server["/throw"] = [](HttpRequest&) -> HttpResponse { throw std::runtime_error("bug"); };
    server["/stop"] = [&server](HttpRequest&) {
        server.stop();  // must not wait for its own thread
        return textResponse("never sent");
    };
    server.start(0);
    Client client(server.port());
    client.send("GET /throw HTTP/1.1\r\nConnection: keep-alive\r\n\r\n");
    bool closed = false;
    EXPECT_EQ(client.readToEnd(&closed), "HTTP/1.1 500 Internal Server Error\r\nServer: Klarion 1.4\r\n\r\n");
    EXPECT_TRUE(closed);

    Client stopper(server.port());
    stopper.send("GET /stop HTTP/1.1\r\n\r\n");
    EXPECT_EQ(stopper.readToEnd(&closed), "");  // stopped before the answer: nothing is written
    EXPECT_TRUE(closed);
    for (int i = 0; i < 2000 && server.state() != HttpServerIOState::stopped; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(server.state(), HttpServerIOState::stopped);
}

TEST(HttpServerEndToEnd, SwitchProtocolsHandsTheSocketOver) {
    HttpServer server;
    server["/ws"] = [](HttpRequest&) {
        return HttpResponse::switchProtocols({{"Upgrade", "echo"}}, [](std::shared_ptr<Socket> socket) {
            std::string line = socket->readLine();
            socket->writeUTF8("echo:" + line + "\n");
        });
    };
    server.start(0);
    Client client(server.port());
    client.send("GET /ws HTTP/1.1\r\nConnection: keep-alive\r\n\r\n");
    EXPECT_EQ(client.readResponse(), "HTTP/1.1 101 Switching Protocols\r\nServer: Klarion 1.4\r\nUpgrade: echo\r\n\r\n");
    client.send("hello\n");
    bool closed = false;
    EXPECT_EQ(client.readToEnd(&closed), "echo:hello\n");
    EXPECT_TRUE(closed);
    server.stop();
}

// ---- dispatch: middleware, methods, not-found handler ----

namespace {

std::string dispatchText(HttpServer& server, std::string method, std::string path) {
    HttpRequest request;
    request.method = std::move(method);
    request.path = std::move(path);
    auto [params, handler] = server.dispatch(request);
    request.params = params;
    HttpResponse response = handler(request);
    if (response.kind() != HttpResponse::Kind::ok) return std::to_string(response.statusCode());
    MemoryBodyWriter writer;
    response.content().writer(writer);
    return writer.text();
}

}  // namespace

TEST(HttpServerDispatch, PerMethodRoutesAndAnyMethod) {
    HttpServer server;
    server.POST["/form"] = [](HttpRequest&) { return textResponse("POST"); };
    server["/form"] = [](HttpRequest&) { return textResponse("any"); };
    server.get["/lower"] = [](HttpRequest&) { return textResponse("lower get"); };
    server.delete_["/item/:id"] = [](HttpRequest& r) { return textResponse("deleted " + r.params.at(":id")); };
    server.PUT.set("/put", [](HttpRequest&) { return textResponse("put"); });

    EXPECT_EQ(server.GET.method(), server.get.method());
    EXPECT_EQ(server.delete_.method(), "DELETE");
    EXPECT_EQ(dispatchText(server, "POST", "/form"), "POST");
    EXPECT_EQ(dispatchText(server, "GET", "/form"), "any");
    EXPECT_EQ(dispatchText(server, "GET", "/lower"), "lower get");
    EXPECT_EQ(dispatchText(server, "POST", "/lower"), "404");
    EXPECT_EQ(dispatchText(server, "DELETE", "/item/7"), "deleted 7");
    EXPECT_EQ(dispatchText(server, "PUT", "/put"), "put");
    EXPECT_EQ(dispatchText(server, "GET", "/nowhere"), "404");
    EXPECT_FALSE(server.getRouteHandler("/form"));
    EXPECT_EQ(server.routes().size(), 5u);

    server.notFoundHandler = [](HttpRequest&) { return HttpResponse::movedPermanently("/"); };
    EXPECT_EQ(dispatchText(server, "GET", "/nowhere"), "301");
}

TEST(HttpServerDispatch, MiddlewareRunsFirstAndTheFirstAnswerWins) {
    HttpServer server;
    server["/open"] = [](HttpRequest&) { return textResponse("open"); };
    std::vector<std::string> seen;
    server.middleware.push_back([&](HttpRequest& r) -> std::optional<HttpResponse> {
        seen.push_back(r.path);
        return std::nullopt;
    });
    EXPECT_EQ(dispatchText(server, "GET", "/open"), "open");
    EXPECT_EQ(dispatchText(server, "GET", "/unknown"), "404");
    EXPECT_EQ(seen, (std::vector<std::string>{"/open", "/unknown"}));

    int secondRan = 0;
    server.middleware.push_back([](HttpRequest&) -> std::optional<HttpResponse> { return HttpResponse::unauthorized(); });
    server.middleware.push_back([&](HttpRequest&) -> std::optional<HttpResponse> {
        ++secondRan;
        return HttpResponse::forbidden();
    });
    EXPECT_EQ(dispatchText(server, "GET", "/open"), "401");
    EXPECT_EQ(dispatchText(server, "GET", "/unknown"), "401");
    EXPECT_EQ(secondRan, 0);
}

TEST(HttpServerEndToEnd, HeadAnswersCarryTheBodyAndClose) {
    HttpServer server;
    server["/page"] = [](HttpRequest&) { return textResponse("body"); };
    server.start(0);
    Client client(server.port());
    client.send("HEAD /page HTTP/1.1\r\nConnection: keep-alive\r\n\r\n");
    bool closed = false;
    EXPECT_EQ(client.readToEnd(&closed), "HTTP/1.1 200 OK\r\nContent-Length: 4\r\nServer: Klarion 1.4\r\n\r\nbody");
    EXPECT_TRUE(closed);
    server.stop();
}

TEST(HttpServerEndToEnd, ClientSocketsAreCloseOnExecWithTimeOutsAndSigPipeIsIgnored) {
    HttpServer server;
    std::atomic<int> cloexec{-1}, receive{-1}, send{-1};
    std::atomic<bool> noDelay{false};
    server["/session"] = [&](HttpRequest&) {
        return HttpResponse::switchProtocols({}, [&](std::shared_ptr<Socket> socket) {
            cloexec = ::fcntl(socket->fd(), F_GETFD) & FD_CLOEXEC;
            timeval t{};
            socklen_t length = sizeof(t);
            ::getsockopt(socket->fd(), SOL_SOCKET, SO_RCVTIMEO, &t, &length);
            receive = static_cast<int>(t.tv_sec);
            ::getsockopt(socket->fd(), SOL_SOCKET, SO_SNDTIMEO, &t, &length);
            send = static_cast<int>(t.tv_sec);
            noDelay = socket->noDelay();
        });
    };
    server.start(0);
    struct sigaction current {};
    ::sigaction(SIGPIPE, nullptr, &current);
    EXPECT_EQ(current.sa_handler, SIG_IGN);

    Client client(server.port());
    client.send("GET /session HTTP/1.1\r\n\r\n");
    client.readToEnd();
    server.stop();
    EXPECT_EQ(cloexec.load(), FD_CLOEXEC);
    EXPECT_EQ(receive.load(), 0);  // a session's reads have no time-out
    EXPECT_EQ(send.load(), HttpServerIO::sendTimeoutSeconds);
    // Head and body leave as two writes; the body must not wait for an ACK.
    EXPECT_TRUE(noDelay.load());
}

TEST(Socket, TimeOutsAreApplied) {
    klarion::testing::SocketPair pair;
    pair.socket->setTimeouts(HttpServerIO::receiveTimeoutSeconds, HttpServerIO::sendTimeoutSeconds);
    timeval t{};
    socklen_t length = sizeof(t);
    ::getsockopt(pair.socket->fd(), SOL_SOCKET, SO_RCVTIMEO, &t, &length);
    EXPECT_EQ(t.tv_sec, 300);
    ::getsockopt(pair.socket->fd(), SOL_SOCKET, SO_SNDTIMEO, &t, &length);
    EXPECT_EQ(t.tv_sec, 60);
}

TEST(HttpServerEndToEnd, AcceptSurvivesRunningOutOfDescriptors) {
    HttpServer server;
    server["/"] = [](HttpRequest&) { return textResponse("still here"); };
    server.start(0);
    Client client(server.port());
    ASSERT_TRUE(client.connected());

    // No descriptor can be made while the limit sits at the lowest free number:
    // accept() fails with EMFILE, which must not end the accept loop.
    rlimit saved{};
    ::getrlimit(RLIMIT_NOFILE, &saved);
    int lowest = ::dup(0);
    ::close(lowest);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(lowest);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    client.send("GET / HTTP/1.1\r\n\r\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ::setrlimit(RLIMIT_NOFILE, &saved);

    EXPECT_NE(client.readToEnd().find("still here"), std::string::npos);
    EXPECT_TRUE(server.operating());
    server.stop();
}
