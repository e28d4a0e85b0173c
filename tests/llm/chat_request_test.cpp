// The chat route's decisions and the request LM Studio receives, with the
// handler called directly and its body writer run into memory.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <limits>
#include <mutex>
#include <optional>

#include "platform/json.h"
#include "server/llm/chat_proxy.h"
#include "server/llm/event_stream.h"
#include "server/llm/system_prompt.h"
#include "tests/llm/gateway_test_support.h"

namespace klarion {
namespace {

using gateway_test::FakeWithClient;
using gateway_test::JournalLine;
using gateway_test::TestState;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr const char* kTeacherPin = "4321";

class ChatRequest : public ::testing::Test {
protected:
    TestState t;
    FakeWithClient lm;
    std::shared_ptr<RateLimiter> limiter = std::make_shared<RateLimiter>();
    std::mutex mutex;
    std::vector<std::optional<std::string>> pinsChecked;
    int activityStamps = 0;
    std::unique_ptr<ChatProxy> proxy;

    void SetUp() override {
        ASSERT_NE(lm.fake.port(), 0);
        ChatProxy::Dependencies deps;
        deps.state = t.state;
        deps.lmStudio = lm.client;
        deps.rateLimiter = limiter;
        deps.isActiveTeacherPin = [this](const std::string&, const std::optional<std::string>& pin) {
            std::lock_guard<std::mutex> guard(mutex);
            pinsChecked.push_back(pin);
            return pin == std::optional<std::string>(kTeacherPin);
        };
        deps.touchLastActivity = [this] {
            std::lock_guard<std::mutex> guard(mutex);
            ++activityStamps;
        };
        proxy = std::make_unique<ChatProxy>(std::move(deps));
    }

    void TearDown() override { EXPECT_THAT(lm.fake.violations(), IsEmpty()); }

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

    // The one chat request LM Studio received, decoded.
    Json sent() {
        const auto requests = lm.fake.requestsTo("/v1/chat/completions");
        EXPECT_EQ(requests.size(), 1u);
        if (requests.empty()) return Json();
        auto body = parseJsonObject(requests.back().body);
        EXPECT_TRUE(body);
        return body ? *body : Json();
    }

