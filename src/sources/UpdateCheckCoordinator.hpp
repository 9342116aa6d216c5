#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <vector>

#include "model/Application.hpp"
#include "sources/SourceSettings.hpp"
#include "sources/UpdateRepository.hpp"

namespace vt {

// One application's network check: the record with what its source found (latest version,
// source fields, resolution), nullopt when no source had an answer. It may throw (a failed
// check) and may hang: it runs on a thread of its own and is abandoned at its time limit,
// so it must own what it captures and should return soon once its stop token is stopped.
using AppCheckOperation = std::function<std::optional<Application>(const Application&, std::stop_token)>;

struct UpdateCheckOptions {
    unsigned coreCount = 0;  // 0: the processors of this machine
    // Long enough for a source that tries a few addresses, each with its own 5 to 15 s limit.
    std::chrono::milliseconds checkTimeout{30000};
    std::optional<std::string> stateFile;  // default: "update_check_concurrency.json" in the support folder
};

struct UpdateCheckRunOptions {
    bool allowPreRelease = false;  // decides which applications count as outdated (checked first)
    std::stop_token stop;
};

// Runs the update checks of many applications: answers what it can from the repository's
// cache, skips applications that keep failing, and runs the rest in parallel under a cap that
// follows the processor count (4 to 16) and backs off after runs with many failures. The
// adapted cap is kept in a small file of the support folder, so the next run of the program
// starts where this one left off.
//
// One run at a time: run() called while another is in progress returns nullopt at once.
// The progress handler is called on the thread that called run(), never under a lock.
class UpdateCheckCoordinator {
public:
    struct ScanResult {
        long long totalChecked = 0;    // every application handed to the run
        long long newFailures = 0;     // checks that threw or ran out of time
        std::set<std::string> failedBundleIDs;
        long long skippedFromCache = 0;  // answered from the cache or skipped as recently failed
        double duration = 0;             // seconds
    };

    struct NetworkCheckTiming {
        std::string appName;
        std::string bundleIdentifier;
        std::string mechanism;
        double elapsed = 0;  // seconds
    };

    // How fetchWithTimeout ended.
    struct FetchResult {
        enum class Kind { Resolved, NoAnswer, Failed, TimedOut, Cancelled };
        Kind kind = Kind::NoAnswer;
        std::optional<Application> application;  // when Resolved
        std::string error;                         // when Failed
        NetworkCheckTiming timing;
    };

    using ProgressHandler = std::function<void(long long checked, long long total, const std::string& currentName)>;

    using Options = UpdateCheckOptions;
    using RunOptions = UpdateCheckRunOptions;

    struct RunResult {
        std::vector<Application> applications;  // in the order given
        ScanResult scan;
        long long cacheResolved = 0, staleUsed = 0, network = 0, unresolved = 0;
    };

    static constexpr std::chrono::milliseconds kProgressThrottleInterval{500};
    static constexpr std::chrono::seconds kStaleCacheFallbackDuration{86400};
    static constexpr double kSlowCheckSeconds = 2.0;

    explicit UpdateCheckCoordinator(UpdateRepository& repository, Options options = {});

    // The processor count clamped to 4...16.
    static int capForCores(unsigned cores);

    int baseMaxConcurrent() const noexcept { return baseMaxConcurrent_; }
    int currentMaxConcurrent() const noexcept { return currentMaxConcurrent_.load(); }
    bool isRunning() const noexcept { return running_.load(); }
    std::optional<ScanResult> lastScanResult() const;
    void setProgressHandler(ProgressHandler handler) { progressHandler_ = std::move(handler); }
    UpdateRepository& repository() noexcept { return repository_; }

    // Checks the applications: the cache pass, the recent-failure skip, then the network
    // checks of the rest, their results recorded in the repository (flushed at the end), and
    // the cap adapted to the failure rate. nullopt when a run is already in progress. A stop
    // ends the checks in flight and starts no more; the run then returns what it has, without
    // adapting the cap.
    std::optional<RunResult> run(std::vector<Application> applications, const SourceSettings& sources,
                                 const AppCheckOperation& check, const RunOptions& options = {});

    // Runs one check on a thread of its own and waits at most `timeout` (or until `stop`). A
    // check still running then is asked to stop and left behind; it cannot block the caller.
    static FetchResult fetchWithTimeout(const Application& application, std::chrono::milliseconds timeout,
                                        const AppCheckOperation& check, std::stop_token stop = {});

private:
    struct CachePass;
    CachePass cachePass(std::vector<Application>& applications, const SourceSettings& sources) const;
    void adaptConcurrency(long long failures, long long checked);
    void loadState();
    void saveState() const;

    UpdateRepository& repository_;
    Options options_;
    std::string stateFile_;
    int baseMaxConcurrent_;
    std::atomic<int> currentMaxConcurrent_;
    std::atomic<bool> running_{false};
    ProgressHandler progressHandler_;
    mutable std::mutex resultMutex_;
    std::optional<ScanResult> lastScanResult_;
};

}  // namespace vt
