#include "presentation/ItemReasons.hpp"

#include <algorithm>

#include "base/IsoDate.hpp"
#include "base/Localization.hpp"
#include "base/Strings.hpp"
#include "presentation/AutoDeferralStore.hpp"
#include "presentation/SkippedVersionStore.hpp"
#include "presentation/SnoozeStore.hpp"

namespace vt {

namespace {

ItemReason make(std::string_view code, std::string text, Json facts = Json::object()) {
    return ItemReason{std::string(code), std::move(text), std::move(facts)};
}

std::string day(Clock::TimePoint date) { return formatIsoDate(date).substr(0, 10); }

// Days, or hours below a day: a tool's limit may be a few hours.
std::string ageText(std::chrono::seconds minimum) {
    const long long hours = std::chrono::duration_cast<std::chrono::hours>(minimum).count();
    if (hours >= 24 && hours % 24 == 0) return localized("why.age.days", {std::to_string(hours / 24)});
    return localized("why.age.hours", {std::to_string(std::max<long long>(hours, 1))});
}

}  // namespace

Json releaseAgeJson(const ReleaseAgeDecision& decision) {
    Json facts = Json::object();
    facts["verdict"] = rawValue(decision.verdict);
    facts["minimumSeconds"] = decision.rule.minimum.count();
    facts["setting"] = decision.rule.origin;
    if (decision.latest) facts["latest"] = *decision.latest;
    if (decision.offered) facts["offered"] = *decision.offered;
    if (decision.offeredPublished) facts["offeredPublished"] = formatIsoDate(*decision.offeredPublished);
    if (decision.waiting) facts["waiting"] = *decision.waiting;
    if (decision.waitingUntil) facts["waitingUntil"] = formatIsoDate(*decision.waitingUntil);
    return facts;
}

std::optional<ItemReason> releaseAgeReason(const ReleaseAgeDecision& decision) {
    const std::string limit = ageText(decision.rule.minimum);
    const std::string waiting = decision.waiting.value_or("");
    const std::string until = decision.waitingUntil ? day(*decision.waitingUntil) : localized("why.age.unknown_date");
    switch (decision.verdict) {
        case ReleaseAgeVerdict::NoLimit: return std::nullopt;
        case ReleaseAgeVerdict::OldEnough:
            return make(reason::kReleaseAgeOk, localized("why.release_age.ok", {limit, decision.rule.origin}),
                        releaseAgeJson(decision));
        case ReleaseAgeVerdict::Fallback:
            return make(reason::kReleaseAgeFallback,
                        localized("why.release_age.fallback",
                                  {decision.offered.value_or(""), waiting, until, limit, decision.rule.origin}),
                        releaseAgeJson(decision));
        case ReleaseAgeVerdict::Waiting:
            return make(reason::kReleaseAgeWaiting,
                        localized("why.release_age.waiting", {waiting, until, limit, decision.rule.origin}),
                        releaseAgeJson(decision));
        case ReleaseAgeVerdict::AgeUnknown:
            return make(reason::kReleaseAgeUnknown,
                        localized(decision.holdsBack() ? "why.release_age.unknown_held" : "why.release_age.unknown_offered",
                                  {decision.latest.value_or(""), limit, decision.rule.origin}),
                        releaseAgeJson(decision));
    }
    return std::nullopt;
}

std::vector<ItemReason> vulnerabilityReasons(const AllUpdateRow& row,
                                             const std::map<std::string, VulnerabilityDetail>& details) {
    std::vector<ItemReason> reasons;
    if (!row.hasUpdate) return reasons;
    auto described = [&details](const std::vector<std::string>& ids) {
        std::vector<std::string> parts;
        for (const std::string& id : ids) {
            auto found = details.find(id);
            if (found == details.end() || (found->second.summary.empty() && !found->second.severity)) {
                parts.push_back(id);
                continue;
            }
            const VulnerabilityDetail& detail = found->second;
            std::string about = detail.severity.value_or("");
            if (!detail.summary.empty()) about += (about.empty() ? "" : ", ") + detail.summary;
            parts.push_back(id + " (" + about + ")");
        }
        return join(parts, ", ");
    };
    auto facts = [&details](const std::vector<std::string>& ids) {
        Json json{{"ids", ids}};
        for (const std::string& id : ids) {
            auto found = details.find(id);
            if (found == details.end()) continue;
            Json about{{"summary", found->second.summary}};
            if (found->second.severity) about["severity"] = *found->second.severity;
            json["details"][id] = std::move(about);
        }
        return json;
    };
    if (!row.fixedVulnerabilities.empty()) {
        reasons.push_back(make(reason::kFixesVulnerabilities,
                               localized("why.fixes_vulnerabilities", {std::to_string(row.fixedVulnerabilities.size()),
                                                                        described(row.fixedVulnerabilities)}),
                               facts(row.fixedVulnerabilities)));
    }
    if (!row.offeredVulnerabilities.empty()) {
        reasons.push_back(make(reason::kOfferedVulnerable,
                               localized("why.offered_vulnerable",
                                         {row.latestVersion.value_or(""), described(row.offeredVulnerabilities)}),
                               facts(row.offeredVulnerabilities)));
    }
    return reasons;
}

std::optional<ItemReason> provenanceReason(const AllUpdateRow& row) {
    if (!row.hasUpdate || !row.provenanceLost || !row.latestVersion) return std::nullopt;
    return make(reason::kProvenanceLost, localized("why.provenance_lost", {row.currentVersion, *row.latestVersion}),
                Json{{"installed", row.currentVersion}, {"offered", *row.latestVersion}});
}

namespace {

// A reason's text and facts, made only when they are wanted: a list's rows take the codes
// alone, for thousands of items at each start.
struct Detail {
    std::string text;
    Json facts = Json::object();
};

class Reasons {
public:
    explicit Reasons(bool detailed) : detailed_(detailed) {}

