// The HTTP client that talks to LM Studio, the local language-model server.
//
// Every call is synchronous and runs on the caller's thread, so one client may be used from many
// threads at once. Plain requests use a libcurl handle of their own; streamed chats take a kept
// handle from the client's pool and give it back with its connection to LM Studio still open, so
// that the next chat skips the connection set-up (a kept connection found broken before any byte
// of the answer came is given up and the chat is sent again on a new one). The client
// never reads a proxy from the environment, never sends "Expect: 100-continue", never asks for or
// undoes a content coding, and treats an HTTP error status as an answer, not as a failure.
//
// Requests carry only the headers HTTP itself needs (Host, and for a POST Content-Length) plus
// "Content-Type: application/json" on a POST.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace klarion {

// Why an exchange with LM Studio brought no complete HTTP answer.
enum class LmTransportError {
    None,            // a complete HTTP answer came, whatever its status
    InvalidAddress,  // the base address does not form an "http://" URL: nothing was sent
    Refused,         // nobody listens at the address (connection refused or unreachable)
    TimedOut,        // the time-out ran out (a stream: no data for the idle time-out)
    Reset,           // the peer reset the connection
    Closed,          // the peer closed the connection before the answer was complete
    Malformed,       // what came back is not an HTTP/1.x answer
    Aborted,         // the stream's callback or the caller's stop check asked to stop
    TooLarge,        // a plain answer's body went over LmStudioClient::kMaxReplyBytes
    Other,           // any other failure; the error text tells more
};

// A short English name of the error ("refused", "timed out", ...), for journal lines and tests.
const char* lmTransportErrorName(LmTransportError error);

// The port of an LM Studio address as the panel's texts name it: "1234" for
// "http://127.0.0.1:1234", "80" when the address names none; empty when the address forms no
// "http://" URL (a client on it would send nothing).
std::string lmStudioPort(std::string_view baseUrl);

// The outcome of a plain request: either an HTTP answer (status and body, any status) or a
// transport failure. After a failure, `status` and `body` hold whatever had arrived.
struct LmReply {
    LmTransportError error = LmTransportError::None;
    std::string errorText;  // libcurl's words for the failure; empty when none
    long status = 0;        // the answer's status code; 0 when no status line came
    std::string body;       // the answer's body bytes, unchanged

    bool answered() const { return error == LmTransportError::None; }
};

// The outcome of a streamed request, known once the stream has ended.
struct LmStreamResult {
    LmTransportError error = LmTransportError::None;
    std::string errorText;
    long status = 0;          // the answer's status code; 0 when no status line came
    std::uint64_t bytes = 0;  // body bytes handed to the callback

    bool transportFailed() const { return error != LmTransportError::None; }
};

// Time-outs of the requests the program makes, named by use. The defaults are the program's;
// tests inject short ones. Plain requests end when their time-out runs out, whatever is arriving;
// the stream ends only when no data arrives for `streamIdle`.
struct LmStudioTimeouts {
    std::chrono::milliseconds statusProbe{1000};      // GET /v1/models from the status tick
    std::chrono::milliseconds startPrecheck{2000};    // GET /v1/models before the server starts
    std::chrono::milliseconds contextQuery{2000};     // GET /api/v0/models after a probe
    std::chrono::milliseconds modelLists{3000};       // GET /v1/models, /api/v0/models for the dashboard
    std::chrono::milliseconds loadedInstances{5000};  // GET /api/v1/models before a switch
    std::chrono::milliseconds unload{30000};          // POST /api/v1/models/unload
    std::chrono::milliseconds load{120000};           // POST /api/v1/models/load
    std::chrono::milliseconds safetyVerdict{25000};   // POST /v1/chat/completions, not streamed
    std::chrono::milliseconds streamIdle{60000};      // POST /v1/chat/completions, streamed
};

class LmStudioClient {
public:
    static constexpr std::string_view kDefaultBaseUrl = "http://127.0.0.1:1234";
    static constexpr std::size_t kMaxReplyBytes = std::size_t{64} << 20;

