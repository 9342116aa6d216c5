// The App Store source against a loopback lookup service answering with recorded iTunes
// bodies, a stand-in `mas` script run by the real command runner, and bundles on disk.
#include <gtest/gtest.h>

#include <filesystem>

#include "base/Files.hpp"
#include "base/Json.hpp"
#include "base/Log.hpp"
#include "base/Strings.hpp"
#include "sources/inventory/ApplicationManager.hpp"
#include "sources/appstore/MacAppStoreManager.hpp"
#include "sources/appstore/MacAppStoreUpdateCoordinator.hpp"
#include "support/Corpus.hpp"
#include "support/LoopbackServer.hpp"
#include "support/ScopedEnvironment.hpp"
#include "support/TempDir.hpp"
#include "support/Thrown.hpp"
#include "system/CommandRunner.hpp"
#include "system/SystemNetworkClient.hpp"

namespace vt {
namespace {

// The one "software" (iPhone/iPad) result of the recorded Slack search, Talon 1.2, as a lookup.
std::string talonLookup() {
    Json search = *parseJson(testing::corpusFile("appstore/search.slack.mas-current.json"));
    for (const Json& result : search["results"]) {
        if (result["trackId"] == 1492913323) return dumpJson(Json{{"resultCount", 1}, {"results", Json::array({result})}});
    }
    return "";
}

std::string infoPlist(const std::string& identifier, const std::string& version) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
           "<key>CFBundleIdentifier</key><string>" + identifier + "</string><key>CFBundleName</key><string>" +
           identifier.substr(identifier.rfind('.') + 1) + "</string><key>CFBundleShortVersionString</key><string>" +
           version + "</string></dict></plist>\n";
}

struct StoreFixture {
    testing::TempDir temp{"vt-appstore"};
    testing::LoopbackServer server;
    testing::ScopedEnvironment itunes{"VANTREEL_ENDPOINT_ITUNES", server.origin().c_str()};
    testing::ScopedEnvironment web{"VANTREEL_ENDPOINT_APPSTORE_WEB", server.origin().c_str()};
    SystemNetworkClient network;
    FakeClock clock;

    StoreFixture() {
        const std::map<std::string, std::string> byId = {
            {"904280696", testing::corpusFile("appstore/lookup-id.things.raw.json")},
            {"736189492", testing::corpusFile("appstore/lookup-id.notability.raw.json")},
            {"803453959", testing::corpusFile("appstore/lookup.slack.mas-current.json")},
            {"1492913323", talonLookup()},
            {"111111", "<html><body>Service Unavailable</body></html>"},
            {"222222", ""},
            {"333333", R"({"resultCount":2,"results":[]})"},
            {"444444", R"({"resultCount":1,"results":[{"trackId":444444,"bundleId":"a.b","trackName":"X",
                          "version":"Varies with device","kind":"mac-software"}]})"},
        };
        server.setHandler("/lookup", [byId](const testing::LoopbackRequest& request) {
            const std::string& target = request.target;
            std::size_t at = target.find("bundleId=");
            at = at == std::string::npos ? target.find("id=") + 3 : at + 9;
            std::string id = target.substr(at, target.find('&', at) - at);
            if (id == "com.culturedcode.ThingsMac") id = "904280696";
            if (id == "com.other.Slack") id = "803453959";
            return testing::LoopbackRoute{
                .body = byId.count(id) ? byId.at(id) : testing::corpusFile("appstore/search.nonexistent.raw.json")};
        });
        server.setRoute("/us/app/id111111",
                        {.body = "<html><p class=\"l-column\">Version&nbsp;<b>2.4.1</b></p></html>", .contentType = "text/html"});
    }

    DirectMacAppStoreChecker checker() {
        return DirectMacAppStoreChecker(network, {.cachePath = temp.file("mas_cache.json"), .countryCode = "us",
                                                  .clock = &clock});
    }
};

