#include "app/state/state_context.h"

namespace klarion {

StateContext StateContext::standard() {
    return StateContext{AppConfig::shared(), AppLogger::shared(), ConfigFolder(), nullptr, nullptr};
}

MainQueue& StateContext::mainQueueRef() const {
    if (queue) return *queue;
    // The process-wide queue lives for the whole run once set.
    return *mainQueue();
}

void StateContext::post(MainQueue::Task task) const {
    if (queue) {
        queue->post(std::move(task));
    } else {
        postToMain(std::move(task));
    }
}

double StateContext::now() const { return clock ? clock->now() : nowSeconds(); }

void StateContext::log(std::string message, AppLogLevel level) const {
    if (logger) logger->log(std::move(message), level);
}

void StateContext::saveRoster() const { folder.saveTeachers(config->teachers()); }

void StateContext::saveSchedule() const { folder.saveSchedule(config->scheduleConfig()); }

}  // namespace klarion
