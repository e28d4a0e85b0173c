// Per-address lockout of PIN guesses.
//
// Every route that checks a PIN asks `attempt` in one locked step: a blocked
// address is refused before its PIN is looked at, a wrong PIN is counted, and
// a right PIN on a login route forgets the address. Because the check, the
// comparison and the count happen under one lock, guesses sent in parallel
// get no more tries than guesses sent one after the other.
//
// Schedule: the first four failures never block; the 5th to 9th block for
// 120 s from that failure, the 10th to 19th for 900 s, the 20th and later for
// 3600 s. The count only grows until a successful login, so once a block has
// run out the next failure blocks again.
//
// A right class PIN forgets only failures of the class PIN: every student
// knows that PIN, so were it to wipe refused teacher PINs too, anyone in the
// class could guess the teacher PIN four times, log in as a student, and go
// on guessing without ever being blocked. An address that has had a teacher
// PIN refused keeps its count until a teacher PIN is accepted on a login.
//
// The table holds at most `capacity` addresses. When a new address must be
// added to a full table, the unblocked entry whose last failure is the oldest
// makes room; blocked entries are never evicted (if every entry is blocked the
// table grows past the cap until blocks run out).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/clock.h"

namespace klarion {

class BruteForceProtection {
public:
    static constexpr std::size_t kDefaultCapacity = 10000;

    // `clock` null: the process-wide clock (currentClock()) at construction.
    explicit BruteForceProtection(std::shared_ptr<const Clock> clock = nullptr,
                                  std::size_t capacity = kDefaultCapacity);

    enum class Verdict { blocked, refused, accepted };
    // What a right PIN does to the address's count: the login routes forget
    // the address, the other teacher routes leave the count as it is.
    enum class OnSuccess { forget, keep };
    // Which PIN is tried: a teacher PIN (every teacher route and the teacher
    // login) or the class PIN (the student login).
    enum class PinKind { teacher, classPin };

    // What a PIN is to a route: right for it, the PIN of a known teacher that
    // this route does not accept (a colleague clicking a control only the
    // session holder may use: no guess, so it is refused without counting),
    // or the PIN of nobody (a guess).
    enum class PinMatch { accepted, notAllowedHere, nobody };

    // The one locked step: blocked -> `blocked` (the check is not called);
    // otherwise the check decides; a PIN of nobody counts one failure.
    // The check runs under the lockout's lock: keep it short, and never call
    // back into this object from it.
    Verdict attempt(const std::string& address, const std::function<PinMatch()>& check, OnSuccess onSuccess,
                    PinKind kind = PinKind::teacher);
    // The same where a PIN either matches or is a guess.
    Verdict attempt(const std::string& address, const std::function<bool()>& pinMatches, OnSuccess onSuccess,
                    PinKind kind = PinKind::teacher);

    // True while the address's block runs (now strictly below its end).
    bool isBlocked(const std::string& address) const;
    // Counts one failure and sets the block by the schedule above.
    void recordFailure(const std::string& address);
    // Forgets the address: count and block.
    void recordSuccess(const std::string& address);

    // The address's failure count (0 when unknown), and the table's size.
    int64_t failureCount(const std::string& address) const;
    std::size_t size() const;

    // How long the failure numbered `count` blocks, in seconds (0: no block).
    static double blockSecondsForCount(int64_t count);

private:
    struct Entry {
        int64_t failCount = 0;
        double blockedUntil = 0;
        double lastFailure = 0;
        bool teacherPinRefused = false;  // a teacher PIN failed among the counted failures
    };

    bool blockedLocked(const std::string& address, double now) const;
    Entry& recordFailureLocked(const std::string& address, double now);
    void makeRoomLocked(double now);

    std::shared_ptr<const Clock> clock_;
    std::size_t capacity_;
    mutable std::mutex mutex_;
    std::unordered_map<std::string, Entry> attempts_;
};

}  // namespace klarion
