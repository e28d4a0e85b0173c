#include "http/core/process.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <mutex>

namespace klarion {

namespace {

// The watchers form a list that only grows: the handler walks it with atomic
// loads alone (no lock, no allocation), registration appends under a mutex.
struct WatcherNode {
    Process::SignalWatcher watcher;
    std::atomic<WatcherNode*> next{nullptr};
};
static_assert(std::atomic<WatcherNode*>::is_always_lock_free);

std::atomic<WatcherNode*> firstWatcher{nullptr};
std::mutex registration;
WatcherNode* lastWatcher = nullptr;  // guarded by `registration`
bool handlerInstalled = false;       // guarded by `registration`

// Calls `visit` with each watcher in registration order; atomic loads only.
template <class Visit>
void forEachWatcher(Visit visit) {
    for (auto* node = firstWatcher.load(std::memory_order_acquire); node;
         node = node->next.load(std::memory_order_acquire))
        visit(node->watcher);
}

extern "C" void onTerminationSignal(int signal) { Process::runSignalWatchers(signal); }

}  // namespace

std::int32_t Process::pid() { return static_cast<std::int32_t>(::getpid()); }

std::uint64_t Process::tid() { return static_cast<std::uint64_t>(::gettid()); }

void Process::watchSignals(SignalWatcher watcher) {
    if (!watcher) return;
    std::lock_guard lock(registration);
    auto* node = new WatcherNode{watcher};  // never freed: watchers stay for the whole run
    (lastWatcher ? lastWatcher->next : firstWatcher).store(node, std::memory_order_release);
    lastWatcher = node;
    if (!handlerInstalled) {
        handlerInstalled = true;
        // SIGSTOP cannot be caught: its installation fails and is ignored.
        for (int signal : {SIGTERM, SIGHUP, SIGSTOP, SIGINT}) std::signal(signal, onTerminationSignal);
    }
}

std::vector<Process::SignalWatcher> Process::signalsWatchers() {
    std::vector<SignalWatcher> watchers;
    forEachWatcher([&](SignalWatcher watcher) { watchers.push_back(watcher); });
    return watchers;
}

void Process::runSignalWatchers(std::int32_t signal) {
    const int savedErrno = errno;
    forEachWatcher([signal](SignalWatcher watcher) { watcher(signal); });
    errno = savedErrno;
}

}  // namespace klarion
