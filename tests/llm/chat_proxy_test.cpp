// The chat route: its decisions and the request LM Studio receives (handler called directly, its
// body writer run into memory), then the relay through the HTTP server (LM Studio's stream byte
// for byte, the error chunk, slots and stream count given back whatever happens).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>
#include <limits>
#include <optional>
#include <random>

#include "http/core/server.h"
#include "server/llm/chat_proxy.h"
#include "server/llm/event_stream.h"
#include "server/llm/system_prompt.h"
#include "tests/support/gateway_fixture.h"

namespace klarion {
namespace {

using namespace std::chrono_literals;
using gateway_test::eventually;
using gateway_test::JournalLine;
using gateway_test::lastEmitted;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr const char* kTeacherPin = "4321";
const std::string kError(proxyErrorChunkBytes());

Json message(const std::string& role, const Json& content) { return Json{{"role", role}, {"content", content}}; }

class ChatRequest : public gateway_test::GatewayTest {
protected:
    std::shared_ptr<RateLimiter> limiter = std::make_shared<RateLimiter>();
    std::vector<std::optional<std::string>> pinsChecked;
    int activityStamps = 0;
    std::unique_ptr<ChatProxy> proxy;

    void SetUp() override {
        // The handler and its writer run on the test's thread.
        proxy = std::make_unique<ChatProxy>(
            ChatProxy::Dependencies{.state = t.state,
                                    .lmStudio = lm.client,
                                    .rateLimiter = limiter,
                                    .isActiveTeacherPin =
                                        [this](const std::string&, const std::optional<std::string>& pin) {
                                            pinsChecked.push_back(pin);
                                            return pin == std::optional<std::string>(kTeacherPin);
                                        },
                                    .touchLastActivity = [this] { ++activityStamps; }});
    }

