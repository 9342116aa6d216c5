#include "core/RefreshCoordinator.hpp"

#include <algorithm>
#include <condition_variable>
#include <cstdio>

#include "base/Cancellation.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Strings.hpp"
#include "model/VersionRules.hpp"
#include "system/CommandRunning.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger log("RefreshCoordinator");
    return log;
}

using SteadyClock = std::chrono::steady_clock;

std::string seconds(double value, const char* format = "%.1f") {
    char buffer[64];
    std::snprintf(buffer, sizeof(buffer), format, value);
    return buffer;
}

double elapsedSince(SteadyClock::time_point start) {
    return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

std::string joinIds(const std::set<std::string>& ids) {
    return join(std::vector<std::string>(ids.begin(), ids.end()), ",");
}

// Merges the outdated items a source reported into its inventory, by stable key.
void mergeLatestVersions(std::vector<Package>& inventory, const std::vector<Package>& outdated) {
    for (const Package& update : outdated) {
        std::string key = stableKey(update);
        auto it = std::find_if(inventory.begin(), inventory.end(),
                               [&](const Package& installed) { return stableKey(installed) == key; });
        if (it == inventory.end()) {
            inventory.push_back(update);
        } else {
            it->latestVersion = update.latestVersion;
        }
    }
}

}  // namespace

std::vector<Package> RefreshResult::allPackages() const {
    std::vector<Package> all;
    std::set<std::string> seen;
    for (const auto& [scanner, packages] : packagesByScanner) {
        for (const Package& package : packages) {
            if (seen.insert(stableKey(package)).second) all.push_back(package);
        }
    }
    return all;
}

std::size_t RefreshResult::itemCount() const { return allPackages().size(); }

std::size_t RefreshResult::updateCount(bool allowPreRelease) const {
    std::size_t count = 0;
    for (const Package& package : allPackages()) {
        count += isUpdateAvailable(package.version, package.latestVersion, allowPreRelease) ? 1 : 0;
    }
    return count;
}

RefreshCoordinator::RefreshCoordinator(ScanProgressModel& progress, PipelineProvider provider)
    : RefreshCoordinator(progress, std::move(provider), Options{}) {}

RefreshCoordinator::RefreshCoordinator(ScanProgressModel& progress, PipelineProvider provider, Options options)
    : progress_(progress), provider_(std::move(provider)), options_(options) {}

RefreshCoordinator::~RefreshCoordinator() {
    for (auto& thread : leftBehind_) thread.request_stop();
}

Clock& RefreshCoordinator::clock() const { return options_.clock ? *options_.clock : Clock::shared(); }

void RefreshCoordinator::noteDirectoryChange() {
    std::scoped_lock lock(mutex_);
    directoryChangesDetected_ = true;
}

std::optional<Clock::TimePoint> RefreshCoordinator::lastFullScanTime() const {
    std::scoped_lock lock(mutex_);
    return lastFullScanTime_;
}

RefreshCoordinator::CacheDecision RefreshCoordinator::decide(bool force, const std::set<std::string>& activeIds) const {
    std::scoped_lock lock(mutex_);
    if (force) return {true, "force refresh requested"};
    if (directoryChangesDetected_) return {true, "application directory changes detected"};
    if (!lastFullScanTime_) return {true, "no previous full scan"};
    if (!lastFullScanSourceIDs_.empty() && lastFullScanSourceIDs_ != activeIds) {
        std::set<std::string> added, removed;
        std::set_difference(activeIds.begin(), activeIds.end(), lastFullScanSourceIDs_.begin(),
                            lastFullScanSourceIDs_.end(), std::inserter(added, added.end()));
        std::set_difference(lastFullScanSourceIDs_.begin(), lastFullScanSourceIDs_.end(), activeIds.begin(),
                            activeIds.end(), std::inserter(removed, removed.end()));
        return {true, "active sources changed added=[" + joinIds(added) + "] removed=[" + joinIds(removed) + "]"};
    }
    if (lastScanSourceCount_ >= 1 && lastScanSourceCount_ != activeIds.size()) {
        return {true, "active source count changed from " + std::to_string(lastScanSourceCount_) + " to " +
                          std::to_string(activeIds.size())};
    }
    double age = secondsBetween(*lastFullScanTime_, clock().now());
    double limit = options_.scanCacheDuration.count();
    if (age <= limit) return {false, "using fast path, cache age " + seconds(age) + "s"};
    return {true, "cache expired " + seconds(age) + "s > " + seconds(limit) + "s"};
}

struct RefreshCoordinator::PhaseRun {
    struct Slot {
        bool done = false;
        bool cancelled = false;
        std::optional<ScanOutcome> outcome;
        std::string error;
    };
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<Slot> slots;
};

