// The program's one kind of worker pool: a few threads for calls that must
// not hold the caller (LM Studio probes, safety verdicts, short links). A
// task runs on a worker and posts its result to the main queue.
//
// The pool owns its threads: the destructor (or shutdown()) drops the tasks
// not started, waits for the running ones and joins every worker, so no
// worker outlives the pool. Tasks must not own the pool (a task holding the
// last reference to it would have to join itself).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace klarion {

class WorkerPool {
public:
    using Task = std::function<void()>;

    // `workers` threads (at least one); at most `maxQueued` tasks wait.
    explicit WorkerPool(std::size_t workers = 2, std::size_t maxQueued = 32);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Queues a task; false when the queue is full or the pool shut down (the
    // task is then dropped). Any thread. An exception a task throws is dropped.
    bool submit(Task task);

    // Drops the waiting tasks, waits for the running ones, joins the workers.
    // Later submits are refused. Must not be called from a worker.
    void shutdown();

private:
    void run();

    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<Task> tasks_;
    std::vector<std::thread> threads_;
    std::size_t maxQueued_;
    bool stopping_ = false;
};

}  // namespace klarion
