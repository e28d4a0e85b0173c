// The model routes against the fake LM Studio: the two lists relayed unchanged, the PIN rules,
// and the model switch's order of calls, replies and state changes.
#include "server/llm/model_routes.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "tests/support/gateway_fixture.h"

namespace klarion {
namespace {

using namespace std::chrono_literals;
using gateway_test::JournalLine;
using gateway_test::lastEmitted;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

const std::string kLoaded = R"({"status": "loaded"})";
const std::string kFailed = R"({"status": "error", "message": "Impossible de charger le modèle."})";

// "111111" is any teacher's PIN, "222222" the active teacher's.
std::string switchTo(const std::string& model) { return R"({"pin":"222222","modelPath":")" + model + "\"}"; }

std::vector<JournalLine> switchLines(const std::string& model, bool success) {
    return {{AppLogLevel::info, "Changement de modèle → " + model},
            {success ? AppLogLevel::info : AppLogLevel::error,
             "Modèle chargé : " + model + " — succès: " + (success ? "true" : "false")}};
}

class ModelRoutesTest : public gateway_test::GatewayTest {
protected:
    std::unique_ptr<ModelRoutes> routes = make(lm.client);

    std::unique_ptr<ModelRoutes> make(std::shared_ptr<const LmStudioClient> client,
                                      LmStudioClient::StopCheck stopping = {}) {
        auto pinIs = [](std::vector<std::string> pins) {
            return [pins](const std::string&, const std::optional<std::string>& pin) {
                return pin && std::find(pins.begin(), pins.end(), *pin) != pins.end();
            };
        };
        return std::make_unique<ModelRoutes>(ModelRoutes::Dependencies{
            t.state, std::move(client), pinIs({"111111", "222222"}), pinIs({"222222"}), std::move(stopping)});
    }

