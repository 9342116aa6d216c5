// What conda would update in each environment: the dry run, and its 7-day cache keyed to
// the modification time of the environment's conda-meta folder.
#include "managers/python/CondaManager.hpp"

#include <algorithm>
#include <cstdio>

#include "base/Cancellation.hpp"
#include "base/Files.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Paths.hpp"
#include "base/Strings.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger instance("CondaManager");
    return instance;
}

std::string secondsText(double seconds) {
    char buffer[64];
    std::snprintf(buffer, sizeof(buffer), "%.3f", seconds);
    return buffer;
}

}  // namespace

std::optional<std::vector<Package>> CondaManager::cachedUpdates(const Cache& cache, const std::string& environment,
                                                                const std::optional<Clock::TimePoint>& mtime) const {
    auto entry = cache.find(environment);
    if (entry == cache.end()) {
        logger().info(localized("log.conda.cache_miss_no_entry", {environment, std::to_string(cache.size())}));
        return std::nullopt;
    }
    if (!mtime) {
        logger().info(localized("log.conda.cache_miss_no_mtime", {environment}));
        return std::nullopt;
    }
    const double age = secondsBetween(entry->second.scannedAt, clock().now());
    // A scan time in the future (a clock set back) proves nothing about freshness.
    if (age < 0 || age >= static_cast<double>(kOutdatedCacheTtl.count())) {
        logger().info(localized("log.conda.cache_miss_expired", {environment, secondsText(age)}));
        return std::nullopt;
    }
    const double current = toReferenceSeconds(*mtime);
    if (current != entry->second.metaMtime) {
        logger().info(localized("log.conda.cache_miss_mtime",
                                {environment, secondsText(current), secondsText(entry->second.metaMtime)}));
        return std::nullopt;
    }
    logger().info(localized("log.conda.cache_hit",
                            {environment, std::to_string(entry->second.updates.size()), secondsText(age)}));
    std::vector<Package> updates = entry->second.updates;
    for (Package& package : updates) {
        package.id = Uuid::random();
        package.sourceIdentifier = environment;
    }
    return updates;
}

std::vector<Package> CondaManager::dryRunUpdates(const std::string& conda, const std::string& environment,
                                                 std::optional<std::string>& error, std::stop_token stop) {
    std::string output;
    try {
        // conda exits non-zero when the solve fails; its JSON says why.
        ShellCommandResult result =
            runConda(conda, {"update", "--all", "--dry-run", "--json", "-p", environment}, kDryRunTimeout, stop, true);
        output = result.standardOutput.empty() ? result.standardError : result.standardOutput;
    } catch (const CancellationError&) {
        throw;
    } catch (const CommandError& command) {
        if (stop.stop_requested()) throw CancellationError();
        logger().warning(localized("log.conda.dry_run_failed", {environment, command.description()}));
        error = localized("error.conda.command_failed", {command.description()});
        return {};
    }
    Parsed<DryRun> parsed = parseDryRun(output);
    if (!parsed.value) {
        logger().warning(localized("log.conda.dry_run_no_json", {environment}));
        error = parsed.error;
        return {};
    }
    if (parsed.value->error) {
        logger().warning(localized("log.conda.dry_run_failed", {environment, *parsed.value->error}));
        error = localized("error.conda.command_failed", {*parsed.value->error});
        return {};
    }
    std::vector<Package> installed;
    {
        std::scoped_lock lock(condaMutex_);
        if (auto found = inventory_.find(environment); found != inventory_.end()) installed = found->second;
    }
    return outdatedFrom(*parsed.value, installed, environment);
}

