#include "platform/main_queue.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

namespace klarion {
namespace {

TEST(DrainableMainQueue, RunsTasksInOrderAndSurvivesAThrowingOne) {
    DrainableMainQueue queue;
    std::vector<int> order;
    queue.post([&] {
        order.push_back(1);
        queue.post([&] { order.push_back(3); });  // posted while draining: runs in the same drain
    });
    queue.post([] { throw std::runtime_error("boom"); });
    queue.post([&] { order.push_back(2); });
    EXPECT_EQ(queue.pending(), 3u);
    EXPECT_EQ(queue.drain(), 4u);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_FALSE(queue.runOne());
}

TEST(DrainableMainQueue, KeepsEachThreadsOrderAndWaitsForOtherThreads) {
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
    for (auto [t, i] : seen) EXPECT_EQ(i, std::exchange(last[t], i) + 1);

    bool done = false;
    std::thread worker([&] { queue.post([&] { done = true; }); });
    EXPECT_TRUE(queue.drainUntil([&] { return done; }, 10));
    worker.join();
    EXPECT_FALSE(queue.drainUntil([] { return false; }, 0.01));  // gives up by itself
}

TEST(MainQueueHooks, ChangeReactionsRunOncePerTaskWithFinalValuesUntilRemoved) {
    DrainableMainQueue queue;
    int a = 0, b = 0;
    std::vector<std::string> reactions;
    auto text = [](int v) { return std::to_string(v); };
    addChangeReaction<int>(
        queue, [&] { return a; },
        [&](const int& before, const int& after) {
            reactions.push_back("a " + text(before) + "->" + text(after) + " b=" + text(b));
        });
    int id = addChangeReaction<int>(
        queue, [&] { return b; },
        [&](const int&, const int& after) { reactions.push_back("b ->" + text(after) + " a=" + text(a)); });
    queue.post([&] {
        a = 1;
        a = 2;
        b = 5;
    });                          // both reactions see both new values
    queue.post([&] {});          // nothing changed: no reaction
    queue.post([&] { a = 2; });  // same value: no reaction
    queue.drain();
    EXPECT_EQ(reactions, (std::vector<std::string>{"a 0->2 b=5", "b ->5 a=2"}));
    queue.runTask([&] { b = 6; });  // a direct action on the main thread
    EXPECT_EQ(reactions.back(), "b ->6 a=2");
    queue.removeAfterTaskHook(id);
    queue.runTask([&] { b = 7; });
    EXPECT_EQ(reactions.size(), 3u);
}

TEST(RunLoopMainQueue, RunsTasksAndTimersUntilStopped) {
    RunLoopMainQueue queue;
    int ticks = 0;
    bool taskRan = false, onLoopThread = false;
    queue.every(0.001, [&] {
        if (++ticks == 3) queue.stop();
    });
    std::thread([&] {
        queue.post([&] {
            taskRan = true;
            onLoopThread = isMainThread();
        });
    }).join();
    queue.run();  // returns once the third tick has stopped it
    EXPECT_EQ(ticks, 3);
    EXPECT_TRUE(taskRan);
    EXPECT_TRUE(onLoopThread);
    bool otherIsMain = true;
    std::thread([&] { otherIsMain = isMainThread(); }).join();
    EXPECT_FALSE(otherIsMain);
}

}  // namespace
}  // namespace klarion
