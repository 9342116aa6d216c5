#pragma once

#include <map>
#include <optional>
#include <string>

#include "base/Clock.hpp"

namespace vt {

class SettingsManager;

// Snoozed items in the settings' "SnoozedApps": item id to the date the snooze ends (seconds
// since the reference date), or "indefinitely". A snooze ends at its date: from that instant
// the item shows again, and its entry stays until the next change drops the expired ones.
class SnoozeStore {
public:
    // nullopt: indefinitely.
    using Entries = std::map<std::string, std::optional<Clock::TimePoint>>;

    explicit SnoozeStore(SettingsManager& settings) : settings_(settings) {}

    Entries all() const;
    // One write; expired entries are dropped with it.
    void snooze(const std::string& itemId, std::optional<Clock::TimePoint> until, Clock::TimePoint now);
    bool unsnooze(const std::string& itemId);
    static bool hides(const Entries& entries, const std::string& itemId, Clock::TimePoint now);

private:
    void store(const Entries& entries);
    SettingsManager& settings_;
};

}  // namespace vt