std::map<std::string, ScanOutcome> RefreshCoordinator::runPhase(
    const std::vector<const ScannerPipeline*>& pipelines, Phase phase,
    std::optional<SteadyClock::time_point> phaseDeadline, std::stop_token stop, RefreshResult& result) {
    std::map<std::string, ScanOutcome> outcomes;
    if (pipelines.empty()) return outcomes;
    auto shared = std::make_shared<PhaseRun>();
    shared->slots.resize(pipelines.size());
    const auto start = SteadyClock::now();
    std::vector<SteadyClock::time_point> deadlines;
    std::vector<std::jthread> threads;

    for (std::size_t i = 0; i < pipelines.size(); ++i) {
        const ScannerPipeline& pipeline = *pipelines[i];
        deadlines.push_back(start + std::chrono::duration_cast<SteadyClock::duration>(pipeline.timeout));
        auto work = phase == Phase::Inventory ? pipeline.run : pipeline.checkUpdates;
        progress_.updateScanner(pipeline.id, [&](ScannerStatus& status) {
            if (phase == Phase::Inventory) status.state = {ScannerState::Kind::Scanning, ""};
            if (!pipeline.startDetails.empty()) status.details = pipeline.startDetails;
        });
        threads.emplace_back([shared, i, work](std::stop_token token) {
            PhaseRun::Slot slot;
            try {
                slot.outcome = work ? work(token) : ScanOutcome{};
            } catch (const CancellationError&) {
                slot.cancelled = true;
            } catch (const CommandError& error) {
                slot.cancelled = error.kind() == CommandError::Kind::Cancelled;
                slot.error = error.description();
            } catch (const std::exception& error) {
                slot.error = error.what();
            } catch (...) {
                slot.error = "Erreur inconnue";
            }
            slot.done = true;
            std::scoped_lock lock(shared->mutex);
            shared->slots[i] = std::move(slot);
            shared->cv.notify_all();
        });
    }

    std::vector<bool> resolved(pipelines.size(), false);
    std::size_t unresolved = pipelines.size();
    auto resolveAsStopped = [&](std::size_t i, ScannerState state) {
        threads[i].request_stop();
        resolved[i] = true;
        --unresolved;
        progress_.setScannerState(pipelines[i]->id, std::move(state));
    };
    {
        std::stop_callback onStop(stop, [&shared] {
            std::scoped_lock lock(shared->mutex);
            shared->cv.notify_all();
        });
        std::optional<SteadyClock::time_point> graceDeadline;
        while (unresolved > 0) {
            std::vector<std::pair<std::size_t, PhaseRun::Slot>> finished;
            {
                std::unique_lock lock(shared->mutex);
                auto wake = SteadyClock::time_point::max();
                for (std::size_t i = 0; i < pipelines.size(); ++i) {
                    if (!resolved[i]) wake = std::min(wake, deadlines[i]);
                }
                if (phaseDeadline) wake = std::min(wake, *phaseDeadline);
                if (graceDeadline) wake = std::min(wake, *graceDeadline);
                auto anyDone = [&] {
                    for (std::size_t i = 0; i < pipelines.size(); ++i) {
                        if (!resolved[i] && shared->slots[i].done) return true;
                    }
                    return !graceDeadline && stop.stop_requested();
                };
                shared->cv.wait_until(lock, wake, anyDone);
                for (std::size_t i = 0; i < pipelines.size(); ++i) {
                    if (!resolved[i] && shared->slots[i].done) finished.emplace_back(i, std::move(shared->slots[i]));
                }
            }
            for (auto& [i, slot] : finished) {
                const ScannerPipeline& pipeline = *pipelines[i];
                resolved[i] = true;
                --unresolved;
                double elapsed = elapsedSince(start);
                if (slot.outcome) {
                    std::size_t count = slot.outcome->packages.size();
                    if (phase == Phase::Inventory) {
                        logger().info(pipeline.successDetails + std::to_string(count));
                        logger().info("[" + pipeline.logTag + "] " + seconds(elapsed, "%.2f") + "s");
                    }
                    // Not the structured binding itself: clang 14 cannot capture one.
                    const std::optional<std::string>& message = slot.outcome->message;
                    progress_.updateScanner(pipeline.id, [&](ScannerStatus& status) {
                        status.state = {ScannerState::Kind::Finished, ""};
                        if (phase == Phase::Inventory) status.scannedItems = static_cast<long long>(count);
                        status.details = message;
                        status.currentItem.reset();
                    });
                    if (slot.outcome->message) result.messages[pipeline.id] = *slot.outcome->message;
                    outcomes[pipeline.id] = std::move(*slot.outcome);
                } else if (slot.cancelled && stop.stop_requested()) {
                    progress_.setScannerState(pipeline.id, {ScannerState::Kind::Cancelled, ""});
                } else {
                    std::string message = slot.error.empty() ? "Erreur inconnue" : slot.error;
                    logger().error("❌ " + pipeline.source + ": " + message);
                    progress_.failScanner(pipeline.id, message);
                    progress_.appendLog(pipeline.source, message, ScanLogEntry::LogType::Error);
                    result.messages[pipeline.id] = message;
                }
            }
            const auto now = SteadyClock::now();
            if (stop.stop_requested()) {
                if (!graceDeadline) {
                    graceDeadline = now + std::chrono::duration_cast<SteadyClock::duration>(options_.stopGrace);
                    for (auto& thread : threads) thread.request_stop();
                } else if (now >= *graceDeadline) {
                    for (std::size_t i = 0; i < pipelines.size(); ++i) {
                        if (!resolved[i]) resolveAsStopped(i, {ScannerState::Kind::Cancelled, ""});
                    }
                }
                continue;
            }
            for (std::size_t i = 0; i < pipelines.size(); ++i) {
                if (resolved[i] || now < deadlines[i]) continue;
                const ScannerPipeline& pipeline = *pipelines[i];
                logger().warning("⚠️ Timeout du scan " + pipeline.source);
                progress_.appendLog(pipeline.source, "Timeout du scan " + pipeline.source,
                                    ScanLogEntry::LogType::Warning);
                result.messages[pipeline.id] = "Timeout";
                resolveAsStopped(i, ScannerState::failed("Timeout"));
            }
            if (phaseDeadline && now >= *phaseDeadline && unresolved > 0) {
                result.interrupted = true;
                progress_.setStep(localized("refresh.timeout_interrupted"));
                for (std::size_t i = 0; i < pipelines.size(); ++i) {
                    if (resolved[i]) continue;
                    result.messages[pipelines[i]->id] = "Timeout";
                    resolveAsStopped(i, ScannerState::failed("Timeout"));
                }
            }
        }
    }
    // Finished threads end at once; the others were stopped and are left to wind down.
    for (std::size_t i = 0; i < threads.size(); ++i) {
        bool done;
        {
            std::scoped_lock lock(shared->mutex);
            done = shared->slots[i].done || !shared->slots[i].error.empty();
        }
        if (threads[i].joinable() && !done) {
            std::scoped_lock lock(mutex_);
            leftBehind_.push_back(std::move(threads[i]));
        }
    }
    return outcomes;
}

