#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <set>

#include "base/Cancellation.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/ProcessLock.hpp"
#include "base/Strings.hpp"
#include "core/ManagerRegistry.hpp"
#include "core/PackageCoordinator.hpp"
#include "presentation/AllUpdatesRowBuilder.hpp"
#include "presentation/ItemReasons.hpp"
#include "settings/ReleaseAgeSettings.hpp"
#include "settings/SettingsManager.hpp"
#include "sources/ApplicationUpdateChecks.hpp"
#include "sources/QuickUpdateEligibility.hpp"
#include "managers/PackageManager.hpp"
#include "model/PendingUpdate.hpp"
#include "model/VersionRules.hpp"
#include "system/CommandRunning.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger log("PackageCoordinator");
    return log;
}

// Runs one item's update and records how it ended in `result`: its error text, and whether
// it ended because the user stopped the run (cancelled, which is not a failure). Returns
// true when `update` returned.
template <typename Update>
bool captureOutcome(PackageCoordinator::PackageUpdateResult& result, bool& cancelled, const std::stop_token& stop,
                    Update&& update) {
    try {
        update();
        return true;
    } catch (const CancellationError&) {
        result.cancelled = true;
    } catch (const CommandError& error) {
        result.cancelled = error.kind() == CommandError::Kind::Cancelled;
        result.error = error.description();
    } catch (const std::exception& error) {
        result.error = error.what();
    }
    // A tool killed by the user's stop may fail in any way; the stop is what happened.
    result.cancelled = result.cancelled || stop.stop_requested();
    if (result.cancelled) {
        result.error = localized("update.cancelled");
        cancelled = true;
    }
    return false;
}

constexpr std::string_view kUpdateTracker = "discoverTracking";

// An update tracked from its start to its end, whichever way it leaves: scans wait for it.
class UpdateTracking {
public:
    UpdateTracking(PackageCoordinator& coordinator, std::string_view kind)
        : coordinator_(coordinator), key_(std::string(kind) + "-" + Uuid::random().toString()) {
        coordinator_.beginTracking(kUpdateTracker, key_);
    }
    ~UpdateTracking() { coordinator_.endTracking(kUpdateTracker, key_); }
    UpdateTracking(const UpdateTracking&) = delete;
    UpdateTracking& operator=(const UpdateTracking&) = delete;

private:
    PackageCoordinator& coordinator_;
    std::string key_;
};

// The summary line of a batch, and the kind of record it makes.
void setSummary(ActivityRecord& record, std::size_t succeeded, std::size_t failed, bool cancelled) {
    const std::string s = std::to_string(succeeded), f = std::to_string(failed),
                      total = std::to_string(succeeded + failed);
    if (cancelled) {
        record.type = ActivityRecord::ActivityType::Update;
        record.setSubtitle("activity.update.summary_cancelled", {s, f});
    } else if (succeeded + failed == 0) {
        record.type = ActivityRecord::ActivityType::Success;
        record.setSubtitle("activity.update.summary_none");
    } else if (failed == 0) {
        record.type = ActivityRecord::ActivityType::Success;
        record.setSubtitle("activity.update.summary_success", {s, total});
    } else {
        record.type = succeeded > 0 ? ActivityRecord::ActivityType::Update : ActivityRecord::ActivityType::Error;
        record.setSubtitle("activity.update.summary_with_failures", {s, total, f});
    }
}

}  // namespace

