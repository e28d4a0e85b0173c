// A list of callbacks told of a change: subscribe returns an id that
// unsubscribes. notify calls every callback subscribed when it starts, on the
// notifying thread, outside the list's lock, so a callback may subscribe or
// unsubscribe. Thread-safe.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace klarion {

template <class... Args>
class ObserverList {
public:
    using Observer = std::function<void(Args...)>;

    int subscribe(Observer observer) {
        std::lock_guard lock(mutex_);
        int id = nextId_++;
        observers_[id] = std::make_shared<Observer>(std::move(observer));
        return id;
    }

    void unsubscribe(int id) {
        std::lock_guard lock(mutex_);
        observers_.erase(id);
    }

    // Stops at the first callback that throws, letting the exception out.
    void notify(Args... args) const {
        std::vector<std::shared_ptr<Observer>> observers;
        {
            std::lock_guard lock(mutex_);
            observers.reserve(observers_.size());
            for (const auto& [id, observer] : observers_) observers.push_back(observer);
        }
        for (const auto& observer : observers) (*observer)(args...);
    }

private:
    mutable std::mutex mutex_;
    std::map<int, std::shared_ptr<Observer>> observers_;
    int nextId_ = 1;
};

}  // namespace klarion
