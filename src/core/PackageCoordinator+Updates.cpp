#include <chrono>
#include <map>

#include "base/Cancellation.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/ProcessLock.hpp"
#include "core/PackageCoordinator.hpp"
#include "managers/PackageManager.hpp"
#include "model/VersionRules.hpp"
#include "system/CommandRunning.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger log("PackageCoordinator");
    return log;
}

constexpr std::string_view kUpdateTracker = "discoverTracking";

std::string summarySubtitle(std::size_t succeeded, std::size_t failed, bool cancelled,
                            ActivityRecord::ActivityType* type) {
    const std::string s = std::to_string(succeeded), f = std::to_string(failed),
                      total = std::to_string(succeeded + failed);
    if (cancelled) {
        *type = ActivityRecord::ActivityType::Update;
        return localized("activity.update.summary_cancelled", {s, f});
    }
    if (succeeded + failed == 0) {
        *type = ActivityRecord::ActivityType::Success;
        return localized("activity.update.summary_none");
    }
    if (failed == 0) {
        *type = ActivityRecord::ActivityType::Success;
        return localized("activity.update.summary_success", {s, total});
    }
    *type = succeeded > 0 ? ActivityRecord::ActivityType::Update : ActivityRecord::ActivityType::Error;
    return localized("activity.update.summary_with_failures", {s, total, f});
}

}  // namespace

Json PackageCoordinator::PackageUpdateResult::toJson() const {
    Json json = Json::object();
    json["package"] = vt::toJson(package);
    json["success"] = success;
    json["duration"] = duration;
    if (error) json["error"] = *error;
    json["suggestion"] = suggestion;
    if (command) json["command"] = *command;
    json["requiresUserAction"] = requiresUserAction;
    if (newVersion) json["newVersion"] = *newVersion;
    return json;
}

void PackageCoordinator::setInventoryChangedHandler(std::function<void()> handler) {
    std::scoped_lock lock(mutex_);
    inventoryChanged_ = std::move(handler);
}

