#include "server/llm/lmstudio_probes.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/json.h"
#include "tests/llm/gateway_test_support.h"

namespace klarion {
namespace {

using namespace std::chrono_literals;
using gateway_test::FakeWithClient;
using gateway_test::JournalLine;
using gateway_test::TestState;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

LmReply answered(std::string body, long status = 200) {
    LmReply r;
    r.status = status;
    r.body = std::move(body);
    return r;
}

LmReply failed(LmTransportError error = LmTransportError::Refused) {
    LmReply r;
    r.error = error;
    return r;
}

const std::string kOneModel = R"({"object":"list","data":[{"id":"qwen2.5-7b-instruct","object":"model"}]})";
const std::string kTwoModels = R"({"data":[{"id":"a"},{"id":"b"}]})";
const std::string kNoModel = R"({"object":"list","data":[]})";

class ProbeTransitions : public ::testing::Test {
protected:
    TestState t;
    // No usable address: the context queries these tests start send nothing.
    std::shared_ptr<LmStudioProbes> probes =
        LmStudioProbes::create(t.state, std::make_shared<const LmStudioClient>("not an address"));

    void feed(const LmReply& reply) {
        probes->handleLMProbeResult(reply);
        t.queue->drain();
    }
};

TEST_F(ProbeTransitions, OnlineAndOfflineAreEachJournaledOnce) {
    struct Step {
        LmReply reply;
        bool online;
    };
    const std::vector<Step> steps = {
        {answered(kTwoModels), true},  {answered(kOneModel), true},       {failed(), false},
        {failed(LmTransportError::TimedOut), false}, {answered(kOneModel), true}, {answered(kNoModel), false},
        {failed(), false},             {answered(kOneModel, 500), true},  {failed(LmTransportError::Reset), false}};
    for (std::size_t i = 0; i < steps.size(); ++i) {
        feed(steps[i].reply);
        EXPECT_EQ(t.config->isLmStudioOnline(), steps[i].online) << "step " << i;
    }
    EXPECT_THAT(t.journal(), ElementsAre(JournalLine{AppLogLevel::info, "LM Studio en ligne (2 modèle(s))"},
                                         JournalLine{AppLogLevel::warn, "LM Studio est hors ligne"},
                                         JournalLine{AppLogLevel::info, "LM Studio en ligne (1 modèle(s))"},
                                         JournalLine{AppLogLevel::info, "LM Studio en ligne (1 modèle(s))"},
                                         JournalLine{AppLogLevel::warn, "LM Studio est hors ligne"}));
}

TEST_F(ProbeTransitions, AnythingButAModelListCountsAsOfflineAndClearsTheModel) {
    const std::vector<LmReply> replies = {answered(kNoModel),         answered(""),
                                          answered("<html>"),         answered("[{\"id\":\"a\"}]"),
                                          answered(R"({"data":{}})"), answered(R"({"data":[1,2]})"),
                                          failed(LmTransportError::Closed)};
    for (const LmReply& reply : replies) {
        SCOPED_TRACE(reply.body);
        t.config->update([](AppConfigValues& v) {
            v.isLmStudioOnline = true;
            v.lmLoadedModelId = "old";
            v.lmContextLength = 4096;
        });
        feed(reply);
        EXPECT_FALSE(t.config->isLmStudioOnline());
        EXPECT_EQ(t.config->lmLoadedModelId(), "");
        EXPECT_EQ(t.config->lmContextLength(), 0);
    }
}

TEST_F(ProbeTransitions, ShortContextIsWarnedOncePerChange) {
    const std::string warning4096 =
        "⚠️ Contexte LM Studio insuffisant : 4096 tokens (recommandé ≥ 8192). L'analyse de logs et l'envoi de "
        "fichiers peuvent échouer.";
    probes->warnShortContext("m", 4096);
    probes->warnShortContext("m", 4096);
    probes->warnShortContext("m", 32768);
    probes->warnShortContext("m", 0);
    probes->warnShortContext("n", 2048);
    probes->warnShortContext("n", 8191);
    probes->warnShortContext("n", 8192);
    EXPECT_EQ(t.config->lmLoadedModelId(), "n");
    EXPECT_EQ(t.config->lmContextLength(), 8192);
    const auto lines = t.journal();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], (JournalLine{AppLogLevel::warn, warning4096}));
    EXPECT_THAT(lines[1].message, ::testing::HasSubstr(": 2048 tokens"));
    EXPECT_THAT(lines[2].message, ::testing::HasSubstr(": 8191 tokens"));
}

