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
    EXPECT_EQ(limiter.activeCount("10.0.0.5"), 2);
    EXPECT_TRUE(limiter.tryAcquire("10.0.0.6"));  // another address is not concerned

    limiter.release("10.0.0.5");
    EXPECT_EQ(limiter.activeCount("10.0.0.5"), 1);
    EXPECT_TRUE(limiter.tryAcquire("10.0.0.5"));
}

TEST(RateLimiter, ForgetsAnAddressWhoseLastStreamEnded) {
    RateLimiter limiter;
    ASSERT_TRUE(limiter.tryAcquire("a"));
    limiter.release("a");
    EXPECT_EQ(limiter.size(), 0u);
    limiter.release("a");  // releasing more than taken changes nothing
    limiter.release("never-seen");
    EXPECT_EQ(limiter.size(), 0u);
    EXPECT_TRUE(limiter.tryAcquire("a"));
    EXPECT_TRUE(limiter.tryAcquire("a"));
}

TEST(RateLimiter, ParallelRequestsOfOneAddressGetTwoSlots) {
    RateLimiter limiter;
    std::atomic<int> granted{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 16; ++i) {
        threads.emplace_back([&] {
            if (limiter.tryAcquire("0.0.0.0")) ++granted;
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(granted.load(), 2);
}

TEST(ChatStreamTicket, GivesSlotAndCountBackExactlyOnce) {
    auto limiter = std::make_shared<RateLimiter>();
    auto streams = std::make_shared<AtomicCounter>();
    ASSERT_TRUE(limiter->tryAcquire("a"));
    ASSERT_TRUE(limiter->tryAcquire("a"));
    {
        ChatStreamTicket ticket(limiter, "a");
        ticket.countStream(streams);
        ticket.countStream(streams);  // counted once
        EXPECT_EQ(streams->value(), 1);
        ticket.release();
        ticket.release();
        EXPECT_EQ(streams->value(), 0);
        EXPECT_EQ(limiter->activeCount("a"), 1);
    }  // the destructor after release() gives nothing more back
    EXPECT_EQ(limiter->activeCount("a"), 1);
}

TEST(ChatStreamTicket, DestructorGivesBackWhatWasNeverReleased) {
    auto limiter = std::make_shared<RateLimiter>();
    auto streams = std::make_shared<AtomicCounter>();
    ASSERT_TRUE(limiter->tryAcquire("a"));
    {
        auto ticket = std::make_shared<ChatStreamTicket>(limiter, "a");
        ticket->countStream(streams);
        auto writer = [ticket] {};  // a body writer that is dropped without running
        EXPECT_EQ(streams->value(), 1);
    }
    EXPECT_EQ(streams->value(), 0);
    EXPECT_EQ(limiter->activeCount("a"), 0);
}

TEST(ChatStreamTicket, AnUncountedTicketLeavesTheStreamCountAlone) {
    auto limiter = std::make_shared<RateLimiter>();
    auto streams = std::make_shared<AtomicCounter>();
    streams->increment();  // another chat's stream
    ASSERT_TRUE(limiter->tryAcquire("a"));
    { ChatStreamTicket ticket(limiter, "a"); }
    EXPECT_EQ(streams->value(), 1);
    EXPECT_EQ(limiter->activeCount("a"), 0);
}

}  // namespace
}  // namespace klarion
