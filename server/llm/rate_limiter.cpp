#include "server/llm/rate_limiter.h"

#include <utility>

namespace klarion {

const std::shared_ptr<RateLimiter>& RateLimiter::shared() {
    static const std::shared_ptr<RateLimiter> instance = std::make_shared<RateLimiter>();
    return instance;
}

bool RateLimiter::tryAcquire(const std::string& key) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = activeRequests_.find(key);
    const int64_t n = it == activeRequests_.end() ? 0 : it->second;
    if (n >= maxConcurrent) return false;
    activeRequests_[key] = n + 1;
    return true;
}

void RateLimiter::release(const std::string& key) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = activeRequests_.find(key);
    if (it == activeRequests_.end()) return;
    if (it->second >= 2) {
        --it->second;
    } else {
        activeRequests_.erase(it);
    }
}

int64_t RateLimiter::activeCount(const std::string& key) const {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = activeRequests_.find(key);
    return it == activeRequests_.end() ? 0 : it->second;
}

std::size_t RateLimiter::size() const {
    std::lock_guard<std::mutex> guard(lock_);
    return activeRequests_.size();
}

ChatStreamTicket::ChatStreamTicket(std::shared_ptr<RateLimiter> limiter, std::string key)
    : limiter_(std::move(limiter)), key_(std::move(key)) {}

ChatStreamTicket::~ChatStreamTicket() { release(); }

void ChatStreamTicket::countStream(std::shared_ptr<AtomicCounter> streams) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (released_ || streams_ || !streams) return;
    streams_ = std::move(streams);
    streams_->increment();
}

void ChatStreamTicket::release() {
    std::shared_ptr<RateLimiter> limiter;
    std::shared_ptr<AtomicCounter> streams;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (released_) return;
        released_ = true;
        limiter = std::move(limiter_);
        streams = std::move(streams_);
    }
    if (streams) streams->decrement();
    if (limiter) limiter->release(key_);
}

}  // namespace klarion
