// The LM Studio client against the fake LM Studio: every call, every fault, the stream's idle
// time-out and abort, and byte-identical delivery of streamed bodies cut anywhere.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <future>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>

#include <nlohmann/json.hpp>

#include "server/llm/lmstudio_client.h"
#include "tests/support/fake_lmstudio.h"

namespace klarion {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using Json = nlohmann::json;
using std::chrono::milliseconds;

// A streamed chat request as the chat endpoint builds it.
std::string streamRequest(const std::string& text = "Bonjour", const std::string& userContentJson = "") {
  Json body = {{"messages", Json::array({{{"role", "system"}, {"content", "Tu es un assistant."}},
                                         {{"role", "user"}, {"content", text}}})},
               {"stream", true},
               {"temperature", 0.7},
               {"top_p", 0.9},
               {"frequency_penalty", 0.0},
               {"presence_penalty", 0.0},
               {"max_tokens", 2048},
               {"repeat_penalty", 1.1}};
  if (!userContentJson.empty()) body["messages"][1]["content"] = Json::parse(userContentJson);
  return body.dump();
}

// A not-streamed request as the safety verdict builds it.
std::string verdictRequest(const std::string& text) {
  Json body = {{"messages", Json::array({{{"role", "system"}, {"content", "Tu es un filtre."}},
                                         {{"role", "user"}, {"content", text}}})},
               {"stream", false},
               {"temperature", 0.0},
               {"max_tokens", 200}};
  return body.dump();
}

std::set<std::string> headerNames(const FakeRecordedRequest& r) {
  std::set<std::string> names;
  for (const auto& h : r.headers) {
    std::string n = h.first;
    for (auto& c : n) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    names.insert(n);
  }
  return names;
}

LmStudioTimeouts shortTimeouts() {
  LmStudioTimeouts t;
  t.statusProbe = t.startPrecheck = t.contextQuery = t.modelLists = milliseconds(2000);
  t.loadedInstances = t.unload = t.load = t.safetyVerdict = milliseconds(2000);
  t.streamIdle = milliseconds(2000);
  return t;
}

class LmStudioClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fake.start());
    client = std::make_unique<LmStudioClient>(fake.baseUrl(), shortTimeouts());
  }
  void TearDown() override {
    fake.stop();
    EXPECT_THAT(fake.violations(), IsEmpty());
  }

  // Runs a stream and collects the chunks handed to the sink.
  LmStreamResult stream(std::vector<std::string>& chunks, milliseconds idle = milliseconds(2000),
                        const std::string& body = streamRequest()) {
    return client->streamChatCompletion(
        body,
        [&](std::string_view bytes) {
          chunks.emplace_back(bytes);
          return true;
        },
        idle);
  }

  static std::string joined(const std::vector<std::string>& chunks) {
    std::string all;
    for (const auto& c : chunks) all += c;
    return all;
  }

  FakeLmStudio fake;
  std::unique_ptr<LmStudioClient> client;
};

const milliseconds kShort(2000);

// ---- configuration ----

TEST(LmStudioClientConfig, DefaultsAreTheProgramsOwn) {
  LmStudioClient client;
  EXPECT_EQ(client.baseUrl(), "http://127.0.0.1:1234");
  const LmStudioTimeouts& t = client.timeouts();
  EXPECT_EQ(t.statusProbe, milliseconds(1000));
  EXPECT_EQ(t.startPrecheck, milliseconds(2000));
  EXPECT_EQ(t.contextQuery, milliseconds(2000));
  EXPECT_EQ(t.modelLists, milliseconds(3000));
  EXPECT_EQ(t.loadedInstances, milliseconds(5000));
  EXPECT_EQ(t.unload, milliseconds(30000));
  EXPECT_EQ(t.load, milliseconds(120000));
  EXPECT_EQ(t.safetyVerdict, milliseconds(25000));
  EXPECT_EQ(t.streamIdle, milliseconds(60000));
}

