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
#include "tests/support/classroom_fixture.h"
#include "tests/support/loopback_client.h"
#include "tests/support/fake_lmstudio.h"
#include "tests/support/test_server_process.h"

namespace klarion {
namespace {

using namespace std::chrono_literals;
using ::testing::IsEmpty;

using klarion::testing::eventually;

class SafetyEndToEnd : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(fake.start()); }
    void TearDown() override { EXPECT_THAT(fake.violations(), IsEmpty()); }

    // Starts the program and waits for its first probe's context query.
    void start() {
        server = std::make_unique<test::TestServerProcess>(fake.baseUrl(), home.home() / "resources");
        ASSERT_NE(server->waitForBanner(), 0) << "no banner from the test server";
        ASSERT_TRUE(eventually([&] { return !fake.requestsTo("/api/v0/models").empty(); }));
    }
    klarion::testing::HttpReply post(const std::string& target, Json body) {
        return klarion::testing::request(server->port(), "POST", target, dumpJson(body));
    }
    void setVerdict(const std::string& content, std::vector<std::string> pieces = {"Bonjour"},
                    std::chrono::milliseconds gap = 0ms) {
        fake.setChatReply({.pieces = std::move(pieces), .content = content, .gap = gap});
    }
    void logQuestion(const std::string& text, const std::string& name) {
        const auto reply = post("/api/log", {{"type", "question"}, {"text", text}, {"name", name}});
        EXPECT_EQ(reply.status, 200);
        EXPECT_EQ(reply.body, "Logged");
    }
    // The alerts the dashboard sees, newest first.
    Json alerts() {
        const auto reply = post("/api/safety-alerts", {{"pin", server->teacherPin()}});
        const auto list = parseJson(reply.body);
        return reply.status == 200 && list && list->is_array() ? *list : Json::array();
    }
    Json alertWithText(const std::string& text) {
        for (const Json& alert : alerts())
            if (alert.value("text", "") == text) return alert;
        return Json::object();
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

    FakeLmStudio fake;
    klarion::testing::ScratchHome home;
    std::unique_ptr<test::TestServerProcess> server;
};

TEST_F(SafetyEndToEnd, AKeywordAlertIsConfirmedByTheAi) {
    setVerdict(R"({"danger": true, "motif": "idées suicidaires"})");
    start();

    // A distress question: keyword alert, confirmed by the verdict (the other outcomes are
    // checked against the monitor itself).
    logQuestion("Je veux mourir", "Léa");
    ASSERT_TRUE(eventually([&] { return alertWithText("Je veux mourir").value("level", "") == "confirmed"; }));
    const Json confirmed = alertWithText("Je veux mourir");
    EXPECT_EQ(confirmed["name"], "Léa");
    EXPECT_EQ(confirmed["reason"], "IA : idées suicidaires");
    EXPECT_EQ(confirmed["ack"], false);
    EXPECT_EQ(chatRequests(false), 1u);

    EXPECT_EQ(server->terminate(), 0);
}

TEST_F(SafetyEndToEnd, VerdictWaitsForTheRunningChatStream) {
    // A chat answer of 12 pieces, 400 ms apart.
    setVerdict(R"({"danger": true, "motif": "appel à l'aide"})", std::vector<std::string>(12, "mot "), 400ms);
    start();
    std::atomic<bool> chatEnded{false};
    klarion::testing::HttpReply chat;
    std::thread student([&] {
        chat = post("/api/chat", {{"userMessage", "Raconte une histoire"}, {"history", Json::array()}});
        chatEnded = true;
    });
    ASSERT_TRUE(eventually([&] { return chatRequests(true) == 1; }));

    logQuestion("Au secours", "Max");
    ASSERT_TRUE(eventually([&] { return !alertWithText("Au secours").empty(); }));
    // The question has been scanned; while the stream runs no verdict is asked.
    std::this_thread::sleep_for(1s);
    const size_t verdictsDuringStream = chatRequests(false);
    EXPECT_FALSE(chatEnded) << "the chat answer ended too early for the check";
    EXPECT_EQ(verdictsDuringStream, 0u);
    EXPECT_EQ(alertWithText("Au secours")["level"], "keyword");

    student.join();
    EXPECT_EQ(chat.status, 200);
    EXPECT_NE(chat.body.find("data: [DONE]"), std::string::npos);
    // After the stream: the verdict is asked and confirms the alert.
    ASSERT_TRUE(eventually([&] { return alertWithText("Au secours").value("level", "") == "confirmed"; }));
    EXPECT_EQ(alertWithText("Au secours")["reason"], "IA : appel à l'aide");
    EXPECT_EQ(chatRequests(false), 1u);
    EXPECT_EQ(server->terminate(), 0);
}

}  // namespace
}  // namespace klarion
