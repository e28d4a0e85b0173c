// The main queue: every change of the shared application state runs on one
// thread, the main thread, in the order in which it was posted.
//
// post() may be called from any thread. After each task has run, the
// after-task hooks run on the main thread; change reactions (a redraw, saving
// the active teacher's settings) are built on them so that they compare the
// value seen after the previous task with the value after this one, never
// from inside a setter.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/observer_list.h"

namespace klarion {

class MainQueue {
public:
    using Task = std::function<void()>;
    virtual ~MainQueue() = default;

    // Queues a task to run on the main thread, first in first out. Any thread.
    virtual void post(Task task) = 0;

    // Runs a task on the calling (main) thread now, then the after-task hooks.
    // Implementations call it for every queued task; the window toolkit calls
    // it around a user action so that the hooks also follow direct actions.
    // An exception escaping the task is caught and reported on stderr.
    void runTask(const Task& task);

    // Hooks run on the main thread after every task run through runTask.
    // The returned id removes the hook. Add and remove on the main thread.
    int addAfterTaskHook(Task hook);
    void removeAfterTaskHook(int id);
    void runAfterTaskHooks();

private:
    ObserverList<> hooks_;
};

// A queue for tests and for code driven by hand: tasks wait until drained.
class DrainableMainQueue : public MainQueue {
public:
    void post(Task task) override;
    // Runs queued tasks until none is left, including tasks posted meanwhile.
    // Returns how many ran. Marks the calling thread as the main thread.
    size_t drain();
    // Runs the oldest queued task, if any.
    bool runOne();
    size_t pending() const;
    // Runs tasks as they arrive (waiting for them) until `done()` is true after
    // a task, or the time-out passes. Returns done(). Useful when work on other
    // threads posts its result here.
    bool drainUntil(const std::function<bool()>& done, double timeoutSeconds);

private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Task> tasks_;
};

// A queue that runs on the thread calling run() until stop(); it also runs
// repeating timers. Used by programs without a window.
class RunLoopMainQueue : public MainQueue {
public:
    void post(Task task) override;
    // Runs `fn` every `seconds` on the loop's thread (first run one period
    // after run() starts, or after this call when already running).
    void every(double seconds, Task fn);
    // Runs tasks and timers until stop(). Marks the calling thread as main.
    void run();
    // Makes run() return after the task it is running. Any thread.
    void stop();

private:
    struct Timer {
        std::chrono::steady_clock::duration period;
        std::chrono::steady_clock::time_point next;
        Task fn;
    };
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Task> tasks_;
    std::vector<Timer> timers_;
    bool stopping_ = false;
};

// The process-wide queue. Until one is set, a DrainableMainQueue is used.
void setMainQueue(std::shared_ptr<MainQueue> queue);
std::shared_ptr<MainQueue> mainQueue();
inline void postToMain(MainQueue::Task task) { mainQueue()->post(std::move(task)); }

// The main thread is the thread that started the process until a queue
// marks the thread it runs on (drain(), run()), or markMainThread() is called.
void markMainThread();
bool isMainThread();

// Calls `react(before, after)` after every task of `queue` at whose end
// `read()` differs from the value seen after the previous task (the value at
// registration counts as the first one seen). Several changes in one task
// give one call with the final value. Returns the hook id.
template <class T>
int addChangeReaction(MainQueue& queue, std::function<T()> read,
                      std::function<void(const T& before, const T& after)> react) {
    auto last = std::make_shared<T>(read());
    return queue.addAfterTaskHook([last, read = std::move(read), react = std::move(react)] {
        T now = read();
        if (!(now == *last)) {
            T before = std::exchange(*last, now);
            react(before, *last);
        }
    });
}

}  // namespace klarion
