#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "base/Clock.hpp"
#include "base/Json.hpp"
#include "model/Application.hpp"
#include "sources/sparkle/SparkleAppcastParser.hpp"

namespace vt {

class KnownSources;
class NetworkClient;

// An application that updates through an appcast, and the newest release its feed offers.
// Saved as "sparkle_apps.json"; keys are the field names.
struct SparkleApp {
    std::string id;
    std::string name;
    std::string bundlePath;
    std::string currentVersion;
    std::string currentBuildNumber;
    std::optional<std::string> latestVersion;
    std::optional<std::string> latestBuildNumber;
    std::string feedURL;
    std::optional<std::string> releaseNotesURL;
    std::optional<std::string> downloadURL;
    std::optional<Clock::TimePoint> publishDate;
    std::optional<std::int64_t> fileSize;
    std::optional<std::string> minimumSystemVersion;
    std::optional<std::string> publicKey;
    std::optional<std::string> latestSignature;
    // What the newest release is signed with: a DSA signature is not kept above, so its kind is.
    std::optional<std::string> signatureKind;
    // Never saved: how the feed was found, when not from the bundle's own Info.plist.
    std::optional<std::string> feedReason;

    Json toJson() const;
    static SparkleApp fromJson(const Json& json);  // throws std::exception

    friend bool operator==(const SparkleApp&, const SparkleApp&) = default;
};

// "12.3 MB", or "unknown" without a size.
std::string sparkleSizeText(std::optional<std::int64_t> bytes);

inline constexpr const char* kSparkleAppsFile = "sparkle_apps.json";
inline constexpr const char* kSparkleProbeReason = "Sparkle feed discovered via V2 probe (binary/UserDefaults)";

// Finds the applications that update through an appcast and their feeds, fetches and reads
// the feeds (https only) and keeps the newest release of each. Thread-safe: checks run in
// parallel on the update-check engine's threads; no lock is held while a feed is fetched.
class SparkleManager {
public:
    struct Options {
        NetworkClient* network = nullptr;      // the process's own client when null
        std::string home;                      // its Library/Preferences is searched for feeds
        const KnownSources* knownSources = nullptr;  // the built-in tables when null
        std::optional<std::string> currentMacOS;     // none here: no release is held back for it
        double requestTimeoutSeconds = 20;
        // Real appcasts are well under a megabyte; a larger body is not read to its end.
        std::uint64_t maxFeedBytes = 8ull * 1024 * 1024;
    };

    explicit SparkleManager(Options options);
    // The one the product's update checks use; never destroyed (abandoned checks may still run).
    static SparkleManager& shared();

    static bool hasFramework(const std::string& bundlePath);
    // Per run, from the settings.
    void configure(bool enabled, bool allowPreRelease);

    // The Sparkle application in a bundle and its feed; nothing when the bundle has neither the
    // framework nor a feed key. Counts a feed address that is not a URL.
    std::optional<SparkleApp> inspectBundle(const std::string& bundlePath);
    // Replaces the list with what the bundles hold; logs "Inventaire Sparkle terminé: N".
    std::vector<SparkleApp> scan(const std::vector<std::string>& bundlePaths);
    std::vector<SparkleApp> apps() const;
    long long invalidFeedURLCount() const;

    // Fetches and reads one feed: the newest release the user may be offered, or nothing
    // (each reason logged).
    std::optional<SparkleItem> checkFeed(const SparkleApp& app, std::stop_token stop = {});
    // The update-check engine's Sparkle check: the record with its latest release, or nothing.
    // A rule's feed, when given, is read instead of the one the bundle names.
    std::optional<Application> check(const Application& application, std::stop_token stop = {},
                                     const std::optional<std::string>& ruleFeedURL = std::nullopt);

    // The releases of a release-notes page: one per Markdown heading "## VERSION (DATE)",
    // the date kept when it reads as one.
    static std::vector<SparkleItem> releaseNotesItems(std::string_view markdown);

    // Writes the list into `folder` (atomically); returns false, logged, when it cannot.
    bool save(const std::string& folder) const;
    static std::vector<SparkleApp> load(const std::string& folder);

private:
    std::optional<std::string> fetch(const std::string& url, const std::string& name, bool probe, std::stop_token stop);
    NetworkClient& network() const;
    // The one application checked against its vendor's release notes instead of an appcast.
    std::optional<SparkleItem> checkReleaseNotes(const SparkleApp& app, std::stop_token stop);

    Options options_;
    mutable std::mutex mutex_;
    std::vector<SparkleApp> apps_;
    long long invalidFeedURLCount_ = 0;
    bool enabled_ = true;
    bool allowPreRelease_ = false;
};

}  // namespace vt
