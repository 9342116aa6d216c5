#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace vt {

// Local change broadcasts by name ("Vantreel.CacheTTLSettingsDidChange"). Observers are
// called on the posting thread, with no lock of ours held, so they may post or unsubscribe.
class NotificationCenter {
public:
    using Observer = std::function<void(std::string_view name)>;

    static NotificationCenter& shared();

    int addObserver(std::string name, Observer observer);
    void removeObserver(int token);
    void post(std::string_view name);

private:
    struct Entry {
        std::string name;
        Observer observer;
    };
    std::mutex mutex_;
    std::map<int, Entry> observers_;
    int lastToken_ = 0;
};

}  // namespace vt
