#include "sources/UpdateRepository.hpp"


#include "base/Files.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Paths.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger log("UpdateRepository");
    return log;
}

constexpr const char* kAppCacheFile = "update_cache.json";
constexpr const char* kFailedChecksFile = "failed_checks.json";
constexpr const char* kFailureCountsFile = "failure_counts.json";

void put(Json& json, const char* key, const std::optional<std::string>& value) {
    if (value) json[key] = *value;
}

template <typename Value>
void replaceIfPresent(std::optional<Value>& target, const std::optional<Value>& value) {
    if (value) target = value;
}

// The object a file holds; nullopt (logged) when it is missing or unreadable, so the next
// flush rewrites it whole.
std::optional<Json> readObject(const std::string& path) {
    auto text = readFile(path);
    if (!text) return std::nullopt;
    auto json = parseJson(*text);
    if (!json || !json->is_object()) {
        logger().warning(localized("log.ignoring_unreadable", {path}));
        return std::nullopt;
    }
    return json;
}

}  // namespace

CachedUpdateInfo CachedUpdateInfo::from(const Application& application, Clock::TimePoint now) {
    CachedUpdateInfo info;
    info.bundleIdentifier = application.bundleIdentifier;
    info.latestVersion = application.latestVersion;
    info.appStoreID = application.appStoreID;
    info.releaseNotes = application.releaseNotes;
    info.updateMechanism = std::string(rawValue(application.updateMechanism));
    info.updateStrategy = std::string(rawValue(application.updateStrategy));
    info.homebrewCaskName = application.homebrewCaskName;
    info.downloadURL = application.downloadURL;
    info.downloadSHA256 = application.downloadSHA256;
    info.detectionConfidence = application.detectionConfidence;
    info.resolutionSource = application.resolutionSource;
    info.resolutionReason = application.resolutionReason;
    info.matchedRuleIdentifier = application.matchedRuleIdentifier;
    info.timestamp = now;
    return info;
}

void CachedUpdateInfo::applyTo(Application& application) const {
    application.latestVersion = latestVersion;
    replaceIfPresent(application.appStoreID, appStoreID);
    replaceIfPresent(application.releaseNotes, releaseNotes);
    if (auto mechanism = updateMechanismFromRaw(updateMechanism)) application.updateMechanism = *mechanism;
    if (updateStrategy) {
        if (auto strategy = updateStrategyFromRaw(*updateStrategy)) application.updateStrategy = *strategy;
    }
    replaceIfPresent(application.homebrewCaskName, homebrewCaskName);
    // A checksum belongs to its address: they are replaced together.
    if (downloadURL) {
        application.downloadURL = downloadURL;
        application.downloadSHA256 = downloadSHA256;
    }
    replaceIfPresent(application.detectionConfidence, detectionConfidence);
    replaceIfPresent(application.resolutionSource, resolutionSource);
    replaceIfPresent(application.resolutionReason, resolutionReason);
    replaceIfPresent(application.matchedRuleIdentifier, matchedRuleIdentifier);
}

Json CachedUpdateInfo::toJson() const {
    Json json = Json::object();
    json["bundleIdentifier"] = bundleIdentifier;
    put(json, "latestVersion", latestVersion);
    put(json, "appStoreID", appStoreID);
    put(json, "releaseNotes", releaseNotes);
    json["updateMechanism"] = updateMechanism;
    put(json, "updateStrategy", updateStrategy);
    put(json, "homebrewCaskName", homebrewCaskName);
    put(json, "downloadURL", downloadURL);
    put(json, "downloadSHA256", downloadSHA256);
    if (detectionConfidence) json["detectionConfidence"] = rawValue(*detectionConfidence);
    if (resolutionSource) json["resolutionSource"] = rawValue(*resolutionSource);
    put(json, "resolutionReason", resolutionReason);
    put(json, "matchedRuleIdentifier", matchedRuleIdentifier);
    json["timestamp"] = toReferenceSeconds(timestamp);
    return json;
}

std::optional<CachedUpdateInfo> CachedUpdateInfo::fromJson(const Json& json) {
    auto identifier = stringField(json, "bundleIdentifier");
    auto mechanism = stringField(json, "updateMechanism");
    auto timestamp = numberField(json, "timestamp");
    if (!identifier || identifier->empty() || !mechanism || !timestamp) return std::nullopt;
    CachedUpdateInfo info;
    info.bundleIdentifier = *identifier;
    info.latestVersion = stringField(json, "latestVersion");
    info.appStoreID = stringField(json, "appStoreID");
    info.releaseNotes = stringField(json, "releaseNotes");
    info.updateMechanism = *mechanism;
    info.updateStrategy = stringField(json, "updateStrategy");
    info.homebrewCaskName = stringField(json, "homebrewCaskName");
    info.downloadURL = stringField(json, "downloadURL");
    info.downloadSHA256 = stringField(json, "downloadSHA256");
    if (auto raw = stringField(json, "detectionConfidence")) info.detectionConfidence = detectionConfidenceFromRaw(*raw);
    if (auto raw = stringField(json, "resolutionSource")) info.resolutionSource = appRulePrimarySourceFromRaw(*raw);
    info.resolutionReason = stringField(json, "resolutionReason");
    info.matchedRuleIdentifier = stringField(json, "matchedRuleIdentifier");
    info.timestamp = fromReferenceSeconds(*timestamp);
    return info;
}

UpdateRepository::UpdateRepository(std::optional<std::string> folder, Clock* clock)
    : folder_(folder ? std::move(*folder) : paths::supportFolder()), clock_(clock ? *clock : Clock::shared()) {
    load();
}

UpdateRepository::~UpdateRepository() { flush(); }