TEST(LmStudioClientConfig, AddressesThatFormNoUrlSendNothing) {
  FakeLmStudio fake;
  ASSERT_TRUE(fake.start());
  const std::string port = std::to_string(fake.port());
  for (const std::string& base : {std::string("ftp://127.0.0.1:") + port, std::string("http://"),
                                 std::string("127.0.0.1:") + port,
                                 std::string("http://127.0.0.1:") + port + "/api",
                                 std::string("http://127.0.0.1:") + port + "?x=1",
                                 std::string("http://127.0.0.1 :") + port, std::string("")}) {
    SCOPED_TRACE(base);
    LmStudioClient client(base);
    EXPECT_EQ(client.listModels(kShort).error, LmTransportError::InvalidAddress);
    std::vector<std::string> chunks;
    auto r = client.streamChatCompletion(streamRequest(), [&](std::string_view b) {
      chunks.emplace_back(b);
      return true;
    });
    EXPECT_EQ(r.error, LmTransportError::InvalidAddress);
    EXPECT_TRUE(chunks.empty());
  }
  LmStudioClient client(fake.baseUrl());
  EXPECT_EQ(client.get("models", kShort).error, LmTransportError::InvalidAddress);
  EXPECT_EQ(client.get("/v1/models x", kShort).error, LmTransportError::InvalidAddress);
  EXPECT_TRUE(fake.requests().empty());

  // A trailing slash is dropped, not doubled.
  LmStudioClient slash(fake.baseUrl() + "/");
  EXPECT_EQ(slash.baseUrl(), fake.baseUrl());
  EXPECT_EQ(slash.listModels(kShort).status, 200);
  EXPECT_EQ(fake.requests().at(0).target, "/v1/models");
  EXPECT_THAT(fake.violations(), IsEmpty());
}

// ---- plain calls ----

TEST_F(LmStudioClientTest, EveryPlainCallSendsItsRequestAndReturnsTheAnswer) {
  struct Case {
    std::string name;
    std::function<LmReply()> call;
    std::string method;
    std::string path;
    std::string body;  // expected request body
  };
  const std::string verdict = verdictRequest("J'ai peur");
  std::vector<Case> cases = {
      {"listModels", [&] { return client->listModels(kShort); }, "GET", "/v1/models", ""},
      {"listModelsV0", [&] { return client->listModelsV0(kShort); }, "GET", "/api/v0/models", ""},
      {"listModelsV1", [&] { return client->listModelsV1(kShort); }, "GET", "/api/v1/models", ""},
      {"loadModel", [&] { return client->loadModel("google/gemma-3-4b", kShort); }, "POST",
       "/api/v1/models/load", R"({"model":"google/gemma-3-4b"})"},
      {"unloadModel", [&] { return client->unloadModel("google/gemma-3-4b", kShort); }, "POST",
       "/api/v1/models/unload", R"({"instance_id":"google/gemma-3-4b"})"},
      {"chatCompletion", [&] { return client->chatCompletion(verdict, kShort); }, "POST",
       "/v1/chat/completions", verdict},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.name);
    LmReply reply = c.call();
    ASSERT_TRUE(reply.answered()) << reply.errorText;
    EXPECT_EQ(reply.status, 200);
    EXPECT_TRUE(Json::accept(reply.body)) << reply.body;

    ASSERT_TRUE(fake.waitForRequests(i + 1, kShort));
    FakeRecordedRequest seen = fake.requests().at(i);
    EXPECT_EQ(seen.method, c.method);
    EXPECT_EQ(seen.target, c.path);
    EXPECT_EQ(seen.body, c.body);
    EXPECT_EQ(reply.body, seen.emitted);
    if (c.method == "POST") {
      EXPECT_EQ(headerNames(seen), (std::set<std::string>{"host", "content-length", "content-type"}));
      EXPECT_EQ(*seen.header("Content-Type"), "application/json");
    } else {
      EXPECT_EQ(headerNames(seen), std::set<std::string>{"host"});
    }
  }
}

