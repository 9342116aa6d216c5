// A vendor-updated application in ~/Applications whose update service a loopback server
// answers: the scan, the saved updater records and `vantreel apps --json`.
#include <gtest/gtest.h>

#include <filesystem>

#include "base/Json.hpp"
#include "sources/generic/GenericUpdaterManager.hpp"
#include "support/LoopbackServer.hpp"
#include "support/TempDir.hpp"
#include "support/VantreelProcess.hpp"

namespace vt {
namespace {

TEST(GenericUpdaterE2E, TheUpdaterAndItsReleaseAreSavedAndListedAlsoWhenTheCacheAnswers) {
    testing::TempDir home("vt-generic-e2e");
    testing::showOnly(home.path(), {"ShowInstalledApplications", "ShowGenericUpdater"});
    home.write("Applications/Discord.app/Contents/Info.plist", R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>CFBundleIdentifier</key><string>com.hnc.Discord</string>
<key>CFBundleName</key><string>Discord</string>
<key>CFBundleShortVersionString</key><string>0.0.300</string>
</dict></plist>)");
    testing::LoopbackServer server;
    server.setRoute("/api/updates/stable", {.body = R"({"name":"0.0.320","pub_date":"2026-11-30T18:00:00"})"});
    auto run = [&](std::vector<std::string> arguments) {
        return testing::runVantreel({std::move(arguments), home.path(), {{"VANTREEL_ENDPOINT_DISCORD", server.origin()}}});
    };
    const std::string results = testing::dataFolder(home.path()) + "/ScanResults";
    const std::string bundlePath = home.file("Applications/Discord.app");

    // The first scan asks the service; the second is answered from the cache of checks and
    // must still list the application with its release.
    for (int round = 1; round <= 2; ++round) {
        auto scan = run({"--accept-terms", "scan", "--json"});
        ASSERT_EQ(scan.exitCode, 0) << scan.standardError;
        Json item = testing::itemsByKey(testing::jsonOf(scan))["application:" + bundlePath];
        EXPECT_EQ(item["updateAvailable"], true) << "round " << round << ": " << scan.standardOutput;

        std::vector<GenericUpdaterApp> saved = GenericUpdaterManager::load(results);
        ASSERT_EQ(saved.size(), 1u) << "round " << round;
        EXPECT_EQ(saved[0].bundlePath, bundlePath);
        EXPECT_EQ(saved[0].currentVersion, "0.0.300");
        EXPECT_EQ(saved[0].latestVersion, "0.0.320") << "round " << round;
        EXPECT_EQ(saved[0].updateMechanism, GenericUpdateMechanism::Custom);
    }
    EXPECT_EQ(server.requestCount("/api/updates/stable"), 1u);

    auto apps = run({"apps", "--json"});
    Json listed = testing::jsonOf(apps);
    ASSERT_EQ(listed["applications"].size(), 1u) << apps.standardOutput;
    const Json& updater = listed["applications"][0]["genericUpdater"];
    EXPECT_EQ(updater["mechanism"], "custom") << apps.standardOutput;
    EXPECT_EQ(updater["latestVersion"], "0.0.320");
    EXPECT_EQ(updater["updateURL"], server.origin() + "/api/updates/stable?platform=osx");

    // A damaged file is read as no records, and the next scan writes it whole again.
    std::filesystem::resize_file(results + "/generic_updater_apps.json", 20);
    EXPECT_TRUE(GenericUpdaterManager::load(results).empty());
    EXPECT_TRUE(testing::jsonOf(run({"apps", "--json"}))["applications"][0]["genericUpdater"].is_null());
    ASSERT_EQ(run({"--accept-terms", "scan"}).exitCode, 0);
    EXPECT_EQ(GenericUpdaterManager::load(results).size(), 1u);
}

}  // namespace
}  // namespace vt
