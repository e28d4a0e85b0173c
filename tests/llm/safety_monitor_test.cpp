#include "server/llm/safety_monitor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <future>
#include <thread>

#include "platform/json.h"
#include "tests/support/fake_lmstudio.h"

namespace klarion {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

struct JournalLine {
    AppLogLevel level;
    std::string message;
    bool operator==(const JournalLine&) const = default;
};
void PrintTo(const JournalLine& line, std::ostream* os) {
    *os << "[" << toString(line.level) << "] " << line.message;
}

const std::string keywordReason(const std::string& phrase) {
    return "Terme sensible détecté : « " + phrase + " »";
}

// The shared state of one test: a drainable main queue, a fixed clock, a
// fresh AppConfig with its own preference file, and a journal that is on.
class SafetyTest : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/klarion-safety-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        scratch = pattern;
        config = std::make_shared<AppConfig>(std::make_shared<PreferenceStore>(scratch / "preferences.json"));
        logger->setEnabled(true);
        config->setIsLmStudioOnline(true);
    }
    void TearDown() override {
        queue->drain();  // queued journal appends hold the journal
        std::error_code ignored;
        std::filesystem::remove_all(scratch, ignored);
    }

    std::vector<JournalLine> journal() {
        queue->drain();
        std::vector<JournalLine> lines;
        for (const auto& entry : logger->entries()) lines.push_back({entry.level, entry.message});
        return lines;
    }
    // Journal lines at levels other than debug.
    std::vector<JournalLine> alertLines() {
        std::vector<JournalLine> lines;
        for (auto& line : journal())
            if (line.level != AppLogLevel::debug) lines.push_back(line);
        return lines;
    }
    bool journalHas(const std::string& message) {
        for (const auto& line : journal())
            if (line.message == message) return true;
        return false;
    }
    void clearJournal() {
        queue->drain();
        logger->setEntries({});
    }

    SafetyAlert keywordAlert(std::string id, std::string name = "Léa") {
        return SafetyAlert{std::move(id), std::move(name), "10.0.0.5", "au secours", keywordReason("au secours"),
                           "keyword", 1000.0, false};
    }

    std::filesystem::path scratch;
    std::shared_ptr<DrainableMainQueue> queue = std::make_shared<DrainableMainQueue>();
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(1'700'000'000.0);
    std::shared_ptr<AppConfig> config;
    std::shared_ptr<AppLogger> logger = std::make_shared<AppLogger>(queue, clock);
};

// ---------------------------------------------------------------------------
// Applying a verdict (main-thread step)

struct ApplyCase {
    const char* what;
    SafetyVerdict verdict;
    std::string level;
    std::string reason;
    std::optional<JournalLine> line;
};
void PrintTo(const ApplyCase& c, std::ostream* os) { *os << c.what; }

class ApplyOnKeywordAlert : public SafetyTest, public testing::WithParamInterface<ApplyCase> {};