TEST_F(LmStudioClientTest, AnswersFollowTheModelState) {
  auto v0 = [&] { return Json::parse(client->listModelsV0(kShort).body); };
  auto stateOf = [&](const std::string& id) {
    const Json list = v0();
    for (const auto& m : list["data"]) {
      if (m["id"] == id) return m["state"].get<std::string>();
    }
    return std::string("absent");
  };
  EXPECT_EQ(stateOf("google/gemma-3-4b"), "not-loaded");

  LmReply load = client->loadModel("google/gemma-3-4b", kShort);
  EXPECT_EQ(Json::parse(load.body)["status"], "loaded");
  EXPECT_EQ(stateOf("google/gemma-3-4b"), "loaded");
  LmReply again = client->loadModel("google/gemma-3-4b", kShort);
  EXPECT_EQ(Json::parse(again.body)["instance_id"], "google/gemma-3-4b:2");

  Json v1 = Json::parse(client->listModelsV1(kShort).body);
  std::vector<std::string> ids;
  for (const auto& m : v1["models"]) {
    for (const auto& inst : m["loaded_instances"]) ids.push_back(inst["id"]);
  }
  EXPECT_THAT(ids, ElementsAre("qwen2.5-7b-instruct", "google/gemma-3-4b", "google/gemma-3-4b:2"));
  EXPECT_EQ(Json::parse(client->listModels(kShort).body)["data"].size(), 3u);

  for (const auto& id : ids) EXPECT_EQ(client->unloadModel(id, kShort).status, 200);
  EXPECT_TRUE(Json::parse(client->listModels(kShort).body)["data"].empty());
  EXPECT_EQ(stateOf("google/gemma-3-4b"), "not-loaded");

  // Unknown names are answers with an error status, not transport failures.
  LmReply unknownLoad = client->loadModel("no/such-model", kShort);
  EXPECT_TRUE(unknownLoad.answered());
  EXPECT_EQ(unknownLoad.status, 404);
  EXPECT_TRUE(Json::parse(unknownLoad.body).contains("error"));
  EXPECT_EQ(client->unloadModel("qwen2.5-7b-instruct", kShort).status, 404);
}

TEST_F(LmStudioClientTest, AnyStatusAndAnyBodyIsAnAnswer) {
  struct Case {
    int status;
    std::string body;
  };
  for (const Case& c : {Case{500, R"({"error":"boom"})"}, Case{400, R"({"error":"context overflow"})"},
                        Case{200, "this is not JSON {"}, Case{201, ""}, Case{503, "\x01\x02\xff"}}) {
    SCOPED_TRACE(c.status);
    FakeFault f;
    f.path = "/v1/models";
    f.action = FakeFaultAction::Status;
    f.status = c.status;
    f.body = c.body;
    fake.addFault(f);
    LmReply reply = client->listModels(kShort);
    EXPECT_TRUE(reply.answered()) << reply.errorText;
    EXPECT_EQ(reply.status, c.status);
    EXPECT_EQ(reply.body, c.body);
  }
}

