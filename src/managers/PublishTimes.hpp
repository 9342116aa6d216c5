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

}  // namespace publishtimes

}  // namespace vt
