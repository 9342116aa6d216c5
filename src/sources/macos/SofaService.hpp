#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "base/Clock.hpp"
#include "base/Json.hpp"

namespace vt {

class NetworkClient;

struct SOFACVEDetail {
    std::optional<std::string> nistURL;
    bool activelyExploited = false;
    bool inKEV = false;
    std::optional<std::string> severity;
};

struct SOFARelease {
    std::optional<std::string> updateName;
    std::optional<std::string> productName;
    std::string productVersion;
    std::optional<std::string> build;
    std::optional<std::string> releaseDate;
    std::optional<std::string> releaseType;
    std::optional<std::string> securityInfo;
    std::map<std::string, SOFACVEDetail> cves;
    std::vector<std::string> activelyExploitedCVEs;
    std::optional<long long> uniqueCVEsCount;
    std::optional<long long> daysSincePreviousRelease;
};

struct SOFAOSVersion {
    std::string osVersion;  // the major release's name, "Sequoia 15"
    SOFARelease latest;
    std::vector<SOFARelease> securityReleases;
};

struct SOFAFeed {
    std::optional<std::string> version;
    std::string updateHash;
    std::optional<std::string> lastCheck;
    std::vector<SOFAOSVersion> osVersions;

    // Reads both published shapes: the current one (PascalCase keys, "Latest", CVE details as
    // objects) and the first v1 one ("LatestOS", "lastCheck", CVE values as exploited flags);
    // keys are matched without regard to letter case. Throws SOFAError on anything else.
    static SOFAFeed fromJson(const Json& document);
};

class SOFAError : public std::runtime_error {
public:
    enum class Kind { HttpError, NoMatchingOSVersion, InvalidFeed };
    static SOFAError httpError(int statusCode);
    static SOFAError noMatchingOSVersion();
    static SOFAError invalidFeed(const std::string& detail);
    Kind kind() const noexcept { return kind_; }

private:
    SOFAError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
    Kind kind_;
};

// One vulnerability fixed in a release newer than the running system.
struct SOFAExposedCVE {
    std::string id;
    std::string severity;  // "critical", "high", "medium", "low", or "" when unknown
    bool activelyExploited = false;
    bool inKEV = false;
    std::string fixedIn;  // the first release that fixed it
    std::optional<std::string> nistURL;
};

struct SOFAComparison {
    std::string runningVersion;
    std::string track;  // the feed's name of the running major release
    SOFARelease latest;
    bool isOutdated = false;
    std::vector<SOFAExposedCVE> exposed;  // the exploited first, then by severity, then by name
    bool enrichmentUnavailable = false;   // details were missing and the CVE service could not fill them
};

// The public feed of macOS releases, kept in memory and on disk for twelve hours. An actor:
// its lock guards the cached feed only, never a request.
class SOFAService {
public:
    static constexpr double kCacheExpirationSeconds = 43200;

    struct Options {
        std::optional<std::string> cacheFile;  // default: "sofa_v2_cache.json" in the cache folder
        const Clock* clock = nullptr;
    };
    explicit SOFAService(NetworkClient& network);
    SOFAService(NetworkClient& network, Options options);

    // The feed, from memory or disk while younger than twelve hours, else fetched. Throws
    // SOFAError, NetworkError or CancellationError.
    SOFAFeed feed(std::stop_token stop = {});

private:
    Clock::TimePoint now() const;
    // The stored feed and when it was fetched, while younger than the expiration.
    std::optional<std::pair<Json, Clock::TimePoint>> readDiskCache() const;

    NetworkClient& network_;
    Options options_;
    std::string cacheFile_;
    std::mutex mutex_;
    std::optional<SOFAFeed> cached_;
    Clock::TimePoint cachedAt_{};
};

// Compares a running macOS with the feed: its track, whether the track's latest release is
// newer, and the vulnerabilities fixed since. Throws SOFAError::noMatchingOSVersion.
SOFAComparison compareWithFeed(const SOFAFeed& feed, const std::string& runningVersion);

// Fills the severity of the actively exploited vulnerabilities the feed left without one
// from the public CVE service (at most `limit` lookups, each with its own time limit); marks
// the comparison when the service could not be reached.
void enrichExposedCVEs(SOFAComparison& comparison, NetworkClient& network, std::size_t limit = 25,
                       std::stop_token stop = {});

}  // namespace vt
