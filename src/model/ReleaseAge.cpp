#include "model/ReleaseAge.hpp"


#include "base/IsoDate.hpp"
#include "base/Strings.hpp"
#include "model/VersionRules.hpp"

namespace vt {

namespace {

bool isNewer(std::string_view candidate, std::string_view than) {
    return compareVersions(than, candidate) == VersionOrder::Ascending;
}

const PublishedRelease* releaseNamed(const std::vector<PublishedRelease>& releases, std::string_view version) {
    for (const PublishedRelease& release : releases) {
        if (release.version == version) return &release;
    }
    return nullptr;
}

}  // namespace

ReleaseAgeRule ReleaseAgeRule::stricter(ReleaseAgeRule ours, const std::optional<ToolReleaseAge>& tool) {
    if (!tool || tool->minimum <= std::chrono::seconds(0)) return ours;
    ours.holdUnknown = true;
    if (tool->minimum > ours.minimum) {
        ours.minimum = tool->minimum;
        ours.origin = tool->setting;
    }
    return ours;
}

std::string_view rawValue(ReleaseAgeVerdict verdict) {
    switch (verdict) {
        case ReleaseAgeVerdict::NoLimit: return "no-limit";
        case ReleaseAgeVerdict::OldEnough: return "old-enough";
        case ReleaseAgeVerdict::Fallback: return "fallback";
        case ReleaseAgeVerdict::Waiting: return "waiting";
        case ReleaseAgeVerdict::AgeUnknown: return "age-unknown";
    }
    return "no-limit";
}

ReleaseAgeDecision decideReleaseAge(std::string_view installed, const std::optional<std::string>& latest,
                                    const std::vector<PublishedRelease>& releases, const ReleaseAgeRule& rule,
                                    Clock::TimePoint now) {
    ReleaseAgeDecision decision;
    decision.rule = rule;
    decision.latest = latest;
    decision.offered = latest;
    if (!latest || !rule.limits()) return decision;
    auto oldEnough = [&](Clock::TimePoint published) { return now - published >= rule.minimum; };

    const PublishedRelease* newest = releaseNamed(releases, *latest);
    if (newest && newest->published) decision.offeredPublished = newest->published;
    if (newest && newest->published && oldEnough(*newest->published)) {
        decision.verdict = ReleaseAgeVerdict::OldEnough;
        return decision;
    }
    const bool known = newest && newest->published;
    if (!known && !rule.holdUnknown) {
        decision.verdict = ReleaseAgeVerdict::AgeUnknown;  // offered, marked
        return decision;
    }
    decision.offered.reset();
    decision.offeredPublished.reset();
    if (!rule.exactVersions) {
        decision.verdict = known ? ReleaseAgeVerdict::Waiting : ReleaseAgeVerdict::AgeUnknown;
        decision.waiting = latest;
        if (known) decision.waitingUntil = *newest->published + rule.minimum;
        return decision;
    }
    // The newest release below the latest that is old enough and still an update.
    const PublishedRelease* fallback = nullptr;
    for (const PublishedRelease& release : releases) {
        if (!release.published || !oldEnough(*release.published)) continue;
        if (!isNewer(release.version, installed) || !isNewer(*latest, release.version)) continue;
        if (!fallback || isNewer(release.version, fallback->version)) fallback = &release;
    }
    // Named as waiting: the next version to come of age, which changes what is offered first.
    const std::string_view floor = fallback ? std::string_view(fallback->version) : installed;
    const PublishedRelease* next = nullptr;
    for (const PublishedRelease& release : releases) {
        if (!release.published || !isNewer(release.version, floor) || isNewer(release.version, *latest)) continue;
        if (!next || *release.published < *next->published) next = &release;
    }
    decision.waiting = next ? next->version : *latest;
    if (next) decision.waitingUntil = *next->published + rule.minimum;
    if (fallback) {
        decision.verdict = ReleaseAgeVerdict::Fallback;
        decision.offered = fallback->version;
        decision.offeredPublished = fallback->published;
    } else {
        decision.verdict = known ? ReleaseAgeVerdict::Waiting : ReleaseAgeVerdict::AgeUnknown;
    }
    return decision;
}

std::vector<PublishedRelease> releasesNewerThan(std::string_view installed, std::vector<PublishedRelease> releases) {
    std::erase_if(releases, [&](const PublishedRelease& release) { return !isNewer(release.version, installed); });
    return releases;
}

std::string savedForm(const PublishedRelease& release) {
    return release.version + " " + (release.published ? formatIsoDate(*release.published) : std::string("?"));
}

std::optional<PublishedRelease> releaseFromSavedForm(std::string_view text) {
    const std::size_t space = text.find(' ');
    if (space == std::string_view::npos || space == 0) return std::nullopt;
    PublishedRelease release{std::string(text.substr(0, space)), std::nullopt};
    // A date that does not read back (a year past 9999 after its offset) is an unknown one.
    if (const std::string_view when = text.substr(space + 1); when != "?") release.published = parseIsoDate(when);
    return release;
}

}  // namespace vt
