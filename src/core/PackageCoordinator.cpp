#include "core/PackageCoordinator.hpp"

#include <algorithm>
#include <future>
#include <map>

#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/ProcessLock.hpp"
#include "core/ManagerRegistry.hpp"
#include "core/PersistedUIState.hpp"
#include "core/ResourceSampler.hpp"
#include "core/ScheduledScanThrottle.hpp"
#include "managers/PackageManager.hpp"
#include "settings/DefaultsStore.hpp"
#include "settings/ReleaseAgeSettings.hpp"
#include "settings/SettingsManager.hpp"
#include "system/CommandRunner.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger log("PackageCoordinator");
    return log;
}

constexpr const char* kScanLockName = "/scan.lock";
constexpr const char* kUpdateLockName = "/update.lock";

}  // namespace

std::string_view toString(RefreshMode mode) {
    switch (mode) {
        case RefreshMode::Manual: return "manual";
        case RefreshMode::Automatic: return "automatic";
        case RefreshMode::OnLaunch: return "onLaunch";
        case RefreshMode::FirstLaunchAfterOnboarding: return "firstLaunchAfterOnboarding";
    }
    return "manual";
}

PackageCoordinator::PackageCoordinator(DefaultsStore& defaults, SettingsManager& settings,
                                       RefreshCoordinator& refresh, ScanProgressModel& progress, Options options)
    : defaults_(defaults), settings_(settings), refresh_(refresh), progress_(progress), options_(std::move(options)) {}

PackageCoordinator::~PackageCoordinator() { cancelRefresh(); }

void PackageCoordinator::announcePublishTimeDemand() const {
    if (options_.packageManager == nullptr) return;
    for (const SourceRow& row : ManagerRegistry::sources()) {
        const bool wanted = releaseAgeRule(settings_, row.id).limits();
        // Adapters want none until told: one not made yet is made only to be told it does.
        BaseManager* adapter = wanted ? options_.packageManager->adapter(row.id)
                                      : options_.packageManager->existingAdapter(row.id);
        if (adapter != nullptr) adapter->setWantsPublishTimes(wanted);
    }
}

Clock& PackageCoordinator::clock() const { return options_.clock ? *options_.clock : Clock::shared(); }

bool PackageCoordinator::updateRunningInAnotherProcess() const {
    if (options_.lockFolder.empty()) return false;
    // A scan holds the update lock shared; an update holds it exclusively.
    ProcessLock probe = ProcessLock::tryAcquire(options_.lockFolder + kUpdateLockName, ProcessLock::Mode::Shared);
    return !probe.isHeld();
}

bool PackageCoordinator::isUpdateInProgress() const {
    {
        std::scoped_lock lock(mutex_);
        for (const auto& [tracker, keys] : tracking_) {
            if (!keys.empty()) return true;
        }
    }
    return updateRunningInAnotherProcess();
}

void PackageCoordinator::beginTracking(std::string_view tracker, std::string key) {
    std::scoped_lock lock(mutex_);
    tracking_[std::string(tracker)].insert(std::move(key));
}

void PackageCoordinator::endTracking(std::string_view tracker, const std::string& key) {
    std::scoped_lock lock(mutex_);
    if (auto it = tracking_.find(tracker); it != tracking_.end()) it->second.erase(key);
}

bool PackageCoordinator::isRefreshing() const {
    std::scoped_lock lock(mutex_);
    return currentRefreshTask_.has_value() || postRefreshTask_.has_value();
}

void PackageCoordinator::refreshAll(RefreshMode mode, std::optional<bool> force) {
    const std::string name(toString(mode));
    if (isUpdateInProgress()) {
        logger().info(localized("log.refresh.mode_skipped_updating", {name}));
        return;
    }
    if (mode == RefreshMode::Automatic &&
        ScheduledScanThrottle(state()).shouldSkip(clock().now(), settings_.checkIntervalHours())) {
        logger().info(localized("log.refresh.mode_skipped_recent", {name}));
        return;
    }
    bool postOnboarding = false;
    if (mode == RefreshMode::FirstLaunchAfterOnboarding) {
        postOnboarding = defaults_.boolValue(kPendingPostOnboardingScan).value_or(false);
    }
    {
        std::scoped_lock lock(mutex_);
        pendingPostOnboarding_ = pendingPostOnboarding_ || postOnboarding;
    }
    refreshAll(force.value_or(mode == RefreshMode::Manual || mode == RefreshMode::FirstLaunchAfterOnboarding));
}

