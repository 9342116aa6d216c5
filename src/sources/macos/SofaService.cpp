#include "sources/macos/SofaService.hpp"

#include <algorithm>
#include <filesystem>
#include <set>

#include "base/Cancellation.hpp"
#include "base/Files.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Paths.hpp"
#include "base/Strings.hpp"
#include "model/VersionRules.hpp"
#include "system/Endpoints.hpp"
#include "system/NetworkClient.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger instance("SOFA");
    return instance;
}

constexpr double kFeedTimeoutSeconds = 30;
constexpr double kCveTimeoutSeconds = 10;
// A published feed is about half a megabyte; the bound only keeps a wrong answer out of memory.
constexpr std::uint64_t kMaxFeedBytes = 32ull * 1024 * 1024;

// The member under `name`, whatever the letter case the feed wrote it in.
const Json* member(const Json& object, std::string_view name) {
    if (!object.is_object()) return nullptr;
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (equalsIgnoringCase(it.key(), name)) return &it.value();
    }
    return nullptr;
}

std::optional<std::string> text(const Json& object, std::string_view name) {
    const Json* value = member(object, name);
    if (value == nullptr || !value->is_string()) return std::nullopt;
    return value->get<std::string>();
}

std::optional<long long> integer(const Json& object, std::string_view name) {
    const Json* value = member(object, name);
    if (value == nullptr || !value->is_number_integer()) return std::nullopt;
    return value->get<long long>();
}

SOFARelease releaseFrom(const Json& object) {
    SOFARelease release;
    release.updateName = text(object, "UpdateName");
    release.productName = text(object, "ProductName");
    release.productVersion = text(object, "ProductVersion").value_or("");
    release.build = text(object, "Build");
    release.releaseDate = text(object, "ReleaseDate");
    release.releaseType = text(object, "ReleaseType");
    release.securityInfo = text(object, "SecurityInfo");
    release.uniqueCVEsCount = integer(object, "UniqueCVEsCount");
    release.daysSincePreviousRelease = integer(object, "DaysSincePreviousRelease");
    if (const Json* list = member(object, "ActivelyExploitedCVEs"); list != nullptr && list->is_array()) {
        for (const Json& id : *list) {
            if (id.is_string()) release.activelyExploitedCVEs.push_back(id.get<std::string>());
        }
    }
    if (const Json* cves = member(object, "CVEs"); cves != nullptr && cves->is_object()) {
        for (auto it = cves->begin(); it != cves->end(); ++it) {
            SOFACVEDetail detail;
            if (it.value().is_boolean()) {
                detail.activelyExploited = it.value().get<bool>();  // the first feed's form
            } else if (it.value().is_object()) {
                detail.nistURL = text(it.value(), "NISTURL");
                const Json* exploited = member(it.value(), "ActivelyExploited");
                detail.activelyExploited = exploited != nullptr && exploited->is_boolean() && exploited->get<bool>();
                const Json* kev = member(it.value(), "InKEV");
                detail.inKEV = kev != nullptr && kev->is_boolean() && kev->get<bool>();
                detail.severity = text(it.value(), "Severity");
            }
            release.cves.emplace(it.key(), std::move(detail));
        }
    }
    return release;
}

// "critical", "high", "medium" (the feed's "moderate" too), "low"; "" for anything else.
std::string severityOf(const std::optional<std::string>& severity) {
    if (!severity) return "";
    std::string lower = toLower(trim(*severity));
    if (lower == "moderate") return "medium";
    if (lower == "critical" || lower == "high" || lower == "medium" || lower == "low") return lower;
    return "";
}

int severityRank(const std::string& severity) {
    if (severity == "critical") return 0;
    if (severity == "high") return 1;
    if (severity == "medium") return 2;
    if (severity == "low") return 3;
    return 4;
}

// The highest base severity a CVE record's metrics give (CVE JSON 5: containers.cna and
// containers.adp, each with metrics holding cvssV4_0, cvssV3_1 or cvssV3_0).
std::string severityInRecord(const Json& record) {
    std::string best;
    auto scan = [&best](const Json& container) {
        const Json* metrics = member(container, "metrics");
        if (metrics == nullptr || !metrics->is_array()) return;
        for (const Json& metric : *metrics) {
            if (!metric.is_object()) continue;
            for (auto it = metric.begin(); it != metric.end(); ++it) {
                if (!startsWith(it.key(), "cvss")) continue;
                std::string severity = severityOf(text(it.value(), "baseSeverity"));
                if (!severity.empty() && (best.empty() || severityRank(severity) < severityRank(best))) best = severity;
            }
        }
    };
    const Json* containers = member(record, "containers");
    if (containers == nullptr) return best;
    if (const Json* cna = member(*containers, "cna")) scan(*cna);
    if (const Json* adp = member(*containers, "adp"); adp != nullptr && adp->is_array()) {
        for (const Json& container : *adp) scan(container);
    }
    return best;
}