std::vector<PackageCoordinator::PackageUpdateResult> PackageCoordinator::updatePackages(
    const std::vector<Package>& packages, std::stop_token stop, const UpdateProgress& progress) {
    if (options_.packageManager == nullptr) throw std::logic_error("No package adapters to update with");
    PackageManager& adapters = *options_.packageManager;
    const std::string trackingKey = "update-" + Uuid::random().toString();
    beginTracking(kUpdateTracker, trackingKey);
    struct EndTracking {
        PackageCoordinator* self;
        std::string key;
        ~EndTracking() { self->endTracking(kUpdateTracker, key); }
    } endTracking{this, trackingKey};

    ProcessLock updateLock;
    if (!options_.lockFolder.empty()) {
        updateLock = ProcessLock::tryAcquire(options_.lockFolder + "/update.lock", ProcessLock::Mode::Exclusive);
        if (!updateLock.isHeld()) {
            logger().info("📦 Waiting for the running scan or update of another Van Treel process");
            updateLock = ProcessLock::acquire(options_.lockFolder + "/update.lock", ProcessLock::Mode::Exclusive, stop);
        }
        // A scan may have finished while this process waited: change what it saved, not the
        // inventory this process started with.
        if (updateLock.isHeld() && options_.savedPackages) {
            std::vector<Package> saved = options_.savedPackages();
            std::optional<ScanMetadata> metadata = options_.savedMetadata ? options_.savedMetadata() : std::nullopt;
            std::scoped_lock lock(mutex_);
            packages_ = std::move(saved);
            if (metadata) {
                sourceStates_ = metadata->sources;
                packagesScanDate_ = metadata->lastScanDate;
            }
        }
    }
    const auto start = clock().now();
    std::vector<PackageUpdateResult> results;
    bool cancelled = false;
    for (std::size_t i = 0; i < packages.size(); ++i) {
        const Package& package = packages[i];
        if (stop.stop_requested()) {
            cancelled = true;
            break;
        }
        if (progress) progress(package, i, packages.size());
        setProgressText(package.name);
        PackageUpdateResult result;
        result.package = package;
        const auto itemStart = std::chrono::steady_clock::now();
        try {
            logger().info("📦 Updating " + package.name + " (" + std::string(rawValue(package.type)) + ") from " +
                          package.version);
            adapters.updatePackage(package, stop);
            result.success = true;
        } catch (const CancellationError&) {
            result.error = localized("refresh.cancelled");
            cancelled = true;
        } catch (const CommandError& error) {
            cancelled = error.kind() == CommandError::Kind::Cancelled;
            result.error = error.description();
        } catch (const std::exception& error) {
            result.error = error.what();
        }
        result.duration = std::chrono::duration<double>(std::chrono::steady_clock::now() - itemStart).count();
        if (!result.success) logger().error("❌ Update of " + package.name + " failed: " + result.error.value_or(""));
        results.push_back(std::move(result));
        if (cancelled) break;
    }

    // Re-check what was attempted, through the adapters that own it.
    std::map<BaseManager*, bool> rechecked;
    std::vector<Package> refreshed;
    if (!stop.stop_requested()) {
        for (const auto& result : results) {
            BaseManager* owner = adapters.adapterFor(result.package.type);
            if (owner == nullptr || rechecked.count(owner)) continue;
            rechecked[owner] = true;
            try {
                std::vector<Package> installed = owner->listInstalled(stop);
                std::vector<Package> outdated = owner->checkOutdated(stop);
                for (Package& item : installed) {
                    for (const Package& update : outdated) {
                        if (stableKey(update) == stableKey(item)) item.latestVersion = update.latestVersion;
                    }
                }
                refreshed.insert(refreshed.end(), installed.begin(), installed.end());
            } catch (const std::exception& error) {
                logger().warning(std::string("⚠️ Re-check after update failed: ") + error.what());
                rechecked[owner] = false;
            }
        }
    }
    for (auto& result : results) {
        for (const Package& item : refreshed) {
            if (stableKey(item) != stableKey(result.package)) continue;
            result.newVersion = item.version;
            // An adapter that reported success while the item is still outdated did not update it.
            if (result.success && item.version == result.package.version &&
                isUpdateAvailable(item.version, item.latestVersion, true)) {
                result.success = false;
                result.error = localized("update.still_outdated");
            }
        }
    }
    if (!refreshed.empty()) {
        {
            std::scoped_lock lock(mutex_);
            for (const Package& item : refreshed) {
                auto key = stableKey(item);
                bool replaced = false;
                for (Package& existing : packages_) {
                    if (stableKey(existing) == key) {
                        existing = item;
                        replaced = true;
                    }
                }
                if (!replaced) packages_.push_back(item);
            }
            // Items the re-check no longer lists were removed by the update.
            for (const auto& [adapter, ok] : rechecked) {
                if (!ok) continue;
                // A structured binding cannot be captured under clang 14; a plain copy can.
                auto owner = adapter;
                std::erase_if(packages_, [&](const Package& existing) {
                    bool ownedByThis = adapters.adapterFor(existing.type) == owner;
                    if (!ownedByThis) return false;
                    auto key = stableKey(existing);
                    return std::none_of(refreshed.begin(), refreshed.end(),
                                        [&](const Package& item) { return stableKey(item) == key; });
                });
            }
        }
    }

    std::size_t succeeded = 0, failed = 0;
    for (const auto& result : results) (result.success ? succeeded : failed) += 1;
    ActivityRecord record;
    record.date = clock().now();
    record.title = localized(cancelled ? "activity.update.global_cancelled" : "activity.update.completed_title");
    record.subtitle = summarySubtitle(succeeded, failed, cancelled, &record.type);
    record.duration = std::max(0.0, secondsBetween(start, record.date));
    addActivity(std::move(record));
    std::function<void()> changed;
    {
        std::scoped_lock lock(mutex_);
        changed = inventoryChanged_;
    }
    if (changed) changed();
    setProgressText("");
    return results;
}

}  // namespace vt
