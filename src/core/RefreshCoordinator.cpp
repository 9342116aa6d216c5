#include "core/RefreshCoordinator.hpp"

#include <algorithm>
#include <condition_variable>
#include <cstdio>

#include "base/Cancellation.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Strings.hpp"
#include "model/PendingUpdate.hpp"
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

constexpr const char* kForceReason = "force refresh requested";

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
            takeCheckResult(*it, update);
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
        count += hasPendingUpdate(package, allowPreRelease) ? 1 : 0;
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

std::optional<Clock::TimePoint> RefreshCoordinator::lastFullScanTime() const {
    std::scoped_lock lock(mutex_);
    return cache_.lastFullScanTime;
}

RefreshCoordinator::CacheState RefreshCoordinator::cacheState() const {
    std::scoped_lock lock(mutex_);
    return cache_;
}

void RefreshCoordinator::setScannerSelection(ScannerSelection selected) {
    std::scoped_lock lock(mutex_);
    selected_ = std::move(selected);
}

RefreshCoordinator::ScannerSelection RefreshCoordinator::scannerSelection() const {
    std::scoped_lock lock(mutex_);
    return selected_;
}

void RefreshCoordinator::restoreCacheState(CacheState state) {
    std::scoped_lock lock(mutex_);
    cache_ = std::move(state);
}

// What a scan learns of its sources is kept aside and applied with its inventory, so that a
// cancelled scan never pairs new fingerprints with an old inventory.
void RefreshCoordinator::noteListed(const std::string& id, const std::string& inputs) {
    std::scoped_lock lock(mutex_);
    pendingSources_[id] = inputs.empty() ? std::nullopt : std::optional<SourceCache>(SourceCache{inputs, std::nullopt});
}

void RefreshCoordinator::noteChecked(const std::string& id, bool latestUnknown) {
    const Clock::TimePoint now = clock().now();
    std::scoped_lock lock(mutex_);
    auto pending = pendingSources_.find(id);
    if (pending == pendingSources_.end()) {
        auto known = cache_.sources.find(id);
        if (known == cache_.sources.end()) return;
        pending = pendingSources_.emplace(id, known->second).first;
    }
    if (!pending->second) return;
    pending->second->checkedAt = now;
    pending->second->latestUnknown = latestUnknown;
}

void RefreshCoordinator::forgetSource(const std::string& id) {
    std::scoped_lock lock(mutex_);
    pendingSources_[id] = std::nullopt;
}

RefreshCoordinator::CacheDecision RefreshCoordinator::decide(bool force, const std::set<std::string>& activeIds,
                                                             const ScannerSelection& selected) const {
    std::scoped_lock lock(mutex_);
    if (force) return {true, kForceReason};
    if (!cache_.lastFullScanTime) return {true, "no previous full scan"};
    std::set<std::string> lastIds = cache_.lastFullScanSourceIDs;
    if (selected) std::erase_if(lastIds, [&](const std::string& id) { return !selected(id); });
    if (!cache_.lastFullScanSourceIDs.empty() && lastIds != activeIds) {
        std::set<std::string> added, removed;
        std::set_difference(activeIds.begin(), activeIds.end(), lastIds.begin(), lastIds.end(),
                            std::inserter(added, added.end()));
        std::set_difference(lastIds.begin(), lastIds.end(), activeIds.begin(), activeIds.end(),
                            std::inserter(removed, removed.end()));
        return {true, "active sources changed added=[" + joinIds(added) + "] removed=[" + joinIds(removed) + "]"};
    }
    if (!selected && cache_.lastScanSourceCount >= 1 && cache_.lastScanSourceCount != activeIds.size()) {
        return {true, "active source count changed from " + std::to_string(cache_.lastScanSourceCount) + " to " +
                          std::to_string(activeIds.size())};
    }
    double age = secondsBetween(*cache_.lastFullScanTime, clock().now());
    double limit = options_.scanCacheDuration.count();
    if (age <= limit) return {false, "using fast path, cache age " + seconds(age) + "s"};
    return {true, "cache expired " + seconds(age) + "s > " + seconds(limit) + "s"};
}

