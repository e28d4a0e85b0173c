#include "server/llm/lmstudio_client.h"

#include "platform/curl_exchange.h"

#include <curl/curl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <vector>

#include <nlohmann/json.hpp>

namespace klarion {

namespace {

using Clock = std::chrono::steady_clock;

using MultiPtr = std::unique_ptr<CURLM, decltype(&curl_multi_cleanup)>;

// Only "http://host[:port]" with nothing after the authority but an optional "/".
bool normaliseBaseUrl(std::string& url) {
    while (!url.empty() && url.back() == '/') url.pop_back();
    if (url.size() <= 7 || url.compare(0, 7, "http://") != 0) return false;
    for (unsigned char c : url) {
        if (c <= 0x20 || c >= 0x7f) return false;
    }
    if (url.find_first_of("/?#", 7) != std::string::npos) return false;
    CURLU* u = curl_url();
    if (u == nullptr) return false;
    bool ok = curl_url_set(u, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK;
    curl_url_cleanup(u);
    return ok;
}

bool validPath(std::string_view path) {
    if (path.empty() || path.front() != '/') return false;
    return std::none_of(path.begin(), path.end(), [](unsigned char c) { return c <= 0x20 || c >= 0x7f; });
}

bool textHas(const char* text, const char* word) { return text != nullptr && std::strstr(text, word) != nullptr; }

LmTransportError classify(CURLcode code, CURL* h, const char* text) {
    switch (code) {
        case CURLE_OK: return LmTransportError::None;
        case CURLE_COULDNT_CONNECT:
        case CURLE_COULDNT_RESOLVE_HOST: return LmTransportError::Refused;
        case CURLE_OPERATION_TIMEDOUT: return LmTransportError::TimedOut;
        case CURLE_GOT_NOTHING:
        case CURLE_PARTIAL_FILE: return LmTransportError::Closed;
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_UNSUPPORTED_PROTOCOL:  // also what an HTTP/0.9-looking answer gives
        case CURLE_BAD_CONTENT_ENCODING: return LmTransportError::Malformed;
        case CURLE_URL_MALFORMAT: return LmTransportError::InvalidAddress;
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR: {
            long osErrno = 0;
            curl_easy_getinfo(h, CURLINFO_OS_ERRNO, &osErrno);
            if (osErrno == ECONNRESET || osErrno == EPIPE || textHas(text, "reset") || textHas(text, "Broken pipe")) {
                return LmTransportError::Reset;
            }
            return LmTransportError::Other;
        }
        default: return LmTransportError::Other;
    }
}

std::string jsonObjectWith(const char* key, std::string_view value) {
    nlohmann::json body = nlohmann::json::object();
    body[key] = std::string(value);
    return body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// ---- streamed requests ----

struct StreamState {
    const LmStudioClient::ChunkSink* sink = nullptr;
    bool headerSeen = false;
    Clock::time_point lastActivity;
    curl_off_t lastUploaded = 0;
    std::uint64_t bytes = 0;
    bool aborted = false;
    std::exception_ptr failure;
    // What one round of reading brought, handed to the sink at once: a burst of
    // events leaves in one write instead of one write each.
    std::string pending;
};

// Hands the pending bytes to the sink; false once the stream is to stop.
bool deliver(StreamState& st) {
    if (st.aborted) return false;
    if (st.pending.empty()) return true;
    try {
        if (!(*st.sink)(std::string_view(st.pending))) st.aborted = true;
    } catch (...) {
        st.failure = std::current_exception();
        st.aborted = true;
    }
    st.pending.clear();
    return !st.aborted;
}

size_t streamWrite(char* data, size_t size, size_t count, void* user) {
    auto* st = static_cast<StreamState*>(user);
    const size_t n = size * count;
    st->lastActivity = Clock::now();
    if (n == 0 || st->aborted) return 0;
    st->bytes += n;
    st->pending.append(data, n);
    return n;
}

size_t streamHeader(char* data, size_t size, size_t count, void* user) {
    auto* st = static_cast<StreamState*>(user);
    st->lastActivity = Clock::now();
    st->headerSeen = true;
    return size * count;
}

int streamProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t ulnow) {
    auto* st = static_cast<StreamState*>(user);
    if (ulnow != st->lastUploaded) {  // a large request body still going out counts as activity
        st->lastUploaded = ulnow;
        st->lastActivity = Clock::now();
    }
    return 0;
}

}  // namespace

// Handles of finished chats, each with the connection its multi handle keeps
// open to LM Studio, and the multi handle's own wake-up descriptors.
class LmStudioClient::StreamPool {
public:
    struct Handles {
        CURL* easy = nullptr;
        CURLM* multi = nullptr;
    };
    // Enough for the chats of a class streaming at once; more are closed.
    static constexpr std::size_t kKept = 32;