void RefreshCoordinator::runUpdateChecks(const std::vector<ScannerPipeline>& pipelines, std::stop_token stop,
                                         RefreshResult& result, bool fastPath) {
    std::vector<const ScannerPipeline*> checking;
    for (const auto& pipeline : pipelines) {
        if (pipeline.checkUpdates && result.packagesByScanner.count(pipeline.id)) checking.push_back(&pipeline);
    }
    progress_.setStep(localized("scan.status.preparing_checks"));
    progress_.registerScanner(std::string(ScanProgressModel::kPostScanStatusID), localized("scan.post_scan_checks"),
                              {ScannerState::Kind::Scanning, ""});
    progress_.setStep(localized(fastPath ? "scan.status.verifying" : "scan.status.checking_updates"));
    auto start = SteadyClock::now();
    auto outcomes = runPhase(checking, Phase::Updates, std::nullopt, stop, result);
    for (const ScannerPipeline* pipeline : checking) {
        auto it = outcomes.find(pipeline->id);
        if (fastPath) {
            logger().info("[fast-path " + pipeline->logTag + "] " + seconds(elapsedSince(start), "%.2f") + "s");
        }
        if (it == outcomes.end()) continue;
        mergeLatestVersions(result.packagesByScanner[pipeline->id], it->second.packages);
    }
    progress_.setScannerState(ScanProgressModel::kPostScanStatusID,
                              {stop.stop_requested() ? ScannerState::Kind::Cancelled : ScannerState::Kind::Finished, ""});
    progress_.setStep(localized("scan.status.checks_completed"));
    progress_.setStep(localized("scan.status.checks_completed_finalizing"));
}

void RefreshCoordinator::logFinalSnapshot() {
    auto snapshot = progress_.snapshot();
    std::vector<std::string> parts;
    for (const auto& status : snapshot.scannerStatuses) {
        std::string part = status.id + "=" + std::string(toString(status.state.kind));
        if (!status.state.message.empty()) part += "(" + status.state.message + ")";
        parts.push_back(part);
    }
    logger().info("🔵 Scanner statuses final snapshot [" + join(parts, ", ") + "]");
}

