#include "managers/PublishTimes.hpp"

#include <filesystem>
#include <utility>

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
      "versions": {"1.0.0": {}, "1.1.0": {"deprecated": "broken"}, "2.0.0-beta.1": {}, "1.2.0": {}, "1.3.0": {},
                   "1.4.0": {}},
      "time": {"created": "2020-01-01T00:00:00.000Z", "modified": "2026-12-01T00:00:00.000Z",
               "1.0.0": "2026-10-28T09:15:00.123Z", "1.1.0": "2026-11-20T00:00:00Z", "1.2.0": "yesterday",
               "1.4.0": "9999-12-31T23:59:59Z"}
    })");
    const std::vector<PublishedRelease> releases = publishtimes::fromNpmDocument(document);
    EXPECT_EQ(releases.size(), 4u);  // deprecated and pre-release versions are never offered
    ASSERT_TRUE(named(releases, "1.0.0"));
    EXPECT_EQ(formatIsoDate(*named(releases, "1.0.0")->published), "2026-10-28T09:15:00Z");
    ASSERT_TRUE(named(releases, "1.2.0"));
    EXPECT_FALSE(named(releases, "1.2.0")->published);  // malformed: age unknown
    ASSERT_TRUE(named(releases, "1.3.0"));
    EXPECT_FALSE(named(releases, "1.3.0")->published);  // missing: age unknown
    ASSERT_TRUE(named(releases, "1.4.0"));
    EXPECT_FALSE(named(releases, "1.4.0")->published);  // past what the clock can hold: age unknown

    // No time map (an abbreviated document): every version of unknown age.
    Json abbreviated = document;
    abbreviated["time"] = "not a map";
    const std::vector<PublishedRelease> undated = publishtimes::fromNpmDocument(abbreviated);
    ASSERT_EQ(undated.size(), releases.size());
    for (const PublishedRelease& release : undated) EXPECT_FALSE(release.published) << release.version;
    // Documents of other shapes: no version, or versions of unknown age.
    const std::pair<const char*, std::size_t> shapes[] = {
        {"[]", 0}, {"null", 0}, {R"({"versions": []})", 0}, {R"({"versions": {"1.0.0": 3}, "time": {"1.0.0": 5}})", 1}};
    for (const auto& [text, count] : shapes) {
        const std::vector<PublishedRelease> read = publishtimes::fromNpmDocument(Json::parse(text));
        ASSERT_EQ(read.size(), count) << text;
        for (const PublishedRelease& release : read) EXPECT_FALSE(release.published) << text;
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

// crates.io, RubyGems and the Go proxy: yanked and pre-release versions left out, a version
// listed for several platforms dated by its first, a time that does not read leaves the age unknown.
TEST(PublishTimesTest, CratesGemsAndGoModulesAreDatedFromTheirRegistriesAnswers) {
    const std::vector<PublishedRelease> crates = publishtimes::fromCratesDocument(Json::parse(R"({
      "crate": {"max_stable_version": "14.1.0"},
      "versions": [{"num": "14.1.0", "created_at": "2024-01-06T23:20:10.133564+00:00", "yanked": false},
                   {"num": "14.0.3", "created_at": "2023-11-28T18:26:44Z", "yanked": true},
                   {"num": "14.0.0-rc.1", "created_at": "2023-11-20T00:00:00Z"},
                   {"num": "13.0.0", "created_at": 17}, "13.0.0", {"created_at": "2023-01-01T00:00:00Z"}]
    })"));
    ASSERT_EQ(crates.size(), 2u);
    EXPECT_EQ(formatIsoDate(*named(crates, "14.1.0")->published), "2024-01-06T23:20:10Z");
    ASSERT_TRUE(named(crates, "13.0.0"));
    EXPECT_FALSE(named(crates, "13.0.0")->published);

    const Json gems = Json::parse(R"([
      {"number": "1.16.0", "platform": "x86_64-linux", "created_at": "2023-12-27T19:17:58.404Z", "prerelease": false},
      {"number": "1.16.0", "platform": "ruby", "created_at": "2023-12-27T19:16:03.281Z", "prerelease": false},
      {"number": "1.17.0.rc1", "platform": "ruby", "created_at": "2024-01-15T00:00:00.000Z", "prerelease": true},
      {"number": "1.15.5", "platform": "ruby", "created_at": "not a date", "prerelease": false},
      {"number": "1.9.0", "platform": "ruby", "created_at": "2019-01-01T00:00:00.000Z"}
    ])");
    const std::vector<PublishedRelease> gemReleases = publishtimes::fromRubyGemsVersions(gems);
    ASSERT_EQ(gemReleases.size(), 3u);
    EXPECT_EQ(formatIsoDate(*named(gemReleases, "1.16.0")->published), "2023-12-27T19:16:03Z");
    EXPECT_FALSE(named(gemReleases, "1.15.5")->published);
    // The newest offered by version order, not by date nor by the list's order.
    EXPECT_EQ(publishtimes::latestOfRubyGemsVersions(gems), "1.16.0");
    EXPECT_EQ(publishtimes::latestOfRubyGemsVersions(Json::parse(R"({"version": "1.0"})")), std::nullopt);

    const std::vector<PublishedRelease> go =
        publishtimes::fromGoInfo(Json::parse(R"({"Version": "v0.14.0", "Time": "2023-10-11T17:54:46Z"})"));
    ASSERT_EQ(go.size(), 1u);
    EXPECT_EQ(go[0].version, "v0.14.0");
    EXPECT_EQ(formatIsoDate(*go[0].published), "2023-10-11T17:54:46Z");
    EXPECT_FALSE(publishtimes::fromGoInfo(Json::parse(R"({"Version": "v1.0.0", "Time": ""})"))[0].published);
    EXPECT_TRUE(publishtimes::fromGoInfo(Json::parse(R"({"Version": "v2.0.0-rc.1", "Time": "2023-10-11T17:54:46Z"})")).empty());
    EXPECT_TRUE(publishtimes::fromGoInfo(Json::parse(R"({"Version": 2})")).empty());
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

    // Bun: seconds under [install] of its global bunfig, the XDG one first; a dotted key at the top
    // counts, the same key in another table does not.
    const std::string xdg = home.file(".config");
    EXPECT_FALSE(toolages::bunLimit(home.path(), xdg));
    home.write(".bunfig.toml", "[run]\nminimumReleaseAge = 5\n[install]\nregistry = \"http://x#y\" # a comment\n"
                               "minimumReleaseAge = 259200 # 3 days\n");
    std::optional<ToolReleaseAge> bun = toolages::bunLimit(home.path(), std::nullopt);
    ASSERT_TRUE(bun);
    EXPECT_EQ(bun->minimum, std::chrono::hours(72));
    EXPECT_EQ(bun->setting, "bun install.minimumReleaseAge");
    home.write(".config/.bunfig.toml", "install.minimumReleaseAge = 604800\n");
    EXPECT_EQ(toolages::bunLimit(home.path(), xdg)->minimum, std::chrono::hours(24 * 7));
    // Unreadable or off: no limit, and the next file is not asked either.
    for (const char* bad : {"install.minimumReleaseAge = \"a week\"\n", "[install]\nminimumReleaseAge = 0\n",
                            "[install]\nminimumReleaseAge = -60\n"}) {
        home.write(".config/.bunfig.toml", bad);
        EXPECT_FALSE(toolages::bunLimit(home.path(), xdg)) << bad;
    }
    // A header we cannot read sets nothing there: the next file's limit holds.
    home.write(".config/.bunfig.toml", "[install\nminimumReleaseAge = 60\n");
    EXPECT_EQ(toolages::bunLimit(home.path(), xdg)->minimum, std::chrono::hours(72));
    EXPECT_EQ(toolages::tomlValue("[install.scopes]\nminimumReleaseAge = 1\n", "install", "minimumReleaseAge"), std::nullopt);
    EXPECT_EQ(toolages::tomlValue("a = 'x # y'\n", "", "a"), "x # y");
    // A comment in the user's language does not hide the setting.
    EXPECT_EQ(toolages::tomlValue("[install] # réglages\nminimumReleaseAge = 60 # une minute\n", "install",
                                  "minimumReleaseAge"),
              "60");
}

