#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/ReleaseAge.hpp"

namespace vt {

// The minimum release ages the JavaScript tools apply themselves, read from their own
// settings in their own units, so that we never offer a version the tool would refuse.
namespace toolages {

// The value of `key` in an npmrc-style text ("key=value", "key = value"; ";" and "#" begin
// comments); the last line that sets it wins, as npm reads it.
std::optional<std::string> npmrcValue(std::string_view text, std::string_view key);
// A top-level "key: value" of a YAML settings file (quotes removed); nothing when nested or absent.
std::optional<std::string> yamlTopLevelValue(std::string_view text, std::string_view key);
// `count` units as the limit named `setting`; nothing for zero, a negative or unreadable count.
std::optional<ToolReleaseAge> limitFrom(std::string_view count, std::chrono::seconds unit, std::string setting);

// npm: "min-release-age", in days, in the first of `files` (user, then global npmrc) setting it.
std::optional<ToolReleaseAge> npmLimit(const std::vector<std::string>& files);
// pnpm: "minimumReleaseAge", in minutes, in its global config.yaml; else "minimum-release-age"
// in its global rc file, else in ~/.npmrc. `configFolder` is pnpm's ($XDG_CONFIG_HOME/pnpm).
std::optional<ToolReleaseAge> pnpmLimit(const std::string& home, const std::string& configFolder);

}  // namespace toolages

}  // namespace vt
