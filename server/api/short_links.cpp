#include "server/api/short_links.h"

#include "platform/curl_exchange.h"

#include "platform/json.h"

namespace klarion {

std::optional<std::string> parseShortURLResponse(const std::optional<std::string>& data, bool transportError) {
    if (transportError || !data || data->empty()) return std::nullopt;
    auto object = parseJsonObject(*data);
    if (!object) return std::nullopt;
    return readString(*object, "shorturl");
}

namespace {

constexpr std::size_t kMaxReply = 64 * 1024;  // a short-link reply is tiny

bool isHttpURL(const std::string& url) { return url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0; }

}  // namespace

ShortLinkClient::~ShortLinkClient() {
    cancel_->store(true);
    pool_.shutdown();
}

void ShortLinkClient::setServiceURL(std::string url) {
    std::lock_guard lock(mutex_);
    serviceURL_ = std::move(url);
}

std::string ShortLinkClient::serviceURL() const {
    std::lock_guard lock(mutex_);
    return serviceURL_;
}

void ShortLinkClient::request(const std::string& longURL, Completion onLink) {
    std::lock_guard lock(mutex_);
    if (serviceURL_.empty() || !isHttpURL(serviceURL_)) return;
    ++pending_;
    const bool queued = pool_.submit([this, service = serviceURL_, body = dumpJson(Json{{"url", longURL}}),
                                      cancel = cancel_, onLink = std::move(onLink)] {
        CurlExchange exchange(service, true, body, "http,https");
        const auto outcome =
            exchange.perform(std::chrono::seconds(10), kMaxReply, [&cancel] { return cancel->load(); });
        const bool failed = outcome.code != CURLE_OK || outcome.tooLarge;
        if (!cancel->load()) {
            if (auto link = parseShortURLResponse(outcome.body, failed); link && onLink) onLink(*link);
        }
        finishOne();
    });
    if (!queued) --pending_;
}

void ShortLinkClient::finishOne() {
    std::lock_guard lock(mutex_);
    --pending_;
    idle_.notify_all();
}

void ShortLinkClient::waitIdle() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return pending_ == 0; });
}

}  // namespace klarion