TEST_P(ApplyOnKeywordAlert, ChangesOnlyLevelAndReason) {
    const auto& c = GetParam();
    SafetyAlert other = keywordAlert("OTHER");
    SafetyAlert target = keywordAlert("TARGET", "Tom");
    target.acknowledged = true;
    config->setSafetyAlerts({other, target});

    SafetyMonitor::applyAiSafetyVerdict(*config, *logger, 2000.0, std::string("TARGET"), c.verdict, "1.2.3.4",
                                        "autre texte");

    SafetyAlert expected = target;
    expected.level = c.level;
    expected.reason = c.reason;
    EXPECT_THAT(config->safetyAlerts(), ElementsAre(other, expected));
    if (c.line)
        EXPECT_THAT(alertLines(), ElementsAre(*c.line));
    else
        EXPECT_THAT(alertLines(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, ApplyOnKeywordAlert,
    testing::Values(
        ApplyCase{"danger with motif confirms and takes the motif", {true, "harcèlement grave", true}, "confirmed",
                  "IA : harcèlement grave",
                  JournalLine{AppLogLevel::warn, "🚨 Alerte sécurité CONFIRMÉE par l'IA — Tom"}},
        ApplyCase{"danger without motif keeps the keyword reason", {true, "", true}, "confirmed",
                  keywordReason("au secours"),
                  JournalLine{AppLogLevel::warn, "🚨 Alerte sécurité CONFIRMÉE par l'IA — Tom"}},
        ApplyCase{"usable, no danger: dismissed, reason kept", {false, "humour", true}, "dismissed",
                  keywordReason("au secours"),
                  JournalLine{AppLogLevel::info, "Alerte sécurité écartée par l'IA — Tom"}},
        ApplyCase{"unusable: kept as keyword", {false, "", false}, "keyword", keywordReason("au secours"),
                  JournalLine{AppLogLevel::warn, "⚠️ Analyse IA indisponible — alerte mot-clé CONSERVÉE (Tom)"}}));

TEST_F(SafetyTest, VerdictForAnAlertNoLongerHeldChangesNothing) {
    const std::vector<SafetyAlert> alerts = {keywordAlert("A"), keywordAlert("B")};
    config->setSafetyAlerts(alerts);
    for (SafetyVerdict verdict : {SafetyVerdict{true, "x", true}, SafetyVerdict{false, "", true},
                                  SafetyVerdict{false, "", false}})
        SafetyMonitor::applyAiSafetyVerdict(*config, *logger, 2000.0, std::string("GONE"), verdict, "1.2.3.4", "t");
    EXPECT_EQ(config->safetyAlerts(), alerts);
    EXPECT_THAT(journal(), IsEmpty());
}

class ApplyWithoutAlert : public SafetyTest, public testing::WithParamInterface<ApplyCase> {};

TEST_P(ApplyWithoutAlert, RaisesAnAlertOnlyOnDanger) {
    const auto& c = GetParam();
    config->setConnectedStudents({{"10.0.0.9", "Léa"}, {"10.0.0.12", "Léa"}});
    SafetyMonitor::applyAiSafetyVerdict(*config, *logger, 2000.0, std::nullopt, c.verdict, "10.0.0.9",
                                        "Je n'ai plus d'amis");
    auto alerts = config->safetyAlerts();
    if (c.level.empty()) {
        EXPECT_THAT(alerts, IsEmpty());
        EXPECT_THAT(journal(), IsEmpty());
        return;
    }
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].id.size(), 36u);
    EXPECT_EQ(alerts[0].displayName, "Léa (2)");
    EXPECT_EQ(alerts[0].ip, "10.0.0.9");
    EXPECT_EQ(alerts[0].text, "Je n'ai plus d'amis");
    EXPECT_EQ(alerts[0].reason, c.reason);
    EXPECT_EQ(alerts[0].level, "confirmed");
    EXPECT_EQ(alerts[0].time, 2000.0);
    EXPECT_FALSE(alerts[0].acknowledged);
    EXPECT_THAT(alertLines(), ElementsAre(*c.line));
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, ApplyWithoutAlert,
    testing::Values(
        ApplyCase{"danger without motif", {true, "", true}, "confirmed", "Détecté par l'IA",
                  JournalLine{AppLogLevel::warn, "🚨 Alerte sécurité détectée par l'IA — Léa (2)"}},
        ApplyCase{"danger with motif", {true, "isolement", true}, "confirmed", "IA : isolement",
                  JournalLine{AppLogLevel::warn, "🚨 Alerte sécurité détectée par l'IA — Léa (2)"}},
        ApplyCase{"no danger", {false, "rien", true}, "", "", std::nullopt},
        ApplyCase{"unusable", {false, "", false}, "", "", std::nullopt}));

// ---------------------------------------------------------------------------
// The 40-alert cap

TEST_F(SafetyTest, FortyFirstAlertDropsTheOldestAndItsVerdictIsLost) {
    for (int i = 0; i < 41; ++i)
        SafetyMonitor::raiseKeywordAlert(*config, *logger, keywordAlert("K" + std::to_string(i)), "au secours");
    auto alerts = config->safetyAlerts();
    ASSERT_EQ(alerts.size(), 40u);
    EXPECT_EQ(alerts.front().id, "K1");
    EXPECT_EQ(alerts.back().id, "K40");

    SafetyMonitor::applyAiSafetyVerdict(*config, *logger, 2000.0, std::string("K0"), {true, "x", true}, "", "");
    EXPECT_EQ(config->safetyAlerts(), alerts);

    SafetyMonitor::applyAiSafetyVerdict(*config, *logger, 2000.0, std::nullopt, {true, "", true}, "10.0.0.1", "t");
    alerts = config->safetyAlerts();
    ASSERT_EQ(alerts.size(), 40u);
    EXPECT_EQ(alerts.front().id, "K2");
    EXPECT_EQ(alerts.back().reason, "Détecté par l'IA");
}

// ---------------------------------------------------------------------------
// The keyword scan and the AI scan against the fake LM Studio