TEST(MacAppStoreIntegrationTest, LookupsFilterKindsUseTheCacheAndFailOneAppAtATime) {
    StoreFixture store;
    LogCapture log;
    const double now = toReferenceSeconds(store.clock.now());
    // A legacy file (bare identifiers) is dropped whole.
    store.temp.write("mas_cache.json", dumpJson(Json{{"904280696", {{"version", "9.9"}, {"timestamp", now}}}}));
    store.checker();
    EXPECT_TRUE(log.contains("Old mas_cache entries found"));
    EXPECT_EQ(parseJson(*readFile(store.temp.file("mas_cache.json")))->size(), 0u);

    // Cached 1.0 for an installed 1.2 is refetched; a fresh 3.8 is used; an old one only when the network fails.
    store.temp.write("mas_cache.json",
                     dumpJson(Json{{"736189492-mac", {{"version", "1.0"}, {"timestamp", now - 60}}},
                                   {"904280696-mac", {{"version", "3.8"}, {"timestamp", now - 600}}},
                                   {"222222-mac", {{"version", "4.0"}, {"timestamp", now - 20000}}}}));
    DirectMacAppStoreChecker checker = store.checker();
    auto results = checker.latestVersions({{"736189492", "1.2", false},
                                           {"904280696", "3.7", false},
                                           {"803453959", "3.3.2", false},
                                           {"1492913323", "1.0", false},
                                           {"111111", "2.0", false},
                                           {"222222", "3.0", false},
                                           {"333333", "1.0", false},
                                           {"444444", "1.0", false},
                                           {"12ab", "1.0", false}});
    EXPECT_EQ(results["736189492"].version, "3.1");
    EXPECT_TRUE(log.contains("the cached 1.0 is older than the installed 1.2"));
    EXPECT_EQ(results["904280696"].source, "cache");
    EXPECT_EQ(results["803453959"].version, "3.3.3");
    // A "software" result is not a Mac app's version.
    EXPECT_FALSE(results["1492913323"].version);
    EXPECT_TRUE(contains(results["1492913323"].error.value_or(""), "none matched forMac=true (kinds: software)"));
    // An HTML answer: the web page gives the version, tags and &nbsp; cleaned.
    EXPECT_EQ(results["111111"].version, "2.4.1");
    EXPECT_EQ(results["111111"].source, "page");
    EXPECT_EQ(results["222222"].version, "4.0");
    EXPECT_EQ(results["222222"].source, "stale");
    EXPECT_TRUE(contains(results["333333"].error.value_or(""), "resultCount 2 disagrees with its 0 results"));
    EXPECT_FALSE(results["444444"].version);
    EXPECT_TRUE(contains(results["444444"].error.value_or(""), "is not a version"));
    EXPECT_FALSE(results["12ab"].version);
    EXPECT_EQ(store.server.requestCount("/lookup"), 7u);  // no request for the fresh entry nor a bad identifier

    // As an iPhone app the same item is accepted; the saved cache keys carry the kind.
    EXPECT_EQ(checker.latestVersions({{"1492913323", "1.0", true}})["1492913323"].version, "1.2");
    Json saved = *parseJson(*readFile(store.temp.file("mas_cache.json")));
    EXPECT_EQ(saved["736189492-mac"]["version"], "3.1");
    EXPECT_EQ(saved["1492913323-ios"]["version"], "1.2");
    EXPECT_FALSE(saved.contains("1492913323-mac"));
}