std::vector<Package> CondaManager::checkOutdated(std::stop_token stop) {
    LoadingScope loading(*this);
    if (!discover(stop)) return nothingFound();
    const std::string conda = binaryPath();
    std::optional<std::string> error;
    std::vector<std::string> prefixes;
    {
        std::scoped_lock lock(condaMutex_);
        prefixes = environments_;
    }
    bool listedNow = false;
    if (prefixes.empty()) {
        prefixes = environments(conda, error, stop);
        listedNow = !error;
    }

    Cache cache = loadCache();
    // Entries of environments that are gone would otherwise stay forever.
    bool complete = listedNow;
    {
        std::scoped_lock lock(condaMutex_);
        complete = complete || (environmentsComplete_ && environments_ == prefixes);
    }
    bool pruned = complete && std::erase_if(cache, [&](const auto& entry) {
                                  return std::find(prefixes.begin(), prefixes.end(), entry.first) == prefixes.end();
                              }) > 0;
    std::vector<Package> outdated;
    for (const std::string& environment : prefixes) {
        const std::optional<Clock::TimePoint> mtime = metaModificationTime(environment);
        if (std::optional<std::vector<Package>> hit = cachedUpdates(cache, environment, mtime)) {
            outdated.insert(outdated.end(), hit->begin(), hit->end());
            continue;
        }
        std::optional<std::string> failure;
        std::vector<Package> updates = dryRunUpdates(conda, environment, failure, stop);
        if (failure) {
            // A failed check is not an answer to keep for a week.
            logger().info(localized("log.conda.cache_skip_failed", {environment}));
            if (!error) error = failure;
            continue;
        }
        if (!mtime) {
            logger().info(localized("log.conda.cache_skip_no_mtime", {environment}));
        } else {
            cache[environment] = CacheEntry{clock().now(), toReferenceSeconds(*mtime), updates};
            logger().info(localized("log.conda.cache_store", {environment, std::to_string(updates.size())}));
            // Written at once: dry runs are slow, and a time limit that stops a later one
            // must not throw this answer away.
            saveCache(cache);
            pruned = false;
        }
        outdated.insert(outdated.end(), updates.begin(), updates.end());
    }
    if (pruned) saveCache(cache);
    setErrorMessage(error);
    return outdated;
}

CondaManager::Cache CondaManager::loadCache() const {
    Cache cache;
    std::optional<std::string> text = vt::readFile(cacheFile());
    if (!text) return cache;
    std::optional<Json> json = parseJson(*text);
    if (!json || !json->is_object()) {
        logger().warning(localized("log.ignoring_unreadable", {cacheFile()}));
        return cache;
    }
    for (const auto& [environment, item] : json->items()) {
        if (!item.is_object()) continue;
        std::optional<double> scannedAt = numberField(item, "scannedAt");
        std::optional<double> metaMtime = numberField(item, "metaMtime");
        auto updates = item.find("updates");
        if (!scannedAt || !metaMtime || updates == item.end() || !updates->is_array()) continue;
        CacheEntry entry{fromReferenceSeconds(*scannedAt), *metaMtime, {}};
        try {
            for (const Json& update : *updates) entry.updates.push_back(packageFromJson(update));
        } catch (const PackageDecodingError& decoding) {
            logger().warning(localized("log.conda.cache_entry_ignored", {environment, decoding.what()}));
            continue;
        }
        cache[environment] = std::move(entry);
    }
    return cache;
}

void CondaManager::saveCache(const Cache& cache) const {
    Json json = Json::object();
    for (const auto& [environment, entry] : cache) {
        Json item = Json::object();
        item["scannedAt"] = toReferenceSeconds(entry.scannedAt);
        item["metaMtime"] = entry.metaMtime;
        Json updates = Json::array();
        for (const Package& package : entry.updates) updates.push_back(toJson(package));
        item["updates"] = std::move(updates);
        json[environment] = std::move(item);
    }
    const std::string path = cacheFile();
    const std::string text = dumpJson(json);
    try {
        paths::ensureFolder(path.substr(0, path.rfind('/')));
        writeFileAtomically(path, text);
        logger().info(localized("log.conda.cache_wrote", {std::to_string(text.size()), path}));
    } catch (const std::exception& failure) {
        logger().warning(localized("log.conda.cache_save_failed", {failure.what()}));
    }
}

}  // namespace vt
