#pragma once

#include <vector>

#include "base/Json.hpp"
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

}  // namespace publishtimes

}  // namespace vt
