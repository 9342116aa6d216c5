// `vantreel scan` and `vantreel apps` over a sandbox's ~/Applications and a folder of the
// user's own, set through `vantreel settings`.
#include <gtest/gtest.h>
#include <plist/plist.h>

#include "base/Json.hpp"
#include "support/Corpus.hpp"
#include "support/TempDir.hpp"
#include "support/VantreelProcess.hpp"

namespace vt {
namespace {

using testing::itemsByKey;
using testing::jsonOf;
using testing::runVantreel;

std::string toBinary(const std::string& xml) {
    plist_t root = nullptr;
    plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &root);
    char* data = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &data, &length);
    std::string binary(data, length);
    plist_to_bin_free(data);
    plist_free(root);
    return binary;
}

class AppsE2ETest : public ::testing::Test {
protected:
    void SetUp() override {
        testing::showOnly(home_.path(), {"ShowInstalledApplications"});
        const std::string amethyst = testing::corpusFile("plists/amethyst-0.14.2b.Info.plist");
        home_.write("Applications/Amethyst.app/Contents/Info.plist", amethyst);
        home_.write("Applications/Tools/Updater.app/Contents/Info.plist",
                    toBinary(testing::corpusFile("plists/sparkle-2.9.1-Updater.app.Info.plist")));
        home_.write("Extra/Store.app/Contents/Info.plist", amethyst);
        home_.write("Extra/Store.app/Contents/_MASReceipt/receipt", "receipt");
        // An identifier of the built-in App Store table: resolved by the checks, without a receipt.
        home_.write("Extra/Xcode.app/Contents/Info.plist", R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>CFBundleIdentifier</key><string>com.apple.dt.Xcode</string>
<key>CFBundleName</key><string>Xcode</string>
<key>CFBundleShortVersionString</key><string>15.4</string>
</dict></plist>)");
    }
    ShellCommandResult run(std::vector<std::string> arguments) const {
        // Amethyst names its real feed: a closed proxy keeps the check on this machine.
        return runVantreel({std::move(arguments), home_.path(), {{"https_proxy", "http://127.0.0.1:9"}}});
    }
    testing::TempDir home_{"vt-apps-e2e"};
};

TEST_F(AppsE2ETest, ListSettingsPointTheScanAtBundlesShownWithTheirMechanisms) {
    const std::string key = "AdditionalApplicationFolders";
    const std::string extra = home_.file("Extra");
    ASSERT_EQ(run({"settings", "set", key, R"(["/a","/b"])"}).exitCode, 0);
    ASSERT_EQ(run({"settings", "remove", key, "/a", "/b"}).exitCode, 0);
    ASSERT_EQ(run({"settings", "add", key, extra, extra}).exitCode, 0);
    const ShellCommandResult got = run({"settings", "get", key, "--json"});
    EXPECT_EQ(testing::schemaViolations("settings-get.schema.json", got.standardOutput), "") << got.standardOutput;
    EXPECT_EQ(jsonOf(got)["value"], Json::array({extra}));
    EXPECT_EQ(run({"settings", "set", key, "not a list"}).exitCode, 2);
    EXPECT_EQ(run({"settings", "add", "ShowNpm", "x"}).exitCode, 2);
    // A folder the scan would never search is refused, and nothing is kept.
    for (const char* folder : {"", "relative/dir"}) EXPECT_EQ(run({"settings", "add", key, folder}).exitCode, 2) << folder;
    EXPECT_EQ(run({"settings", "set", key, R"(["/a","relative/dir"])"}).exitCode, 2);
    EXPECT_EQ(jsonOf(run({"settings", "get", key, "--json"}))["value"], Json::array({extra}));

    auto scan = run({"--accept-terms", "scan", "--json"});
    ASSERT_EQ(scan.exitCode, 0) << scan.standardError;
    Json report = jsonOf(scan);
    std::map<std::string, Json> items = itemsByKey(report);
    // Each bundle's mechanism as the inventory reads it (its own tests); the folder's are listed too.
    const std::string updater = home_.file("Applications/Tools/Updater.app");
    const std::string store = home_.file("Extra/Store.app");
    ASSERT_EQ(items.size(), 4u) << scan.standardOutput;
    EXPECT_EQ(items["application:" + store]["updateMechanism"], "macAppStore");
    EXPECT_EQ(items["application:" + store]["source"], "apps");
    EXPECT_EQ(report["scanners"][0]["source"], "apps");
    EXPECT_EQ(report["scanners"][0]["count"], 4);

    auto apps = run({"apps", "--json", "--verbose"});
    ASSERT_EQ(apps.exitCode, 0) << apps.standardError;
    Json listed = jsonOf(apps);
    ASSERT_EQ(listed["applications"].size(), 4u) << apps.standardOutput;
    const Json& first = listed["applications"][0];  // sorted by name: Amethyst's own is a build variable
    for (const char* field : {"name", "version", "bundleIdentifier", "bundlePath", "updateMechanism",
                              "resolutionSource", "resolutionReason", "latestVersion"}) {
        EXPECT_TRUE(first.contains(field)) << field;
    }
    const Json& xcode = listed["applications"][3];
    EXPECT_EQ(xcode["updateMechanism"], "macAppStore");
    EXPECT_EQ(xcode["appStoreID"], "497799835");
    EXPECT_EQ(xcode["resolutionReason"], "Known Mac App Store ID");
    const Json& summaries = listed["diagnostics"]["pathSummaries"];
    ASSERT_EQ(summaries.size(), 2u) << apps.standardOutput;
    EXPECT_EQ(summaries[0]["rootPath"], home_.file("Applications"));
    EXPECT_EQ(summaries[0]["discoveredApplications"], 2);
    EXPECT_EQ(summaries[1]["rootPath"], extra);

    auto table = run({"apps"});
    EXPECT_NE(table.standardOutput.find("Mac App Store"), std::string::npos) << table.standardOutput;
    EXPECT_NE(table.standardOutput.find(updater), std::string::npos);
    auto scanTable = run({"--accept-terms", "scan", "--all"});
    EXPECT_NE(scanTable.standardOutput.find("Applications"), std::string::npos) << scanTable.standardOutput;
}

