#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "base/Clock.hpp"
#include "core/ScanProgressModel.hpp"
#include "core/ScannerPipeline.hpp"

namespace vt {

// Everything one refresh produced.
struct RefreshResult {
    bool fullScan = false;
    bool cancelled = false;
    bool interrupted = false;  // the extended sources hit their overall bound
    std::string cacheReason;
    // Per scanner, the inventory with the latest versions found merged in.
    std::map<std::string, std::vector<Package>> packagesByScanner;
    std::map<std::string, std::string> messages;  // published errors, by scanner
    // Scanners whose listing or update check failed or ran out of time, with the message
    // ("Timeout" for the latter). A scanner whose check failed keeps its listing above.
    std::map<std::string, std::string> failedScanners;
    // Scanners whose update check could not learn the latest versions; their message says why.
    std::set<std::string> latestVersionsUnknown;
    // Active scanners this scan did not run because the caller left them out (scan --only):
    // what they found before stands.
    std::set<std::string> skippedScanners;
    // Scanners whose update check ended with a problem of its own (an index out of reach),
    // apart from what their listing said: their listing stands, some latest versions may not.
    std::map<std::string, std::string> checkProblems;
    // Per scanner that ran, the seconds from its listing's start (its check's, on the fast
    // path) to the end of its chain.
    std::map<std::string, double> sourceDurations;
    // Scanners whose listing and check were both reused from the last scan.
    std::set<std::string> reusedSources;
    double durationSeconds = 0;

    std::vector<Package> allPackages() const;
    std::size_t itemCount() const;
    std::size_t updateCount(bool allowPreRelease) const;
};

// Runs one scan of the machine: decides between the fast path and a full scan, then runs
// every active source's chain, its listing and then its update check, all chains started
// together, so a source's check begins as soon as its own listing ends. Each step runs on
// a thread of its own under the scanner's time limit, and the extended sources together
// under an overall bound counted from the scan's start, so one failing or hanging source
// never stops the others. Reports through the ScanProgressModel, from the thread that
// called run(). One run at a time (the coordinator guarantees it); queries may come from
// any thread.
class RefreshCoordinator {
public:
    struct Options {
        // How long an inventory, and a source's last update check, are reused (the user's cache
        // lifetime setting in the program).
        std::chrono::duration<double> scanCacheDuration{300};
        // How long a check that learned no latest version (its registry out of reach) is
        // reused: briefly, so that a network back in service is seen within a minute.
        std::chrono::duration<double> unknownCheckDuration{60};
        std::chrono::duration<double> extendedPhaseLimit{360};
        // How long a stopped scanner may take to wind down before it is left behind.
        std::chrono::duration<double> stopGrace{2};
        Clock* clock = nullptr;  // Clock::shared() when null
        // Whether an update to a pre-release counts in the final status; false when empty.
        std::function<bool()> allowPreRelease;
        // How many updates the final status announces: the count the user's table shows,
        // without what they ignored, skipped or snoozed. The result's own count when empty.
        std::function<std::size_t(const RefreshResult&)> pendingUpdates;
    };
    // The pipelines of the sources that are enabled and whose tool was found, this scan.
    using PipelineProvider = std::function<std::vector<ScannerPipeline>(std::stop_token)>;

    // What the cache decision rests on, for saving beside the results and restoring in
    // the next process.
    // What one source's listing read, and when its update check last ran.
    struct SourceCache {
        std::string inputs;  // its pipeline's fingerprint of them when it listed
        std::optional<Clock::TimePoint> checkedAt;
        bool latestUnknown = false;  // that check learned no latest version

        friend bool operator==(const SourceCache&, const SourceCache&) = default;
    };
    struct CacheState {
        std::optional<Clock::TimePoint> lastFullScanTime;
        std::set<std::string> lastFullScanSourceIDs;
        std::size_t lastScanSourceCount = 0;
        // Per scanner, the inventory the fast path keeps in place.
        std::map<std::string, std::vector<Package>> lastInventory;
        // Per scanner whose pipeline names its inputs.
        std::map<std::string, SourceCache> sources;
    };

    RefreshCoordinator(ScanProgressModel& progress, PipelineProvider provider);
    RefreshCoordinator(ScanProgressModel& progress, PipelineProvider provider, Options options);
    ~RefreshCoordinator();

    // `whileWaiting`, when given, is called on this thread about every kWaitingInterval while
    // the sources run (the resource sampler takes its samples so, without a thread of its own).
    RefreshResult run(bool force, std::stop_token stop, const std::function<void()>& whileWaiting = {});
    static constexpr std::chrono::milliseconds kWaitingInterval{250};

    // The cache decision and its reason, as logged after "VT_SCAN_CACHE decision: ".
    struct CacheDecision {
        bool fullScan;
        std::string reason;
    };
    using ScannerSelection = std::function<bool(const std::string& scannerId)>;
    // With a selection, only the selected sources are compared: the others were not looked for.
    CacheDecision decide(bool force, const std::set<std::string>& activeIds, const ScannerSelection& selected = {}) const;

    // Which of the active scanners the next scans run; all of them when empty.
    void setScannerSelection(ScannerSelection selected);
    ScannerSelection scannerSelection() const;
    std::optional<Clock::TimePoint> lastFullScanTime() const;
    CacheState cacheState() const;
    void restoreCacheState(CacheState state);

private:
    class ChainRun;
    // One chain of a scan: its pipeline, whether its listing is reused (it starts at its
    // check), and the fingerprint of what its listing reads, taken before it runs.
    struct ChainStart {
        const ScannerPipeline* pipeline = nullptr;
        bool atCheck = false;
        std::string inputs;
    };
    // Per source: reused whole (its inputs unchanged and its check recent), checked only, or
    // listed and checked. Reused inventories go into `result` at once.
    std::vector<ChainStart> planChains(const std::vector<ScannerPipeline>& pipelines, const CacheDecision& decision,
                                       RefreshResult& result);
    void noteListed(const std::string& id, const std::string& inputs);
    void noteChecked(const std::string& id, bool latestUnknown);
    void forgetSource(const std::string& id);

    void logFinalSnapshot();
    void publishFinalStatus(const RefreshResult& result);
    Clock& clock() const;

    ScanProgressModel& progress_;
    PipelineProvider provider_;
    Options options_;

    mutable std::mutex mutex_;
    CacheState cache_;
    // This scan's news of its sources (nothing: forget it), applied when it completes.
    std::map<std::string, std::optional<SourceCache>> pendingSources_;
    ScannerSelection selected_;
    // Scanner threads that outlived their time limit; stopped, joined at destruction.
    std::vector<std::jthread> leftBehind_;
};

}  // namespace vt