std::string completion(const std::string& content) {
    return dumpJson(Json{{"choices", Json::array({Json{{"message", Json{{"role", "assistant"}, {"content", content}}}}})}});
}

class SafetyScanTest : public SafetyTest {
protected:
    void SetUp() override {
        SafetyTest::SetUp();
        ASSERT_TRUE(fake.start());
        LmStudioTimeouts timeouts;
        timeouts.safetyVerdict = 5s;
        client = std::make_shared<LmStudioClient>(fake.baseUrl(), timeouts);
        options.queue = queue;
        options.clock = clock;
        options.timings.chatStreamPause = 1ms;
    }
    void TearDown() override {
        monitor.reset();
        EXPECT_THAT(fake.violations(), IsEmpty());
        fake.stop();
        SafetyTest::TearDown();
    }
    SafetyMonitor& start() {
        monitor = std::make_unique<SafetyMonitor>(config, logger, client, options);
        return *monitor;
    }
    void settle() {
        ASSERT_TRUE(monitor->waitUntilIdle(20s));
        queue->drain();
    }
    void setVerdict(const std::string& content) {
        FakeChatReply reply;
        reply.content = content;
        fake.setChatReply(reply);
    }
    size_t verdictRequests() { return fake.requestsTo("/v1/chat/completions").size(); }

    FakeLmStudio fake;
    std::shared_ptr<LmStudioClient> client;
    SafetyMonitorOptions options;
    std::unique_ptr<SafetyMonitor> monitor;
};

TEST_F(SafetyScanTest, KeywordAlertConfirmedByTheVerdict) {
    setVerdict(R"({"danger": true, "motif": "idées suicidaires"})");
    config->setConnectedStudents({{"10.0.0.5", "Léa"}});
    start().scanForKeywords("10.0.0.5", "Je vais me suicider");
    settle();

    auto alerts = config->safetyAlerts();
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].displayName, "Léa");
    EXPECT_EQ(alerts[0].ip, "10.0.0.5");
    EXPECT_EQ(alerts[0].text, "Je vais me suicider");
    EXPECT_EQ(alerts[0].reason, "IA : idées suicidaires");
    EXPECT_EQ(alerts[0].level, "confirmed");
    EXPECT_EQ(alerts[0].time, 1'700'000'000.0);
    EXPECT_FALSE(alerts[0].acknowledged);

    // The keyword alert's line is queued by the main-thread step, so it may
    // follow the scan thread's lines.
    EXPECT_THAT(journal(),
                UnorderedElementsAre(JournalLine{AppLogLevel::debug,
                                        "Surveillance — mot-clé=suicide scanAll=false — « Je vais me suicider »"},
                            JournalLine{AppLogLevel::warn, "🚨 Alerte sécurité (mot-clé) — Léa : suicide"},
                            JournalLine{AppLogLevel::debug,
                                        R"(Analyse sécurité IA — réponse brute : {"danger": true, "motif": "idées suicidaires"})"},
                            JournalLine{AppLogLevel::debug,
                                        "Analyse sécurité IA — verdict exploitable=true danger=true "
                                        "motif=idées suicidaires — « Je vais me suicider »"},
                            JournalLine{AppLogLevel::warn, "🚨 Alerte sécurité CONFIRMÉE par l'IA — Léa"}));

    // What LM Studio was asked.
    auto requests = fake.requestsTo("/v1/chat/completions");
    ASSERT_EQ(requests.size(), 1u);
    auto body = parseJsonObject(requests[0].body);
    ASSERT_TRUE(body);
    EXPECT_EQ((*body)["messages"][1]["content"], "Je vais me suicider");
    EXPECT_EQ((*body)["stream"], false);
}

TEST_F(SafetyScanTest, KeywordAlertDismissedByTheVerdict) {
    setVerdict(R"(Voici : {"danger": false, "motif": "musique"} Merci.)");
    // Built over a state context, as the classroom server does.
    StateContext state{config, logger, ConfigFolder(scratch / "Documents"), queue, clock};
    monitor = std::make_unique<SafetyMonitor>(state, client, options);
    monitor->scanForKeywords("10.0.0.7", "Je joue du violon");
    settle();
    auto alerts = config->safetyAlerts();
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].displayName, "Anonyme");
    EXPECT_EQ(alerts[0].level, "dismissed");
    EXPECT_EQ(alerts[0].reason, keywordReason("viol"));
    EXPECT_TRUE(journalHas("Alerte sécurité écartée par l'IA — Anonyme"));
}