TEST_F(AppsE2ETest, ExtensionsListThePlugInsOfTheLibraryFoldersForDisplay) {
    home_.write("Library/QuickLook/Preview.qlgenerator/Contents/Info.plist", R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>CFBundleIdentifier</key><string>com.example.preview</string>
<key>CFBundleName</key><string>Preview Plus</string>
<key>CFBundleShortVersionString</key><string>2.3</string>
</dict></plist>)");
    home_.write("Library/PreferencePanes/Bare.prefPane/Contents/Resources/pane.nib", std::string(2048, 'x'));
    home_.write("Library/QuickLook/notes.txt", "not a plug-in");
    home_.write("Library/Screen Savers/Broken.saver/Contents/Info.plist", "<plist><dict><key>");

    Json listed = jsonOf(run({"apps", "--extensions", "--json"}));
    std::vector<Json> mine;
    for (const Json& extension : listed["extensions"]) {
        if (extension["path"].get<std::string>().starts_with(home_.path())) mine.push_back(extension);
    }
    ASSERT_EQ(mine.size(), 3u) << listed.dump(2);
    // By type, then name: the pane without an Info.plist keeps its file name and its size.
    EXPECT_EQ(mine[0]["type"], "Preference Pane");
    EXPECT_EQ(mine[0]["name"], "Bare");
    EXPECT_TRUE(mine[0]["version"].is_null());
    EXPECT_EQ(mine[0]["fileSize"], 2048);
    EXPECT_EQ(mine[1]["type"], "QuickLook Plugin");
    EXPECT_EQ(mine[1]["bundleIdentifier"], "com.example.preview");
    EXPECT_EQ(mine[1]["name"], "Preview Plus");
    EXPECT_EQ(mine[1]["vendor"], "example");
    EXPECT_EQ(mine[1]["version"], "2.3");
    EXPECT_EQ(mine[1]["isSystemExtension"], false);
    EXPECT_EQ(mine[2]["type"], "Screen Saver");  // an unreadable Info.plist still lists the bundle
    EXPECT_EQ(mine[2]["name"], "Broken");

    auto text = run({"apps", "--extensions"});
    EXPECT_EQ(text.exitCode, 0);
    EXPECT_NE(text.standardOutput.find("  Type: QuickLook Plugin\n"), std::string::npos) << text.standardOutput;
    EXPECT_NE(text.standardOutput.find("  Bundle ID: com.example.preview\n"), std::string::npos);
}

}  // namespace
}  // namespace vt
