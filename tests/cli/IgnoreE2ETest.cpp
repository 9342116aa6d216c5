// Taking items out of the table with the `vantreel` binary, on saved scan results.
#include <set>

#include <gtest/gtest.h>

#include "core/ScanResultsPersistence.hpp"
#include "support/Fixtures.hpp"
#include "support/TempDir.hpp"
#include "support/VantreelProcess.hpp"

namespace vt {
namespace {

using testing::runVantreel;

class IgnoreE2ETest : public ::testing::Test {
protected:
    void SetUp() override {
        testing::showOnly(home_.path(), {"ShowHomebrew", "ShowCasks", "ShowNpm", "ShowInstalledApplications", "ShowSparkle"});
        // The results of a scan: one application that is both a Sparkle app and a cask, npm packages.
        PersistedScanResults results;
        results.packages = {testing::savedPackage(PackageType::BrewCask, "foo-app", "1.0", "2.0"),
                            testing::savedPackage(PackageType::NpmGlobal, "left-pad", "1.0.0", "1.1.0"),
                            testing::savedPackage(PackageType::NpmGlobal, "other", "1.0", "2.0"),
                            testing::savedPackage(PackageType::NpmGlobal, "current", "3.0", "3.0")};
        Application app = testing::sparkleApplication("Foo App", "com.example.foo", "1.0", "2.0", std::chrono::hours(24 * 400));
        app.homebrewCaskName = "foo-app";
        results.applications = std::vector<Application>{app};
        results.metadata = ScanMetadata{};
        ScanResultsPersistence(testing::dataFolder(home_.path()) + "/ScanResults").save(results);
    }

    testing::VantreelRun run(std::vector<std::string> arguments, const std::string& now = "") const {
        testing::VantreelRun request{std::move(arguments), home_.path()};
        if (!now.empty()) request.environment["VANTREEL_NOW"] = now;
        return request;
    }

    std::set<std::string> rows(const std::string& now = "") const {
        std::set<std::string> ids;
        Json report = testing::jsonOf(runVantreel(run({"list", "--json"}, now)));
        for (const Json& row : report["rows"]) ids.insert(row["id"].get<std::string>());
        return ids;
    }

    testing::TempDir home_{"vt-ignore-e2e"};
};

const std::string kApp = "app:com.example.foo", kCask = "cask:foo-app";
const std::string kLeftPad = "npm:left-pad", kOther = "npm:other";

TEST_F(IgnoreE2ETest, IgnoreHidesTheApplicationUnderEverySource) {
    EXPECT_EQ(rows(), (std::set<std::string>{kApp, kLeftPad, kOther}));  // the cask row merged into Sparkle's
    auto table = runVantreel(run({"list"}));
    EXPECT_NE(table.standardOutput.find("vantreel update " + kLeftPad), std::string::npos) << table.standardOutput;
    EXPECT_NE(table.standardOutput.find("Sparkle  download"), std::string::npos) << table.standardOutput;
    ASSERT_EQ(runVantreel(run({"settings", "set", "ShowSparkle", "false"})).exitCode, 0);
    EXPECT_EQ(rows(), (std::set<std::string>{kCask, kLeftPad, kOther}));

    auto ignored = runVantreel(run({"ignore", "Foo App"}));
    ASSERT_EQ(ignored.exitCode, 0) << ignored.standardError;
    EXPECT_EQ(ignored.standardOutput, "Ignored Foo App (app:com.example.foo)\n");
    EXPECT_EQ(rows(), (std::set<std::string>{kLeftPad, kOther}));  // the cask went with it
    ASSERT_EQ(runVantreel(run({"settings", "set", "ShowSparkle", "true"})).exitCode, 0);
    EXPECT_EQ(rows(), (std::set<std::string>{kLeftPad, kOther}));
    Json list = testing::jsonOf(runVantreel(run({"ignored", "--json"})))["ignored"];
    ASSERT_EQ(list.size(), 1u) << list.dump();
    EXPECT_EQ(list[0]["status"], "appIgnored");
    EXPECT_EQ(list[0]["bundleIdentifier"], "com.example.foo");

    EXPECT_EQ(runVantreel(run({"ignore", "no-such-thing"})).exitCode, 2);
    EXPECT_EQ(runVantreel(run({"unignore", "com.example.foo"})).exitCode, 0);
    EXPECT_EQ(rows(), (std::set<std::string>{kApp, kLeftPad, kOther}));
    // The row is back and goes to the appcast installer again (whose feed is not served here).
    auto application = runVantreel(run({"--accept-terms", "update", "--yes", kApp}));
    EXPECT_EQ(application.exitCode, 1) << application.standardOutput << application.standardError;
    EXPECT_NE(application.standardOutput.find("Foo App"), std::string::npos) << application.standardOutput;
    Json all = testing::jsonOf(runVantreel(run({"list", "--all", "--json"})));
    ASSERT_EQ(all["rows"].size(), 4u);
    EXPECT_EQ(all["rows"][3]["id"], "npm:current");  // the up-to-date items come last
    EXPECT_EQ(all["rows"][3]["updateAvailable"], false);
    Json filtered = testing::jsonOf(runVantreel(run({"list", "--json", "--source", "NPM", "--search", "LEFT"})));
    ASSERT_EQ(filtered["rows"].size(), 1u);
    EXPECT_EQ(filtered["rows"][0]["action"]["isUpdateable"], true);
    // The summary counts what the filters let through and says which they were; nothing let
    // through is not "up to date".
    EXPECT_NE(runVantreel(run({"list", "--source", "NPM", "--search", "LEFT"})).standardOutput.find(
                  "1 update available in NPM matching “LEFT” · 5 items"),
              std::string::npos);
    for (const auto& [arguments, summary] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"list", "--search", "nothing-like-it"}, "No pending update matching “nothing-like-it” · 5 items"},
             {{"list", "--all", "--source", "RubyGems"}, "No item in RubyGems · 5 items"}}) {
        const std::string out = runVantreel(run(arguments)).standardOutput;
        EXPECT_NE(out.find(summary), std::string::npos) << out;
        EXPECT_EQ(out.find("up to date"), std::string::npos) << out;
    }
    // A source is named by its label or by its id.
    Json applications = testing::jsonOf(runVantreel(run({"list", "--json", "--source", "apps"})));
    ASSERT_EQ(applications["rows"].size(), 1u);
    EXPECT_EQ(applications["rows"][0]["id"], kApp);
    // A source with nothing installed is still one; a name no source has is a usage error.
    auto none = runVantreel(run({"list", "--json", "--source", "RubyGems"}));
    EXPECT_EQ(none.exitCode, 0) << none.standardError;
    EXPECT_EQ(testing::jsonOf(none)["rows"].size(), 0u);
    auto unknown = runVantreel(run({"list", "--source", "nonsense"}));
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_EQ(unknown.standardOutput, "");
    EXPECT_NE(unknown.standardError.find("no source is called \"nonsense\""), std::string::npos) << unknown.standardError;
}

