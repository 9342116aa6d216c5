// `vantreel scan` and `vantreel apps --json` over a Sparkle application in ~/Applications
// whose feed a loopback https server answers from the corpus.
#include <gtest/gtest.h>

#include "base/Files.hpp"
#include "support/Corpus.hpp"
#include "support/LoopbackServer.hpp"
#include "support/TempDir.hpp"
#include "support/VantreelProcess.hpp"

namespace vt {
namespace {

TEST(SparkleE2ETest, PendingAppcastReleasesAreShownWithSizeDateSystemAndSignature) {
    testing::LoopbackServer server(testing::LoopbackServer::Options{.workerThreads = 4, .tls = true});
    testing::LoopbackRoute feed;
    feed.body = testing::corpusFile("appcasts/apps/alt-tab-macos.appcast.xml");
    feed.contentType = "application/rss+xml";
    server.setRoute("/appcast.xml", feed);
    testing::TempDir home("vt-sparkle-e2e");
    testing::showOnly(home.path(), {"ShowInstalledApplications", "ShowSparkle"});
    home.write("Applications/AltTab.app/Contents/Info.plist", R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>CFBundleIdentifier</key><string>com.lwouis.alt-tab-macos</string>
<key>CFBundleName</key><string>AltTab</string>
<key>CFBundleShortVersionString</key><string>10.0.0</string>
<key>CFBundleVersion</key><string>10.0.0</string>
<key>SUFeedURL</key><string>)" + server.url("/appcast.xml") + R"(</string>
<key>SUPublicEDKey</key><string>2e9SQOBoaKElchSa/4QDli/nvYkyuDNfynfzBF6vJK4=</string>
</dict></plist>)");
    home.makeFolder("Applications/AltTab.app/Contents/Frameworks/Sparkle.framework");
    const std::map<std::string, std::string> trust{{"CURL_CA_BUNDLE", server.certificatePath()}};

    auto scan = testing::runVantreel({{"--accept-terms", "scan"}, home.path(), trust});
    ASSERT_EQ(scan.exitCode, 0) << scan.standardError;
    EXPECT_NE(scan.standardOutput.find("11.4.3"), std::string::npos)
        << scan.standardOutput << readFile(testing::logFile(home.path())).value_or("");
    EXPECT_NE(scan.standardOutput.find("Sparkle"), std::string::npos);
    EXPECT_NE(scan.standardOutput.find("8.2 MB · 2026-"), std::string::npos);
    EXPECT_NE(scan.standardOutput.find("macOS 10.13+ · EdDSA (Sparkle 2.0)"), std::string::npos);
    EXPECT_EQ(server.requestCount("/appcast.xml"), 1u);

    auto apps = testing::runVantreel({{"apps", "--json"}, home.path(), {}});
    Json listed = testing::jsonOf(apps);
    ASSERT_EQ(listed["applications"].size(), 1u) << apps.standardOutput;
    const Json& app = listed["applications"][0];
    EXPECT_EQ(app["latestVersion"], "11.4.3");
    EXPECT_EQ(app["sparkle"]["feedURL"], server.url("/appcast.xml"));
    EXPECT_EQ(app["sparkle"]["downloadURL"],
              "https://github.com/lwouis/alt-tab-macos/releases/download/v11.4.3/AltTab-11.4.3.zip");
    EXPECT_EQ(app["sparkle"]["fileSize"], 8220783);
    EXPECT_EQ(app["sparkle"]["minimumSystemVersion"], "10.13");
    EXPECT_EQ(app["sparkle"]["signatureKind"], "EdDSA (Sparkle 2.0)");
    EXPECT_TRUE(app["sparkle"]["publishDate"].is_string());
    EXPECT_TRUE(readFile(testing::dataFolder(home.path()) + "/ScanResults/sparkle_apps.json"));
}

}  // namespace
}  // namespace vt
