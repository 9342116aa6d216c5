// The same application twice in the sandbox's ~/Applications, from the store (its receipt) and
// from a download, a stand-in `mas` in ~/.local/bin and a loopback lookup service: `vantreel
// scan` finds the store's update, and `vantreel update` sends only the store's copy to `mas
// upgrade` and checks the result on disk.
#include <gtest/gtest.h>

#include "base/Files.hpp"
#include "base/Json.hpp"
#include "core/ScanResultsPersistence.hpp"
#include "support/Corpus.hpp"
#include "support/LoopbackServer.hpp"
#include "support/TempDir.hpp"
#include "support/VantreelProcess.hpp"

namespace vt {
namespace {

TEST(AppStoreE2ETest, OnlyWhatTheStoreInstalledIsSentToMasAndItsUpgradeIsChecked) {
    testing::TempDir home("vt-appstore-e2e");
    testing::showOnly(home.path(), {"ShowInstalledApplications"});
    auto plist = [](const std::string& name) {
        return R"(<?xml version="1.0"?>
<plist version="1.0"><dict><key>CFBundleIdentifier</key><string>com.culturedcode.ThingsMac</string>
<key>CFBundleName</key><string>)" + name + "</string><key>CFBundleShortVersionString</key><string>3.7</string></dict></plist>";
    };
    const std::string things = home.write("Applications/Things.app/Contents/Info.plist", plist("Things"));
    home.write("Applications/Things.app/Contents/_MASReceipt/receipt", "receipt");
    home.write("Applications/Things Direct.app/Contents/Info.plist", plist("Things Direct"));
    const std::string calls = home.file("mas-calls");
    home.writeExecutable(".local/bin/mas", "#!/bin/sh\necho \"$*\" >> '" + calls + "'\n"
                                           "[ \"$1\" = upgrade ] && sed -i 's/3.7/3.8/' '" + things + "'\nexit 0\n");
    testing::LoopbackServer server;
    server.setHandler("/lookup", [&](const testing::LoopbackRequest& request) {
        testing::LoopbackRoute route;
        route.body = request.target.find("ThingsMac") != std::string::npos ||
                             request.target.find("id=904280696") != std::string::npos
                         ? testing::corpusFile("appstore/lookup-id.things.raw.json")
                         : testing::corpusFile("appstore/search.nonexistent.raw.json");
        return route;
    });
    auto run = [&](std::vector<std::string> arguments) {
        return testing::runVantreel({std::move(arguments), home.path(),
                                     {{"VANTREEL_ENDPOINT_ITUNES", server.origin()},
                                      {"VANTREEL_ENDPOINT_APPSTORE_WEB", server.origin()}}});
    };
    ASSERT_EQ(run({"--accept-terms", "scan"}).exitCode, 0);
    auto apps = run({"apps", "--json"});
    std::map<std::string, Json> byName;
    const Json listed = testing::jsonOf(apps);
    for (const Json& app : listed["applications"]) byName[app["name"].get<std::string>()] = app;
    EXPECT_EQ(byName["Things"]["appStoreID"], "904280696") << apps.standardOutput;
    EXPECT_EQ(byName["Things"]["latestVersion"], "3.8");

    Json plan = testing::jsonOf(run({"--accept-terms", "update", "--all", "--dry-run", "--json"}));
    ASSERT_EQ(plan["leftOut"].size(), 1u) << plan.dump();
    EXPECT_EQ(plan["leftOut"][0]["name"], "Things Direct");
    EXPECT_EQ(plan["leftOut"][0]["reason"], "installed from Direct download, the update comes from Mac App Store");
    // Without that exclusion, the missing receipt still keeps it from `mas`.
    ASSERT_EQ(run({"settings", "set", "Exclude_SourceMismatch", "false"}).exitCode, 0);
    plan = testing::jsonOf(run({"--accept-terms", "update", "--all", "--dry-run", "--json"}));
    ASSERT_EQ(plan["leftOut"].size(), 1u) << plan.dump();
    EXPECT_EQ(plan["leftOut"][0]["reason"], "not installed from the App Store: update it where it came from");
    EXPECT_EQ(plan["leftOut"][0]["byHand"], true);
    ASSERT_EQ(plan["steps"].size(), 1u) << plan.dump();
    EXPECT_EQ(plan["steps"][0]["items"][0]["name"], "Things");
    // `mas` installs whatever the store has now: the plan says so, named or not.
    EXPECT_EQ(plan["steps"][0]["items"][0]["installs"], "toolsLatest");
    plan = testing::jsonOf(run({"--accept-terms", "update", "Things", "--dry-run", "--json"}));
    EXPECT_EQ(plan["steps"][0]["items"][0]["installs"], "toolsLatest") << plan.dump();
    EXPECT_NE(run({"--accept-terms", "update", "Things", "--dry-run"})
                  .standardOutput.find("Things 3.7 → 3.8  (Mac App Store installs its own latest version"),
              std::string::npos);
    auto update = run({"--accept-terms", "update", "--all", "--yes", "--json"});
    EXPECT_EQ(update.exitCode, 0) << update.standardOutput << update.standardError;
    EXPECT_EQ(testing::jsonOf(update)["results"][0]["newVersion"], "3.8");
    auto upgrades = [&] {
        const std::string ran = readFile(calls).value_or("");
        std::size_t count = 0;
        for (std::size_t at = ran.find("upgrade "); at != std::string::npos; at = ran.find("upgrade ", at + 1)) ++count;
        return count;
    };
    EXPECT_EQ(upgrades(), 1u);  // the copy the store installed

    // Named once it is at the store's version, or once its latest is unknown: left out, `mas` not run.
    auto again = run({"--accept-terms", "update", "Things", "--yes", "--json"});
    EXPECT_EQ(again.exitCode, 0) << again.standardOutput << again.standardError;
    Json done = testing::jsonOf(again);
    EXPECT_TRUE(done["results"].empty()) << done.dump();
    EXPECT_EQ(done["leftOut"][0]["reason"], "already at 3.8: nothing newer to install") << done.dump();
    const ScanResultsPersistence saved(testing::dataFolder(home.path()) + "/ScanResults");
    std::vector<Application> scanned = saved.loadApplications().applications;
    for (Application& application : scanned) application.latestVersion.reset();
    ASSERT_TRUE(saved.saveApplications(scanned));
    again = run({"--accept-terms", "update", "Things", "--yes", "--json"});
    EXPECT_EQ(again.exitCode, 1) << again.standardOutput << again.standardError;
    done = testing::jsonOf(again);
    EXPECT_TRUE(done["results"].empty()) << done.dump();
    EXPECT_EQ(done["leftOut"][0]["upToDate"], false) << done.dump();
    EXPECT_EQ(upgrades(), 1u);
}

}  // namespace
}  // namespace vt
