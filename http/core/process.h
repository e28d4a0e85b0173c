// Process-level utilities of the HTTP core: process and thread ids, and
// watchers of the termination signals.
#pragma once

#include <cstdint>
#include <vector>

namespace klarion {

struct Process {
    // A signal watcher receives the signal number. It runs INSIDE the signal
    // handler, on whatever thread the signal interrupted, possibly while that
    // thread holds a lock or is in the middle of malloc. So a watcher may only
    // do what is async-signal-safe: store to a lock-free std::atomic or a
    // volatile std::sig_atomic_t, write(2) a byte to a pipe or eventfd,
    // sem_post, _exit. It must not allocate, lock a mutex, use stdio or
    // streams, log, throw, or touch the application's state or main queue:
    // set a flag or wake a thread, and let that thread do the work.
    using SignalWatcher = void (*)(std::int32_t signal);

    // getpid().
    static std::int32_t pid();
    // The calling thread's id as the kernel numbers it (gettid).
    static std::uint64_t tid();

    // Registers a watcher of SIGTERM, SIGHUP and SIGINT (SIGSTOP cannot be
    // caught). The first registration in the process installs the handler;
    // from then on these signals no longer end the process by themselves:
    // a watcher that wants the process to end must see to it. Watchers are
    // called in registration order and never removed. Registration may come
    // from any thread; a null watcher is ignored.
    static void watchSignals(SignalWatcher watcher);
    // The registered watchers, in registration order.
    static std::vector<SignalWatcher> signalsWatchers();
    // What the installed handler runs: every watcher with `signal`, in order.
    // errno is as the interrupted code left it afterwards.
    static void runSignalWatchers(std::int32_t signal);
};

}  // namespace klarion
