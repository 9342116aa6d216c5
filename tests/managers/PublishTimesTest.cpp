#include "managers/PublishTimes.hpp"

#include <filesystem>

#include <gtest/gtest.h>

#include "base/IsoDate.hpp"
#include "managers/javascript/ToolReleaseAges.hpp"
#include "support/TempDir.hpp"

namespace vt {
namespace {

std::optional<PublishedRelease> named(const std::vector<PublishedRelease>& releases, const std::string& version) {
    for (const PublishedRelease& release : releases) {
        if (release.version == version) return release;
    }
    return std::nullopt;
}

TEST(PublishTimesTest, NpmDocumentsDateEachOfferableVersionFromTheTimeMap) {
    const Json document = Json::parse(R"({
      "name": "tool",
      "dist-tags": {"latest": "1.3.0"},
      "versions": {"1.0.0": {}, "1.1.0": {"deprecated": "broken"}, "2.0.0-beta.1": {}, "1.2.0": {}, "1.3.0": {}},
      "time": {"created": "2020-01-01T00:00:00.000Z", "modified": "2026-12-01T00:00:00.000Z",
               "1.0.0": "2026-10-28T09:15:00.123Z", "1.1.0": "2026-11-20T00:00:00Z", "1.2.0": "yesterday"}
    })");
    const std::vector<PublishedRelease> releases = publishtimes::fromNpmDocument(document);
    EXPECT_EQ(releases.size(), 3u);  // deprecated and pre-release versions are never offered
    ASSERT_TRUE(named(releases, "1.0.0"));
    EXPECT_EQ(formatIsoDate(*named(releases, "1.0.0")->published), "2026-10-28T09:15:00Z");
    ASSERT_TRUE(named(releases, "1.2.0"));
    EXPECT_FALSE(named(releases, "1.2.0")->published);  // malformed: age unknown
    ASSERT_TRUE(named(releases, "1.3.0"));
    EXPECT_FALSE(named(releases, "1.3.0")->published);  // missing: age unknown

    // No time map (an abbreviated document): every version of unknown age.
    Json abbreviated = document;
    abbreviated["time"] = "not a map";
    for (const PublishedRelease& release : publishtimes::fromNpmDocument(abbreviated)) EXPECT_FALSE(release.published);
    for (const char* text : {"[]", "null", R"({"versions": []})", R"({"versions": {"1.0.0": 3}, "time": {"1.0.0": 5}})"}) {
        for (const PublishedRelease& release : publishtimes::fromNpmDocument(Json::parse(text))) {
            EXPECT_FALSE(release.published) << text;
        }
    }
}

TEST(PublishTimesTest, PyPIDocumentsDateAReleaseByItsEarliestFileThatIsNotYanked) {
    const Json document = Json::parse(R"({
      "info": {"name": "tool", "version": "1.3"},
      "releases": {
        "1.0": [{"upload_time_iso_8601": "2026-11-02T10:00:00.000001Z"},
                {"upload_time_iso_8601": "2026-11-01T08:30:00.5Z", "yanked": false}],
        "1.1": [{"upload_time_iso_8601": "2026-11-05T00:00:00Z", "yanked": true}],
        "1.2": [{"upload_time_iso_8601": "5 Nov 2026"}],
        "1.3": [],
        "2.0rc1": [{"upload_time_iso_8601": "2026-12-01T00:00:00Z"}],
        "1.4": "files"
      }
    })");
    const std::vector<PublishedRelease> releases = publishtimes::fromPyPIDocument(document);
    EXPECT_EQ(releases.size(), 3u);
    ASSERT_TRUE(named(releases, "1.0"));
    EXPECT_EQ(formatIsoDate(*named(releases, "1.0")->published), "2026-11-01T08:30:00Z");
    EXPECT_FALSE(named(releases, "1.1"));  // every file yanked: withdrawn
    ASSERT_TRUE(named(releases, "1.2"));
    EXPECT_FALSE(named(releases, "1.2")->published);
    ASSERT_TRUE(named(releases, "1.3"));
    EXPECT_FALSE(named(releases, "1.3")->published);
    EXPECT_TRUE(publishtimes::fromPyPIDocument(Json::parse(R"({"releases": []})")).empty());
}

TEST(PublishTimesTest, ToolLimitsAreReadInTheirOwnUnits) {
    testing::TempDir home{"vt-tool-ages"};
    // npm: days, the user's file before the global one; the last line setting it wins.
    const std::string user = home.write(".npmrc", "; comment\nregistry=http://x\nmin-release-age = 2\nmin-release-age=\"7\"\n");
    const std::string global = home.write("etc/npmrc", "min-release-age=30\n");
    std::optional<ToolReleaseAge> npm = toolages::npmLimit({user, global});
    ASSERT_TRUE(npm);
    EXPECT_EQ(npm->minimum, std::chrono::hours(24 * 7));
    EXPECT_EQ(npm->setting, "npm min-release-age");
    EXPECT_EQ(toolages::npmLimit({home.file("missing"), global})->minimum, std::chrono::hours(24 * 30));
    EXPECT_FALSE(toolages::npmLimit({home.write("zero", "min-release-age=0\n")}));

    // pnpm: minutes; ~/.npmrc, then its rc file, then its config.yaml, each overriding the one before.
    const std::string pnpmFolder = home.file(".config/pnpm");
    EXPECT_FALSE(toolages::pnpmLimit(home.path(), pnpmFolder));
    home.write(".npmrc", "minimum-release-age=1440\n");
    EXPECT_EQ(toolages::pnpmLimit(home.path(), pnpmFolder)->minimum, std::chrono::hours(24));
    home.write(".config/pnpm/rc", "minimum-release-age=2880\n");
    EXPECT_EQ(toolages::pnpmLimit(home.path(), pnpmFolder)->minimum, std::chrono::hours(48));
    home.write(".config/pnpm/config.yaml", "packages:\n  - a\nminimumReleaseAge: 10080 # a week\n");
    std::optional<ToolReleaseAge> pnpm = toolages::pnpmLimit(home.path(), pnpmFolder);
    ASSERT_TRUE(pnpm);
    EXPECT_EQ(pnpm->minimum, std::chrono::hours(24 * 7));
    EXPECT_EQ(pnpm->setting, "pnpm minimumReleaseAge");

    for (const char* bad : {"", "abc", "-3", "7.5", "99999999999999999999"}) {
        EXPECT_FALSE(toolages::limitFrom(bad, std::chrono::minutes(1), "x")) << bad;
    }
    EXPECT_EQ(toolages::yamlTopLevelValue("nested:\n  minimumReleaseAge: 5\n", "minimumReleaseAge"), std::nullopt);
}

}  // namespace
}  // namespace vt
