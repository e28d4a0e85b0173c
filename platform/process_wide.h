// One shared object for the whole process that tests may replace, made as a
// `Default` on first use. Thread-safe.
#pragma once

#include <memory>
#include <mutex>

namespace klarion {

template <class T, class Default>
class ProcessWide {
public:
    void set(std::shared_ptr<T> value) {
        std::lock_guard lock(mutex_);
        value_ = std::move(value);
    }
    std::shared_ptr<T> get() {
        std::lock_guard lock(mutex_);
        if (!value_) value_ = std::make_shared<Default>();
        return value_;
    }

private:
    std::mutex mutex_;
    std::shared_ptr<T> value_;
};

}  // namespace klarion
