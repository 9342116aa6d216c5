#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vt::pep440 {

// A Python package version as packaging reads it (epoch, release, pre-, post- and
// development release, local label), so that versions from an index order the way pip
// orders them: 1.0.dev1 < 1.0a1 < 1.0 < 1.0.post1 < 1!0.1.
struct Version {
    long long epoch = 0;
    std::vector<long long> release;
    std::optional<std::pair<int, long long>> pre;  // 0 "a", 1 "b", 2 "rc"
    std::optional<long long> post;
    std::optional<long long> dev;
    std::vector<std::string> local;  // lower case, split at ".", "-" and "_"

    bool isPreRelease() const noexcept { return pre.has_value() || dev.has_value(); }
    // The normalised text pip prints ("1.0-RC1" reads "1.0rc1").
    std::string text() const;
};

// nullopt for a text that is no valid version (pip skips those).
std::optional<Version> parse(std::string_view text);

// Negative, zero or positive as a orders before, equal to or after b.
int compare(const Version& a, const Version& b);

// Whether `version` meets every clause of a specifier set such as ">=3.8, !=3.9.*";
// nullopt when the set does not parse.
std::optional<bool> satisfies(const Version& version, std::string_view specifiers);

}  // namespace vt::pep440
