#include "presentation/SnoozeStore.hpp"

#include "base/Json.hpp"
#include "settings/SettingsManager.hpp"

namespace vt {

namespace {

constexpr const char* kIndefinitely = "indefinitely";

}  // namespace

SnoozeStore::Entries SnoozeStore::all() const {
    Entries entries;
    const Json stored = settings_.value("SnoozedApps");
    if (!stored.is_object()) return entries;
    for (const auto& [item, until] : stored.items()) {
        if (until.is_number()) {
            entries[item] = fromReferenceSeconds(until.get<double>());
        } else if (until.is_string() && until.get<std::string>() == kIndefinitely) {
            entries[item] = std::nullopt;
        }
    }
    return entries;
}

void SnoozeStore::store(const Entries& entries) {
    Json json = Json::object();
    for (const auto& [item, until] : entries) {
        json[item] = until ? Json(toReferenceSeconds(*until)) : Json(kIndefinitely);
    }
    settings_.setValue("SnoozedApps", json);
}

void SnoozeStore::snooze(const std::string& itemId, std::optional<Clock::TimePoint> until, Clock::TimePoint now) {
    Entries entries = all();
    std::erase_if(entries, [now](const auto& entry) { return entry.second && *entry.second <= now; });
    entries[itemId] = until;
    store(entries);
}

bool SnoozeStore::unsnooze(const std::string& itemId) {
    Entries entries = all();
    if (entries.erase(itemId) == 0) return false;
    store(entries);
    return true;
}

bool SnoozeStore::hides(const Entries& entries, const std::string& itemId, Clock::TimePoint now) {
    auto found = entries.find(itemId);
    return found != entries.end() && (!found->second || now < *found->second);
}

}  // namespace vt
