#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "http/core/limits.h"
#include "http/core/server.h"
#include "http_test_support.h"

using namespace klarion;
using klarion::testing::Client;
using klarion::testing::Signal;

namespace {

HttpResponse textResponse(std::string text) { return HttpResponse::ok(HttpResponseBody::text(std::move(text))); }

// Tests whose handlers capture locals stop the server before those locals go.
class HttpServerTest : public ::testing::Test {
protected:
    void TearDown() override { server.stopAndWait(); }
    // Sends one request on a new connection and reads until the server closes it.
    std::string exchange(const std::string& request, bool* closed = nullptr) {
        Client client(server.port());
        client.send(request);
        return client.readToEnd(closed);
    }
    HttpServer server;
};

const std::string kServer = "Server: Klarion 1.4\r\n\r\n";

}  // namespace

TEST_F(HttpServerTest, KeepAliveServesSeveralRequestsOnOneConnection) {
    server["/data"] = [](HttpRequest&) {
        return HttpResponse::ok(HttpResponseBody::data(utf8Bytes("{\"n\":1}"), "application/json"));
    };
    server.start(0);
    Client client(server.port());
    ASSERT_TRUE(client.connected);
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 7\r\n",
                      tail = "Content-Type: application/json\r\n" + kServer + "{\"n\":1}";
    for (int i = 0; i < 2; ++i) {
        client.send("GET /data HTTP/1.1\r\nConnection: keep-alive\r\n\r\n");
        EXPECT_EQ(client.readResponse(), head + "Connection: keep-alive\r\n" + tail);
    }
    client.send("GET /data HTTP/1.1\r\n\r\n");  // without the header: one response, then the server closes
    bool closed = false;
    EXPECT_EQ(client.readToEnd(&closed), head + tail);
    EXPECT_TRUE(closed);
}

TEST_F(HttpServerTest, OneAnswerOrNoneThenTheConnectionCloses) {
    server["/stream"] = [](HttpRequest&) {
        return HttpResponse::raw(
            200, "OK", HttpHeaders{{"Content-Type", "text/event-stream"}},
            [](HttpResponseBodyWriter& w) { w.write("data: a\n\n"), w.write("data: [DONE]\n\n"); });
    };
    server["/page"] = [](HttpRequest&) { return textResponse("body"); };
    server["/throw"] = [](HttpRequest&) -> HttpResponse { throw std::runtime_error("bug"); };
    server.start(0);
    const std::string keepAlive = " HTTP/1.1\r\nConnection: keep-alive\r\n";
    const std::pair<std::string, std::string> cases[] = {
        // A response without a length.
        {"GET /stream" + keepAlive + "\r\n",
         "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n" + kServer + "data: a\n\ndata: [DONE]\n\n"},
        {"GET /missing" + keepAlive + "\r\n", "HTTP/1.1 404 Not Found\r\n" + kServer},
        {"GET /\r\n\r\n", ""},  // malformed request line: no answer at all
        {"BROKEN\r\n\r\n", ""},
        {"POST /x HTTP/1.1\r\nContent-Length: -5\r\n\r\n", ""},
        {"POST /x" + keepAlive + "Content-Length: 67108865\r\n\r\n", "HTTP/1.1 413 Payload Too Large\r\n" + kServer},
        // Framing that leaves the body's end in doubt.
        {"POST /x" + keepAlive + "Content-Length: 3\r\nContent-Length: 13\r\n\r\nabc",
         "HTTP/1.1 400 Bad Request\r\n" + kServer},
        {"POST /x" + keepAlive + "Transfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\n3\r\nabc\r\n0\r\n\r\n",
         "HTTP/1.1 400 Bad Request\r\n" + kServer},
        {"POST /x" + keepAlive + "Transfer-Encoding: chunked\r\n\r\nzz\r\n", "HTTP/1.1 400 Bad Request\r\n" + kServer},
        {"POST /x" + keepAlive + "Transfer-Encoding: gzip, chunked\r\n\r\n", "HTTP/1.1 501 Not Implemented\r\n" + kServer},
        {"GET /" + std::string(70 * 1024, 'a') + keepAlive + "\r\n", "HTTP/1.1 414 URI Too Long\r\n" + kServer},
        {"GET /" + keepAlive + "X: " + std::string(70 * 1024, 'a') + "\r\n\r\n",
         "HTTP/1.1 431 Request Header Fields Too Large\r\n" + kServer},
        {"HEAD /page" + keepAlive + "\r\n",
         "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n" + kServer + "body"},  // body kept
        {"GET /throw" + keepAlive + "\r\n", "HTTP/1.1 500 Internal Server Error\r\n" + kServer},
    };
    for (const auto& [request, response] : cases) {
        bool closed = false;
        EXPECT_EQ(exchange(request, &closed), response) << request;
        EXPECT_TRUE(closed) << request;
    }
}