    static HttpRequest request(const std::string& body, std::optional<std::string> address = "10.0.0.5") {
        HttpRequest r;
        r.method = "POST";
        r.path = "/api/chat";
        r.body = utf8Bytes(body);
        r.address = std::move(address);
        return r;
    }
    static std::string run(const HttpResponse& reply) {
        EXPECT_EQ(reply.statusCode(), 200);
        EXPECT_EQ(reply.headers().at("Content-Type"), "text/event-stream");
        MemoryBodyWriter writer;
        if (auto fn = reply.content().writer) fn(writer);
        return writer.text();
    }
    std::string chatRaw(const std::string& body, std::optional<std::string> address = "10.0.0.5") {
        return run(proxy->handleChat(request(body, std::move(address))));
    }
    std::string chat(const Json& body, std::optional<std::string> address = "10.0.0.5") {
        return chatRaw(dumpJson(body), std::move(address));
    }
    // The last chat request LM Studio received, decoded.
    Json sent() {
        const auto requests = lm.fake.requestsTo("/v1/chat/completions");
        auto body = requests.empty() ? std::nullopt : parseJsonObject(requests.back().body);
        EXPECT_TRUE(body);
        return body ? *body : Json();
    }
};

TEST_F(ChatRequest, ParametersModelAndSeedFollowTheSettings) {
    const struct {
        const char* what;
        std::function<void(AppConfigValues&)> settings;
        Json parameters;  // every key but "messages"
        std::string journal;
    } cases[] = {
        {"defaults, with a blank model id",
         [](AppConfigValues& v) { v.lmLoadedModelId = " \n "; },
         {{"stream", true},
          {"temperature", 0.7},
          {"top_p", 0.9},
          {"frequency_penalty", 0.0},
          {"presence_penalty", 0.0},
          {"max_tokens", 4096},
          {"repeat_penalty", 1.1}},
         "→ LM Studio : model=(défaut) temp=0.7 top_p=0.9 freq=0.0 pres=0.0 repeat=1.1 max_tokens=4096 seed=off"},
        {"seed, model and expert parameters",
         [](AppConfigValues& v) {
             v.useSeed = true, v.seedValue = 7, v.lmLoadedModelId = " qwen2.5-7b-instruct\n", v.temperature = 1.25;
             v.topP = 0.5, v.frequencyPenalty = 0.3, v.presencePenalty = -0.5, v.repeatPenalty = 1, v.maxTokens = 512;
             v.customMission = "Les fractions";
         },
         {{"stream", true},
          {"temperature", 1.25},
          {"top_p", 0.5},
          {"frequency_penalty", 0.3},
          {"presence_penalty", -0.5},
          {"max_tokens", 512},
          {"repeat_penalty", 1.0},
          {"seed", 7},
          {"model", "qwen2.5-7b-instruct"}},
         "→ LM Studio : model=qwen2.5-7b-instruct temp=1.25 top_p=0.5 freq=0.3 pres=-0.5 repeat=1.0 max_tokens=512 "
         "seed=7"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        t.config->update([](AppConfigValues& v) { v = AppConfigValues{}; });
        t.config->update(c.settings);
        t.logger->setEntries({});
        const std::string answer = chat(Json{{"userMessage", "Bonjour  "}});
        EXPECT_FALSE(answer.empty());
        EXPECT_EQ(answer, lastEmitted(lm.fake));
        const Json body = sent();
        EXPECT_EQ(body.size(), c.parameters.size() + 1);
        for (const auto& [key, value] : c.parameters.items()) EXPECT_EQ(body[key], value) << key;
        EXPECT_EQ(body["messages"], Json::array({message("system", buildSystemPrompt(t.config->snapshot())),
                                                 message("user", "Bonjour  ")}));
        EXPECT_THAT(t.journal(), ElementsAre(JournalLine{AppLogLevel::debug, c.journal},
                                             JournalLine{AppLogLevel::debug, "Chat de 10.0.0.5 : Bonjour  "}));
    }
}

TEST_F(ChatRequest, HistoryAndImageAreShapedAroundTheMessage) {
    Json ten = Json::array();
    for (int i = 0; i < 10; ++i) ten.push_back(message(i % 2 ? "assistant" : "user", "m" + std::to_string(i)));
    ten[5]["role"] = ten[8]["role"] = "system";
    const Json imageTurn =
        Json::array({Json{{"type", "image_url"}, {"image_url", {{"url", "data:image/png;base64,AAAA"}}}},
                     Json{{"type", "text"}, {"text", "Et ça ?"}}});
    const Json question = message("user", "Question");
    const struct {
        const char* what;
        Json extra;     // history or image added to the request
        Json expected;  // the messages after the system message
    } cases[] = {
        {"last six taken before dropping two system entries",
         {{"history", ten}},
         {message("user", "m4"), message("user", "m6"), message("assistant", "m7"), message("assistant", "m9"),
          question}},
        {"an earlier image turn goes unchanged",
         {{"history", {message("user", imageTurn), message("assistant", "Un chat.")}}},
         {message("user", imageTurn), message("assistant", "Un chat."), question}},
        {"one entry that is no object voids the history",
         {{"history", {message("user", "a"), "b", message("assistant", "c")}}},
         {question}},
        {"a history that is no list is ignored", {{"history", message("user", "a")}}, {question}},
        {"unknown or missing roles and unusable contents are dropped",
         {{"history",
           {message("User", "a"), Json{{"content", "b"}}, message("user", 3),
            message("assistant", Json::array({"texte"})), message("assistant", "ok"), Json{{"role", "user"}}}}},
         {message("assistant", "ok"), question}},
        {"an image goes as an image part then the text",
         {{"image", {{"base64", "iVBORw0KGgo="}, {"mimeType", "image/png"}}}},
         {message("user", Json::array({Json{{"type", "image_url"},
                                            {"image_url", {{"url", "data:image/png;base64,iVBORw0KGgo="}}}},
                                       Json{{"type", "text"}, {"text", "Question"}}}))}},
        {"an image of another form is ignored", {{"image", {{"base64", "AAAA"}, {"mimeType", 12}}}}, {question}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Json body = c.extra;
        body["userMessage"] = "Question";
        chat(body);
        Json messages = sent()["messages"];
        ASSERT_FALSE(messages.empty());
        messages.erase(messages.begin());
        EXPECT_EQ(messages, c.expected);
    }
}

TEST_F(ChatRequest, OverrideReplacesThePromptOnlyWithTheActiveTeachersPin) {
    const Json prompt = " Tu es un analyste.\n";
    const struct {
        const char* what;
        Json extra;
        bool honoured, pinLookedAt;
    } cases[] = {
        {"right pin", {{"systemOverride", prompt}, {"pin", kTeacherPin}}, true, true},
        {"wrong pin", {{"systemOverride", prompt}, {"pin", "0000"}}, false, true},
        {"no pin", {{"systemOverride", prompt}}, false, false},
        {"pin of another type", {{"systemOverride", prompt}, {"pin", 4321}}, false, false},
        {"blank override", {{"systemOverride", " \n "}, {"pin", kTeacherPin}}, false, false},
        {"override of another type", {{"systemOverride", 5}, {"pin", kTeacherPin}}, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        pinsChecked.clear();
        Json body = c.extra;
        body["userMessage"] = "Analyse ces logs";
        chat(body);
        EXPECT_EQ(sent()["messages"][0]["content"], c.honoured ? prompt : Json(buildSystemPrompt(AppConfigValues{})));
        EXPECT_EQ(pinsChecked.size(), c.pinLookedAt ? 1u : 0u);
    }
}

TEST_F(ChatRequest, CannedRepliesTakeNoSlotAndAskNothing) {
    const std::string empty(sseEmptyMessageBytes());
    const struct {
        std::string body;
        std::string expected;
        std::function<void()> arrange;
    } cases[] = {
        {"", empty},
        {"pas du json", empty},
        {"[1,2]", empty},
        {"\"texte\"", empty},
        {R"({"message":"Bonjour"})", empty},
        {R"({"userMessage":42})", empty},
        {R"({"userMessage":"  \n\t "})", empty},
        {R"({"userMessage":"", "image":{"base64":"AAAA","mimeType":"image/png"}})", empty},
        {R"({"userMessage":"Bonjour"})", std::string(sseInternalErrorBytes()),
         [&] { t.config->setTemperature(std::numeric_limits<double>::infinity()); }},
        // Paused comes first: the address's two running chats are not even looked at.
        {R"({"userMessage":"Bonjour"})", std::string(sseAiPausedBytes()),
         [&] {
             ASSERT_TRUE(limiter->tryAcquire("10.0.0.5") && limiter->tryAcquire("10.0.0.5"));
             t.config->setIsAiPaused(true);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.body);
        if (c.arrange) c.arrange();
        const auto held = limiter->activeCount("10.0.0.5");
        EXPECT_EQ(chatRaw(c.body), c.expected);
        EXPECT_EQ(limiter->activeCount("10.0.0.5"), held);
        EXPECT_EQ(t.config->activeChatStreams()->value(), 0);
    }
    EXPECT_THAT(lm.fake.requests(), IsEmpty());
}

TEST_F(ChatRequest, ThirdConcurrentChatOfOneAddressIsRefusedAnotherAddressIsServed) {
    // Two accepted chats whose writers have not run yet hold their slots.
    HttpResponse first = proxy->handleChat(request(R"({"userMessage":"un"})"));
    HttpResponse second = proxy->handleChat(request(R"({"userMessage":"deux"})"));
    EXPECT_EQ(t.config->activeChatStreams()->value(), 2);
    EXPECT_EQ(chat(Json{{"userMessage", "trois"}}), std::string(sseRequestInProgressBytes()));
    EXPECT_EQ(limiter->activeCount("10.0.0.5"), 2);

    const std::string other = chat(Json{{"userMessage", "ailleurs"}}, "10.0.0.6");
    EXPECT_EQ(other, lastEmitted(lm.fake));
    EXPECT_EQ(limiter->activeCount("10.0.0.6"), 0);

    // One ends: the address may chat again.
    const std::string firstAnswer = run(first);
    EXPECT_EQ(firstAnswer, lastEmitted(lm.fake));
    EXPECT_EQ(limiter->activeCount("10.0.0.5"), 1);
    EXPECT_EQ(t.config->activeChatStreams()->value(), 1);
    HttpResponse third = proxy->handleChat(request(R"({"userMessage":"trois"})"));
    EXPECT_EQ(limiter->activeCount("10.0.0.5"), 2);

    // Requests without an address share one key.
    HttpResponse a = proxy->handleChat(request(R"({"userMessage":"un"})", std::nullopt));
    HttpResponse b = proxy->handleChat(request(R"({"userMessage":"deux"})", std::nullopt));
    EXPECT_EQ(limiter->activeCount("0.0.0.0"), 2);
    EXPECT_EQ(chat(Json{{"userMessage", "trois"}}, std::nullopt), std::string(sseRequestInProgressBytes()));
}

TEST_F(ChatRequest, WritersDroppedWithoutRunningGiveSlotsAndCountBack) {
    {
        HttpResponse a = proxy->handleChat(request(R"({"userMessage":"un"})"));
        HttpResponse b = proxy->handleChat(request(R"({"userMessage":"deux"})"));
        HttpContent copy = b.content();  // the core copies writers freely
        EXPECT_EQ(limiter->activeCount("10.0.0.5"), 2);
        EXPECT_EQ(t.config->activeChatStreams()->value(), 2);
    }
    EXPECT_EQ(limiter->activeCount("10.0.0.5"), 0);
    EXPECT_EQ(t.config->activeChatStreams()->value(), 0);
    EXPECT_THAT(lm.fake.requests(), IsEmpty());
}

TEST_F(ChatRequest, ActivityIsStampedOnlyInTheEstablishmentMode) {
    chat(Json{{"userMessage", "Bonjour"}});
    EXPECT_EQ(activityStamps, 0);
    t.config->setAppMode("establishment");
    chat(Json{{"userMessage", "Bonjour"}});
    chat(Json{{"userMessage", " "}});  // refused before the stamp
    EXPECT_EQ(activityStamps, 1);
}

TEST_F(ChatRequest, JournalQuotesTheFirstSixtyCharacters) {
    std::string text;
    for (int i = 0; i < 59; ++i) text += "é";
    text += "👩‍👩‍👧";  // one character made of five code points
    chat(Json{{"userMessage", text + "de trop"}});
    EXPECT_EQ(t.journalMessages().at(1), "Chat de 10.0.0.5 : " + text);
}

// ---- the relay through the HTTP server ----

const std::string kChatBody = R"({"userMessage":"Explique la photosynthèse","history":[]})";

class ChatRelay : public gateway_test::GatewayTest {
protected:
    std::shared_ptr<RateLimiter> limiter = std::make_shared<RateLimiter>();
    std::unique_ptr<ChatProxy> proxy;
    HttpServer server;

    // The proxy talks to LM Studio through a client with this idle time-out; with
    // `stopWithServer`, its relays give up once the server stops.
    void start(std::chrono::milliseconds idle = gateway_test::shortTimeouts().streamIdle, bool stopWithServer = false) {
        LmStudioTimeouts timeouts = gateway_test::shortTimeouts();
        timeouts.streamIdle = idle;
        ChatProxy::Dependencies deps{.state = t.state,
                                     .lmStudio = std::make_shared<const LmStudioClient>(lm.fake.baseUrl(), timeouts),
                                     .rateLimiter = limiter};
        if (stopWithServer) deps.serverStopping = [this] { return !server.operating(); };
        proxy = std::make_unique<ChatProxy>(std::move(deps));
        server["/api/chat"] = [this](HttpRequest& request) { return proxy->handleChat(request); };
        server.listenAddressIPv4 = "127.0.0.1";
        server.start(0, true);
    }
    void TearDown() override {
        server.stopAndWait();
        GatewayTest::TearDown();
        EXPECT_EQ(limiter->size(), 0u) << "a chat slot leaked";
        EXPECT_EQ(t.config->activeChatStreams()->value(), 0) << "a stream count leaked";
    }

    std::string chat() {
        const auto reply =
            gateway_test::roundTrip(server.port(), gateway_test::requestText("POST", "/api/chat", kChatBody));
        EXPECT_TRUE(reply.complete);
        EXPECT_EQ(reply.status, 200);
        EXPECT_EQ(reply.headers.at("content-type"), "text/event-stream");
        EXPECT_EQ(reply.headers.count("content-length"), 0u);
        return reply.body;
    }
    void sendChat(gateway_test::LoopbackClient& connection) {
        ASSERT_TRUE(connection.send(gateway_test::requestText("POST", "/api/chat", kChatBody)));
    }
};

TEST_F(ChatRelay, RelaysLmStudiosBytesUnchangedWhereverTheyAreCut) {
    start();
    // Multi-byte characters, so that cuts fall inside characters, inside "data:" and between
    // the two line feeds.
    std::string stream;
    for (const char* piece : {"La photo", "synthèse 🌱 ", "transforme la lumière", " en énergie…"}) {
        stream +=
            "data: " + dumpJson(Json{{"choices", Json::array({Json{{"index", 0}, {"delta", {{"content", piece}}}}})}}) +
            "\n\n";
    }
    stream += "data: {\"choices\":[{\"index\":0,\"delta\":{},\"finish_reason\":\"stop\"}]}\n\ndata: [DONE]\n\n";
    std::vector<std::vector<std::size_t>> cutSets = {{}, {1}, {2, 3}, {7, 1, 13}, {64, 5}, {4096}};
    std::mt19937 random(7);
    for (int set = 0; set < 3; ++set) {
        cutSets.emplace_back(40);
        for (auto& cut : cutSets.back()) cut = std::uniform_int_distribution<std::size_t>(1, 97)(random);
    }
    for (const auto& cuts : cutSets) {
        SCOPED_TRACE(::testing::PrintToString(cuts));
        lm.fake.setChatReply(FakeChatReply{.rawStream = stream, .cuts = cuts});
        EXPECT_EQ(chat(), stream);
    }
    lm.fake.setChatReply(FakeChatReply{});  // the fake's own events, one chunk each
    const std::string own = chat();
    EXPECT_EQ(own, lastEmitted(lm.fake));
}

TEST_F(ChatRelay, FailuresEndAsTheStudentPageExpects) {
    start(1500ms);
    const std::string event = "data: {\"choices\":[{\"delta\":{\"content\":\"Bon\"}}]}";
    // An HTTP answer written by hand: chunked, `part` as the only chunk, then the connection closes.
    auto brokenAnswer = [](const std::string& part) {
        char size[32];
        std::snprintf(size, sizeof size, "%zx", part.size());
        return "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nTransfer-Encoding: chunked\r\n\r\n" +
               std::string(size) + "\r\n" + part + "\r\n";
    };
    auto onChat = [](FakeFault fault) { return fault.path = "/v1/chat/completions", std::optional<FakeFault>(fault); };
    const struct {
        const char* what;
        std::optional<FakeFault> fault;                  // none: LM Studio refuses the connection
        std::string after;                               // what follows the bytes LM Studio sent
        std::optional<std::string> sent = std::nullopt;  // those bytes, when the fake did not build them
    } cases[] = {
        {"LM Studio refuses the connection", std::nullopt, kError},
        {"closed without an answer", onChat({.action = FakeFaultAction::Close}), kError},
        {"reset after two events",
         onChat({.action = FakeFaultAction::BreakStream, .afterEvents = 2, .breakWith = FakeStreamBreak::Reset}),
         kError},
        {"silent after one event for the idle time-out",
         onChat({.action = FakeFaultAction::BreakStream, .afterEvents = 1, .breakWith = FakeStreamBreak::Hang}),
         kError},
        {"closed inside a line: a blank line first",
         onChat({.action = FakeFaultAction::Raw, .body = brokenAnswer(event + "\n\ndata: {\"choi")}), "\n\n" + kError,
         event + "\n\ndata: {\"choi"},
        {"closed after a line but inside an event",
         onChat({.action = FakeFaultAction::Raw, .body = brokenAnswer(event + "\n")}), "\n" + kError, event + "\n"},
        {"answered 400: its body, a blank line, the error chunk",
         onChat({.action = FakeFaultAction::Status,
                 .status = 400,
                 .body = R"({"error":"Trying to keep the first 9000 tokens"})"}),
         "\n\n" + kError},
        {"answered 500 with a body ending its line",
         onChat({.action = FakeFaultAction::Status, .status = 500, .body = "{\"error\":\"boom\"}\n"}), "\n" + kError},
        {"answered an empty 200: nothing at all",
         onChat({.action = FakeFaultAction::Status, .status = 200, .body = "", .contentType = "text/event-stream"}),
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        lm.fake.clearRecords();
        lm.fake.setRefusing(!c.fault);
        if (c.fault) lm.fake.addFault(*c.fault);
        const std::string body = chat();
        EXPECT_EQ(body, c.sent.value_or(lastEmitted(lm.fake)) + c.after);
        EXPECT_EQ(limiter->size(), 0u);
        EXPECT_EQ(t.config->activeChatStreams()->value(), 0);
    }
}

TEST_F(ChatRelay, AStudentWhoLeavesBeforeTheAnswerGivesTheSlotBack) {
    start();
    lm.fake.addFault(FakeFault{.path = "/v1/chat/completions", .delay = 300ms});
    {
        gateway_test::LoopbackClient leaving(server.port());
        sendChat(leaving);
        ASSERT_TRUE(eventually([&] { return lm.fake.requestsTo("/v1/chat/completions").size() == 1; }));
    }
    EXPECT_TRUE(eventually([&] { return limiter->size() == 0 && t.config->activeChatStreams()->value() == 0; }));
}

TEST_F(ChatRelay, StoppingTheServerMidStreamGivesEverythingBack) {
    start();
    lm.fake.setChatReply(FakeChatReply{.pieces = std::vector<std::string>(200, "bla "), .gap = 20ms});
    gateway_test::LoopbackClient student(server.port());
    sendChat(student);
    EXPECT_NE(student.readUntil("data: ", 5s).find("data: "), std::string::npos);
    EXPECT_EQ(t.config->activeChatStreams()->value(), 1);
    server.stopAndWait();
    EXPECT_EQ(limiter->size(), 0u);
    EXPECT_EQ(t.config->activeChatStreams()->value(), 0);
    // With nobody left to read it, the relay stopped reading LM Studio's answer.
    ASSERT_TRUE(lm.fake.waitForRequests(1, 10s));
    EXPECT_EQ(lastEmitted(lm.fake).find("[DONE]"), std::string::npos);
}

TEST_F(ChatRelay, StoppingTheServerDoesNotWaitForASilentLmStudio) {
    start(600s, true);  // far beyond the test: only the stop can end the wait
    lm.fake.addFault(
        FakeFault{.path = "/v1/chat/completions", .action = FakeFaultAction::Hang});  // still reading the prompt
    gateway_test::LoopbackClient student(server.port());
    sendChat(student);
    ASSERT_TRUE(eventually([&] {
        return t.config->activeChatStreams()->value() == 1 && !lm.fake.requestsTo("/v1/chat/completions").empty();
    }));
    auto stopped = std::async(std::launch::async, [&] { server.stop(); });
    const bool ended = stopped.wait_for(60s) == std::future_status::ready;
    if (!ended) lm.fake.stop();  // let the relay end so that the test can
    stopped.wait();
    EXPECT_TRUE(ended) << "the stop waited for LM Studio";
}

}  // namespace
}  // namespace klarion
