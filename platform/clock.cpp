#include "platform/clock.h"

#include <chrono>
#include <cmath>
#include <ctime>

#include "platform/process_wide.h"

namespace klarion {

double SystemClock::now() const {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

double ManualClock::now() const {
    std::lock_guard lock(mutex_);
    return now_;
}

void ManualClock::set(double seconds) {
    std::lock_guard lock(mutex_);
    now_ = seconds;
}

void ManualClock::advance(double seconds) {
    std::lock_guard lock(mutex_);
    now_ += seconds;
}

namespace {
ProcessWide<Clock, SystemClock> theClock;
}  // namespace

void setCurrentClock(std::shared_ptr<Clock> clock) { theClock.set(std::move(clock)); }

std::shared_ptr<Clock> currentClock() { return theClock.get(); }

double nowSeconds() { return currentClock()->now(); }

tm localCalendarTime(double secondsSince1970) {
    time_t t = static_cast<time_t>(std::floor(secondsSince1970));
    tm local{};
    localtime_r(&t, &local);
    return local;
}

std::string formatISO8601UTC(double secondsSince1970) {
    time_t t = static_cast<time_t>(std::floor(secondsSince1970));
    tm utc{};
    gmtime_r(&t, &utc);
    char text[64];
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

}  // namespace klarion
