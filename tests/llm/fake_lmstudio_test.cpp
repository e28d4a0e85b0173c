// The fake LM Studio itself: its contract checks, its HTTP (keep-alive, chunked framing), its
// model state, its faults, its control port and its standalone program.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <regex>
#include <thread>

#include "tests/llm/gateway_test_support.h"

namespace klarion {
namespace {

using RawConnection = gateway_test::LoopbackClient;
using ::testing::AllOf;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::SizeIs;
using std::chrono::milliseconds;

const milliseconds kWait(3000);

MiniHttpRequest makeRequest(std::string method, std::string path, std::string body = "", bool json = true) {
  MiniHttpRequest r;
  r.method = std::move(method);
  r.target = r.path = std::move(path);
  r.version = "HTTP/1.1";
  r.headers = {{"Host", "127.0.0.1:1234"}};
  r.body = std::move(body);
  if (r.method == "POST") {
    if (json) r.headers.emplace_back("Content-Type", "application/json");
    r.headers.emplace_back("Content-Length", std::to_string(r.body.size()));
  }
  return r;
}

Json streamedChat() {
  return {{"messages", Json::array({{{"role", "system"}, {"content", "S"}}, {{"role", "user"}, {"content", "Q1"}},
                                    {{"role", "assistant"}, {"content", "A1"}}, {{"role", "user"}, {"content", "Q2"}}})},
          {"stream", true}, {"temperature", 0.7}, {"top_p", 0.9}, {"frequency_penalty", 0.0},
          {"presence_penalty", 0.0}, {"max_tokens", 2048}, {"repeat_penalty", 1.1}};
}

Json verdictChat() {
  return {{"messages", Json::array({{{"role", "system"}, {"content", "S"}}, {{"role", "user"}, {"content", "Q"}}})},
          {"stream", false}, {"temperature", 0.0}, {"max_tokens", 200}};
}

const Json kImageParts = Json::array({{{"type", "image_url"}, {"image_url", {{"url", "data:image/png;base64,AAAA"}}}},
                                      {{"type", "text"}, {"text", "Que vois-tu ?"}}});

TEST(FakeLmStudioContract, SoundRequestsPassBreachesAreNamed) {
  Json everything = streamedChat();
  everything["seed"] = 42;
  everything["model"] = "qwen2.5-7b-instruct";
  everything["messages"][1]["content"] = kImageParts;  // an earlier image turn, unchanged
  everything["messages"][3]["content"] = kImageParts;  // this turn's image
  for (const MiniHttpRequest& r :
       {makeRequest("GET", "/v1/models"), makeRequest("GET", "/api/v0/models"), makeRequest("GET", "/api/v1/models"),
        makeRequest("POST", "/api/v1/models/load", R"({"model":"google/gemma-3-4b"})"),
        makeRequest("POST", "/api/v1/models/unload", R"({"instance_id":"x:2"})"),
        makeRequest("POST", "/v1/chat/completions", everything.dump()),
        makeRequest("POST", "/v1/chat/completions", verdictChat().dump())}) {
    EXPECT_THAT(lmStudioContractViolations(r), IsEmpty()) << r.method << " " << r.path << " " << r.body;
  }

  auto chat = [](const std::function<void(Json&)>& change, Json base = streamedChat()) {
    change(base);
    return makeRequest("POST", "/v1/chat/completions", base.dump());
  };
  auto with = [](MiniHttpRequest r, const std::function<void(MiniHttpRequest&)>& change) {
    change(r);
    return r;
  };
  const MiniHttpRequest get = makeRequest("GET", "/v1/models");
  const MiniHttpRequest load = makeRequest("POST", "/api/v1/models/load", R"({"model":"m"})");
  const std::vector<std::pair<MiniHttpRequest, std::string>> breaches = {
      {with(get, [](auto& r) { r.version = "HTTP/1.0"; }), "uses HTTP/1.0"},
      {with(get, [](auto& r) { r.headers.clear(); }), "0 Host headers"},
      {with(load, [](auto& r) { r.headers.emplace_back("Expect", "100-continue"); }), "Expect: 100-continue"},
      {with(get, [](auto& r) { r.headers.emplace_back("Accept", "*/*"); }), "Accept: */*"},
      {with(get, [](auto& r) { r.target = "/v1/models?all=1", r.query = "all=1"; }), "query string"},
      {makeRequest("POST", "/v1/models", "{}"), "not a request the program makes"},
      {with(get, [](auto& r) { r.headers.emplace_back("Content-Type", "application/json"); }), "a GET with a Content-Type"},
      {makeRequest("POST", "/api/v1/models/load", R"({"model":"m"})", false), "no Content-Type"},
      {makeRequest("POST", "/api/v1/models/load", "model=m"), "not JSON"},
      {makeRequest("POST", "/api/v1/models/load", R"({"model":7})"), "expected a string"},
      {makeRequest("POST", "/api/v1/models/unload", R"({})"), "lacks the key \"instance_id\""},
      {chat([](Json& j) { j.erase("stream"); }), "\"stream\" is missing"},
      {chat([](Json& j) { j["logit_bias"] = Json::object(); }), "\"logit_bias\""},
      {chat([](Json& j) { j["temperature"] = "0.7"; }), "\"temperature\" is string"},
      {chat([](Json& j) { j["max_tokens"] = 2048.5; }), "expected an integer"},
      {chat([](Json& j) { j["model"] = " qwen "; }), "not trimmed"},
      {chat([](Json& j) { j["messages"][0]["role"] = "user"; }), "expected \"system\""},
      {chat([](Json& j) { j["messages"][3]["role"] = "assistant"; }), "expected \"user\""},
      {chat([](Json& j) { j["messages"][1]["role"] = "system"; }), "expected \"user\" or \"assistant\""},
      {chat([](Json& j) { j["messages"][2]["content"] = Json::array({"a"}); }), "other than objects"},
      {chat([](Json& j) { j["messages"][3]["content"] = Json::array({kImageParts[1], kImageParts[0]}); }),
       "first part's \"type\" is not \"image_url\""},
      {chat([](Json& j) {
         j["messages"][3]["content"] = kImageParts;
         j["messages"][3]["content"][0]["image_url"]["url"] = "http://example.invalid/a.png";
       }),
       "not a data URL"},
      {chat([](Json& j) { j["top_p"] = 0.9; }, verdictChat()), "\"top_p\""},
      {chat([](Json& j) { j["messages"].insert(j["messages"].begin() + 1, Json{{"role", "user"}, {"content", "x"}}); },
            verdictChat()),
       "has 3 messages"},
  };
  for (const auto& [request, expected] : breaches) {
    EXPECT_THAT(lmStudioContractViolations(request), Contains(HasSubstr(expected))) << request.body;
  }
}

class FakeLmStudioTest : public ::testing::Test {
 protected:
  gateway_test::FakeWithClient lm;
  FakeLmStudio& fake = lm.fake;
  const LmStudioClient& client = *lm.client;
};

TEST_F(FakeLmStudioTest, KeepsTheConnectionAndRejectsUnreadableRequests) {
  RawConnection c(fake.port());
  c.send("GET /v1/models HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  EXPECT_THAT(c.readUntil("organization_owner", kWait), HasSubstr("Connection: keep-alive"));
  c.send("GET /api/v1/models HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  EXPECT_THAT(c.readUntil("loaded_instances", kWait), HasSubstr("loaded_instances"));
  ASSERT_TRUE(fake.waitForRequests(2, kWait));
  EXPECT_EQ(fake.requests()[0].connection, fake.requests()[1].connection);
  EXPECT_THAT(fake.violations(), IsEmpty());

  for (const char* bad : {"HELLO\r\n\r\n", "POST /v1/chat/completions HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"}) {
    RawConnection r(fake.port());
    r.send(bad);
    EXPECT_THAT(r.readUntil("bad request\n", kWait), HasSubstr("400 Bad Request"));
  }
  EXPECT_THAT(fake.violations(), ElementsAre(HasSubstr("bad request line"), HasSubstr("Transfer-Encoding")));

  LmReply unknown = client.get("/v1/embeddings", kWait);
  EXPECT_EQ(unknown.status, 404);
  EXPECT_EQ(unknown.body, R"x({"error":"Unexpected endpoint or method. (GET /v1/embeddings)"})x");
  EXPECT_THAT(fake.violations(), SizeIs(3));
  fake.clearRecords();
  EXPECT_THAT(fake.violations(), IsEmpty());
  EXPECT_THAT(fake.requests(), IsEmpty());
}

TEST_F(FakeLmStudioTest, StreamsEventsInChunksOfTheScriptedSizes) {
  fake.setChatReply(FakeChatReply{.pieces = {"Bon", "jour"}, .cuts = {10, 3}});
  const std::string body = streamedChat().dump();
  RawConnection c(fake.port());
  c.send("POST /v1/chat/completions HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body);
  const std::string raw = c.readUntil("\r\n0\r\n\r\n", kWait);
  EXPECT_THAT(raw, AllOf(HasSubstr("Content-Type: text/event-stream\r\n"), HasSubstr("Transfer-Encoding: chunked\r\n")));
  // Undo the chunk framing by hand, checking each chunk's size.
  std::string payload;
  std::vector<std::size_t> sizes;
  for (std::size_t pos = raw.find("\r\n\r\n") + 4, eol; (eol = raw.find("\r\n", pos)) != std::string::npos;) {
    const std::size_t size = std::stoul(raw.substr(pos, eol - pos), nullptr, 16);
    if (size == 0) break;
    sizes.push_back(size);
    payload += raw.substr(eol + 2, size);
    pos = eol + 2 + size + 2;
  }
  ASSERT_GE(sizes.size(), 4u);
  for (std::size_t i = 0; i + 1 < sizes.size(); ++i) EXPECT_EQ(sizes[i], i % 2 == 0 ? 10u : 3u);
  ASSERT_TRUE(fake.waitForRequests(1, kWait));
  EXPECT_EQ(payload, fake.requests()[0].emitted);
  // The events: role first, the pieces, the stop event, then [DONE].
  const std::size_t second = payload.find("\n\ndata: ") + 2, stop = payload.find("\n\ndata: ", second) + 2;
  EXPECT_EQ(Json::parse(payload.substr(6, second - 8))["choices"][0]["delta"], (Json{{"role", "assistant"}, {"content", "Bon"}}));
  EXPECT_EQ(Json::parse(payload.substr(second + 6, stop - second - 8))["choices"][0]["delta"]["content"], "jour");
  EXPECT_TRUE(payload.ends_with("\"finish_reason\":\"stop\"}]}\n\ndata: [DONE]\n\n"));
  EXPECT_THAT(fake.violations(), IsEmpty());
}

TEST_F(FakeLmStudioTest, ModelListsLoadsAndChatsAgreeWithEachOther) {
  FakeModel a{.key = "a/small", .maxContextLength = 4096};
  FakeModel b{.key = "b/big", .type = "vlm", .maxContextLength = 65536};
  fake.setModels({a, b}, {FakeInstance{"b/big", "b/big", 16384}, FakeInstance{"b/big:2", "b/big", 2048}});

  const Json v1 = Json::parse(client.listModels(kWait).body);
  ASSERT_THAT(v1["data"], SizeIs(2));
  EXPECT_EQ(v1["data"][1]["id"], "b/big:2");
  const Json v0 = Json::parse(client.listModelsV0(kWait).body);
  ASSERT_THAT(v0["data"], SizeIs(2));
  EXPECT_EQ(v0["data"][0]["state"], "not-loaded");
  EXPECT_FALSE(v0["data"][0].contains("loaded_context_length"));
  EXPECT_EQ(v0["data"][0]["max_context_length"], 4096);
  EXPECT_EQ(v0["data"][1]["state"], "loaded");
  EXPECT_EQ(v0["data"][1]["loaded_context_length"], 16384);
  const Json api1 = Json::parse(client.listModelsV1(kWait).body);
  EXPECT_THAT(api1["models"][0]["loaded_instances"], IsEmpty());
  EXPECT_EQ(api1["models"][1]["loaded_instances"][1], (Json{{"id", "b/big:2"}, {"config", {{"context_length", 2048}}}}));
  EXPECT_EQ(api1["models"][1]["capabilities"]["vision"], true);

  // Loading takes the lowest free instance number; chat without "model" uses the first loaded,
  // chat naming a model that is not loaded answers 404; unknown names answer 404 too.
  ASSERT_EQ(client.unloadModel("b/big", kWait).status, 200);
  EXPECT_EQ(Json::parse(client.loadModel("b/big", kWait).body)["instance_id"], "b/big");
  EXPECT_EQ(Json::parse(client.chatCompletion(verdictChat().dump(), kWait).body)["model"], "b/big:2");
  Json named = streamedChat();
  named["model"] = "a/small";
  std::string streamed;
  auto sink = [&](std::string_view bytes) { return streamed.append(bytes), true; };
  EXPECT_EQ(client.streamChatCompletion(named.dump(), sink).status, 404);
  ASSERT_EQ(client.loadModel("a/small", kWait).status, 200);
  streamed.clear();
  EXPECT_EQ(client.streamChatCompletion(named.dump(), sink).status, 200);
  EXPECT_THAT(streamed, HasSubstr("\"model\":\"a/small\""));
  EXPECT_EQ(client.loadModel("no/such-model", kWait).status, 404);
  EXPECT_EQ(client.unloadModel("no/such-instance", kWait).status, 404);
  fake.setModels({a}, {});
  EXPECT_THAT(client.chatCompletion(verdictChat().dump(), kWait).body, HasSubstr("No models loaded"));
  EXPECT_THAT(fake.violations(), IsEmpty());
}

TEST_F(FakeLmStudioTest, FaultsApplyByPathAndCountAndStoppingEndsHangs) {
  fake.addFault(FakeFault{.path = "/api/v0/models", .action = FakeFaultAction::Status, .status = 503, .times = 2});
  EXPECT_EQ(client.listModels(kWait).status, 200);  // another path: untouched
  EXPECT_EQ(client.listModelsV0(kWait).status, 503);
  EXPECT_EQ(client.listModelsV0(kWait).status, 503);
  EXPECT_EQ(client.listModelsV0(kWait).status, 200);
  EXPECT_EQ(fake.pendingFaults(), 0u);
  fake.addFault(FakeFault{.action = FakeFaultAction::Status, .status = 418, .times = 0});
  for (int i = 0; i < 3; ++i) EXPECT_EQ(client.listModelsV1(kWait).status, 418);
  fake.clearFaults();
  EXPECT_EQ(client.listModelsV1(kWait).status, 200);
  // A delayed load still changes the state once it answers.
  fake.addFault(FakeFault{.path = "/api/v1/models/load", .delay = milliseconds(50)});
  EXPECT_EQ(client.loadModel("google/gemma-3-4b", kWait).status, 200);
  EXPECT_THAT(fake.loadedInstances(), SizeIs(2));
  const auto seen = fake.requests();
  ASSERT_THAT(seen, SizeIs(9));
  EXPECT_EQ(seen[1].status, 503);
  EXPECT_EQ(seen[3].status, 200);
  EXPECT_THAT(fake.violations(), IsEmpty());

  // Stopping ends every request held by a hang.
  fake.clearRecords();
  fake.addFault(FakeFault{.action = FakeFaultAction::Hang, .times = 0});
  std::atomic<int> failed{0};
  std::vector<std::thread> callers;
  for (int i = 0; i < 3; ++i) callers.emplace_back([&] { failed += !client.listModels(milliseconds(20000)).answered(); });
  ASSERT_TRUE(gateway_test::eventually([&] { return fake.requests().size() == 3; }));
  fake.stop();
  for (auto& t : callers) t.join();
  EXPECT_EQ(failed.load(), 3);
  EXPECT_TRUE(fake.waitForRequests(3, kWait));
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
  auto post = [&](const std::string& path, const Json& body) { return ctl.postJson(path, body.dump(), kWait).status; };
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
  for (const Json& fault : {Json{{"action", "explode"}}, Json{{"delayMs", "soon"}}}) EXPECT_EQ(post("/control/faults", fault), 400);
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