// Over TCP a stream's head waits a moment for the first body bytes (one
// packet for both), but a writer that keeps waiting (LM Studio loading a
// model) does not keep the head from the client.
TEST_F(HttpServerTest, AStreamsHeadReachesTheClientWhileItsWriterWaits) {
    Signal headRead;
    server["/slow"] = [&](HttpRequest&) {
        return HttpResponse::raw(200, "OK", HttpHeaders{{"Content-Type", "text/event-stream"}},
                                 [&](HttpResponseBodyWriter& w) { w.write(headRead.wait() ? "data: a\n\n" : "late"); });
    };
    server.start(0);
    Client client(server.port());
    client.send("GET /slow HTTP/1.1\r\n\r\n");
    EXPECT_EQ(client.readResponse(), "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n" + kServer);
    headRead.open();
    EXPECT_EQ(client.readToEnd(), "data: a\n\n");
}

// A client that sends "Expect: 100-continue" waits for the interim answer
// before its body; a chunked body reaches the handler whole.
TEST_F(HttpServerTest, BodiesAfterOneHundredContinueAndChunkedBodiesReachTheHandler) {
    server["/echo"] = [](HttpRequest& r) { return textResponse(r.bodyText()); };
    server.start(0);
    const std::string head = "POST /echo HTTP/1.1\r\nExpect: 100-continue\r\n";
    const struct {
        std::string head, interim, body, answer;
    } cases[] = {
        {head + "Content-Length: 5\r\n\r\n", "HTTP/1.1 100 Continue\r\n\r\n", "hello",
         "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n" + kServer + "hello"},
        {head + "Transfer-Encoding: chunked\r\n\r\n", "HTTP/1.1 100 Continue\r\n\r\n",
         "2;ext=1\r\nhe\r\n3\r\nllo\r\n0\r\nTrailer: x\r\n\r\n",
         "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n" + kServer + "hello"},
        // Refused for its announced size: the final answer at once, the body never asked for.
        {head + "Content-Length: 67108865\r\n\r\n", "HTTP/1.1 413 Payload Too Large\r\n" + kServer, "", ""},
    };
    for (const auto& c : cases) {
        Client client(server.port());
        client.send(c.head);
        EXPECT_EQ(client.readResponse(), c.interim) << c.head;
        client.send(c.body);
        EXPECT_EQ(client.readToEnd(), c.answer) << c.head;
    }
}

TEST_F(HttpServerTest, ClientAddressesAreDottedIPv4OrIPv6) {
    server["/who"] = [](HttpRequest& r) { return textResponse(r.clientAddress() + " " + r.method + " " + r.path); };
    server.start(0);
    EXPECT_FALSE(server.isIPv4());
    std::string answer = exchange("PUT /who?x HTTP/1.1\r\n\r\n");
    EXPECT_NE(answer.find("\r\n\r\n127.0.0.1 PUT /who"), std::string::npos) << answer;
    Client six(server.port(), true);
    if (six.connected) {  // hosts without IPv6 loopback skip this half
        six.send("GET /who HTTP/1.1\r\n\r\n");
        EXPECT_NE(six.readToEnd().find("\r\n\r\n::1 GET /who"), std::string::npos);
    }
}