    static constexpr std::string_view kModelsPath = "/v1/models";
    static constexpr std::string_view kModelsV0Path = "/api/v0/models";
    static constexpr std::string_view kModelsV1Path = "/api/v1/models";
    static constexpr std::string_view kLoadPath = "/api/v1/models/load";
    static constexpr std::string_view kUnloadPath = "/api/v1/models/unload";
    static constexpr std::string_view kChatPath = "/v1/chat/completions";

    // Receives each piece of a streamed body as it arrives. Returning false stops the stream
    // (the result then says Aborted). It runs on the calling thread; an exception it throws stops
    // the stream and comes out of streamChatCompletion.
    using ChunkSink = std::function<bool(std::string_view bytes)>;

    // Asked now and then while an exchange waits for LM Studio (about once a second at least);
    // true gives up at once (the result then says Aborted). Lets a server that stops end the
    // requests its connections wait for. It runs on the calling thread. Empty: never asked.
    using StopCheck = std::function<bool()>;

    // `baseUrl` is scheme, host and port without a trailing path, e.g. "http://127.0.0.1:1234".
    explicit LmStudioClient(std::string baseUrl = std::string(kDefaultBaseUrl), LmStudioTimeouts timeouts = {});

    const std::string& baseUrl() const { return baseUrl_; }
    const LmStudioTimeouts& timeouts() const { return timeouts_; }

    // Plain requests; `path` starts with "/". The time-out bounds the whole exchange.
    LmReply get(std::string_view path, std::chrono::milliseconds timeout, const StopCheck& stop = {}) const;
    LmReply postJson(std::string_view path, std::string_view jsonBody, std::chrono::milliseconds timeout,
                     const StopCheck& stop = {}) const;

    // The calls the program makes.
    LmReply listModels(std::chrono::milliseconds timeout) const;                                // GET /v1/models
    LmReply listModelsV0(std::chrono::milliseconds timeout) const;                              // GET /api/v0/models
    LmReply listModelsV1(std::chrono::milliseconds timeout, const StopCheck& stop = {}) const;  // GET /api/v1/models
    // POST /api/v1/models/unload with {"instance_id": instanceId}.
    LmReply unloadModel(std::string_view instanceId, std::chrono::milliseconds timeout,
                        const StopCheck& stop = {}) const;
    // POST /api/v1/models/load with {"model": model}.
    LmReply loadModel(std::string_view model, std::chrono::milliseconds timeout, const StopCheck& stop = {}) const;
    // POST /v1/chat/completions with a request body whose "stream" is false.
    LmReply chatCompletion(std::string_view requestBody, std::chrono::milliseconds timeout) const;

    // POST /v1/chat/completions with a request body whose "stream" is true. Hands every piece of
    // the answer's body to `sink` as it arrives (the bytes unchanged, after the chunked transfer
    // coding is undone), whatever the status. Ends when the answer is complete, the transport
    // fails, no data came for `idleTimeout`, `sink` returns false, or `stop` says so.
    LmStreamResult streamChatCompletion(std::string_view requestBody, const ChunkSink& sink,
                                        std::chrono::milliseconds idleTimeout, const StopCheck& stop = {}) const;
    LmStreamResult streamChatCompletion(std::string_view requestBody, const ChunkSink& sink) const {
        return streamChatCompletion(requestBody, sink, timeouts_.streamIdle);
    }

private:
    LmReply request(bool post, std::string_view path, std::string_view body, std::chrono::milliseconds timeout,
                    const StopCheck& stop) const;
    LmStreamResult streamOnce(std::string_view requestBody, const ChunkSink& sink,
                              std::chrono::milliseconds idleTimeout, const StopCheck& stop, bool fresh,
                              bool& retryable) const;

    std::string baseUrl_;
    bool baseUrlValid_;
    LmStudioTimeouts timeouts_;
    class StreamPool;
    std::shared_ptr<StreamPool> streamPool_;  // shared by copies of the client
    std::string chatUrl_;
};

}  // namespace klarion
