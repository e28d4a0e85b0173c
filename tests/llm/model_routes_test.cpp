#include "server/llm/model_routes.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

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

constexpr const char* kAnyTeacherPin = "111111";
constexpr const char* kActiveTeacherPin = "222222";
const std::string kLoaded = R"({"status": "loaded"})";
const std::string kFailed = R"({"status": "error", "message": "Impossible de charger le modèle."})";

class ModelRoutesTest : public ::testing::Test {
protected:
    TestState t;
    FakeWithClient lm;
    std::unique_ptr<ModelRoutes> routes;

    void SetUp() override {
        ASSERT_NE(lm.fake.port(), 0);
        routes = make(lm.client);
    }
    void TearDown() override { EXPECT_THAT(lm.fake.violations(), IsEmpty()); }

    std::unique_ptr<ModelRoutes> make(std::shared_ptr<const LmStudioClient> client,
                                      LmStudioClient::StopCheck serverStopping = {}) {
        ModelRoutes::Dependencies deps;
        deps.state = t.state;
        deps.lmStudio = std::move(client);
        deps.serverStopping = std::move(serverStopping);
        deps.checkTeacherPin = [](const std::string&, const std::optional<std::string>& pin) {
            return pin == std::optional<std::string>(kAnyTeacherPin) ||
                   pin == std::optional<std::string>(kActiveTeacherPin);
        };
        deps.isActiveTeacherPin = [](const std::string&, const std::optional<std::string>& pin) {
            return pin == std::optional<std::string>(kActiveTeacherPin);
        };
        return std::make_unique<ModelRoutes>(std::move(deps));
    }

    static HttpRequest request(const std::string& body) {
        HttpRequest r;
        r.method = "POST";
        r.body = utf8Bytes(body);
        r.address = "10.0.0.9";
        return r;
    }

    struct Reply {
        std::int64_t status;
        std::string contentType;
        std::string body;
    };
    static Reply read(const HttpResponse& response) {
        Reply r{response.statusCode(), "", ""};
        const auto headers = response.headers();
        if (auto it = headers.find("Content-Type"); it != headers.end()) r.contentType = it->second;
        MemoryBodyWriter writer;
        if (auto fn = response.content().writer) fn(writer);
        r.body = writer.text();
        return r;
    }

    std::vector<std::string> calls() {
        std::vector<std::string> out;
        for (const auto& r : lm.fake.requests()) out.push_back(r.method + " " + r.path + (r.body.empty() ? "" : " " + r.body));
        return out;
    }
};

TEST_F(ModelRoutesTest, ModelsRelaysLmStudiosBytesUnchanged) {
    const Reply reply = read(routes->handleModels(request("")));
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.contentType, "application/json");
    EXPECT_EQ(reply.body, lm.fake.requestsTo("/v1/models").at(0).emitted);
}

TEST_F(ModelRoutesTest, ListsRelayWhateverStatusAndFallBackWhenNothingCame) {
    struct Case {
        const char* what;
        std::function<void(FakeLmStudio&)> arrange;
        std::string models, available;  // empty: what the fake sent
    };
    const std::vector<Case> cases = {
        {"an error status still relays its bytes",
         [](FakeLmStudio& f) {
             FakeFault fault;
             fault.action = FakeFaultAction::Status;
             fault.status = 500;
             fault.body = "oops";
             fault.times = 2;
             f.addFault(fault);
         },
         "", ""},
        {"an empty answer",
         [](FakeLmStudio& f) {
             FakeFault fault;
             fault.action = FakeFaultAction::Status;
             fault.status = 200;
             fault.body = "";
             fault.times = 2;
             f.addFault(fault);
         },
         R"({"data":[]})", "[]"},
        {"LM Studio stopped", [](FakeLmStudio& f) { f.setRefusing(true); }, R"({"data":[]})", "[]"},
        {"LM Studio closing without an answer",
         [](FakeLmStudio& f) {
             FakeFault fault;
             fault.action = FakeFaultAction::Close;
             fault.times = 2;
             f.addFault(fault);
         },
         R"({"data":[]})", "[]"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        lm.fake.clearRecords();
        lm.fake.clearFaults();
        lm.fake.setRefusing(false);
        c.arrange(lm.fake);
        const Reply models = read(routes->handleModels(request("")));
        const Reply available = read(routes->handleAvailableModels(request(R"({"pin":"111111"})")));
        EXPECT_EQ(models.status, 200);
        EXPECT_EQ(available.status, 200);
        EXPECT_EQ(models.body, c.models.empty() ? lm.fake.requestsTo("/v1/models").at(0).emitted : c.models);
        EXPECT_EQ(available.body, c.available.empty() ? lm.fake.requestsTo("/api/v0/models").at(0).emitted : c.available);
    }
}

TEST_F(ModelRoutesTest, AvailableModelsWantsATeacherPin) {
    for (const std::string& body : {std::string(""), std::string("[]"), std::string(R"({"pin":111111})"),
                                    std::string(R"({"pin":"000000"})"), std::string(R"({})")}) {
        SCOPED_TRACE(body);
        const Reply reply = read(routes->handleAvailableModels(request(body)));
        EXPECT_EQ(reply.status, 401);
        EXPECT_EQ(reply.body, "");
    }
    EXPECT_THAT(lm.fake.requests(), IsEmpty());
    // Any teacher's PIN will do, not only the active one's.
    const Reply reply = read(routes->handleAvailableModels(request(R"({"pin":"111111"})")));
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.contentType, "application/json");
    EXPECT_EQ(reply.body, lm.fake.requestsTo("/api/v0/models").at(0).emitted);
}

