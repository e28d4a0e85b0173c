// A fake LM Studio for the tests: a local server on 127.0.0.1 that answers the six requests the
// program makes to LM Studio the way the real server does (with the extra fields the real one
// sends), keeps a consistent model state, records every request it gets, checks each against
// what the program is allowed to send, and plays scripted faults.
//
// In process:
//   FakeLmStudio fake;            // a default catalogue with one loaded model
//   fake.start();                 // 127.0.0.1, a free port
//   LmStudioClient client(fake.baseUrl());
//   ...
//   EXPECT_THAT(fake.violations(), IsEmpty());
//
// Endpoints served:
//   GET  /v1/models              {"object":"list","data":[{"id","object":"model","owned_by"}...]}, one
//                                entry per loaded instance
//   GET  /api/v0/models          every model of the catalogue with "state" "loaded"/"not-loaded",
//                                "max_context_length" and, when loaded, "loaded_context_length"
//   GET  /api/v1/models          {"models":[{..., "key", "loaded_instances":[{"id","config":{
//                                "context_length"}}]}]}
//   POST /api/v1/models/load     {"model": key} adds an instance (id = key, then key:2, key:3...)
//                                and answers {"type","instance_id","load_time_seconds","status":
//                                "loaded"}; an unknown key answers 404 with {"error": ...}
//   POST /api/v1/models/unload   {"instance_id": id} removes it and answers {"instance_id": id};
//                                an unknown id answers 404 with {"error": ...}
//   POST /v1/chat/completions    "stream" true: the scripted reply as server-sent events in a
//                                chunked body, cut into chunks of the scripted sizes; "stream"
//                                false: a chat.completion object whose message content is the
//                                scripted content. No model loaded: 400; a "model" that is not
//                                loaded: 404.
// Anything else answers 404 {"error":"Unexpected endpoint or method. (METHOD PATH)"} and counts
// as a contract violation.
//
// Contract checks (see lmStudioContractViolations): HTTP/1.1 with a Host header; no header but
// Host, Content-Length and (on a POST) Content-Type; no "Expect"; no query string; a GET has no
// body; a POST has "Content-Type: application/json" and a JSON object body whose keys and types
// are those the program sends on that path.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tests/support/mini_http_server.h"

namespace klarion {

// A downloaded model of the catalogue.
struct FakeModel {
    std::string key;           // its id in every list, e.g. "qwen2.5-7b-instruct"
    std::string type = "llm";  // "llm", "vlm" or "embeddings"
    std::string publisher = "lmstudio-community";
    std::string displayName;  // empty: the key
    std::string arch = "llama";
    std::string format = "gguf";
    std::string quantization = "Q4_K_M";
    int maxContextLength = 32768;
};

// A loaded instance of a model.
struct FakeInstance {
    std::string id;        // e.g. "qwen2.5-7b-instruct" or "qwen2.5-7b-instruct:2"
    std::string modelKey;  // the key of its model in the catalogue
    int contextLength = 4096;
};

// What a chat completion answers.
struct FakeChatReply {
    // Streamed: one event per piece (the first carries the role too), then an event with an empty
    // delta and finish_reason "stop", then "data: [DONE]"; each event followed by a blank line.
    std::vector<std::string> pieces{"Bonjour", " ! Comment", " puis-je t'aider ?"};
    // When set, the exact bytes of the streamed body, in place of the events built from `pieces`.
    std::optional<std::string> rawStream;
    // The message content of a not-streamed answer.
    std::string content = R"({"danger": false, "motif": "question scolaire"})";
    // Sizes of the chunks that carry the streamed body, taken in turn and repeated; a size of 0
    // counts as 1. Empty: one chunk per event.
    std::vector<std::size_t> cuts;
    // Pause before every chunk but the first.
    std::chrono::milliseconds gap{0};
};

enum class FakeFaultAction {
    Answer,       // answer as usual, after the delay
    Hang,         // never answer: hold the connection until the client leaves or the fake stops
    Close,        // close the connection without an answer
    Reset,        // reset the connection (RST) without an answer
    Status,       // answer `status` with `body` (Content-Type `contentType`, none when empty)
    Raw,          // send `body` as raw bytes in place of an HTTP answer, then close
    BreakStream,  // send the first `afterEvents` events of the streamed answer, then `breakWith`
                  // (never the final chunk); on a request that is not streamed, the same as Close
};

enum class FakeStreamBreak { Close, Reset, Hang };

struct FakeFault {
    std::string path;  // the request path it applies to; empty: every path
    FakeFaultAction action = FakeFaultAction::Answer;
    std::chrono::milliseconds delay{0};  // waited before the action (the request is recorded first)
    int status = 500;
    std::string body;
    std::string contentType = "application/json";
    std::size_t afterEvents = 0;
    FakeStreamBreak breakWith = FakeStreamBreak::Close;
    int times = 1;  // how many matching requests it applies to; 0 or less: all until cleared
};

struct FakeRecordedRequest {
    std::uint64_t connection = 0;  // serial number of the connection it came on
    std::string method;
    std::string target;  // path and query as sent
    std::string path;
    std::string version;
    std::vector<std::pair<std::string, std::string>> headers;  // in order, names as sent
    std::string body;
    std::chrono::system_clock::time_point received;
    int status = 0;         // the status answered; 0 when none was (a fault)
    std::string emitted;    // the response body bytes sent, without chunk framing
    bool finished = false;  // the fake is done with this request

