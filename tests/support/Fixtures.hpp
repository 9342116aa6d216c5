#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/Clock.hpp"
#include "model/Application.hpp"
#include "model/Package.hpp"

namespace vt::testing {

// The files of tests/managers/fixtures/<tool>/: recorded or modelled outputs of the tools,
// whose first line ("# ...") says how they were made. fixture() gives the text without that
// line and throws, naming the file, when it is missing.
std::string fixturePath(std::string_view tool, std::string_view name);
std::string fixture(std::string_view tool, std::string_view name);

// A package of a scan's results: installed at `version`, `latest` known.
Package savedPackage(PackageType type, std::string name, std::string version, std::string latest);

// An application updated through its Sparkle feed, in /Applications as "<name>.app", whose
// feed released `latest` `age` ago.
Application sparkleApplication(std::string name, std::string bundleIdentifier, std::string version,
                               std::string latest, Clock::Duration age);

// The package of that name in a listing, or null.
const Package* find(const std::vector<Package>& packages, std::string_view name);

}  // namespace vt::testing
