// The chat route through the HTTP server: LM Studio's stream relayed byte for
// byte, the error chunk, and the slots and stream count given back whatever
// happens to either connection.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <future>
#include <memory>
#include <mutex>

#include "http/core/server.h"
#include "platform/json.h"
#include "server/llm/chat_proxy.h"
#include "server/llm/event_stream.h"
#include "tests/llm/gateway_test_support.h"

namespace klarion {
namespace {

using namespace std::chrono_literals;
using gateway_test::eventually;
using gateway_test::roundTrip;
using gateway_test::FakeWithClient;
using gateway_test::HttpExchange;
using gateway_test::httpPost;
using gateway_test::RawConnection;
using gateway_test::TestState;
using ::testing::IsEmpty;

const std::string kChatBody = R"({"userMessage":"Explique la photosynthèse","history":[]})";

class ChatRelay : public ::testing::Test {
protected:
    TestState t;
    FakeWithClient lm;
    std::shared_ptr<RateLimiter> limiter = std::make_shared<RateLimiter>();
    std::mutex proxyMutex;
    std::shared_ptr<ChatProxy> proxy;  // under proxyMutex: replaced by the test, read by the server
    HttpServer server;

    std::shared_ptr<ChatProxy> currentProxy() {
        std::lock_guard<std::mutex> guard(proxyMutex);
        return proxy;
    }

    void SetUp() override {
        ASSERT_NE(lm.fake.port(), 0);
        useClient(lm.client);
        server["/api/chat"] = [this](HttpRequest& request) { return currentProxy()->handleChat(request); };
        server.listenAddressIPv4 = "127.0.0.1";
        server.start(0, true);
    }

    void TearDown() override {
        server.stop();
        EXPECT_THAT(lm.fake.violations(), IsEmpty());
        EXPECT_EQ(limiter->size(), 0u) << "a chat slot leaked";
        EXPECT_EQ(t.config->activeChatStreams()->value(), 0) << "a stream count leaked";
    }

    // Before any request: the proxy talks to LM Studio through `client`;
    // with `stopWithServer`, its relays give up once the server stops.
    void useClient(std::shared_ptr<const LmStudioClient> client, bool stopWithServer = false) {
        ChatProxy::Dependencies deps;
        deps.state = t.state;
        deps.lmStudio = std::move(client);
        deps.rateLimiter = limiter;
        if (stopWithServer) deps.serverStopping = [this] { return !server.operating(); };
        auto made = std::make_shared<ChatProxy>(std::move(deps));
        std::lock_guard<std::mutex> guard(proxyMutex);
        proxy = std::move(made);
    }

    HttpExchange chat() {
        HttpExchange reply = roundTrip(server.port(), httpPost("/api/chat", kChatBody));
        EXPECT_TRUE(reply.complete);
        EXPECT_EQ(reply.status, 200);
        EXPECT_EQ(reply.headers["content-type"], "text/event-stream");
        EXPECT_EQ(reply.headers.count("content-length"), 0u);
        return reply;
    }

