#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vt {

// The one answer to "which of two version texts is newer", used by every update decision.
// Everything here is a pure function of its arguments: callable from any thread, never
// throws, and takes time linear in the length of its input.

enum class VersionOrder { Ascending, Same, Descending };  // ascending: the first is older

// Stands for "an update exists, its version is unknown"; never compared numerically.
inline constexpr std::string_view kUpdateAvailableSentinel = "__van_treel_update_available__";

// Pulls versions out of longer text ("tool 1.2.3 (build 45)").
inline constexpr std::string_view kVersionExtractionPattern =
    R"(\d+(?:[._-]\d+)*(?:-[A-Za-z][A-Za-z0-9._-]*)?(?:[A-Za-z]+\d*)?)";

// A version text parsed once for many comparisons (sorting). Holds a view of the text,
// which must outlive it.
struct ParsedVersion {
    std::string_view raw;
    std::vector<std::int64_t> components;  // most significant first
    std::string suffix;                    // what follows the numeric part, without its separator
    char revisionLetter = 0;               // lower-cased, when the suffix is a single letter
    struct Candidate {                     // a parenthesised number inside the text: "2024.3 (45)"
        std::vector<std::int64_t> components;
        bool isPreRelease = false;
    };
    std::vector<Candidate> candidates;
};

ParsedVersion parseVersion(std::string_view text);

VersionOrder compareVersions(std::string_view a, std::string_view b);
VersionOrder compareVersions(const ParsedVersion& a, const ParsedVersion& b);

// `latest` absent means no update is known.
bool isUpdateAvailable(std::string_view installed, std::optional<std::string_view> latest, bool allowPreRelease);

// A content digest ("sha256:" and its hex, as registries name manifests) or a commit hash
// (7 to 40 hex digits, at least one of them a letter: all-digit runs are dates and builds).
// Such a text names one build and has no order: two of them differ or they do not, so an
// update is available when the latest is another one of the same form.
bool isContentIdentifier(std::string_view version);

bool isPreRelease(std::string_view version);
// Empty, "unknown", "0.0.0", "n/a", "na" (any case): never an installed or latest version.
bool isPlaceholderVersion(std::string_view version);
// Versions a tool reports when it does not really know: need a plausible latest version.
bool isSuspectVersion(std::string_view version);

// What a table cell shows for a stored version text.
std::string displayVersion(std::string_view version);
// Every version-looking part of a text, in order.
std::vector<std::string> extractVersions(std::string_view text);

// Sorts oldest first, stably. A merge sort that stays safe (no crash, no hang, every
// element kept once) even where compareVersions is not a strict weak order.
std::vector<std::size_t> sortedVersionOrder(const std::vector<ParsedVersion>& versions, bool newestFirst = false);
// The order in which `version sort` prints lines: as sortedVersionOrder, each distinct text
// parsed once; lines whose texts compare the same both ways stay in input order. Every line
// is kept, as `sort` keeps them, unless `unique` keeps only the first line of each text.
// Indexes into `lines`.
std::vector<std::size_t> sortedLineOrder(const std::vector<std::string_view>& lines, bool newestFirst = false,
                                         bool unique = false);

std::string_view toString(VersionOrder order);

}  // namespace vt