TEST_F(IgnoreE2ETest, SkipAndSnoozeHideForAsLongAsTheySay) {
    // A version given must be one, and newer than the installed 1.0.0; nothing is kept otherwise.
    const std::string longest(129, '9');
    for (const std::string version : {"not a version", "1.0.0", "0.9", "", "2.0\n3.0", longest.c_str()}) {
        EXPECT_EQ(runVantreel(run({"skip", "left-pad", "--version", version})).exitCode, 2) << version;
    }
    EXPECT_TRUE(testing::jsonOf(runVantreel(run({"ignored", "--json"})))["ignored"].empty());
    ASSERT_EQ(runVantreel(run({"skip", "left-pad"})).exitCode, 0);
    EXPECT_EQ(rows().count(kLeftPad), 0u);
    // unignore lifts a skip as it lifts an ignore.
    EXPECT_EQ(runVantreel(run({"unignore", "left-pad"})).standardOutput,
              "left-pad is offered again: version 1.1.0 is no longer skipped\n");
    ASSERT_EQ(runVantreel(run({"skip", "left-pad"})).exitCode, 0);
    EXPECT_EQ(runVantreel(run({"unignore", kLeftPad})).standardOutput,
              "left-pad is offered again: version 1.1.0 is no longer skipped\n");
    EXPECT_EQ(rows().count(kLeftPad), 1u);
    ASSERT_EQ(runVantreel(run({"skip", "left-pad"})).exitCode, 0);
    EXPECT_EQ(rows().count(kLeftPad), 0u);

    const long long now = 1'900'000'000;
    EXPECT_EQ(runVantreel(run({"snooze", "other"}, std::to_string(now))).exitCode, 2);  // for how long?
    // Longer than a clock holds: refused, not wrapped round into the past.
    auto endless = runVantreel(run({"snooze", kOther, "--for", "106752d"}, std::to_string(now)));
    EXPECT_EQ(endless.exitCode, 2);
    EXPECT_NE(endless.standardError.find("--indefinitely"), std::string::npos) << endless.standardError;
    auto snoozed = runVantreel(run({"snooze", kOther, "--for", "1d"}, std::to_string(now)));
    ASSERT_EQ(snoozed.exitCode, 0) << snoozed.standardError;
    EXPECT_EQ(rows(std::to_string(now + 86399)).count(kOther), 0u);
    EXPECT_EQ(rows(std::to_string(now + 86401)).count(kOther), 1u);  // the snooze ends at its date
    ASSERT_EQ(runVantreel(run({"snooze", "other", "--indefinitely"})).exitCode, 0);
    EXPECT_EQ(rows(std::to_string(now + 86400 * 365)).count(kOther), 0u);
    Json list = testing::jsonOf(runVantreel(run({"ignored", "--json"})))["ignored"];
    ASSERT_EQ(list.size(), 2u) << list.dump();
    EXPECT_EQ(list[1]["label"], "Snoozed indefinitely");
    EXPECT_EQ(runVantreel(run({"unsnooze", "other"})).exitCode, 0);
    EXPECT_EQ(rows().count(kOther), 1u);
}

}  // namespace
}  // namespace vt
