// The per-address limit of running chat streams: two at once per client
// address, the third refused until one ends.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "app/state/app_config.h"

namespace klarion {

class RateLimiter {
public:
    static constexpr int64_t maxConcurrent = 2;

    // The program's instance, made on first use and kept for the whole run.
    static const std::shared_ptr<RateLimiter>& shared();

    // Takes a slot for `key` unless it already holds maxConcurrent; true when taken.
    bool tryAcquire(const std::string& key);
    // Gives one slot of `key` back; an address whose count falls to 0 is forgotten.
    void release(const std::string& key);

    // Slots held by `key` (0 when none), and the number of addresses holding any.
    int64_t activeCount(const std::string& key) const;
    std::size_t size() const;

private:
    mutable std::mutex lock_;
    std::map<std::string, int64_t> activeRequests_;
};

// What one accepted chat holds: a slot of its address and, once the stream
// is handed to the relay, one count in AppConfig's activeChatStreams. Both
// are given back once, by release() or, failing that, by the destructor, so a
// body writer that never runs gives them back when it is destroyed. Any thread.
class ChatStreamTicket {
public:
    // Takes over a slot already acquired for `key` from `limiter`.
    ChatStreamTicket(std::shared_ptr<RateLimiter> limiter, std::string key);
    ~ChatStreamTicket();
    ChatStreamTicket(const ChatStreamTicket&) = delete;
    ChatStreamTicket& operator=(const ChatStreamTicket&) = delete;

    // Adds one to `streams`, to be taken off again by release(). Once.
    void countStream(std::shared_ptr<AtomicCounter> streams);
    // Lowers the stream count (when counted), then releases the slot; later
    // calls do nothing.
    void release();
    const std::string& key() const { return key_; }

private:
    std::mutex mutex_;
    std::shared_ptr<RateLimiter> limiter_;
    std::string key_;
    std::shared_ptr<AtomicCounter> streams_;
    bool released_ = false;
};

}  // namespace klarion
