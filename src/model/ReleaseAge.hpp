#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Clock.hpp"

namespace vt {

// One version a registry offers, with when it was published where the registry says.
struct PublishedRelease {
    std::string version;
    std::optional<Clock::TimePoint> published;

    friend bool operator==(const PublishedRelease&, const PublishedRelease&) = default;
};

// A minimum release age a tool applies itself ("min-release-age" in npm's configuration):
// what it refuses, we never offer.
struct ToolReleaseAge {
    std::chrono::seconds minimum{0};
    std::string setting;  // "npm min-release-age", as the user wrote it in their tool

    friend bool operator==(const ToolReleaseAge&, const ToolReleaseAge&) = default;
};

// The limit in force for one item.
struct ReleaseAgeRule {
    std::chrono::seconds minimum{0};
    bool holdUnknown = false;  // a version of unknown age waits too
    std::string origin;        // the setting the limit comes from
    // The tool installs the version it is given; when it installs only its own latest, no older
    // version can be offered and the item waits for its latest to come of age.
    bool exactVersions = true;

    bool limits() const { return minimum > std::chrono::seconds(0); }

    // Ours and the tool's, whichever is stricter. A tool that applies a limit knows ages we do
    // not: an age we cannot read may be one it refuses, so it waits.
    static ReleaseAgeRule stricter(ReleaseAgeRule ours, const std::optional<ToolReleaseAge>& tool);

    friend bool operator==(const ReleaseAgeRule&, const ReleaseAgeRule&) = default;
};

enum class ReleaseAgeVerdict {
    NoLimit,     // no minimum age applies
    OldEnough,   // the latest version is old enough
    Fallback,    // an older version, newer than the installed one, is offered; the latest waits
    Waiting,     // no version newer than the installed one is old enough yet
    AgeUnknown,  // the source gives no publish time for the latest version
};
std::string_view rawValue(ReleaseAgeVerdict verdict);

// What the release-age guard made of one item.
struct ReleaseAgeDecision {
    ReleaseAgeVerdict verdict = ReleaseAgeVerdict::NoLimit;
    ReleaseAgeRule rule;
    std::optional<std::string> latest;                 // what the source calls its latest
    std::optional<std::string> offered;                // what may be installed; nothing: wait
    std::optional<Clock::TimePoint> offeredPublished;
    // The next newer version to come of age (the latest when no date is known), and when.
    std::optional<std::string> waiting;
    std::optional<Clock::TimePoint> waitingUntil;

    bool holdsBack() const { return !offered; }

    friend bool operator==(const ReleaseAgeDecision&, const ReleaseAgeDecision&) = default;
};

// The newest version at least `rule.minimum` old and newer than `installed`, the latest when it
// is old enough. `releases` are the versions the source would offer (pre-releases and
// withdrawn versions already left out), in any order. Never offers anything older than or
// equal to `installed`.
ReleaseAgeDecision decideReleaseAge(std::string_view installed, const std::optional<std::string>& latest,
                                    const std::vector<PublishedRelease>& releases, const ReleaseAgeRule& rule,
                                    Clock::TimePoint now);

// The releases newer than `installed`, in their order: what an item keeps of a registry's list.
std::vector<PublishedRelease> releasesNewerThan(std::string_view installed, std::vector<PublishedRelease> releases);

// "1.2.0 2026-11-01T10:00:00Z", "1.1.0 ?": the saved form of a release; nothing without a
// version and a space, an unknown date for one that does not read.
std::string savedForm(const PublishedRelease& release);
std::optional<PublishedRelease> releaseFromSavedForm(std::string_view text);

}  // namespace vt
