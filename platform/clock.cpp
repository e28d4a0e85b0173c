#include "platform/clock.h"

#include <chrono>

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
std::mutex clockMutex;
std::shared_ptr<Clock> theClock;
}  // namespace

void setCurrentClock(std::shared_ptr<Clock> clock) {
    std::lock_guard lock(clockMutex);
    theClock = std::move(clock);
}

std::shared_ptr<Clock> currentClock() {
    std::lock_guard lock(clockMutex);
    if (!theClock) theClock = std::make_shared<SystemClock>();
    return theClock;
}

double nowSeconds() { return currentClock()->now(); }

}  // namespace klarion