struct ParseCase {
    const char* what;
    LmReply reply;
    std::optional<LmStudioProbes::LoadedModel> expected;
};
void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.what; }

class ParseModels : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseModels, PicksTheLoadedModel) { EXPECT_EQ(LmStudioProbes::parseLMModels(GetParam().reply), GetParam().expected); }

using Model = LmStudioProbes::LoadedModel;
INSTANTIATE_TEST_SUITE_P(
    Cases, ParseModels,
    ::testing::Values(
        ParseCase{"the second is loaded",
                  answered(R"({"data":[{"id":"a","state":"not-loaded","max_context_length":32768},)"
                           R"({"id":"b","state":"loaded","max_context_length":131072,"loaded_context_length":4096}]})"),
                  Model{"b", 4096}},
        ParseCase{"none loaded: the first",
                  answered(R"({"data":[{"id":"a","state":"not-loaded","max_context_length":32768},{"id":"b"}]})"),
                  Model{"a", 32768}},
        ParseCase{"a bare list, key and context_length",
                  answered(R"([{"key":"k","state":"loaded","context_length":2048.0}])"), Model{"k", 2048}},
        ParseCase{"state compared exactly", answered(R"({"data":[{"id":"a"},{"id":"b","state":"Loaded"}]})"),
                  Model{"a", 0}},
        ParseCase{"members of other types",
                  answered(R"({"data":[{"id":7,"key":"k","state":"loaded","loaded_context_length":"4096",)"
                           R"("max_context_length":8192}]})"),
                  Model{"k", 8192}},
        ParseCase{"no id at all", answered(R"({"data":[{"state":"loaded"}]})"), Model{"", 0}},
        ParseCase{"empty list", answered(R"({"data":[]})"), std::nullopt},
        ParseCase{"not JSON", answered("nope"), std::nullopt},
        ParseCase{"no list", answered(R"({"models":[]})"), std::nullopt},
        ParseCase{"failed request", failed(), std::nullopt}));

struct PrecheckCase {
    const char* what;
    LmReply reply;
    std::string title;  // empty: the server starts
    std::string message;
    std::string journal;
};
void PrintTo(const PrecheckCase& c, std::ostream* os) { *os << c.what; }

class StartPrecheck : public ProbeTransitions, public ::testing::WithParamInterface<PrecheckCase> {};

const std::string kInaccessible =
    "Veuillez vérifier que LM Studio est ouvert et que le serveur local est démarré sur le port 1234 avant de "
    "lancer le serveur Klarion.";
const std::string kNoModelLoaded =
    "LM Studio est démarré, mais aucun modèle d'IA n'est chargé en mémoire. Veuillez charger un modèle avant de "
    "lancer Klarion.";

TEST_P(StartPrecheck, AlertsOrStarts) {
    const PrecheckCase& c = GetParam();
    std::vector<std::pair<std::string, std::string>> alerts;
    int starts = 0;
    const AppConfigValues before = t.config->snapshot();
    probes->startPrecheckResult(c.reply, {[&](const std::string& title, const std::string& message) {
                                              alerts.emplace_back(title, message);
                                          },
                                          [&] { ++starts; }});
    if (c.title.empty()) {
        EXPECT_THAT(alerts, IsEmpty());
        EXPECT_EQ(starts, 1);
        EXPECT_THAT(t.journal(), IsEmpty());
    } else {
        EXPECT_THAT(alerts, ElementsAre(std::make_pair(c.title, c.message)));
        EXPECT_EQ(starts, 0);
        EXPECT_THAT(t.journal(), ElementsAre(JournalLine{AppLogLevel::error, c.journal}));
    }
    EXPECT_EQ(t.config->snapshot(), before);  // no field changes
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StartPrecheck,
    ::testing::Values(
        PrecheckCase{"refused", failed(), "LM Studio inaccessible", kInaccessible,
                     "Démarrage échoué : LM Studio inaccessible"},
        PrecheckCase{"timed out", failed(LmTransportError::TimedOut), "LM Studio inaccessible", kInaccessible,
                     "Démarrage échoué : LM Studio inaccessible"},
        PrecheckCase{"no model", answered(kNoModel), "Aucun modèle chargé", kNoModelLoaded,
                     "Démarrage échoué : aucun modèle LM Studio"},
        PrecheckCase{"not JSON", answered("Bad Gateway", 502), "Aucun modèle chargé", kNoModelLoaded,
                     "Démarrage échoué : aucun modèle LM Studio"},
        PrecheckCase{"a model loaded", answered(kOneModel), "", "", ""}));

