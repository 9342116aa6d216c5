// A receipt bundle and a wrapped iPhone app in the sandbox's ~/Applications, a stand-in `mas`
// in ~/.local/bin and a loopback lookup service: `vantreel scan` finds their updates and
// `vantreel update` runs `mas upgrade` and checks the result on disk.
#include <gtest/gtest.h>

#include "base/Files.hpp"
#include "base/Json.hpp"
#include "support/Corpus.hpp"
#include "support/LoopbackServer.hpp"
#include "support/TempDir.hpp"
#include "support/VantreelProcess.hpp"

namespace vt {
namespace {

TEST(AppStoreE2ETest, ScanShowsStoreUpdatesAndUpdateRunsMasUpgrade) {
    testing::TempDir home("vt-appstore-e2e");
    testing::showOnly(home.path(), {"ShowInstalledApplications"});
    const std::string things = home.write("Applications/Things.app/Contents/Info.plist", R"(<?xml version="1.0"?>
<plist version="1.0"><dict><key>CFBundleIdentifier</key><string>com.culturedcode.ThingsMac</string>
<key>CFBundleName</key><string>Things</string><key>CFBundleShortVersionString</key><string>3.7</string></dict></plist>)");
    home.write("Applications/Things.app/Contents/_MASReceipt/receipt", "receipt");
    home.write("Applications/Notability.app/Wrapper/iTunesMetadata.plist", R"(<?xml version="1.0"?>
<plist version="1.0"><dict><key>itemId</key><integer>736189492</integer><key>itemName</key><string>Notability</string>
<key>softwareVersionBundleId</key><string>com.gingerlabs.Notability</string>
<key>CFBundleShortVersionString</key><string>3.0</string></dict></plist>)");
    home.writeExecutable(".local/bin/mas", "#!/bin/sh\n[ \"$1\" = upgrade ] && sed -i 's/3.7/3.8/' '" + things + "'\nexit 0\n");

    // Things answers as the Mac app it is; Notability's recorded answer, relabelled as the
    // iPhone edition a wrapped app is.
    std::string notability = testing::corpusFile("appstore/lookup-id.notability.raw.json");
    notability.replace(notability.find("\"mac-software\""), 14, "\"software\"");
    testing::LoopbackServer server;
    server.setHandler("/lookup", [&](const testing::LoopbackRequest& request) {
        testing::LoopbackRoute route;
        bool isThings = request.target.find("ThingsMac") != std::string::npos ||
                        request.target.find("id=904280696") != std::string::npos;
        route.body = isThings ? testing::corpusFile("appstore/lookup-id.things.raw.json")
                     : request.target.find("id=736189492") != std::string::npos
                         ? notability
                         : testing::corpusFile("appstore/search.nonexistent.raw.json");
        return route;
    });
    const std::map<std::string, std::string> environment = {{"VANTREEL_ENDPOINT_ITUNES", server.origin()},
                                                            {"VANTREEL_ENDPOINT_APPSTORE_WEB", server.origin()}};

    auto scan = testing::runVantreel({{"--accept-terms", "scan", "--json"}, home.path(), environment});
    ASSERT_EQ(scan.exitCode, 0) << scan.standardError;
    auto apps = testing::runVantreel({{"apps", "--json"}, home.path(), environment});
    const Json listed = testing::jsonOf(apps);
    std::map<std::string, Json> byName;
    for (const Json& app : listed["applications"]) byName[app["name"].get<std::string>()] = app;
    ASSERT_TRUE(byName.count("Things") && byName.count("Notability")) << apps.standardOutput;
    EXPECT_EQ(byName["Things"]["appStoreID"], "904280696");
    EXPECT_EQ(byName["Things"]["latestVersion"], "3.8");
    EXPECT_EQ(byName["Notability"]["updateMechanism"], "macAppStore");
    EXPECT_EQ(byName["Notability"]["latestVersion"], "3.1");

    auto update = testing::runVantreel({{"--accept-terms", "update", "Things", "--json", "--yes"}, home.path(), environment});
    EXPECT_EQ(update.exitCode, 0) << update.standardOutput << update.standardError;
    EXPECT_EQ(testing::jsonOf(update)["results"][0]["newVersion"], "3.8");
}

// The same application twice: from the store (its receipt) and from a download. The store's
// lookup knows both by their identifier, but `mas` is asked to update only the first.
TEST(AppStoreE2ETest, OnlyWhatTheStoreInstalledIsSentToMas) {
    testing::TempDir home("vt-appstore-receipt-e2e");
    testing::showOnly(home.path(), {"ShowInstalledApplications"});
    const std::string plist = R"(<?xml version="1.0"?>
<plist version="1.0"><dict><key>CFBundleIdentifier</key><string>com.culturedcode.ThingsMac</string>
<key>CFBundleName</key><string>NAME</string><key>CFBundleShortVersionString</key><string>3.7</string></dict></plist>)";
    auto named = [&plist](const std::string& name) {
        std::string text = plist;
        return text.replace(text.find("NAME"), 4, name);
    };
    home.write("Applications/Things.app/Contents/Info.plist", named("Things"));
    home.write("Applications/Things.app/Contents/_MASReceipt/receipt", "receipt");
    home.write("Applications/Things Direct.app/Contents/Info.plist", named("Things Direct"));
    const std::string calls = home.file("mas-calls");
    home.writeExecutable(".local/bin/mas", "#!/bin/sh\necho \"$*\" >> '" + calls + "'\nexit 0\n");
    testing::LoopbackServer server;
    server.setHandler("/lookup", [&](const testing::LoopbackRequest& request) {
        testing::LoopbackRoute route;
        route.body = request.target.find("ThingsMac") != std::string::npos ||
                             request.target.find("id=904280696") != std::string::npos
                         ? testing::corpusFile("appstore/lookup-id.things.raw.json")
                         : testing::corpusFile("appstore/search.nonexistent.raw.json");
        return route;
    });
    const std::map<std::string, std::string> environment = {{"VANTREEL_ENDPOINT_ITUNES", server.origin()},
                                                            {"VANTREEL_ENDPOINT_APPSTORE_WEB", server.origin()}};
    auto run = [&](std::vector<std::string> arguments) {
        return testing::runVantreel({std::move(arguments), home.path(), environment});
    };
    ASSERT_EQ(run({"--accept-terms", "scan"}).exitCode, 0);

