#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace vt::gemindex {

// The index a gem source serves as "latest_specs.4.8.gz" (the newest release of each gem
// and platform, which `gem outdated` reads), after gunzip, is Ruby's Marshal 4.8 dump of an
// array of [name, Gem::Version, platform]. This gives the newest version of each of `names`
// among the entries of a platform this machine runs: pure Ruby ("ruby"), or `platform` with
// or without a libc or OS-version suffix. nullopt for a dump of anything else; entries that
// are not such a triple are skipped. Never throws but std::bad_alloc.
std::optional<std::map<std::string, std::string>> newestReleases(std::string_view marshal,
                                                                 const std::set<std::string, std::less<>>& names,
                                                                 std::string_view platform);

// A gzip member inflated; nullopt when it is not gzip, is cut short, or inflates past
// maxBytes (a hostile index must not fill the memory).
std::optional<std::string> gunzip(std::string_view compressed, std::size_t maxBytes);

// The platform names of this machine that RubyGems matches: "x86_64-linux", "arm64-darwin".
std::string localPlatform();

// An installed gem as its specification file's stub line gives it ("# stub: rake 13.0.6
// ruby lib"), which RubyGems itself reads instead of evaluating the file.
struct Stub {
    std::string name;
    std::string version;
    std::string platform;
};
// nullopt when the file has no stub line in its first lines (specifications written by a
// RubyGems before stubs, which only Ruby can read).
std::optional<Stub> readStub(std::string_view gemspec);

}  // namespace vt::gemindex
