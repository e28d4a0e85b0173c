#include "server/api/short_links.h"

#include <cctype>
#include <memory>

#include "platform/curl_exchange.h"
#include "platform/json.h"

namespace klarion {

bool isHttpURL(const std::string& url) {
    auto schemeIs = [&url](std::string_view scheme) {
        if (url.size() < scheme.size()) return false;
        for (std::size_t i = 0; i < scheme.size(); ++i) {
            if (std::tolower(static_cast<unsigned char>(url[i])) != scheme[i]) return false;
        }
        return true;
    };
    if (!schemeIs("http://") && !schemeIs("https://")) return false;
    // libcurl's reading refuses spaces and control characters; a host must be named.
    std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> parsed(curl_url(), curl_url_cleanup);
    if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return false;
    char* host = nullptr;
    const bool named = curl_url_get(parsed.get(), CURLUPART_HOST, &host, 0) == CURLUE_OK && host && *host;
    curl_free(host);
    return named;
}

std::optional<std::string> parseShortURLResponse(const std::optional<std::string>& data, bool transportError) {
    if (transportError || !data || data->empty()) return std::nullopt;
    auto object = parseJsonObject(*data);
    if (!object) return std::nullopt;
    auto link = readString(*object, "shorturl");
    // The link is shown and copied as the students' address: anything but a
    // web address (a "javascript:" one among them) is no link.
    if (!link || !isHttpURL(*link)) return std::nullopt;
    return link;
}

namespace {

constexpr std::size_t kMaxReply = 64 * 1024;  // a short-link reply is tiny

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