void PackageCoordinator::refreshAll(bool force) {
    std::promise<void> scanDone;
    bool postOnboarding = false;
    unsigned long long serial = 0;
    {
        std::unique_lock lock(mutex_);
        logger().info(
            localized("log.refresh.called", {force ? "true" : "false", currentRefreshTask_ ? "true" : "false"}));
        lock.unlock();
        if (!defaults_.boolValue(kTermsAccepted).value_or(false)) {
            logger().info(localized("log.refresh.skipped_terms"));
            return;
        }
        if (isUpdateInProgress()) {
            logger().info(localized("log.refresh.skipped_updating"));
            return;
        }
        lock.lock();
        if (currentRefreshTask_) {
            auto running = *currentRefreshTask_;
            lock.unlock();
            logger().info(localized("log.refresh.reusing_running"));
            running.wait();
            return;
        }
        if (postRefreshTask_) {
            auto finalizing = *postRefreshTask_;
            lock.unlock();
            logger().info(localized("log.refresh.waiting_finalization"));
            finalizing.wait();
            return;
        }
        currentRefreshTask_ = scanDone.get_future().share();
        serial = ++scanSerial_;
        scanStop_ = std::stop_source();
        postOnboarding = pendingPostOnboarding_;
        pendingPostOnboarding_ = false;
    }
    setProgressText(localized("refresh.starting"));
    // Whatever happens in the scan (a throw included), joined callers are released and the
    // next call finds no task in flight, so it scans.
    struct Release {
        PackageCoordinator& self;
        std::promise<void>& promise;
        unsigned long long serial;
        ~Release() {
            {
                std::scoped_lock lock(self.mutex_);
                if (self.scanSerial_ == serial) {
                    self.currentRefreshTask_.reset();
                    self.postRefreshTask_.reset();
                    self.isFinalizingRefresh_ = false;
                }
            }
            promise.set_value();
        }
    } release{*this, scanDone, serial};
    runScan(force, postOnboarding);
}

bool PackageCoordinator::adoptOtherProcessScan(std::optional<long long> generationBefore) {
    if (!options_.savedMetadata || !options_.savedPackages) return false;
    std::optional<ScanMetadata> metadata = options_.savedMetadata();
    // A scan that was cancelled or failed saved nothing, so the generation did not move.
    if (!metadata || metadata->generation == 0 || metadata->generation == generationBefore.value_or(0)) {
        logger().info(localized("log.refresh.other_process_incomplete"));
        return false;
    }
    logger().info(localized("log.refresh.other_process_results"));
    RefreshResult joined;
    joined.cacheReason = "results of another process's scan";
    joined.packagesByScanner["persisted"] = options_.savedPackages();
    std::scoped_lock lock(mutex_);
    lastResult_ = joined;
    packages_ = joined.allPackages();
    sourceStates_ = metadata->sources;
    packagesScanDate_ = metadata->lastScanDate;
    return true;
}