TEST(MacAppStoreIntegrationTest, RefreshCombinesMasReceiptsAndWrappedIPhoneApps) {
    StoreFixture store;
    LogCapture log;
    const std::string apps = store.temp.makeFolder("Applications");
    store.temp.write("Applications/Things3.app/Contents/Info.plist", infoPlist("com.culturedcode.ThingsMac", "3.7"));
    store.temp.write("Applications/Things3.app/Contents/_MASReceipt/receipt", "receipt");
    store.temp.write("Applications/Talon.app/Wrapper/iTunesMetadata.plist",
                     "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>itemId</key><integer>1492913323</integer>"
                     "<key>itemName</key><string>Talon</string><key>softwareVersionBundleId</key>"
                     "<string>com.peroxaan.Talon</string></dict></plist>");
    store.temp.write("Applications/Talon.app/WrappedBundle/Info.plist", infoPlist("com.peroxaan.Talon", "1.0"));
    store.temp.writeExecutable("home/.local/bin/mas",
                               "#!/bin/sh\ncase \"$1\" in\n"
                               "account) echo 'user@example.com' ;;\n"
                               "list) printf '803453959  Slack                 (3.3.2)\\n497799835  Xcode  (15.0)\\n' ;;\n"
                               "outdated) printf '803453959 Slack (3.3.2 -> 3.3.3)\\n497799835 Xcode (15.0 -> 15.0)\\n' ;;\n"
                               "esac\n");
    CommandRunner runner;
    MasCliManager mas({&runner, store.temp.file("home")});
    DirectMacAppStoreChecker checker = store.checker();
    MacAppStoreManager manager({.mas = &mas, .checker = &checker, .runner = &runner});
    std::map<std::string, MacAppStoreApp> found;
    for (MacAppStoreApp& app : manager.refresh({apps})) found[app.name] = app;

    ASSERT_EQ(found.size(), 4u);
    EXPECT_EQ(found["Slack"].latestVersion, "3.3.3");
    EXPECT_EQ(found["Xcode"].latestVersion, "15.0");  // "15.0 -> 15.0" is no update
    EXPECT_TRUE(log.contains("mas outdated found 1 apps with real updates available"));
    // (The receipt bundle resolved by its identifier: AppStoreE2ETest.)
    EXPECT_TRUE(found["Talon"].isIOSApp);
    EXPECT_EQ(found["Talon"].currentVersion, "1.0");
    EXPECT_EQ(found["Talon"].latestVersion, "1.2");  // checked although `mas outdated` succeeded
    EXPECT_TRUE(log.contains("iOS app update: Talon 1.0 → 1.2"));
    for (const auto& request : store.server.requests()) {
        EXPECT_EQ(request.target.find("id=803453959"), std::string::npos);  // covered by `mas outdated`
    }

    // The engine's dispatch: the wrapped app joins the inventory and is checked with its kinds;
    // an orphan is accepted only with an equal bundle identifier.
    ApplicationManager inventory({.fixedRoots = {{apps, "Applications", 2}}, .appStore = &manager});
    inventory.mergeAppStoreApps(manager.apps());
    auto check = ApplicationManager::sourceChecks({.appStore = &manager}, SourceSettings{});
    std::vector<Application> listed = inventory.applications();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(check(listed[0], {})->latestVersion, "1.2");
    Application orphan{.name = "Slack", .version = "3.0", .bundleIdentifier = "com.tinyspeck.slackmacgap"};
    EXPECT_FALSE(check(orphan, {}));
    orphan.bundleIdentifier = "com.other.Slack";
    EXPECT_FALSE(check(orphan, {}));
    EXPECT_TRUE(log.contains("bundle ID mismatch (com.tinyspeck.slackmacgap != com.other.Slack)"));
    orphan.bundleIdentifier = "com.culturedcode.ThingsMac";
    std::optional<Application> things = check(orphan, {});
    ASSERT_TRUE(things);
    EXPECT_EQ(things->appStoreID, "904280696");
    EXPECT_EQ(things->resolutionReason, "iTunes lookup by bundle ID (orphan discovery)");
}

