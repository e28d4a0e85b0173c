// Time as seconds since 1970 (a double), through a clock that tests replace.
#pragma once

#include <ctime>
#include <memory>
#include <mutex>
#include <string>

namespace klarion {

class Clock {
public:
    virtual ~Clock() = default;
    virtual double now() const = 0;  // seconds since 1970
};

class SystemClock : public Clock {
public:
    double now() const override;
};

// A clock that only moves when told to. Thread-safe.
class ManualClock : public Clock {
public:
    explicit ManualClock(double start = 0) : now_(start) {}
    double now() const override;
    void set(double seconds);
    void advance(double seconds);

private:
    mutable std::mutex mutex_;
    double now_;
};

// The process-wide clock; a SystemClock until a test sets another one.
void setCurrentClock(std::shared_ptr<Clock> clock);
std::shared_ptr<Clock> currentClock();
double nowSeconds();  // currentClock()->now()

// The local calendar time (TZ) of a moment; fractions of a second dropped.
tm localCalendarTime(double secondsSince1970);

// An ISO 8601 internet date-time in UTC to the second: "2025-09-01T07:45:09Z"
// (fractions of a second are dropped).
std::string formatISO8601UTC(double secondsSince1970);

}  // namespace klarion