// One scan's chains, started together. Workers run a chain's steps and post their outcomes;
// everything else (time limits, results, log lines) happens on the thread that called run(),
// which waits for outcomes and deadlines in turn.
class RefreshCoordinator::ChainRun {
public:
    enum class Step { Listing, Checking, Ended };

    ChainRun(RefreshCoordinator& owner, const std::vector<ChainStart>& starts, SteadyClock::time_point scanStart,
             std::stop_token stop, RefreshResult& result, const std::function<void()>& whileWaiting)
        : owner_(owner), progress_(owner.progress_), stop_(std::move(stop)), result_(result),
          shared_(std::make_shared<Shared>()), whileWaiting_(whileWaiting),
          nextWaitingCall_(SteadyClock::now() + kWaitingInterval) {
        auto bound = std::chrono::duration_cast<SteadyClock::duration>(owner.options_.extendedPhaseLimit);
        extendedDeadline_ = scanStart + bound;
        for (const ChainStart& start : starts) {
            chains_.push_back(std::make_unique<Chain>());
            chains_.back()->pipeline = start.pipeline;
            chains_.back()->atCheck = start.atCheck;
            chains_.back()->inputs = start.inputs;
            stepsTotal_ += start.atCheck || !start.pipeline->checkUpdates ? 1 : 2;
            listing_ = listing_ || !start.atCheck;
        }
    }

    // Returns once every chain has ended: finished, failed, timed out or cancelled.
    void run() {
        for (std::size_t i = 0; i < chains_.size(); ++i) {
            chains_[i]->chainStart = SteadyClock::now();
            startStep(i, chains_[i]->atCheck ? Step::Checking : Step::Listing);
        }
        running_ = chains_.size();
        noteListingsProgress();
        std::stop_callback onStop(stop_, [shared = shared_] {
            std::scoped_lock lock(shared->mutex);
            shared->cv.notify_all();
        });
        while (running_ > 0) {
            for (Completion& completion : waitForCompletions()) handle(completion);
            const auto now = SteadyClock::now();
            if (whileWaiting_ && now >= nextWaitingCall_) {
                whileWaiting_();
                nextWaitingCall_ = now + kWaitingInterval;
            }
            if (stop_.stop_requested()) {
                windDown(now);
                continue;
            }
            expireSteps(now);
            if (now >= extendedDeadline_) interruptExtended();
        }
        for (auto& chain : chains_) {
            if (chain->worker.joinable()) chain->worker.join();
        }
    }

private:
    struct Completion {
        std::size_t chain = 0;
        Step step = Step::Listing;
        std::optional<ScanOutcome> outcome;
        bool cancelled = false;
        std::string error;
        // A listing's worker went on to the check at once (see startStep).
        bool checkFollows = false;
        SteadyClock::time_point checkStart;
    };
    struct Shared {
        std::mutex mutex;
        std::condition_variable cv;
        std::vector<Completion> completions;
    };
    struct Chain {
        const ScannerPipeline* pipeline = nullptr;
        bool atCheck = false;
        std::string inputs;
        Step step = Step::Listing;
        std::jthread worker;
        SteadyClock::time_point chainStart;
        SteadyClock::time_point stepStart;
        SteadyClock::time_point deadline;
        std::optional<std::string> listingMessage;
    };

    static Completion runStep(const std::function<ScanOutcome(std::stop_token)>& work, std::stop_token token) {
        Completion completion;
        try {
            completion.outcome = work ? work(token) : ScanOutcome{};
        } catch (const CancellationError&) {
            completion.cancelled = true;
        } catch (const CommandError& error) {
            completion.cancelled = error.kind() == CommandError::Kind::Cancelled;
            completion.error = error.description();
        } catch (const std::exception& error) {
            completion.error = error.what();
        } catch (...) {
            completion.error = localized("common.unknown_error");
        }
        return completion;
    }

