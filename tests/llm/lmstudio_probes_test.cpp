// The LM Studio status probes: transitions and their journal lines, the model list reading, the
// short-context warning, the start pre-check; then against the fake LM Studio, through the
// panel's timer tick.
#include "server/llm/lmstudio_probes.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/gateway_fixture.h"
#include "ui/panel/content_view.h"
#include "ui/panel/lmstudio_probes_seam.h"

namespace klarion {
namespace {

using namespace std::chrono_literals;
using gateway_test::JournalLine;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

LmReply answered(std::string body, long status = 200) { return LmReply{.status = status, .body = std::move(body)}; }
LmReply failed(LmTransportError error = LmTransportError::Refused) { return LmReply{.error = error}; }

const std::string kOneModel = R"({"object":"list","data":[{"id":"qwen2.5-7b-instruct","object":"model"}]})";
const std::string kNoModel = R"({"object":"list","data":[]})";

class ProbeResults : public ::testing::Test {
protected:
    gateway_test::TestState t;
    // No usable address: the context queries these tests start send nothing.
    std::shared_ptr<LmStudioProbes> probes =
        LmStudioProbes::create(t.state, std::make_shared<const LmStudioClient>("not an address"));

    void feed(const LmReply& reply) {
        probes->handleLMProbeResult(reply);
        t.queue->drain();
    }
};

TEST_F(ProbeResults, OnlineAndOfflineAreJournaledOnceAnythingButAModelListIsOffline) {
    const JournalLine online1{AppLogLevel::info, "LM Studio en ligne (1 modèle(s))"};
    const JournalLine offline{AppLogLevel::warn, "LM Studio est hors ligne"};
    const std::optional<JournalLine> none;
    // Only a failed request says "hors ligne"; an answer without models turns offline silently.
    const std::vector<std::tuple<LmReply, bool, std::optional<JournalLine>>> steps = {
        {answered(R"({"data":[{"id":"a"},{"id":"b"}]})"), true,
         JournalLine{AppLogLevel::info, "LM Studio en ligne (2 modèle(s))"}},
        {answered(kOneModel), true, none},
        {failed(), false, offline},
        {failed(LmTransportError::TimedOut), false, none},
        {answered(kOneModel, 500), true, online1},
        {answered(kNoModel), false, none},
        {answered("<html>"), false, none},
        {answered(kOneModel), true, online1},
        {failed(LmTransportError::Reset), false, offline}};
    std::vector<JournalLine> expected;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const auto& [reply, online, line] = steps[i];
        t.config->update([](AppConfigValues& v) { v.lmLoadedModelId = "old", v.lmContextLength = 4096; });
        feed(reply);
        EXPECT_EQ(t.config->isLmStudioOnline(), online) << "step " << i;
        EXPECT_EQ(t.config->lmLoadedModelId(), online ? "old" : "") << "step " << i;  // offline clears the model
        EXPECT_EQ(t.config->lmContextLength(), online ? 4096 : 0) << "step " << i;
        if (line) expected.push_back(*line);
    }
    EXPECT_EQ(t.journal(), expected);
}

TEST_F(ProbeResults, ShortContextIsWarnedOncePerChange) {
    for (auto [model, length] : std::vector<std::pair<const char*, int64_t>>{
             {"m", 4096}, {"m", 4096}, {"m", 32768}, {"m", 0}, {"n", 2048}, {"n", 8191}, {"n", 8192}}) {
        probes->warnShortContext(model, length);
    }
    EXPECT_EQ(t.config->lmLoadedModelId(), "n");
    EXPECT_EQ(t.config->lmContextLength(), 8192);
    const auto lines = t.journal();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], (JournalLine{AppLogLevel::warn,
                                     "⚠️ Contexte LM Studio insuffisant : 4096 tokens (recommandé ≥ 8192). "
                                     "L'analyse de logs et l'envoi de fichiers peuvent échouer."}));
    EXPECT_THAT(lines[1].message, ::testing::HasSubstr(": 2048 tokens"));
    EXPECT_THAT(lines[2].message, ::testing::HasSubstr(": 8191 tokens"));
}