RefreshResult RefreshCoordinator::run(bool force, std::stop_token stop) {
    const auto start = SteadyClock::now();
    RefreshResult result;
    progress_.startScan();
    std::optional<std::stop_callback<std::function<void()>>> onCancel;
    onCancel.emplace(stop, std::function<void()>([this] {
        progress_.setCancelling(true);
        progress_.setStep(localized("refresh.cancel_requested"));
        logger().info("🔵 " + localizedIn(Language::English, "refresh.cancel_requested"));
    }));

    std::vector<ScannerPipeline> pipelines;
    try {
        pipelines = provider_(stop);
    } catch (const std::exception& error) {
        logger().error(std::string("❌ Sources could not be listed: ") + error.what());
    }
    std::set<std::string> activeIds;
    for (const auto& pipeline : pipelines) activeIds.insert(pipeline.id);

    CacheDecision decision = decide(force, activeIds);
    result.fullScan = decision.fullScan;
    result.cacheReason = decision.reason;
    logger().info("VT_SCAN_CACHE decision: " + std::string(decision.fullScan ? "full scan required: " : "") +
                  decision.reason);

    for (const auto& pipeline : pipelines) {
        progress_.registerScanner(pipeline.id, pipeline.source, {ScannerState::Kind::Waiting, ""});
    }

    if (!decision.fullScan) {
        {
            std::scoped_lock lock(mutex_);
            for (const auto& id : activeIds) {
                if (auto it = lastInventory_.find(id); it != lastInventory_.end()) {
                    result.packagesByScanner[id] = it->second;
                }
            }
        }
        for (const auto& [id, packages] : result.packagesByScanner) {
            const auto count = static_cast<long long>(packages.size());  // clang 14 cannot capture a binding
            progress_.updateScanner(id, [&](ScannerStatus& status) {
                status.state = {ScannerState::Kind::Finished, ""};
                status.scannedItems = count;
            });
        }
        progress_.setProgress(0.5);
        runUpdateChecks(pipelines, stop, result, true);
        logger().info("[fast-path total] " + seconds(elapsedSince(start), "%.2f") + "s");
    } else {
        std::vector<const ScannerPipeline*> core, extended;
        for (const auto& pipeline : pipelines) (pipeline.isCore ? core : extended).push_back(&pipeline);
        progress_.setStep(localized("scan.status.inventory"));
        logger().info("Démarrage du scan core (Applications, MAS, Homebrew, NPM, Pip)");
        for (auto& [id, outcome] : runPhase(core, Phase::Inventory, std::nullopt, stop, result)) {
            result.packagesByScanner[id] = std::move(outcome.packages);
        }
        logger().info("Scan core terminé");
        progress_.setProgress(0.4);

        if (!stop.stop_requested() && !extended.empty()) {
            std::vector<std::string> names;
            for (const auto* pipeline : extended) names.push_back(pipeline->id);
            logger().info("🔵 Extended scan pipelines: " + join(names, ", "));
            progress_.setStep(localized("scan.status.analyzing"));
            auto limit = SteadyClock::now() +
                         std::chrono::duration_cast<SteadyClock::duration>(options_.extendedPhaseLimit);
            for (auto& [id, outcome] : runPhase(extended, Phase::Inventory, limit, stop, result)) {
                result.packagesByScanner[id] = std::move(outcome.packages);
            }
        }
        progress_.setProgress(0.8);
        if (!stop.stop_requested()) runUpdateChecks(pipelines, stop, result, false);
        if (!stop.stop_requested()) {
            std::scoped_lock lock(mutex_);
            lastFullScanTime_ = clock().now();
            lastFullScanSourceIDs_ = activeIds;
            lastScanSourceCount_ = activeIds.size();
            directoryChangesDetected_ = false;
        }
    }

    result.cancelled = stop.stop_requested();
    onCancel.reset();
    if (!result.cancelled) {
        std::scoped_lock lock(mutex_);
        lastInventory_ = result.packagesByScanner;
    }
    result.durationSeconds = elapsedSince(start);
    if (result.cancelled) {
        progress_.setStep(localized("refresh.cancelling"));
    } else {
        logger().info("Scan terminé, finalisation en cours");
        logger().info("[TOTAL] " + seconds(result.durationSeconds, "%.2f") + "s");
        logger().info("Scan global terminé avec succès");
        progress_.setProgress(1.0);
        if (!result.interrupted) {
            std::size_t updates = result.updateCount(false);
            progress_.setStep(updates == 0 ? localized("scan.status.up_to_date")
                                           : localized("scan.status.done", {std::to_string(updates)}));
        }
    }
    logFinalSnapshot();
    progress_.endScan();
    return result;
}

}  // namespace vt