    void startStep(std::size_t index, Step step) {
        Chain& chain = *chains_[index];
        const ScannerPipeline& pipeline = *chain.pipeline;
        chain.step = step;
        chain.stepStart = SteadyClock::now();
        chain.deadline = chain.stepStart + std::chrono::duration_cast<SteadyClock::duration>(pipeline.timeout);
        // The state is shown before the work starts, so the work itself never sees the previous step.
        progress_.updateScanner(pipeline.id, [&](ScannerStatus& status) { showStart(status, step, pipeline.startDetails); });
        if (step == Step::Checking) noteChecksStarted();
        auto work = step == Step::Listing ? pipeline.run : pipeline.checkUpdates;
        auto check = step == Step::Listing ? pipeline.checkUpdates : nullptr;
        // The check follows its listing on the same thread: going back to this thread in between
        // costs two wake-ups, which on a busy machine are most of a quick source's time.
        chain.worker = std::jthread([shared = shared_, index, step, work, check, scan = stop_, &progress = progress_,
                                     id = pipeline.id, details = pipeline.startDetails](std::stop_token token) {
            Completion completion = runStep(work, token);
            completion.chain = index;
            completion.step = step;
            completion.checkFollows =
                check && completion.outcome && !token.stop_requested() && !scan.stop_requested();
            if (completion.checkFollows) {
                completion.checkStart = SteadyClock::now();
                // Its count and the check's state in one change, before the check can show anything.
                const std::size_t count = completion.outcome->itemCount.value_or(completion.outcome->packages.size());
                progress.updateScanner(id, [&](ScannerStatus& status) {
                    showOutcome(status, Step::Listing, *completion.outcome, count);
                    showStart(status, Step::Checking, details);
                });
            }
            const bool checkFollows = completion.checkFollows;
            post(*shared, std::move(completion));
            if (!checkFollows) return;
            Completion checked = runStep(check, token);
            checked.chain = index;
            checked.step = Step::Checking;
            post(*shared, std::move(checked));
        });
    }

    static void post(Shared& shared, Completion completion) {
        std::scoped_lock lock(shared.mutex);
        shared.completions.push_back(std::move(completion));
        shared.cv.notify_all();
    }

    static void showStart(ScannerStatus& status, Step step, const std::string& details) {
        status.state = {step == Step::Listing ? ScannerState::Kind::Scanning : ScannerState::Kind::Checking, ""};
        if (!details.empty()) status.details = details;
    }

    static void showOutcome(ScannerStatus& status, Step step, const ScanOutcome& outcome, std::size_t count) {
        if (step == Step::Listing) status.scannedItems = static_cast<long long>(count);
        if (step == Step::Checking) status.latestVersionsUnknown = outcome.latestVersionsUnknown;
        status.details = outcome.message;
        status.currentItem.reset();
    }

    void noteChecksStarted() {
        if (checksStarted_) return;
        checksStarted_ = true;
        progress_.setScannerState(ScanProgressModel::kPostScanStatusID, {ScannerState::Kind::Scanning, ""});
    }

    std::vector<Completion> waitForCompletions() {
        auto wake = SteadyClock::time_point::max();
        for (const auto& chain : chains_) {
            if (chain->step != Step::Ended) wake = std::min(wake, chain->deadline);
        }
        if (runningExtended() > 0) wake = std::min(wake, extendedDeadline_);
        if (graceDeadline_) wake = std::min(wake, *graceDeadline_);
        if (whileWaiting_) wake = std::min(wake, nextWaitingCall_);
        std::unique_lock lock(shared_->mutex);
        shared_->cv.wait_until(lock, wake, [&] {
            return !shared_->completions.empty() || (!graceDeadline_ && stop_.stop_requested());
        });
        return std::exchange(shared_->completions, {});
    }

    std::size_t runningExtended() const {
        return static_cast<std::size_t>(std::count_if(chains_.begin(), chains_.end(), [](const auto& chain) {
            return !chain->pipeline->isCore && chain->step != Step::Ended;
        }));
    }

