// A receipt bundle and a wrapped iPhone app in the sandbox's ~/Applications, a stand-in `mas`
// in ~/.local/bin and a loopback lookup service: `vantreel scan` finds their updates and
// `vantreel update` runs `mas upgrade` and checks the result on disk.
#include <gtest/gtest.h>

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
    EXPECT_EQ(testing::jsonOf(update)[0]["newVersion"], "3.8");
}

}  // namespace
}  // namespace vt