// The exploited first, then by severity; otherwise in the order of their identifiers.
void orderExposed(std::vector<SOFAExposedCVE>& exposed) {
    std::stable_sort(exposed.begin(), exposed.end(), [](const SOFAExposedCVE& a, const SOFAExposedCVE& b) {
        if (a.activelyExploited != b.activelyExploited) return a.activelyExploited;
        return severityRank(a.severity) < severityRank(b.severity);
    });
}

std::string majorOf(const std::string& version) {
    const std::size_t dot = version.find('.');
    return trim(version.substr(0, dot));
}

}  // namespace

SOFAError SOFAError::httpError(int statusCode) {
    return {Kind::HttpError, "SOFA feed request failed with HTTP " + std::to_string(statusCode)};
}

SOFAError SOFAError::noMatchingOSVersion() {
    return {Kind::NoMatchingOSVersion, "No matching macOS version found in SOFA feed"};
}

SOFAError SOFAError::invalidFeed(const std::string& detail) {
    std::string message = "The SOFA feed cannot be read: ";
    message += detail;
    return {Kind::InvalidFeed, message};
}

SOFAFeed SOFAFeed::fromJson(const Json& document) {
    const Json* versions = member(document, "OSVersions");
    if (versions == nullptr || !versions->is_array()) throw SOFAError::invalidFeed("no OSVersions list");
    SOFAFeed feed;
    feed.version = text(document, "Version");
    feed.updateHash = text(document, "UpdateHash").value_or("");
    feed.lastCheck = text(document, "LastCheck");
    for (const Json& entry : *versions) {
        std::optional<std::string> name = text(entry, "OSVersion");
        const Json* latest = member(entry, "Latest");
        if (latest == nullptr) latest = member(entry, "LatestOS");
        if (!name || latest == nullptr || !latest->is_object()) continue;
        SOFAOSVersion track{.osVersion = *name, .latest = releaseFrom(*latest), .securityReleases = {}};
        if (const Json* releases = member(entry, "SecurityReleases"); releases != nullptr && releases->is_array()) {
            for (const Json& release : *releases) {
                if (release.is_object()) track.securityReleases.push_back(releaseFrom(release));
            }
        }
        feed.osVersions.push_back(std::move(track));
    }
    return feed;
}

SOFAService::SOFAService(NetworkClient& network) : SOFAService(network, Options{}) {}

SOFAService::SOFAService(NetworkClient& network, Options options)
    : network_(network),
      options_(std::move(options)),
      cacheFile_(options_.cacheFile.value_or(paths::cacheFolder() + "/sofa_v2_cache.json")) {}

Clock::TimePoint SOFAService::now() const { return (options_.clock ? *options_.clock : Clock::shared()).now(); }

std::optional<std::pair<Json, Clock::TimePoint>> SOFAService::readDiskCache() const {
    std::optional<std::string> contents = readFile(cacheFile_);
    if (!contents) return std::nullopt;
    std::optional<Json> document = parseJson(*contents);
    if (!document || !document->is_object() || !document->contains("feed") || !document->contains("timestamp") ||
        !(*document)["timestamp"].is_number()) {
        return std::nullopt;
    }
    const Clock::TimePoint storedAt = fromReferenceSeconds((*document)["timestamp"].get<double>());
    const double age = std::chrono::duration<double>(now() - storedAt).count();
    if (age < 0 || age >= kCacheExpirationSeconds) return std::nullopt;
    return std::pair{std::move((*document)["feed"]), storedAt};
}

SOFAFeed SOFAService::feed(std::stop_token stop) {
    {
        std::scoped_lock lock(mutex_);
        const double age = std::chrono::duration<double>(now() - cachedAt_).count();
        if (cached_ && age >= 0 && age < kCacheExpirationSeconds) return *cached_;
    }
    if (auto stored = readDiskCache()) {
        try {
            SOFAFeed feed = SOFAFeed::fromJson(stored->first);
            logger().info(localized("log.sofa.cached"));
            std::scoped_lock lock(mutex_);
            cached_ = feed;
            cachedAt_ = stored->second;
            return feed;
        } catch (const SOFAError&) {
            logger().warning(localized("log.sofa.cache_unreadable"));
        }
    }
    HttpRequest request{.url = Endpoints::url(Service::Sofa, "/v2/macos_data_feed.json"),
                        .headers = {{"Accept", "application/json"}},
                        .timeoutSeconds = kFeedTimeoutSeconds,
                        .maxBodyBytes = kMaxFeedBytes};
    HttpResponse response = network_.send(request, stop);
    if (!response.isSuccess()) throw SOFAError::httpError(response.statusCode);
    std::optional<Json> document = parseJson(response.body);
    if (!document) throw SOFAError::invalidFeed("the answer is not JSON");
    SOFAFeed feed = SOFAFeed::fromJson(*document);
    const Clock::TimePoint fetchedAt = now();
    try {
        paths::ensureFolder(std::filesystem::path(cacheFile_).parent_path().string());
        Json stored{{"feed", std::move(*document)}, {"timestamp", toReferenceSeconds(fetchedAt)}};
        writeFileAtomically(cacheFile_, dumpJson(stored));
    } catch (const std::exception& error) {
        logger().warning(localized("log.sofa.cache_not_written", {error.what()}));
    }
    std::scoped_lock lock(mutex_);
    cached_ = feed;
    cachedAt_ = fetchedAt;
    return feed;
}