    void handle(Completion& completion) {
        Chain& chain = *chains_[completion.chain];
        if (chain.step != completion.step) return;  // the step was already ended by a time limit
        const ScannerPipeline& pipeline = *chain.pipeline;
        if (!completion.outcome) {
            if (completion.cancelled && stop_.stop_requested()) {
                end(chain, {ScannerState::Kind::Cancelled, ""});
            } else {
                fail(chain, completion.error.empty() ? localized("common.unknown_error") : completion.error);
            }
            return;
        }
        ScanOutcome& outcome = *completion.outcome;
        const double elapsed = elapsedSince(chain.stepStart);
        const std::size_t count = outcome.itemCount.value_or(outcome.packages.size());
        if (outcome.message) result_.messages[pipeline.id] = *outcome.message;
        // A listing whose check already runs was shown by its worker.
        if (!completion.checkFollows) {
            progress_.updateScanner(pipeline.id,
                                    [&](ScannerStatus& status) { showOutcome(status, completion.step, outcome, count); });
        }
        if (completion.step == Step::Listing) {
            chain.listingMessage = outcome.message;
            logger().info(localized("log.inventory_done", {pipeline.successDetails, std::to_string(count)}));
            logger().info(localized("log.timing.pipeline", {pipeline.logTag, seconds(elapsed, "%.2f")}));
            result_.packagesByScanner[pipeline.id] = std::move(outcome.packages);
            owner_.noteListed(pipeline.id, chain.inputs);
            if (completion.checkFollows) {
                noteStepsDone(1);
                chain.step = Step::Checking;
                chain.stepStart = completion.checkStart;
                chain.deadline =
                    chain.stepStart + std::chrono::duration_cast<SteadyClock::duration>(pipeline.timeout);
                noteChecksStarted();
                noteListingsProgress();
                return;
            }
            end(chain, {stop_.stop_requested() ? ScannerState::Kind::Cancelled : ScannerState::Kind::Finished, ""});
            return;
        }
        // An adapter still carries its listing's message through the check: only a new one is the check's.
        if (outcome.message && outcome.message != chain.listingMessage) result_.checkProblems[pipeline.id] = *outcome.message;
        mergeLatestVersions(result_.packagesByScanner[pipeline.id], outcome.packages);
        if (outcome.latestVersionsUnknown) result_.latestVersionsUnknown.insert(pipeline.id);
        owner_.noteChecked(pipeline.id, outcome.latestVersionsUnknown);
        if (chain.atCheck) {
            logger().info(localized("log.timing.fast_path", {pipeline.logTag, seconds(elapsed, "%.2f")}));
        } else {
            logger().info(localized("log.check_done", {pipeline.source, std::to_string(count)}));
            logger().info(localized("log.timing.check", {pipeline.logTag, seconds(elapsed, "%.2f")}));
        }
        // A check that stops early returns what it had: cut short by the cancel, it is not done.
        end(chain, {stop_.stop_requested() ? ScannerState::Kind::Cancelled : ScannerState::Kind::Finished, ""});
    }

    void fail(Chain& chain, const std::string& message) {
        const ScannerPipeline& pipeline = *chain.pipeline;
        logger().error(localized("log.source_failed", {pipeline.source, message}));
        progress_.appendLog(pipeline.source, message, ScanLogEntry::LogType::Error);
        result_.messages[pipeline.id] = message;
        result_.failedScanners[pipeline.id] = message;
        owner_.forgetSource(pipeline.id);
        end(chain, ScannerState::failed(message));
    }

    // Stops a step that is still running and leaves its thread to wind down on its own.
    void abandon(Chain& chain) {
        chain.worker.request_stop();
        std::scoped_lock lock(owner_.mutex_);
        owner_.leftBehind_.push_back(std::move(chain.worker));
    }

    void timeOut(Chain& chain) {
        const ScannerPipeline& pipeline = *chain.pipeline;
        abandon(chain);
        owner_.forgetSource(pipeline.id);
        result_.messages[pipeline.id] = "Timeout";
        result_.failedScanners[pipeline.id] = "Timeout";
        end(chain, ScannerState::failed("Timeout"));
    }

    void end(Chain& chain, ScannerState state) {
        const bool listing = chain.step == Step::Listing;
        chain.step = Step::Ended;
        --running_;
        result_.sourceDurations[chain.pipeline->id] = elapsedSince(chain.chainStart);
        progress_.setScannerState(chain.pipeline->id, std::move(state));
        // A chain that ends at its listing skips its check too.
        noteStepsDone(listing && chain.pipeline->checkUpdates ? 2 : 1);
        if (listing) noteListingsProgress();
    }

    void expireSteps(SteadyClock::time_point now) {
        for (auto& chain : chains_) {
            if (chain->step == Step::Ended || now < chain->deadline) continue;
            const std::string& source = chain->pipeline->source;
            logger().warning("⚠️ " + localized("log.scan_timeout", {source}));
            progress_.appendLog(source, localized("log.scan_timeout", {source}), ScanLogEntry::LogType::Warning);
            timeOut(*chain);
        }
    }

