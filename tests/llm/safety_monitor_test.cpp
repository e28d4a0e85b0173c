// The safety monitor: a verdict applied to its alert or raising one of its own, the 40-alert cap,
// then the keyword scan and the AI scan against the fake LM Studio.
#include "server/llm/safety_monitor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "server/llm/chat_proxy.h"
#include "server/llm/system_prompt.h"
#include "tests/support/gateway_fixture.h"

namespace klarion {
namespace {

using namespace std::chrono_literals;
using gateway_test::JournalLine;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

std::string keywordReason(const std::string& phrase) { return "Terme sensible détecté : « " + phrase + " »"; }

class SafetyTest : public gateway_test::GatewayTest {
protected:
    void SetUp() override { t.config->setIsLmStudioOnline(true); }
    void TearDown() override {
        monitor.reset();
        GatewayTest::TearDown();
    }

    // Journal lines at levels other than debug.
    std::vector<JournalLine> alertLines() {
        std::vector<JournalLine> lines;
        for (auto& line : t.journal())
            if (line.level != AppLogLevel::debug) lines.push_back(line);
        return lines;
    }
    static SafetyAlert keywordAlert(std::string id, std::string name = "Léa") {
        return SafetyAlert{std::move(id),
                           std::move(name),
                           "10.0.0.5",
                           "au secours",
                           keywordReason("au secours"),
                           SafetyAlertLevel::keyword,
                           1000.0,
                           false};
    }

    SafetyMonitor& start() {
        monitor = std::make_unique<SafetyMonitor>(t.state, lm.client, options);
        return *monitor;
    }
    void settle() {
        ASSERT_TRUE(monitor->waitUntilIdle(20s));
        t.queue->drain();
    }
    void setVerdict(const std::string& content) { lm.fake.setChatReply(FakeChatReply{.content = content}); }
    size_t verdictRequests() { return lm.fake.requestsTo("/v1/chat/completions").size(); }

