// The safety monitor through the test server program and the fake LM Studio:
// questions posted to "/api/log" over real HTTP, alerts read back from
// "/api/safety-alerts", verdicts played by the fake.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "platform/json.h"
#include "tests/api/api_test_support.h"
#include "tests/support/fake_lmstudio.h"
#include "tests/support/test_server_process.h"

namespace klarion {
namespace {

using namespace std::chrono_literals;
using ::testing::IsEmpty;

// Polls `done` every 50 ms for at most `limit`.
bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit = 30s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) return true;
        std::this_thread::sleep_for(50ms);
    }
    return done();
}

class SafetyEndToEnd : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(fake.start()); }
    void TearDown() override { EXPECT_THAT(fake.violations(), IsEmpty()); }

    void setVerdict(const std::string& content, std::vector<std::string> pieces = {"Bonjour"},
                    std::chrono::milliseconds gap = 0ms) {
        fake.setChatReply({.pieces = std::move(pieces), .content = content, .gap = gap});
    }

    void logQuestion(uint16_t port, const std::string& text, const std::string& name) {
        Json body{{"type", "question"}, {"text", text}, {"name", name}};
        auto reply = test::httpRequest(port, "POST", "/api/log", dumpJson(body));
        EXPECT_EQ(reply.status, 200);
        EXPECT_EQ(reply.body, "Logged");
    }

    // The alerts the dashboard sees, newest first.
    Json alerts(uint16_t port, const std::string& pin) {
        auto reply = test::httpRequest(port, "POST", "/api/safety-alerts", dumpJson(Json{{"pin", pin}}));
        auto list = parseJson(reply.body);
        return reply.status == 200 && list && list->is_array() ? *list : Json::array();
    }
    std::optional<Json> alertWithText(uint16_t port, const std::string& pin, const std::string& text) {
        for (const Json& alert : alerts(port, pin))
            if (alert.value("text", "") == text) return alert;
        return std::nullopt;
    }

    // Chat requests the fake got: streamed ones, or verdict requests (not streamed) it has answered.
    size_t chatRequests(bool streamed) {
        size_t count = 0;
        for (const auto& request : fake.requestsTo("/v1/chat/completions")) {
            auto body = parseJsonObject(request.body);
            count += body && body->value("stream", !streamed) == streamed && (streamed || request.finished);
        }
        return count;
    }
    size_t verdictRequests() { return chatRequests(false); }

    FakeLmStudio fake;
};

