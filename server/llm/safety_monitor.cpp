#include "server/llm/safety_monitor.h"

#include <algorithm>
#include <utility>

#include "app/state/student_display_name.h"
#include "platform/random.h"
#include "platform/text.h"
#include "server/llm/safety_phrases.h"

namespace klarion {

namespace {

const char* boolText(bool value) { return value ? "true" : "false"; }

// Appends and keeps the newest SafetyMonitor::maxAlerts alerts.
void appendCapped(std::vector<SafetyAlert>& alerts, SafetyAlert alert) {
    alerts.push_back(std::move(alert));
    if (alerts.size() > SafetyMonitor::maxAlerts)
        alerts.erase(alerts.begin(),
                     alerts.begin() + static_cast<std::ptrdiff_t>(alerts.size() - SafetyMonitor::maxAlerts));
}

}  // namespace

SafetyMonitor::SafetyMonitor(std::shared_ptr<AppConfig> config, std::shared_ptr<AppLogger> logger,
                             std::shared_ptr<const LmStudioClient> client, SafetyMonitorOptions options)
    : config_(std::move(config)),
      logger_(std::move(logger)),
      client_(std::move(client)),
      options_(std::move(options)),
      pool_(options_.workers, options_.maxPendingScans) {
    waiter_ = std::thread([this] { waitForChatStreams(); });
}

namespace {
SafetyMonitorOptions withState(SafetyMonitorOptions options, const StateContext& state) {
    options.queue = state.queue;
    options.clock = state.clock;
    return options;
}
}  // namespace

SafetyMonitor::SafetyMonitor(const StateContext& state, std::shared_ptr<const LmStudioClient> client,
                             SafetyMonitorOptions options)
    : SafetyMonitor(state.config, state.logger, std::move(client), withState(std::move(options), state)) {}

SafetyMonitor::~SafetyMonitor() {
    std::deque<WaitingScan> dropped;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        dropped.swap(waiting_);
    }
    wakeCv_.notify_all();
    if (waiter_.joinable()) waiter_.join();
    pool_.shutdown();
}

std::shared_ptr<MainQueue> SafetyMonitor::queue() const { return options_.queue ? options_.queue : mainQueue(); }

std::shared_ptr<Clock> SafetyMonitor::clock() const { return options_.clock ? options_.clock : currentClock(); }

void SafetyMonitor::scanForKeywords(const std::string& ip, const std::string& text) {
    const std::optional<std::string_view> match = findSafetyPhrase(text);
    const bool scanAll = config_->safetyAiScanAll();
    logger_->log("Surveillance — mot-clé=" + std::string(match ? *match : "aucun") + " scanAll=" + boolText(scanAll) +
                     " — « " + characterPrefix(text, 50) + " »",
                 AppLogLevel::debug);

    std::optional<std::string> alertId;
    if (match) {
        // The display name is left for the main thread: the name that this
        // same request sent is applied there before this step runs.
        SafetyAlert alert{randomUUIDString(),
                          "",
                          ip,
                          text,
                          "Terme sensible détecté : « " + std::string(*match) + " »",
                          SafetyAlertLevel::keyword,
                          clock()->now(),
                          false};
        alertId = alert.id;
        queue()->post(
            [config = config_, logger = logger_, alert = std::move(alert), phrase = std::string(*match)]() mutable {
                raiseKeywordAlert(*config, *logger, std::move(alert), phrase);
            });
    }
    if (match || scanAll) submit(Scan{text, std::move(alertId), ip});
}

void SafetyMonitor::raiseKeywordAlert(AppConfig& config, AppLogger& logger, SafetyAlert alert,
                                      std::string_view phrase) {
    alert.displayName = studentDisplayName(alert.ip, config.connectedStudents());
    const std::string displayName = alert.displayName;
    config.update([&](AppConfig::Values& values) { appendCapped(values.safetyAlerts, std::move(alert)); });
    logger.log("🚨 Alerte sécurité (mot-clé) — " + displayName + " : " + std::string(phrase), AppLogLevel::warn);
}