TEST(ParseModels, PicksTheLoadedModel) {
    using Model = LmStudioProbes::LoadedModel;
    const std::vector<std::pair<LmReply, std::optional<Model>>> cases = {
        {answered(R"({"data":[{"id":"a","state":"not-loaded","max_context_length":32768},)"
                  R"({"id":"b","state":"loaded","max_context_length":131072,"loaded_context_length":4096}]})"),
         Model{"b", 4096}},
        {answered(R"({"data":[{"id":"a","state":"not-loaded","max_context_length":32768},{"id":"b"}]})"),
         Model{"a", 32768}},
        {answered(R"([{"key":"k","state":"loaded","context_length":2048.0}])"), Model{"k", 2048}},
        {answered(
             R"({"data":[{"id":7,"key":"k","state":"loaded","loaded_context_length":"4096","max_context_length":8192}]})"),
         Model{"k", 8192}},  // members of other types are passed over
        {answered(R"({"data":[{"state":"loaded"}]})"), Model{"", 0}},
        {answered(R"({"data":[]})"), std::nullopt},
        {failed(), std::nullopt}};
    for (const auto& [reply, expected] : cases) EXPECT_EQ(LmStudioProbes::parseLMModels(reply), expected) << reply.body;
}

TEST_F(ProbeResults, StartPrecheckRefusesOrStarts) {
    using Refusal = LmStudioProbes::StartRefusal;
    const struct {
        LmReply reply;
        std::optional<Refusal> refusal;  // none: the server starts
        std::string journal;
    } cases[] = {
        {failed(), Refusal::lmStudioUnreachable, "Démarrage échoué : LM Studio inaccessible"},
        {failed(LmTransportError::TimedOut), Refusal::lmStudioUnreachable, "Démarrage échoué : LM Studio inaccessible"},
        {answered(kNoModel), Refusal::noModelLoaded, "Démarrage échoué : aucun modèle LM Studio"},
        {answered("Bad Gateway", 502), Refusal::noModelLoaded, "Démarrage échoué : aucun modèle LM Studio"},
        {answered(kOneModel), std::nullopt, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply.body);
        t.logger->setEntries({});
        std::vector<Refusal> refusals;
        int starts = 0;
        const AppConfigValues before = t.config->snapshot();
        probes->startPrecheckResult(c.reply, {[&](Refusal why) { refusals.push_back(why); }, [&] { ++starts; }});
        EXPECT_EQ(starts, c.refusal ? 0 : 1);
        if (!c.refusal) {
            EXPECT_THAT(refusals, IsEmpty());
            EXPECT_THAT(t.journal(), IsEmpty());
        } else {
            EXPECT_THAT(refusals, ElementsAre(*c.refusal));
            EXPECT_THAT(t.journal(), ElementsAre(JournalLine{AppLogLevel::error, c.journal}));
        }
        EXPECT_EQ(t.config->snapshot(), before);  // no field changes
    }
}

// Against the fake LM Studio, through the panel: the requests, the main-queue hand-over, shutdown.
// (The start button's pre-check runs in the test server program's end-to-end test.)
class ProbesWithFake : public gateway_test::GatewayTest {
protected:
    std::shared_ptr<LmStudioProbes> probes = LmStudioProbes::create(t.state, lm.client);
    std::unique_ptr<ContentView> view = std::make_unique<ContentView>(t.state);

    void SetUp() override { plugLMStudioProbes(*view, probes); }
    void TearDown() override {
        view.reset();
        probes.reset();
        GatewayTest::TearDown();
    }
};

TEST_F(ProbesWithFake, TimerTickFindsTheModelAndItsContext) {
    lm.fake.setModels(FakeLmStudio::defaultModels(), {FakeInstance{"google/gemma-3-4b", "google/gemma-3-4b", 4096}});
    view->onTimerTick();
    ASSERT_TRUE(t.queue->drainUntil([&] { return t.config->lmContextLength() != 0; }, 10));
    EXPECT_TRUE(t.config->isLmStudioOnline());
    EXPECT_EQ(t.config->lmLoadedModelId(), "google/gemma-3-4b");
    EXPECT_EQ(t.config->lmContextLength(), 4096);
    EXPECT_THAT(t.journalMessages(),
                ElementsAre("LM Studio en ligne (1 modèle(s))",
                            ::testing::StartsWith("⚠️ Contexte LM Studio insuffisant : 4096 ")));
    const auto requests = lm.fake.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method + " " + requests[0].target, "GET /v1/models");
    EXPECT_EQ(requests[1].method + " " + requests[1].target, "GET /api/v0/models");
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
    lm.fake.addFault(FakeFault{.path = "/v1/models", .delay = 200ms});
    probes->probeStatus(2.0);
    ASSERT_TRUE(gateway_test::eventually([&] { return lm.fake.requests().size() == 1; }));
    view.reset();
    probes.reset();  // waits for the running request, then joins the workers
    t.queue->drain();
    EXPECT_FALSE(t.config->isLmStudioOnline());
    EXPECT_THAT(t.journal(), IsEmpty());
}

}  // namespace
}  // namespace klarion