    Json plan = testing::jsonOf(run({"--accept-terms", "update", "--all", "--dry-run", "--json"}));
    ASSERT_EQ(plan["leftOut"].size(), 1u) << plan.dump();
    EXPECT_EQ(plan["leftOut"][0]["name"], "Things Direct");
    EXPECT_EQ(plan["leftOut"][0]["reason"], "installed from Direct download, the update comes from Mac App Store");
    // Without that exclusion, the missing receipt still keeps it from `mas`.
    ASSERT_EQ(run({"settings", "set", "Exclude_SourceMismatch", "false"}).exitCode, 0);
    plan = testing::jsonOf(run({"--accept-terms", "update", "--all", "--dry-run", "--json"}));
    ASSERT_EQ(plan["leftOut"].size(), 1u) << plan.dump();
    EXPECT_EQ(plan["leftOut"][0]["reason"], "not installed from the App Store: update it where it came from");
    ASSERT_EQ(plan["steps"].size(), 1u) << plan.dump();
    EXPECT_EQ(plan["steps"][0]["items"][0]["name"], "Things");
    run({"--accept-terms", "update", "--all", "--yes"});
    const std::string ran = readFile(calls).value_or("");
    std::size_t upgrades = 0;
    for (std::size_t at = ran.find("upgrade "); at != std::string::npos; at = ran.find("upgrade ", at + 1)) ++upgrades;
    EXPECT_EQ(upgrades, 1u) << ran;  // the copy the store installed
}

}  // namespace
}  // namespace vt
