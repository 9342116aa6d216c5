#pragma once

#include <string_view>

#include "model/Package.hpp"
#include "model/VersionRules.hpp"

namespace vt {

// Debian's own order of package versions ([epoch:]upstream[-revision], "~" before
// everything, even the end), which apt and dpkg decide by: our general rules read a Debian
// revision such as "+deb12u1" as a suffix and cannot order it. Pure, never throws.
VersionOrder compareDebianVersions(std::string_view a, std::string_view b);

// Whether the package has a newer version to install: apt's packages by Debian's order (the
// order apt decided by), every other kind by our version rules.
bool hasPendingUpdate(const Package& package, bool allowPreRelease);

}  // namespace vt
