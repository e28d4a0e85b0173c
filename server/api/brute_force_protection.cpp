#include "server/api/brute_force_protection.h"

#include <limits>

namespace klarion {

BruteForceProtection::BruteForceProtection(std::shared_ptr<const Clock> clock, std::size_t capacity)
    : clock_(clock ? std::move(clock) : std::shared_ptr<const Clock>(currentClock())),
      capacity_(capacity == 0 ? 1 : capacity) {}

double BruteForceProtection::blockSecondsForCount(int64_t count) {
    if (count >= 20) return 3600;
    if (count >= 10) return 900;
    if (count >= 5) return 120;
    return 0;
}

BruteForceProtection::Verdict BruteForceProtection::attempt(const std::string& address,
                                                            const std::function<bool()>& pinMatches,
                                                            OnSuccess onSuccess, PinKind kind) {
    return attempt(
        address, [&] { return pinMatches() ? PinMatch::accepted : PinMatch::nobody; }, onSuccess, kind);
}

BruteForceProtection::Verdict BruteForceProtection::attempt(const std::string& address,
                                                            const std::function<PinMatch()>& check, OnSuccess onSuccess,
                                                            PinKind kind) {
    std::lock_guard lock(mutex_);
    const double now = clock_->now();
    if (blockedLocked(address, now)) return Verdict::blocked;
    const PinMatch match = check();
    if (match == PinMatch::notAllowedHere) return Verdict::refused;
    if (match == PinMatch::nobody) {
        Entry& entry = recordFailureLocked(address, now);
        if (kind == PinKind::teacher) entry.teacherPinRefused = true;
        return Verdict::refused;
    }
    if (onSuccess == OnSuccess::forget) {
        auto it = attempts_.find(address);
        if (it != attempts_.end() && (kind == PinKind::teacher || !it->second.teacherPinRefused)) {
            attempts_.erase(it);
        }
    }
    return Verdict::accepted;
}

bool BruteForceProtection::isBlocked(const std::string& address) const {
    std::lock_guard lock(mutex_);
    return blockedLocked(address, clock_->now());
}

void BruteForceProtection::recordFailure(const std::string& address) {
    std::lock_guard lock(mutex_);
    recordFailureLocked(address, clock_->now());
}

void BruteForceProtection::recordSuccess(const std::string& address) {
    std::lock_guard lock(mutex_);
    attempts_.erase(address);
}

int64_t BruteForceProtection::failureCount(const std::string& address) const {
    std::lock_guard lock(mutex_);
    auto it = attempts_.find(address);
    return it == attempts_.end() ? 0 : it->second.failCount;
}

std::size_t BruteForceProtection::size() const {
    std::lock_guard lock(mutex_);
    return attempts_.size();
}

bool BruteForceProtection::blockedLocked(const std::string& address, double now) const {
    auto it = attempts_.find(address);
    return it != attempts_.end() && now < it->second.blockedUntil;
}

BruteForceProtection::Entry& BruteForceProtection::recordFailureLocked(const std::string& address, double now) {
    auto it = attempts_.find(address);
    if (it == attempts_.end()) {
        if (attempts_.size() >= capacity_) makeRoomLocked(now);
        it = attempts_.emplace(address, Entry{}).first;
    }
    Entry& entry = it->second;
    if (entry.failCount < std::numeric_limits<int64_t>::max()) ++entry.failCount;
    const double block = blockSecondsForCount(entry.failCount);
    if (block > 0) entry.blockedUntil = now + block;
    entry.lastFailure = now;
    return entry;
}

void BruteForceProtection::makeRoomLocked(double now) {
    auto victim = attempts_.end();
    for (auto it = attempts_.begin(); it != attempts_.end(); ++it) {
        if (now < it->second.blockedUntil) continue;
        if (victim == attempts_.end() || it->second.lastFailure < victim->second.lastFailure) victim = it;
    }
    if (victim != attempts_.end()) attempts_.erase(victim);
}

}  // namespace klarion
