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
        return Package{.name = "tool", .version = "1.0.0", .type = PackageType::NpmGlobal, .latestVersion = "1.3.0",
                       .releases = releasesNewerThan("1.0.0", releases())};
    }

    // The whole decision on the latest, 1.3.0: the version offered, published that many days
    // ago, and the next to come of age, in that many days.
    ReleaseAgeDecision expected(ReleaseAgeVerdict verdict, const ReleaseAgeRule& rule,
                                std::optional<std::string> offered, std::optional<int> publishedDaysAgo,
                                std::optional<std::string> waiting, std::optional<int> inDays) const {
        return {verdict, rule, "1.3.0", std::move(offered),
                publishedDaysAgo ? std::optional(daysAgo(*publishedDaysAgo)) : std::nullopt, std::move(waiting),
                inDays ? std::optional(now_ + kDay * *inDays) : std::nullopt};
    }

    Clock::TimePoint now_ = FakeClock().now();
};

using enum ReleaseAgeVerdict;

TEST_F(ReleaseAgeTest, OffersTheNewestOldEnoughVersionAndNamesTheNextToComeOfAge) {
    // 1.2.0 comes of age first, in four days; that changes the offer before 1.3.0 does.
    EXPECT_EQ(decide("1.0.0", days(7), releases()), expected(Fallback, days(7), "1.1.0", 10, "1.2.0", 4));
    // A latest exactly as old as the limit is old enough.
    EXPECT_EQ(decide("1.0.0", days(1), releases()), expected(OldEnough, days(1), "1.3.0", 1, {}, {}));
    EXPECT_EQ(decide("1.0.0", days(0), releases()), expected(NoLimit, days(0), "1.3.0", {}, {}, {}));
}

TEST_F(ReleaseAgeTest, NeverOffersTheInstalledVersionOrAnOlderOne) {
    // 1.1.0 is old enough but is what is installed: nothing to offer until 1.2.0 comes of age.
    EXPECT_EQ(decide("1.1.0", days(7), releases()), expected(Waiting, days(7), {}, {}, "1.2.0", 4));
    // Installed newer than every old-enough version: never backwards to 1.1.0.
    EXPECT_EQ(decide("1.2.0", days(7), releases()), expected(Waiting, days(7), {}, {}, "1.3.0", 6));

    // A tool that installs only its own latest cannot take 1.1.0: the item waits for 1.3.0.
    ReleaseAgeRule ownLatest = days(7);
    ownLatest.exactVersions = false;
    EXPECT_EQ(decide("1.0.0", ownLatest, releases()), expected(Waiting, ownLatest, {}, {}, "1.3.0", 6));
    EXPECT_EQ(decide("1.0.0", days(60), releases()), expected(Waiting, days(60), {}, {}, "1.1.0", 50));
}

TEST_F(ReleaseAgeTest, AnUnknownAgeIsOfferedMarkedUnlessTheSettingOrTheToolHoldsItBack) {
    std::vector<PublishedRelease> undated = releases();
    undated.back().published.reset();  // 1.3.0: no publish time

    EXPECT_EQ(decide("1.0.0", days(7), undated), expected(AgeUnknown, days(7), "1.3.0", {}, {}, {}));
    EXPECT_EQ(decide("1.0.0", days(7, true), undated), expected(Fallback, days(7, true), "1.1.0", 10, "1.2.0", 4));

    // A source that dates nothing: held back whole, the latest named without a date.
    EXPECT_EQ(decide("1.0.0", days(7, true), {}), expected(AgeUnknown, days(7, true), {}, {}, "1.3.0", {}));

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
