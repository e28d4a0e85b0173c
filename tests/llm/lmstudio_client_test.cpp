// The LM Studio client against the fake LM Studio: every call, every fault, the stream's idle
// time-out, abort and stop check. (Byte-identical delivery of streams cut anywhere is checked
// through the chat relay.)
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <future>
#include <set>
#include <stdexcept>
#include <thread>

#include "tests/support/gateway_fixture.h"

namespace klarion {
namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;
using ::testing::IsEmpty;

const milliseconds kShort(2000);

// A streamed chat request as the chat endpoint builds it.
std::string streamRequest(const Json& userContent = "Bonjour") {
    return Json{{"messages", Json::array({{{"role", "system"}, {"content", "Tu es un assistant."}},
                                          {{"role", "user"}, {"content", userContent}}})},
                {"stream", true},
                {"temperature", 0.7},
                {"top_p", 0.9},
                {"frequency_penalty", 0.0},
                {"presence_penalty", 0.0},
                {"max_tokens", 2048},
                {"repeat_penalty", 1.1}}
        .dump();
}

class LmStudioClientTest : public gateway_test::GatewayTest {
protected:
    // Runs a stream; `delivered` gets what reached the sink.
    LmStreamResult stream(std::string& delivered, milliseconds idle = kShort,
                          const std::string& body = streamRequest()) {
        return client.streamChatCompletion(
            body, [&](std::string_view bytes) { return delivered.append(bytes), true; }, idle);
    }

    FakeLmStudio& fake = lm.fake;
    const LmStudioClient& client = *lm.client;
};

TEST(LmStudioClientAddress, PortNamedByTheTexts) {
    const std::pair<const char*, const char*> cases[] = {
        {"http://127.0.0.1:1234", "1234"}, {"http://localhost:5678/", "5678"}, {"http://[::1]:8080", "8080"},
        {"http://lm.local", "80"},         {"https://127.0.0.1:1234", ""},     {"127.0.0.1:1234", ""},
        {"http://127.0.0.1:1234/v1", ""},  {"http://127.0.0.1:99999", ""},     {"", ""},
    };
    for (const auto& [address, port] : cases) EXPECT_EQ(lmStudioPort(address), port) << address;
}

TEST(LmStudioClientAddress, AddressesThatFormNoUrlSendNothing) {
    EXPECT_EQ(LmStudioClient().baseUrl(), "http://127.0.0.1:1234");
    FakeLmStudio fake;
    ASSERT_TRUE(fake.start());
    const std::string port = std::to_string(fake.port());
    for (const std::string& base :
         {"ftp://127.0.0.1:" + port, "127.0.0.1:" + port, "http://127.0.0.1:" + port + "/api", std::string()}) {
        LmStudioClient client(base);
        EXPECT_EQ(client.listModels(kShort).error, LmTransportError::InvalidAddress) << base;
        bool delivered = false;
        EXPECT_EQ(
            client.streamChatCompletion(streamRequest(), [&](std::string_view) { return delivered = true; }).error,
            LmTransportError::InvalidAddress);
        EXPECT_FALSE(delivered);
    }
    LmStudioClient client(fake.baseUrl());
    EXPECT_EQ(client.get("models", kShort).error, LmTransportError::InvalidAddress);
    EXPECT_EQ(client.get("/v1/models x", kShort).error, LmTransportError::InvalidAddress);
    EXPECT_TRUE(fake.requests().empty());

    // A trailing slash is dropped, not doubled.
    LmStudioClient slash(fake.baseUrl() + "/");
    EXPECT_EQ(slash.baseUrl(), fake.baseUrl());
    EXPECT_EQ(slash.listModels(kShort).status, 200);
    EXPECT_EQ(fake.requests().at(0).target, "/v1/models");
    EXPECT_THAT(fake.violations(), IsEmpty());
}

TEST_F(LmStudioClientTest, EveryPlainCallSendsItsRequestAndReturnsTheAnswer) {
    const std::string verdict = Json{
        {"messages", Json::array({{{"role", "system"}, {"content", "Tu es un filtre."}},
                                  {{"role", "user"}, {"content", "J'ai peur"}}})},
        {"stream", false},
        {"temperature", 0.0},
        {"max_tokens", 200}}.dump();
    const struct {
        std::function<LmReply()> call;
        std::string request;  // method, path and body expected
    } cases[] = {
        {[&] { return client.listModels(kShort); }, "GET /v1/models "},
        {[&] { return client.listModelsV0(kShort); }, "GET /api/v0/models "},
        {[&] { return client.listModelsV1(kShort); }, "GET /api/v1/models "},
        {[&] { return client.loadModel("google/gemma-3-4b", kShort); },
         R"(POST /api/v1/models/load {"model":"google/gemma-3-4b"})"},
        {[&] { return client.unloadModel("google/gemma-3-4b", kShort); },
         R"(POST /api/v1/models/unload {"instance_id":"google/gemma-3-4b"})"},
        {[&] { return client.chatCompletion(verdict, kShort); }, "POST /v1/chat/completions " + verdict},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].request);
        const LmReply reply = cases[i].call();
        ASSERT_TRUE(reply.answered()) << reply.errorText;
        EXPECT_EQ(reply.status, 200);
        ASSERT_TRUE(fake.waitForRequests(i + 1, kShort));
        const FakeRecordedRequest seen = fake.requests().at(i);
        EXPECT_EQ(seen.method + " " + seen.target + " " + seen.body, cases[i].request);
        EXPECT_EQ(reply.body, seen.emitted);
        std::set<std::string> headers;
        for (const auto& h : seen.headers) headers.insert(h.first);
        EXPECT_EQ(headers, (seen.method == "GET" ? std::set<std::string>{"Host"}
                                                 : std::set<std::string>{"Host", "Content-Length", "Content-Type"}));
    }
}

