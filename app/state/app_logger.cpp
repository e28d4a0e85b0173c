#include "app/state/app_logger.h"

#include <cmath>
#include <cstdio>
#include <ctime>

#include "platform/random.h"

namespace klarion {

AppLogger::AppLogger(std::shared_ptr<MainQueue> queue, std::shared_ptr<Clock> clock)
    : queue_(std::move(queue)), clock_(std::move(clock)) {}

const std::shared_ptr<AppLogger>& AppLogger::shared() {
    static const std::shared_ptr<AppLogger> instance = std::make_shared<AppLogger>();
    return instance;
}

void AppLogger::log(std::string message, AppLogLevel level) {
    if (!enabled_.load()) return;
    auto queue = queue_ ? queue_ : mainQueue();
    std::shared_ptr<AppLogger> self = weak_from_this().lock();
    if (self) {
        queue->post(
            [self, message = std::move(message), level]() mutable { self->appendEntry(std::move(message), level); });
    } else {
        // Not owned by a shared_ptr: the owner keeps it alive past its tasks.
        queue->post([this, message = std::move(message), level]() mutable { appendEntry(std::move(message), level); });
    }
}

void AppLogger::appendEntry(std::string message, AppLogLevel level) {
    double now = clock_ ? clock_->now() : nowSeconds();
    {
        std::lock_guard lock(mutex_);
        entries_.push_back({randomUUIDString(), now, level, std::move(message)});
        if (entries_.size() > static_cast<size_t>(maxEntries))
            entries_.erase(entries_.begin(), entries_.end() - maxEntries);
    }
    notify(Field::entries);
}

std::vector<AppLogEntry> AppLogger::entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
}

void AppLogger::setEntries(std::vector<AppLogEntry> entries) {
    {
        std::lock_guard lock(mutex_);
        entries_ = std::move(entries);
    }
    notify(Field::entries);
}

void AppLogger::setEnabled(bool enabled) {
    enabled_.store(enabled);
    notify(Field::isEnabled);
}

std::string formatLogTime(double secondsSince1970) {
    // Milliseconds are truncated, as a date formatter does.
    double totalMillis = std::floor(secondsSince1970 * 1000.0);
    double whole = std::floor(totalMillis / 1000.0);
    int millis = static_cast<int>(totalMillis - whole * 1000.0);
    time_t t = static_cast<time_t>(whole);
    tm local{};
    localtime_r(&t, &local);
    char text[48];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec, millis);
    return text;
}

std::string AppLogger::exportText() const {
    std::string text;
    std::lock_guard lock(mutex_);
    for (size_t i = 0; i < entries_.size(); ++i) {
        const AppLogEntry& e = entries_[i];
        if (i > 0) text += '\n';
        text += '[';
        text += formatLogTime(e.timestamp);
        text += "] [";
        text += toString(e.level);
        text += "] ";
        text += e.message;
    }
    return text;
}

int AppLogger::subscribe(std::function<void(Field)> observer) { return observers_.subscribe(std::move(observer)); }

void AppLogger::unsubscribe(int id) { observers_.unsubscribe(id); }

void AppLogger::notify(Field field) { observers_.notify(field); }

}  // namespace klarion