// Against the fake LM Studio: the requests, the main-queue hand-over and shutdown.
class ProbesWithFake : public ::testing::Test {
protected:
    TestState t;
    FakeWithClient lm;
    std::shared_ptr<LmStudioProbes> probes = LmStudioProbes::create(t.state, lm.client);

    void TearDown() override {
        probes.reset();
        EXPECT_THAT(lm.fake.violations(), IsEmpty());
    }
};

TEST_F(ProbesWithFake, StatusProbeFindsTheModelAndItsContext) {
    lm.fake.setModels(FakeLmStudio::defaultModels(), {FakeInstance{"google/gemma-3-4b", "google/gemma-3-4b", 4096}});
    probes->probeStatus(1.0);
    ASSERT_TRUE(t.queue->drainUntil([&] { return t.config->lmContextLength() != 0; }, 10));
    EXPECT_TRUE(t.config->isLmStudioOnline());
    EXPECT_EQ(t.config->lmLoadedModelId(), "google/gemma-3-4b");
    EXPECT_EQ(t.config->lmContextLength(), 4096);
    EXPECT_THAT(t.journalMessages(), ElementsAre("LM Studio en ligne (1 modèle(s))",
                                                 ::testing::StartsWith("⚠️ Contexte LM Studio insuffisant : 4096 ")));
    const auto requests = lm.fake.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method + " " + requests[0].target, "GET /v1/models");
    EXPECT_EQ(requests[1].method + " " + requests[1].target, "GET /api/v0/models");
}

TEST_F(ProbesWithFake, StatusProbeOfAStoppedLmStudio) {
    t.config->setIsLmStudioOnline(true);
    lm.fake.setRefusing(true);
    probes->probeStatus(1.0);
    ASSERT_TRUE(t.queue->drainUntil([&] { return !t.config->isLmStudioOnline(); }, 10));
    EXPECT_THAT(t.journalMessages(), ElementsAre("LM Studio est hors ligne"));
}

TEST_F(ProbesWithFake, StartProbeStartsOnlyWithAModelLoaded) {
    int starts = 0;
    std::vector<std::string> titles;
    auto actions = LmStudioProbes::StartActions{
        [&](const std::string& title, const std::string&) { titles.push_back(title); }, [&] { ++starts; }};
    probes->probeBeforeStart(2.0, actions);
    ASSERT_TRUE(t.queue->drainUntil([&] { return starts == 1; }, 10));

    lm.fake.setModels(FakeLmStudio::defaultModels(), {});
    probes->probeBeforeStart(2.0, actions);
    ASSERT_TRUE(t.queue->drainUntil([&] { return titles.size() == 1; }, 10));

    lm.fake.setRefusing(true);
    probes->probeBeforeStart(2.0, actions);
    ASSERT_TRUE(t.queue->drainUntil([&] { return titles.size() == 2; }, 10));
    EXPECT_THAT(titles, ElementsAre("Aucun modèle chargé", "LM Studio inaccessible"));
    EXPECT_EQ(starts, 1);
}

TEST_F(ProbesWithFake, NoAddressNoRequestNoHandler) {
    auto broken = LmStudioProbes::create(t.state, std::make_shared<const LmStudioClient>("ftp://nowhere"));
    bool called = false;
    broken->probeLMStudio(1.0, [&](const LmReply&) { called = true; });
    broken->shutdown();
    t.queue->drain();
    EXPECT_FALSE(called);
}

TEST_F(ProbesWithFake, ResultsArrivingAfterTheProbesAreGoneAreDropped) {
    FakeFault slow;
    slow.path = "/v1/models";
    slow.delay = 200ms;
    lm.fake.addFault(slow);
    probes->probeStatus(2.0);
    ASSERT_TRUE(gateway_test::eventually([&] { return lm.fake.requests().size() == 1; }));
    probes.reset();  // waits for the running request, then joins the workers
    t.queue->drain();
    EXPECT_FALSE(t.config->isLmStudioOnline());
    EXPECT_THAT(t.journal(), IsEmpty());
}

}  // namespace
}  // namespace klarion