TEST_F(LmStudioClientTest, AnyStatusIsAnAnswerTransportFailuresAreToldApart) {
    const std::string gzipped("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03\x01\x02", 12);
    const struct Case {
        const char* what;
        FakeFault fault;
        LmTransportError error;
        long status = 0;
        std::optional<std::string> body = std::nullopt;  // expected when set
        milliseconds timeout = 1000ms;
    } cases[] = {
        {"error status",
         {.action = FakeFaultAction::Status, .status = 500, .body = R"({"error":"boom"})"},
         LmTransportError::None,
         500,
         R"({"error":"boom"})"},
        {"a compressed body as sent",
         {.action = FakeFaultAction::Raw,
          .body = "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: 12\r\n\r\n" + gzipped},
         LmTransportError::None,
         200,
         gzipped},
        {"hang", {.action = FakeFaultAction::Hang}, LmTransportError::TimedOut},
        {"close", {.action = FakeFaultAction::Close}, LmTransportError::Closed},
        {"reset", {.action = FakeFaultAction::Reset}, LmTransportError::Reset},
        {"not HTTP",
         {.action = FakeFaultAction::Raw, .body = "SSH-2.0-OpenSSH_9.2\r\n\r\n"},
         LmTransportError::Malformed},
        {"body cut short",
         {.action = FakeFaultAction::Raw, .body = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n{\"data\":"},
         LmTransportError::Closed,
         200},
        {"too large",
         {.action = FakeFaultAction::Status,
          .status = 200,
          .body = std::string(LmStudioClient::kMaxReplyBytes + 1, 'x')},
         LmTransportError::TooLarge,
         200,
         std::nullopt,
         10000ms},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.what) + ": " + lmTransportErrorName(c.error));
        fake.addFault(c.fault);
        const LmReply reply = client.listModels(c.timeout);
        EXPECT_EQ(reply.error, c.error) << lmTransportErrorName(reply.error) << ": " << reply.errorText;
        EXPECT_EQ(reply.errorText.empty(), c.error == LmTransportError::None);
        EXPECT_EQ(reply.status, c.status);
        if (c.body) {
            EXPECT_EQ(reply.body, *c.body);
        }
        EXPECT_LE(reply.body.size(), LmStudioClient::kMaxReplyBytes);
    }
    ASSERT_TRUE(fake.setRefusing(true));
    EXPECT_EQ(client.listModels(kShort).error, LmTransportError::Refused);
    ASSERT_TRUE(fake.setRefusing(false));
    EXPECT_TRUE(client.listModels(kShort).answered());
}

