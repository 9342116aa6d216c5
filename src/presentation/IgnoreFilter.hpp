#pragma once

#include <map>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "base/Clock.hpp"
#include "presentation/AllUpdatesRowPipeline.hpp"
#include "presentation/IgnoredItem.hpp"
#include "presentation/SnoozeStore.hpp"
#include "settings/SettingsManager.hpp"

namespace vt {

// Everything that takes rows out of the table, read once: ignored items, skipped versions,
// snoozes, auto-deferrals and the minimum release age. An ignore names an application by
// its bundle identifier (or any row by its id); the index made from the rows lets it hide
// the same application under every source: its cask token, its name and its identifier
// stand for it wherever a row of an application or a cask carries them.
class IgnoreFilter {
public:
    struct State {
        std::set<std::string> ignored;
        std::map<std::string, std::string> skippedVersions;
        SnoozeStore::Entries snoozes;
        std::map<std::string, AutoDeferredUpdate> deferrals;
        long long minimumReleaseAgeDays = 0;
        Clock::TimePoint now{};
    };

    // What holds a row back, the first of the mechanisms in the order they are tested.
    enum class Hold { None, Ignored, VersionSkipped, Snoozed, Deferred, TooRecent };

    IgnoreFilter(State state, const std::vector<AllUpdateRow>& rows);

    RowHiding hiding(const AllUpdateRow& row) const;
    Hold hold(const AllUpdateRow& row) const;
    // The ids under which a row's skip, snooze and deferral are stored.
    bool isIgnored(const AllUpdateRow& row) const;
    // Everything taken out, one line per item and mechanism, named after the rows when
    // they are known.
    std::vector<IgnoredItem> ignoredItems(const std::vector<AllUpdateRow>& rows) const;

    const State& state() const noexcept { return state_; }

private:
    std::vector<std::string> aliases(const AllUpdateRow& row) const;
    State state_;
    std::unordered_set<std::string> ignoredAliases_;
};

// Lower-case letters and digits only: "Visual Studio Code" and "visual-studio-code" meet.
std::string normalizedAppName(std::string_view name);

}  // namespace vt