    const std::string* header(std::string_view name) const;
};

// The contract breaches of one request, each as one English sentence; empty when it is sound.
std::vector<std::string> lmStudioContractViolations(const MiniHttpRequest& request);

class FakeLmStudio {
public:
    // Starts with defaultModels(), defaultInstances() and the default FakeChatReply.
    FakeLmStudio();
    ~FakeLmStudio();
    FakeLmStudio(const FakeLmStudio&) = delete;
    FakeLmStudio& operator=(const FakeLmStudio&) = delete;

    // Three models (an LLM, a vision model, an embedding model); the first is loaded.
    static std::vector<FakeModel> defaultModels();
    static std::vector<FakeInstance> defaultInstances();

    bool start(std::uint16_t port = 0);  // on 127.0.0.1; 0: a free port
    void stop();                         // closes everything; requests stay readable
    std::uint16_t port() const;
    std::string baseUrl() const;  // "http://127.0.0.1:PORT"
    // While refusing, nothing listens on the port (connections are refused).
    bool setRefusing(bool refusing);
    bool refusing() const;

    // Model state.
    void setModels(std::vector<FakeModel> models, std::vector<FakeInstance> loaded);
    std::vector<FakeModel> models() const;
    std::vector<FakeInstance> loadedInstances() const;

    void setChatReply(FakeChatReply reply);
    FakeChatReply chatReply() const;

    // Faults are tried in the order added; the first whose path matches applies.
    void addFault(FakeFault fault);
    void clearFaults();
    std::size_t pendingFaults() const;

    std::vector<FakeRecordedRequest> requests() const;
    std::vector<FakeRecordedRequest> requestsTo(std::string_view path) const;
    std::vector<std::string> violations() const;
    void clearRecords();  // forgets the requests and the violations
    // Waits until at least `count` requests are finished; false on time-out.
    bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;

private:
    struct Answer;
    void handle(const MiniHttpRequest& request, MiniHttpConnection& conn);
    Answer route(const MiniHttpRequest& request, bool& streamed);
    void stream(std::uint64_t serial, MiniHttpConnection& conn, const std::vector<std::string>& events,
                const FakeChatReply& reply, std::optional<FakeFault> breakFault);
    FakeRecordedRequest* recordLocked(std::uint64_t serial);
    void noteEmitted(std::uint64_t serial, std::string_view bytes);
    void noteStatus(std::uint64_t serial, int status);
    void finish(std::uint64_t serial);
    std::string loadLocked(const std::string& key, int& status);

    mutable std::mutex mu_;
    mutable std::condition_variable cv_;
    std::vector<FakeModel> models_;
    std::vector<FakeInstance> instances_;
    FakeChatReply reply_;
    std::deque<FakeFault> faults_;
    std::vector<FakeRecordedRequest> records_;
    std::uint64_t recordBase_ = 0;  // serial number of records_[0]
    std::vector<std::string> violations_;
    std::uint64_t completionSerial_ = 0;
    bool refusing_ = false;
    std::unique_ptr<MiniHttpServer> server_;
};

}  // namespace klarion