void PackageCoordinator::runScan(bool force, bool postOnboarding) {
    std::stop_token stop;
    {
        std::scoped_lock lock(mutex_);
        stop = scanStop_.get_token();
    }
    std::optional<RefreshResult> result;
    ResourceSampler sampler;
    CommandRunner::YieldingScope yielding(CommandRunner::shared());
    // Both locks are held until the results are saved: a process waiting for this scan
    // then reads what it found, and no update saves in between.
    ProcessLock scanLock;
    ProcessLock updateGuard;
    bool adopted = false;
    const bool locking = !options_.lockFolder.empty();
    if (locking) {
        const std::string scanLockPath = options_.lockFolder + kScanLockName;
        scanLock = ProcessLock::tryAcquire(scanLockPath, ProcessLock::Mode::Exclusive);
        if (!scanLock.isHeld()) {
            logger().info(localized("log.refresh.other_process_scanning"));
            logger().flush();
            progress_.setStep(localized("scan.status.waiting_other_process"));
            std::optional<long long> before;
            if (options_.savedMetadata) {
                if (auto metadata = options_.savedMetadata()) before = metadata->generation;
            }
            scanLock = ProcessLock::acquire(scanLockPath, ProcessLock::Mode::Exclusive, stop);
            adopted = scanLock.isHeld() && adoptOtherProcessScan(before);
            progress_.setStep(adopted ? localized("scan.status.other_process_results") : std::string());
        }
        if (scanLock.isHeld() && !adopted) {
            updateGuard = ProcessLock::tryAcquire(options_.lockFolder + kUpdateLockName, ProcessLock::Mode::Shared);
        }
    }
    if (adopted || (locking && !scanLock.isHeld())) {
        // Adopted another process's results, or stopped while waiting for it.
    } else if (locking && !updateGuard.isHeld()) {
        logger().info(localized("log.refresh.skipped_updating"));
    } else if (!stop.stop_requested()) {
        announcePublishTimeDemand();
        result = refresh_.run(force, stop, [&sampler] { sampler.takeSample(); });
    }
    logger().info(localized("log.refresh.scan_phase_done"));
    std::promise<void> finalized;
    {
        std::scoped_lock lock(mutex_);
        currentRefreshTask_.reset();
        postRefreshTask_ = finalized.get_future().share();
        isFinalizingRefresh_ = true;
    }
    struct Finalized {
        std::promise<void>& promise;
        ~Finalized() { promise.set_value(); }
    } finalizedOnExit{finalized};
    logger().info(sampler.finish());
    if (result) {
        finalize(*result, postOnboarding);
    } else if (stop.stop_requested()) {
        setProgressText(localized("refresh.cancelled"));
    }
    logger().info(localized("log.refresh.finalization_done"));
    std::scoped_lock lock(mutex_);
    postRefreshTask_.reset();
    isFinalizingRefresh_ = false;
}

RefreshResult PackageCoordinator::carryOverFailedSources(const RefreshResult& result) {
    RefreshResult merged = result;
    const auto now = clock().now();
    std::vector<Package> previous;
    std::map<std::string, SourceScanState> previousStates;
    std::optional<Clock::TimePoint> previousScanDate;
    {
        std::scoped_lock lock(mutex_);
        previous = packages_;
        for (const auto& state : sourceStates_) previousStates[state.id] = state;
        previousScanDate = packagesScanDate_;
    }
    std::map<std::string, std::string> names;
    for (const auto& status : progress_.snapshot().scannerStatuses) names[status.id] = status.name;
    auto nameOf = [&](const std::string& id) { return names.count(id) ? names[id] : id; };

    // A source failed when it timed out or threw (no inventory at all), or when its tool
    // failed and it published why with nothing listed.
    auto failure = [&](const std::string& id) -> std::optional<std::string> {
        auto message = result.messages.find(id);
        if (message == result.messages.end()) return std::nullopt;
        auto listed = result.packagesByScanner.find(id);
        if (listed != result.packagesByScanner.end() && !listed->second.empty()) return std::nullopt;
        return message->second;
    };
    // How long it took and whether its latest versions are known; a source whose results
    // were reused keeps what its last run said.
    auto withHealth = [&](SourceScanState state) {
        auto previous = previousStates.find(state.id);
        if (result.reusedSources.count(state.id) && previous != previousStates.end()) {
            state.durationSeconds = previous->second.durationSeconds;
            state.latestKnown = previous->second.latestKnown;
            if (!state.warning) state.warning = previous->second.warning;  // why its check learned nothing
            return state;
        }
        if (auto duration = result.sourceDurations.find(state.id); duration != result.sourceDurations.end()) {
            state.durationSeconds = duration->second;
        }
        state.latestKnown = !state.failure && !state.latestVersionsUnknown && !result.failedScanners.count(state.id) &&
                            !result.checkProblems.count(state.id);
        return state;
    };
    std::vector<SourceScanState> states;
    for (const auto& [id, packages] : result.packagesByScanner) {
        if (failure(id)) continue;
        SourceScanState state{.id = id, .name = nameOf(id), .itemsDate = now};
        if (auto message = result.messages.find(id); message != result.messages.end()) state.warning = message->second;
        state.latestVersionsUnknown = result.latestVersionsUnknown.count(id) > 0;
        states.push_back(withHealth(std::move(state)));
    }
    // A source that failed lists nothing this time: what it listed before is kept, dated,
    // rather than erased.
    for (const auto& [id, message] : result.messages) {
        if (!failure(id)) continue;
        SourceScanState state{.id = id, .name = nameOf(id), .failure = message};
        std::vector<PackageType> kinds = options_.scannerKinds ? options_.scannerKinds(id) : std::vector<PackageType>{};
        std::vector<Package> kept;
        for (const Package& package : previous) {
            if (std::find(kinds.begin(), kinds.end(), package.type) != kinds.end()) kept.push_back(package);
        }
        if (!kept.empty()) {
            auto it = previousStates.find(id);
            state.itemsDate = it != previousStates.end() && it->second.itemsDate ? it->second.itemsDate
                                                                                  : previousScanDate;
            if (!state.itemsDate) state.itemsDate = now;
            logger().warning(
                localized("log.refresh.kept_previous", {state.name, std::to_string(kept.size()), message}));
            merged.packagesByScanner[id] = std::move(kept);
        }
        states.push_back(withHealth(std::move(state)));
    }
    // Sources the caller left out of this scan keep what they had, and how they were.
    for (const std::string& id : result.skippedScanners) {
        std::vector<PackageType> kinds = options_.scannerKinds ? options_.scannerKinds(id) : std::vector<PackageType>{};
        std::vector<Package> kept;
        for (const Package& package : previous) {
            if (std::find(kinds.begin(), kinds.end(), package.type) != kinds.end()) kept.push_back(package);
        }
        if (!kept.empty()) merged.packagesByScanner[id] = std::move(kept);
        if (auto it = previousStates.find(id); it != previousStates.end()) states.push_back(it->second);
    }
    std::sort(states.begin(), states.end(),
              [](const SourceScanState& a, const SourceScanState& b) { return a.id < b.id; });
    std::scoped_lock lock(mutex_);
    sourceStates_ = std::move(states);
    packagesScanDate_ = now;
    return merged;
}