TEST(MacAppStoreIntegrationTest, MasUpgradeIsVerifiedAgainstTheBundle) {
    testing::TempDir temp("vt-mas-upgrade");
    const std::string bundle = temp.write("Things3.app/Contents/Info.plist", infoPlist("com.culturedcode.ThingsMac", "3.7"));
    const std::string bundlePath = temp.file("Things3.app");
    CommandRunner runner;
    MasCliManager mas({&runner, temp.file("home")});
    MacAppStoreUpdateCoordinator coordinator({.mas = &mas, .runner = &runner});
    MacAppStoreUpdateCoordinator::Target target{"904280696", "Things 3", bundlePath, "3.7", "3.8"};
    auto withMas = [&](const std::string& body) { temp.writeExecutable("home/.local/bin/mas", "#!/bin/sh\n" + body); };
    auto failure = [&] {
        return testing::thrown<MacAppStoreUpdateError>([&] { coordinator.update(target); }).value().kind();
    };

    // Installed from a download, the store's lookup notwithstanding: mas is never asked.
    const std::string calls = temp.file("mas-calls");
    withMas("echo \"$*\" >> '" + calls + "'\n");
    EXPECT_EQ(failure(), MacAppStoreUpdateError::Kind::NotFromAppStore);
    temp.write("Things3.app/Contents/_MASReceipt/receipt", "receipt");
    // Already at the version offered (updated since the scan): refused, mas not run.
    target.installedVersion = "3.6";
    target.offeredVersion = "3.7";
    EXPECT_EQ(failure(), MacAppStoreUpdateError::Kind::NotNewer);
    EXPECT_FALSE(readFile(calls));
    target = {"904280696", "Things 3", bundlePath, "3.7", "3.8"};
    std::filesystem::remove(temp.file("home/.local/bin/mas"));

    EXPECT_TRUE(coordinator.update(target).openedInAppStore);  // no mas here

    withMas("exit 0\n");
    EXPECT_EQ(failure(), MacAppStoreUpdateError::Kind::ManualAppStoreUpdateRequired);
    withMas("echo 'Error: Not signed in' >&2\nexit 1\n");
    EXPECT_EQ(failure(), MacAppStoreUpdateError::Kind::AppStoreAccountUnavailable);
    withMas("echo 'download failed' >&2\nexit 1\n");
    EXPECT_EQ(failure(), MacAppStoreUpdateError::Kind::UpdateFailed);
    withMas("[ \"$1 $2\" = 'upgrade 904280696' ] || exit 9\nsed -i 's/3.7/3.8/' \"" + bundle + "\"\n");
    EXPECT_EQ(coordinator.update(target).newVersion, "3.8");
}

TEST(MacAppStoreIntegrationTest, MasLinesAndIPhoneBundlesAreReadWhereverTheyKeepTheirData) {
    auto listed = parseMasList("  497799835  Xcode               (15.0)\n"
                               "1289583905  Pixelmator Pro 2.0  (3.5.1)\n"
                               "no identifier here (1.0)\n"
                               "409183694  Keynote\n");
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[1].name, "Pixelmator Pro 2.0");
    EXPECT_EQ(listed[1].version, "3.5.1");
    auto outdated = parseMasOutdated("1289583905 Pixelmator Pro 2.0 (3.5.1 -> 3.6)\n497799835 Xcode (15.0)\n");
    ASSERT_EQ(outdated.size(), 1u);
    EXPECT_EQ(outdated[0].version, "3.5.1");
    EXPECT_EQ(outdated[0].newVersion, "3.6");

    testing::TempDir temp("vt-wrapped");
    temp.write("A.app/Contents/Wrapper/iTunesMetadata.plist",
               "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>itemId</key><string>1492913323</string>"
               "<key>itemName</key><string>Talon</string><key>CFBundleVersion</key><string>7</string></dict></plist>");
    std::optional<MacAppStoreApp> wrapped = readWrappedIOSApp(temp.file("A.app"));
    ASSERT_TRUE(wrapped);
    EXPECT_EQ(wrapped->currentVersion, "7");
    temp.write("B.app/iTunesMetadata.plist", "<plist><dict><key>itemId</key><string>x</string></dict></plist>");
    EXPECT_FALSE(readWrappedIOSApp(temp.file("B.app")));  // not an item identifier
    EXPECT_FALSE(readWrappedIOSApp(temp.file("missing.app")));
    EXPECT_TRUE(hasIOSInfoPlistKeys("<plist><dict><key>DTPlatformName</key><string>iphoneos</string></dict></plist>"));
    EXPECT_TRUE(hasIOSInfoPlistKeys("<plist><dict><key>UIDeviceFamily</key><array/></dict></plist>"));
    EXPECT_FALSE(hasIOSInfoPlistKeys("<plist><dict><key>DTPlatformName</key><string>macosx</string></dict></plist>"));
}

}  // namespace
}  // namespace vt