    ~StreamPool() {
        for (Handles& h : idle_) close(h);
    }
    Handles take() {
        std::lock_guard<std::mutex> lock(mu_);
        if (idle_.empty()) return {};
        Handles h = idle_.back();
        idle_.pop_back();
        return h;
    }
    void give(Handles h) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (idle_.size() < kKept) {
                idle_.push_back(h);
                return;
            }
        }
        close(h);
    }
    static void close(Handles h) {
        if (h.multi != nullptr) curl_multi_cleanup(h.multi);
        if (h.easy != nullptr) curl_easy_cleanup(h.easy);
    }

private:
    std::mutex mu_;
    std::vector<Handles> idle_;
};

const char* lmTransportErrorName(LmTransportError error) {
    switch (error) {
        case LmTransportError::None: return "none";
        case LmTransportError::InvalidAddress: return "invalid address";
        case LmTransportError::Refused: return "refused";
        case LmTransportError::TimedOut: return "timed out";
        case LmTransportError::Reset: return "reset";
        case LmTransportError::Closed: return "closed";
        case LmTransportError::Malformed: return "malformed";
        case LmTransportError::Aborted: return "aborted";
        case LmTransportError::TooLarge: return "too large";
        case LmTransportError::Other: return "other";
    }
    return "other";
}

