// The debug journal: an in-memory list of the newest 500 entries, off by
// default. log() may be called from any thread; it only reads the switch and
// queues the append on the main queue. Entries change on the main thread only.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/state/records.h"
#include "platform/clock.h"
#include "platform/main_queue.h"
#include "platform/observer_list.h"

namespace klarion {

class AppLogger : public std::enable_shared_from_this<AppLogger> {
public:
    static constexpr int64_t maxEntries = 500;
    enum class Field { entries, isEnabled };

    // A null queue or clock means the process-wide one at the time of use.
    // Make it with std::make_shared: queued appends keep it alive.
    explicit AppLogger(std::shared_ptr<MainQueue> queue = nullptr, std::shared_ptr<Clock> clock = nullptr);

    // The program's journal, made on first use (thread-safe).
    static const std::shared_ptr<AppLogger>& shared();

    // When the journal is on, queues the append of an entry stamped when the
    // append runs; when off, does nothing.
    void log(std::string message, AppLogLevel level = AppLogLevel::info);

    std::vector<AppLogEntry> entries() const;
    void setEntries(std::vector<AppLogEntry> entries);  // {} clears the journal
    bool isEnabled() const { return enabled_.load(); }
    void setEnabled(bool enabled);

    // One line per entry, oldest first: "[HH:mm:ss.SSS] [LEVL] message" in
    // local time, joined with "\n", no newline after the last line.
    std::string exportText() const;

    // Called after each change of entries or of the switch.
    int subscribe(std::function<void(Field)> observer);
    void unsubscribe(int id);

private:
    void appendEntry(std::string message, AppLogLevel level);
    void notify(Field field);

    std::shared_ptr<MainQueue> queue_;
    std::shared_ptr<Clock> clock_;
    std::atomic<bool> enabled_{false};
    mutable std::mutex mutex_;
    std::vector<AppLogEntry> entries_;
    ObserverList<Field> observers_;
};

// The time of day as "HH:mm:ss.SSS" in the local time zone.
std::string formatLogTime(double secondsSince1970);

}  // namespace klarion