    struct Reply {
        std::int64_t status;
        std::string contentType, body;
    };
    static Reply read(const HttpResponse& response) {
        const auto headers = response.headers();
        const auto type = headers.find("Content-Type");
        MemoryBodyWriter writer;
        if (auto fn = response.content().writer) fn(writer);
        return {response.statusCode(), type == headers.end() ? "" : type->second, writer.text()};
    }
    static HttpRequest request(const std::string& body) {
        HttpRequest r;
        r.method = "POST";
        r.body = utf8Bytes(body);
        r.address = "10.0.0.9";
        return r;
    }
    Reply models() { return read(routes->handleModels(request(""))); }
    Reply available(const std::string& body = R"({"pin":"111111"})") {
        return read(routes->handleAvailableModels(request(body)));
    }
    Reply switchModel(const std::string& body, const ModelRoutes* via = nullptr) {
        return read((via ? via : routes.get())->handleSwitchModel(request(body)));
    }
    std::vector<std::string> calls() {
        std::vector<std::string> out;
        for (const auto& r : lm.fake.requests())
            out.push_back(r.method + " " + r.path + (r.body.empty() ? "" : " " + r.body));
        return out;
    }
};

TEST_F(ModelRoutesTest, ListsRelayWhateverLmStudioSentAndFallBackWhenNothingCame) {
    const struct {
        const char* what;
        std::vector<FakeFault> faults;
        bool refusing, relayed;  // not relayed: {"data":[]} and []
    } cases[] = {
        {"a list", {}, false, true},
        {"an error status",
         {{.action = FakeFaultAction::Status, .status = 500, .body = "oops", .times = 2}},
         false,
         true},
        {"an empty answer", {{.action = FakeFaultAction::Status, .status = 200, .body = "", .times = 2}}, false, false},
        {"closed without an answer", {{.action = FakeFaultAction::Close, .times = 2}}, false, false},
        {"LM Studio stopped", {}, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        lm.fake.setRefusing(c.refusing);
        for (const auto& fault : c.faults) lm.fake.addFault(fault);
        const Reply list = models(), detailed = available();
        EXPECT_EQ(list.status, 200);
        EXPECT_EQ(detailed.status, 200);
        EXPECT_EQ(list.contentType, "application/json");
        EXPECT_EQ(detailed.contentType, "application/json");
        EXPECT_EQ(list.body, c.relayed ? lastEmitted(lm.fake, "/v1/models") : R"({"data":[]})");
        EXPECT_EQ(detailed.body, c.relayed ? lastEmitted(lm.fake, "/api/v0/models") : "[]");
    }
}

TEST_F(ModelRoutesTest, RefusedPinsGet401AndNothingHappens) {
    // The detailed list takes any teacher's PIN, the switch only the active teacher's.
    for (const char* body : {"", "[]", R"({"pin":111111})", R"({"pin":"000000"})", R"({})"}) {
        const Reply reply = available(body);
        EXPECT_EQ(reply.status, 401) << body;
        EXPECT_EQ(reply.body, "");
    }
    for (const char* body :
         {"", "[]", R"({"pin":"222222"})", R"({"modelPath":"google/gemma-3-4b"})",
          R"({"pin":"111111","modelPath":"google/gemma-3-4b"})", R"({"pin":"222222","modelPath":42})"}) {
        const Reply reply = switchModel(body);
        EXPECT_EQ(reply.status, 401) << body;
        EXPECT_EQ(reply.body, "");
    }
    EXPECT_EQ(t.queue->pending(), 0u);  // no pause posted
    EXPECT_THAT(lm.fake.requests(), IsEmpty());
    EXPECT_THAT(t.journal(), IsEmpty());
}

TEST_F(ModelRoutesTest, AnAddressThatFormsNoUrlAnswers500) {
    auto broken = make(std::make_shared<const LmStudioClient>("nowhere"));
    EXPECT_EQ(read(broken->handleModels(request(""))).status, 500);
    EXPECT_EQ(read(broken->handleAvailableModels(request(R"({"pin":"111111"})"))).status, 500);
    EXPECT_EQ(switchModel(switchTo("m"), broken.get()).status, 500);
    t.queue->drain();
    EXPECT_FALSE(t.config->isAiPaused());  // the pause was lifted again
}

TEST_F(ModelRoutesTest, SwitchUnloadsEveryInstanceInOrderThenLoads) {
    lm.fake.setModels(FakeLmStudio::defaultModels(),
                      {FakeInstance{"qwen2.5-7b-instruct", "qwen2.5-7b-instruct", 8192},
                       FakeInstance{"google/gemma-3-4b", "google/gemma-3-4b", 4096},
                       FakeInstance{"qwen2.5-7b-instruct:2", "qwen2.5-7b-instruct", 8192}});
    // Every change of the two fields, in the order the main thread makes them.
    std::vector<std::string> changes;
    t.config->subscribe([&](AppConfigField field) {
        if (field == AppConfigField::isAiPaused) changes.push_back(t.config->isAiPaused() ? "paused" : "resumed");
        if (field == AppConfigField::lmLoadedModelId) changes.push_back("model " + t.config->lmLoadedModelId());
    });
    t.config->setIsAiPaused(true);  // a teacher's pause is lifted by the switch
    changes.clear();

    const Reply reply = switchModel(switchTo("google/gemma-3-4b"));
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.contentType, "application/json");
    EXPECT_EQ(reply.body, kLoaded);
    EXPECT_THAT(calls(),
                ElementsAre("GET /api/v1/models", R"(POST /api/v1/models/unload {"instance_id":"qwen2.5-7b-instruct"})",
                            R"(POST /api/v1/models/unload {"instance_id":"qwen2.5-7b-instruct:2"})",
                            R"(POST /api/v1/models/unload {"instance_id":"google/gemma-3-4b"})",
                            R"(POST /api/v1/models/load {"model":"google/gemma-3-4b"})"));
    EXPECT_EQ(t.journal(), switchLines("google/gemma-3-4b", true));
    EXPECT_THAT(changes, ElementsAre("paused", "model google/gemma-3-4b", "resumed"));
    EXPECT_EQ(lm.fake.loadedInstances().size(), 1u);

    // With nothing loaded, straight to the load.
    lm.fake.setModels(FakeLmStudio::defaultModels(), {});
    lm.fake.clearRecords();
    EXPECT_EQ(switchModel(switchTo("qwen2.5-7b-instruct")).body, kLoaded);
    EXPECT_THAT(calls(),
                ElementsAre("GET /api/v1/models", R"(POST /api/v1/models/load {"model":"qwen2.5-7b-instruct"})"));
    EXPECT_EQ(t.journal().back(), switchLines("qwen2.5-7b-instruct", true).back());  // also runs what the switch queued
}

TEST_F(ModelRoutesTest, LoadThatFailsAnswersTheErrorAndResumes) {
    const struct {
        const char* what;
        std::vector<FakeFault> faults;
        std::string model = "google/gemma-3-4b";
    } cases[] = {
        {"201", {{.path = "/api/v1/models/load", .action = FakeFaultAction::Status, .status = 201, .body = kLoaded}}},
        {"500", {{.path = "/api/v1/models/load", .action = FakeFaultAction::Status, .status = 500, .body = kLoaded}}},
        {"unknown model", {}, "no/such-model"},
        {"no answer in time", {{.path = "/api/v1/models/load", .action = FakeFaultAction::Hang}}},
        {"unload failing",
         {{.path = "/api/v1/models/unload", .action = FakeFaultAction::Reset},
          {.path = "/api/v1/models/load", .action = FakeFaultAction::Close}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        lm.fake.clearFaults();
        for (const auto& fault : c.faults) lm.fake.addFault(fault);
        t.config->setLmLoadedModelId("before");
        t.logger->setEntries({});
        const Reply reply = switchModel(switchTo(c.model));
        EXPECT_EQ(reply.status, 200);
        EXPECT_EQ(reply.body, kFailed);
        EXPECT_EQ(t.journal(), switchLines(c.model, false));
        EXPECT_FALSE(t.config->isAiPaused());
        EXPECT_EQ(t.config->lmLoadedModelId(), "before");
    }
}

TEST_F(ModelRoutesTest, SwitchesRunOneAtATime) {
    lm.fake.addFault(FakeFault{.path = "/api/v1/models/load", .delay = 150ms, .times = 2});
    std::vector<std::string> replies(2);
    std::thread a([&] { replies[0] = switchModel(switchTo("google/gemma-3-4b")).body; });
    std::thread b([&] { replies[1] = switchModel(switchTo("qwen2.5-7b-instruct")).body; });
    a.join();
    b.join();
    EXPECT_THAT(replies, ElementsAre(kLoaded, kLoaded));
    // Each switch's list, unloads and load come together, never interleaved.
    std::vector<std::string> paths;
    for (const auto& r : lm.fake.requests()) paths.push_back(r.path);
    EXPECT_THAT(paths, ElementsAre("/api/v1/models", "/api/v1/models/unload", "/api/v1/models/load", "/api/v1/models",
                                   "/api/v1/models/unload", "/api/v1/models/load"));
    EXPECT_EQ(lm.fake.loadedInstances().size(), 1u);
}

TEST_F(ModelRoutesTest, AStoppingServerEndsASwitchWaitingForTheLoad) {
    LmStudioTimeouts timeouts = gateway_test::shortTimeouts();
    timeouts.load = 600s;  // far beyond the test: only the stop can end the wait
    std::atomic<bool> stopping{false};
    auto stoppable =
        make(std::make_shared<const LmStudioClient>(lm.fake.baseUrl(), timeouts), [&] { return stopping.load(); });
    lm.fake.addFault(FakeFault{.path = "/api/v1/models/load", .action = FakeFaultAction::Hang});
    auto reply =
        std::async(std::launch::async, [&] { return switchModel(switchTo("google/gemma-3-4b"), stoppable.get()); });
    ASSERT_TRUE(gateway_test::eventually([&] { return !lm.fake.requestsTo("/api/v1/models/load").empty(); }));
    stopping = true;
    const bool ended = reply.wait_for(60s) == std::future_status::ready;
    if (!ended) lm.fake.stop();  // let the switch end so that the test can
    EXPECT_TRUE(ended) << "the switch went on waiting for LM Studio";
    EXPECT_EQ(reply.get().body, kFailed);
    EXPECT_EQ(t.journal(), switchLines("google/gemma-3-4b", false));
    EXPECT_FALSE(t.config->isAiPaused());
}

}  // namespace
}  // namespace klarion
