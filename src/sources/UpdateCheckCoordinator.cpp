#include "sources/UpdateCheckCoordinator.hpp"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <thread>

#include "base/Cancellation.hpp"
#include "base/Files.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Paths.hpp"
#include "base/Strings.hpp"
#include "model/VersionRules.hpp"

namespace vt {

namespace {

using SteadyClock = std::chrono::steady_clock;

const Logger& logger() {
    static const Logger log("UpdateCheckCoordinator");
    return log;
}

template <typename... Args>
std::string format(const char* pattern, Args... args) {
    char line[512];
    std::snprintf(line, sizeof line, pattern, args...);
    return line;
}

double secondsSince(SteadyClock::time_point start) {
    return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

// Checked first: what is already known to be outdated, and the vendors whose applications
// people update most.
bool checkedFirst(const Application& application, bool allowPreRelease) {
    const auto& identifier = application.bundleIdentifier;
    if (startsWith(identifier, "com.apple.") || startsWith(identifier, "com.microsoft.") ||
        startsWith(identifier, "com.google.")) {
        return true;
    }
    return isUpdateAvailable(application.version, application.latestVersion, allowPreRelease);
}

// What a source found, written over the record we hold; the identity fields of the
// inventory (name, path, version, identifier) stay ours.
void applyCheckResult(Application& target, const Application& result) {
    target.latestVersion = result.latestVersion;
    target.latestBuildNumber = result.latestBuildNumber;
    target.releaseNotes = result.releaseNotes;
    target.downloadURL = result.downloadURL;
    target.downloadSHA256 = result.downloadSHA256;
    target.publishDate = result.publishDate;
    target.appStoreID = result.appStoreID;
    target.sparkleAppcastURL = result.sparkleAppcastURL;
    target.homebrewCaskName = result.homebrewCaskName;
    target.updateMechanism = result.updateMechanism;
    target.updateStrategy = result.updateStrategy;
    target.updateCapability = result.updateCapability;
    target.detectionConfidence = result.detectionConfidence;
    target.resolutionSource = result.resolutionSource;
    target.resolutionReason = result.resolutionReason;
    target.matchedRuleIdentifier = result.matchedRuleIdentifier;
}

std::string percent(double rate) { return format("%.0f", rate * 100.0); }

}  // namespace

struct UpdateCheckCoordinator::CachePass {
    std::vector<std::size_t> network;                 // indexes of the applications that need the network
    std::map<std::size_t, CachedUpdateInfo> stale;   // expired but under a day old: the fallback
    long long resolved = 0;
    long long blacklisted = 0;
    std::map<std::string, long long> reasonCounts;
    std::vector<std::string> misses;
};

UpdateCheckCoordinator::UpdateCheckCoordinator(UpdateRepository& repository, Options options)
    : repository_(repository),
      options_(std::move(options)),
      stateFile_(options_.stateFile.value_or(paths::supportFolder() + "/update_check_concurrency.json")),
      baseMaxConcurrent_(capForCores(options_.coreCount != 0 ? options_.coreCount : std::thread::hardware_concurrency())),
      currentMaxConcurrent_(baseMaxConcurrent_) {
    loadState();
}

int UpdateCheckCoordinator::capForCores(unsigned cores) { return static_cast<int>(std::clamp(cores, 4U, 16U)); }

std::optional<UpdateCheckCoordinator::ScanResult> UpdateCheckCoordinator::lastScanResult() const {
    std::scoped_lock lock(resultMutex_);
    return lastScanResult_;
}

// The cap adapted by earlier runs; a file from a machine with another processor count, or
// one that cannot be read, is ignored.
void UpdateCheckCoordinator::loadState() {
    auto text = readFile(stateFile_);
    if (!text) return;
    auto json = parseJson(*text);
    if (!json || !json->is_object()) return;
    auto base = integerField(*json, "baseMaxConcurrent");
    auto current = integerField(*json, "currentMaxConcurrent");
    if (!base || !current || *base != baseMaxConcurrent_) return;
    currentMaxConcurrent_ = static_cast<int>(std::clamp<long long>(*current, 1, baseMaxConcurrent_));
}

void UpdateCheckCoordinator::saveState() const {
    Json json = Json::object();
    json["baseMaxConcurrent"] = baseMaxConcurrent_;
    json["currentMaxConcurrent"] = currentMaxConcurrent_.load();
    try {
        auto slash = stateFile_.rfind('/');
        if (slash != std::string::npos) paths::ensureFolder(stateFile_.substr(0, slash));
        writeFileAtomically(stateFile_, dumpJson(json));
    } catch (const FileWriteError& error) {
        logger().warning(localized("log.app_checks.cap_not_saved", {error.what()}));
    }
}

void UpdateCheckCoordinator::adaptConcurrency(long long failures, long long checked) {
    const double rate = checked > 0 ? static_cast<double>(failures) / static_cast<double>(checked) : 0.0;
    int cap = currentMaxConcurrent_.load();
    if (rate > 0.30) {
        cap = std::max(1, (cap + 1) / 2);
        logger().warning(localized("log.app_checks.high_failures", {percent(rate), std::to_string(cap)}));
    } else if (rate > 0.15) {
        cap = std::max(2, cap - 1);
        logger().warning(localized("log.app_checks.moderate_failures", {percent(rate), std::to_string(cap)}));
    } else if (rate < 0.05 && cap < baseMaxConcurrent_) {
        ++cap;
        logger().info(localized("log.app_checks.low_failures", {percent(rate), std::to_string(cap)}));
    }
    if (cap != currentMaxConcurrent_.load()) {
        currentMaxConcurrent_ = cap;
        saveState();
    }
}

UpdateCheckCoordinator::CachePass UpdateCheckCoordinator::cachePass(std::vector<Application>& applications,
                                                                    const SourceSettings& sources) const {
    CachePass pass;
    const auto now = repository_.clock().now();
    for (std::size_t index = 0; index < applications.size(); ++index) {
        Application& application = applications[index];
        if (application.bundleIdentifier.empty()) continue;
        std::string reason, kind;
        auto cached = repository_.cachedResult(application.bundleIdentifier);
        auto mechanism = cached ? updateMechanismFromRaw(cached->updateMechanism) : std::nullopt;
        if (!cached) {
            reason = kind = "missing";
        } else if (!mechanism) {
            reason = "invalid mechanism " + cached->updateMechanism;
            kind = "invalid";
        } else if (!sources.allows(*mechanism, cached->resolutionSource)) {
            reason = "disallowed cached " + cached->updateMechanism;
            kind = "disallowed";
        } else if (const auto age = now - cached->timestamp; age >= UpdateRepository::kCacheValidityDuration) {
            reason = format("expired %.0fs", std::chrono::duration<double>(age).count());
            kind = "expired";
            if (age < kStaleCacheFallbackDuration) pass.stale[index] = *cached;
        } else {
            cached->applyTo(application);
            ++pass.resolved;
            continue;
        }
        ++pass.reasonCounts[kind];
        pass.misses.push_back(application.name + " (" + reason + ")");
        if (repository_.isRecentlyFailed(application.bundleIdentifier)) {
            ++pass.blacklisted;
            continue;
        }
        pass.network.push_back(index);
    }
    if (pass.blacklisted > 0) {
        logger().info(localized("log.app_checks.skipped_failing", {std::to_string(pass.blacklisted)}));
    }
    std::vector<std::string> reasons;
    for (const auto& [kind, count] : pass.reasonCounts) reasons.push_back(kind + "=" + std::to_string(count));
    logger().info(localized("log.app_checks.cache_pass",
                            {std::to_string(pass.resolved), std::to_string(pass.blacklisted),
                             std::to_string(pass.network.size()), join(reasons, ", "), join(pass.misses, ", ")}));
    return pass;
}

UpdateCheckCoordinator::FetchResult UpdateCheckCoordinator::fetchWithTimeout(const Application& application,
                                                                             std::chrono::milliseconds timeout,
                                                                             const AppCheckOperation& check,
                                                                             std::stop_token stop) {
    // Shared with the check's thread, which may outlive this call when the check hangs.
    struct State {
        std::mutex mutex;
        std::condition_variable ready;
        bool done = false;
        std::optional<Application> result;
        std::optional<std::string> error;
        bool cancelled = false;
        std::stop_source stop;
    };
    FetchResult outcome;
    outcome.timing = {application.name, application.bundleIdentifier, std::string(rawValue(application.updateMechanism)), 0};
    const auto start = SteadyClock::now();
    auto state = std::make_shared<State>();
    try {
        std::thread([state, application, check] {
            std::optional<Application> result;
            std::optional<std::string> error;
            bool cancelled = false;
            try {
                result = check(application, state->stop.get_token());
            } catch (const CancellationError&) {
                cancelled = true;
            } catch (const std::exception& failure) {
                error = failure.what();
            } catch (...) {
                error = "unknown error";
            }
            std::scoped_lock lock(state->mutex);
            state->done = true;
            state->result = std::move(result);
            state->error = std::move(error);
            state->cancelled = cancelled;
            state->ready.notify_all();
        }).detach();
    } catch (const std::system_error& failure) {
        outcome.kind = FetchResult::Kind::Failed;
        outcome.error = std::string("could not start the check: ") + failure.what();
        return outcome;
    }
    std::stop_callback wake(stop, [&state] {
        std::scoped_lock lock(state->mutex);
        state->ready.notify_all();
    });
    std::unique_lock lock(state->mutex);
    state->ready.wait_until(lock, start + timeout, [&] { return state->done || stop.stop_requested(); });
    outcome.timing.elapsed = secondsSince(start);
    if (!state->done) {
        state->stop.request_stop();
        outcome.kind = stop.stop_requested() ? FetchResult::Kind::Cancelled : FetchResult::Kind::TimedOut;
        return outcome;
    }
    if (state->cancelled) {
        outcome.kind = stop.stop_requested() ? FetchResult::Kind::Cancelled : FetchResult::Kind::Failed;
        outcome.error = "cancelled";
    } else if (state->error) {
        outcome.kind = FetchResult::Kind::Failed;
        outcome.error = *state->error;
    } else if (state->result) {
        outcome.kind = FetchResult::Kind::Resolved;
        outcome.timing.mechanism = std::string(rawValue(state->result->updateMechanism));
        outcome.application = std::move(state->result);
    } else {
        outcome.kind = FetchResult::Kind::NoAnswer;
    }
    return outcome;
}

std::optional<UpdateCheckCoordinator::RunResult> UpdateCheckCoordinator::run(std::vector<Application> applications,
                                                                             const SourceSettings& sources,
                                                                             const AppCheckOperation& check,
                                                                             const RunOptions& options) {
    if (running_.exchange(true)) return std::nullopt;
    struct Reset {
        std::atomic<bool>& flag;
        ~Reset() { flag = false; }
    } reset{running_};

    const auto start = SteadyClock::now();
    RunResult result;
    CachePass pass = cachePass(applications, sources);
    result.cacheResolved = pass.resolved;
    result.scan.skippedFromCache = pass.resolved + pass.blacklisted;
    result.scan.totalChecked = pass.resolved + pass.blacklisted + static_cast<long long>(pass.network.size());

    std::stable_partition(pass.network.begin(), pass.network.end(), [&](std::size_t index) {
        return checkedFirst(applications[index], options.allowPreRelease);
    });
    const int cap = currentMaxConcurrent_.load();
    logger().info(localized("log.app_checks.start", {std::to_string(pass.network.size()), std::to_string(cap)}));

    // Workers pull the next application; each check is bounded by fetchWithTimeout, so a
    // worker always comes back and can be joined. Completions are handled on this thread.
    struct Completion {
        std::size_t index;
        FetchResult fetch;
    };
    std::mutex mutex;
    std::condition_variable posted;
    std::deque<Completion> completions;
    std::size_t next = 0;
    const std::vector<std::size_t>& order = pass.network;
    const std::vector<Application> inputs = applications;  // workers read these, this thread writes `applications`
    const auto timeout = options_.checkTimeout;
    const std::stop_token stop = options.stop;
    const std::size_t workerCount = std::min<std::size_t>(static_cast<std::size_t>(cap), order.size());
    std::size_t activeWorkers = workerCount;
    std::vector<std::jthread> workers;
    for (std::size_t worker = 0; worker < workerCount; ++worker) {
        // A worker's own token is stopped when the run unwinds early (a throwing progress
        // handler): it then takes no further application.
        workers.emplace_back([&](std::stop_token unwinding) {
            while (!stop.stop_requested() && !unwinding.stop_requested()) {
                std::size_t slot;
                {
                    std::scoped_lock lock(mutex);
                    if (next >= order.size()) break;
                    slot = next++;
                }
                FetchResult fetch = fetchWithTimeout(inputs[order[slot]], timeout, check, stop);
                std::scoped_lock lock(mutex);
                completions.push_back({order[slot], std::move(fetch)});
                posted.notify_all();
            }
            std::scoped_lock lock(mutex);
            --activeWorkers;
            posted.notify_all();
        });
    }

    std::map<std::string, double> mechanismSeconds;
    std::vector<std::string> slow;
    long long failures = 0, handled = 0;
    std::optional<SteadyClock::time_point> lastProgress;  // none yet: the first is reported
    const auto total = static_cast<long long>(order.size());
    for (;;) {
        std::deque<Completion> batch;
        {
            std::unique_lock lock(mutex);
            posted.wait(lock, [&] { return !completions.empty() || activeWorkers == 0; });
            batch.swap(completions);
        }
        if (batch.empty()) break;  // every worker has ended and everything it posted is handled
        for (Completion& completion : batch) {
            ++handled;
            Application& application = applications[completion.index];
            const FetchResult& fetch = completion.fetch;
            const auto& id = application.bundleIdentifier;
            switch (fetch.kind) {
                case FetchResult::Kind::Resolved:
                    applyCheckResult(application, *fetch.application);
                    repository_.store(CachedUpdateInfo::from(application, repository_.clock().now()));
                    repository_.clearFailure(id);
                    ++result.network;
                    break;
                case FetchResult::Kind::Failed:
                case FetchResult::Kind::TimedOut:
                    logger().warning(localized("log.app_checks.failed",
                                               {application.name, fetch.kind == FetchResult::Kind::TimedOut
                                                                      ? localized("log.app_checks.timed_out")
                                                                      : fetch.error}));
                    repository_.recordFailure(id);
                    ++failures;
                    result.scan.failedBundleIDs.insert(id);
                    [[fallthrough]];
                case FetchResult::Kind::NoAnswer:
                    ++result.unresolved;
                    if (auto stale = pass.stale.find(completion.index); stale != pass.stale.end()) {
                        stale->second.applyTo(application);
                        ++result.staleUsed;
                    }
                    break;
                case FetchResult::Kind::Cancelled: break;
            }
            mechanismSeconds[fetch.timing.mechanism] += fetch.timing.elapsed;
            if (fetch.timing.elapsed > kSlowCheckSeconds) {
                slow.push_back(fetch.timing.appName + format(" (%.2fs)", fetch.timing.elapsed));
            }
            const auto reported = SteadyClock::now();
            const bool due = !lastProgress || reported - *lastProgress >= kProgressThrottleInterval;
            if (progressHandler_ && (handled == total || due)) {
                lastProgress = reported;
                progressHandler_(handled, total, application.name);
            }
        }
    }
    workers.clear();  // joins; each has already left its loop
    const bool cancelled = stop.stop_requested();

    result.scan.newFailures = failures;
    result.scan.duration = secondsSince(start);
    if (!cancelled) adaptConcurrency(failures, total);
    repository_.flush();

    std::vector<std::string> mechanisms;
    for (const auto& [mechanism, seconds] : mechanismSeconds) mechanisms.push_back(mechanism + format("=%.2fs", seconds));
    logger().info(localized(
        "log.app_checks.timing",
        {std::to_string(result.scan.totalChecked), std::to_string(result.cacheResolved),
         std::to_string(result.staleUsed), std::to_string(result.network), std::to_string(result.unresolved),
         std::to_string(failures), format("%.1f", result.scan.duration), join(mechanisms, ", "), join(slow, ", ")}));
    logger().info(
        localized("log.app_checks.completed", {std::to_string(handled), format("%.2f", result.scan.duration)}));
    if (result.unresolved > 0)
        logger().info(localized("log.app_checks.unresolved", {std::to_string(result.unresolved)}));

    {
        std::scoped_lock lock(resultMutex_);
        lastScanResult_ = result.scan;
    }
    result.applications = std::move(applications);
    return result;
}

}  // namespace vt
