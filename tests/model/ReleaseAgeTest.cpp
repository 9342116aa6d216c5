#include "model/ReleaseAge.hpp"

#include <gtest/gtest.h>

#include "model/Package.hpp"

namespace vt {
namespace {

using std::chrono::hours;

constexpr hours kDay{24};

// Versions published 40, 10, 3 and 1 days before `now`; 1.0.0 installed.
class ReleaseAgeTest : public ::testing::Test {
protected:
    Clock::TimePoint daysAgo(int days) const { return now_ - kDay * days; }
    std::vector<PublishedRelease> releases() const {
        return {{"1.0.0", daysAgo(40)}, {"1.1.0", daysAgo(10)}, {"1.2.0", daysAgo(3)}, {"1.3.0", daysAgo(1)}};
    }
    static ReleaseAgeRule days(int count, bool holdUnknown = false) {
        return {kDay * count, holdUnknown, "MinimumReleaseAgeDays"};
    }
    ReleaseAgeDecision decide(std::string_view installed, const ReleaseAgeRule& rule,
                              std::vector<PublishedRelease> dated) const {
        return decideReleaseAge(installed, std::string("1.3.0"), dated, rule, now_);
    }

    // The npm package "tool" at 1.0.0, its latest 1.3.0, with the releases above.
    Package installedTool() const {
        Package package;
        package.name = "tool";
        package.version = "1.0.0";
        package.type = PackageType::NpmGlobal;
        package.latestVersion = "1.3.0";
        package.releases = releasesNewerThan("1.0.0", releases());
        return package;
    }

