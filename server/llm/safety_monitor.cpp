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
      options_(std::move(options)) {
    size_t workers = std::max<size_t>(options_.workers, 1);
    workers_.reserve(workers);
    for (size_t i = 0; i < workers; ++i) workers_.emplace_back([this] { workerLoop(); });
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
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        scans_.clear();
    }
    workCv_.notify_all();
    stopCv_.notify_all();
    for (auto& worker : workers_)
        if (worker.joinable()) worker.join();
}

std::shared_ptr<MainQueue> SafetyMonitor::queue() const {
    return options_.queue ? options_.queue : mainQueue();
}

std::shared_ptr<Clock> SafetyMonitor::clock() const {
    return options_.clock ? options_.clock : currentClock();
}

void SafetyMonitor::scanForKeywords(const std::string& ip, const std::string& text) {
    const std::optional<std::string_view> match = findSafetyPhrase(text);
    const bool scanAll = config_->safetyAiScanAll();
    logger_->log("Surveillance — mot-clé=" + std::string(match ? *match : "aucun") + " scanAll=" +
                     boolText(scanAll) + " — « " + characterPrefix(text, 50) + " »",
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
                          "keyword",
                          clock()->now(),
                          false};
        alertId = alert.id;
        queue()->post([config = config_, logger = logger_, alert = std::move(alert),
                       phrase = std::string(*match)]() mutable {
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
    logger.log("🚨 Alerte sécurité (mot-clé) — " + displayName + " : " + std::string(phrase),
               AppLogLevel::warn);
}

void SafetyMonitor::applyAiSafetyVerdict(AppConfig& config, AppLogger& logger, double now,
                                         const std::optional<std::string>& alertId,
                                         const SafetyVerdict& verdict, const std::string& ip,
                                         const std::string& text) {
    if (alertId) {
        std::optional<std::string> line;
        AppLogLevel level = AppLogLevel::warn;
        config.update([&](AppConfig::Values& values) {
            auto alert = std::find_if(values.safetyAlerts.begin(), values.safetyAlerts.end(),
                                      [&](const SafetyAlert& a) { return a.id == *alertId; });
            if (alert == values.safetyAlerts.end()) return;  // pushed out by newer alerts
            if (verdict.danger) {
                alert->level = "confirmed";
                if (!verdict.motif.empty()) alert->reason = "IA : " + verdict.motif;
                line = "🚨 Alerte sécurité CONFIRMÉE par l'IA — " + alert->displayName;
            } else if (verdict.usable) {
                alert->level = "dismissed";
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
                      "confirmed",
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
        if (scans_.size() < options_.maxQueuedScans) {
            scans_.push_back(std::move(scan));
            workCv_.notify_one();
            return;
        }
    }
    logger_->log("Analyse sécurité IA abandonnée (trop d'analyses en attente) — « " +
                     characterPrefix(scan.text, 60) + " »",
                 AppLogLevel::warn);
}

bool SafetyMonitor::waitUntilIdle(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return idleCv_.wait_for(lock, timeout, [this] { return scans_.empty() && running_ == 0; });
}

size_t SafetyMonitor::queuedScans() const {
    std::lock_guard lock(mutex_);
    return scans_.size();
}

size_t SafetyMonitor::runningScans() const {
    std::lock_guard lock(mutex_);
    return running_;
}

void SafetyMonitor::workerLoop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        workCv_.wait(lock, [this] { return stopping_ || !scans_.empty(); });
        if (stopping_) return;
        Scan scan = std::move(scans_.front());
        scans_.pop_front();
        ++running_;
        lock.unlock();
        aiSafetyScan(scan);
        lock.lock();
        --running_;
        idleCv_.notify_all();
    }
}

bool SafetyMonitor::pause(std::chrono::milliseconds duration) {
    std::unique_lock lock(mutex_);
    return !stopCv_.wait_for(lock, duration, [this] { return stopping_; });
}

void SafetyMonitor::aiSafetyScan(const Scan& scan) {
    // Leave LM Studio to the students' chats while any is being relayed.
    const auto& streams = config_->activeChatStreams();
    for (int pauses = 0; pauses < options_.timings.chatStreamMaxPauses && streams->value() != 0; ++pauses)
        if (!pause(options_.timings.chatStreamPause)) return;

    if (!config_->isLmStudioOnline()) {
        logger_->log("Analyse sécurité IA ignorée (LM Studio hors ligne)", AppLogLevel::debug);
        return;
    }

    const auto timeout = std::min(client_->timeouts().safetyVerdict, options_.timings.replyWait);
    const LmReply reply = client_->chatCompletion(buildSafetyRequestBody(scan.text), timeout);
    const std::optional<std::string> content =
        reply.answered() ? safetyReplyContent(reply.body) : std::nullopt;
    if (!content) {
        logger_->log("Analyse sécurité IA — pas de réponse exploitable de LM Studio", AppLogLevel::debug);
        return;
    }
    logger_->log("Analyse sécurité IA — réponse brute : " + characterPrefix(*content, 120),
                 AppLogLevel::debug);

    SafetyVerdict verdict = readSafetyVerdict(*content);
    logger_->log("Analyse sécurité IA — verdict exploitable=" + std::string(boolText(verdict.usable)) +
                     " danger=" + boolText(verdict.danger) +
                     (verdict.motif.empty() ? std::string() : " motif=" + verdict.motif) + " — « " +
                     characterPrefix(scan.text, 60) + " »",
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