TEST_F(SafetyEndToEnd, KeywordAlertsConfirmedDismissedAndRaisedByTheAi) {
    test::ScratchHome home;
    setVerdict(R"({"danger": true, "motif": "idées suicidaires"})");
    test::TestServerProcess server(fake.baseUrl(), home.path() / "resources");
    ASSERT_NE(server.waitForBanner(), 0) << "no banner from the test server";
    const uint16_t port = server.port();
    const std::string pin = server.teacherPin();
    // The context query follows the first probe that finds LM Studio online.
    ASSERT_TRUE(eventually([&] { return !fake.requestsTo("/api/v0/models").empty(); }));

    // A distress question: keyword alert, confirmed by the verdict.
    logQuestion(port, "Je veux mourir", "Léa");
    ASSERT_TRUE(eventually([&] {
        auto alert = alertWithText(port, pin, "Je veux mourir");
        return alert && (*alert)["level"] == "confirmed";
    }));
    auto confirmed = *alertWithText(port, pin, "Je veux mourir");
    EXPECT_EQ(confirmed["name"], "Léa");
    EXPECT_EQ(confirmed["reason"], "IA : idées suicidaires");
    EXPECT_EQ(confirmed["ack"], false);
    EXPECT_EQ(verdictRequests(), 1u);

    // Another one, which the verdict dismisses: it leaves the dashboard's list.
    setVerdict(R"(Analyse : {"danger": false, "motif": "musique"})");
    logQuestion(port, "Je joue du violon", "Tom");
    ASSERT_TRUE(eventually([&] { return verdictRequests() == 2; }));

    // Screening of every question on: a neutral question the fake flags.
    auto update = test::httpRequest(port, "POST", "/api/admin/update",
                                    dumpJson(Json{{"pin", pin}, {"safetyAiScanAll", true}}));
    ASSERT_EQ(update.status, 200);
    ASSERT_TRUE(eventually([&] {
        auto config = parseJsonObject(test::httpRequest(port, "GET", "/api/config").body);
        return config && config->value("safetyAiScanAll", false);
    }));
    setVerdict(R"({"danger": true})");
    logQuestion(port, "Quelle est la capitale de la France ?", "Zoé");
    ASSERT_TRUE(eventually(
        [&] { return alertWithText(port, pin, "Quelle est la capitale de la France ?").has_value(); }));
    auto raised = *alertWithText(port, pin, "Quelle est la capitale de la France ?");
    EXPECT_EQ(raised["name"], "Zoé");
    EXPECT_EQ(raised["reason"], "Détecté par l'IA");
    EXPECT_EQ(raised["level"], "confirmed");

    // That alert came after the violin one was raised, so the violin one is
    // gone from the list only because it was dismissed.
    EXPECT_TRUE(eventually([&] { return !alertWithText(port, pin, "Je joue du violon"); }));
    auto list = alerts(port, pin);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0]["text"], "Quelle est la capitale de la France ?");  // newest first
    EXPECT_EQ(list[1]["text"], "Je veux mourir");

    EXPECT_EQ(server.terminate(), 0);
}

TEST_F(SafetyEndToEnd, VerdictWaitsForTheRunningChatStream) {
    test::ScratchHome home;
    // A chat answer of 12 pieces, 400 ms apart.
    setVerdict(R"({"danger": true, "motif": "appel à l'aide"})", std::vector<std::string>(12, "mot "), 400ms);
    test::TestServerProcess server(fake.baseUrl(), home.path() / "resources");
    ASSERT_NE(server.waitForBanner(), 0) << "no banner from the test server";
    const uint16_t port = server.port();
    const std::string pin = server.teacherPin();
    ASSERT_TRUE(eventually([&] { return !fake.requestsTo("/api/v0/models").empty(); }));

    std::atomic<bool> chatEnded{false};
    test::HttpReply chat;
    std::thread student([&] {
        chat = test::httpRequest(port, "POST", "/api/chat",
                                 dumpJson(Json{{"userMessage", "Raconte une histoire"}, {"history", Json::array()}}));
        chatEnded = true;
    });
    ASSERT_TRUE(eventually([&] { return chatRequests(true) == 1; }));

    logQuestion(port, "Au secours", "Max");
    ASSERT_TRUE(eventually([&] { return alertWithText(port, pin, "Au secours").has_value(); }));
    // The question has been scanned; while the stream runs no verdict is asked.
    std::this_thread::sleep_for(1s);
    const size_t verdictsDuringStream = verdictRequests();
    const bool streamStillRunning = !chatEnded;
    EXPECT_TRUE(streamStillRunning) << "the chat answer ended too early for the check";
    EXPECT_EQ(verdictsDuringStream, 0u);
    EXPECT_EQ((*alertWithText(port, pin, "Au secours"))["level"], "keyword");

    student.join();
    EXPECT_EQ(chat.status, 200);
    EXPECT_NE(chat.body.find("data: [DONE]"), std::string::npos);
    // After the stream: the verdict is asked and confirms the alert.
    ASSERT_TRUE(eventually([&] {
        auto alert = alertWithText(port, pin, "Au secours");
        return alert && (*alert)["level"] == "confirmed";
    }));
    EXPECT_EQ((*alertWithText(port, pin, "Au secours"))["reason"], "IA : appel à l'aide");
    EXPECT_EQ(verdictRequests(), 1u);

    EXPECT_EQ(server.terminate(), 0);
}

}  // namespace
}  // namespace klarion
