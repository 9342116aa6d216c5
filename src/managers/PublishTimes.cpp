#include "managers/PublishTimes.hpp"

#include <map>

#include "base/Cancellation.hpp"
#include "base/IsoDate.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "managers/LatestVersionCache.hpp"
#include "model/VersionRules.hpp"
#include "system/RegistryRequest.hpp"

namespace vt {
namespace publishtimes {

namespace {

bool deprecated(const Json& manifest) {
    auto found = manifest.find("deprecated");
    return found != manifest.end() && ((found->is_string() && !found->get<std::string>().empty()) ||
                                       (found->is_boolean() && found->get<bool>()));
}

// A key no version has: empty, or with a blank (which also keeps the saved form readable).
bool notAVersion(const std::string& key) { return key.empty() || key.find_first_of(" \t\r\n") != std::string::npos; }

std::optional<Clock::TimePoint> dateIn(const Json& object, const std::string& key) {
    if (!object.is_object()) return std::nullopt;
    auto found = object.find(key);
    if (found == object.end() || !found->is_string()) return std::nullopt;
    return parseIsoDate(found->get<std::string>());
}

}  // namespace

std::vector<PublishedRelease> fromNpmDocument(const Json& document) {
    std::vector<PublishedRelease> releases;
    if (!document.is_object()) return releases;
    auto versions = document.find("versions");
    if (versions == document.end() || !versions->is_object()) return releases;
    static const Json kNoTimes = Json::object();
    auto times = document.find("time");
    const Json& dates = times != document.end() && times->is_object() ? *times : kNoTimes;
    for (const auto& [version, manifest] : versions->items()) {
        if (notAVersion(version) || isPreRelease(version) || (manifest.is_object() && deprecated(manifest))) continue;
        releases.push_back({version, dateIn(dates, version)});
    }
    return releases;
}

std::vector<PublishedRelease> fromPyPIDocument(const Json& document) {
    std::vector<PublishedRelease> releases;
    if (!document.is_object()) return releases;
    auto all = document.find("releases");
    if (all == document.end() || !all->is_object()) return releases;
    for (const auto& [version, files] : all->items()) {
        if (notAVersion(version) || isPreRelease(version) || !files.is_array()) continue;
        std::optional<Clock::TimePoint> earliest;
        bool available = files.empty();  // a release without files: its age is unknown
        for (const Json& file : files) {
            if (!file.is_object()) continue;
            if (auto yanked = file.find("yanked"); yanked != file.end() && yanked->is_boolean() && yanked->get<bool>()) {
                continue;
            }
            available = true;
            std::optional<Clock::TimePoint> uploaded = dateIn(file, "upload_time_iso_8601");
            if (uploaded && (!earliest || *uploaded < *earliest)) earliest = uploaded;
        }
        if (available) releases.push_back({version, earliest});
    }
    return releases;
}

std::vector<PublishedRelease> fromCratesDocument(const Json& document) {
    std::vector<PublishedRelease> releases;
    if (!document.is_object()) return releases;
    auto versions = document.find("versions");
    if (versions == document.end() || !versions->is_array()) return releases;
    for (const Json& entry : *versions) {
        if (!entry.is_object()) continue;
        std::optional<std::string> version = stringField(entry, "num");
        if (!version || notAVersion(*version) || isPreRelease(*version)) continue;
        if (auto yanked = entry.find("yanked"); yanked != entry.end() && yanked->is_boolean() && yanked->get<bool>()) {
            continue;
        }
        releases.push_back({*version, dateIn(entry, "created_at")});
    }
    return releases;
}

namespace {

// The entries of a RubyGems versions array that may be offered, by version.
std::map<std::string, std::optional<Clock::TimePoint>> rubyGemsReleases(const Json& document) {
    std::map<std::string, std::optional<Clock::TimePoint>> releases;
    if (!document.is_array()) return releases;
    for (const Json& entry : document) {
        if (!entry.is_object()) continue;
        std::optional<std::string> version = stringField(entry, "number");
        if (!version || notAVersion(*version) || isPreRelease(*version)) continue;
        if (auto flag = entry.find("prerelease"); flag != entry.end() && flag->is_boolean() && flag->get<bool>()) continue;
        std::optional<Clock::TimePoint> created = dateIn(entry, "created_at");
        auto [found, added] = releases.try_emplace(*version, created);
        if (!added && created && (!found->second || *created < *found->second)) found->second = created;
    }
    return releases;
}

}  // namespace

std::vector<PublishedRelease> fromRubyGemsVersions(const Json& document) {
    std::vector<PublishedRelease> releases;
    for (const auto& [version, created] : rubyGemsReleases(document)) releases.push_back({version, created});
    return releases;
}

std::optional<std::string> latestOfRubyGemsVersions(const Json& document) {
    std::optional<std::string> latest;
    for (const auto& [version, created] : rubyGemsReleases(document)) {
        if (!latest || compareVersions(*latest, version) == VersionOrder::Ascending) latest = version;
    }
    return latest;
}

std::vector<PublishedRelease> fromGoInfo(const Json& document) {
    if (!document.is_object()) return {};
    std::optional<std::string> version = stringField(document, "Version");
    if (!version || notAVersion(*version) || isPreRelease(*version)) return {};
    return {{*version, dateIn(document, "Time")}};
}

std::vector<PublishedRelease> fromPackagistDocument(const Json& document, std::string_view name) {
    std::vector<PublishedRelease> releases;
    if (!document.is_object()) return releases;
    auto packages = document.find("packages");
    if (packages == document.end() || !packages->is_object()) return releases;
    auto entries = packages->find(std::string(name));
    if (entries == packages->end() || !entries->is_array()) return releases;
    auto minifiedField = document.find("minified");
    const bool minified = minifiedField != document.end() && minifiedField->is_string();
    Json version;
    Json time;
    for (const Json& entry : *entries) {
        if (!entry.is_object()) continue;
        auto carried = [&](const char* key, Json& value) {
            auto found = entry.find(key);
            if (found != entry.end()) value = (found->is_string() && *found == "__unset") ? Json() : *found;
            else if (!minified) value = Json();
        };
        carried("version", version);
        carried("time", time);
        if (!version.is_string()) continue;
        const std::string text = version.get<std::string>();
        if (notAVersion(text) || isPreRelease(text)) continue;
        std::optional<Clock::TimePoint> published;
        if (time.is_string()) published = parseIsoDate(time.get<std::string>());
        releases.push_back({text, published});
    }
    return releases;
}

}  // namespace publishtimes

void dateFromRegistry(std::vector<Package>& outdated, NetworkClient& network, const std::string& logName,
                      const std::function<std::string(std::string_view name)>& urlFor, const DocumentReader& read,
                      std::stop_token stop) {
    const RegistryRequest registry(network, logName);
    // As many at a time as the registry adapters' own look-ups.
    constexpr std::size_t kConcurrency = 6;
    LatestVersionCache::forEachConcurrently(
        outdated.size(), kConcurrency,
        [&](std::size_t index) {
            Package& package = outdated[index];
            try {
                std::optional<Json> document = registry.lookup(package.name, urlFor, stop);
                if (document) package.releases = releasesNewerThan(package.version, read(*document, package));
            } catch (const CancellationError&) {
                throw;
            } catch (const std::exception& error) {
                Logger(logName).warning(localized("log.command_error", {package.name, error.what()}));
            }
        },
        stop);
}

void dateFromNpmRegistry(std::vector<Package>& outdated, NetworkClient& network, const std::string& tool,
                         const std::optional<std::string>& registry, std::stop_token stop) {
    if (!registry) {
        Logger(tool).warning(localized("log.manager.registry_undated", {tool}));
        return;
    }
    dateFromRegistry(
        outdated, network, tool, [&](std::string_view name) { return *registry + "/" + std::string(name); },
        [](const Json& document, const Package&) { return publishtimes::fromNpmDocument(document); }, stop);
}

}  // namespace vt