    template <typename MakeDetail>
    void add(std::string_view code, MakeDetail&& makeDetail) {
        if (!detailed_) {
            reasons_.push_back(ItemReason{std::string(code), {}, {}});
            return;
        }
        Detail detail = makeDetail();
        reasons_.push_back(make(code, std::move(detail.text), std::move(detail.facts)));
    }
    void add(std::optional<ItemReason> reason) {
        if (reason) reasons_.push_back(std::move(*reason));
    }
    std::vector<ItemReason> take() { return std::move(reasons_); }

private:
    bool detailed_;
    std::vector<ItemReason> reasons_;
};

std::vector<ItemReason> collectReasons(const AllUpdateRow& row, const IgnoreFilter& filter, const ReasonFacts& facts,
                                       bool detailed) {
    Reasons reasons(detailed);
    reasons.add(reason::kInstalled, [&] {
        return Detail{localized("why.installed", {row.currentVersion, row.source}),
                      Json{{"version", row.currentVersion}, {"source", row.source}}};
    });
    const std::optional<std::string> latest = row.releaseAge && row.releaseAge->latest ? row.releaseAge->latest : row.latestVersion;
    if (latest) {
        reasons.add(reason::kLatest, [&] {
            return Detail{localized("why.latest", {*latest, row.source}), Json{{"version", *latest}, {"source", row.source}}};
        });
    } else {
        reasons.add(reason::kLatestUnknown, [&] { return Detail{localized("why.latest_unknown", {row.source})}; });
    }
    if (facts.sourceFailure) {
        reasons.add(reason::kSourceFailed, [&] {
            return Detail{localized("why.source_failed", {row.source, *facts.sourceFailure}),
                          Json{{"message", *facts.sourceFailure}}};
        });
    } else if (!facts.latestKnown) {
        reasons.add(reason::kSourceFailed, [&] { return Detail{localized("why.source_latest_unknown", {row.source})}; });
    }
    const IgnoreFilter::State& state = filter.state();
    if (row.releaseAge && row.releaseAge->offeredPublished) {
        reasons.add(reason::kPublished, [&] {
            const std::string date = formatIsoDate(*row.releaseAge->offeredPublished);
            return Detail{localized("why.published", {row.releaseAge->offered.value_or(""), date.substr(0, 10)}),
                          Json{{"version", row.releaseAge->offered.value_or("")}, {"date", date}}};
        });
    } else if (row.releaseDate && row.latestVersion) {
        reasons.add(reason::kPublished, [&] {
            return Detail{localized("why.published", {*row.latestVersion, day(*row.releaseDate)}),
                          Json{{"version", *row.latestVersion}, {"date", formatIsoDate(*row.releaseDate)}}};
        });
    }
    // Up to date only as far as something says so: a latest version, or a check that worked.
    if (!row.hasUpdate && (latest || facts.latestKnown)) {
        reasons.add(reason::kUpToDate, [] { return Detail{localized("why.up_to_date")}; });
    }
    for (ItemReason& vulnerability : vulnerabilityReasons(row, facts.vulnerabilityDetails)) {
        reasons.add(std::move(vulnerability));
    }
    if (row.releaseAge) {
        reasons.add(releaseAgeReason(*row.releaseAge));
    } else if (row.hasUpdate && filter.hold(row) == IgnoreFilter::Hold::TooRecent) {
        reasons.add(reason::kReleaseAgeWaiting, [&] {
            return Detail{localized("why.release_age.application", {std::to_string(state.minimumReleaseAgeDays)})};
        });
    }
    reasons.add(provenanceReason(row));
    if (facts.sourceHidden) {
        reasons.add(reason::kSourceHidden, [&] { return Detail{localized("why.source_hidden", {row.source})}; });
    }
    if (row.isPinned) reasons.add(reason::kPinned, [] { return Detail{localized("why.pinned")}; });
    if (filter.isIgnored(row)) reasons.add(reason::kIgnored, [] { return Detail{localized("why.ignored")}; });
    if (row.hasUpdate && SkippedVersionStore::hides(state.skippedVersions, row.id, row.latestVersion)) {
        reasons.add(reason::kVersionSkipped, [&] {
            return Detail{localized("why.version_skipped", {row.latestVersion.value_or("")}),
                          Json{{"version", row.latestVersion.value_or("")}}};
        });
    }
    if (SnoozeStore::hides(state.snoozes, row.id, state.now)) {
        reasons.add(reason::kSnoozed, [&] {
            const auto until = state.snoozes.at(row.id);
            return until ? Detail{localized("why.snoozed_until", {day(*until)}), Json{{"until", formatIsoDate(*until)}}}
                         : Detail{localized("why.snoozed")};
        });
    }
    if (auto found = state.deferrals.find(row.id);
        found != state.deferrals.end() && AutoDeferralStore::hides(found->second, row.latestVersion, state.now)) {
        reasons.add(reason::kDeferred, [&] {
            return Detail{localized("why.deferred", {found->second.reason}),
                          Json{{"reason", found->second.reason}, {"failures", found->second.failureCount}}};
        });
    }
    if (row.hasUpdate && row.latestVersion) {
        const bool held = filter.hold(row) != IgnoreFilter::Hold::None || facts.sourceHidden || row.isPinned;
        if (!held) {
            reasons.add(reason::kOffered, [&] {
                return Detail{localized("why.offered", {*row.latestVersion}), Json{{"version", *row.latestVersion}}};
            });
        }
    }
    return reasons.take();
}

}  // namespace

std::vector<ItemReason> reasonsFor(const AllUpdateRow& row, const IgnoreFilter& filter, const ReasonFacts& facts) {
    return collectReasons(row, filter, facts, true);
}

std::vector<std::string> reasonCodesFor(const AllUpdateRow& row, const IgnoreFilter& filter, const ReasonFacts& facts) {
    std::vector<std::string> codes;
    for (ItemReason& item : collectReasons(row, filter, facts, false)) codes.push_back(std::move(item.code));
    return codes;
}

Json toJson(const ItemReason& item) {
    Json json = Json::object();
    json["code"] = item.code;
    json["text"] = item.text;
    if (!item.facts.empty()) json["facts"] = item.facts;
    return json;
}

}  // namespace vt
