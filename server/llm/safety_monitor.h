// The safety monitor: screens every logged student question for distress and
// violence phrases, raises keyword alerts, and asks LM Studio for a second
// opinion that confirms, dismisses or (when every question is screened)
// raises an alert.
//
// One SafetyMonitor serves a running classroom server; the "/api/log" handler
// holds it through a shared_ptr and calls scanForKeywords for every question.
// An AI scan first leaves LM Studio to the students' chats: pending scans wait
// together, on one thread, until no chat stream is relayed or their own wait
// runs out; then they go to LM Studio a few at a time on a small worker pool.
// Waiting holds no worker, so a busy class only delays the verdicts. The
// scans waiting or running are bounded by a large number (each is small); a
// scan beyond it is dropped with a journal line, as a last resort.
// Destroying the monitor drops the pending scans, ends the wait and joins the
// threads (a verdict request already sent ends within its time-out). Alerts change only in tasks posted to the main
// queue, which hold the shared state by shared_ptr, never the monitor.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/state/app_config.h"
#include "app/state/app_logger.h"
#include "app/state/records.h"
#include "app/state/state_context.h"
#include "platform/clock.h"
#include "platform/main_queue.h"
#include "platform/worker_pool.h"
#include "server/llm/lmstudio_client.h"
#include "server/llm/safety_verdict.h"

namespace klarion {

// The waits of an AI scan. The verdict request's own time-out is the client's
// `LmStudioTimeouts::safetyVerdict` (25 s); the scan never waits longer than
// `replyWait` for the answer.
struct SafetyScanTimings {
    std::chrono::milliseconds chatStreamCheck{500};   // how often running chat streams are counted
    std::chrono::milliseconds chatStreamWait{60000};  // then the scan goes on anyway
    std::chrono::milliseconds replyWait{30000};
};

struct SafetyMonitorOptions {
    SafetyScanTimings timings;
    size_t workers = 3;                // verdict requests sent at once
    size_t maxPendingScans = 5000;     // AI scans waiting or running; beyond, a scan is dropped
    std::shared_ptr<MainQueue> queue;  // null: the process-wide main queue at the time of use
    std::shared_ptr<Clock> clock;      // null: the process-wide clock at the time of use
};

class SafetyMonitor {
public:
    static constexpr size_t maxAlerts = 40;  // newest alerts kept in AppConfig::safetyAlerts

    SafetyMonitor(std::shared_ptr<AppConfig> config, std::shared_ptr<AppLogger> logger,
                  std::shared_ptr<const LmStudioClient> client, SafetyMonitorOptions options = {});
    // The same over a state context: its AppConfig, journal, main queue and
    // clock (those of `options` are replaced).
    SafetyMonitor(const StateContext& state, std::shared_ptr<const LmStudioClient> client,
                  SafetyMonitorOptions options = {});
    ~SafetyMonitor();
    SafetyMonitor(const SafetyMonitor&) = delete;
    SafetyMonitor& operator=(const SafetyMonitor&) = delete;

    // Screens one question on the calling (connection) thread: writes the
    // "Surveillance" debug line, posts a keyword alert to the main queue on a
    // match, and hands the question to the AI scan on a match or when
    // `safetyAiScanAll` is on. `ip` is the client address ("0.0.0.0" when
    // none). Returns at once; never blocks on LM Studio.
    void scanForKeywords(const std::string& ip, const std::string& text);

    // Waits until no AI scan is pending; false on time-out. For tests and
    // orderly shutdown.
    bool waitUntilIdle(std::chrono::milliseconds timeout);
    // AI scans waiting for the chat streams, and all not finished yet
    // (waiting, queued for a worker or running), now.
    size_t waitingScans() const;
    size_t pendingScans() const;

    // Main-thread step: resolves the alert's display name from the connected
    // students as they are now (after the same request's name update), stores
    // the alert, keeps the newest 40 and writes the warn line.
    static void raiseKeywordAlert(AppConfig& config, AppLogger& logger, SafetyAlert alert, std::string_view phrase);
    // Main-thread step: applies a verdict to the keyword alert `alertId`, or,
    // without one, raises an alert of its own when the verdict is "danger".
    static void applyAiSafetyVerdict(AppConfig& config, AppLogger& logger, double now,
                                     const std::optional<std::string>& alertId, const SafetyVerdict& verdict,
                                     const std::string& ip, const std::string& text);

private:
    struct Scan {
        std::string text;
        std::optional<std::string> alertId;
        std::string ip;
    };

    struct WaitingScan {
        Scan scan;
        std::chrono::steady_clock::time_point until;  // the end of its wait for chat streams
    };

    void submit(Scan scan);
    // The waiting thread: hands the scans to the pool once no chat stream
    // runs, or each when its own wait is over.
    void waitForChatStreams();
    void release(Scan scan);  // under mutex_
    void aiSafetyScan(const Scan& scan);
    void finishScan();
    std::shared_ptr<MainQueue> queue() const;
    std::shared_ptr<Clock> clock() const;

    std::shared_ptr<AppConfig> config_;
    std::shared_ptr<AppLogger> logger_;
    std::shared_ptr<const LmStudioClient> client_;
    SafetyMonitorOptions options_;

    mutable std::mutex mutex_;
    std::condition_variable wakeCv_;  // a scan waits, or stopping
    std::condition_variable idleCv_;  // a scan finished
    std::deque<WaitingScan> waiting_;
    size_t pending_ = 0;  // waiting, queued in the pool or running
    bool stopping_ = false;
    WorkerPool pool_;
    std::thread waiter_;
};

}  // namespace klarion