    Clock::TimePoint now_ = FakeClock().now();
};

TEST_F(ReleaseAgeTest, OffersTheNewestOldEnoughVersionAndNamesTheNextToComeOfAge) {
    const ReleaseAgeDecision decision = decide("1.0.0", days(7), releases());
    EXPECT_EQ(decision.verdict, ReleaseAgeVerdict::Fallback);
    EXPECT_EQ(decision.offered, "1.1.0");
    EXPECT_EQ(decision.offeredPublished, daysAgo(10));
    EXPECT_EQ(decision.latest, "1.3.0");
    // 1.2.0 comes of age first, in four days; that changes the offer before 1.3.0 does.
    EXPECT_EQ(decision.waiting, "1.2.0");
    EXPECT_EQ(decision.waitingUntil, now_ + kDay * 4);
    EXPECT_FALSE(decision.holdsBack());

    // A latest exactly as old as the limit is old enough.
    const ReleaseAgeDecision oneDay = decide("1.0.0", days(1), releases());
    EXPECT_EQ(oneDay.verdict, ReleaseAgeVerdict::OldEnough);
    EXPECT_EQ(oneDay.offered, "1.3.0");
    EXPECT_FALSE(oneDay.waiting);

    const ReleaseAgeDecision none = decide("1.0.0", days(0), releases());
    EXPECT_EQ(none.verdict, ReleaseAgeVerdict::NoLimit);
    EXPECT_EQ(none.offered, "1.3.0");
}

TEST_F(ReleaseAgeTest, NeverOffersTheInstalledVersionOrAnOlderOne) {
    // 1.1.0 is old enough but is what is installed: nothing to offer until 1.2.0 comes of age.
    const ReleaseAgeDecision installed = decide("1.1.0", days(7), releases());
    EXPECT_EQ(installed.verdict, ReleaseAgeVerdict::Waiting);
    EXPECT_TRUE(installed.holdsBack());
    EXPECT_EQ(installed.waiting, "1.2.0");

    // Installed newer than every old-enough version: never backwards to 1.1.0.
    const ReleaseAgeDecision newer = decide("1.2.0", days(7), releases());
    EXPECT_EQ(newer.verdict, ReleaseAgeVerdict::Waiting);
    EXPECT_FALSE(newer.offered);
    EXPECT_EQ(newer.waiting, "1.3.0");
    EXPECT_EQ(newer.waitingUntil, now_ + kDay * 6);

    // A tool that installs only its own latest cannot take 1.1.0: the item waits for 1.3.0.
    ReleaseAgeRule ownLatest = days(7);
    ownLatest.exactVersions = false;
    const ReleaseAgeDecision waits = decide("1.0.0", ownLatest, releases());
    EXPECT_EQ(waits.verdict, ReleaseAgeVerdict::Waiting);
    EXPECT_FALSE(waits.offered);
    EXPECT_EQ(waits.waiting, "1.3.0");
    EXPECT_EQ(waits.waitingUntil, now_ + kDay * 6);

    const ReleaseAgeDecision tooLong = decide("1.0.0", days(60), releases());
    EXPECT_EQ(tooLong.verdict, ReleaseAgeVerdict::Waiting);
    EXPECT_FALSE(tooLong.offered);
}

TEST_F(ReleaseAgeTest, AnUnknownAgeIsOfferedMarkedUnlessTheSettingOrTheToolHoldsItBack) {
    std::vector<PublishedRelease> undated = releases();
    undated.back().published.reset();  // 1.3.0: no publish time

    const ReleaseAgeDecision offered = decide("1.0.0", days(7), undated);
    EXPECT_EQ(offered.verdict, ReleaseAgeVerdict::AgeUnknown);
    EXPECT_EQ(offered.offered, "1.3.0");

    const ReleaseAgeDecision held = decide("1.0.0", days(7, true), undated);
    EXPECT_EQ(held.verdict, ReleaseAgeVerdict::Fallback);
    EXPECT_EQ(held.offered, "1.1.0");

    // A source that dates nothing: held back whole, the latest named without a date.
    const ReleaseAgeDecision nothing = decide("1.0.0", days(7, true), {});
    EXPECT_EQ(nothing.verdict, ReleaseAgeVerdict::AgeUnknown);
    EXPECT_TRUE(nothing.holdsBack());
    EXPECT_EQ(nothing.waiting, "1.3.0");
    EXPECT_FALSE(nothing.waitingUntil);

    // The tool's own limit is stricter than ours, and a tool with a limit refuses what we cannot date.
    const ReleaseAgeRule rule = ReleaseAgeRule::stricter(days(1), ToolReleaseAge{kDay * 7, "npm min-release-age"});
    EXPECT_EQ(rule.minimum, kDay * 7);
    EXPECT_EQ(rule.origin, "npm min-release-age");
    EXPECT_TRUE(rule.holdUnknown);
    EXPECT_EQ(ReleaseAgeRule::stricter(days(9), ToolReleaseAge{kDay * 7, "npm"}).origin, "MinimumReleaseAgeDays");
}

TEST_F(ReleaseAgeTest, AGuardedPackageOffersItsFallbackAndKeepsItsReleasesWhenSaved) {
    Package package = installedTool();
    package.releases[1].published.reset();
    package.toolReleaseAge = ToolReleaseAge{hours(72), "pnpm minimumReleaseAge"};
    ASSERT_EQ(package.releases.size(), 3u);

    Package saved = packageFromJson(toJson(package));
    EXPECT_EQ(saved.releases.size(), 3u);
    EXPECT_EQ(saved.releases[0].version, "1.1.0");
    EXPECT_EQ(std::chrono::floor<std::chrono::seconds>(*saved.releases[0].published),
              std::chrono::floor<std::chrono::seconds>(daysAgo(10)));
    EXPECT_FALSE(saved.releases[1].published);
    EXPECT_EQ(saved.toolReleaseAge, package.toolReleaseAge);
    EXPECT_THROW(packageFromJson(Json::parse(R"({"name":"a","version":"1","type":"NPM Global","releases":["1.2"]})")),
                 PackageDecodingError);

    applyReleaseAge(package, days(7), now_);
    EXPECT_EQ(package.latestVersion, "1.1.0");
    ASSERT_TRUE(package.releaseAge);
    EXPECT_EQ(package.releaseAge->latest, "1.3.0");
    // Not the saved form: decided again whenever offered.
    EXPECT_FALSE(toJson(package).contains("releaseAge"));
}

// Provenance is judged on the version offered: a fallback that still carries the registry's
// attestations loses nothing, though the latest has none; the saved form keeps what is known.
TEST_F(ReleaseAgeTest, ProvenanceIsLostOnlyWhenTheOfferedVersionLacksWhatTheInstalledOneHad) {
    Package package = installedTool();
    EXPECT_FALSE(provenanceLost(package));  // the source said nothing
    package.attestedVersions = std::vector<std::string>{"1.0.0", "1.1.0"};
    EXPECT_TRUE(provenanceLost(package));

    Package saved = packageFromJson(toJson(package));
    EXPECT_EQ(saved.attestedVersions, package.attestedVersions);
    EXPECT_TRUE(provenanceLost(saved));
    Package none = package;
    none.attestedVersions = std::vector<std::string>{};
    EXPECT_EQ(packageFromJson(toJson(none)).attestedVersions, std::vector<std::string>{});
    EXPECT_THROW(packageFromJson(Json::parse(R"({"name":"a","version":"1","type":"NPM Global","attestedVersions":[1]})")),
                 PackageDecodingError);

    applyReleaseAge(package, days(7), now_);
    ASSERT_EQ(package.latestVersion, "1.1.0");
    EXPECT_FALSE(provenanceLost(package));
    // Never attested: nothing to lose.
    package.attestedVersions = std::vector<std::string>{"1.1.0"};
    package.latestVersion = "1.3.0";
    EXPECT_FALSE(provenanceLost(package));
}

}  // namespace
}  // namespace vt
