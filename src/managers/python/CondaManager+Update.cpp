// Updating one conda package in its environment, with progress phases, and the listing
// that follows it.
#include "managers/python/CondaManager.hpp"

#include <algorithm>
#include <array>
#include <utility>

#include "base/Cancellation.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Strings.hpp"
#include "managers/python/CondaError.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger instance("CondaManager");
    return instance;
}

// Where each phase puts the progress bar.
double fractionOf(CondaUpdatePhase phase) {
    switch (phase) {
        case CondaUpdatePhase::Downloading: return 0.1;
        case CondaUpdatePhase::Preparing: return 0.6;
        case CondaUpdatePhase::Verifying: return 0.7;
        case CondaUpdatePhase::Installing: return 0.85;
        case CondaUpdatePhase::Done: return 1.0;
    }
    return 0;
}

// Follows the output as it arrives and reports each phase once, never going back. A marker
// split between two chunks is found once the rest of its line has come.
class PhaseTracker {
public:
    explicit PhaseTracker(const CondaManager::ProgressHandler& onProgress) : onProgress_(onProgress) {}

    void report(CondaUpdatePhase phase) {
        if (reported_ && phase <= current_) return;
        current_ = phase;
        reported_ = true;
        if (onProgress_) onProgress_(fractionOf(phase), localized(CondaManager::phaseKey(phase)));
    }

    void consume(std::string_view chunk) {
        pending_.append(chunk);
        // conda redraws its spinners with carriage returns; a phase shows before its line ends.
        for (std::string_view line : splitLines(pending_)) {
            for (std::string_view part : split(line, '\r')) {
                if (std::optional<CondaUpdatePhase> phase = CondaManager::phaseForLine(part)) report(*phase);
            }
        }
        const std::size_t end = pending_.rfind('\n');
        if (end != std::string::npos) pending_.erase(0, end + 1);
        if (pending_.size() > kMaxPending) pending_.erase(0, pending_.size() - kMaxPending);
    }

private:
    static constexpr std::size_t kMaxPending = 4096;
    const CondaManager::ProgressHandler& onProgress_;
    CondaUpdatePhase current_ = CondaUpdatePhase::Downloading;
    bool reported_ = false;
    std::string pending_;
};

}  // namespace

std::string_view CondaManager::phaseKey(CondaUpdatePhase phase) {
    switch (phase) {
        case CondaUpdatePhase::Downloading: return "conda.phase.downloading";
        case CondaUpdatePhase::Preparing: return "conda.phase.preparing";
        case CondaUpdatePhase::Verifying: return "conda.phase.verifying";
        case CondaUpdatePhase::Installing: return "conda.phase.installing";
        case CondaUpdatePhase::Done: return "conda.phase.done";
    }
    return "conda.phase.downloading";
}

std::optional<CondaUpdatePhase> CondaManager::phaseForLine(std::string_view line) {
    static const std::array<std::pair<std::string_view, CondaUpdatePhase>, 9> markers = {{
        {"Executing transaction", CondaUpdatePhase::Installing},
        {"Linking ", CondaUpdatePhase::Installing},  // mamba and micromamba
        {"Verifying transaction", CondaUpdatePhase::Verifying},
        {"Preparing transaction", CondaUpdatePhase::Preparing},
        {"Transaction starting", CondaUpdatePhase::Preparing},
        {"Downloading and Extracting Packages", CondaUpdatePhase::Downloading},
        {"Collecting package metadata", CondaUpdatePhase::Downloading},
        {"Solving environment", CondaUpdatePhase::Downloading},
        {"Downloading", CondaUpdatePhase::Downloading},
    }};
    for (const auto& [marker, phase] : markers) {
        if (contains(line, marker)) return phase;
    }
    return std::nullopt;
}

void CondaManager::update(const Package& package, std::stop_token stop) {
    update(package, {}, std::move(stop));
}

void CondaManager::update(const Package& package, const ProgressHandler& onProgress, std::stop_token stop) {
    if (!discover(stop)) throw CondaError::binaryNotDetected();
    const std::string conda = binaryPath();
    const std::string environment = package.sourceIdentifier.value_or("");
    if (environment.empty() || !files_.directoryExists(environment)) throw CondaError::noEnvironment(package.name);

    bool known = false;
    {
        std::scoped_lock lock(condaMutex_);
        known = inventory_.count(environment) > 0;
    }
    if (!known) {
        // A process that starts with this update has no inventory to fall back on otherwise.
        EnvironmentListing before = listEnvironment(conda, environment, stop);
        std::scoped_lock lock(condaMutex_);
        if (!before.error) inventory_[environment] = std::move(before.packages);
    }

    PhaseTracker tracker(onProgress);
    tracker.report(CondaUpdatePhase::Downloading);
    logger().info(localized("log.conda.update_start", {package.name, environment}));
    CommandRequest request;
    request.command = conda;
    request.arguments = {"update", "-y", "-p", environment, package.name};
    // `install` with an exact match spec takes the version shown; `update` takes the newest.
    if (const std::optional<std::string> pinned = pinnedVersion(package)) {
        request.arguments = {"install", "-y", "-p", environment, package.name + "==" + *pinned};
    }
    request.timeout = kUpdateTimeout;
    auto follow = [&tracker](std::string_view chunk) { tracker.consume(chunk); };
    try {
        runStreaming(request, follow, follow, stop);
    } catch (const CommandError& error) {
        std::string detail = trim(error.detail());
        throw CondaError::commandFailed(detail.empty() ? error.description() : detail.substr(0, 300));
    }

    // The cached dry run of this environment is stale now, whatever conda-meta says.
    Cache cache = loadCache();
    if (cache.erase(environment) > 0) saveCache(cache);

    {
        std::scoped_lock lock(condaMutex_);
        updatedEnvironments_.insert(environment);
    }
    EnvironmentListing listing = listEnvironment(conda, environment, stop);
    if (listing.error) {
        logger().warning(localized("log.conda.refresh_after_update_failed", {environment, *listing.error}));
    } else {
        std::optional<std::string> kept;
        std::vector<Package> packages = keepInventoryIfEmptied(environment, std::move(listing.packages), kept);
        {
            std::scoped_lock lock(condaMutex_);
            inventory_[environment] = std::move(packages);
            if (std::find(environments_.begin(), environments_.end(), environment) == environments_.end()) {
                environments_.push_back(environment);
            }
        }
        publishInventory();
        if (kept) setErrorMessage(kept);
    }
    tracker.report(CondaUpdatePhase::Done);
}

}  // namespace vt