TEST_F(SafetyScanTest, DisplayNameTakesTheNameSentWithTheSameQuestion) {
    setVerdict("{}");
    config->setConnectedStudents({{"10.0.0.5", "Ancien nom"}});
    // As "/api/log" does: the name update is posted, then the question scanned.
    queue->post([config = config] { config->setConnectedStudents({{"10.0.0.5", "Zoé"}}); });
    start().scanForKeywords("10.0.0.5", "au secours");
    settle();
    auto alerts = config->safetyAlerts();
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].displayName, "Zoé");
    EXPECT_EQ(alerts[0].level, "keyword");
    EXPECT_TRUE(journalHas("🚨 Alerte sécurité (mot-clé) — Zoé : au secours"));
    EXPECT_TRUE(journalHas("⚠️ Analyse IA indisponible — alerte mot-clé CONSERVÉE (Zoé)"));
}

TEST_F(SafetyScanTest, NeutralQuestionWithoutScreeningAsksNothing) {
    start().scanForKeywords("10.0.0.5", "Pourquoi le ciel est-il bleu ?");
    settle();
    EXPECT_THAT(config->safetyAlerts(), IsEmpty());
    EXPECT_EQ(verdictRequests(), 0u);
    EXPECT_THAT(journal(), ElementsAre(JournalLine{AppLogLevel::debug,
                                                   "Surveillance — mot-clé=aucun scanAll=false — « Pourquoi le "
                                                   "ciel est-il bleu ? »"}));
}

TEST_F(SafetyScanTest, ScreeningEveryQuestionRaisesAnAlertOfItsOwn) {
    config->setSafetyAiScanAll(true);
    config->setConnectedStudents({{"10.0.0.5", "Léa"}});
    setVerdict(R"({"danger": true})");
    start().scanForKeywords("10.0.0.5", "Je n'ai plus d'amis et personne ne me parle");
    settle();
    auto alerts = config->safetyAlerts();
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].reason, "Détecté par l'IA");
    EXPECT_EQ(alerts[0].level, "confirmed");
    EXPECT_EQ(alerts[0].displayName, "Léa");
    EXPECT_TRUE(journalHas("🚨 Alerte sécurité détectée par l'IA — Léa"));

    setVerdict(R"({"danger": false})");
    monitor->scanForKeywords("10.0.0.5", "Quelle heure est-il ?");
    settle();
    EXPECT_EQ(config->safetyAlerts().size(), 1u);
    EXPECT_EQ(verdictRequests(), 2u);
}

TEST_F(SafetyScanTest, OfflineLmStudioSkipsTheVerdict) {
    config->setIsLmStudioOnline(false);
    start().scanForKeywords("10.0.0.5", "au secours");
    settle();
    EXPECT_EQ(verdictRequests(), 0u);
    ASSERT_EQ(config->safetyAlerts().size(), 1u);
    EXPECT_EQ(config->safetyAlerts()[0].level, "keyword");
    EXPECT_TRUE(journalHas("Analyse sécurité IA ignorée (LM Studio hors ligne)"));
    EXPECT_THAT(alertLines(), ElementsAre(JournalLine{AppLogLevel::warn, "🚨 Alerte sécurité (mot-clé) — Anonyme : au secours"}));
}

struct FaultCase {
    const char* what;
    FakeFault fault;
    std::string level;  // of the keyword alert afterwards
    bool readable;      // a reply was read (else "pas de réponse exploitable")
};
void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.what; }

FakeFault fault(FakeFaultAction action, int status = 500, std::string body = "") {
    FakeFault f;
    f.path = "/v1/chat/completions";
    f.action = action;
    f.status = status;
    f.body = std::move(body);
    return f;
}

class SafetyScanFaults : public SafetyScanTest, public testing::WithParamInterface<FaultCase> {};