std::string lmStudioPort(std::string_view baseUrl) {
    std::string url(baseUrl);
    if (!normaliseBaseUrl(url)) return {};
    std::string port;
    CURLU* u = curl_url();
    char* text = nullptr;
    if (u != nullptr && curl_url_set(u, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
        curl_url_get(u, CURLUPART_PORT, &text, CURLU_DEFAULT_PORT) == CURLUE_OK) {
        port = text;
    }
    curl_free(text);
    curl_url_cleanup(u);
    return port;
}

LmStudioClient::LmStudioClient(std::string baseUrl, LmStudioTimeouts timeouts)
    : baseUrl_(std::move(baseUrl)),
      baseUrlValid_(false),
      timeouts_(timeouts),
      streamPool_(std::make_shared<StreamPool>()) {
    baseUrlValid_ = normaliseBaseUrl(baseUrl_);
    chatUrl_ = baseUrl_ + std::string(kChatPath);
}

LmReply LmStudioClient::get(std::string_view path, std::chrono::milliseconds timeout, const StopCheck& stop) const {
    return request(false, path, {}, timeout, stop);
}

LmReply LmStudioClient::postJson(std::string_view path, std::string_view jsonBody, std::chrono::milliseconds timeout,
                                 const StopCheck& stop) const {
    return request(true, path, jsonBody, timeout, stop);
}

LmReply LmStudioClient::listModels(std::chrono::milliseconds timeout) const { return get(kModelsPath, timeout); }

LmReply LmStudioClient::listModelsV0(std::chrono::milliseconds timeout) const { return get(kModelsV0Path, timeout); }

LmReply LmStudioClient::listModelsV1(std::chrono::milliseconds timeout, const StopCheck& stop) const {
    return get(kModelsV1Path, timeout, stop);
}

LmReply LmStudioClient::unloadModel(std::string_view instanceId, std::chrono::milliseconds timeout,
                                    const StopCheck& stop) const {
    return postJson(kUnloadPath, jsonObjectWith("instance_id", instanceId), timeout, stop);
}

LmReply LmStudioClient::loadModel(std::string_view model, std::chrono::milliseconds timeout,
                                  const StopCheck& stop) const {
    return postJson(kLoadPath, jsonObjectWith("model", model), timeout, stop);
}

LmReply LmStudioClient::chatCompletion(std::string_view requestBody, std::chrono::milliseconds timeout) const {
    return postJson(kChatPath, requestBody, timeout);
}

LmReply LmStudioClient::request(bool post, std::string_view path, std::string_view body,
                                std::chrono::milliseconds timeout, const StopCheck& stop) const {
    LmReply reply;
    if (!baseUrlValid_ || !validPath(path)) {
        reply.error = LmTransportError::InvalidAddress;
        reply.errorText = "cannot form a URL from \"" + baseUrl_ + "\" and \"" + std::string(path) + "\"";
        return reply;
    }
    CurlExchange exchange(baseUrl_ + std::string(path), post, body);
    if (!exchange.valid()) {
        reply.error = LmTransportError::Other;
        reply.errorText = "cannot create an HTTP handle";
        return reply;
    }
    auto outcome = exchange.perform(timeout, kMaxReplyBytes, stop);
    reply.body = std::move(outcome.body);
    reply.status = exchange.status();
    if (outcome.code == CURLE_ABORTED_BY_CALLBACK) {
        reply.error = LmTransportError::Aborted;
        reply.errorText = "given up while waiting for LM Studio";
    } else if (outcome.tooLarge) {
        reply.error = LmTransportError::TooLarge;
        reply.errorText = "answer body larger than " + std::to_string(kMaxReplyBytes) + " bytes";
    } else if (outcome.code != CURLE_OK) {
        reply.error = classify(outcome.code, exchange.handle(), exchange.errorBuffer());
        reply.errorText = exchange.errorText(outcome.code);
    }
    return reply;
}

LmStreamResult LmStudioClient::streamChatCompletion(std::string_view requestBody, const ChunkSink& sink,
                                                    std::chrono::milliseconds idleTimeout,
                                                    const StopCheck& stop) const {
    if (!baseUrlValid_) {
        LmStreamResult result;
        result.error = LmTransportError::InvalidAddress;
        result.errorText = "cannot form a URL from \"" + baseUrl_ + "\"";
        return result;
    }
    bool retryable = false;
    LmStreamResult result = streamOnce(requestBody, sink, idleTimeout, stop, false, retryable);
    // A kept connection that LM Studio had closed meanwhile: nothing reached the receiver, so
    // the chat goes again on a new connection.
    if (retryable) result = streamOnce(requestBody, sink, idleTimeout, stop, true, retryable);
    return result;
}

LmStreamResult LmStudioClient::streamOnce(std::string_view requestBody, const ChunkSink& sink,
                                          std::chrono::milliseconds idleTimeout, const StopCheck& stop, bool fresh,
                                          bool& retryable) const {
    retryable = false;
    LmStreamResult result;
    StreamPool::Handles kept = fresh ? StreamPool::Handles{} : streamPool_->take();
    if (fresh || kept.easy == nullptr) kept = StreamPool::Handles{};
    CurlExchange exchange(chatUrl_, true, requestBody, "http", kept.easy);
    CURL* const h = exchange.handle();
    char* const errorBuffer = exchange.errorBuffer();
    MultiPtr m(kept.multi != nullptr ? kept.multi : curl_multi_init(), &curl_multi_cleanup);
    if (!exchange.valid() || !m) {
        result.error = LmTransportError::Other;
        result.errorText = "cannot create an HTTP handle";
        return result;
    }
    StreamState st;
    st.sink = &sink;
    st.lastActivity = Clock::now();
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, streamWrite);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &st);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, streamHeader);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &st);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, streamProgress);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &st);

    if (curl_multi_add_handle(m.get(), h) != CURLM_OK) {
        result.error = LmTransportError::Other;
        result.errorText = "cannot start the HTTP transfer";
        return result;
    }

    // Drive the one transfer ourselves so that the time-out counts from the last byte received,
    // not from the start: a long answer that keeps sending is never cut.
    const auto idle = std::max(idleTimeout, std::chrono::milliseconds(1));
    bool idleExpired = false;
    bool stopped = false;
    CURLcode code = CURLE_OK;
    bool finished = false;
    while (!finished) {
        int running = 0;
        const CURLMcode mc = curl_multi_perform(m.get(), &running);
        if (mc != CURLM_OK) {
            code = CURLE_RECV_ERROR;
            std::snprintf(errorBuffer, CURL_ERROR_SIZE, "%s", curl_multi_strerror(mc));
            break;
        }
        int queued = 0;
        while (CURLMsg* msg = curl_multi_info_read(m.get(), &queued)) {
            if (msg->msg == CURLMSG_DONE) {
                code = msg->data.result;
                finished = true;
            }
        }
        if (!deliver(st)) break;
        if (finished || running == 0) break;
        if (stop) {
            try {
                stopped = stop();
            } catch (...) {
                stopped = true;
            }
            if (stopped) break;
        }
        const auto waited = Clock::now() - st.lastActivity;
        if (waited >= idle) {
            idleExpired = true;
            break;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(idle - waited);
        // With a stop check, wake often enough for a stopping server not to wait long.
        const int pollMs =
            static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count() + 1, 1, stop ? 250 : 1000));
        if (curl_multi_poll(m.get(), nullptr, 0, pollMs, nullptr) != CURLM_OK) {
            code = CURLE_RECV_ERROR;
            std::snprintf(errorBuffer, CURL_ERROR_SIZE, "waiting for LM Studio failed");
            break;
        }
    }

    deliver(st);  // what came with a failed round still reaches the receiver
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &result.status);
    result.bytes = st.bytes;
    if (st.aborted) {
        result.error = LmTransportError::Aborted;
        result.errorText = "the stream was stopped by its receiver";
    } else if (stopped) {
        result.error = LmTransportError::Aborted;
        result.errorText = "given up while waiting for LM Studio";
    } else if (idleExpired) {
        result.error = LmTransportError::TimedOut;
        result.errorText = "no data from LM Studio for " + std::to_string(idle.count()) + " ms";
    } else if (code != CURLE_OK) {
        result.error = classify(code, h, errorBuffer);
        result.errorText = exchange.errorText(code);
    }
    long connects = 0;
    curl_easy_getinfo(h, CURLINFO_NUM_CONNECTS, &connects);
    const bool reused = kept.easy != nullptr && connects == 0;
    retryable = reused && !st.headerSeen && st.bytes == 0 && !st.aborted && !stopped &&
                (result.error == LmTransportError::Closed || result.error == LmTransportError::Reset ||
                 result.error == LmTransportError::Other);
    // An unfinished transfer taken out of the multi handle closes its connection; a finished
    // one leaves it open in the multi handle's cache for the next chat.
    curl_multi_remove_handle(m.get(), h);
    streamPool_->give({exchange.release(), m.release()});
    if (st.failure) std::rethrow_exception(st.failure);
    return result;
}

}  // namespace klarion