    SafetyMonitorOptions options{.timings = {.chatStreamCheck = 1ms}};
    std::unique_ptr<SafetyMonitor> monitor;
};

TEST_F(SafetyTest, AVerdictAppliesToItsAlertOrRaisesOneOfItsOwnOnDanger) {
    const JournalLine confirmedTom{AppLogLevel::warn, "🚨 Alerte sécurité CONFIRMÉE par l'IA — Tom"};
    const JournalLine raised{AppLogLevel::warn, "🚨 Alerte sécurité détectée par l'IA — Léa (2)"};
    const std::string kept = keywordReason("au secours");
    const struct {
        const char* what;
        std::optional<std::string> alertId;
        SafetyVerdict verdict;
        std::string level, reason;  // level "": the alerts are unchanged
        std::optional<JournalLine> line;
    } cases[] = {
        {"danger with motif confirms and takes the motif",
         "TARGET",
         {true, "harcèlement grave", true},
         "confirmed",
         "IA : harcèlement grave",
         confirmedTom},
        {"danger without motif keeps the keyword reason", "TARGET", {true, "", true}, "confirmed", kept, confirmedTom},
        {"usable, no danger: dismissed, reason kept",
         "TARGET",
         {false, "humour", true},
         "dismissed",
         kept,
         JournalLine{AppLogLevel::info, "Alerte sécurité écartée par l'IA — Tom"}},
        {"unusable: kept as keyword",
         "TARGET",
         {false, "", false},
         "keyword",
         kept,
         JournalLine{AppLogLevel::warn, "⚠️ Analyse IA indisponible — alerte mot-clé CONSERVÉE (Tom)"}},
        {"an alert no longer held, danger", "GONE", {true, "x", true}, "", "", std::nullopt},
        {"no alert, danger without motif", std::nullopt, {true, "", true}, "confirmed", "Détecté par l'IA", raised},
        {"no alert, danger with motif", std::nullopt, {true, "isolement", true}, "confirmed", "IA : isolement", raised},
        {"no alert, no danger", std::nullopt, {false, "rien", true}, "", "", std::nullopt},
    };
    t.config->setConnectedStudents({{"10.0.0.9", "Léa"}, {"10.0.0.12", "Léa"}});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SafetyAlert other = keywordAlert("OTHER"), target = keywordAlert("TARGET", "Tom");
        target.acknowledged = true;
        t.config->setSafetyAlerts({other, target});
        t.logger->setEntries({});
        SafetyMonitor::applyAiSafetyVerdict(*t.config, *t.logger, 2000.0, c.alertId, c.verdict, "10.0.0.9",
                                            "Je n'ai plus d'amis");

        std::vector<SafetyAlert> expected = {other, target};
        const auto alerts = t.config->safetyAlerts();
        if (!c.level.empty() && c.alertId) {
            expected[1].level = *safetyAlertLevelFromString(c.level), expected[1].reason = c.reason;
        } else if (!c.level.empty()) {
            ASSERT_EQ(alerts.size(), 3u);
            EXPECT_EQ(alerts[2].id.size(), 36u);
            expected.push_back({alerts[2].id, "Léa (2)", "10.0.0.9", "Je n'ai plus d'amis", c.reason,
                                *safetyAlertLevelFromString(c.level), 2000.0, false});
        }
        EXPECT_EQ(alerts, expected);
        EXPECT_EQ(alertLines(), c.line ? std::vector<JournalLine>{*c.line} : std::vector<JournalLine>{});
    }
}

TEST_F(SafetyTest, FortyFirstAlertDropsTheOldestAndItsVerdictIsLost) {
    for (int i = 0; i < 41; ++i)
        SafetyMonitor::raiseKeywordAlert(*t.config, *t.logger, keywordAlert("K" + std::to_string(i)), "au secours");
    auto alerts = t.config->safetyAlerts();
    ASSERT_EQ(alerts.size(), 40u);
    EXPECT_EQ(alerts.front().id, "K1");
    EXPECT_EQ(alerts.back().id, "K40");

    SafetyMonitor::applyAiSafetyVerdict(*t.config, *t.logger, 2000.0, std::string("K0"), {true, "x", true}, "", "");
    EXPECT_EQ(t.config->safetyAlerts(), alerts);
    SafetyMonitor::applyAiSafetyVerdict(*t.config, *t.logger, 2000.0, std::nullopt, {true, "", true}, "10.0.0.1", "t");
    alerts = t.config->safetyAlerts();
    ASSERT_EQ(alerts.size(), 40u);
    EXPECT_EQ(alerts.front().id, "K2");
    EXPECT_EQ(alerts.back().reason, "Détecté par l'IA");
}

// ---- the scans against the fake LM Studio ----

TEST_F(SafetyTest, KeywordAlertConfirmedByTheVerdict) {
    setVerdict(R"({"danger": true, "motif": "idées suicidaires"})");
    t.config->setConnectedStudents({{"10.0.0.5", "Léa"}});
    start().scanForKeywords("10.0.0.5", "Je vais me suicider");
    settle();
    EXPECT_THAT(t.config->safetyAlerts(),
                ElementsAre(SafetyAlert{t.config->safetyAlerts().at(0).id, "Léa", "10.0.0.5", "Je vais me suicider",
                                        "IA : idées suicidaires", SafetyAlertLevel::confirmed, t.clock->now(), false}));
    // The keyword alert's line is queued by the main-thread step, so it may follow the scan thread's lines.
    EXPECT_THAT(
        t.journal(),
        UnorderedElementsAre(
            JournalLine{AppLogLevel::debug, "Surveillance — mot-clé=suicide scanAll=false — « Je vais me suicider »"},
            JournalLine{AppLogLevel::warn, "🚨 Alerte sécurité (mot-clé) — Léa : suicide"},
            JournalLine{AppLogLevel::debug,
                        R"(Analyse sécurité IA — réponse brute : {"danger": true, "motif": "idées suicidaires"})"},
            JournalLine{AppLogLevel::debug,
                        "Analyse sécurité IA — verdict exploitable=true danger=true "
                        "motif=idées suicidaires — « Je vais me suicider »"},
            JournalLine{AppLogLevel::warn, "🚨 Alerte sécurité CONFIRMÉE par l'IA — Léa"}));
    // What LM Studio was asked.
    const auto requests = lm.fake.requestsTo("/v1/chat/completions");
    ASSERT_EQ(requests.size(), 1u);
    const auto body = parseJsonObject(requests[0].body);
    ASSERT_TRUE(body);
    EXPECT_EQ((*body)["messages"][1]["content"], "Je vais me suicider");
    EXPECT_EQ((*body)["stream"], false);
}

TEST_F(SafetyTest, ScanOutcomes) {
    auto completion = [](const std::string& content) {
        return dumpJson(
            Json{{"choices", Json::array({Json{{"message", Json{{"role", "assistant"}, {"content", content}}}}})}});
    };
    auto onChat = [](FakeFault f) { return f.path = "/v1/chat/completions", std::vector<FakeFault>{f}; };
    const std::string noVerdict = "Analyse sécurité IA — pas de réponse exploitable de LM Studio";
    const std::string kept = "⚠️ Analyse IA indisponible — alerte mot-clé CONSERVÉE (Anonyme)";
    const std::string longText = std::string(49, 'a') + "e\u0301" + "xyz au secours";
    const struct {
        const char* what;
        std::string text, verdict;
        std::vector<FakeFault> faults;
        std::string level;  // of the one alert afterwards; "": none
        std::string line;   // a journal line expected
        size_t asked = 1;   // verdict requests
        bool scanAll = false, online = true;
        std::optional<std::string> reason = std::nullopt;
        std::chrono::milliseconds replyWait = 30s;
    } cases[] = {
        {"dismissed by a verdict inside words",
         "Je joue du violon",
         R"(Voici : {"danger": false, "motif": "musique"} Merci.)",
         {},
         "dismissed",
         "Alerte sécurité écartée par l'IA — Anonyme",
         1,
         false,
         true,
         keywordReason("viol")},
        {"a neutral question without screening asks nothing",
         "Pourquoi le ciel est-il bleu ?",
         "",
         {},
         "",
         "Surveillance — mot-clé=aucun scanAll=false — « Pourquoi le ciel est-il bleu ? »",
         0},
        {"screening every question raises an alert of its own",
         "Je n'ai plus d'amis",
         R"({"danger": true})",
         {},
         "confirmed",
         "🚨 Alerte sécurité détectée par l'IA — Anonyme",
         1,
         true,
         true,
         "Détecté par l'IA"},
        {"screening a harmless question",
         "Quelle heure est-il ?",
         R"({"danger": false})",
         {},
         "",
         "Surveillance — mot-clé=aucun scanAll=true — « Quelle heure est-il ? »",
         1,
         true},
        {"LM Studio offline skips the verdict",
         "au secours",
         "",
         {},
         "keyword",
         "Analyse sécurité IA ignorée (LM Studio hors ligne)",
         0,
         false,
         false},
        {"connection reset", "on me frappe", "", onChat({.action = FakeFaultAction::Reset}), "keyword", noVerdict},
        {"error status with an error body", "on me frappe", "",
         onChat({.action = FakeFaultAction::Status, .status = 400, .body = R"({"error":"trop long"})"}), "keyword",
         noVerdict},
        {"error status with a completion body is read", "on me frappe", "",
         onChat({.action = FakeFaultAction::Status,
                 .status = 500,
                 .body = completion(R"({"danger": true, "motif": "coups"})")}),
         "confirmed", "🚨 Alerte sécurité CONFIRMÉE par l'IA — Anonyme", 1, false, true, "IA : coups"},
        {"a reply without a verdict", "on me frappe", "",
         onChat({.action = FakeFaultAction::Status, .status = 200, .body = completion("Je ne sais pas.")}), "keyword",
         kept},
        {"no reply within the wait", "au secours", "", onChat({.action = FakeFaultAction::Hang}), "keyword", noVerdict,
         1, false, true, std::nullopt, 200ms},
        {"the journal quotes 50 characters, not bytes",
         longText,
         "",
         {},
         "dismissed",
         "Surveillance — mot-clé=au secours scanAll=false — « " + std::string(49, 'a') + "e\u0301 »"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        monitor.reset();
        lm.fake.clearRecords();
        for (const auto& fault : c.faults) lm.fake.addFault(fault);
        setVerdict(c.verdict.empty() ? FakeChatReply{}.content : c.verdict);
        t.config->update([&](AppConfigValues& v) {
            v.safetyAiScanAll = c.scanAll, v.isLmStudioOnline = c.online, v.safetyAlerts = {};
        });
        t.logger->setEntries({});
        options.timings.replyWait = c.replyWait;
        start().scanForKeywords("10.0.0.5", c.text);
        settle();
        const auto alerts = t.config->safetyAlerts();
        ASSERT_EQ(alerts.size(), c.level.empty() ? 0u : 1u);
        if (!alerts.empty()) {
            EXPECT_EQ(toString(alerts[0].level), c.level);
            EXPECT_EQ(alerts[0].reason, c.reason.value_or(alerts[0].reason));
        }
        EXPECT_EQ(verdictRequests(), c.asked);
        EXPECT_THAT(t.journalMessages(), Contains(c.line)) << ::testing::PrintToString(t.journalMessages());
    }
}

TEST_F(SafetyTest, DisplayNameTakesTheNameSentWithTheSameQuestion) {
    setVerdict("{}");
    t.config->setConnectedStudents({{"10.0.0.5", "Ancien nom"}});
    // As "/api/log" does: the name update is posted, then the question scanned.
    t.queue->post([config = t.config] { config->setConnectedStudents({{"10.0.0.5", "Zoé"}}); });
    start().scanForKeywords("10.0.0.5", "au secours");
    settle();
    ASSERT_EQ(t.config->safetyAlerts().size(), 1u);
    EXPECT_EQ(t.config->safetyAlerts()[0].displayName, "Zoé");
    EXPECT_EQ(t.config->safetyAlerts()[0].level, SafetyAlertLevel::keyword);
    EXPECT_THAT(t.journalMessages(), Contains("🚨 Alerte sécurité (mot-clé) — Zoé : au secours"));
    EXPECT_THAT(t.journalMessages(), Contains("⚠️ Analyse IA indisponible — alerte mot-clé CONSERVÉE (Zoé)"));
}

TEST_F(SafetyTest, TheVerdictWaitsForRunningChatStreamsUpToItsOwnWait) {
    options.timings.chatStreamWait = 1h;
    t.config->activeChatStreams()->increment();
    start().scanForKeywords("10.0.0.5", "au secours");
    ASSERT_TRUE(gateway_test::eventually([&] { return monitor->waitingScans() == 1; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(verdictRequests(), 0u);
    t.config->activeChatStreams()->decrement();
    settle();
    EXPECT_EQ(verdictRequests(), 1u);

    // After its own wait it goes on while streams still run.
    options.timings.chatStreamWait = 5ms;
    t.config->activeChatStreams()->increment();
    start().scanForKeywords("10.0.0.5", "au secours");
    settle();
    EXPECT_EQ(verdictRequests(), 2u);
}

TEST_F(SafetyTest, DestructionEndsScansWaitingForChatStreams) {
    options.timings = {.chatStreamCheck = 1h, .chatStreamWait = 1h};
    t.config->activeChatStreams()->increment();
    start().scanForKeywords("10.0.0.5", "au secours");
    monitor->scanForKeywords("10.0.0.5", "au secours");
    auto done = std::async(std::launch::async, [this] { monitor.reset(); });
    ASSERT_EQ(done.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(verdictRequests(), 0u);
}

TEST_F(SafetyTest, ScansBeyondTheBoundAreDroppedWithAJournalLine) {
    options.maxPendingScans = 1;
    options.timings.chatStreamWait = 1h;
    t.config->activeChatStreams()->increment();  // holds the scans
    start().scanForKeywords("10.0.0.5", "au secours 1");
    for (const char* text : {"au secours 2", "au secours 3"}) monitor->scanForKeywords("10.0.0.5", text);
    EXPECT_EQ(monitor->pendingScans(), 1u);
    size_t dropped = 0;
    for (const auto& line : t.journal())
        dropped +=
            line.level == AppLogLevel::warn &&
            line.message.starts_with("Analyse sécurité IA abandonnée (trop d'analyses en attente) — « au secours ");
    EXPECT_EQ(dropped, 2u);
    EXPECT_EQ(t.config->safetyAlerts().size(), 3u);  // every keyword alert is still raised
}

// A class at work: 30 students each ask a question every 20 s for two minutes while their chats
// stream from LM Studio, every question screened. Every question still reaches its verdict
// request, none is dropped, and the keyword alerts are raised at once. Every time is scaled down
// by `kScale` so that the two minutes take a second or two.
TEST_F(SafetyTest, EveryQuestionOfABusyClassGetsItsVerdict) {
    constexpr int kStudents = 30, kRounds = 6, kScale = 100;
    const auto period = std::chrono::milliseconds(20s) / kScale;
    options.timings = {.chatStreamCheck = 5ms, .chatStreamWait = std::chrono::milliseconds(60s) / kScale};
    const auto answerGap = period / 10;  // an answer streams for about 80 % of the period
    lm.fake.setChatReply(
        {.pieces = std::vector<std::string>(8, "mot "), .content = R"({"danger": false})", .gap = answerGap});
    t.config->setSafetyAiScanAll(true);
    const auto values = t.config->snapshot();
    const std::string chat =
        dumpJson(buildChatRequest(values, buildChatMessages(buildSystemPrompt(values), Json::object(), "Bonjour")));
    const auto streams = t.config->activeChatStreams();
    start();
    std::vector<std::thread> students;
    for (int student = 0; student < kStudents; ++student) {
        students.emplace_back([&, student] {
            const std::string ip = "10.0.1." + std::to_string(student + 1);
            for (int round = 0; round < kRounds; ++round) {
                const auto next = std::chrono::steady_clock::now() + period;
                const bool alarming = round == 2 && student % 10 == 0;
                monitor->scanForKeywords(ip, alarming ? "au secours " + ip : "question " + std::to_string(round));
                streams->increment();  // as the chat route does while it relays
                lm.client->streamChatCompletion(chat, [](std::string_view) { return true; });
                streams->decrement();
                std::this_thread::sleep_until(next);
            }
        });
    }
    for (auto& student : students) student.join();
    t.queue->drain();
    EXPECT_EQ(t.config->safetyAlerts().size(), size_t{kStudents / 10});  // raised before any verdict is needed
    settle();
    size_t verdicts = 0;
    for (const auto& request : lm.fake.requestsTo("/v1/chat/completions"))
        verdicts += request.body.find(R"("stream":false)") != std::string::npos;
    EXPECT_EQ(verdicts, size_t{kStudents * kRounds});
    for (const auto& line : t.journalMessages())
        EXPECT_FALSE(line.starts_with("Analyse sécurité IA abandonnée")) << line;
}

}  // namespace
}  // namespace klarion