TEST_F(ModelRoutesTest, AnAddressThatFormsNoUrlAnswers500) {
    auto broken = make(std::make_shared<const LmStudioClient>("nowhere"));
    EXPECT_EQ(read(broken->handleModels(request(""))).status, 500);
    EXPECT_EQ(read(broken->handleAvailableModels(request(R"({"pin":"111111"})"))).status, 500);
    EXPECT_EQ(read(broken->handleSwitchModel(request(R"({"pin":"222222","modelPath":"m"})"))).status, 500);
    t.queue->drain();
    EXPECT_FALSE(t.config->isAiPaused());  // the pause was lifted again
}

TEST_F(ModelRoutesTest, SwitchRefusedWithoutTheActiveTeachersPinDoesNothing) {
    const std::vector<std::string> bodies = {"", "[]", R"({"pin":"222222"})", R"({"modelPath":"google/gemma-3-4b"})",
                                             R"({"pin":"111111","modelPath":"google/gemma-3-4b"})",
                                             R"({"pin":"222222","modelPath":42})"};
    for (const std::string& body : bodies) {
        SCOPED_TRACE(body);
        const Reply reply = read(routes->handleSwitchModel(request(body)));
        EXPECT_EQ(reply.status, 401);
        EXPECT_EQ(reply.body, "");
    }
    EXPECT_EQ(t.queue->pending(), 0u);  // no pause posted
    EXPECT_THAT(lm.fake.requests(), IsEmpty());
    EXPECT_THAT(t.journal(), IsEmpty());
}

TEST_F(ModelRoutesTest, SwitchUnloadsEveryInstanceInOrderThenLoads) {
    lm.fake.setModels(FakeLmStudio::defaultModels(), {FakeInstance{"qwen2.5-7b-instruct", "qwen2.5-7b-instruct", 8192},
                                                      FakeInstance{"google/gemma-3-4b", "google/gemma-3-4b", 4096},
                                                      FakeInstance{"qwen2.5-7b-instruct:2", "qwen2.5-7b-instruct", 8192}});
    // Record every change of the two fields, in the order the main thread makes them.
    std::vector<std::string> changes;
    t.config->subscribe([&](AppConfigField field) {
        if (field == AppConfigField::isAiPaused) changes.push_back(t.config->isAiPaused() ? "paused" : "resumed");
        if (field == AppConfigField::lmLoadedModelId) changes.push_back("model " + t.config->lmLoadedModelId());
    });
    t.config->setIsAiPaused(true);  // a teacher's pause is lifted by the switch
    changes.clear();

    const Reply reply = read(routes->handleSwitchModel(request(R"({"pin":"222222","modelPath":"google/gemma-3-4b"})")));
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.contentType, "application/json");
    EXPECT_EQ(reply.body, kLoaded);
    EXPECT_THAT(calls(), ElementsAre("GET /api/v1/models",
                                     R"(POST /api/v1/models/unload {"instance_id":"qwen2.5-7b-instruct"})",
                                     R"(POST /api/v1/models/unload {"instance_id":"qwen2.5-7b-instruct:2"})",
                                     R"(POST /api/v1/models/unload {"instance_id":"google/gemma-3-4b"})",
                                     R"(POST /api/v1/models/load {"model":"google/gemma-3-4b"})"));
    EXPECT_THAT(t.journal(), ElementsAre(JournalLine{AppLogLevel::info, "Changement de modèle → google/gemma-3-4b"},
                                         JournalLine{AppLogLevel::info, "Modèle chargé : google/gemma-3-4b — succès: true"}));
    EXPECT_THAT(changes, ElementsAre("paused", "model google/gemma-3-4b", "resumed"));
    EXPECT_EQ(lm.fake.loadedInstances().size(), 1u);
}

TEST_F(ModelRoutesTest, SwitchWithNothingLoadedGoesStraightToTheLoad) {
    lm.fake.setModels(FakeLmStudio::defaultModels(), {});
    EXPECT_EQ(read(routes->handleSwitchModel(request(R"({"pin":"222222","modelPath":"qwen2.5-7b-instruct"})"))).body,
              kLoaded);
    EXPECT_THAT(calls(), ElementsAre("GET /api/v1/models", R"(POST /api/v1/models/load {"model":"qwen2.5-7b-instruct"})"));
}

