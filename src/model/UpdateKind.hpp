#pragma once

#include <string_view>

namespace vt {

// How big a pending update is, for counts a fleet compares across machines. A security
// update is that whatever its size; the others by the first numeric component that changes.
enum class UpdateKind { Security, Major, Minor, Patch, Other };

inline constexpr UpdateKind kAllUpdateKinds[] = {UpdateKind::Security, UpdateKind::Major, UpdateKind::Minor,
                                                 UpdateKind::Patch, UpdateKind::Other};

// By our version rules: the first component is the major one, the second the minor one, any
// later one a patch; below 1.0 a change of the second component is major too, as 0.x
// releases break what they like. A change only past the numbers (a pre-release becoming the
// release, a package revision), an unknown latest version, or a Debian epoch that moves is
// Other. `debianVersions` reads apt's "[epoch:]upstream[-revision]" with its epoch set aside.
// Pure, never throws.
UpdateKind classifyUpdate(std::string_view installed, std::string_view latest, bool isSecurity,
                          bool debianVersions = false);

// "security", "major", "minor", "patch", "other": the form labels and columns carry.
std::string_view rawValue(UpdateKind kind);

}  // namespace vt