    std::string lastEmitted() {
        const auto requests = lm.fake.requestsTo("/v1/chat/completions");
        return requests.empty() ? std::string() : requests.back().emitted;
    }
};

// The stream of a real answer with multi-byte characters, so that cuts fall
// inside characters, inside "data:" and between the two line feeds.
std::string realisticStream() {
    std::string body;
    for (const char* piece : {"La photo", "synthèse 🌱 ", "transforme la lumière", " en énergie…"}) {
        Json event{{"id", "chatcmpl-1"},
                   {"object", "chat.completion.chunk"},
                   {"choices", Json::array({Json{{"index", 0}, {"delta", {{"content", piece}}}, {"finish_reason", nullptr}}})}};
        body += "data: " + dumpJson(event) + "\n\n";
    }
    body += "data: {\"choices\":[{\"index\":0,\"delta\":{},\"finish_reason\":\"stop\"}]}\n\ndata: [DONE]\n\n";
    return body;
}

TEST_F(ChatRelay, RelaysLmStudiosBytesUnchangedWhereverTheyAreCut) {
    const std::vector<std::vector<std::size_t>> cutSets = {{}, {1}, {2, 3}, {7, 1, 13}, {17}, {64, 5}, {4096}};
    for (const auto& cuts : cutSets) {
        SCOPED_TRACE(::testing::PrintToString(cuts));
        FakeChatReply reply;
        reply.rawStream = realisticStream();
        reply.cuts = cuts;
        lm.fake.setChatReply(reply);
        const HttpExchange answer = chat();
        EXPECT_EQ(answer.body, *reply.rawStream);
        EXPECT_EQ(answer.body, lastEmitted());
    }
    // The fake's own events, one chunk each.
    lm.fake.setChatReply(FakeChatReply{});
    const std::string own = chat().body;
    EXPECT_EQ(own, lastEmitted());
}

TEST_F(ChatRelay, AStreamLongerThanTheIdleTimeOutInTotalIsRelayedToItsEnd) {
    LmStudioTimeouts timeouts = gateway_test::shortTimeouts();
    timeouts.streamIdle = 1500ms;
    useClient(std::make_shared<const LmStudioClient>(lm.fake.baseUrl(), timeouts));
    FakeChatReply reply;
    reply.pieces.assign(40, "mot ");
    reply.gap = 50ms;  // about two seconds in all, never more than a gap without data
    lm.fake.setChatReply(reply);
    const HttpExchange answer = chat();
    EXPECT_EQ(answer.body, lastEmitted());
    EXPECT_EQ(answer.body.find("Erreur Proxy"), std::string::npos);
}

TEST_F(ChatRelay, LmStudioSilentForTheIdleTimeOutEndsWithTheErrorChunk) {
    LmStudioTimeouts timeouts = gateway_test::shortTimeouts();
    timeouts.streamIdle = 300ms;
    useClient(std::make_shared<const LmStudioClient>(lm.fake.baseUrl(), timeouts));
    FakeFault hang;
    hang.path = "/v1/chat/completions";
    hang.action = FakeFaultAction::BreakStream;
    hang.afterEvents = 1;
    hang.breakWith = FakeStreamBreak::Hang;
    lm.fake.addFault(hang);
    const HttpExchange answer = chat();
    const std::string first = lastEmitted();
    EXPECT_EQ(answer.body, first + std::string(proxyErrorChunkBytes()));
}

// An HTTP answer written by hand: chunked, `part` as the only chunk, then the connection closes.
std::string brokenChunkedAnswer(const std::string& part) {
    char size[32];
    std::snprintf(size, sizeof size, "%zx", part.size());
    return "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nTransfer-Encoding: chunked\r\n\r\n" +
           std::string(size) + "\r\n" + part + "\r\n";
}

struct FailureCase {
    const char* what;
    std::function<void(FakeLmStudio&)> arrange;
    std::function<std::string(const std::string& emitted)> expected;  // from what the fake sent
};
void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.what; }

class ChatRelayFailure : public ChatRelay, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ChatRelayFailure, EndsAsTheStudentPageExpects) {
    GetParam().arrange(lm.fake);
    const HttpExchange answer = chat();
    EXPECT_EQ(answer.body, GetParam().expected(lastEmitted()));
    // The slot came back: the same address is served again.
    lm.fake.setRefusing(false);
    lm.fake.clearFaults();
    lm.fake.setChatReply(FakeChatReply{});
    const std::string again = chat().body;
    EXPECT_EQ(again, lastEmitted());
}

const std::string kError(proxyErrorChunkBytes());
const std::string kEvent = "data: {\"choices\":[{\"delta\":{\"content\":\"Bon\"}}]}";

FakeFault onChat(FakeFaultAction action) {
    FakeFault f;
    f.path = "/v1/chat/completions";
    f.action = action;
    return f;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ChatRelayFailure,
    ::testing::Values(
        FailureCase{"LM Studio refuses the connection", [](FakeLmStudio& f) { f.setRefusing(true); },
                    [](const std::string&) { return kError; }},
        FailureCase{"reset after two events",
                    [](FakeLmStudio& f) {
                        FakeFault fault = onChat(FakeFaultAction::BreakStream);
                        fault.afterEvents = 2;
                        fault.breakWith = FakeStreamBreak::Reset;
                        f.addFault(fault);
                    },
                    [](const std::string& emitted) { return emitted + kError; }},
        FailureCase{"closed inside a line: a blank line first",
                    [](FakeLmStudio& f) {
                        FakeFault fault = onChat(FakeFaultAction::Raw);
                        fault.body = brokenChunkedAnswer(kEvent + "\n\ndata: {\"choi");
                        f.addFault(fault);
                    },
                    [](const std::string&) { return kEvent + "\n\ndata: {\"choi" + "\n\n" + kError; }},
        FailureCase{"closed after a line but inside an event",
                    [](FakeLmStudio& f) {
                        FakeFault fault = onChat(FakeFaultAction::Raw);
                        fault.body = brokenChunkedAnswer(kEvent + "\n");
                        f.addFault(fault);
                    },
                    [](const std::string&) { return kEvent + "\n" + "\n" + kError; }},
        FailureCase{"answered 400: its body, a blank line, the error chunk",
                    [](FakeLmStudio& f) {
                        FakeFault fault = onChat(FakeFaultAction::Status);
                        fault.status = 400;
                        fault.body = R"({"error":"Trying to keep the first 9000 tokens when context the overflows."})";
                        f.addFault(fault);
                    },
                    [](const std::string& emitted) { return emitted + "\n\n" + kError; }},
        FailureCase{"answered 500 with a body ending its line",
                    [](FakeLmStudio& f) {
                        FakeFault fault = onChat(FakeFaultAction::Status);
                        fault.status = 500;
                        fault.body = "{\"error\":\"boom\"}\n";
                        f.addFault(fault);
                    },
                    [](const std::string& emitted) { return emitted + "\n" + kError; }},
        FailureCase{"answered an empty 200: nothing at all",
                    [](FakeLmStudio& f) {
                        FakeFault fault = onChat(FakeFaultAction::Status);
                        fault.status = 200;
                        fault.body = "";
                        fault.contentType = "text/event-stream";
                        f.addFault(fault);
                    },
                    [](const std::string&) { return std::string(); }},
        FailureCase{"closed without an answer",
                    [](FakeLmStudio& f) { f.addFault(onChat(FakeFaultAction::Close)); },
                    [](const std::string&) { return kError; }}));

