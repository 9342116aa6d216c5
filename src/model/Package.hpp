#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "base/Clock.hpp"
#include "base/Json.hpp"
#include "base/Uuid.hpp"
#include "model/PackageType.hpp"
#include "model/ReleaseAge.hpp"

namespace vt {

// Homebrew install counts.
struct BrewAnalytics {
    std::optional<long long> downloads30d;
    std::optional<long long> downloads90d;
    std::optional<long long> downloads365d;

    friend bool operator==(const BrewAnalytics&, const BrewAnalytics&) = default;
};

// One installed thing outside the application inventory: a formula, a global npm package,
// a pip package, an editor extension, a model... A plain value; `id` is new on every scan,
// so identity across scans is stableKey().
struct Package {
    Uuid id = Uuid::random();
    std::string name;
    std::string version;
    PackageType type = PackageType::Generic;
    std::optional<std::string> latestVersion;
    std::optional<std::string> description;
    std::optional<std::string> homepage;
    std::optional<std::vector<std::string>> dependencies;
    std::optional<std::vector<std::string>> conflicts;
    std::optional<Clock::TimePoint> installDate;
    std::optional<std::string> size;
    std::optional<std::string> license;
    std::optional<std::string> tap;
    std::optional<BrewAnalytics> analytics;
    bool isPinned = false;
    bool requiresManualInstaller = false;
    std::optional<std::string> releaseNotes;
    std::optional<std::string> sourceIdentifier;
    std::optional<std::string> installLocationOverride;  // never persisted
    bool autoUpdates = false;  // updates itself (a Homebrew cask with "auto_updates")
    bool isSecurityUpdate = false;  // the pending version comes from a security archive
    // The versions newer than the installed one that the source offers, with their publish
    // times where it gives them; empty when it gives none.
    std::vector<PublishedRelease> releases;
    std::optional<ToolReleaseAge> toolReleaseAge;  // the tool's own minimum release age
    // The versions, the installed one or newer, that carry the registry's attestations of
    // where they were built; nothing when the source does not say.
    std::optional<std::vector<std::string>> attestedVersions;
    // What the release-age guard decided; never saved, decided again whenever items are offered.
    std::optional<ReleaseAgeDecision> releaseAge;
    // Known vulnerabilities (their ids) of the installed version that the latest one no longer
    // has, and those of the latest version itself; empty when none are known or none were asked.
    std::vector<std::string> fixedVulnerabilities;
    std::vector<std::string> latestVulnerabilities;

    friend bool operator==(const Package&, const Package&) = default;
};

class PackageDecodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Keys in declaration order; optional fields only when they have a value.
void writeJson(JsonWriter& writer, const Package& package);
Json toJson(const Package& package);
Json toJson(const BrewAnalytics& analytics);
// Throws PackageDecodingError when name, version or type is missing or of the wrong
// type, when type is not a known raw value, or when a present field has the wrong type.
// A null field counts as absent; unknown keys are ignored.
Package packageFromJson(const Json& json);
// Appends the packages of a JSON array, decoded straight from its text with no document in
// between. Throws JsonSyntaxError for text that is not JSON, PackageDecodingError as above
// for the first record that is not a package (or when the text is not an array); either
// way `packages` is left as it was.
void appendPackagesFromJsonText(std::string_view text, std::vector<Package>& packages);

// The derived install path, or nullopt when the type has no known location.
std::optional<std::string> installLocation(const Package& package);
std::optional<std::string> installLocation(const Package& package, const std::string& home);

// The file of an Ollama model's manifest under the given models root.
std::string ollamaManifestPath(const std::string& modelName, const std::string& modelsRoot);
// $OLLAMA_MODELS (trimmed) when set, else home + "/.ollama/models".
std::string ollamaModelsRoot(const std::string& home);

// What an update check learned of an installed package: its latest version, the releases with
// their publish times, and its tool's own release-age limit.
void takeCheckResult(Package& installed, const Package& checked);

// Decides the version offered under a minimum release age: the decision goes on the package,
// and a fallback version becomes its latestVersion, so that what is shown is what is installed.
// Nothing changes when no limit applies or no update is known.
void applyReleaseAge(Package& package, const ReleaseAgeRule& rule, Clock::TimePoint now);

// The installed version carries registry attestations and the version offered does not:
// whoever published it did so without the build provenance the installed one had.
bool provenanceLost(const Package& package);

// The identity of a package across scans (ignore lists, row caches).
std::string stableKey(const Package& package);

}  // namespace vt

template <>
struct std::hash<vt::Package> {
    std::size_t operator()(const vt::Package& package) const noexcept;
};