// uv: a span in its friendly or ISO 8601 form is the limit; a date or time a cutoff, as old as it is.
TEST(PublishTimesTest, UvsExcludeNewerIsReadAsASpanOrACutoff) {
    using std::chrono::hours;
    for (const auto& [text, span] : std::vector<std::pair<const char*, std::chrono::seconds>>{
             {"7 days", hours(24 * 7)}, {"1 week 2 days", hours(24 * 9)}, {"24h", hours(24)}, {"P7D", hours(24 * 7)},
             {"P1W", hours(24 * 7)}, {"P1DT12H", hours(36)}, {"PT90M", std::chrono::minutes(90)}}) {
        EXPECT_EQ(toolages::uvSpan(text), span) << text;
    }
    for (const char* bad : {"", "P", "P1M", "P1Y", "PT", "P1H", "7", "7 fortnights", "days", "2026-11-01",
                            "P99999999999999999999D", "100000000 weeks", "-3 days"}) {
        EXPECT_EQ(toolages::uvSpan(bad), std::nullopt) << bad;
    }

    testing::TempDir home{"vt-uv-ages"};
    const std::string folder = home.file(".config/uv");
    const Clock::TimePoint now = *parseIsoDate("2026-12-08T12:00:00Z");
    EXPECT_FALSE(toolages::uvLimit(folder, now));
    home.write(".config/uv/uv.toml", "exclude-newer = \"1 week\"\n[pip]\nexclude-newer = \"1 day\"\n");
    std::optional<ToolReleaseAge> uv = toolages::uvLimit(folder, now);
    ASSERT_TRUE(uv);
    EXPECT_EQ(uv->minimum, hours(24 * 7));
    EXPECT_EQ(uv->setting, "uv exclude-newer");
    home.write(".config/uv/uv.toml", "exclude-newer = \"2026-12-01T12:00:00Z\"\n");
    EXPECT_EQ(toolages::uvLimit(folder, now)->minimum, hours(24 * 7));
    home.write(".config/uv/uv.toml", "exclude-newer = \"2026-12-06\"\n");
    EXPECT_EQ(toolages::uvLimit(folder, now)->minimum, hours(60));
    for (const char* ignored : {"exclude-newer = \"2027-01-01\"\n", "exclude-newer = \"soon\"\n",
                                "exclude-newer = \"P1M\"\n", "[tool.uv]\nexclude-newer = \"7 days\"\n"}) {
        home.write(".config/uv/uv.toml", ignored);
        EXPECT_FALSE(toolages::uvLimit(folder, now)) << ignored;
    }
}

}  // namespace
}  // namespace vt
