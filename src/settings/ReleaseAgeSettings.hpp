#pragma once

#include <string_view>

#include "model/ReleaseAge.hpp"
#include "settings/SettingsManager.hpp"

namespace vt {

// The minimum release age this user set for one source: its entry in
// "MinimumReleaseAgeDaysBySource" when it has a usable one, else "MinimumReleaseAgeDays".
ReleaseAgeRule releaseAgeRule(const SettingsManager& settings, std::string_view sourceId);

}  // namespace vt
