// The test server program with the LM Studio gateway: it starts through the
// panel's start action only when LM Studio answers with a model loaded, and
// then relays chats and model requests to it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/json.h"
#include "tests/support/gateway_fixture.h"
#include "tests/support/test_server_process.h"

namespace klarion {
namespace {

using gateway_test::requestText;
using gateway_test::roundTrip;
using test::TestServerProcess;
using ::testing::IsEmpty;

class GatewayEndToEnd : public ::testing::Test {
protected:
    klarion::testing::ScratchHome home;
    FakeLmStudio lmStudio;

    void SetUp() override { ASSERT_TRUE(lmStudio.start()); }
    void TearDown() override {
        lmStudio.stop();
        EXPECT_THAT(lmStudio.violations(), IsEmpty());
    }
};

TEST_F(GatewayEndToEnd, StartsWithAModelLoadedAndRelaysToLmStudio) {
    TestServerProcess run(lmStudio.baseUrl(), home.root() / "resources");
    const uint16_t port = run.waitForBanner();
    ASSERT_NE(port, 0) << run.standardOutput() << run.standardError();

    const auto chat = roundTrip(port, requestText("POST", "/api/chat", R"({"userMessage":"Bonjour","history":[]})"));
    EXPECT_EQ(chat.status, 200);
    EXPECT_EQ(chat.headers.at("content-type"), "text/event-stream");
    const auto chats = lmStudio.requestsTo("/v1/chat/completions");
    ASSERT_EQ(chats.size(), 1u);
    EXPECT_EQ(chat.body, chats[0].emitted);

    const auto models = roundTrip(port, requestText("GET", "/api/models"));
    EXPECT_EQ(models.status, 200);
    EXPECT_EQ(models.body, lmStudio.requestsTo("/v1/models").back().emitted);

    const auto switched =
        roundTrip(port, requestText("POST", "/api/switch-model",
                                    dumpJson(Json{{"pin", run.teacherPin()}, {"modelPath", "google/gemma-3-4b"}})));
    EXPECT_EQ(switched.body, R"({"status": "loaded"})");
    ASSERT_EQ(lmStudio.loadedInstances().size(), 1u);
    EXPECT_EQ(lmStudio.loadedInstances()[0].id, "google/gemma-3-4b");

    EXPECT_EQ(run.terminate(), 0);
}

TEST_F(GatewayEndToEnd, StopsWithoutWaitingForASilentLmStudio) {
    TestServerProcess run(lmStudio.baseUrl(), home.root() / "resources");
    const uint16_t port = run.waitForBanner();
    ASSERT_NE(port, 0) << run.standardOutput() << run.standardError();
    // A student's chat and a model switch, both waiting for an LM Studio that says nothing.
    for (const char* path : {"/v1/chat/completions", "/api/v1/models/load"})
        lmStudio.addFault(FakeFault{.path = path, .action = FakeFaultAction::Hang});
    // The chat first: once the switch has paused the AI, a chat gets the pause chunk instead.
    gateway_test::LoopbackClient student(port), teacher(port);
    ASSERT_TRUE(student.send(requestText("POST", "/api/chat", R"({"userMessage":"Bonjour","history":[]})")));
    ASSERT_TRUE(gateway_test::eventually([&] { return !lmStudio.requestsTo("/v1/chat/completions").empty(); }));
    ASSERT_TRUE(teacher.send(requestText(
        "POST", "/api/switch-model", dumpJson(Json{{"pin", run.teacherPin()}, {"modelPath", "google/gemma-3-4b"}}))));
    ASSERT_TRUE(gateway_test::eventually([&] { return !lmStudio.requestsTo("/api/v1/models/load").empty(); }));
    // LM Studio's own time-outs (60 s of silence, 120 s for a load) are beyond what terminate waits.
    EXPECT_EQ(run.terminate(std::chrono::seconds(20)), 0);
}

}  // namespace
}  // namespace klarion
