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

// The value of `key` in `table` ("" for the top level, "a.b" nested) of a TOML settings file: a string as
// it is, an integer written out; "" for another kind of value; nothing where the key is
// absent or the text is not TOML.
std::optional<std::string> tomlValue(std::string_view text, std::string_view table, std::string_view key);

// Bun: "minimumReleaseAge" of [install], in seconds, in its global bunfig
// ($XDG_CONFIG_HOME/.bunfig.toml, else ~/.bunfig.toml), which `bun add -g` reads.
std::optional<ToolReleaseAge> bunLimit(const std::string& home, const std::optional<std::string>& xdgConfigHome);
// The registry Bun installs from when its global bunfig names one ("registry" of [install], an
// address or a table with "url"), without a trailing "/".
std::optional<std::string> bunRegistry(const std::string& home, const std::optional<std::string>& xdgConfigHome);

// What `config get registry` printed (npm, pnpm and Yarn answer it) when it is one http(s)
// address, without a trailing "/"; where the tool's publish times are asked.
std::optional<std::string> registryAddress(std::string text);

// A span as uv writes one: "7 days", "1 week 2 days", "24h", or ISO 8601 ("P7D", "PT12H",
// "P1W"); nothing for a unit without a fixed length (months, years) or anything else.
std::optional<std::chrono::seconds> uvSpan(std::string_view text);
// uv: "exclude-newer" at the top of its user uv.toml (`configFolder` is $XDG_CONFIG_HOME/uv),
// which `uv tool` reads; a project's [tool.uv] never applies to a tool. A span is the limit; a
// date or time is a cutoff, so the limit is how long ago it was at `now` (a date being its
// midnight in UTC).
std::optional<ToolReleaseAge> uvLimit(const std::string& configFolder, std::chrono::system_clock::time_point now);

}  // namespace toolages

}  // namespace vt