// After every source, so that no source waits for it; once, for every package at once. The
// scan's own result, which the commands read, carries the same marks as the inventory.
std::optional<std::string> PackageCoordinator::markVulnerabilities(RefreshResult& result,
                                                                   std::vector<Package>& packages) {
    if (!options_.markVulnerabilities) return std::nullopt;
    std::stop_token stop;
    {
        std::scoped_lock lock(mutex_);
        stop = scanStop_.get_token();
    }
    std::optional<std::string> failure;
    try {
        failure = options_.markVulnerabilities(packages, stop);
    } catch (const std::exception& error) {
        failure = error.what();
    }
    if (failure) logger().warning(localized("log.vulnerabilities.check_failed", {*failure}));
    std::map<std::string, const Package*> marked;
    for (const Package& package : packages) marked[stableKey(package)] = &package;
    for (auto& [scanner, listed] : result.packagesByScanner) {
        for (Package& package : listed) {
            auto found = marked.find(stableKey(package));
            if (found == marked.end()) continue;
            package.fixedVulnerabilities = found->second->fixedVulnerabilities;
            package.latestVulnerabilities = found->second->latestVulnerabilities;
        }
    }
    return failure;
}

void PackageCoordinator::finalize(const RefreshResult& scanned, bool postOnboarding) {
    if (scanned.cancelled) {
        setProgressText(localized("refresh.cancelled"));
    } else if (scanned.interrupted) {
        setProgressText(localized("refresh.timeout_interrupted"));
    }
    // A cancelled scan keeps the previous results whole (and its steps save no inventory, so
    // a process waiting for it scans for itself), but is otherwise finalised like any other.
    RefreshResult result = scanned.cancelled ? scanned : carryOverFailedSources(scanned);
    std::vector<Package> packages;
    std::optional<std::string> vulnerabilityFailure;
    if (!result.cancelled) {
        packages = result.allPackages();
        vulnerabilityFailure = markVulnerabilities(result, packages);
    }
    {
        std::scoped_lock lock(mutex_);
        lastResult_ = result;
        if (!result.cancelled) {
            packages_ = std::move(packages);
            vulnerabilityCheckFailure_ = std::move(vulnerabilityFailure);
        }
    }
    ActivityRecord record;
    record.date = clock().now();
    record.setTitle(result.cancelled ? "refresh.cancelled" : "activity.scan.completed_title");
    record.setSubtitle(result.itemCount() == 1 ? "activity.scan.item_analyzed" : "activity.scan.items_analyzed",
                       {std::to_string(result.itemCount())});
    record.type = ActivityRecord::ActivityType::Scan;
    record.duration = result.durationSeconds;
    addActivity(std::move(record));
    std::vector<FinalizationStep> steps;
    {
        std::scoped_lock lock(mutex_);
        steps = finalizationSteps_;
    }
    for (const auto& step : steps) {
        try {
            step(result);
        } catch (const std::exception& error) {
            logger().error(localized("log.refresh.finalization_failed", {error.what()}));
        }
    }
    // After the results: whoever sees the new date finds them saved.
    storeCompletion(postOnboarding);
}

