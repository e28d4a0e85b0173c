#include "platform/main_queue.h"

#include <cstdio>
#include <exception>
#include <thread>

#include "platform/process_wide.h"

namespace klarion {

namespace {
ProcessWide<MainQueue, DrainableMainQueue> currentQueue;
std::mutex mainThreadMutex;
std::thread::id mainThreadId = std::this_thread::get_id();  // static init runs on the starting thread
}  // namespace

void MainQueue::runTask(const Task& task) {
    try {
        if (task) task();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "klarion: main-queue task failed: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "klarion: main-queue task failed\n");
    }
    runAfterTaskHooks();
}

int MainQueue::addAfterTaskHook(Task hook) {
    // A hook that fails is reported and leaves the next ones to run.
    return hooks_.subscribe([hook = std::move(hook)] {
        try {
            hook();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "klarion: after-task hook failed: %s\n", e.what());
        }
    });
}

void MainQueue::removeAfterTaskHook(int id) { hooks_.unsubscribe(id); }

void MainQueue::runAfterTaskHooks() { hooks_.notify(); }

void DrainableMainQueue::post(Task task) {
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    cv_.notify_all();
}

bool DrainableMainQueue::runOne() {
    Task task;
    {
        std::lock_guard lock(mutex_);
        if (tasks_.empty()) return false;
        task = std::move(tasks_.front());
        tasks_.pop_front();
    }
    runTask(task);
    return true;
}

size_t DrainableMainQueue::drain() {
    markMainThread();
    size_t count = 0;
    while (runOne()) ++count;
    return count;
}

size_t DrainableMainQueue::pending() const {
    std::lock_guard lock(mutex_);
    return tasks_.size();
}

bool DrainableMainQueue::drainUntil(const std::function<bool()>& done, double timeoutSeconds) {
    markMainThread();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                           std::chrono::duration<double>(timeoutSeconds));
    while (true) {
        while (runOne()) {
            if (done()) return true;
        }
        if (done()) return true;
        std::unique_lock lock(mutex_);
        if (!cv_.wait_until(lock, deadline, [&] { return !tasks_.empty(); })) {
            lock.unlock();
            return done();
        }
    }
}

void RunLoopMainQueue::post(Task task) {
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    cv_.notify_all();
}

void RunLoopMainQueue::every(double seconds, Task fn) {
    auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(seconds > 0 ? seconds : 0.001));
    {
        std::lock_guard lock(mutex_);
        timers_.push_back({period, std::chrono::steady_clock::now() + period, std::move(fn)});
    }
    cv_.notify_all();
}

void RunLoopMainQueue::run() {
    markMainThread();
    std::unique_lock lock(mutex_);
    auto start = std::chrono::steady_clock::now();
    for (auto& timer : timers_) timer.next = start + timer.period;
    while (!stopping_) {
        if (!tasks_.empty()) {
            Task task = std::move(tasks_.front());
            tasks_.pop_front();
            lock.unlock();
            runTask(task);
            lock.lock();
            continue;
        }
        auto now = std::chrono::steady_clock::now();
        auto wake = now + std::chrono::hours(1);
        Task due;
        for (auto& timer : timers_) {
            if (timer.next <= now) {
                timer.next = now + timer.period;
                due = timer.fn;
                break;
            }
            wake = std::min(wake, timer.next);
        }
        if (due) {
            lock.unlock();
            runTask(due);
            lock.lock();
            continue;
        }
        cv_.wait_until(lock, wake, [&] { return stopping_ || !tasks_.empty(); });
    }
    stopping_ = false;
}

void RunLoopMainQueue::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    cv_.notify_all();
}

void setMainQueue(std::shared_ptr<MainQueue> queue) { currentQueue.set(std::move(queue)); }

std::shared_ptr<MainQueue> mainQueue() { return currentQueue.get(); }

void markMainThread() {
    std::lock_guard lock(mainThreadMutex);
    mainThreadId = std::this_thread::get_id();
}

bool isMainThread() {
    std::lock_guard lock(mainThreadMutex);
    return mainThreadId == std::this_thread::get_id();
}

}  // namespace klarion
