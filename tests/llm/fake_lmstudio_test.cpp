// The fake LM Studio itself: its contract checks, its HTTP (keep-alive, chunked framing), its
// model state, its faults, its control port and its standalone program.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <regex>
#include <thread>

#include <nlohmann/json.hpp>

#include "server/llm/lmstudio_client.h"
#include "tests/support/fake_lmstudio.h"
#include "tests/support/fake_lmstudio_control.h"

namespace klarion {
namespace {

using ::testing::AllOf;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::SizeIs;
using Json = nlohmann::json;
using std::chrono::milliseconds;

const milliseconds kWait(3000);

// ---- contract checks, without the network ----

MiniHttpRequest makeRequest(std::string method, std::string path, std::string body = "",
                            bool json = true) {
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
  return {{"messages", Json::array({{{"role", "system"}, {"content", "S"}},
                                    {{"role", "user"}, {"content", "Q1"}},
                                    {{"role", "assistant"}, {"content", "A1"}},
                                    {{"role", "user"}, {"content", "Q2"}}})},
          {"stream", true},          {"temperature", 0.7},    {"top_p", 0.9},
          {"frequency_penalty", 0.0}, {"presence_penalty", 0.0}, {"max_tokens", 2048},
          {"repeat_penalty", 1.1}};
}

Json verdictChat() {
  return {{"messages", Json::array({{{"role", "system"}, {"content", "S"}},
                                    {{"role", "user"}, {"content", "Q"}}})},
          {"stream", false},
          {"temperature", 0.0},
          {"max_tokens", 200}};
}

Json imageParts() {
  return Json::array({{{"type", "image_url"}, {"image_url", {{"url", "data:image/png;base64,AAAA"}}}},
                      {{"type", "text"}, {"text", "Que vois-tu ?"}}});
}

TEST(FakeLmStudioContract, SoundRequestsPass) {
  Json withEverything = streamedChat();
  withEverything["seed"] = 42;
  withEverything["model"] = "qwen2.5-7b-instruct";
  withEverything["messages"][1]["content"] = imageParts();  // an earlier image turn, unchanged
  withEverything["messages"][3]["content"] = imageParts();  // this turn's image
  for (const MiniHttpRequest& r : {
           makeRequest("GET", "/v1/models"),
           makeRequest("GET", "/api/v0/models"),
           makeRequest("GET", "/api/v1/models"),
           makeRequest("POST", "/api/v1/models/load", R"({"model":"google/gemma-3-4b"})"),
           makeRequest("POST", "/api/v1/models/unload", R"({"instance_id":"x:2"})"),
           makeRequest("POST", "/v1/chat/completions", streamedChat().dump()),
           makeRequest("POST", "/v1/chat/completions", withEverything.dump()),
           makeRequest("POST", "/v1/chat/completions", verdictChat().dump()),
       }) {
    SCOPED_TRACE(r.method + " " + r.path + " " + r.body);
    EXPECT_THAT(lmStudioContractViolations(r), IsEmpty());
  }
}

TEST(FakeLmStudioContract, BreachesAreNamed) {
  struct Case {
    std::string name;
    MiniHttpRequest request;
    std::string expected;  // a part of the one violation expected
  };
  auto chat = [](const std::function<void(Json&)>& change, Json base = streamedChat()) {
    change(base);
    return makeRequest("POST", "/v1/chat/completions", base.dump());
  };
  auto withHeader = [](MiniHttpRequest r, std::string name, std::string value) {
    r.headers.emplace_back(std::move(name), std::move(value));
    return r;
  };
  MiniHttpRequest http10 = makeRequest("GET", "/v1/models");
  http10.version = "HTTP/1.0";
  MiniHttpRequest noHost = makeRequest("GET", "/v1/models");
  noHost.headers.clear();
  MiniHttpRequest query = makeRequest("GET", "/v1/models");
  query.target = "/v1/models?all=1";
  query.query = "all=1";
  MiniHttpRequest getWithBody = makeRequest("GET", "/api/v0/models");
  getWithBody.body = "{}";
  MiniHttpRequest charset = makeRequest("POST", "/api/v1/models/load", R"({"model":"m"})", false);
  charset.headers.emplace_back("Content-Type", "application/json; charset=utf-8");

  std::vector<Case> cases = {
      {"HTTP/1.0", http10, "uses HTTP/1.0"},
      {"no Host", noHost, "0 Host headers"},
      {"Expect", withHeader(makeRequest("POST", "/api/v1/models/load", R"({"model":"m"})"), "Expect",
                            "100-continue"),
       "Expect: 100-continue"},
      {"Accept", withHeader(makeRequest("GET", "/v1/models"), "Accept", "*/*"), "Accept: */*"},
      {"Accept-Encoding", withHeader(makeRequest("GET", "/v1/models"), "Accept-Encoding", "gzip"),
       "Accept-Encoding"},
      {"query", query, "query string"},
      {"unknown path", makeRequest("GET", "/v1/embeddings"), "not a request the program makes"},
      {"wrong method", makeRequest("POST", "/v1/models", "{}"), "not a request the program makes"},
      {"GET with body", getWithBody, "a GET with a body"},
      {"GET with type", withHeader(makeRequest("GET", "/v1/models"), "Content-Type", "application/json"),
       "a GET with a Content-Type"},
      {"POST without type", makeRequest("POST", "/api/v1/models/load", R"({"model":"m"})", false),
       "no Content-Type"},
      {"type with charset", charset, "expected \"application/json\""},
      {"not JSON", makeRequest("POST", "/api/v1/models/load", "model=m"), "not JSON"},
      {"not an object", makeRequest("POST", "/api/v1/models/load", R"(["m"])"), "expected a JSON object"},
      {"load extra key", makeRequest("POST", "/api/v1/models/load", R"({"model":"m","context_length":8192})"),
       "\"context_length\""},
      {"load number", makeRequest("POST", "/api/v1/models/load", R"({"model":7})"), "expected a string"},
      {"unload without id", makeRequest("POST", "/api/v1/models/unload", R"({})"),
       "lacks the key \"instance_id\""},
      {"stream missing", chat([](Json& j) { j.erase("stream"); }), "\"stream\" is missing"},
      {"top_p missing", chat([](Json& j) { j.erase("top_p"); }), "lacks the key \"top_p\""},
      {"unknown key", chat([](Json& j) { j["logit_bias"] = Json::object(); }), "\"logit_bias\""},
      {"temperature text", chat([](Json& j) { j["temperature"] = "0.7"; }), "\"temperature\" is string"},
      {"max_tokens float", chat([](Json& j) { j["max_tokens"] = 2048.5; }), "expected an integer"},
      {"seed float", chat([](Json& j) { j["seed"] = 1.5; }), "\"seed\" is number"},
      {"model blank", chat([](Json& j) { j["model"] = ""; }), "empty string"},
      {"model untrimmed", chat([](Json& j) { j["model"] = " qwen "; }), "not trimmed"},
      {"system not first", chat([](Json& j) { j["messages"][0]["role"] = "user"; }), "expected \"system\""},
      {"user not last", chat([](Json& j) { j["messages"][3]["role"] = "assistant"; }), "expected \"user\""},
      {"system in history", chat([](Json& j) { j["messages"][1]["role"] = "system"; }),
       "expected \"user\" or \"assistant\""},
      {"extra message key", chat([](Json& j) { j["messages"][1]["name"] = "x"; }), "\"name\""},
      {"content number", chat([](Json& j) { j["messages"][2]["content"] = 3; }), "string or a list"},
      {"history list of text", chat([](Json& j) { j["messages"][2]["content"] = Json::array({"a"}); }),
       "other than objects"},
      {"image parts swapped",
       chat([](Json& j) {
         Json p = imageParts();
         j["messages"][3]["content"] = Json::array({p[1], p[0]});
       }),
       "first part's \"type\" is not \"image_url\""},
      {"image not a data URL",
       chat([](Json& j) {
         Json p = imageParts();
         p[0]["image_url"]["url"] = "http://example.invalid/a.png";
         j["messages"][3]["content"] = p;
       }),
       "not a data URL"},
      {"verdict with model", chat([](Json& j) { j["model"] = "m"; }, verdictChat()), "\"model\""},
      {"verdict with top_p", chat([](Json& j) { j["top_p"] = 0.9; }, verdictChat()), "\"top_p\""},
      {"verdict with history",
       chat([](Json& j) { j["messages"].insert(j["messages"].begin() + 1, Json{{"role", "assistant"}, {"content", "x"}}); },
            verdictChat()),
       "has 3 messages"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_THAT(lmStudioContractViolations(c.request), Contains(HasSubstr(c.expected)));
  }
}

// ---- over the network ----

// One connection to the fake for raw exchanges.
class RawConnection {
 public:
  explicit RawConnection(std::uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~RawConnection() { ::close(fd_); }
  bool connected() const { return connected_; }
  void send(const std::string& bytes) { ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
  // Reads until `marker` has been seen after `from`, the peer closes, or the wait runs out.
  std::string readUntil(const std::string& marker, milliseconds wait = kWait) {
    auto deadline = std::chrono::steady_clock::now() + wait;
    while (buffer_.find(marker) == std::string::npos) {
      auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      char chunk[4096];
      ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
      if (n <= 0) break;
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
    std::size_t end = buffer_.find(marker);
    end = end == std::string::npos ? buffer_.size() : end + marker.size();
    std::string out = buffer_.substr(0, end);
    buffer_.erase(0, end);
    return out;
  }
  // Reads one response with a Content-Length body.
  std::string readResponse() {
    std::string head = readUntil("\r\n\r\n");
    std::smatch m;
    if (!std::regex_search(head, m, std::regex("Content-Length: (\\d+)\r\n"))) return head;
    const std::size_t length = std::stoul(m[1].str());
    auto deadline = std::chrono::steady_clock::now() + kWait;
    while (buffer_.size() < length && std::chrono::steady_clock::now() < deadline) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 100) < 0) break;
      if (p.revents == 0) continue;
      char chunk[4096];
      ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
      if (n <= 0) break;
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
    std::string body = buffer_.substr(0, std::min(length, buffer_.size()));
    buffer_.erase(0, body.size());
    return head + body;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
  std::string buffer_;
};

class FakeLmStudioTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fake.start());
    client = std::make_unique<LmStudioClient>(fake.baseUrl());
  }
  FakeLmStudio fake;
  std::unique_ptr<LmStudioClient> client;
};

TEST_F(FakeLmStudioTest, KeepsTheConnectionForTheNextRequest) {
  RawConnection c(fake.port());
  ASSERT_TRUE(c.connected());
  c.send("GET /v1/models HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  std::string first = c.readResponse();
  c.send("GET /api/v1/models HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  std::string second = c.readResponse();
  EXPECT_THAT(first, AllOf(HasSubstr("HTTP/1.1 200 OK\r\n"), HasSubstr("Connection: keep-alive"),
                           HasSubstr("\"owned_by\":\"organization_owner\"")));
  EXPECT_THAT(second, HasSubstr("\"loaded_instances\""));
  ASSERT_TRUE(fake.waitForRequests(2, kWait));
  auto seen = fake.requests();
  EXPECT_EQ(seen[0].connection, seen[1].connection);
  EXPECT_THAT(fake.violations(), IsEmpty());
}

TEST_F(FakeLmStudioTest, StreamsEventsInChunksOfTheScriptedSizes) {
  FakeChatReply reply;
  reply.pieces = {"Bon", "jour"};
  reply.cuts = {10, 3};
  fake.setChatReply(reply);
  const std::string body = streamedChat().dump();
  RawConnection c(fake.port());
  c.send("POST /v1/chat/completions HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n"
         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
  std::string raw = c.readUntil("\r\n0\r\n\r\n");
  EXPECT_THAT(raw, AllOf(HasSubstr("Content-Type: text/event-stream\r\n"),
                         HasSubstr("Transfer-Encoding: chunked\r\n")));
  // Undo the chunk framing by hand, checking each chunk's size.
  std::size_t pos = raw.find("\r\n\r\n") + 4;
  std::string payload;
  std::vector<std::size_t> sizes;
  while (pos < raw.size()) {
    std::size_t eol = raw.find("\r\n", pos);
    std::size_t size = std::stoul(raw.substr(pos, eol - pos), nullptr, 16);
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
  std::vector<std::string> events;
  for (std::size_t p = 0, e; (e = payload.find("\n\n", p)) != std::string::npos; p = e + 2) {
    events.push_back(payload.substr(p, e - p));
  }
  ASSERT_THAT(events, SizeIs(4));
  Json first = Json::parse(events[0].substr(6));
  EXPECT_EQ(first["object"], "chat.completion.chunk");
  EXPECT_EQ(first["choices"][0]["delta"]["role"], "assistant");
  EXPECT_EQ(first["choices"][0]["delta"]["content"], "Bon");
  EXPECT_EQ(Json::parse(events[1].substr(6))["choices"][0]["delta"]["content"], "jour");
  EXPECT_EQ(Json::parse(events[2].substr(6))["choices"][0]["finish_reason"], "stop");
  EXPECT_EQ(events[3], "data: [DONE]");
  EXPECT_THAT(fake.violations(), IsEmpty());
}

TEST_F(FakeLmStudioTest, RawStreamsAreSentAsScripted) {
  FakeChatReply reply;
  reply.rawStream = "data: {\"choices\":[{\"delta\":{\"content\":\"é\"}}]}\n\ndata: [DONE]\n\n";
  fake.setChatReply(reply);
  std::string all;
  auto r = client->streamChatCompletion(streamedChat().dump(), [&](std::string_view b) {
    all.append(b);
    return true;
  });
  EXPECT_FALSE(r.transportFailed());
  EXPECT_EQ(all, *reply.rawStream);
  EXPECT_THAT(fake.violations(), IsEmpty());
}

TEST_F(FakeLmStudioTest, UnreadableRequestsAreViolations) {
  RawConnection c(fake.port());
  c.send("HELLO\r\n\r\n");
  EXPECT_THAT(c.readUntil("bad request\n"), HasSubstr("400 Bad Request"));
  RawConnection chunked(fake.port());
  chunked.send("POST /v1/chat/completions HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n");
  EXPECT_THAT(chunked.readUntil("bad request\n"), HasSubstr("400 Bad Request"));
  auto v = fake.violations();
  ASSERT_THAT(v, SizeIs(2));
  EXPECT_THAT(v[0], HasSubstr("bad request line"));
  EXPECT_THAT(v[1], HasSubstr("Transfer-Encoding"));
}

TEST_F(FakeLmStudioTest, UnknownEndpointsAnswer404AndAreViolations) {
  LmReply r = client->get("/v1/embeddings", kWait);
  EXPECT_EQ(r.status, 404);
  EXPECT_EQ(Json::parse(r.body)["error"], "Unexpected endpoint or method. (GET /v1/embeddings)");
  EXPECT_THAT(fake.violations(), ElementsAre(HasSubstr("not a request the program makes")));
  fake.clearRecords();
  EXPECT_THAT(fake.violations(), IsEmpty());
  EXPECT_THAT(fake.requests(), IsEmpty());
}

TEST_F(FakeLmStudioTest, ModelListsAgreeWithEachOther) {
  FakeModel a;
  a.key = "a/small";
  a.maxContextLength = 4096;
  FakeModel b;
  b.key = "b/big";
  b.type = "vlm";
  b.maxContextLength = 65536;
  fake.setModels({a, b}, {FakeInstance{"b/big", "b/big", 16384}, FakeInstance{"b/big:2", "b/big", 2048}});

  Json v1 = Json::parse(client->listModels(kWait).body);
  ASSERT_THAT(v1["data"], SizeIs(2));
  EXPECT_EQ(v1["data"][0]["id"], "b/big");
  EXPECT_EQ(v1["data"][1]["id"], "b/big:2");

  Json v0 = Json::parse(client->listModelsV0(kWait).body);
  ASSERT_THAT(v0["data"], SizeIs(2));
  EXPECT_EQ(v0["data"][0]["state"], "not-loaded");
  EXPECT_FALSE(v0["data"][0].contains("loaded_context_length"));
  EXPECT_EQ(v0["data"][0]["max_context_length"], 4096);
  EXPECT_EQ(v0["data"][1]["state"], "loaded");
  EXPECT_EQ(v0["data"][1]["type"], "vlm");
  EXPECT_EQ(v0["data"][1]["loaded_context_length"], 16384);

  Json api1 = Json::parse(client->listModelsV1(kWait).body);
  EXPECT_THAT(api1["models"][0]["loaded_instances"], IsEmpty());
  EXPECT_EQ(api1["models"][1]["loaded_instances"][1]["id"], "b/big:2");
  EXPECT_EQ(api1["models"][1]["loaded_instances"][1]["config"]["context_length"], 2048);
  EXPECT_EQ(api1["models"][1]["capabilities"]["vision"], true);

  // Loading takes the lowest free instance number; chat without "model" uses the first loaded.
  ASSERT_EQ(client->unloadModel("b/big", kWait).status, 200);
  EXPECT_EQ(Json::parse(client->loadModel("b/big", kWait).body)["instance_id"], "b/big");
  LmReply chat = client->chatCompletion(verdictChat().dump(), kWait);
  EXPECT_EQ(Json::parse(chat.body)["model"], "b/big:2");
  EXPECT_THAT(fake.violations(), IsEmpty());
}

TEST_F(FakeLmStudioTest, ChatNamesTheModelItWasAskedFor) {
  Json body = streamedChat();
  body["model"] = "google/gemma-3-4b";
  std::string all;
  auto sink = [&](std::string_view b) {
    all.append(b);
    return true;
  };
  auto r = client->streamChatCompletion(body.dump(), sink);
  EXPECT_EQ(r.status, 404);  // not loaded
  ASSERT_EQ(client->loadModel("google/gemma-3-4b", kWait).status, 200);
  all.clear();
  r = client->streamChatCompletion(body.dump(), sink);
  EXPECT_EQ(r.status, 200);
  EXPECT_THAT(all, HasSubstr("\"model\":\"google/gemma-3-4b\""));
  EXPECT_THAT(fake.violations(), IsEmpty());
}

TEST_F(FakeLmStudioTest, FaultsApplyByPathAndCount) {
  FakeFault twice;
  twice.path = "/api/v0/models";
  twice.action = FakeFaultAction::Status;
  twice.status = 503;
  twice.times = 2;
  fake.addFault(twice);
  EXPECT_EQ(client->listModels(kWait).status, 200);  // another path: untouched
  EXPECT_EQ(client->listModelsV0(kWait).status, 503);
  EXPECT_EQ(client->listModelsV0(kWait).status, 503);
  EXPECT_EQ(client->listModelsV0(kWait).status, 200);
  EXPECT_EQ(fake.pendingFaults(), 0u);

  FakeFault always;
  always.action = FakeFaultAction::Status;
  always.status = 418;
  always.times = 0;
  fake.addFault(always);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(client->listModelsV1(kWait).status, 418);
  fake.clearFaults();
  EXPECT_EQ(client->listModelsV1(kWait).status, 200);

  // A delayed load still changes the state once it answers.
  FakeFault slow;
  slow.path = "/api/v1/models/load";
  slow.delay = milliseconds(50);
  fake.addFault(slow);
  EXPECT_EQ(client->loadModel("google/gemma-3-4b", kWait).status, 200);
  EXPECT_THAT(fake.loadedInstances(), SizeIs(2));

  auto seen = fake.requests();
  ASSERT_THAT(seen, SizeIs(9));
  EXPECT_EQ(seen[1].status, 503);
  EXPECT_EQ(seen[3].status, 200);
  EXPECT_THAT(fake.violations(), IsEmpty());
}

TEST_F(FakeLmStudioTest, RefusesAndListensAgainOnTheSamePort) {
  const auto port = fake.port();
  ASSERT_TRUE(fake.setRefusing(true));
  EXPECT_TRUE(fake.refusing());
  EXPECT_FALSE(RawConnection(port).connected());
  ASSERT_TRUE(fake.setRefusing(false));
  EXPECT_EQ(fake.port(), port);
  EXPECT_TRUE(RawConnection(port).connected());
  EXPECT_EQ(client->listModels(kWait).status, 200);
}

TEST_F(FakeLmStudioTest, StoppingEndsHangingRequests) {
  FakeFault hang;
  hang.action = FakeFaultAction::Hang;
  hang.times = 0;
  fake.addFault(hang);
  std::vector<std::thread> callers;
  std::atomic<int> failed{0};
  for (int i = 0; i < 3; ++i) {
    callers.emplace_back([&] {
      if (!client->listModels(milliseconds(20000)).answered()) ++failed;
    });
  }
  // Wait until the three requests are in, then stop: every caller gets a failure.
  for (int i = 0; i < 200 && fake.requests().size() < 3; ++i) std::this_thread::sleep_for(milliseconds(10));
  ASSERT_THAT(fake.requests(), SizeIs(3));
  fake.stop();
  for (auto& t : callers) t.join();
  EXPECT_EQ(failed.load(), 3);
  EXPECT_TRUE(fake.waitForRequests(3, kWait));
}

// ---- control port ----

class FakeControlTest : public FakeLmStudioTest {
 protected:
  void SetUp() override {
    FakeLmStudioTest::SetUp();
    ASSERT_TRUE(control.start());
    ctl = std::make_unique<LmStudioClient>("http://127.0.0.1:" + std::to_string(control.port()));
  }
  Json getJson(const std::string& path) {
    LmReply r = ctl->get(path, kWait);
    EXPECT_EQ(r.status, 200) << path << ": " << r.body;
    return Json::parse(r.body, nullptr, false);
  }
  int post(const std::string& path, const Json& body) { return ctl->postJson(path, body.dump(), kWait).status; }

  FakeLmStudioControl control{fake};
  std::unique_ptr<LmStudioClient> ctl;
};

TEST_F(FakeControlTest, ScriptsModelsRepliesAndFaults) {
  EXPECT_EQ(post("/control/models", {{"models", {{{"key", "m/one"}, {"maxContextLength", 4096}}}},
                                     {"loaded", {{{"id", "m/one"}, {"contextLength", 1024}}}}}),
            200);
  Json v0 = Json::parse(client->listModelsV0(kWait).body);
  EXPECT_EQ(v0["data"][0]["id"], "m/one");
  EXPECT_EQ(v0["data"][0]["loaded_context_length"], 1024);

  EXPECT_EQ(post("/control/reply", {{"content", "{\"danger\": true}"}}), 200);
  LmReply chat = client->chatCompletion(verdictChat().dump(), kWait);
  EXPECT_EQ(Json::parse(chat.body)["choices"][0]["message"]["content"], "{\"danger\": true}");

  EXPECT_EQ(post("/control/faults", Json::array({{{"path", "/v1/models"}, {"action", "status"},
                                                  {"status", 500}, {"body", "{}"}},
                                                 {{"path", "/v1/models"}, {"action", "reset"}}})),
            200);
  EXPECT_EQ(getJson("/control/state")["pendingFaults"], 2);
  EXPECT_EQ(client->listModels(kWait).status, 500);
  EXPECT_EQ(client->listModels(kWait).error, LmTransportError::Reset);

  EXPECT_EQ(post("/control/faults", {{"action", "hang"}, {"times", 0}}), 200);
  EXPECT_EQ(post("/control/clear-faults", Json::object()), 200);
  EXPECT_EQ(client->listModels(kWait).status, 200);

  EXPECT_EQ(post("/control/refuse", {{"refusing", true}}), 200);
  EXPECT_EQ(getJson("/control/state")["refusing"], true);
  EXPECT_EQ(client->listModels(kWait).error, LmTransportError::Refused);
  EXPECT_EQ(post("/control/refuse", {{"refusing", false}}), 200);

  Json requests = getJson("/control/requests");
  ASSERT_THAT(requests, SizeIs(5));
  EXPECT_EQ(requests[1]["path"], "/v1/chat/completions");
  EXPECT_EQ(requests[1]["body"], verdictChat().dump());
  EXPECT_EQ(requests[2]["status"], 500);
  EXPECT_TRUE(requests[0]["receivedMs"].is_number_integer());
  EXPECT_THAT(getJson("/control/violations"), IsEmpty());

  client->get("/nowhere", kWait);
  EXPECT_THAT(getJson("/control/violations"), SizeIs(1));
  EXPECT_EQ(post("/control/clear", Json::object()), 200);
  EXPECT_THAT(getJson("/control/requests"), IsEmpty());
  EXPECT_THAT(getJson("/control/violations"), IsEmpty());
}

TEST_F(FakeControlTest, RefusesBodiesThatDoNotFit) {
  EXPECT_EQ(post("/control/faults", {{"action", "explode"}}), 400);
  EXPECT_EQ(post("/control/faults", {{"delayMs", "soon"}}), 400);
  EXPECT_EQ(post("/control/models", {{"models", {{{"type", "llm"}}}}}), 400);
  EXPECT_EQ(post("/control/reply", Json::array()), 400);
  EXPECT_EQ(ctl->postJson("/control/reply", "{", kWait).status, 400);
  EXPECT_EQ(post("/control/unknown", Json::object()), 404);
  EXPECT_EQ(fake.pendingFaults(), 0u);
}

// ---- the standalone program ----

TEST(FakeLmStudioProgram, RunsWithAControlPortAndQuitsOnRequest) {
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::dup2(out[1], 1);
    ::close(out[0]);
    ::close(out[1]);
    ::execl(FAKE_LMSTUDIO_PROGRAM, FAKE_LMSTUDIO_PROGRAM, static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(out[1]);
  std::string text;
  auto deadline = std::chrono::steady_clock::now() + milliseconds(10000);
  while (text.find("control on ") == std::string::npos || text.back() != '\n') {
    pollfd p{out[0], POLLIN, 0};
    if (std::chrono::steady_clock::now() > deadline || ::poll(&p, 1, 200) < 0) break;
    char buf[256];
    if (p.revents == 0) continue;
    ssize_t n = ::read(out[0], buf, sizeof buf);
    if (n <= 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  ::close(out[0]);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(text, m, std::regex("listening on (\\d+)\ncontrol on (\\d+)\n"))) << text;
  LmStudioClient lm("http://127.0.0.1:" + m[1].str());
  LmStudioClient ctl("http://127.0.0.1:" + m[2].str());

  EXPECT_EQ(lm.listModels(kWait).status, 200);
  LmReply violations = ctl.get("/control/violations", kWait);
  EXPECT_EQ(violations.body, "[]");
  EXPECT_EQ(Json::parse(ctl.get("/control/requests", kWait).body).size(), 1u);
  EXPECT_EQ(ctl.postJson("/control/quit", "{}", kWait).status, 200);

  int status = -1;
  for (int i = 0; i < 500; ++i) {
    if (::waitpid(pid, &status, WNOHANG) == pid) break;
    std::this_thread::sleep_for(milliseconds(10));
    status = -1;
  }
  if (status == -1) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    FAIL() << "fake-lmstudio did not end after /control/quit";
  }
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace klarion
