#include "shell/BackgroundScanLauncher.hpp"

#include <chrono>
#include <string>

#include "base/Json.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Files.hpp"
#include "core/PackageCoordinator.hpp"
#include "core/ScheduledScanThrottle.hpp"
#include "settings/DefaultsStore.hpp"
#include "settings/SettingsManager.hpp"
#include "shell/UserNotifier.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger log("BackgroundScanLauncher");
    return log;
}

}  // namespace

BackgroundScanLauncher::BackgroundScanLauncher(DefaultsStore& state, SettingsManager& settings,
                                               UserNotifying& notifier, Refresh refresh, Clock* clock)
    : state_(state),
      settings_(settings),
      notifier_(notifier),
      refresh_(std::move(refresh)),
      clock_(clock ? *clock : Clock::shared()) {}

BackgroundScanLauncher::Outcome BackgroundScanLauncher::run() {
    if (ScheduledScanThrottle(state_).shouldSkip(clock_.now(), settings_.checkIntervalHours())) {
        logger().info(localized("log.background.interval_not_elapsed"));
        return Outcome::Skipped;
    }
    // A count of the wrong type or below zero counts as none.
    const long long stored = state_.integerValue(kLastOutdatedCount).value_or(0);
    const std::size_t previous = stored > 0 ? static_cast<std::size_t>(stored) : 0;
    std::optional<std::size_t> count = refresh_();
    if (!count) {
        logger().info(localized("log.background.not_persisted"));
        return Outcome::NotCompleted;
    }
    try {
        const double now = toReferenceSeconds(clock_.now());
        const std::size_t total = *count;
        state_.update([total, now](Json& values) {
            values[std::string(kLastOutdatedCount)] = total;
            values[std::string(PackageCoordinator::kBackgroundLastScanDate)] = now;
        });
    } catch (const FileWriteError& error) {
        logger().error(localized("log.background.count_failed", {error.what()}));
    }
    if (!settings_.boolValue("NotifyUpdates") || *count <= previous) return Outcome::Stored;
    notify(*count - previous, *count);
    return Outcome::Notified;
}

void BackgroundScanLauncher::notify(std::size_t newUpdates, std::size_t total) {
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(clock_.now().time_since_epoch()).count();
    UserNotification notification;
    notification.identifier = "background-scan-";
    notification.identifier += std::to_string(seconds);
    notification.title = localized("notification.new_updates_title");
    notification.body = newUpdates == 1 ? localized("notification.new_updates_single")
                                        : localized("notification.new_updates_multiple", {std::to_string(newUpdates)});
    notification.category = "UPDATES_AVAILABLE";
    notification.userInfo["source"] = "background_scan";
    notification.userInfo["totalCount"] = total;
    notification.badge = static_cast<long long>(total);
    if (showUpdates_) {
        const std::string label = localized("notification.action.show_updates");
        notification.actions = {{"default", label}, {"show-updates", label}};
        notification.onAction = [this](const std::string&) { showUpdates_(); };
    }
    try {
        notifier_.post(notification);
    } catch (const NotificationError& error) {
        logger().error(localized("log.background.notification_failed", {error.what()}));
    }
}

}  // namespace vt
