#include "platform/curl_exchange.h"

#include <algorithm>
#include <mutex>

namespace klarion {

namespace {

void initCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct BodySink {
    std::string* body;
    std::size_t maxBody;
    bool tooLarge = false;
};

size_t collectBody(char* data, size_t size, size_t count, void* user) {
    auto* sink = static_cast<BodySink*>(user);
    const size_t n = size * count;
    if (sink->body->size() + n > sink->maxBody) {
        sink->tooLarge = true;
        return 0;
    }
    sink->body->append(data, n);
    return n;
}

int askStop(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    const auto* stop = static_cast<const std::function<bool()>*>(user);
    try {
        return (*stop)() ? 1 : 0;
    } catch (...) {
        return 1;
    }
}

}  // namespace

CurlExchange::CurlExchange(const std::string& url, bool post, std::string_view body, const char* protocols, CURL* reuse)
    : url_(url) {
    initCurlOnce();
    handle_.reset(reuse != nullptr ? reuse : curl_easy_init());
    if (!handle_) return;
    curl_slist* list = nullptr;
    list = curl_slist_append(list, "Accept:");
    list = curl_slist_append(list, "Expect:");
    if (post) list = curl_slist_append(list, "Content-Type: application/json");
    headers_.reset(list);
    CURL* h = handle_.get();
    curl_easy_setopt(h, CURLOPT_URL, url_.c_str());
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorBuffer_);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_PROXY, "");
    curl_easy_setopt(h, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, protocols);
    curl_easy_setopt(h, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(h, CURLOPT_FAILONERROR, 0L);
    curl_easy_setopt(h, CURLOPT_HTTP_CONTENT_DECODING, 0L);
    curl_easy_setopt(h, CURLOPT_HTTP_TRANSFER_DECODING, 1L);
    curl_easy_setopt(h, CURLOPT_TCP_NODELAY, 1L);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers_.get());
    if (post) {
        curl_easy_setopt(h, CURLOPT_POST, 1L);
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.data());
    } else {
        curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    }
}

std::string CurlExchange::errorText(CURLcode code) const {
    if (errorBuffer_[0] != '\0') return errorBuffer_;
    return curl_easy_strerror(code);
}

CURL* CurlExchange::release() {
    if (handle_) curl_easy_reset(handle_.get());
    return handle_.release();
}

long CurlExchange::status() const {
    long status = 0;
    if (handle_) curl_easy_getinfo(handle_.get(), CURLINFO_RESPONSE_CODE, &status);
    return status;
}

CurlExchange::Outcome CurlExchange::perform(std::chrono::milliseconds timeout, std::size_t maxBody,
                                            const std::function<bool()>& stop) {
    Outcome outcome;
    if (!handle_) {
        outcome.code = CURLE_FAILED_INIT;
        return outcome;
    }
    CURL* h = handle_.get();
    BodySink sink{&outcome.body, maxBody};
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, collectBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
    // 0 would mean "no time-out" to libcurl; a non-positive time-out still ends at once.
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS,
                     static_cast<long>(std::max<std::chrono::milliseconds::rep>(timeout.count(), 1)));
    if (stop) {
        curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, askStop);
        curl_easy_setopt(h, CURLOPT_XFERINFODATA, &stop);
    }
    outcome.code = curl_easy_perform(h);
    outcome.tooLarge = sink.tooLarge;
    return outcome;
}

}  // namespace klarion
