#pragma once

#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "base/Clock.hpp"
#include "base/ProcessLock.hpp"
#include "core/UpdatePlan.hpp"
#include "core/RefreshCoordinator.hpp"
#include "core/ScanProgressModel.hpp"
#include "core/ScanResultsPersistence.hpp"
#include "model/ActivityRecord.hpp"
#include "model/Application.hpp"
#include "sources/ApplicationUpdateFacts.hpp"
#include "updates/BatchUpdateResult.hpp"

namespace vt {

class DefaultsStore;
class PackageManager;
class SettingsManager;

// Why a scan is asked for.
enum class RefreshMode { Manual, Automatic, OnLaunch, FirstLaunchAfterOnboarding };
std::string_view toString(RefreshMode mode);

// The one object every front end talks to: it gates and starts scans (at most one at a
// time in this process, and through lock files in the support folder at most one across
// our processes), lets callers during a scan join it, finalises each scan, and keeps the
// results and the recent activity. Thread-safe; no lock of its own is held while a scan,
// a command or a callback runs.
class PackageCoordinator {
public:
    struct Options {
        std::string lockFolder;  // where "scan.lock" and "update.lock" live
        Clock* clock = nullptr;  // Clock::shared() when null
        std::size_t activityLimit = 100;
        // Where the coordinator notes for itself when it last scanned and what it did (the
        // defaults store when null): a store written without waiting for the disk.
        DefaultsStore* state = nullptr;
        // The results saved on disk, read again: after waiting for another process's scan
        // (adopted only when its generation moved, that is when that scan completed and
        // saved), and by an update once it holds the update lock, so that it changes the
        // latest inventory rather than the one it started with.
        std::function<std::optional<ScanMetadata>()> savedMetadata;
        std::function<std::vector<Package>()> savedPackages;
        // The kinds of items a scanner lists: a failed source keeps its previous rows.
        std::function<std::vector<PackageType>(const std::string& scannerId)> scannerKinds;
        // The adapters that apply updates; updates are refused without it.
        PackageManager* packageManager = nullptr;
        // What an update of everything works on beyond the packages: the installed
        // applications, and the items the ignore lists hold out (ignored, snoozed, version
        // skipped, too recent) with why, by the id of their row in the all-updates table.
        std::function<std::vector<Application>()> applications;
        std::function<std::map<std::string, std::string>()> heldBack;
        // What is true of an application when the plan is made, beyond its record: whether
        // it runs, how it was installed, the known issues and rules about it.
        // currentUpdateFacts (the disk and the process table) when not set.
        std::function<ApplicationUpdateFacts(const Application&)> applicationFacts;
        // Marks, once per scan, the updates that fix known vulnerabilities; returns why it could
        // not when the service failed (the packages are then left unmarked, nothing held back).
        std::function<std::optional<std::string>(std::vector<Package>&, std::stop_token)> markVulnerabilities;
    };

    using PackageUpdateResult = vt::PackageUpdateResult;
    using BatchUpdateResult = vt::BatchUpdateResult;

    PackageCoordinator(DefaultsStore& defaults, SettingsManager& settings, RefreshCoordinator& refresh,
                       ScanProgressModel& progress, Options options);
    ~PackageCoordinator();

    // Gates by mode, then refreshAll(force). Returns when the scan it started or joined
    // has ended, or at once when a gate refuses.
    // `force` overrides the mode's own choice (manual and post-onboarding scans are forced).
    void refreshAll(RefreshMode mode, std::optional<bool> force = std::nullopt);
    void refreshAll(bool force);
    // Asks the running scan to stop; its child processes are terminated.
    void cancelRefresh();

    bool isRefreshing() const;
    bool isUpdateInProgress() const;
    // Updates in progress, by kind; any entry blocks scans.
    void beginTracking(std::string_view tracker, std::string key);
    void endTracking(std::string_view tracker, const std::string& key);

    std::optional<RefreshResult> lastResult() const;
    std::vector<Package> packages() const;
    // The packages as offered now: each with the release-age guard's decision, a fallback
    // version in place of a latest one too young. What the table shows and a plan installs.
    std::vector<Package> offeredPackages() const;
    // The same for packages read elsewhere (saved results, a scan's own).
    std::vector<Package> offeredPackages(std::vector<Package> packages) const;
    void restorePackages(std::vector<Package> packages);
    // How each source fared in the scan whose rows are shown (restored with the results).
    std::vector<SourceScanState> sourceStates() const;
    void restoreSourceStates(std::vector<SourceScanState> states, std::optional<Clock::TimePoint> scanDate);
    // Why the last scan's vulnerability check failed; nothing when it ran, or was not asked.
    std::optional<std::string> vulnerabilityCheckFailure() const;
    void restoreVulnerabilityCheckFailure(std::optional<std::string> failure);
    void restoreActivities(std::vector<ActivityRecord> activities);
    std::vector<ActivityRecord> activities() const;
    void addActivity(ActivityRecord record);
    std::string progressText() const;

