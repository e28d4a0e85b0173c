#include "platform/worker_pool.h"

#include <algorithm>
#include <utility>

namespace klarion {

WorkerPool::WorkerPool(std::size_t workers, std::size_t maxQueued) : maxQueued_(std::max<std::size_t>(maxQueued, 1)) {
    workers = std::max<std::size_t>(workers, 1);
    threads_.reserve(workers);
    for (std::size_t i = 0; i < workers; ++i) threads_.emplace_back([this] { run(); });
}

WorkerPool::~WorkerPool() { shutdown(); }

bool WorkerPool::submit(Task task) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (stopping_ || tasks_.size() >= maxQueued_) return false;
        tasks_.push_back(std::move(task));
    }
    cv_.notify_one();
    return true;
}

void WorkerPool::shutdown() {
    std::deque<Task> dropped;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        stopping_ = true;
        dropped.swap(tasks_);
    }
    cv_.notify_all();
    dropped.clear();  // outside the lock: a task's captures may take locks when destroyed
    for (std::thread& t : threads_) {
        if (t.joinable()) t.join();
    }
}

void WorkerPool::run() {
    for (;;) {
        Task task;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            cv_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
            if (tasks_.empty()) return;  // stopping
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        try {
            task();
        } catch (...) {}
    }
}

}  // namespace klarion