    // Past the overall bound, the extended sources still at work are ended; the core ones go on.
    void interruptExtended() {
        if (runningExtended() == 0) return;
        result_.interrupted = true;
        progress_.setStep(localized("refresh.timeout_interrupted"));
        logger().warning(localized("refresh.timeout_interrupted"));
        for (auto& chain : chains_) {
            if (!chain->pipeline->isCore && chain->step != Step::Ended) timeOut(*chain);
        }
    }

    // A cancelled scan asks every step to stop, then waits a short grace for them.
    void windDown(SteadyClock::time_point now) {
        if (!graceDeadline_) {
            graceDeadline_ = now + std::chrono::duration_cast<SteadyClock::duration>(owner_.options_.stopGrace);
            for (auto& chain : chains_) {
                if (chain->step != Step::Ended) chain->worker.request_stop();
            }
            return;
        }
        if (now < *graceDeadline_) return;
        for (auto& chain : chains_) {
            if (chain->step == Step::Ended) continue;
            abandon(*chain);
            end(*chain, {ScannerState::Kind::Cancelled, ""});
        }
    }

    void noteStepsDone(std::size_t steps) {
        stepsDone_ += steps;
        const double from = listing_ ? 0.0 : 0.5;
        const double share = stepsTotal_ == 0 ? 1.0 : static_cast<double>(stepsDone_) / stepsTotal_;
        progress_.setProgress(from + (0.95 - from) * std::min(1.0, share));
    }

    // The step text follows the listings: core, then extended, then only checks remain.
    void noteListingsProgress() {
        if (!listing_) return;
        std::size_t coreListing = 0, extendedListing = 0;
        for (const auto& chain : chains_) {
            if (chain->step != Step::Listing) continue;
            (chain->pipeline->isCore ? coreListing : extendedListing) += 1;
        }
        if (coreListing == 0 && !coreDone_) {
            coreDone_ = true;
            logger().info(localized("log.core_done"));
            if (extendedListing > 0) progress_.setStep(localized("scan.status.analyzing"));
        }
        if (coreListing == 0 && extendedListing == 0 && !listingsDone_) {
            listingsDone_ = true;
            if (stop_.stop_requested() || result_.interrupted) return;
            progress_.setStep(localized("scan.status.preparing_checks"));
            if (running_ > 0) progress_.setStep(localized("scan.status.checking_updates"));
        }
    }

    RefreshCoordinator& owner_;
    ScanProgressModel& progress_;
    bool listing_ = false;  // some chain lists (else every chain only checks)
    std::stop_token stop_;
    RefreshResult& result_;
    std::shared_ptr<Shared> shared_;
    std::vector<std::unique_ptr<Chain>> chains_;
    SteadyClock::time_point extendedDeadline_;
    std::optional<SteadyClock::time_point> graceDeadline_;
    const std::function<void()>& whileWaiting_;
    SteadyClock::time_point nextWaitingCall_;
    std::size_t running_ = 0;
    std::size_t stepsTotal_ = 0;
    std::size_t stepsDone_ = 0;
    bool checksStarted_ = false;
    bool coreDone_ = false;
    bool listingsDone_ = false;
};

void RefreshCoordinator::logFinalSnapshot() {
    auto snapshot = progress_.snapshot();
    std::vector<std::string> parts;
    for (const auto& status : snapshot.scannerStatuses) {
        std::string part = status.id + "=" + std::string(toString(status.state.kind));
        if (!status.state.message.empty()) part += "(" + status.state.message + ")";
        parts.push_back(part);
    }
    logger().info(localized("log.refresh.final_statuses", {join(parts, ", ")}));
}

void RefreshCoordinator::publishFinalStatus(const RefreshResult& result) {
    const bool allowPreRelease = options_.allowPreRelease && options_.allowPreRelease();
    const std::size_t updates =
        options_.pendingUpdates ? options_.pendingUpdates(result) : result.updateCount(allowPreRelease);
    const std::size_t failed = result.failedScanners.size();
    if (failed > 0) {
        // Nothing found is not "up to date" when some sources could not say.
        progress_.setStep(updates == 0 ? localized("scan.status.sources_failed", {std::to_string(failed)})
                                       : localized("scan.status.done_sources_failed",
                                                   {std::to_string(updates), std::to_string(failed)}));
        return;
    }
    progress_.setStep(updates == 0   ? localized("scan.status.up_to_date")
                      : updates == 1 ? localized("scan.status.done_one")
                                     : localized("scan.status.done", {std::to_string(updates)}));
}

