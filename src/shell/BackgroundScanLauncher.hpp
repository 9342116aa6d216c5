#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string_view>

#include "base/Clock.hpp"

namespace vt {

class DefaultsStore;
class SettingsManager;
class UserNotifying;

// One scan of a process the agent started: skipped while the automatic interval has not
// passed, else an automatic refresh whose count of pending updates is stored, and a
// notification when that count rose.
class BackgroundScanLauncher {
public:
    // Runs an automatic refresh; the number of pending updates when it completed, nothing
    // when it was cancelled, cut short or did not run.
    using Refresh = std::function<std::optional<std::size_t>()>;

    enum class Outcome { Skipped, NotCompleted, Stored, Notified };

    static constexpr std::string_view kLastOutdatedCount = "BackgroundScan.LastOutdatedCount";

    // `state`: where the last scans are noted (the program's own notes, not the settings).
    BackgroundScanLauncher(DefaultsStore& state, SettingsManager& settings, UserNotifying& notifier,
                           Refresh refresh, Clock* clock = nullptr);

    Outcome run();
    // What a click on the notification does (where the notification service has buttons).
    void setShowUpdates(std::function<void()> showUpdates) { showUpdates_ = std::move(showUpdates); }

private:
    void notify(std::size_t newUpdates, std::size_t total);

    DefaultsStore& state_;
    SettingsManager& settings_;
    UserNotifying& notifier_;
    Refresh refresh_;
    Clock& clock_;
    std::function<void()> showUpdates_;
};

}  // namespace vt
