// What the operations on the shared state need: the state itself, the
// journal, the configuration folder, the main queue their changes go through
// and the clock. A value that is cheap to copy; route handlers and the panel
// each hold one.
#pragma once

#include <memory>

#include "app/state/app_config.h"
#include "app/state/app_logger.h"
#include "app/state/config_files.h"
#include "platform/clock.h"
#include "platform/main_queue.h"

namespace klarion {

struct StateContext {
    std::shared_ptr<AppConfig> config;
    std::shared_ptr<AppLogger> logger;
    ConfigFolder folder;
    std::shared_ptr<MainQueue> queue;  // null: the process-wide main queue at the time of use
    std::shared_ptr<Clock> clock;      // null: the process-wide clock at the time of use

    // The program's own: AppConfig::shared(), AppLogger::shared(), the
    // configuration folder of the user's Documents folder.
    static StateContext standard();

    MainQueue& mainQueueRef() const;
    void post(MainQueue::Task task) const;
    double now() const;
    void log(std::string message, AppLogLevel level = AppLogLevel::info) const;

    // Saves the whole current roster / schedule; a failure is ignored (the
    // change stays in memory). Main thread.
    void saveRoster() const;
    void saveSchedule() const;
};

}  // namespace klarion