    // What updating these packages (named by the user) will do: each planned at the
    // version it shows, or left out with why (not newer than what is installed, pinned...).
    UpdatePlan planUpdates(const std::vector<Package>& packages) const;
    // Carries out such a plan through the adapters, then re-checks what was attempted. Blocks
    // scans in every process of ours while it runs; an update already running elsewhere is
    // waited for. A stop ends the running item and starts no other; what was updated before
    // it is read again all the same. An item whose record moved since the plan to the
    // version planned or beyond is left as it is (never backwards).
    BatchUpdateResult updatePackages(const UpdatePlan& plan, std::stop_token stop, const BatchProgress& progress = {});
    // Brings every outdated item that nothing holds out up to date, one at a time:
    // applications category by category, then the package managers in a fixed order.
    // The plan is what `updateEverything` will do, for showing before it runs.
    UpdatePlan planUpdateEverything() const;
    BatchUpdateResult updateEverything(const UpdatePlan& plan, std::stop_token stop, const BatchProgress& progress = {});
    BatchUpdateResult updateEverything(std::stop_token stop) { return updateEverything(planUpdateEverything(), stop); }
    // The seam through which each category of applications is updated; a category without
    // an updater has its items left out as having no installer here.
    void setApplicationUpdater(ApplicationUpdateCategory category, ApplicationUpdater updater);
    // Completes a scan's application update checks with `finish`, unless an update runs
    // (here or in another process of ours); false when skipped.
    bool finalizeUpdateChecksAfterScan(const std::function<void()>& finish);
    // The outdated packages nothing holds out, from the current results.
    std::size_t outdatedCount() const;

    // Called after updates changed the inventory (persistence).
    void setInventoryChangedHandler(std::function<void()> handler);

    // Run at the end of each finalised scan, in order: persistence of results, auto-ignore...
    // A cancelled scan's steps get its result with `cancelled` set, and save no inventory.
    using FinalizationStep = std::function<void(const RefreshResult&)>;
    void addFinalizationStep(FinalizationStep step);

    // Keys of the defaults store.
    static constexpr std::string_view kTermsAccepted = "hasAcceptedOnboardingTerms_v1";
    static constexpr std::string_view kOnboardingCompleted = "hasCompletedOnboarding_v2";
    static constexpr std::string_view kPendingPostOnboardingScan = "Vantreel.PendingPostOnboardingFullScan_v1";
    static constexpr std::string_view kLastCompletedRefreshDate = "PackageCoordinator.LastCompletedRefreshDate";
    static constexpr std::string_view kBackgroundLastScanDate = "BackgroundScan.LastScanDate";
    static constexpr std::string_view kLastExitWasClean = "PackageCoordinator.LastExitWasClean";

private:
    bool updateRunningInAnotherProcess() const;
    ProcessLock acquireUpdateLock(std::stop_token stop);
    // Re-lists the owners of the attempted packages and records what they now hold.
    void recheckAfterUpdates(std::vector<PackageUpdateResult>& results, std::stop_token stop);
    PackageUpdateResult updateOne(const Package& package, std::stop_token stop, bool* cancelled);
    // Runs the plan's items in order into `results`; true when a stop ended it.
    bool runSteps(const UpdatePlan& plan, std::stop_token stop, const BatchProgress& progress,
                  std::vector<PackageUpdateResult>& results);
    // The re-check of every attempted package of the batch, in place.
    void recheckAttempted(BatchUpdateResult& batch, std::stop_token stop);
    // Why a planned package is left as it is: its tool now lists it (`installedNow`), or
    // else its record holds it, at the planned version or a newer one.
    std::optional<std::string> movedSincePlan(const Package& package, const std::optional<std::string>& installedNow) const;
    std::optional<Clock::TimePoint> scanDate() const;
    void notifyInventoryChanged();
    void runScan(bool force, bool postOnboarding);
    bool adoptOtherProcessScan(std::optional<long long> generationBefore);
    RefreshResult carryOverFailedSources(const RefreshResult& result);
    std::optional<std::string> markVulnerabilities(RefreshResult& result, std::vector<Package>& packages);
    void finalize(const RefreshResult& result, bool postOnboarding);
    // Stores the scan's date and activity in the program's notes (the end of onboarding in the
    // settings).
    void storeCompletion(bool postOnboarding);
    DefaultsStore& state() const;
    void setProgressText(std::string text);
    Clock& clock() const;
    // Tells each adapter whether a minimum release age applies to it, before a scan.
    void announcePublishTimeDemand() const;

    DefaultsStore& defaults_;
    SettingsManager& settings_;
    RefreshCoordinator& refresh_;
    ScanProgressModel& progress_;
    Options options_;

    mutable std::mutex mutex_;
    std::optional<std::shared_future<void>> currentRefreshTask_;
    std::optional<std::shared_future<void>> postRefreshTask_;
    unsigned long long scanSerial_ = 0;  // which scan the two tasks above belong to
    bool isFinalizingRefresh_ = false;
    bool pendingPostOnboarding_ = false;
    std::stop_source scanStop_;
    std::map<std::string, std::set<std::string>, std::less<>> tracking_;
    std::optional<RefreshResult> lastResult_;
    std::vector<Package> packages_;
    std::vector<SourceScanState> sourceStates_;
    std::optional<Clock::TimePoint> packagesScanDate_;
    std::optional<std::string> vulnerabilityCheckFailure_;  // when the scan behind packages_ ended
    std::vector<ActivityRecord> activities_;
    std::string progressText_;
    std::vector<FinalizationStep> finalizationSteps_;
    std::function<void()> inventoryChanged_;
    std::map<ApplicationUpdateCategory, ApplicationUpdater> applicationUpdaters_;
};

// The packages as offered at `now` under this user's release-age settings and each tool's own
// limit; a package's tool installs the version it is given when its adapter pins one (every
// tool does when `adapters` is null).
std::vector<Package> offeredPackages(std::vector<Package> packages, const SettingsManager& settings,
                                     Clock::TimePoint now, PackageManager* adapters);

}  // namespace vt