std::vector<RefreshCoordinator::ChainStart> RefreshCoordinator::planChains(
    const std::vector<ScannerPipeline>& pipelines, const CacheDecision& decision, RefreshResult& result) {
    const Clock::TimePoint now = clock().now();
    std::vector<ChainStart> starts;
    std::vector<std::string> reused;
    for (const ScannerPipeline& pipeline : pipelines) {
        // Taken before the listing runs, so that a change while it runs is seen next time.
        const std::string inputs = pipeline.inputs ? pipeline.inputs() : std::string();
        std::optional<std::vector<Package>> inventory;
        std::optional<SourceCache> known;
        {
            std::scoped_lock lock(mutex_);
            if (auto it = cache_.lastInventory.find(pipeline.id); it != cache_.lastInventory.end()) inventory = it->second;
            if (auto it = cache_.sources.find(pipeline.id); it != cache_.sources.end()) known = it->second;
        }
        const bool forced = decision.fullScan && decision.reason == kForceReason;
        // What the listing read is as it was: its inventory stands without running the tool.
        const bool unchanged = !forced && !inputs.empty() && inventory && known && known->inputs == inputs;
        bool atCheck = false;
        if (unchanged) {
            const auto lifetime = known->latestUnknown
                                      ? std::min(options_.unknownCheckDuration, options_.scanCacheDuration)
                                      : options_.scanCacheDuration;
            const bool checkedLately =
                known->checkedAt && secondsBetween(*known->checkedAt, now) <= lifetime.count();
            if (checkedLately || !pipeline.checkUpdates) {
                result.packagesByScanner[pipeline.id] = *inventory;
                result.reusedSources.insert(pipeline.id);
                const bool unknown = pipeline.checkUpdates && known->latestUnknown;
                if (unknown) result.latestVersionsUnknown.insert(pipeline.id);
                reused.push_back(pipeline.id);
                progress_.updateScanner(pipeline.id, [&](ScannerStatus& status) {
                    status.state = {ScannerState::Kind::Finished, ""};
                    status.scannedItems = static_cast<long long>(inventory->size());
                    status.latestVersionsUnknown = unknown;
                });
                continue;
            }
            atCheck = true;
        }
        // A source that cannot name its inputs lists again: reusing its inventory could show
        // what a change since has made false.
        if (atCheck) {
            result.packagesByScanner[pipeline.id] = *inventory;
            progress_.updateScanner(pipeline.id, [&](ScannerStatus& status) {
                status.scannedItems = static_cast<long long>(inventory->size());
            });
        }
        starts.push_back({&pipeline, atCheck, inputs});
    }
    if (!reused.empty()) logger().info(localized("log.refresh.reused", {join(reused, ", ")}));
    return starts;
}