ProcessLock PackageCoordinator::acquireUpdateLock(std::stop_token stop) {
    ProcessLock updateLock;
    if (!options_.lockFolder.empty()) {
        updateLock = ProcessLock::tryAcquire(options_.lockFolder + "/update.lock", ProcessLock::Mode::Exclusive);
        if (!updateLock.isHeld()) {
            logger().info(localized("log.update.waiting_other_process"));
            logger().flush();
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
    return updateLock;
}

PackageCoordinator::PackageUpdateResult PackageCoordinator::updateOne(const Package& package, std::stop_token stop,
                                                                      bool* cancelledOut) {
    PackageManager& adapters = *options_.packageManager;
    bool cancelled = false;
    PackageUpdateResult result;
    result.package = package;
    const auto itemStart = std::chrono::steady_clock::now();
    captureOutcome(result, cancelled, stop, [&] {
        logger().info(localized("log.update.package_start",
                                {package.name, std::string(rawValue(package.type)), package.version}));
        adapters.updatePackage(package, stop);
        result.success = true;
    });
    result.duration = std::chrono::duration<double>(std::chrono::steady_clock::now() - itemStart).count();
    if (!result.success && !result.cancelled) {
        logger().error(localized("log.update.package_failed", {package.name, result.error.value_or("")}));
    }
    if (cancelled) *cancelledOut = true;
    return result;
}

std::optional<std::string> PackageCoordinator::movedSincePlan(const Package& package,
                                                             const std::optional<std::string>& installedNow) const {
    // Changed since the plan was made (another of our processes, or by hand): never backwards.
    auto wouldGoBack = [&](const std::string& version) -> std::optional<std::string> {
        if (version == package.version) return std::nullopt;
        Package now = package;
        now.version = version;
        if (hasPendingUpdate(now, true)) return std::nullopt;
        return localized("update.moved_since_plan", {version, package.latestVersion.value_or("?")});
    };
    if (installedNow) return wouldGoBack(*installedNow);
    std::scoped_lock lock(mutex_);
    const std::string key = stableKey(package);
    for (const Package& current : packages_) {
        if (stableKey(current) != key) continue;
        if (std::optional<std::string> moved = wouldGoBack(current.version)) return moved;
    }
    return std::nullopt;
}

void PackageCoordinator::recheckAfterUpdates(std::vector<PackageUpdateResult>& results, std::stop_token stop) {
    PackageManager& adapters = *options_.packageManager;
    // Re-check what was attempted, through the adapters that own it.
    std::map<BaseManager*, bool> rechecked;
    std::map<BaseManager*, std::string> unverified;  // why the re-check could not list
    std::vector<Package> refreshed;
    if (!stop.stop_requested()) {
        for (const auto& result : results) {
            BaseManager* owner = adapters.adapterFor(result.package.type);
            if (result.skipped || owner == nullptr || rechecked.count(owner)) continue;
            rechecked[owner] = true;
            try {
                std::vector<Package> installed = owner->listInstalled(stop);
                // A listing that failed, wholly or in part, is no inventory: what it lacks was
                // not seen, not removed.
                if (std::optional<std::string> failure = owner->errorMessage()) {
                    logger().warning(localized("log.update.recheck_failed", {*failure}));
                    rechecked[owner] = false;
                    unverified[owner] = *failure;
                }
                std::vector<Package> outdated = owner->checkOutdated(stop);
                for (Package& item : installed) {
                    for (const Package& update : outdated) {
                        if (stableKey(update) == stableKey(item)) takeCheckResult(item, update);
                    }
                }
                refreshed.insert(refreshed.end(), installed.begin(), installed.end());
            } catch (const std::exception& error) {
                logger().warning(localized("log.update.recheck_failed", {error.what()}));
                rechecked[owner] = false;
                unverified[owner] = error.what();
            }
        }
    }
    for (auto& result : results) {
        bool listed = false;
        for (const Package& item : refreshed) {
            if (stableKey(item) != stableKey(result.package)) continue;
            listed = true;
            result.newVersion = item.version;
            // Stopped after the tool had done its work: the item was updated all the same.
            if (result.cancelled && item.version != result.package.version) {
                result.cancelled = false;
                result.success = true;
                result.error.reset();
            }
            // An adapter that reported success while the item is still outdated did not update it.
            if (result.success && item.version == result.package.version &&
                hasPendingUpdate(item, true)) {
                result.success = false;
                result.error = result.package.type == PackageType::RubyGem ? localized("update.gem_missing_after_update")
                                                                           : localized("update.still_outdated");
            }
        }
        BaseManager* owner = adapters.adapterFor(result.package.type);
        if (auto why = unverified.find(owner);
            why != unverified.end() && !listed && result.success && result.suggestion.empty()) {
            result.suggestion = localized("update.not_verified", {why->second});
        }
        // A gem the re-check no longer lists was not updated but lost.
        if (!listed && result.success && result.package.type == PackageType::RubyGem && owner != nullptr &&
            rechecked.count(owner) && rechecked[owner]) {
            result.success = false;
            result.error = localized("update.gem_missing_after_update");
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

}

void PackageCoordinator::notifyInventoryChanged() {
    std::function<void()> changed;
    {
        std::scoped_lock lock(mutex_);
        changed = inventoryChanged_;
    }
    if (changed) changed();
}

void PackageCoordinator::setInventoryChangedHandler(std::function<void()> handler) {
    std::scoped_lock lock(mutex_);
    inventoryChanged_ = std::move(handler);
}

PackageCoordinator::BatchUpdateResult PackageCoordinator::updatePackages(const UpdatePlan& plan, std::stop_token stop,
                                                                          const BatchProgress& progress) {
    if (options_.packageManager == nullptr) throw std::logic_error("No package adapters to update with");
    const UpdateTracking tracking(*this, "update");

    ProcessLock updateLock = acquireUpdateLock(stop);
    BatchUpdateResult batch;
    batch.startTime = clock().now();
    batch.cancelled = runSteps(plan, stop, progress, batch.results);
    recheckAttempted(batch, stop);
    batch.endTime = clock().now();

    ActivityRecord record;
    record.date = batch.endTime;
    record.setTitle(batch.cancelled ? "activity.update.global_cancelled" : "activity.update.completed_title");
    setSummary(record, batch.succeededCount(), batch.failedCount(), batch.cancelled);
    record.duration = std::max(0.0, secondsBetween(batch.startTime, record.date));
    addActivity(std::move(record));
    notifyInventoryChanged();
    setProgressText("");
    return batch;
}

void PackageCoordinator::recheckAttempted(BatchUpdateResult& batch, std::stop_token stop) {
    // After a stop the user still sees what was updated: the re-check itself is not stopped.
    const std::stop_token recheckStop = batch.cancelled ? std::stop_token() : stop;
    std::vector<PackageUpdateResult> packageResults;
    for (const auto& result : batch.results) {
        if (result.package.type != PackageType::Generic) packageResults.push_back(result);
    }
    recheckAfterUpdates(packageResults, recheckStop);
    std::size_t next = 0;
    for (auto& result : batch.results) {
        if (result.package.type == PackageType::Generic) continue;
        std::string source = result.source;
        result = std::move(packageResults[next++]);
        result.source = std::move(source);
    }
}

// ---- Update of everything ----

namespace {

// The managers whose place in a batch is fixed, first to last. Homebrew comes first: the
// other tools are often its formulae. Every other manager follows in the registry's order.
constexpr std::string_view kManagerOrder[] = {"homebrew", "gems", "cargo", "yarn", "uv",
                                              "tex-live", "sdkman", "docker", "ollama"};

std::size_t managerRank(std::string_view id) {
    for (std::size_t i = 0; i < std::size(kManagerOrder); ++i) {
        if (kManagerOrder[i] == id) return i;
    }
    const auto& rows = ManagerRegistry::sources();
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (rows[i].id == id) return std::size(kManagerOrder) + i;
    }
    return std::size(kManagerOrder) + rows.size();
}

const SourceRow* rowFor(PackageType type) {
    for (const SourceRow& row : ManagerRegistry::sources()) {
        if (std::find(row.types.begin(), row.types.end(), type) != row.types.end()) return &row;
    }
    return nullptr;
}

std::string exclusionReason(const QuickUpdateExclusion& exclusion) {
    using Kind = QuickUpdateExclusion::Kind;
    switch (exclusion.kind) {
        case Kind::AppIsRunning: return localized("update_all.excluded.running", {exclusion.first});
        case Kind::BundleIDChanged: return localized("update_all.excluded.bundle_changed", {exclusion.first, exclusion.second});
        case Kind::MacOSTooOld: return localized("update_all.excluded.macos_too_old", {exclusion.first, exclusion.second});
        case Kind::SourceMismatch: return localized("update_all.excluded.source_mismatch", {exclusion.first, exclusion.second});
        case Kind::RequiresUserChoice: return localized("update_all.excluded.user_choice");
        case Kind::KnownProblematic: return localized("update_all.excluded.known_problem");
        case Kind::MajorUpgrade: return localized("update_all.excluded.major", {exclusion.first, exclusion.second});
        case Kind::CaskAutoUpdates: return localized("update_all.excluded.auto_updates");
    }
    return {};
}

// The ids of the all-updates rows, under which the ignore lists name items.
std::string rowIdOf(const Package& package) { return packageRowId(package); }
std::string rowIdOf(const Application& application) {
    return "app:" + (application.bundleIdentifier.empty() ? application.bundlePath : toLower(application.bundleIdentifier));
}

std::optional<std::string> reasonIn(const std::map<std::string, std::string>& heldBack, const std::string& id) {
    auto found = heldBack.find(id);
    if (found == heldBack.end()) return std::nullopt;
    return found->second;
}

Package packageOf(const Application& application) {
    Package package;
    package.name = application.name;
    package.version = application.version;
    package.latestVersion = application.latestVersion;
    package.sourceIdentifier = application.bundleIdentifier;
    return package;
}

// "Ruby Gems · 2 gems", "TeX Live · 3 packages", else the manager and the item.
std::string packageProgressText(const UpdatePlan::Step& step, const Package& package) {
    const std::string count = std::to_string(step.packages.size());
    if (step.manager == "gems") return localized(step.packages.size() >= 2 ? "update_all.progress.gems" : "update_all.progress.gem", {count});
    if (step.manager == "tex-live") return localized("update_all.progress.tex_live", {count});
    std::string text = step.label;
    text += punctuated(" · ");
    text += package.name;
    return text;
}

// Why a package named on the command line is not updated although it is in the inventory.
std::string notNewerReason(const Package& package, bool* upToDate) {
    const std::string latest = package.latestVersion.value_or("");
    *upToDate = true;
    if (latest.empty() || isPlaceholderVersion(latest) || compareVersions(latest, package.version) == VersionOrder::Same) {
        return localized("update.up_to_date", {package.version});
    }
    if (compareVersions(latest, package.version) == VersionOrder::Ascending) {
        *upToDate = false;
        return localized("update.not_backwards", {latest, package.version});
    }
    return localized("update.not_offered", {latest, package.version});
}

// Sorts packages into the steps of a plan, by manager in batch order, each with what its tool
// will install; what cannot go in is left out with its reason.
class PackagePlanner {
public:
    // Everything: the outdated packages nothing holds out. Named: the packages the user
    // named, each one either planned or left out with why (an ignore does not hold it back).
    enum class Request { Everything, Named };

    PackagePlanner(const SettingsManager& settings, PackageManager& adapters, std::map<std::string, std::string> heldBack,
                   bool allowPreRelease, bool caskAutoUpdates)
        : settings_(settings), adapters_(adapters), heldBack_(std::move(heldBack)), allowPreRelease_(allowPreRelease),
          caskAutoUpdates_(caskAutoUpdates) {}

    // The sources whose last update check could not learn their latest versions: an item of
    // theirs without one is not known to be up to date.
    void setLatestUnknown(std::set<std::string> sources) { latestUnknown_ = std::move(sources); }

    void add(const Package& package, Request request) {
        const SourceRow* row = rowFor(package.type);
        const std::string source = row ? row->name : std::string(displayName(package.type));
        auto leaveOut = [&](std::string reason, bool upToDate = false) {
            leftOut_.push_back({package.name, source, std::move(reason), false, upToDate});
        };
        if (!hasPendingUpdate(package, allowPreRelease_)) {
            if (request == Request::Everything) return;
            if (!package.latestVersion && row != nullptr && latestUnknown_.count(row->id) > 0) {
                leaveOut(localized("update.latest_unknown", {source}));
                return;
            }
            bool upToDate = true;
            std::string reason = notNewerReason(package, &upToDate);
            leaveOut(std::move(reason), upToDate);
            return;
        }
        if (row == nullptr) {  // listed by a source that has no update operation here
            leaveOut(localized("update_all.excluded.no_installer"));
            return;
        }
        if (auto toggle = row->toggleFor(package.type); toggle && !settings_.isVisible(*toggle)) {
            leaveOut(localized("update_all.excluded.manager_disabled"));
            return;
        }
        if (auto reason = reasonIn(heldBack_, rowIdOf(package))) {
            leaveOut(*reason);
            if (package.releaseAge && package.releaseAge->holdsBack()) {
                leftOut_.back().code = releaseAgeReason(*package.releaseAge).value_or(ItemReason{}).code;
            }
            return;
        }
        // Held back by its age even when a caller gave no hold-backs: a named update too.
        if (package.releaseAge && package.releaseAge->holdsBack()) {
            const ItemReason age = releaseAgeReason(*package.releaseAge).value_or(ItemReason{});
            leaveOut(age.text);
            leftOut_.back().code = age.code;
            return;
        }
        // A tool that installs only its own latest cannot install the older version offered.
        if (package.releaseAge && package.releaseAge->verdict == ReleaseAgeVerdict::Fallback &&
            !adapters_.pinnedVersion(package)) {
            leaveOut(localized("update_all.excluded.release_age_tool_latest",
                               {package.releaseAge->latest.value_or(""), package.latestVersion.value_or("")}));
            leftOut_.back().code = reason::kReleaseAgeWaiting;
            return;
        }
        if (package.isPinned) {
            leaveOut(localized("update_all.excluded.pinned"));
            return;
        }
        if (package.requiresManualInstaller) {
            leaveOut(localized("update_all.excluded.manual_installer"));
            return;
        }
        if (request == Request::Everything && package.autoUpdates && caskAutoUpdates_) {
            leaveOut(localized("update_all.excluded.auto_updates"));
            return;
        }
        UpdatePlan::Step& step = byManager_[managerRank(row->id)];
        if (step.packages.empty()) {
            step.manager = row->id;
            step.label = source;
            // TeX Live's update of everything is one run of tlmgr, when everything is asked for.
            step.asOneBatch = request == Request::Everything && package.type == PackageType::TlmgrPackage;
            step.together = !step.asOneBatch && adapters_.updatesTogether(package.type);
        }
        if (!step.asOneBatch && !adapters_.pinnedVersion(package)) step.toolsOwnLatest.insert(stableKey(package));
        step.packages.push_back(package);
    }

    void finish(UpdatePlan& plan) {
        for (auto& [rank, step] : byManager_) {
            // tlmgr's update of everything would also update what the plan leaves out (an
            // ignore, a snooze, a release age): then each planned package goes by its name.
            const bool someLeftOut = std::any_of(leftOut_.begin(), leftOut_.end(), [&](const UpdatePlan::LeftOut& item) {
                return item.source == step.label && !item.upToDate;
            });
            if (step.asOneBatch && someLeftOut) {
                step.asOneBatch = false;
                for (const Package& package : step.packages) {
                    if (!adapters_.pinnedVersion(package)) step.toolsOwnLatest.insert(stableKey(package));
                }
            }
            // Formulae before casks: an application cask may need a formula updated first.
            std::stable_sort(step.packages.begin(), step.packages.end(), [](const Package& a, const Package& b) {
                return a.type == PackageType::BrewFormula && b.type != PackageType::BrewFormula;
            });
            plan.steps.push_back(std::move(step));
        }
        plan.leftOut.insert(plan.leftOut.end(), leftOut_.begin(), leftOut_.end());
    }

private:
    const SettingsManager& settings_;
    PackageManager& adapters_;
    std::map<std::string, std::string> heldBack_;
    bool allowPreRelease_;
    bool caskAutoUpdates_;
    std::set<std::string> latestUnknown_;
    std::map<std::size_t, UpdatePlan::Step> byManager_;
    std::vector<UpdatePlan::LeftOut> leftOut_;
};

}  // namespace

std::string_view displayName(ApplicationUpdateCategory category) {
    switch (category) {
        case ApplicationUpdateCategory::MacAppStore: return "Mac App Store";
        case ApplicationUpdateCategory::GitHubReleases: return "GitHub Releases";
        case ApplicationUpdateCategory::Other: return "Other";
        case ApplicationUpdateCategory::Sparkle: return "Sparkle";
    }
    return "Other";
}

ApplicationUpdateCategory applicationUpdateCategory(const Application& application) {
    if (application.updateMechanism == UpdateMechanism::MacAppStore && application.appStoreID) {
        return ApplicationUpdateCategory::MacAppStore;
    }
    if (application.resolutionSource == AppRulePrimarySource::GitHub) return ApplicationUpdateCategory::GitHubReleases;
    if (application.updateMechanism == UpdateMechanism::Sparkle) return ApplicationUpdateCategory::Sparkle;
    return ApplicationUpdateCategory::Other;
}

std::size_t UpdatePlan::packageCount() const {
    std::size_t count = 0;
    for (const Step& step : steps) count += step.asOneBatch ? 0 : step.packages.size();
    return count;
}

std::size_t UpdatePlan::applicationCount() const {
    std::size_t count = 0;
    for (const Step& step : steps) count += step.applications.size();
    return count;
}

bool UpdatePlan::Step::installsToolsOwnLatest(const Package& package) const {
    return toolsOwnLatest.count(stableKey(package)) > 0;
}

std::size_t UpdatePlan::itemCount() const {
    std::size_t count = 0;
    for (const Step& step : steps) count += step.itemCount();
    return count;
}

void PackageCoordinator::setApplicationUpdater(ApplicationUpdateCategory category, ApplicationUpdater updater) {
    std::scoped_lock lock(mutex_);
    applicationUpdaters_[category] = std::move(updater);
}

UpdatePlan PackageCoordinator::planUpdateEverything() const {
    if (options_.packageManager == nullptr) throw std::logic_error("No package adapters to update with");
    UpdatePlan plan;
    plan.scanDate = scanDate();
    const bool allowPreRelease = settings_.showPreReleaseUpdates();
    const QuickUpdateSwitches switches = QuickUpdateSwitches::fromSettings(settings_);
    std::map<ApplicationUpdateCategory, ApplicationUpdater> updaters;
    {
        std::scoped_lock lock(mutex_);
        updaters = applicationUpdaters_;
    }

    const std::map<std::string, std::string> heldBack =
        options_.heldBack ? options_.heldBack() : std::map<std::string, std::string>();
    std::map<ApplicationUpdateCategory, std::vector<Application>> byCategory;
    if (options_.applications && settings_.isVisible(ManagerToggleKey::ShowInstalledApplications)) {
        for (const Application& application : options_.applications()) {
            if (!isOutdated(application, allowPreRelease)) continue;
            const ApplicationUpdateCategory category = applicationUpdateCategory(application);
            const std::string source(displayName(category));
            auto leaveOut = [&](std::string reason, bool byHand = false) {
                plan.leftOut.push_back({application.name, source, std::move(reason), byHand});
            };
            if (auto reason = reasonIn(heldBack, rowIdOf(application))) {
                leaveOut(*reason);
                continue;
            }
            if (!application.updatePreferences.includeInBatchUpdate) {
                leaveOut(localized("update_all.excluded.not_in_batch"));
                continue;
            }
            const ApplicationUpdateFacts facts =
                options_.applicationFacts ? options_.applicationFacts(application) : currentUpdateFacts(application);
            if (facts.manualOnly) {
                leaveOut(localized("update_all.excluded.manual_only"), true);
                continue;
            }
            QuickUpdateEligibility eligibility = QuickUpdateEligibility::evaluate(application, facts.quick, switches);
            if (!eligibility.isEligible()) {
                for (const QuickUpdateExclusion& exclusion : eligibility.exclusions) leaveOut(exclusionReason(exclusion));
                continue;
            }
            // `mas` updates only what the store installed, whatever its lookup found.
            if (category == ApplicationUpdateCategory::MacAppStore && !facts.installedFromAppStore) {
                leaveOut(localized("update_all.excluded.not_from_store"), true);
                continue;
            }
            if (!updaters.count(category)) {
                leaveOut(localized("update_all.excluded.no_installer"), true);
                continue;
            }
            byCategory[category].push_back(application);
        }
    }
    for (ApplicationUpdateCategory category : kApplicationUpdateCategories) {
        auto found = byCategory.find(category);
        if (found == byCategory.end()) continue;
        UpdatePlan::Step step;
        step.manager = "applications";
        step.label = displayName(category);
        step.category = category;
        step.applications = std::move(found->second);
        plan.steps.push_back(std::move(step));
    }

    PackagePlanner planner(settings_, *options_.packageManager, heldBack, allowPreRelease, switches.caskAutoUpdates);
    for (const Package& package : offeredPackages()) planner.add(package, PackagePlanner::Request::Everything);
    planner.finish(plan);
    return plan;
}

UpdatePlan PackageCoordinator::planUpdates(const std::vector<Package>& packages) const {
    if (options_.packageManager == nullptr) throw std::logic_error("No package adapters to update with");
    UpdatePlan plan;
    PackagePlanner planner(settings_, *options_.packageManager, {}, settings_.showPreReleaseUpdates(), false);
    std::set<std::string> latestUnknown;
    for (const SourceScanState& state : sourceStates()) {
        if (state.failure || state.latestVersionsUnknown) latestUnknown.insert(state.id);
    }
    planner.setLatestUnknown(std::move(latestUnknown));
    for (const Package& package : packages) planner.add(package, PackagePlanner::Request::Named);
    planner.finish(plan);
    plan.scanDate = scanDate();
    return plan;
}

std::vector<Package> offeredPackages(std::vector<Package> packages, const SettingsManager& settings,
                                     Clock::TimePoint now, PackageManager* adapters) {
    // Each source's rule read from the settings once, not once per package.
    std::map<std::string_view, ReleaseAgeRule> rules;
    for (Package& package : packages) {
        const SourceRow* row = rowFor(package.type);
        const std::string_view source = row ? std::string_view(row->id) : std::string_view();
        auto known = rules.find(source);
        if (known == rules.end()) known = rules.emplace(source, releaseAgeRule(settings, source)).first;
        // An update that removes known vulnerabilities is not held by our limit; the tool's own
        // still binds, as the tool would refuse the version.
        const ReleaseAgeRule ours = package.fixedVulnerabilities.empty() ? known->second : ReleaseAgeRule{};
        ReleaseAgeRule rule = ReleaseAgeRule::stricter(ours, package.toolReleaseAge);
        // Asked only where a limit applies: it builds the source's adapter.
        if (rule.limits()) rule.exactVersions = adapters == nullptr || adapters->pinnedVersion(package).has_value();
        applyReleaseAge(package, rule, now);
    }
    return packages;
}

std::vector<Package> PackageCoordinator::offeredPackages() const { return offeredPackages(packages()); }

std::vector<Package> PackageCoordinator::offeredPackages(std::vector<Package> packages) const {
    return vt::offeredPackages(std::move(packages), settings_, clock().now(), options_.packageManager);
}

std::optional<Clock::TimePoint> PackageCoordinator::scanDate() const {
    std::scoped_lock lock(mutex_);
    return packagesScanDate_;
}

bool PackageCoordinator::runSteps(const UpdatePlan& plan, std::stop_token stop, const BatchProgress& progress,
                                  std::vector<PackageUpdateResult>& results) {
    auto phase = [&](const std::string& text) {
        setProgressText(text);
        if (progress.phase) progress.phase(text);
    };
    std::map<ApplicationUpdateCategory, ApplicationUpdater> updaters;
    {
        std::scoped_lock lock(mutex_);
        updaters = applicationUpdaters_;
    }
    const std::size_t total = plan.itemCount();
    std::size_t index = 0;
    bool cancelled = false;
    auto finish = [&](PackageUpdateResult result) {
        if (progress.itemFinished) progress.itemFinished(result, index, total);
        results.push_back(std::move(result));
        ++index;
    };
    // Before each item: once stopped, nothing more is started.
    auto stopped = [&] {
        cancelled = cancelled || stop.stop_requested();
        return cancelled;
    };
    // What each source's tool lists now, asked once per run before its first item: the saved
    // scan does not know of an update made by hand since. Unknown when the listing fails; the
    // saved record decides then.
    std::map<BaseManager*, std::optional<std::vector<Package>>> listedNow;
    auto installedNow = [&](const Package& package) -> std::optional<std::string> {
        BaseManager* owner = options_.packageManager->adapterFor(package.type);
        if (owner == nullptr) return std::nullopt;
        auto [listed, first] = listedNow.try_emplace(owner);
        if (first) {
            try {
                listed->second = owner->listInstalled(stop);
            } catch (const CancellationError&) {
                // Stopped: nothing more is started anyway.
            } catch (const std::exception& error) {
                logger().warning(localized("log.update.listing_before_failed", {error.what()}));
            }
        }
        if (!listed->second) return std::nullopt;
        const std::string key = stableKey(package);
        for (const Package& item : *listed->second) {
            if (stableKey(item) == key) return item.version;
        }
        return std::nullopt;
    };
    // A package whose version moved since the plan was made is left as it is.
    auto leftAsItIs = [&](const Package& package, const std::string& source) {
        std::optional<std::string> moved = movedSincePlan(package, installedNow(package));
        if (!moved) return false;
        PackageUpdateResult result;
        result.package = package;
        result.source = source;
        result.skipped = true;
        result.error = std::move(moved);
        finish(std::move(result));
        return true;
    };
    for (const UpdatePlan::Step& step : plan.steps) {
        for (const Application& application : step.applications) {
            if (stopped()) break;
            phase("Applications · " + application.name);
            if (progress.itemStarted) progress.itemStarted(application.name, step.label, index, total);
            PackageUpdateResult result;
            result.package = packageOf(application);
            result.source = step.label;
            const bool github = step.category == ApplicationUpdateCategory::GitHubReleases;
            if (github) {
                logger().info(localized(
                    "log.update.github_start",
                    {application.name, application.resolutionReason.value_or(application.downloadURL.value_or("")),
                     application.latestVersion ? "true" : "false"}));
            }
            const auto itemStart = std::chrono::steady_clock::now();
            captureOutcome(result, cancelled, stop, [&] {
                ApplicationUpdateOutcome outcome = updaters.at(*step.category)(application, stop);
                result.requiresUserAction = outcome.requiresUserAction;
                result.success = !outcome.requiresUserAction;
                result.newVersion = outcome.newVersion;
                if (outcome.requiresUserAction) result.error = outcome.message;
                result.command = outcome.command;
            });
            result.duration = std::chrono::duration<double>(std::chrono::steady_clock::now() - itemStart).count();
            if (!result.success && !result.cancelled && github) {
                logger().error(localized("log.update.github_failed", {application.name, result.error.value_or("")}));
            }
            finish(std::move(result));
        }
        if (step.asOneBatch) {
            if (stopped()) break;
            phase(packageProgressText(step, step.packages.front()));
            if (progress.itemStarted) progress.itemStarted(step.label, step.label, index, total);
            PackageUpdateResult result;
            result.package.name = step.label;
            result.package.type = step.packages.front().type;
            result.package.version = localized("update.packages_count", {std::to_string(step.packages.size())});
            result.source = step.label;
            const auto itemStart = std::chrono::steady_clock::now();
            if (!captureOutcome(result, cancelled, stop, [&] {
                    BaseManager* adapter = options_.packageManager->adapterFor(result.package.type);
                    if (adapter == nullptr) throw std::runtime_error("No adapter for " + step.label);
                    logger().info(localized("log.update.batch_start", {step.label, result.package.version}));
                    adapter->updateAll(stop);
                    result.success = true;
                }) &&
                !result.cancelled) {
                result.suggestion = result.error.value_or("");
                result.error = localized("update.failed_named", {"TeX Live"});
            }
            result.duration = std::chrono::duration<double>(std::chrono::steady_clock::now() - itemStart).count();
            finish(std::move(result));
            continue;
        }
        if (step.together) {
            std::vector<Package> together;
            for (const Package& package : step.packages) {
                if (!leftAsItIs(package, step.label)) together.push_back(package);
            }
            if (together.empty()) continue;
            if (stopped()) break;
            phase(step.label + " · " + std::to_string(together.size()));
            if (progress.itemStarted) {
                progress.itemStarted(step.label + " (" + std::to_string(together.size()) + ")", step.label, index, total);
            }
            PackageUpdateResult outcome;
            const auto itemStart = std::chrono::steady_clock::now();
            captureOutcome(outcome, cancelled, stop, [&] {
                logger().info(localized("log.update.together_start", {std::to_string(together.size()), step.label}));
                options_.packageManager->updateTogether(together, stop);
                outcome.success = true;
            });
            outcome.duration = std::chrono::duration<double>(std::chrono::steady_clock::now() - itemStart).count();
            outcome.source = step.label;
            for (const Package& package : together) {
                PackageUpdateResult result = outcome;
                result.package = package;
                finish(std::move(result));
            }
            continue;
        }
        for (const Package& package : step.packages) {
            if (stopped()) break;
            if (leftAsItIs(package, step.label)) continue;
            phase(packageProgressText(step, package));
            if (progress.itemStarted) progress.itemStarted(package.name, step.label, index, total);
            PackageUpdateResult result = updateOne(package, stop, &cancelled);
            result.source = step.label;
            if (!result.success && !result.cancelled && package.type == PackageType::CargoPackage) {
                // The fixed message leads; what cargo said stays readable under it.
                result.suggestion = result.error.value_or("");
                result.error = localized("update.failed_named", {"Cargo"});
            }
            finish(std::move(result));
        }
        if (cancelled) break;
    }
    return stopped();
}

PackageCoordinator::BatchUpdateResult PackageCoordinator::updateEverything(const UpdatePlan& plan, std::stop_token stop,
                                                                           const BatchProgress& progress) {
    if (options_.packageManager == nullptr) throw std::logic_error("No package adapters to update with");
    const UpdateTracking tracking(*this, "update-all");
    auto phase = [&](const std::string& text) {
        setProgressText(text);
        if (progress.phase) progress.phase(text);
    };

    phase(localized("global.update_all_progress_preparing"));
    ProcessLock updateLock = acquireUpdateLock(stop);
    BatchUpdateResult batch;
    batch.startTime = clock().now();

    std::size_t applicationsByCategory[4] = {0, 0, 0, 0};
    for (const auto& step : plan.steps) {
        if (step.category) applicationsByCategory[static_cast<int>(*step.category)] += step.applications.size();
    }
    ActivityRecord started;
    started.date = batch.startTime;
    started.setTitle("activity.update.global_started");
    started.setSubtitle("activity.update.global_started_subtitle",
                        {std::to_string(plan.packageCount()), std::to_string(plan.applicationCount())});
    started.type = ActivityRecord::ActivityType::Update;
    addActivity(std::move(started));
    logger().info(localized("log.update.everything_plan",
                            {std::to_string(plan.applicationCount()), std::to_string(applicationsByCategory[0]),
                             std::to_string(applicationsByCategory[1]), std::to_string(applicationsByCategory[3]),
                             std::to_string(applicationsByCategory[2]), std::to_string(plan.packageCount())}));

    batch.cancelled = runSteps(plan, stop, progress, batch.results);

    // The attempted packages' owners are listed again (also after a stop: what was updated
    // shows as updated), then the counts follow.
    if (!batch.cancelled) phase(localized("refresh.verifying_results"));
    recheckAttempted(batch, stop);
    if (!batch.cancelled && !stop.stop_requested()) phase(localized("global.update_all_progress_syncing_counts"));
    batch.cancelled = batch.cancelled || stop.stop_requested();
    batch.endTime = clock().now();
    const bool cancelled = batch.cancelled;

    const std::size_t succeeded = batch.succeededCount(), failed = batch.failedCount();
    const double duration = std::max(0.0, secondsBetween(batch.startTime, batch.endTime));
    if (cancelled) {
        ActivityRecord record;
        record.date = batch.endTime;
        record.setTitle("activity.update.global_cancelled");
        setSummary(record, succeeded, failed, true);
        record.duration = duration;
        addActivity(std::move(record));
    } else {
        std::size_t byHand = 0;
        for (const auto& left : plan.leftOut) byHand += left.byHand ? 1 : 0;
        for (const auto& result : batch.results) byHand += result.requiresUserAction ? 1 : 0;
        ActivityRecord completed;
        completed.date = batch.endTime;
        completed.setTitle("activity.update.global_completed");
        if (byHand > 0) completed.setSubtitle("activity.update.global_completed_manual", {std::to_string(byHand)});
        completed.type = ActivityRecord::ActivityType::Info;
        addActivity(std::move(completed));
        ActivityRecord summary;
        summary.date = batch.endTime;
        summary.setTitle("activity.update.completed_title");
        setSummary(summary, succeeded, failed, false);
        summary.duration = duration;
        addActivity(std::move(summary));
    }
    notifyInventoryChanged();  // the inventory and the records are saved
    setProgressText("");
    return batch;
}

bool PackageCoordinator::finalizeUpdateChecksAfterScan(const std::function<void()>& finish) {
    if (isUpdateInProgress()) {
        logger().info(localized("log.update.checks_skipped_updating"));
        return false;
    }
    if (finish) finish();
    return true;
}

std::size_t PackageCoordinator::outdatedCount() const {
    const bool allowPreRelease = settings_.showPreReleaseUpdates();
    const std::map<std::string, std::string> heldBack =
        options_.heldBack ? options_.heldBack() : std::map<std::string, std::string>();
    std::size_t count = 0;
    for (const Package& package : offeredPackages()) {
        if (!hasPendingUpdate(package, allowPreRelease)) continue;
        if (package.releaseAge && package.releaseAge->holdsBack()) continue;
        const SourceRow* row = rowFor(package.type);
        if (row) {
            if (auto toggle = row->toggleFor(package.type); toggle && !settings_.isVisible(*toggle)) continue;
        }
        if (heldBack.count(rowIdOf(package))) continue;
        ++count;
    }
    if (options_.applications && settings_.isVisible(ManagerToggleKey::ShowInstalledApplications)) {
        for (const Application& application : options_.applications()) {
            if (!isOutdated(application, allowPreRelease)) continue;
            if (heldBack.count(rowIdOf(application))) continue;
            ++count;
        }
    }
    return count;
}

}  // namespace vt