void SafetyMonitor::applyAiSafetyVerdict(AppConfig& config, AppLogger& logger, double now,
                                         const std::optional<std::string>& alertId, const SafetyVerdict& verdict,
                                         const std::string& ip, const std::string& text) {
    if (alertId) {
        std::optional<std::string> line;
        AppLogLevel level = AppLogLevel::warn;
        config.update([&](AppConfig::Values& values) {
            auto alert = std::find_if(values.safetyAlerts.begin(), values.safetyAlerts.end(),
                                      [&](const SafetyAlert& a) { return a.id == *alertId; });
            if (alert == values.safetyAlerts.end()) return;  // pushed out by newer alerts
            if (verdict.danger) {
                alert->level = SafetyAlertLevel::confirmed;
                if (!verdict.motif.empty()) alert->reason = "IA : " + verdict.motif;
                line = "🚨 Alerte sécurité CONFIRMÉE par l'IA — " + alert->displayName;
            } else if (verdict.usable) {
                alert->level = SafetyAlertLevel::dismissed;
                line = "Alerte sécurité écartée par l'IA — " + alert->displayName;
                level = AppLogLevel::info;
            } else {
                line = "⚠️ Analyse IA indisponible — alerte mot-clé CONSERVÉE (" + alert->displayName + ")";
            }
        });
        if (line) logger.log(std::move(*line), level);
        return;
    }

    if (!verdict.danger) return;
    SafetyAlert alert{randomUUIDString(),
                      studentDisplayName(ip, config.connectedStudents()),
                      ip,
                      text,
                      verdict.motif.empty() ? "Détecté par l'IA" : "IA : " + verdict.motif,
                      SafetyAlertLevel::confirmed,
                      now,
                      false};
    const std::string displayName = alert.displayName;
    config.update([&](AppConfig::Values& values) { appendCapped(values.safetyAlerts, std::move(alert)); });
    logger.log("🚨 Alerte sécurité détectée par l'IA — " + displayName, AppLogLevel::warn);
}

void SafetyMonitor::submit(Scan scan) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        if (pending_ < options_.maxPendingScans) {
            ++pending_;
            waiting_.push_back({std::move(scan), std::chrono::steady_clock::now() + options_.timings.chatStreamWait});
            wakeCv_.notify_all();
            return;
        }
    }
    logger_->log(
        "Analyse sécurité IA abandonnée (trop d'analyses en attente) — « " + characterPrefix(scan.text, 60) + " »",
        AppLogLevel::warn);
}

void SafetyMonitor::waitForChatStreams() {
    const auto& streams = config_->activeChatStreams();
    std::unique_lock lock(mutex_);
    for (;;) {
        wakeCv_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
        if (stopping_) return;
        // Leave LM Studio to the students' chats while any is being relayed.
        const bool chatsRunning = streams->value() != 0;
        const auto now = std::chrono::steady_clock::now();
        while (!waiting_.empty() && (!chatsRunning || waiting_.front().until <= now)) {
            release(std::move(waiting_.front().scan));
            waiting_.pop_front();
        }
        if (waiting_.empty()) continue;
        const auto next = std::min(now + options_.timings.chatStreamCheck, waiting_.front().until);
        wakeCv_.wait_until(lock, next, [this] { return stopping_; });
    }
}

void SafetyMonitor::release(Scan scan) {
    const bool queued = pool_.submit([this, scan = std::move(scan)] {
        aiSafetyScan(scan);
        finishScan();
    });
    if (!queued) {  // only while the pool stops
        --pending_;
        idleCv_.notify_all();
    }
}

void SafetyMonitor::finishScan() {
    std::lock_guard lock(mutex_);
    --pending_;
    idleCv_.notify_all();
}

bool SafetyMonitor::waitUntilIdle(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return idleCv_.wait_for(lock, timeout, [this] { return pending_ == 0; });
}

size_t SafetyMonitor::waitingScans() const {
    std::lock_guard lock(mutex_);
    return waiting_.size();
}

size_t SafetyMonitor::pendingScans() const {
    std::lock_guard lock(mutex_);
    return pending_;
}

void SafetyMonitor::aiSafetyScan(const Scan& scan) {
    if (!config_->isLmStudioOnline()) {
        logger_->log("Analyse sécurité IA ignorée (LM Studio hors ligne)", AppLogLevel::debug);
        return;
    }

    const auto timeout = std::min(client_->timeouts().safetyVerdict, options_.timings.replyWait);
    const LmReply reply = client_->chatCompletion(buildSafetyRequestBody(scan.text), timeout);
    const std::optional<std::string> content = reply.answered() ? safetyReplyContent(reply.body) : std::nullopt;
    if (!content) {
        logger_->log("Analyse sécurité IA — pas de réponse exploitable de LM Studio", AppLogLevel::debug);
        return;
    }
    logger_->log("Analyse sécurité IA — réponse brute : " + characterPrefix(*content, 120), AppLogLevel::debug);

    SafetyVerdict verdict = readSafetyVerdict(*content);
    logger_->log("Analyse sécurité IA — verdict exploitable=" + std::string(boolText(verdict.usable)) + " danger=" +
                     boolText(verdict.danger) + (verdict.motif.empty() ? std::string() : " motif=" + verdict.motif) +
                     " — « " + characterPrefix(scan.text, 60) + " »",
                 AppLogLevel::debug);

    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
    }
    queue()->post([config = config_, logger = logger_, clock = clock(), scan, verdict = std::move(verdict)] {
        applyAiSafetyVerdict(*config, *logger, clock->now(), scan.alertId, verdict, scan.ip, scan.text);
    });
}

}  // namespace klarion
