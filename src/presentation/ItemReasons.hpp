#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Json.hpp"
#include "model/ReleaseAge.hpp"
#include "presentation/AllUpdateRow.hpp"
#include "presentation/IgnoreFilter.hpp"
#include "sources/osv/VulnerabilityService.hpp"

namespace vt {

// The stable codes of why an item is or is not offered: scripts read them from `why --json`,
// `list --json` and the plan of an update of everything, so a code never changes meaning.
namespace reason {
inline constexpr std::string_view kInstalled = "installed";
inline constexpr std::string_view kLatest = "latest";
inline constexpr std::string_view kLatestUnknown = "latest-unknown";
inline constexpr std::string_view kUpToDate = "up-to-date";
inline constexpr std::string_view kOffered = "offered";
inline constexpr std::string_view kPublished = "published";
inline constexpr std::string_view kReleaseAgeOk = "release-age-ok";
inline constexpr std::string_view kReleaseAgeFallback = "release-age-fallback";
inline constexpr std::string_view kReleaseAgeWaiting = "release-age-waiting";
inline constexpr std::string_view kReleaseAgeUnknown = "release-age-unknown";
inline constexpr std::string_view kPinned = "pinned";
inline constexpr std::string_view kIgnored = "ignored";
inline constexpr std::string_view kSnoozed = "snoozed";
inline constexpr std::string_view kVersionSkipped = "version-skipped";
inline constexpr std::string_view kDeferred = "deferred";
inline constexpr std::string_view kSourceFailed = "source-failed";
inline constexpr std::string_view kSourceHidden = "source-hidden";
inline constexpr std::string_view kFixesVulnerabilities = "fixes-vulnerabilities";
inline constexpr std::string_view kOfferedVulnerable = "offered-vulnerable";
inline constexpr std::string_view kProvenanceLost = "provenance-lost";
}  // namespace reason

struct ItemReason {
    std::string code;
    std::string text;  // for people, in their language
    Json facts = Json::object();  // what the text says, for scripts
};

// What the row alone does not tell.
struct ReasonFacts {
    std::optional<std::string> sourceFailure;  // the source's last check failed or timed out
    bool latestKnown = true;                    // false: the source could not tell its latest versions
    bool sourceHidden = false;                  // its visibility setting is off
    std::map<std::string, VulnerabilityDetail> vulnerabilityDetails;  // by id, where fetched
};

// The release-age guard's verdict as a reason; nothing when no limit applied.
std::optional<ItemReason> releaseAgeReason(const ReleaseAgeDecision& decision);

// What is known of the vulnerabilities of a row's update: the ones it removes (offered even
// inside the release-age window), and those of the offered version itself; each when any.
// Each id is followed by its severity and summary where `details` has them.
std::vector<ItemReason> vulnerabilityReasons(const AllUpdateRow& row,
                                             const std::map<std::string, VulnerabilityDetail>& details = {});

// The decision as a JSON object: "verdict", "minimumSeconds", "setting", "latest", "offered",
// "offeredPublished", "waiting", "waitingUntil" (dates in ISO 8601), each when known.
Json releaseAgeJson(const ReleaseAgeDecision& decision);

// The offered version lacks the registry attestations the installed one had; nothing else.
std::optional<ItemReason> provenanceReason(const AllUpdateRow& row);

// Every reason the item of `row` is or is not offered, facts first (installed, latest, publish
// date), then each thing that holds it back, in the order the table tests them.
std::vector<ItemReason> reasonsFor(const AllUpdateRow& row, const IgnoreFilter& filter, const ReasonFacts& facts);

// Only the codes of reasonsFor, for a list's rows: no text is made.
std::vector<std::string> reasonCodesFor(const AllUpdateRow& row, const IgnoreFilter& filter, const ReasonFacts& facts);

Json toJson(const ItemReason& reason);

}  // namespace vt
