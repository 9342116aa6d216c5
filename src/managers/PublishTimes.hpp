#pragma once

#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "base/Json.hpp"
#include "model/Package.hpp"
#include "model/ReleaseAge.hpp"

namespace vt {

// The releases a registry document dates, for the release-age guard. Pre-releases and
// withdrawn versions (deprecated on npm, every file yanked on PyPI) are left out: they are
// never offered. A version whose time is missing or unreadable stays, of unknown age.
// Pure functions; never throw.
namespace publishtimes {

// An npm packument: its "versions" with the "time" map's entry of each.
std::vector<PublishedRelease> fromNpmDocument(const Json& document);

// A PyPI project's JSON: its "releases", each dated by the earliest
// "upload_time_iso_8601" of its files that are not yanked.
std::vector<PublishedRelease> fromPyPIDocument(const Json& document);

// A crates.io crate's JSON: its "versions", each with "num", "created_at" and "yanked".
std::vector<PublishedRelease> fromCratesDocument(const Json& document);

// RubyGems' versions API (/api/v1/versions/NAME.json): an array with an entry per version and
// platform, each with "number", "created_at" and "prerelease"; a version is dated by its
// earliest platform. Yanked versions are not listed.
std::vector<PublishedRelease> fromRubyGemsVersions(const Json& document);
// The newest version the same array offers (what its latest.json answers), if any.
std::optional<std::string> latestOfRubyGemsVersions(const Json& document);

// A Go module proxy's .info (the answer to @latest or @v/VERSION.info): "Version" and "Time".
std::vector<PublishedRelease> fromGoInfo(const Json& document);

// Packagist's metadata (/p2/VENDOR/NAME.json): the array `packages[name]`, each entry dated by
// its "time". In the minified form an entry holds only what changed since the one before it
// ("__unset" removing a field), so a version or time it does not repeat is the previous one's.
std::vector<PublishedRelease> fromPackagistDocument(const Json& document, std::string_view name);

}  // namespace publishtimes

class NetworkClient;

// For a tool that names its latest versions without dating them: each outdated package's
// releases newer than the installed one, read by `read` from one registry document of its own
// (at `urlFor(name)`, a few packages at a time). A package whose document cannot be had keeps
// none, so its age stays unknown. Throws CancellationError when stopped.
using DocumentReader = std::function<std::vector<PublishedRelease>(const Json& document, const Package& package)>;
void dateFromRegistry(std::vector<Package>& outdated, NetworkClient& network, const std::string& logName,
                      const std::function<std::string(std::string_view name)>& urlFor, const DocumentReader& read,
                      std::stop_token stop);
// The same from an npm-style registry's packuments, for the tool `tool` ("pnpm"), which
// installs from `registry`; with no registry known, ages stay unknown and the log says why.
void dateFromNpmRegistry(std::vector<Package>& outdated, NetworkClient& network, const std::string& tool,
                         const std::optional<std::string>& registry, std::stop_token stop);

}  // namespace vt
