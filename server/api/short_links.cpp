#include "server/api/short_links.h"

#include <curl/curl.h>

#include "platform/json.h"

namespace klarion {

std::optional<std::string> parseShortURLResponse(const std::optional<std::string>& data, bool transportError) {
    if (transportError || !data || data->empty()) return std::nullopt;
    auto object = parseJsonObject(*data);
    if (!object) return std::nullopt;
    return readString(*object, "shorturl");
}

namespace {

void initCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

size_t collectBody(char* data, size_t size, size_t count, void* user) {
    auto* body = static_cast<std::string*>(user);
    const size_t total = size * count;
    constexpr size_t kMaxReply = 64 * 1024;  // a short-link reply is tiny
    if (body->size() + total > kMaxReply) return 0;
    body->append(data, total);
    return total;
}

int abortWhenCancelled(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<std::atomic<bool>*>(user)->load() ? 1 : 0;
}

bool isHttpURL(const std::string& url) {
    return url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0;
}

// One POST; returns the reply body, or none on a transport failure.
std::optional<std::string> postJson(const std::string& serviceURL, const std::string& body,
                                    std::atomic<bool>* cancel) {
    CURL* curl = curl_easy_init();
    if (!curl) return std::nullopt;
    std::string reply;
    curl_slist* headers = nullptr;
    headers = curl_slist_append(headers, "Content-Type: application/json");
    headers = curl_slist_append(headers, "Expect:");
    curl_easy_setopt(curl, CURLOPT_URL, serviceURL.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 10L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collectBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, abortWhenCancelled);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, cancel);
    const CURLcode code = curl_easy_perform(curl);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    if (code != CURLE_OK) return std::nullopt;
    return reply;
}

}  // namespace

ShortLinkClient::~ShortLinkClient() {
    std::list<Worker> workers;
    {
        std::lock_guard lock(mutex_);
        cancel_->store(true);
        workers.swap(workers_);
    }
    for (auto& worker : workers) {
        if (worker.thread.joinable()) worker.thread.join();
    }
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
    reapFinished();
    initCurlOnce();
    const std::string body = dumpJson(Json{{"url", longURL}});
    auto done = std::make_shared<std::atomic<bool>>(false);
    auto cancel = cancel_;
    std::thread thread([service = serviceURL_, body, cancel, done, onLink = std::move(onLink)] {
        const auto reply = postJson(service, body, cancel.get());
        if (!cancel->load()) {
            if (auto link = parseShortURLResponse(reply, !reply.has_value()); link && onLink) onLink(*link);
        }
        done->store(true);
    });
    workers_.push_back(Worker{std::move(thread), std::move(done)});
}

void ShortLinkClient::reapFinished() {
    for (auto it = workers_.begin(); it != workers_.end();) {
        if (it->done->load()) {
            it->thread.join();
            it = workers_.erase(it);
        } else {
            ++it;
        }
    }
}

void ShortLinkClient::waitIdle() {
    std::list<Worker> workers;
    {
        std::lock_guard lock(mutex_);
        workers.swap(workers_);
    }
    for (auto& worker : workers) {
        if (worker.thread.joinable()) worker.thread.join();
    }
}

}  // namespace klarion