void UpdateRepository::load() {
    std::scoped_lock lock(mutex_);
    if (auto json = readObject(folder_ + "/" + kAppCacheFile)) {
        for (const auto& [key, value] : json->items()) {
            if (auto info = CachedUpdateInfo::fromJson(value)) appCache_[key] = std::move(*info);
        }
    }
    if (auto json = readObject(folder_ + "/" + kFailedChecksFile)) {
        for (const auto& [key, value] : json->items()) {
            if (value.is_number()) failedChecks_[key] = fromReferenceSeconds(value.get<double>());
        }
    }
    if (auto json = readObject(folder_ + "/" + kFailureCountsFile)) {
        for (const auto& [key, value] : json->items()) {
            if (value.is_number_integer() && value.get<long long>() > 0) failureCounts_[key] = value.get<long long>();
        }
    }
    logger().info(localized("log.app_cache.cached_loaded", {std::to_string(appCache_.size())}));
    logger().info(localized("log.app_cache.failures_loaded", {std::to_string(failedChecks_.size())}));
    cleanStaleEntriesLocked();
}

void UpdateRepository::cleanStaleEntriesLocked() {
    const auto limit = clock_.now() - kStaleEntryLifetime;
    std::size_t removed = std::erase_if(appCache_, [&](const auto& entry) { return entry.second.timestamp < limit; });
    appCacheDirty_ = appCacheDirty_ || removed > 0;
    if (removed > 0) logger().info(localized("log.app_cache.cleaned", {std::to_string(removed)}));
}

std::optional<CachedUpdateInfo> UpdateRepository::cachedResult(const std::string& bundleIdentifier) const {
    std::scoped_lock lock(mutex_);
    auto found = appCache_.find(bundleIdentifier);
    if (found == appCache_.end()) return std::nullopt;
    return found->second;
}

void UpdateRepository::store(const CachedUpdateInfo& info) {
    std::scoped_lock lock(mutex_);
    appCache_[info.bundleIdentifier] = info;
    appCacheDirty_ = true;
}

void UpdateRepository::recordFailure(const std::string& bundleIdentifier) {
    std::scoped_lock lock(mutex_);
    failedChecks_[bundleIdentifier] = clock_.now();
    ++failureCounts_[bundleIdentifier];
    failuresDirty_ = true;
}

void UpdateRepository::clearFailure(const std::string& bundleIdentifier) {
    {
        std::scoped_lock lock(mutex_);
        const bool hadState = failedChecks_.erase(bundleIdentifier) + failureCounts_.erase(bundleIdentifier) > 0;
        if (!hadState) return;
        failuresDirty_ = true;
    }
    logger().info(localized("log.app_cache.failure_cleared", {bundleIdentifier}));
}

void UpdateRepository::forget(const std::string& bundleIdentifier) {
    {
        std::scoped_lock lock(mutex_);
        if (appCache_.erase(bundleIdentifier) > 0) appCacheDirty_ = true;
    }
    clearFailure(bundleIdentifier);
}

std::map<std::string, long long> UpdateRepository::failureCounts() const {
    std::scoped_lock lock(mutex_);
    return failureCounts_;
}

long long UpdateRepository::failureCount(const std::string& bundleIdentifier) const {
    std::scoped_lock lock(mutex_);
    auto found = failureCounts_.find(bundleIdentifier);
    return found == failureCounts_.end() ? 0 : found->second;
}

std::optional<Clock::TimePoint> UpdateRepository::lastFailure(const std::string& bundleIdentifier) const {
    std::scoped_lock lock(mutex_);
    auto found = failedChecks_.find(bundleIdentifier);
    if (found == failedChecks_.end()) return std::nullopt;
    return found->second;
}

bool UpdateRepository::isRecentlyFailed(const std::string& bundleIdentifier) const {
    auto last = lastFailure(bundleIdentifier);
    return last && failureCount(bundleIdentifier) >= kRecentFailureThreshold &&
           clock_.now() - *last < kRecentFailureWindow;
}

bool UpdateRepository::flush() {
    std::scoped_lock writing(writeMutex_);
    std::optional<Json> apps, failedChecks, failureCounts;
    {
        std::scoped_lock lock(mutex_);
        if (appCacheDirty_) {
            apps = Json::object();
            for (const auto& [key, info] : appCache_) (*apps)[key] = info.toJson();
        }
        if (failuresDirty_) {
            failedChecks = Json::object();
            for (const auto& [key, time] : failedChecks_) (*failedChecks)[key] = toReferenceSeconds(time);
            failureCounts = Json::object();
            for (const auto& [key, count] : failureCounts_) (*failureCounts)[key] = count;
        }
        appCacheDirty_ = failuresDirty_ = false;
    }
    if (!apps && !failedChecks) return true;
    bool written = paths::ensureFolder(folder_);
    auto write = [&](const char* name, const std::optional<Json>& json) {
        if (!json) return true;
        try {
            writeFileAtomically(folder_ + "/" + name, dumpJson(*json));
            return true;
        } catch (const FileWriteError& error) {
            logger().error(localized("log.could_not_save", {name, error.what()}));
            return false;
        }
    };
    const bool appsWritten = write(kAppCacheFile, apps);
    const bool failuresWritten = write(kFailedChecksFile, failedChecks) && write(kFailureCountsFile, failureCounts);
    if (!appsWritten || !failuresWritten) {
        std::scoped_lock lock(mutex_);  // try again at the next flush
        appCacheDirty_ = appCacheDirty_ || !appsWritten;
        failuresDirty_ = failuresDirty_ || !failuresWritten;
    }
    return written && appsWritten && failuresWritten;
}

}  // namespace vt