TEST_F(LmStudioClientTest, TransportFailuresAreToldApart) {
  struct Case {
    std::string name;
    FakeFault fault;
    LmTransportError expected;
  };
  auto fault = [](FakeFaultAction a, milliseconds delay = milliseconds(0), std::string body = "") {
    FakeFault f;
    f.action = a;
    f.delay = delay;
    f.body = std::move(body);
    return f;
  };
  std::vector<Case> cases = {
      {"hang", fault(FakeFaultAction::Hang), LmTransportError::TimedOut},
      {"late answer", fault(FakeFaultAction::Answer, milliseconds(4000)), LmTransportError::TimedOut},
      {"close", fault(FakeFaultAction::Close), LmTransportError::Closed},
      {"reset", fault(FakeFaultAction::Reset), LmTransportError::Reset},
      {"not HTTP", fault(FakeFaultAction::Raw, milliseconds(0), "SSH-2.0-OpenSSH_9.2\r\n\r\n"),
       LmTransportError::Malformed},
      {"body cut short",
       fault(FakeFaultAction::Raw, milliseconds(0),
             "HTTP/1.1 200 OK\r\nContent-Length: 100\r\nContent-Type: application/json\r\n\r\n{\"data\":"),
       LmTransportError::Closed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake.addFault(c.fault);
    LmReply reply = client->listModels(milliseconds(1000));
    EXPECT_EQ(reply.error, c.expected) << lmTransportErrorName(reply.error) << ": " << reply.errorText;
    EXPECT_FALSE(reply.answered());
    EXPECT_FALSE(reply.errorText.empty());
  }

  ASSERT_TRUE(fake.setRefusing(true));
  LmReply refused = client->listModels(kShort);
  EXPECT_EQ(refused.error, LmTransportError::Refused) << refused.errorText;
  EXPECT_EQ(refused.status, 0);
  ASSERT_TRUE(fake.setRefusing(false));
  EXPECT_TRUE(client->listModels(kShort).answered());
}

TEST_F(LmStudioClientTest, AnAnswerWithinTheTimeOutIsWaitedFor) {
  FakeFault f;
  f.action = FakeFaultAction::Answer;
  f.delay = milliseconds(100);
  fake.addFault(f);
  LmReply reply = client->loadModel("google/gemma-3-4b", milliseconds(3000));
  EXPECT_TRUE(reply.answered()) << reply.errorText;
  EXPECT_EQ(reply.status, 200);
}

TEST_F(LmStudioClientTest, CompressedBodiesAreHandedOverAsSent) {
  const std::string gzipped("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03\x01\x02", 12);
  FakeFault f;
  f.action = FakeFaultAction::Raw;
  f.body = "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: 12\r\n\r\n" + gzipped;
  fake.addFault(f);
  LmReply reply = client->listModels(kShort);
  EXPECT_TRUE(reply.answered()) << reply.errorText;
  EXPECT_EQ(reply.body, gzipped);
}

TEST_F(LmStudioClientTest, ProxySettingsOfTheEnvironmentAreIgnored) {
  const char* vars[] = {"http_proxy", "HTTP_PROXY", "ALL_PROXY", "all_proxy"};
  for (const char* v : vars) setenv(v, "http://127.0.0.1:9", 1);
  unsetenv("no_proxy");
  unsetenv("NO_PROXY");
  LmReply reply = client->listModels(kShort);
  std::vector<std::string> chunks;
  LmStreamResult streamed = stream(chunks);
  for (const char* v : vars) unsetenv(v);
  EXPECT_TRUE(reply.answered()) << reply.errorText;
  EXPECT_EQ(reply.status, 200);
  EXPECT_FALSE(streamed.transportFailed()) << streamed.errorText;
  EXPECT_EQ(fake.requests().size(), 2u);
}

TEST_F(LmStudioClientTest, LargeBodiesGoWithoutExpectContinue) {
  // A photo sent with a message: several megabytes of Base64 in one request.
  const std::string base64(3 << 20, 'A');
  const std::string parts = Json::array({{{"type", "image_url"},
                                          {"image_url", {{"url", "data:image/png;base64," + base64}}}},
                                         {{"type", "text"}, {"text", "Que vois-tu ?"}}})
                                .dump();
  const std::string body = streamRequest("", parts);
  std::vector<std::string> chunks;
  LmStreamResult r = stream(chunks, milliseconds(20000), body);  // the fake reads it slowly under sanitizers
  EXPECT_FALSE(r.transportFailed()) << r.errorText;
  ASSERT_EQ(fake.requests().size(), 1u);
  EXPECT_EQ(fake.requests()[0].body, body);
  EXPECT_EQ(fake.requests()[0].header("Expect"), nullptr);
}

TEST_F(LmStudioClientTest, OversizedPlainAnswersAreRefused) {
  FakeFault f;
  f.action = FakeFaultAction::Status;
  f.status = 200;
  f.body.assign(LmStudioClient::kMaxReplyBytes + 1, 'x');
  fake.addFault(f);
  LmReply reply = client->listModelsV0(milliseconds(10000));
  EXPECT_EQ(reply.error, LmTransportError::TooLarge);
  EXPECT_LE(reply.body.size(), LmStudioClient::kMaxReplyBytes);
}

TEST_F(LmStudioClientTest, OneClientServesManyThreadsAtOnce) {
  constexpr int kThreads = 8;
  constexpr int kCalls = 10;
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kCalls; ++i) {
        if (t % 2 == 0) {
          LmReply r = client->listModelsV1(kShort);
          if (r.status == 200 && Json::parse(r.body).contains("models")) ++good;
        } else {
          std::string all;
          auto r = client->streamChatCompletion(streamRequest("n° " + std::to_string(i)),
                                                [&](std::string_view b) {
                                                  all.append(b);
                                                  return true;
                                                });
          if (r.status == 200 && !r.transportFailed() && all.find("data: [DONE]") != std::string::npos) {
            ++good;
          }
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(good.load(), kThreads * kCalls);
}

// ---- not-streamed chat ----

TEST_F(LmStudioClientTest, NotStreamedChatCarriesTheScriptedContent) {
  FakeChatReply reply;
  reply.content = R"({"danger": true, "motif": "harcèlement grave"})";
  fake.setChatReply(reply);
  LmReply r = client->chatCompletion(verdictRequest("On se moque de moi tous les jours"), kShort);
  ASSERT_EQ(r.status, 200);
  Json j = Json::parse(r.body);
  EXPECT_EQ(j["choices"][0]["message"]["content"], reply.content);
  EXPECT_EQ(j["object"], "chat.completion");
  EXPECT_TRUE(j.contains("usage"));
}

// ---- streamed chat ----

// Chunk size patterns: the body is cut at these sizes, in turn.
class StreamCutTest : public LmStudioClientTest,
                      public ::testing::WithParamInterface<std::vector<std::size_t>> {};

TEST_P(StreamCutTest, TheBodyArrivesByteForByteAsSent) {
  FakeChatReply reply;
  // Multi-byte characters and a reasoning span, so that cuts fall inside characters and tags.
  reply.pieces = {"<think>L'élève", " demande…</think>", "Bonjour 👋 ! ", "Voici « la » réponse.\n",
                  "Fin ⏸️"};
  reply.cuts = GetParam();
  fake.setChatReply(reply);

  std::vector<std::string> chunks;
  LmStreamResult r = stream(chunks);
  ASSERT_FALSE(r.transportFailed()) << r.errorText;
  EXPECT_EQ(r.status, 200);
  ASSERT_TRUE(fake.waitForRequests(1, kShort));
  const std::string emitted = fake.requests().at(0).emitted;
  EXPECT_EQ(joined(chunks), emitted);
  EXPECT_EQ(r.bytes, emitted.size());
  EXPECT_THAT(emitted, HasSubstr("data: [DONE]\n\n"));
  EXPECT_FALSE(chunks.empty());
}

std::vector<std::size_t> seededCuts(unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<std::size_t> size(1, 97);
  std::vector<std::size_t> cuts(64);
  for (auto& c : cuts) c = size(rng);
  return cuts;
}

INSTANTIATE_TEST_SUITE_P(Cuts, StreamCutTest,
                         ::testing::Values(std::vector<std::size_t>{},                // one per event
                                           std::vector<std::size_t>{1},               // byte by byte
                                           std::vector<std::size_t>{2, 3, 5, 7, 11},  // primes
                                           std::vector<std::size_t>{4096},            // big pieces
                                           seededCuts(1), seededCuts(2), seededCuts(3)));

TEST_F(LmStudioClientTest, PiecesAreDeliveredAsTheyArrive) {
  // The fake sends two events and then goes silent: both must reach the sink before the
  // idle time-out ends the stream, so nothing is held back waiting for the end.
  FakeChatReply reply;
  reply.pieces = {"Un", "Deux", "Trois"};
  fake.setChatReply(reply);
  FakeFault f;
  f.action = FakeFaultAction::BreakStream;
  f.afterEvents = 2;
  f.breakWith = FakeStreamBreak::Hang;
  fake.addFault(f);

  std::vector<std::string> chunks;
  LmStreamResult r = stream(chunks, milliseconds(1000));
  EXPECT_EQ(r.error, LmTransportError::TimedOut) << r.errorText;
  EXPECT_EQ(r.status, 200);
  ASSERT_TRUE(fake.waitForRequests(1, kShort));
  const std::string emitted = fake.requests().at(0).emitted;
  EXPECT_EQ(joined(chunks), emitted);
  EXPECT_THAT(emitted, HasSubstr("\"Deux\""));
  EXPECT_THAT(emitted, ::testing::Not(HasSubstr("\"Trois\"")));
}

TEST_F(LmStudioClientTest, AnAnswerThatKeepsSendingOutlastsTheIdleTimeOut) {
  FakeChatReply reply;
  reply.pieces.assign(20, "mot ");
  reply.gap = milliseconds(60);  // 22 chunks, well over the idle time-out in all, never near it apart
  fake.setChatReply(reply);
  std::vector<std::string> chunks;
  LmStreamResult r = stream(chunks, milliseconds(800));
  EXPECT_FALSE(r.transportFailed()) << r.errorText;
  ASSERT_TRUE(fake.waitForRequests(1, kShort));
  EXPECT_EQ(joined(chunks), fake.requests().at(0).emitted);
  EXPECT_THAT(joined(chunks), HasSubstr("data: [DONE]"));
}

TEST_F(LmStudioClientTest, NoAnswerAtAllEndsAtTheIdleTimeOut) {
  FakeFault f;
  f.action = FakeFaultAction::Hang;
  fake.addFault(f);
  std::vector<std::string> chunks;
  LmStreamResult r = stream(chunks, milliseconds(250));
  EXPECT_EQ(r.error, LmTransportError::TimedOut);
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(chunks.empty());
}

TEST_F(LmStudioClientTest, TheSinkCanStopTheStream) {
  FakeChatReply reply;
  reply.pieces.assign(20, "encore ");
  reply.gap = milliseconds(20);
  fake.setChatReply(reply);
  int calls = 0;
  LmStreamResult r = client->streamChatCompletion(
      streamRequest(), [&](std::string_view) { return ++calls < 2; }, kShort);
  EXPECT_EQ(r.error, LmTransportError::Aborted);
  EXPECT_EQ(calls, 2);
  // The fake sees its client leave and finishes the request.
  EXPECT_TRUE(fake.waitForRequests(1, milliseconds(5000)));
}

TEST_F(LmStudioClientTest, AnExceptionInTheSinkStopsTheStreamAndComesOut) {
  EXPECT_THROW(client->streamChatCompletion(
                   streamRequest(), [](std::string_view) -> bool { throw std::runtime_error("gone"); },
                   kShort),
               std::runtime_error);
  // The client is still usable afterwards.
  std::vector<std::string> chunks;
  EXPECT_FALSE(stream(chunks).transportFailed());
}

TEST_F(LmStudioClientTest, BrokenStreamsDeliverWhatCameThenFail) {
  struct Case {
    FakeStreamBreak how;
    LmTransportError expected;
  };
  for (const Case& c : {Case{FakeStreamBreak::Close, LmTransportError::Closed},
                        Case{FakeStreamBreak::Reset, LmTransportError::Reset}}) {
    SCOPED_TRACE(lmTransportErrorName(c.expected));
    fake.clearRecords();
    FakeChatReply reply;
    reply.cuts = {13};
    fake.setChatReply(reply);
    FakeFault f;
    f.action = FakeFaultAction::BreakStream;
    f.afterEvents = 2;
    f.breakWith = c.how;
    fake.addFault(f);
    std::vector<std::string> chunks;
    LmStreamResult r = stream(chunks);
    EXPECT_EQ(r.error, c.expected) << r.errorText;
    EXPECT_EQ(r.status, 200);
    ASSERT_TRUE(fake.waitForRequests(1, kShort));
    const std::string emitted = fake.requests().at(0).emitted;
    EXPECT_FALSE(emitted.empty());
    // A reset may drop bytes still in flight; a close delivers them all.
    if (c.how == FakeStreamBreak::Close) {
      EXPECT_EQ(joined(chunks), emitted);
    } else {
      EXPECT_EQ(emitted.compare(0, joined(chunks).size(), joined(chunks)), 0);
    }
  }
}

TEST_F(LmStudioClientTest, StreamTransportFailuresBeforeAnyAnswer) {
  struct Case {
    std::string name;
    FakeFaultAction action;
    LmTransportError expected;
  };
  for (const Case& c : {Case{"close", FakeFaultAction::Close, LmTransportError::Closed},
                        Case{"reset", FakeFaultAction::Reset, LmTransportError::Reset}}) {
    SCOPED_TRACE(c.name);
    FakeFault f;
    f.action = c.action;
    fake.addFault(f);
    std::vector<std::string> chunks;
    LmStreamResult r = stream(chunks);
    EXPECT_EQ(r.error, c.expected) << r.errorText;
    EXPECT_TRUE(chunks.empty());
  }
  ASSERT_TRUE(fake.setRefusing(true));
  std::vector<std::string> chunks;
  LmStreamResult r = stream(chunks);
  EXPECT_EQ(r.error, LmTransportError::Refused) << r.errorText;
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(chunks.empty());
  ASSERT_TRUE(fake.setRefusing(false));
}

TEST_F(LmStudioClientTest, AnErrorStatusIsStreamedAsAnAnswer) {
  FakeFault f;
  f.path = "/v1/chat/completions";
  f.action = FakeFaultAction::Status;
  f.status = 400;
  f.body = R"({"error":"Trying to keep the first 5000 tokens when context the overflows."})";
  fake.addFault(f);
  std::vector<std::string> chunks;
  LmStreamResult r = stream(chunks);
  EXPECT_FALSE(r.transportFailed()) << r.errorText;
  EXPECT_EQ(r.status, 400);
  EXPECT_EQ(joined(chunks), f.body);
}

TEST_F(LmStudioClientTest, AnEmptyAnswerHandsOverNothing) {
  FakeFault f;
  f.action = FakeFaultAction::Status;
  f.status = 200;
  f.contentType = "text/event-stream";
  fake.addFault(f);
  std::vector<std::string> chunks;
  LmStreamResult r = stream(chunks);
  EXPECT_FALSE(r.transportFailed()) << r.errorText;
  EXPECT_EQ(r.status, 200);
  EXPECT_TRUE(chunks.empty());
  EXPECT_EQ(r.bytes, 0u);
}

// A stop check given up on a wait for LM Studio ends it, whatever the time-out still allows.
TEST_F(LmStudioClientTest, AStopCheckEndsTheWaitForASilentLmStudio) {
  const milliseconds longWait(600000);  // far beyond the test: only the stop check can end it
  struct Case {
    const char* what;
    FakeFaultAction action;
    std::function<LmTransportError(const LmStudioClient::StopCheck&)> call;
  };
  const std::vector<Case> cases = {
      {"list", FakeFaultAction::Hang,
       [&](const LmStudioClient::StopCheck& stop) { return client->listModelsV1(longWait, stop).error; }},
      {"unload", FakeFaultAction::Hang,
       [&](const LmStudioClient::StopCheck& stop) { return client->unloadModel("m", longWait, stop).error; }},
      {"load", FakeFaultAction::Hang,
       [&](const LmStudioClient::StopCheck& stop) { return client->loadModel("m", longWait, stop).error; }},
      {"stream before its answer", FakeFaultAction::Hang,
       [&](const LmStudioClient::StopCheck& stop) {
         return client->streamChatCompletion(streamRequest(), [](std::string_view) { return true; }, longWait,
                                             stop).error;
       }},
      {"stream after one event", FakeFaultAction::BreakStream, [&](const LmStudioClient::StopCheck& stop) {
         return client->streamChatCompletion(streamRequest(), [](std::string_view) { return true; }, longWait,
                                             stop).error;
       }}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fake.clearFaults();
    fake.clearRecords();
    FakeFault f;
    f.action = c.action;
    f.afterEvents = 1;
    f.breakWith = FakeStreamBreak::Hang;
    fake.addFault(f);
    // Gives up once LM Studio holds the request.
    const LmStudioClient::StopCheck stop = [&] { return !fake.requests().empty(); };
    auto outcome = std::async(std::launch::async, [&] { return c.call(stop); });
    const bool ended = outcome.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
    if (!ended) fake.stop();  // let the call end so that the test can
    EXPECT_TRUE(ended) << "the call went on waiting for LM Studio";
    EXPECT_EQ(outcome.get(), LmTransportError::Aborted);
    if (!ended) return;
  }
  // An empty check, or one that never says stop, changes nothing.
  fake.clearFaults();
  EXPECT_EQ(client->listModelsV1(milliseconds(2000), [] { return false; }).status, 200);
  EXPECT_EQ(client->loadModel("google/gemma-3-4b", milliseconds(2000), {}).status, 200);
}

TEST_F(LmStudioClientTest, NoModelLoadedIsAnAnswerToo) {
  fake.setModels(FakeLmStudio::defaultModels(), {});
  std::vector<std::string> chunks;
  LmStreamResult r = stream(chunks);
  EXPECT_FALSE(r.transportFailed());
  EXPECT_EQ(r.status, 400);
  EXPECT_THAT(joined(chunks), HasSubstr("No models loaded"));
}

}  // namespace
}  // namespace klarion
