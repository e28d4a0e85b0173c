// Two running chats per address, and the ticket that gives a chat's slot and stream count back.
#include "server/llm/rate_limiter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace klarion {
namespace {

TEST(RateLimiter, TwoStreamsPerAddressTheThirdRefused) {
    RateLimiter limiter;
    EXPECT_TRUE(limiter.tryAcquire("10.0.0.5"));
    EXPECT_TRUE(limiter.tryAcquire("10.0.0.5"));
    EXPECT_FALSE(limiter.tryAcquire("10.0.0.5"));
    EXPECT_TRUE(limiter.tryAcquire("10.0.0.6"));  // another address is not concerned
    limiter.release("10.0.0.5");
    EXPECT_EQ(limiter.activeCount("10.0.0.5"), 1);
    EXPECT_TRUE(limiter.tryAcquire("10.0.0.5"));
    // An address whose last stream ended is forgotten; releasing more than taken changes nothing.
    for (int i = 0; i < 3; ++i) limiter.release("10.0.0.5");
    limiter.release("never-seen");
    EXPECT_EQ(limiter.size(), 1u);
    EXPECT_EQ(limiter.activeCount("10.0.0.5"), 0);

    std::atomic<int> granted{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 16; ++i) threads.emplace_back([&] { granted += limiter.tryAcquire("0.0.0.0"); });
    for (auto& t : threads) t.join();
    EXPECT_EQ(granted.load(), 2);
}

TEST(ChatStreamTicket, GivesSlotAndCountBackExactlyOnce) {
    auto limiter = std::make_shared<RateLimiter>();
    auto streams = std::make_shared<AtomicCounter>();
    streams->increment();  // another chat's stream
    ASSERT_TRUE(limiter->tryAcquire("a") && limiter->tryAcquire("a") && limiter->tryAcquire("b"));
    ChatStreamTicket released(limiter, "a");
    released.countStream(streams);
    released.countStream(streams);  // counted once
    EXPECT_EQ(streams->value(), 2);
    released.release();
    released.release();
    EXPECT_EQ(streams->value(), 1);
    EXPECT_EQ(limiter->activeCount("a"), 1);
    {
        // Never released: a body writer dropped without running gives back on destruction.
        auto dropped = std::make_shared<ChatStreamTicket>(limiter, "a");
        dropped->countStream(streams);
        auto writer = [dropped] {};
        ChatStreamTicket uncounted(limiter, "b");
        EXPECT_EQ(streams->value(), 2);
    }
    EXPECT_EQ(streams->value(), 1);
    EXPECT_EQ(limiter->size(), 0u);
}

}  // namespace
}  // namespace klarion