void PackageCoordinator::storeCompletion(bool postOnboarding) {
    const double completed = toReferenceSeconds(clock().now());
    const std::vector<ActivityRecord> records = activities();
    try {
        state().update([&](Json& object) {
            object[std::string(kLastCompletedRefreshDate)] = completed;
            PersistedUIState::mergeActivityInto(object, records, options_.activityLimit);
        });
    } catch (const std::exception& error) {
        logger().error(localized("log.refresh.scan_date_failed", {error.what()}));
    }
    if (!postOnboarding) return;
    try {
        defaults_.update([](Json& object) {
            object.erase(std::string(kPendingPostOnboardingScan));
            object[std::string(kOnboardingCompleted)] = true;
        });
        logger().info(localized("log.refresh.onboarding_finalized"));
    } catch (const std::exception& error) {
        logger().error(localized("log.refresh.onboarding_failed", {error.what()}));
    }
}

DefaultsStore& PackageCoordinator::state() const { return options_.state != nullptr ? *options_.state : defaults_; }

void PackageCoordinator::cancelRefresh() {
    std::scoped_lock lock(mutex_);
    if (currentRefreshTask_) scanStop_.request_stop();
}

std::optional<RefreshResult> PackageCoordinator::lastResult() const {
    std::scoped_lock lock(mutex_);
    return lastResult_;
}

std::vector<Package> PackageCoordinator::packages() const {
    std::scoped_lock lock(mutex_);
    return packages_;
}

void PackageCoordinator::restorePackages(std::vector<Package> packages) {
    std::scoped_lock lock(mutex_);
    packages_ = std::move(packages);
}

std::optional<std::string> PackageCoordinator::vulnerabilityCheckFailure() const {
    std::scoped_lock lock(mutex_);
    return vulnerabilityCheckFailure_;
}

void PackageCoordinator::restoreVulnerabilityCheckFailure(std::optional<std::string> failure) {
    std::scoped_lock lock(mutex_);
    vulnerabilityCheckFailure_ = std::move(failure);
}

std::vector<SourceScanState> PackageCoordinator::sourceStates() const {
    std::scoped_lock lock(mutex_);
    return sourceStates_;
}

void PackageCoordinator::restoreSourceStates(std::vector<SourceScanState> states,
                                             std::optional<Clock::TimePoint> scanDate) {
    std::scoped_lock lock(mutex_);
    sourceStates_ = std::move(states);
    packagesScanDate_ = scanDate;
}

void PackageCoordinator::restoreActivities(std::vector<ActivityRecord> activities) {
    std::scoped_lock lock(mutex_);
    activities_ = std::move(activities);
    if (activities_.size() > options_.activityLimit) activities_.resize(options_.activityLimit);
}

std::vector<ActivityRecord> PackageCoordinator::activities() const {
    std::scoped_lock lock(mutex_);
    return activities_;
}

void PackageCoordinator::addActivity(ActivityRecord record) {
    std::scoped_lock lock(mutex_);
    activities_.insert(activities_.begin(), std::move(record));
    if (activities_.size() > options_.activityLimit) activities_.resize(options_.activityLimit);
}

std::string PackageCoordinator::progressText() const {
    std::scoped_lock lock(mutex_);
    return progressText_;
}

void PackageCoordinator::setProgressText(std::string text) {
    std::scoped_lock lock(mutex_);
    progressText_ = std::move(text);
}

void PackageCoordinator::addFinalizationStep(FinalizationStep step) {
    std::scoped_lock lock(mutex_);
    finalizationSteps_.push_back(std::move(step));
}

}  // namespace vt
