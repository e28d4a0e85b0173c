#include "platform/main_queue.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

namespace klarion {
namespace {

TEST(DrainableMainQueue, RunsTasksInOrderIncludingThosePostedWhileDraining) {
    DrainableMainQueue queue;
    std::vector<int> order;
    queue.post([&] {
        order.push_back(1);
        queue.post([&] { order.push_back(3); });
    });
    queue.post([&] { order.push_back(2); });
    EXPECT_EQ(queue.pending(), 2u);
    EXPECT_EQ(queue.drain(), 3u);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_FALSE(queue.runOne());
}

TEST(DrainableMainQueue, KeepsEachThreadsOrder) {
    DrainableMainQueue queue;
    std::vector<std::pair<int, int>> seen;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 500; ++i) queue.post([&seen, t, i] { seen.emplace_back(t, i); });
        });
    for (auto& th : threads) th.join();
    queue.drain();
    ASSERT_EQ(seen.size(), 2000u);
    std::vector<int> last(4, -1);
    for (auto [t, i] : seen) {
        EXPECT_EQ(i, last[t] + 1);
        last[t] = i;
    }
}

TEST(DrainableMainQueue, AThrowingTaskDoesNotStopTheQueue) {
    DrainableMainQueue queue;
    int ran = 0;
    queue.post([] { throw std::runtime_error("boom"); });
    queue.post([&] { ++ran; });
    queue.drain();
    EXPECT_EQ(ran, 1);
}

TEST(DrainableMainQueue, DrainUntilWaitsForWorkFromOtherThreads) {
    DrainableMainQueue queue;
    bool done = false;
    std::thread worker([&] { queue.post([&] { done = true; }); });
    EXPECT_TRUE(queue.drainUntil([&] { return done; }, 10));
    worker.join();
    EXPECT_FALSE(queue.drainUntil([] { return false; }, 0.01));  // gives up by itself
}

TEST(MainQueueHooks, ChangeReactionsRunOncePerTaskWithFinalValues) {
    DrainableMainQueue queue;
    int a = 0, b = 0;
    std::vector<std::string> reactions;
    addChangeReaction<int>(queue, [&] { return a; }, [&](const int& before, const int& after) {
        reactions.push_back("a " + std::to_string(before) + "->" + std::to_string(after) + " b=" + std::to_string(b));
    });
    addChangeReaction<int>(queue, [&] { return b; }, [&](const int&, const int& after) {
        reactions.push_back("b ->" + std::to_string(after) + " a=" + std::to_string(a));
    });
    queue.post([&] { a = 1; a = 2; b = 5; });  // both reactions see both new values
    queue.post([&] {});                        // nothing changed: no reaction
    queue.post([&] { a = 2; });                // same value: no reaction
    queue.drain();
    EXPECT_EQ(reactions, (std::vector<std::string>{"a 0->2 b=5", "b ->5 a=2"}));
    queue.runTask([&] { b = 6; });             // a direct action on the main thread
    EXPECT_EQ(reactions.back(), "b ->6 a=2");
}

TEST(MainQueueHooks, RemovedHookNoLongerRuns) {
    DrainableMainQueue queue;
    int calls = 0;
    int id = queue.addAfterTaskHook([&] { ++calls; });
    queue.post([] {});
    queue.drain();
    queue.removeAfterTaskHook(id);
    queue.post([] {});
    queue.drain();
    EXPECT_EQ(calls, 1);
}

TEST(RunLoopMainQueue, RunsTasksAndTimersUntilStopped) {
    RunLoopMainQueue queue;
    int ticks = 0;
    bool taskRan = false, onLoopThread = false;
    queue.every(0.001, [&] {
        if (++ticks == 3) queue.stop();
    });
    std::thread([&] { queue.post([&] { taskRan = true; onLoopThread = isMainThread(); }); }).join();
    queue.run();  // returns once the third tick has stopped it
    EXPECT_EQ(ticks, 3);
    EXPECT_TRUE(taskRan);
    EXPECT_TRUE(onLoopThread);
}

TEST(RunLoopMainQueue, StopFromAnotherThread) {
    RunLoopMainQueue queue;
    std::thread stopper([&] { queue.post([&] { queue.stop(); }); });
    queue.run();
    stopper.join();
    SUCCEED();
}

TEST(MainQueueGlobal, SetAndMarkMainThread) {
    auto queue = std::make_shared<DrainableMainQueue>();
    auto previous = mainQueue();
    setMainQueue(queue);
    int ran = 0;
    postToMain([&] { ++ran; });
    EXPECT_EQ(queue->drain(), 1u);
    EXPECT_EQ(ran, 1);
    EXPECT_TRUE(isMainThread());
    bool otherIsMain = true;
    std::thread([&] { otherIsMain = isMainThread(); }).join();
    EXPECT_FALSE(otherIsMain);
    setMainQueue(previous);
}

}  // namespace
}  // namespace klarion