RefreshResult RefreshCoordinator::run(bool force, std::stop_token stop, const std::function<void()>& whileWaiting) {
    const auto start = SteadyClock::now();
    RefreshResult result;
    progress_.startScan();
    std::optional<std::stop_callback<std::function<void()>>> onCancel;
    onCancel.emplace(stop, std::function<void()>([this] {
        progress_.setCancelling(true);
        progress_.setStep(localized("refresh.cancel_requested"));
        logger().info(localized("refresh.cancel_requested"));
    }));

    const ScannerSelection selected = scannerSelection();
    std::vector<ScannerPipeline> pipelines;
    try {
        // The provider may look for the selected sources only.
        pipelines = provider_(stop);
    } catch (const std::exception& error) {
        logger().error(localized("log.refresh.sources_unlisted", {error.what()}));
    }
    if (selected) {
        std::erase_if(pipelines, [&](const ScannerPipeline& pipeline) {
            if (selected(pipeline.id)) return false;
            result.skippedScanners.insert(pipeline.id);
            return true;
        });
        // The sources the last scans knew and this one leaves out keep what they had.
        std::scoped_lock lock(mutex_);
        std::set<std::string> known = cache_.lastFullScanSourceIDs;
        for (const auto& [id, inventory] : cache_.lastInventory) known.insert(id);
        for (const auto& [id, source] : cache_.sources) known.insert(id);
        for (const std::string& id : known) {
            if (!selected(id)) result.skippedScanners.insert(id);
        }
    }
    std::set<std::string> activeIds;
    for (const auto& pipeline : pipelines) activeIds.insert(pipeline.id);
    CacheDecision decision = decide(force, activeIds, selected);
    result.fullScan = decision.fullScan;
    result.cacheReason = decision.reason;
    logger().info(decision.fullScan ? localized("log.refresh.cache_full", {decision.reason})
                                    : localized("log.refresh.cache_decision", {decision.reason}));

    for (const auto& pipeline : pipelines) {
        progress_.registerScanner(pipeline.id, pipeline.source, {ScannerState::Kind::Waiting, ""});
    }
    progress_.registerScanner(std::string(ScanProgressModel::kPostScanStatusID), localized("scan.post_scan_checks"),
                              {ScannerState::Kind::Waiting, ""});

    {
        std::scoped_lock lock(mutex_);
        pendingSources_.clear();
    }
    std::vector<ChainStart> starts = planChains(pipelines, decision, result);
    std::vector<std::string> core;
    std::vector<std::string> extended;
    for (const ChainStart& chain : starts) {
        if (!chain.atCheck) (chain.pipeline->isCore ? core : extended).push_back(chain.pipeline->id);
    }
    progress_.setStep(localized("scan.status.inventory"));
    if (!core.empty()) logger().info(localized("log.core_start", {join(core, ", ")}));
    if (!extended.empty()) logger().info(localized("log.refresh.extended", {join(extended, ", ")}));
    ChainRun(*this, starts, start, stop, result, whileWaiting).run();
    if (!decision.fullScan)
        logger().info(localized("log.timing.fast_path_total", {seconds(elapsedSince(start), "%.2f")}));
    progress_.setScannerState(ScanProgressModel::kPostScanStatusID,
                              {stop.stop_requested() ? ScannerState::Kind::Cancelled : ScannerState::Kind::Finished, ""});

    result.cancelled = stop.stop_requested();
    onCancel.reset();
    if (!result.cancelled) {
        progress_.setStep(localized("scan.status.checks_completed"));
        progress_.setStep(localized("scan.status.checks_completed_finalizing"));
        std::scoped_lock lock(mutex_);
        // A scan of some sources only is not the full scan the fast path stands on.
        if (result.fullScan && !selected) {
            cache_.lastFullScanTime = clock().now();
            cache_.lastFullScanSourceIDs = activeIds;
            cache_.lastScanSourceCount = activeIds.size();
        }
        // A source that failed this time keeps what it found before, for the next fast path.
        std::map<std::string, std::vector<Package>> inventory = result.packagesByScanner;
        for (const auto& [id, message] : result.failedScanners) {
            auto previous = cache_.lastInventory.find(id);
            if (!inventory.count(id) && previous != cache_.lastInventory.end()) inventory[id] = previous->second;
        }
        for (const std::string& id : result.skippedScanners) {
            auto previous = cache_.lastInventory.find(id);
            if (previous != cache_.lastInventory.end()) inventory[id] = previous->second;
        }
        cache_.lastInventory = std::move(inventory);
        for (auto& [id, source] : pendingSources_) {
            if (source) {
                cache_.sources[id] = std::move(*source);
            } else {
                cache_.sources.erase(id);
            }
        }
        pendingSources_.clear();
    }
    result.durationSeconds = elapsedSince(start);
    if (result.cancelled) {
        progress_.setStep(localized("refresh.cancelling"));
    } else {
        logger().info(localized("log.scan_finalizing"));
        logger().info(localized("log.timing.total", {seconds(result.durationSeconds, "%.2f")}));
        logger().info(localized("log.scan_succeeded"));
        progress_.setProgress(1.0);
        if (!result.interrupted) publishFinalStatus(result);
    }
    logFinalSnapshot();
    progress_.endScan();
    return result;
}

}  // namespace vt
