// A 64-bit counter guarded by its own lock; it never goes below zero.
#pragma once

#include <cstdint>
#include <mutex>

namespace klarion {

class AtomicCounter {
public:
    int64_t value() const {
        std::lock_guard lock(lock_);
        return value_;
    }
    void increment() {
        std::lock_guard lock(lock_);
        ++value_;
    }
    // Takes 1 off while the value is at least 1; true when it did.
    bool decrement() {
        std::lock_guard lock(lock_);
        if (value_ < 1) return false;
        --value_;
        return true;
    }

private:
    mutable std::mutex lock_;
    int64_t value_ = 0;
};

}  // namespace klarion