// A stream long enough to be cut short by the tests below.
void slowStream(FakeLmStudio& fake) {
    FakeChatReply reply;
    reply.pieces.assign(200, "bla ");
    reply.gap = 20ms;
    fake.setChatReply(reply);
}

TEST_F(ChatRelay, AThirdChatOfOneAddressIsRefusedWhileTwoRun) {
    slowStream(lm.fake);
    RawConnection first(server.port()), second(server.port());
    ASSERT_TRUE(first.send(httpPost("/api/chat", kChatBody)));
    ASSERT_TRUE(second.send(httpPost("/api/chat", kChatBody)));
    ASSERT_TRUE(eventually([&] { return t.config->activeChatStreams()->value() == 2; }));
    EXPECT_EQ(limiter->activeCount("127.0.0.1"), 2);

    EXPECT_EQ(chat().body, std::string(sseRequestInProgressBytes()));
    // The stream count rises before the request leaves for LM Studio.
    EXPECT_TRUE(eventually([&] { return lm.fake.requestsTo("/v1/chat/completions").size() == 2; }));

    first.close();
    second.close();
    EXPECT_TRUE(eventually([&] { return limiter->size() == 0 && t.config->activeChatStreams()->value() == 0; }));
}

TEST_F(ChatRelay, AStudentWhoLeavesBeforeTheAnswerGivesTheSlotBack) {
    FakeFault late = onChat(FakeFaultAction::Answer);
    late.delay = 300ms;
    lm.fake.addFault(late);
    {
        RawConnection leaving(server.port());
        ASSERT_TRUE(leaving.send(httpPost("/api/chat", kChatBody)));
        ASSERT_TRUE(eventually([&] { return lm.fake.requestsTo("/v1/chat/completions").size() == 1; }));
    }
    EXPECT_TRUE(eventually([&] { return limiter->size() == 0 && t.config->activeChatStreams()->value() == 0; }));
}

TEST_F(ChatRelay, StoppingTheServerMidStreamGivesEverythingBack) {
    slowStream(lm.fake);
    RawConnection student(server.port());
    ASSERT_TRUE(student.send(httpPost("/api/chat", kChatBody)));
    EXPECT_NE(student.readUntil("data: ", 5s).find("data: "), std::string::npos);
    EXPECT_EQ(t.config->activeChatStreams()->value(), 1);
    server.stop();  // waits for the connection's thread
    EXPECT_EQ(limiter->size(), 0u);
    EXPECT_EQ(t.config->activeChatStreams()->value(), 0);
    // With nobody left to read it, the relay stopped reading LM Studio's answer.
    ASSERT_TRUE(lm.fake.waitForRequests(1, 10s));
    const std::string sent = lastEmitted();
    std::size_t pieces = 0;
    for (std::size_t at = sent.find("\"bla \""); at != std::string::npos; at = sent.find("\"bla \"", at + 1)) ++pieces;
    EXPECT_LT(pieces, 200u);
}

TEST_F(ChatRelay, StoppingTheServerDoesNotWaitForASilentLmStudio) {
    LmStudioTimeouts timeouts = gateway_test::shortTimeouts();
    timeouts.streamIdle = 600s;  // far beyond the test: only the stop can end the wait
    useClient(std::make_shared<const LmStudioClient>(lm.fake.baseUrl(), timeouts), true);
    lm.fake.addFault(onChat(FakeFaultAction::Hang));  // LM Studio still reading the prompt
    RawConnection student(server.port());
    ASSERT_TRUE(student.send(httpPost("/api/chat", kChatBody)));
    ASSERT_TRUE(eventually([&] {
        return t.config->activeChatStreams()->value() == 1 && !lm.fake.requestsTo("/v1/chat/completions").empty();
    }));

    auto stopped = std::async(std::launch::async, [&] { server.stop(); });
    const bool ended = stopped.wait_for(60s) == std::future_status::ready;
    if (!ended) lm.fake.stop();  // let the relay end so that the test can
    stopped.wait();
    EXPECT_TRUE(ended) << "the stop waited for LM Studio";
    EXPECT_EQ(limiter->size(), 0u);
    EXPECT_EQ(t.config->activeChatStreams()->value(), 0);
}

}  // namespace
}  // namespace klarion