TEST_F(ModelRoutesTest, LoadThatFailsAnswersTheErrorAndResumes) {
    struct Case {
        const char* what;
        std::function<void(FakeLmStudio&)> arrange;
        std::string model;
    };
    auto loadAnswers = [](int status) {
        return [status](FakeLmStudio& f) {
            FakeFault fault;
            fault.path = "/api/v1/models/load";
            fault.action = FakeFaultAction::Status;
            fault.status = status;
            fault.body = R"({"status":"loaded"})";
            f.addFault(fault);
        };
    };
    const std::vector<Case> cases = {
        {"201", loadAnswers(201), "google/gemma-3-4b"},
        {"500", loadAnswers(500), "google/gemma-3-4b"},
        {"unknown model", [](FakeLmStudio&) {}, "no/such-model"},
        {"late", [](FakeLmStudio& f) {
             FakeFault fault;
             fault.path = "/api/v1/models/load";
             fault.action = FakeFaultAction::Hang;
             f.addFault(fault);
         }, "google/gemma-3-4b"},
        {"unload failing", [](FakeLmStudio& f) {
             FakeFault fault;
             fault.path = "/api/v1/models/unload";
             fault.action = FakeFaultAction::Reset;
             f.addFault(fault);
             FakeFault load;
             load.path = "/api/v1/models/load";
             load.action = FakeFaultAction::Close;
             f.addFault(load);
         }, "google/gemma-3-4b"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        lm.fake.clearFaults();
        c.arrange(lm.fake);
        t.config->setLmLoadedModelId("before");
        t.logger->setEntries({});
        const Reply reply = read(routes->handleSwitchModel(
            request(dumpJson(Json{{"pin", kActiveTeacherPin}, {"modelPath", c.model}}))));
        EXPECT_EQ(reply.status, 200);
        EXPECT_EQ(reply.body, kFailed);
        EXPECT_THAT(t.journal(),
                    ElementsAre(JournalLine{AppLogLevel::info, "Changement de modèle → " + c.model},
                                JournalLine{AppLogLevel::error, "Modèle chargé : " + c.model + " — succès: false"}));
        EXPECT_FALSE(t.config->isAiPaused());
        EXPECT_EQ(t.config->lmLoadedModelId(), "before");
    }
}

TEST_F(ModelRoutesTest, SwitchesRunOneAtATime) {
    FakeFault slowLoad;
    slowLoad.path = "/api/v1/models/load";
    slowLoad.delay = 150ms;
    slowLoad.times = 2;
    lm.fake.addFault(slowLoad);
    std::vector<std::string> replies(2);
    std::thread a([&] {
        replies[0] = read(routes->handleSwitchModel(request(R"({"pin":"222222","modelPath":"google/gemma-3-4b"})"))).body;
    });
    std::thread b([&] {
        replies[1] = read(routes->handleSwitchModel(request(R"({"pin":"222222","modelPath":"qwen2.5-7b-instruct"})"))).body;
    });
    a.join();
    b.join();
    EXPECT_THAT(replies, ElementsAre(kLoaded, kLoaded));
    // Each switch's list, unloads and load come together, never interleaved.
    std::vector<std::string> paths;
    for (const auto& r : lm.fake.requests()) paths.push_back(r.path);
    ASSERT_EQ(paths.size(), 6u);
    EXPECT_THAT(paths, ElementsAre("/api/v1/models", "/api/v1/models/unload", "/api/v1/models/load", "/api/v1/models",
                                   "/api/v1/models/unload", "/api/v1/models/load"));
    EXPECT_EQ(lm.fake.loadedInstances().size(), 1u);
}

TEST_F(ModelRoutesTest, AStoppingServerEndsASwitchWaitingForTheLoad) {
    LmStudioTimeouts timeouts = gateway_test::shortTimeouts();
    timeouts.load = 600s;  // far beyond the test: only the stop can end the wait
    std::atomic<bool> stopping{false};
    auto stoppable = make(std::make_shared<const LmStudioClient>(lm.fake.baseUrl(), timeouts),
                          [&] { return stopping.load(); });
    FakeFault hang;
    hang.path = "/api/v1/models/load";
    hang.action = FakeFaultAction::Hang;
    lm.fake.addFault(hang);

    auto reply = std::async(std::launch::async, [&] {
        return read(stoppable->handleSwitchModel(request(R"({"pin":"222222","modelPath":"google/gemma-3-4b"})")));
    });
    ASSERT_TRUE(gateway_test::eventually([&] { return !lm.fake.requestsTo("/api/v1/models/load").empty(); }));
    stopping = true;
    const bool ended = reply.wait_for(60s) == std::future_status::ready;
    if (!ended) lm.fake.stop();  // let the switch end so that the test can
    EXPECT_TRUE(ended) << "the switch went on waiting for LM Studio";
    EXPECT_EQ(reply.get().body, kFailed);
    EXPECT_THAT(t.journal(),
                ElementsAre(JournalLine{AppLogLevel::info, "Changement de modèle → google/gemma-3-4b"},
                            JournalLine{AppLogLevel::error, "Modèle chargé : google/gemma-3-4b — succès: false"}));
    EXPECT_FALSE(t.config->isAiPaused());
}

}  // namespace
}  // namespace klarion