TEST_F(LmStudioClientTest, ProxySettingsOfTheEnvironmentAreIgnored) {
    const char* vars[] = {"http_proxy", "HTTP_PROXY", "ALL_PROXY", "all_proxy"};
    for (const char* v : vars) setenv(v, "http://127.0.0.1:9", 1);
    unsetenv("no_proxy");
    unsetenv("NO_PROXY");
    const LmReply reply = client.listModels(kShort);
    std::string delivered;
    const LmStreamResult streamed = stream(delivered);
    for (const char* v : vars) unsetenv(v);
    EXPECT_EQ(reply.status, 200) << reply.errorText;
    EXPECT_EQ(streamed.status, 200) << streamed.errorText;
    EXPECT_EQ(fake.requests().size(), 2u);
}

TEST_F(LmStudioClientTest, LargeBodiesGoWithoutExpectContinue) {
    // A photo sent with a message: several megabytes of Base64 in one request (the contract
    // check refuses "Expect").
    const std::string body = streamRequest(Json::array(
        {{{"type", "image_url"}, {"image_url", {{"url", "data:image/png;base64," + std::string(3 << 20, 'A')}}}},
         {{"type", "text"}, {"text", "Que vois-tu ?"}}}));
    std::string delivered;
    const LmStreamResult r = stream(delivered, 20000ms, body);  // the fake reads it slowly under sanitizers
    EXPECT_FALSE(r.transportFailed()) << r.errorText;
    ASSERT_EQ(fake.requests().size(), 1u);
    EXPECT_EQ(fake.requests()[0].body, body);
}

TEST_F(LmStudioClientTest, OneClientServesManyThreadsAtOnce) {
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 10; ++i) {
                std::string delivered;
                good += t % 2 == 0 ? client.listModelsV1(kShort).status == 200
                                   : stream(delivered).status == 200 && delivered.ends_with("data: [DONE]\n\n");
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(good.load(), 80);
}

TEST_F(LmStudioClientTest, StreamsEndOnTheirIdleTimeOutOrFailureWithWhatCame) {
    const struct Case {
        const char* what;
        FakeChatReply reply;
        std::optional<FakeFault> fault;
        milliseconds idle;
        LmTransportError error;
        long status;
    } cases[] = {
        {"an answer that keeps sending outlasts the idle time-out",
         {.pieces = std::vector<std::string>(20, "mot "), .gap = 60ms},
         std::nullopt,
         800ms,
         LmTransportError::None,
         200},
        {"silent after two events",
         {},
         FakeFault{.action = FakeFaultAction::BreakStream, .afterEvents = 2, .breakWith = FakeStreamBreak::Hang},
         1000ms,
         LmTransportError::TimedOut,
         200},
        {"no answer at all", {}, FakeFault{.action = FakeFaultAction::Hang}, 250ms, LmTransportError::TimedOut, 0},
        {"reset after two events",
         {.cuts = {13}},
         FakeFault{.action = FakeFaultAction::BreakStream, .afterEvents = 2, .breakWith = FakeStreamBreak::Reset},
         kShort,
         LmTransportError::Reset,
         200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fake.clearRecords();
        fake.setChatReply(c.reply);
        if (c.fault) fake.addFault(*c.fault);
        std::string delivered;
        const LmStreamResult r = stream(delivered, c.idle);
        EXPECT_EQ(r.error, c.error) << r.errorText;
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.bytes, delivered.size());
        ASSERT_TRUE(fake.waitForRequests(1, kShort));
        const std::string emitted = fake.requests().at(0).emitted;
        // A reset may drop bytes still in flight; otherwise every byte sent before the end arrived.
        if (c.error == LmTransportError::Reset) {
            EXPECT_TRUE(emitted.starts_with(delivered));
        } else {
            EXPECT_EQ(delivered, emitted);
        }
    }
}