TEST_F(HttpServerTest, StartStopRestartOnTheSamePortAndStopFromAHandler) {
    server["/"] = [](HttpRequest&) { return textResponse("up"); };
    server.stop();  // not running: nothing happens
    EXPECT_EQ(server.state(), HttpServerIOState::stopped);
    server.start(0);
    const std::uint16_t port = server.port();
    server.start(0);  // already running: same socket
    EXPECT_EQ(server.port(), port);

    for (int round = 0; round < 3; ++round) {
        server.stop();
        EXPECT_EQ(server.state(), HttpServerIOState::stopped);
        server.stop();
        server.start(port);
        ASSERT_TRUE(server.operating());
        EXPECT_NE(exchange("GET / HTTP/1.1\r\n\r\n").find("\r\n\r\nup"), std::string::npos);
    }

    server["/stop"] = [&](HttpRequest&) {
        server.stop();  // from inside a handler: must not wait for its own thread
        return textResponse("never sent");
    };
    bool closed = false;
    EXPECT_EQ(exchange("GET /stop HTTP/1.1\r\n\r\n", &closed), "");  // stopped before the answer: nothing is written
    EXPECT_TRUE(closed);
    for (int i = 0; i < 2000 && server.state() != HttpServerIOState::stopped; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(server.state(), HttpServerIOState::stopped);
}

// Stop never waits for a handler: it shuts the listener and the connections
// and returns while a handler is still blocked (as on a silent LM Studio);
// the same port serves again at once, and the old thread ends by itself.
TEST_F(HttpServerTest, StopReturnsWhileAHandlerIsBlockedAndTheSamePortServesAgainAtOnce) {
    Signal streaming, entered, release;
    std::atomic<bool> writerFailed{false}, handlerDone{false}, stillOperating{true};
    server["/idle"] = [](HttpRequest&) { return textResponse("k"); };
    server["/blocked"] = [&](HttpRequest&) {
        entered.open();
        release.wait();
        stillOperating = server.operating();  // the run of this connection is over
        handlerDone = true;
        return textResponse("late");
    };
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
    const std::uint16_t port = server.port();
    Client idle(port);  // kept alive, then silent: blocked in a read
    idle.send("GET /idle HTTP/1.1\r\nConnection: keep-alive\r\n\r\n");
    EXPECT_NE(idle.readResponse().find("\r\n\r\nk"), std::string::npos);
    Client silent(port);  // connected, nothing sent
    Client flood(port);   // blocked in a write
    flood.send("GET /flood HTTP/1.1\r\n\r\n");
    Client waiting(port);  // its handler blocks until released
    waiting.send("GET /blocked HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(streaming.wait() && entered.wait());

    server.stop();
    EXPECT_EQ(server.state(), HttpServerIOState::stopped);
    EXPECT_FALSE(handlerDone.load());  // returned without waiting for it
    server.start(port);
    EXPECT_NE(exchange("GET /idle HTTP/1.1\r\n\r\n").find("\r\n\r\nk"), std::string::npos);

    release.open();
    bool closed = false;
    EXPECT_EQ(waiting.readToEnd(&closed), "");  // the stopped run answers nothing
    EXPECT_TRUE(closed);
    for (Client* client : {&idle, &silent}) {
        client->readToEnd(&closed);
        EXPECT_TRUE(closed);
    }
    server.stopAndWait();
    EXPECT_EQ(server.activeConnections(), 0u);
    EXPECT_TRUE(writerFailed);
    EXPECT_FALSE(stillOperating.load());
}

TEST_F(HttpServerTest, ClientVanishingMidStreamLeavesTheServerServing) {
    Signal failed;
    std::atomic<int> chunks{0};
    server["/stream"] = [&](HttpRequest&) {
        return HttpResponse::raw(200, "OK", HttpHeaders{{"Content-Type", "text/event-stream"}},
                                 [&](HttpResponseBodyWriter& w) {
                                     try {
                                         for (;; ++chunks)
                                             w.write("data: {\"choices\":[{\"delta\":{\"content\":\"x\"}}]}\n\n");
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
        client.send("GET /stream HTTP/1.1\r\n\r\n");
        EXPECT_NE(client.readResponse().find("text/event-stream"), std::string::npos);
    }  // the client goes away while the writer is still writing
    ASSERT_TRUE(failed.wait());
    EXPECT_GT(chunks.load(), 0);
    EXPECT_NE(exchange("GET /ping HTTP/1.1\r\n\r\n").find("\r\n\r\npong"), std::string::npos);
    server.stopAndWait();  // the writer's thread ends before what it captured goes
}

TEST_F(HttpServerTest, SwitchProtocolsHandsOverTheSocketWithItsReadAheadAndWithoutReadTimeOut) {
    std::atomic<int> cloexec{-1}, receive{-1}, send{-1};
    std::atomic<bool> noDelay{false};
    server["/ws"] = [&](HttpRequest&) {
        return HttpResponse::switchProtocols({{"Upgrade", "echo"}}, [&](std::shared_ptr<Socket> socket) {
            cloexec = ::fcntl(socket->fd(), F_GETFD) & FD_CLOEXEC;
            receive = klarion::testing::timeoutSeconds(socket->fd(), SO_RCVTIMEO);
            send = klarion::testing::timeoutSeconds(socket->fd(), SO_SNDTIMEO);
            noDelay = socket->noDelay();
            socket->writeUTF8("echo:" + socket->readLine() + "\n");
        });
    };
    server.start(0);
    struct sigaction current {};
    ::sigaction(SIGPIPE, nullptr, &current);
    EXPECT_EQ(current.sa_handler, SIG_IGN);

    Client client(server.port());
    // The session's first bytes come in the same packet as the request: the
    // session reads them from the connection's read-ahead.
    client.send("GET /ws HTTP/1.1\r\nConnection: keep-alive\r\n\r\nhello\n");
    EXPECT_EQ(client.readResponse(),
              "HTTP/1.1 101 Switching Protocols\r\nServer: Klarion 1.4\r\nUpgrade: echo\r\n\r\n");
    bool closed = false;
    EXPECT_EQ(client.readToEnd(&closed), "echo:hello\n");
    EXPECT_TRUE(closed);
    server.stopAndWait();  // the session's thread ends before what it captured goes
    EXPECT_EQ(cloexec.load(), FD_CLOEXEC);
    EXPECT_EQ(receive.load(), 0);  // a session's reads have no time-out
    EXPECT_EQ(send.load(), httplimits::sendTimeoutSeconds);
    EXPECT_TRUE(noDelay.load());  // head and body leave as two writes: the body must not wait for an ACK
}

TEST_F(HttpServerTest, AcceptSurvivesRunningOutOfDescriptors) {
    server["/"] = [](HttpRequest&) { return textResponse("still here"); };
    // Three requests held at once run on three connection threads, so the
    // server's kinds of thread have all started before the limit below: the
    // sanitizers' check of a thread's first call needs a pipe(2), which fails
    // there and would be reported as a broken object.
    std::mutex mutex;
    std::condition_variable together;
    int inside = 0;
    server["/hold"] = [&](HttpRequest&) {
        std::unique_lock<std::mutex> lock(mutex);
        ++inside;
        together.notify_all();
        together.wait_for(lock, std::chrono::seconds(20), [&] { return inside >= 3; });
        return textResponse("held");
    };
    server.start(0);
    {
        std::vector<std::unique_ptr<Client>> held;
        for (int i = 0; i < 3; ++i) {
            held.push_back(std::make_unique<Client>(server.port()));
            held.back()->send("GET /hold HTTP/1.1\r\n\r\n");
        }
        for (auto& each : held) ASSERT_NE(each->readToEnd().find("held"), std::string::npos);
    }
    Client client(server.port());
    ASSERT_TRUE(client.connected);
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
}

TEST_F(HttpServerTest, LaterConnectionsAreServedByTheThreadsOfEarlierOnes) {
    std::mutex mutex;
    std::set<pid_t> threads;
    server["/who"] = [&](HttpRequest&) {
        std::lock_guard<std::mutex> lock(mutex);
        threads.insert(::gettid());
        return textResponse("me");
    };
    server.start(0);
    for (int i = 0; i < 40; ++i) ASSERT_NE(exchange("GET /who HTTP/1.1\r\n\r\n").find("\r\n\r\nme"), std::string::npos);
    // Each connection had a thread of its own while it lasted, but no thread
    // was started for it: the connections, one after the other, were taken by
    // the few threads kept waiting for them.
    EXPECT_LE(threads.size(), httplimits::keptConnectionThreads + httplimits::spareConnectionThreads);
    server.stopAndWait();
    EXPECT_EQ(server.activeConnections(), 0u);
}

// Responses written on one end of a packet socket pair: each write the server
// makes arrives as one record. A body known in advance leaves with its head; a
// stream's head goes before its writer runs (over TCP it may wait a moment for
// the first body bytes: AStreamsHeadReachesTheClientWhileItsWriterWaits).
TEST(HttpServerRespond, AKnownBodyLeavesWithItsHeadAStreamsHeadGoesFirst) {
    HttpServer server;
    server.start(0);  // a running server writes
    const auto writes = [](std::vector<std::string> parts, bool failFirst = false) {
        return HttpResponse::raw(200, "OK", std::nullopt, [parts, failFirst](HttpResponseBodyWriter& w) {
            if (failFirst) throw std::runtime_error("no body");
            for (const std::string& part : parts) w.write(part);
        });
    };
    const std::string rawHead = "HTTP/1.1 200 OK\r\n" + kServer;
    const struct {
        const char* what;
        HttpResponse response;
        std::vector<std::string> records;
    } cases[] = {
        {"a body in memory", textResponse("hello"), {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n" + kServer + "hello"}},
        {"a streamed body", writes({"data: a\n\n", "data: b\n\n"}), {rawHead, "data: a\n\n", "data: b\n\n"}},
        {"a writer that writes nothing", writes({}), {rawHead}},
        {"a writer that fails first", writes({"never"}, true), {rawHead}},
        {"no body", HttpResponse::notFound(), {"HTTP/1.1 404 Not Found\r\n" + kServer}},
    };
    for (const auto& c : cases) {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
        Socket socket(fds[0]);
        try {
            server.respond(socket, c.response, false);
        } catch (const std::runtime_error&) {}
        std::vector<std::string> records;
        char buffer[4096];
        for (ssize_t n; (n = ::recv(fds[1], buffer, sizeof(buffer), MSG_DONTWAIT)) > 0;)
            records.emplace_back(buffer, n);
        ::close(fds[1]);
        EXPECT_EQ(records, c.records) << c.what;
    }
    server.stopAndWait();
}

// ---- dispatch: middleware, methods, not-found handler ----

TEST(HttpServerDispatch, MethodsMiddlewareAndNotFound) {
    HttpServer server;
    server.POST["/form"] = [](HttpRequest&) { return textResponse("POST"); };
    server["/form"] = [](HttpRequest&) { return textResponse("any"); };
    server.get["/lower"] = [](HttpRequest&) { return textResponse("lower get"); };
    server.delete_["/item/:id"] = [](HttpRequest& r) { return textResponse("deleted " + r.params.at(":id")); };
    server.PUT.set("/put", [](HttpRequest&) { return textResponse("put"); });
    std::vector<std::string> seen;
    server.middleware.push_back([&](HttpRequest& r) -> std::optional<HttpResponse> {
        seen.push_back(r.path);
        return std::nullopt;
    });
    auto dispatch = [&](std::string method, std::string path) {
        HttpRequest request;
        request.method = std::move(method), request.path = std::move(path);
        auto [params, handler] = server.dispatch(request);
        request.params = params;
        HttpResponse response = handler(request);
        if (response.kind() != HttpResponse::Kind::ok) return std::to_string(response.statusCode());
        MemoryBodyWriter writer;
        response.content().writer(writer);
        return writer.text();
    };
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"POST", "/form", "POST"},          {"GET", "/form", "any"},
        {"GET", "/lower", "lower get"},     {"POST", "/lower", "404"},
        {"DELETE", "/item/7", "deleted 7"}, {"PUT", "/put", "put"},
        {"GET", "/nowhere", "404"},
    };
    for (const auto& [method, path, answer] : cases) EXPECT_EQ(dispatch(method, path), answer) << method << " " << path;
    EXPECT_EQ(seen.size(), 7u);  // the middleware ran first for each, found or not
    server.notFoundHandler = [](HttpRequest&) { return HttpResponse::movedPermanently("/"); };
    EXPECT_EQ(dispatch("GET", "/nowhere"), "301");

    // The first middleware answer wins: later ones and the handler never run.
    int laterRan = 0;
    server.middleware.push_back(
        [](HttpRequest&) -> std::optional<HttpResponse> { return HttpResponse::unauthorized(); });
    server.middleware.push_back(
        [&](HttpRequest&) -> std::optional<HttpResponse> { return ++laterRan, HttpResponse::forbidden(); });
    EXPECT_EQ(dispatch("GET", "/form"), "401");
    EXPECT_EQ(dispatch("GET", "/unknown"), "401");
    EXPECT_EQ(laterRan, 0);
}