    std::string emitted() {
        const auto requests = lm.fake.requestsTo("/v1/chat/completions");
        return requests.empty() ? std::string() : requests.back().emitted;
    }
};

Json message(const std::string& role, const Json& content) { return Json{{"role", role}, {"content", content}}; }

TEST_F(ChatRequest, DefaultRequestCarriesPromptMessageAndParameters) {
    const std::string answer = chat(Json{{"userMessage", "Bonjour  "}});
    EXPECT_EQ(answer, emitted());
    EXPECT_FALSE(answer.empty());

    const Json body = sent();
    EXPECT_EQ(body["messages"], Json::array({message("system", buildSystemPrompt(AppConfigValues{})),
                                             message("user", "Bonjour  ")}));
    EXPECT_EQ(body["stream"], true);
    EXPECT_EQ(body["temperature"], 0.7);
    EXPECT_EQ(body["top_p"], 0.9);
    EXPECT_EQ(body["frequency_penalty"], 0.0);
    EXPECT_EQ(body["presence_penalty"], 0.0);
    EXPECT_EQ(body["max_tokens"], 4096);
    EXPECT_TRUE(body["max_tokens"].is_number_integer());
    EXPECT_EQ(body["repeat_penalty"], 1.1);
    EXPECT_FALSE(body.contains("seed"));
    EXPECT_FALSE(body.contains("model"));

    EXPECT_THAT(t.journal(),
                ElementsAre(JournalLine{AppLogLevel::debug, "→ LM Studio : model=(défaut) temp=0.7 top_p=0.9 freq=0.0 "
                                                            "pres=0.0 repeat=1.1 max_tokens=4096 seed=off"},
                            JournalLine{AppLogLevel::debug, "Chat de 10.0.0.5 : Bonjour  "}));
}

TEST_F(ChatRequest, SeedModelAndExpertParametersFollowTheSettings) {
    t.config->update([](AppConfigValues& v) {
        v.useSeed = true;
        v.seedValue = 7;
        v.lmLoadedModelId = " qwen2.5-7b-instruct\n";
        v.temperature = 1.25;
        v.topP = 0.5;
        v.frequencyPenalty = 0.3;
        v.presencePenalty = -0.5;
        v.repeatPenalty = 1;
        v.maxTokens = 512;
        v.customMission = "Les fractions";
    });
    chat(Json{{"userMessage", "Et 1/2 + 1/3 ?"}});
    const Json body = sent();
    EXPECT_EQ(body["seed"], 7);
    EXPECT_EQ(body["model"], "qwen2.5-7b-instruct");
    EXPECT_EQ(body["temperature"], 1.25);
    EXPECT_EQ(body["top_p"], 0.5);
    EXPECT_EQ(body["frequency_penalty"], 0.3);
    EXPECT_EQ(body["presence_penalty"], -0.5);
    EXPECT_EQ(body["repeat_penalty"], 1.0);
    EXPECT_EQ(body["max_tokens"], 512);
    EXPECT_EQ(body["messages"][0]["content"], buildSystemPrompt(t.config->snapshot()));
    EXPECT_EQ(t.journal().front().message,
              "→ LM Studio : model=qwen2.5-7b-instruct temp=1.25 top_p=0.5 freq=0.3 pres=-0.5 repeat=1.0 "
              "max_tokens=512 seed=7");
}

TEST_F(ChatRequest, BlankModelIdSendsNoModel) {
    t.config->setLmLoadedModelId(" \n ");
    chat(Json{{"userMessage", "Salut"}});
    EXPECT_FALSE(sent().contains("model"));
    EXPECT_EQ(t.journal().front().message.rfind("→ LM Studio : model=(défaut) ", 0), 0u);
}

struct HistoryCase {
    const char* what;
    Json history;
    Json expected;  // the history messages sent
};
void PrintTo(const HistoryCase& c, std::ostream* os) { *os << c.what; }

Json tenWithTwoSystemInTheLastSix() {
    Json h = Json::array();
    for (int i = 0; i < 10; ++i) h.push_back(message(i % 2 ? "assistant" : "user", "m" + std::to_string(i)));
    h[5]["role"] = "system";
    h[8]["role"] = "system";
    return h;
}

const Json kImageTurn = Json::array({Json{{"type", "image_url"}, {"image_url", {{"url", "data:image/png;base64,AAAA"}}}},
                                     Json{{"type", "text"}, {"text", "Et ça ?"}}});

class ChatHistory : public ChatRequest, public ::testing::WithParamInterface<HistoryCase> {};

TEST_P(ChatHistory, IsShapedBeforeTheMessage) {
    chat(Json{{"userMessage", "Question"}, {"history", GetParam().history}});
    const Json messages = sent()["messages"];
    ASSERT_GE(messages.size(), 2u);
    Json history(Json::value_t::array);
    for (std::size_t i = 1; i + 1 < messages.size(); ++i) history.push_back(messages[i]);
    EXPECT_EQ(history, GetParam().expected);
    EXPECT_EQ(messages.back(), message("user", "Question"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ChatHistory,
    ::testing::Values(
        HistoryCase{"last six taken before dropping two system entries", tenWithTwoSystemInTheLastSix(),
                    Json::array({message("user", "m4"), message("user", "m6"), message("assistant", "m7"),
                                 message("assistant", "m9")})},
        HistoryCase{"an earlier image turn goes unchanged",
                    Json::array({message("user", kImageTurn), message("assistant", "Un chat.")}),
                    Json::array({message("user", kImageTurn), message("assistant", "Un chat.")})},
        HistoryCase{"one entry that is no object voids the history",
                    Json::array({message("user", "a"), "b", message("assistant", "c")}), Json::array()},
        HistoryCase{"a history that is no list is ignored", Json{{"role", "user"}, {"content", "a"}}, Json::array()},
        HistoryCase{"unknown or missing roles and unusable contents are dropped",
                    Json::array({message("User", "a"), Json{{"content", "b"}}, message("user", 3),
                                 message("assistant", Json::array({"texte"})), message("assistant", "ok"),
                                 Json{{"role", "user"}}}),
                    Json::array({message("assistant", "ok")})}));

TEST_F(ChatRequest, ImageGoesAsAnImagePartThenTheText) {
    chat(Json{{"userMessage", "Que vois-tu ?"}, {"image", {{"base64", "iVBORw0KGgo="}, {"mimeType", "image/png"}}}});
    EXPECT_EQ(sent()["messages"].back(),
              message("user", Json::array({Json{{"type", "image_url"},
                                                {"image_url", {{"url", "data:image/png;base64,iVBORw0KGgo="}}}},
                                           Json{{"type", "text"}, {"text", "Que vois-tu ?"}}})));
}

TEST_F(ChatRequest, AnImageOfAnotherFormIsIgnored) {
    chat(Json{{"userMessage", "Et ça ?"}, {"image", {{"base64", "AAAA"}, {"mimeType", 12}}}});
    EXPECT_EQ(sent()["messages"].back(), message("user", "Et ça ?"));
}

struct OverrideCase {
    const char* what;
    Json extra;
    bool honoured;
    bool pinLookedAt;
};
void PrintTo(const OverrideCase& c, std::ostream* os) { *os << c.what; }

class ChatOverride : public ChatRequest, public ::testing::WithParamInterface<OverrideCase> {};

TEST_P(ChatOverride, ReplacesThePromptOnlyWithTheActiveTeachersPin) {
    Json body{{"userMessage", "Analyse ces logs"}, {"history", Json::array()}};
    for (auto& [k, v] : GetParam().extra.items()) body[k] = v;
    chat(body);
    const Json system = sent()["messages"][0]["content"];
    if (GetParam().honoured) {
        EXPECT_EQ(system, " Tu es un analyste.\n");  // exactly as sent
    } else {
        EXPECT_EQ(system, buildSystemPrompt(AppConfigValues{}));
    }
    EXPECT_EQ(pinsChecked.size(), GetParam().pinLookedAt ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ChatOverride,
    ::testing::Values(OverrideCase{"right pin", {{"systemOverride", " Tu es un analyste.\n"}, {"pin", kTeacherPin}}, true, true},
                      OverrideCase{"wrong pin", {{"systemOverride", " Tu es un analyste.\n"}, {"pin", "0000"}}, false, true},
                      OverrideCase{"no pin", {{"systemOverride", " Tu es un analyste.\n"}}, false, false},
                      OverrideCase{"pin of another type", {{"systemOverride", " Tu es un analyste.\n"}, {"pin", 4321}}, false, false},
                      OverrideCase{"blank override", {{"systemOverride", " \n "}, {"pin", kTeacherPin}}, false, false},
                      OverrideCase{"override of another type", {{"systemOverride", 5}, {"pin", kTeacherPin}}, false, false}));

TEST_F(ChatRequest, PausedAnswersThePauseChunkWithoutTouchingAnything) {
    ASSERT_TRUE(limiter->tryAcquire("10.0.0.5"));
    ASSERT_TRUE(limiter->tryAcquire("10.0.0.5"));
    t.config->setIsAiPaused(true);
    EXPECT_EQ(chat(Json{{"userMessage", "Bonjour"}}), std::string(sseAiPausedBytes()));
    EXPECT_EQ(limiter->activeCount("10.0.0.5"), 2);
    EXPECT_EQ(t.config->activeChatStreams()->value(), 0);
    EXPECT_THAT(lm.fake.requests(), IsEmpty());
    EXPECT_THAT(t.journal(), IsEmpty());
}

TEST_F(ChatRequest, UnreadableOrBlankMessagesAreRefusedAndGiveTheSlotBack) {
    const std::vector<std::string> bodies = {
        "", "pas du json", "[1,2]", "\"texte\"", R"({"message":"Bonjour"})", R"({"userMessage":42})",
        R"({"userMessage":"  \n\t "})", R"({"userMessage":"", "image":{"base64":"AAAA","mimeType":"image/png"}})"};
    for (const std::string& body : bodies) {
        SCOPED_TRACE(body);
        EXPECT_EQ(chatRaw(body), std::string(sseEmptyMessageBytes()));
        EXPECT_EQ(limiter->activeCount("10.0.0.5"), 0);
    }
    EXPECT_EQ(t.config->activeChatStreams()->value(), 0);
    EXPECT_THAT(lm.fake.requests(), IsEmpty());
}

TEST_F(ChatRequest, ParametersThatCannotBeSerialisedGiveTheInternalError) {
    t.config->setTemperature(std::numeric_limits<double>::infinity());
    EXPECT_EQ(chat(Json{{"userMessage", "Bonjour"}}), std::string(sseInternalErrorBytes()));
    EXPECT_EQ(limiter->activeCount("10.0.0.5"), 0);
    EXPECT_EQ(t.config->activeChatStreams()->value(), 0);
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
    EXPECT_EQ(other, emitted());
    EXPECT_EQ(limiter->activeCount("10.0.0.6"), 0);

    // One ends: the address may chat again.
    const std::string firstAnswer = run(first);
    EXPECT_EQ(firstAnswer, emitted());
    EXPECT_EQ(limiter->activeCount("10.0.0.5"), 1);
    EXPECT_EQ(t.config->activeChatStreams()->value(), 1);
    HttpResponse third = proxy->handleChat(request(R"({"userMessage":"trois"})"));
    EXPECT_EQ(limiter->activeCount("10.0.0.5"), 2);
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

TEST_F(ChatRequest, RequestsWithoutAnAddressShareOneKey) {
    HttpResponse a = proxy->handleChat(request(R"({"userMessage":"un"})", std::nullopt));
    HttpResponse b = proxy->handleChat(request(R"({"userMessage":"deux"})", std::nullopt));
    EXPECT_EQ(limiter->activeCount("0.0.0.0"), 2);
    EXPECT_EQ(chat(Json{{"userMessage", "trois"}}, std::nullopt), std::string(sseRequestInProgressBytes()));
}

TEST_F(ChatRequest, ActivityIsStampedOnlyInTheEstablishmentMode) {
    chat(Json{{"userMessage", "Bonjour"}});
    EXPECT_EQ(activityStamps, 0);
    t.config->setAppMode("establishment");
    chat(Json{{"userMessage", "Bonjour"}});
    EXPECT_EQ(activityStamps, 1);
    chat(Json{{"userMessage", " "}});  // refused before the stamp
    EXPECT_EQ(activityStamps, 1);
}

TEST_F(ChatRequest, JournalQuotesTheFirstSixtyCharacters) {
    std::string text;
    for (int i = 0; i < 59; ++i) text += "é";
    text += "👩‍👩‍👧";  // one character made of five code points
    text += "de trop";
    chat(Json{{"userMessage", text}});
    const auto lines = t.journalMessages();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "Chat de 10.0.0.5 : " + text.substr(0, text.size() - 7));
}

TEST(ShortestDecimal, KeepsOneDecimalAtLeast) {
    const std::vector<std::pair<double, std::string>> cases = {
        {0.7, "0.7"}, {0, "0.0"}, {1.1, "1.1"}, {1, "1.0"}, {-0.5, "-0.5"}, {0.1 + 0.2, "0.30000000000000004"},
        {2048, "2048.0"}, {0.0001, "0.0001"}, {-0.0005, "-0.0005"}, {0.00015, "0.00015"}, {1e-5, "1e-05"}};
    for (const auto& [value, text] : cases) EXPECT_EQ(shortestDecimal(value), text) << value;
}

}  // namespace
}  // namespace klarion
