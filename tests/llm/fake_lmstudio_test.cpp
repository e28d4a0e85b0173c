// The fake LM Studio itself: its contract check (every gateway test trusts it to name what
// the program may not send) and its standalone program with the control port the browser
// tests script.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>

#include "tests/support/gateway_fixture.h"

namespace klarion {
namespace {

using std::chrono::milliseconds;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::SizeIs;

const milliseconds kWait(3000);

MiniHttpRequest makeRequest(std::string method, std::string path, std::string body = "") {
    MiniHttpRequest r;
    r.method = std::move(method);
    r.target = r.path = std::move(path);
    r.version = "HTTP/1.1";
    r.headers = {{"Host", "127.0.0.1:1234"}};
    r.body = std::move(body);
    if (r.method == "POST") {
        r.headers.emplace_back("Content-Type", "application/json");
        r.headers.emplace_back("Content-Length", std::to_string(r.body.size()));
    }
    return r;
}

Json verdictChat() {
    return {{"messages", Json::array({{{"role", "system"}, {"content", "S"}}, {{"role", "user"}, {"content", "Q"}}})},
            {"stream", false},
            {"temperature", 0.0},
            {"max_tokens", 200}};
}

TEST(FakeLmStudioContract, SoundRequestsPassBreachesAreNamed) {
    EXPECT_THAT(lmStudioContractViolations(makeRequest("POST", "/v1/chat/completions", verdictChat().dump())),
                IsEmpty());
    EXPECT_THAT(lmStudioContractViolations(makeRequest("GET", "/v1/models")), IsEmpty());
    MiniHttpRequest expect = makeRequest("POST", "/api/v1/models/load", R"({"model":"m"})");
    expect.headers.emplace_back("Expect", "100-continue");
    Json extra = verdictChat();
    extra["top_p"] = 0.9;
    const std::vector<std::pair<MiniHttpRequest, std::string>> breaches = {
        {expect, "Expect: 100-continue"},
        {makeRequest("POST", "/api/v1/models/load", R"({"model":7})"), "expected a string"},
        {makeRequest("POST", "/v1/chat/completions", extra.dump()), "\"top_p\""},
    };
    for (const auto& [request, expected] : breaches) {
        EXPECT_THAT(lmStudioContractViolations(request), Contains(HasSubstr(expected))) << request.body;
    }
}

// The standalone program, scripted through its control port.
TEST(FakeLmStudioProgram, ControlPortScriptsModelsRepliesFaultsAndRefusalThenQuits) {
    // Ended by `timeout` (exit status 124) if it neither prints nor quits.
    FILE* out = ::popen("exec timeout 20 " FAKE_LMSTUDIO_PROGRAM, "r");
    ASSERT_NE(out, nullptr);
    unsigned port = 0, controlPort = 0;
    ASSERT_EQ(std::fscanf(out, "listening on %u\ncontrol on %u", &port, &controlPort), 2);
    LmStudioClient client("http://127.0.0.1:" + std::to_string(port));
    LmStudioClient ctl("http://127.0.0.1:" + std::to_string(controlPort));
    auto post = [&](const std::string& path, const Json& body) {
        return ctl.postJson(path, body.dump(), kWait).status;
    };
    auto getJson = [&](const std::string& path) { return Json::parse(ctl.get(path, kWait).body, nullptr, false); };

    EXPECT_EQ(post("/control/models", {{"models", {{{"key", "m/one"}, {"maxContextLength", 4096}}}},
                                       {"loaded", {{{"id", "m/one"}, {"contextLength", 1024}}}}}),
              200);
    EXPECT_EQ(Json::parse(client.listModelsV0(kWait).body)["data"][0]["loaded_context_length"], 1024);
    EXPECT_EQ(post("/control/reply", {{"content", "{\"danger\": true}"}}), 200);
    EXPECT_EQ(Json::parse(client.chatCompletion(verdictChat().dump(), kWait).body)["choices"][0]["message"]["content"],
              "{\"danger\": true}");
    EXPECT_EQ(post("/control/faults", Json::array({{{"path", "/v1/models"}, {"action", "status"}, {"status", 500}},
                                                   {{"path", "/v1/models"}, {"action", "reset"}}})),
              200);
    EXPECT_EQ(getJson("/control/state")["pendingFaults"], 2);
    EXPECT_EQ(client.listModels(kWait).status, 500);
    EXPECT_EQ(client.listModels(kWait).error, LmTransportError::Reset);
    EXPECT_EQ(post("/control/faults", {{"action", "hang"}, {"times", 0}}), 200);
    EXPECT_EQ(post("/control/clear-faults", Json::object()), 200);
    EXPECT_EQ(post("/control/refuse", {{"refusing", true}}), 200);
    EXPECT_EQ(getJson("/control/state")["refusing"], true);
    EXPECT_EQ(client.listModels(kWait).error, LmTransportError::Refused);
    EXPECT_EQ(post("/control/refuse", {{"refusing", false}}), 200);
    EXPECT_EQ(client.listModels(kWait).status, 200);  // the same port again

    const Json requests = getJson("/control/requests");
    ASSERT_THAT(requests, SizeIs(5));
    EXPECT_EQ(requests[1]["body"], verdictChat().dump());
    EXPECT_EQ(requests[2]["status"], 500);
    EXPECT_TRUE(requests[0]["receivedMs"].is_number_integer());
    EXPECT_THAT(getJson("/control/violations"), IsEmpty());
    client.get("/nowhere", kWait);
    EXPECT_THAT(getJson("/control/violations"), SizeIs(1));
    EXPECT_EQ(post("/control/clear", Json::object()), 200);
    EXPECT_THAT(getJson("/control/requests"), IsEmpty());
    EXPECT_THAT(getJson("/control/violations"), IsEmpty());

    // Bodies that do not fit are refused and change nothing.
    for (const Json& fault : {Json{{"action", "explode"}}, Json{{"delayMs", "soon"}}})
        EXPECT_EQ(post("/control/faults", fault), 400);
    EXPECT_EQ(post("/control/models", {{"models", {{{"type", "llm"}}}}}), 400);
    EXPECT_EQ(post("/control/reply", Json::array()), 400);
    EXPECT_EQ(ctl.postJson("/control/reply", "{", kWait).status, 400);
    EXPECT_EQ(post("/control/unknown", Json::object()), 404);
    EXPECT_EQ(getJson("/control/state")["pendingFaults"], 0);

    EXPECT_EQ(ctl.postJson("/control/quit", "{}", kWait).status, 200);
    const int status = ::pclose(out);  // waits for the program's end
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace klarion