SOFAComparison compareWithFeed(const SOFAFeed& feed, const std::string& runningVersion) {
    const std::string major = majorOf(runningVersion);
    const SOFAOSVersion* track = nullptr;
    for (const SOFAOSVersion& candidate : feed.osVersions) {
        logger().info(localized("log.sofa.track", {candidate.osVersion}));
        if (candidate.osVersion == "macOS " + major) track = &candidate;
    }
    if (track == nullptr) {
        logger().info(localized("log.sofa.no_exact_track", {major}));
        // The published feed names tracks by marketing name and number ("Sequoia 15").
        for (const SOFAOSVersion& candidate : feed.osVersions) {
            std::vector<std::string_view> words = split(candidate.osVersion, ' ');
            if (!major.empty() && !words.empty() && words.back() == major) {
                track = &candidate;
                break;
            }
        }
    }
    if (track == nullptr) {
        logger().error(localized("log.sofa.no_track", {major}));
        throw SOFAError::noMatchingOSVersion();
    }

    SOFAComparison comparison{.runningVersion = runningVersion, .track = track->osVersion, .latest = track->latest};
    comparison.isOutdated = isUpdateAvailable(runningVersion, track->latest.productVersion, true);

    // Releases oldest first, so each vulnerability is credited to the first release that fixed it.
    std::vector<const SOFARelease*> newer;
    for (const SOFARelease& release : track->securityReleases) {
        if (isUpdateAvailable(runningVersion, release.productVersion, true)) newer.push_back(&release);
    }
    if (comparison.isOutdated) newer.push_back(&track->latest);
    std::stable_sort(newer.begin(), newer.end(), [](const SOFARelease* a, const SOFARelease* b) {
        return compareVersions(a->productVersion, b->productVersion) == VersionOrder::Ascending;
    });
    std::map<std::string, SOFAExposedCVE> exposed;
    for (const SOFARelease* release : newer) {
        const std::set<std::string> exploited(release->activelyExploitedCVEs.begin(),
                                              release->activelyExploitedCVEs.end());
        std::map<std::string, SOFACVEDetail> cves = release->cves;
        for (const std::string& id : exploited) cves.try_emplace(id);  // listed as exploited, without details
        for (const auto& [id, detail] : cves) {
            SOFAExposedCVE& entry = exposed[id];
            if (entry.id.empty()) {
                entry.id = id;
                entry.fixedIn = release->productVersion;
            }
            entry.activelyExploited = entry.activelyExploited || detail.activelyExploited || exploited.count(id) > 0;
            entry.inKEV = entry.inKEV || detail.inKEV;
            if (entry.severity.empty()) entry.severity = severityOf(detail.severity);
            if (!entry.nistURL) entry.nistURL = detail.nistURL;
        }
    }
    for (auto& [id, entry] : exposed) comparison.exposed.push_back(std::move(entry));
    orderExposed(comparison.exposed);
    return comparison;
}

void enrichExposedCVEs(SOFAComparison& comparison, NetworkClient& network, std::size_t limit, std::stop_token stop) {
    std::size_t asked = 0;
    for (SOFAExposedCVE& cve : comparison.exposed) {
        if (!cve.activelyExploited || !cve.severity.empty()) continue;
        if (asked++ == limit) break;
        if (!startsWith(cve.id, "CVE-")) continue;
        try {
            HttpResponse response = network.send(
                HttpRequest{.url = Endpoints::url(Service::Cve, "/cve/" + cve.id), .timeoutSeconds = kCveTimeoutSeconds},
                stop);
            if (response.statusCode == 404) continue;
            if (!response.isSuccess()) throw NetworkError::invalidResponse(response.statusCode);
            if (std::optional<Json> record = parseJson(response.body)) cve.severity = severityInRecord(*record);
        } catch (const CancellationError&) {
            throw;
        } catch (const std::exception& error) {
            logger().warning(localized("log.sofa.cve_unavailable", {error.what()}));
            comparison.enrichmentUnavailable = true;
            return;  // one unreachable service answers the same for every other CVE
        }
    }
    orderExposed(comparison.exposed);
}

}  // namespace vt