TEST_P(SafetyScanFaults, KeepTheKeywordAlert) {
    const auto& c = GetParam();
    fake.addFault(c.fault);
    start().scanForKeywords("10.0.0.5", "on me frappe");
    settle();
    auto alerts = config->safetyAlerts();
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].level, c.level);
    EXPECT_EQ(journalHas("Analyse sécurité IA — pas de réponse exploitable de LM Studio"), !c.readable);
    EXPECT_EQ(journalHas("⚠️ Analyse IA indisponible — alerte mot-clé CONSERVÉE (Anonyme)"),
              c.readable && c.level == "keyword");
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SafetyScanFaults,
    testing::Values(
        FaultCase{"connection closed", fault(FakeFaultAction::Close), "keyword", false},
        FaultCase{"connection reset", fault(FakeFaultAction::Reset), "keyword", false},
        FaultCase{"error status with an error body", fault(FakeFaultAction::Status, 400, R"({"error":"trop long"})"),
                  "keyword", false},
        FaultCase{"status 200 that is not JSON", fault(FakeFaultAction::Status, 200, "bonjour"), "keyword", false},
        FaultCase{"error status with a completion body is read",
                  fault(FakeFaultAction::Status, 500, completion(R"({"danger": true, "motif": "coups"})")),
                  "confirmed", true},
        FaultCase{"reply without a verdict", fault(FakeFaultAction::Status, 200, completion("Je ne sais pas.")),
                  "keyword", true}));

TEST_F(SafetyScanTest, NoReplyWithinTheWaitIsNoVerdict) {
    FakeFault hang = fault(FakeFaultAction::Hang);
    fake.addFault(hang);
    options.timings.replyWait = 200ms;
    start().scanForKeywords("10.0.0.5", "au secours");
    settle();
    EXPECT_EQ(config->safetyAlerts()[0].level, "keyword");
    EXPECT_TRUE(journalHas("Analyse sécurité IA — pas de réponse exploitable de LM Studio"));
}

TEST_F(SafetyScanTest, WaitsForRunningChatStreamsBeforeAsking) {
    options.timings.chatStreamMaxPauses = 1'000'000;
    config->activeChatStreams()->increment();
    start().scanForKeywords("10.0.0.5", "au secours");
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(verdictRequests(), 0u);
    EXPECT_EQ(monitor->runningScans(), 1u);

    config->activeChatStreams()->decrement();
    settle();
    EXPECT_EQ(verdictRequests(), 1u);
}

TEST_F(SafetyScanTest, GoesOnAfterTheLastPauseWhileStreamsStillRun) {
    options.timings.chatStreamMaxPauses = 3;
    config->activeChatStreams()->increment();
    start().scanForKeywords("10.0.0.5", "au secours");
    settle();
    EXPECT_EQ(verdictRequests(), 1u);
    EXPECT_EQ(config->safetyAlerts()[0].level, "dismissed");  // the fake's default verdict
}

TEST_F(SafetyScanTest, ScansBeyondTheQueueAreDroppedWithAJournalLine) {
    options.workers = 1;
    options.maxQueuedScans = 1;
    options.timings.chatStreamMaxPauses = 1'000'000;
    config->activeChatStreams()->increment();  // holds the worker
    start().scanForKeywords("10.0.0.5", "au secours 1");
    for (int i = 0; i < 2000 && monitor->runningScans() == 0; ++i) std::this_thread::sleep_for(5ms);
    ASSERT_EQ(monitor->runningScans(), 1u);
    for (const char* text : {"au secours 2", "au secours 3"}) monitor->scanForKeywords("10.0.0.5", text);
    EXPECT_EQ(monitor->queuedScans(), 1u);
    size_t dropped = 0;
    for (const auto& line : journal())
        dropped += line.level == AppLogLevel::warn &&
                   line.message.starts_with("Analyse sécurité IA abandonnée (trop d'analyses en attente) — « au secours ");
    EXPECT_EQ(dropped, 1u);
    EXPECT_EQ(config->safetyAlerts().size(), 3u);  // every keyword alert is still raised
}

TEST_F(SafetyScanTest, DestructionEndsScansWaitingForChatStreams) {
    options.timings.chatStreamPause = 1h;
    config->activeChatStreams()->increment();
    start().scanForKeywords("10.0.0.5", "au secours");
    monitor->scanForKeywords("10.0.0.5", "au secours");
    auto done = std::async(std::launch::async, [this] { monitor.reset(); });
    ASSERT_EQ(done.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(verdictRequests(), 0u);
}

TEST_F(SafetyScanTest, JournalQuotesCharactersNotBytes) {
    // 49 letters then a letter with a combining accent: the 50th character is
    // two code points and stays whole; the 51st is cut.
    const std::string text = std::string(49, 'a') + "e\u0301" + "xyz au secours";
    start().scanForKeywords("10.0.0.5", text);
    settle();
    EXPECT_TRUE(journalHas("Surveillance — mot-clé=au secours scanAll=false — « " + std::string(49, 'a') +
                           "e\u0301 »"));
}

}  // namespace
}  // namespace klarion
