// Short links for the published addresses, from an outside short-link service.
//
// The service takes a JSON POST {"url": long address} and answers a JSON
// object whose "shorturl" is the short link. Its URL is a setting, empty by
// default: while it is empty no request is made.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/worker_pool.h"

namespace klarion {

// True for an absolute "http://" or "https://" URL (scheme in any case) that
// names a host and holds no space or control character.
bool isHttpURL(const std::string& url);

// The link carried by a reply: only without a transport error, with data that
// decodes to a JSON object whose "shorturl" is a string holding an http(s)
// URL (see isHttpURL), kept as received. None otherwise.
std::optional<std::string> parseShortURLResponse(const std::optional<std::string>& data, bool transportError);

class ShortLinkClient {
public:
    using Completion = std::function<void(const std::string& link)>;

    ShortLinkClient() = default;
    // Cancels the requests still running and waits for them.
    ~ShortLinkClient();
    ShortLinkClient(const ShortLinkClient&) = delete;
    ShortLinkClient& operator=(const ShortLinkClient&) = delete;

    void setServiceURL(std::string url);
    std::string serviceURL() const;

    // Starts a request for `longURL` and returns at once. `onLink` runs on a
    // worker thread, only when the reply carries a link. Nothing is
    // done when the service URL is empty or not an http(s) URL. Time-out 10 s,
    // no retry; failures are silent.
    void request(const std::string& longURL, Completion onLink);

    // Waits until every request started so far has finished (tests).
    void waitIdle();

private:
    void finishOne();

    mutable std::mutex mutex_;
    std::condition_variable idle_;
    std::string serviceURL_;
    std::size_t pending_ = 0;  // requests queued or running
    std::shared_ptr<std::atomic<bool>> cancel_ = std::make_shared<std::atomic<bool>>(false);
    WorkerPool pool_{2, 16};  // declared last: stopped before the members its tasks use
};

}  // namespace klarion
