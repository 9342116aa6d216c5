#include "base/NotificationCenter.hpp"

#include <vector>

namespace vt {

NotificationCenter& NotificationCenter::shared() {
    static NotificationCenter center;
    return center;
}

int NotificationCenter::addObserver(std::string name, Observer observer) {
    std::scoped_lock lock(mutex_);
    observers_[++lastToken_] = Entry{std::move(name), std::move(observer)};
    return lastToken_;
}

void NotificationCenter::removeObserver(int token) {
    std::scoped_lock lock(mutex_);
    observers_.erase(token);
}

void NotificationCenter::post(std::string_view name) {
    std::vector<Observer> targets;
    {
        std::scoped_lock lock(mutex_);
        for (const auto& [token, entry] : observers_) {
            if (entry.name == name) targets.push_back(entry.observer);
        }
    }
    for (const auto& observer : targets) observer(name);
}

}  // namespace vt
