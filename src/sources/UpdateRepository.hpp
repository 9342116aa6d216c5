#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "base/Clock.hpp"
#include "base/Json.hpp"
#include "model/Application.hpp"

namespace vt {

// One cached result of an application's update check, keyed by bundle identifier. The
// mechanism stays text so that a value written by another version of the program is
// reported as "invalid mechanism …" rather than lost.
struct CachedUpdateInfo {
    std::string bundleIdentifier;
    std::optional<std::string> latestVersion;
    std::optional<std::string> appStoreID;
    std::optional<std::string> releaseNotes;
    std::string updateMechanism;
    std::optional<std::string> updateStrategy;
    std::optional<std::string> homebrewCaskName;
    std::optional<std::string> downloadURL;
    std::optional<std::string> downloadSHA256;
    std::optional<DetectionConfidence> detectionConfidence;
    std::optional<AppRulePrimarySource> resolutionSource;
    std::optional<std::string> resolutionReason;
    std::optional<std::string> matchedRuleIdentifier;
    Clock::TimePoint timestamp{};

    // The cached form of a checked application, stamped with `now`.
    static CachedUpdateInfo from(const Application& application, Clock::TimePoint now);
    // Writes the cached fields into an application record.
    void applyTo(Application& application) const;

    Json toJson() const;
    static std::optional<CachedUpdateInfo> fromJson(const Json& json);  // nullopt when unusable
};

// Persisted results and failure bookkeeping of application update checks, in three files of
// the support folder: "update_cache.json", "failed_checks.json" and "failure_counts.json". The files are read once at construction (entries older than a
// day are dropped) and written atomically by flush(), which a check run calls once at its
// end rather than once per application.
//
// Thread-safe: every method may be called from any thread. The lock guards the maps only and
// is never held while a file is written or a check runs.
class UpdateRepository {
public:
    static constexpr std::chrono::seconds kCacheValidityDuration{3600};
    static constexpr std::chrono::seconds kStaleEntryLifetime{86400};
    // Three failures in a row: one or two are usually a passing network fault, three mean a
    // source that is gone or broken. Six hours keeps such an application out of a few scans
    // (and out of the concurrency slots) while still trying it again the same day.
    static constexpr long long kRecentFailureThreshold = 3;
    static constexpr std::chrono::hours kRecentFailureWindow{6};

    // `folder` defaults to the program's support folder.
    explicit UpdateRepository(std::optional<std::string> folder = std::nullopt, Clock* clock = nullptr);
    ~UpdateRepository();
    UpdateRepository(const UpdateRepository&) = delete;
    UpdateRepository& operator=(const UpdateRepository&) = delete;

    std::optional<CachedUpdateInfo> cachedResult(const std::string& bundleIdentifier) const;
    void store(const CachedUpdateInfo& info);

    // Notes the time of the failure and increments the count.
    void recordFailure(const std::string& bundleIdentifier);
    void clearFailure(const std::string& bundleIdentifier);
    // Drops what is known of an application's checks (its cached result and failure state),
    // so that its next check asks its source again: after its rule changed. Not written
    // until flush().
    void forget(const std::string& bundleIdentifier);
    long long failureCount(const std::string& bundleIdentifier) const;
    // Every identifier with its count of consecutive failed checks.
    std::map<std::string, long long> failureCounts() const;
    std::optional<Clock::TimePoint> lastFailure(const std::string& bundleIdentifier) const;
    // Failed kRecentFailureThreshold times in a row, the last within kRecentFailureWindow.
    bool isRecentlyFailed(const std::string& bundleIdentifier) const;

    // Writes the files that changed since the last flush. A failed write is logged and kept
    // for the next flush. Returns whether everything was written.
    bool flush();

    const std::string& folder() const noexcept { return folder_; }
    Clock& clock() const noexcept { return clock_; }

private:
    void load();
    void cleanStaleEntriesLocked();

    std::string folder_;
    Clock& clock_;
    mutable std::mutex mutex_;
    std::mutex writeMutex_;  // keeps two flushes from writing their snapshots out of order
    std::map<std::string, CachedUpdateInfo> appCache_;
    std::map<std::string, Clock::TimePoint> failedChecks_;
    std::map<std::string, long long> failureCounts_;
    bool appCacheDirty_ = false, failuresDirty_ = false;
};

}  // namespace vt
