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
    bool interrupted = false;  // the extended phase hit its overall bound
    std::string cacheReason;
    // Per scanner, the inventory with the latest versions found merged in.
    std::map<std::string, std::vector<Package>> packagesByScanner;
    std::map<std::string, std::string> messages;  // published errors, by scanner
    double durationSeconds = 0;

    std::vector<Package> allPackages() const;
    std::size_t itemCount() const;
    std::size_t updateCount(bool allowPreRelease) const;
};

// Runs one scan of the machine: decides between the fast path and a full scan, runs the
// core scanners together, then the extended pipelines together, then the update checks,
// each scanner on its own thread under its own time limit, so one failing or hanging
// source never stops the others. Reports through the ScanProgressModel. One run at a
// time (the coordinator guarantees it); queries may come from any thread.
class RefreshCoordinator {
public:
    struct Options {
        std::chrono::duration<double> scanCacheDuration{300};
        std::chrono::duration<double> extendedPhaseLimit{360};
        // How long a stopped scanner may take to wind down before it is left behind.
        std::chrono::duration<double> stopGrace{2};
        Clock* clock = nullptr;  // Clock::shared() when null
    };
    // The pipelines of the sources that are enabled and whose tool was found, this scan.
    using PipelineProvider = std::function<std::vector<ScannerPipeline>(std::stop_token)>;

    RefreshCoordinator(ScanProgressModel& progress, PipelineProvider provider);
    RefreshCoordinator(ScanProgressModel& progress, PipelineProvider provider, Options options);
    ~RefreshCoordinator();

    RefreshResult run(bool force, std::stop_token stop);

    // The cache decision and its reason, as logged after "VT_SCAN_CACHE decision: ".
    struct CacheDecision {
        bool fullScan;
        std::string reason;
    };
    CacheDecision decide(bool force, const std::set<std::string>& activeIds) const;

    void noteDirectoryChange();
    std::optional<Clock::TimePoint> lastFullScanTime() const;

private:
    struct PhaseRun;
    enum class Phase { Inventory, Updates };

    // Runs the pipelines' work of one phase together; returns each one's outcome by id
    // (absent for those that failed, timed out or were stopped).
    std::map<std::string, ScanOutcome> runPhase(const std::vector<const ScannerPipeline*>& pipelines, Phase phase,
                                                std::optional<std::chrono::steady_clock::time_point> phaseDeadline,
                                                std::stop_token stop, RefreshResult& result);
    void runUpdateChecks(const std::vector<ScannerPipeline>& pipelines, std::stop_token stop, RefreshResult& result,
                         bool fastPath);
    void logFinalSnapshot();
    Clock& clock() const;

    ScanProgressModel& progress_;
    PipelineProvider provider_;
    Options options_;

    mutable std::mutex mutex_;
    std::optional<Clock::TimePoint> lastFullScanTime_;
    std::set<std::string> lastFullScanSourceIDs_;
    std::size_t lastScanSourceCount_ = 0;
    bool directoryChangesDetected_ = false;
    std::map<std::string, std::vector<Package>> lastInventory_;
    std::map<std::string, std::string> lastMessages_;
    // Scanner threads that outlived their time limit; stopped, joined at destruction.
    std::vector<std::jthread> leftBehind_;
};

}  // namespace vt