// A chat reuses the connection of the one before; when LM Studio closed it before answering, the
// chat goes once more on a new connection (closed again: a failure, not a loop).
TEST_F(LmStudioClientTest, AChatFindingItsKeptConnectionClosedGoesOnceMoreOnANewOne) {
    std::string delivered;
    for (int times : {1, 0}) {
        ASSERT_FALSE(stream(delivered).transportFailed());
        fake.addFault(FakeFault{
            .path = std::string(LmStudioClient::kChatPath), .action = FakeFaultAction::Close, .times = times});
        EXPECT_EQ(stream(delivered).error, times == 1 ? LmTransportError::None : LmTransportError::Closed);
    }
    EXPECT_EQ(fake.requests().size(), 6u);
}

TEST_F(LmStudioClientTest, TheSinkCanStopTheStream) {
    fake.setChatReply(FakeChatReply{.pieces = std::vector<std::string>(20, "encore "), .gap = 20ms});
    int calls = 0;
    EXPECT_EQ(client
                  .streamChatCompletion(
                      streamRequest(), [&](std::string_view) { return ++calls < 2; }, kShort)
                  .error,
              LmTransportError::Aborted);
    EXPECT_EQ(calls, 2);
    EXPECT_TRUE(fake.waitForRequests(1, 5000ms));  // the fake sees its client leave
    // An exception in the sink stops the stream and comes out; the client stays usable.
    EXPECT_THROW(client.streamChatCompletion(streamRequest(),
                                             [](std::string_view) -> bool { throw std::runtime_error("gone"); }),
                 std::runtime_error);
    std::string delivered;
    EXPECT_FALSE(stream(delivered).transportFailed());
}

// A stop check given up on a wait for LM Studio ends it, whatever the time-out still allows.
TEST_F(LmStudioClientTest, AStopCheckEndsTheWaitForASilentLmStudio) {
    const milliseconds longWait(600000);  // far beyond the test: only the stop check can end it
    using Stop = LmStudioClient::StopCheck;
    auto streamed = [&](const Stop& stop) {
        return client
            .streamChatCompletion(
                streamRequest(), [](std::string_view) { return true; }, longWait, stop)
            .error;
    };
    const struct {
        const char* what;
        FakeFaultAction action;
        std::function<LmTransportError(const Stop&)> call;
    } cases[] = {
        {"list", FakeFaultAction::Hang, [&](const Stop& stop) { return client.listModelsV1(longWait, stop).error; }},
        {"load", FakeFaultAction::Hang, [&](const Stop& stop) { return client.loadModel("m", longWait, stop).error; }},
        {"stream before its answer", FakeFaultAction::Hang, streamed},
        {"stream after one event", FakeFaultAction::BreakStream, streamed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fake.clearFaults();
        fake.clearRecords();
        fake.addFault(FakeFault{.action = c.action, .afterEvents = 1, .breakWith = FakeStreamBreak::Hang});
        const Stop stop = [&] { return !fake.requests().empty(); };  // gives up once LM Studio holds the request
        auto outcome = std::async(std::launch::async, [&] { return c.call(stop); });
        const bool ended = outcome.wait_for(60s) == std::future_status::ready;
        if (!ended) fake.stop();  // let the call end so that the test can
        ASSERT_TRUE(ended) << "the call went on waiting for LM Studio";
        EXPECT_EQ(outcome.get(), LmTransportError::Aborted);
    }
    // A check that never says stop, or none, changes nothing.
    fake.clearFaults();
    EXPECT_EQ(client.listModelsV1(kShort, [] { return false; }).status, 200);
    EXPECT_EQ(client.loadModel("google/gemma-3-4b", kShort, {}).status, 200);
}

}  // namespace
}  // namespace klarion
