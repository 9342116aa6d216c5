// `vantreel download ID` over a Sparkle application whose feed and update file a loopback
// https server serves: the file lands in ~/Downloads under the server's name.
#include <gtest/gtest.h>

#include <filesystem>

#include "base/Files.hpp"
#include "support/LoopbackServer.hpp"
#include "support/TempDir.hpp"
#include "support/VantreelProcess.hpp"

namespace vt {
namespace {

TEST(DownloadE2ETest, ARowsUpdateFileIsDownloadedWhereTheUserKeepsDownloadsAndInstallingIsNamed) {
    testing::LoopbackServer server(testing::LoopbackServer::Options{.workerThreads = 4, .tls = true});
    const std::string archive(50000, 'z');
    testing::LoopbackRoute file;
    file.body = archive;
    file.contentType = "application/zip";
    file.headers = {{"Content-Disposition", "attachment; filename*=UTF-8''Tool%20Box-2.0.zip"}};
    server.setRoute("/get/latest", file);
    testing::LoopbackRoute feed;
    feed.contentType = "application/rss+xml";
    feed.body = R"(<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle"><channel><title>Tool Box</title>
<item><title>2.0</title><pubDate>Mon, 02 Nov 2026 10:00:00 +0000</pubDate>
<sparkle:version>200</sparkle:version><sparkle:shortVersionString>2.0</sparkle:shortVersionString>
<enclosure url=")" + server.url("/get/latest") + R"(" length="50000" type="application/octet-stream"/></item>
</channel></rss>)";
    server.setRoute("/appcast.xml", feed);
    testing::TempDir home("vt-download-e2e");
    testing::showOnly(home.path(), {"ShowInstalledApplications", "ShowSparkle"});
    home.write("Applications/Tool Box.app/Contents/Info.plist", R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>CFBundleIdentifier</key><string>org.example.toolbox</string>
<key>CFBundleName</key><string>Tool Box</string>
<key>CFBundleShortVersionString</key><string>1.0</string>
<key>CFBundleVersion</key><string>100</string>
<key>SUFeedURL</key><string>)" + server.url("/appcast.xml") + R"(</string>
</dict></plist>)");
    home.makeFolder("Applications/Tool Box.app/Contents/Frameworks/Sparkle.framework");
    const std::map<std::string, std::string> trust{{"CURL_CA_BUNDLE", server.certificatePath()}};
    auto scan = testing::runVantreel({{"--accept-terms", "scan"}, home.path(), trust});
    ASSERT_EQ(scan.exitCode, 0) << scan.standardError;

    auto listed = testing::runVantreel({{"list", "--json"}, home.path(), {}});
    std::string id;
    const Json table = testing::jsonOf(listed);
    for (const Json& row : table["rows"]) {
        if (row["name"] == "Tool Box") id = row["id"].get<std::string>();
    }
    ASSERT_FALSE(id.empty()) << listed.standardOutput;

    Json plan = testing::jsonOf(testing::runVantreel({{"--accept-terms", "download", id, "--dry-run", "--json"}, home.path(), trust}));
    EXPECT_EQ(plan["schemaVersion"], 1);
    EXPECT_EQ(plan["id"], id);
    auto fetched = testing::runVantreel({{"--accept-terms", "download", id, "--json"}, home.path(), trust});
    ASSERT_EQ(fetched.exitCode, 0) << fetched.standardOutput << fetched.standardError;
    Json report = testing::jsonOf(fetched);
    EXPECT_EQ(report["path"], home.path() + "/Downloads/Tool Box-2.0.zip");
    EXPECT_EQ(report["version"], "2.0");
    EXPECT_FALSE(report.contains("install"));
    EXPECT_EQ(readFile(home.path() + "/Downloads/Tool Box-2.0.zip"), archive);

    // Asked again, the file already there is the answer: nothing is fetched twice.
    const std::size_t fetchedBefore = server.requestCount("/get/latest");
    auto set = testing::runVantreel({{"settings", "set", "ManualUpdateMode", "downloadAndInstall"}, home.path(), {}});
    ASSERT_EQ(set.exitCode, 0) << set.standardError;
    auto again = testing::runVantreel({{"--accept-terms", "download", "Tool Box"}, home.path(), trust});
    ASSERT_EQ(again.exitCode, 0) << again.standardError;
    EXPECT_NE(again.standardOutput.find(home.path() + "/Downloads/Tool Box-2.0.zip"), std::string::npos)
        << again.standardOutput;
    EXPECT_EQ(server.requestCount("/get/latest"), fetchedBefore);
    // Asked to install as well, it names the command that installs; plain lines off a terminal.
    EXPECT_NE(again.standardOutput.find("vantreel update " + id), std::string::npos) << again.standardOutput;
    std::filesystem::remove(home.path() + "/Downloads/Tool Box-2.0.zip");
    auto anew = testing::runVantreel({{"--accept-terms", "download", "Tool Box"}, home.path(), trust});
    ASSERT_EQ(anew.exitCode, 0) << anew.standardError;
    EXPECT_NE(anew.standardError.find("Downloading… 100 %"), std::string::npos) << anew.standardError;

    std::filesystem::remove(home.path() + "/Downloads/Tool Box-2.0.zip");
    server.setRoute("/get/latest", testing::LoopbackRoute{.status = 500});
    auto failed = testing::runVantreel({{"--accept-terms", "download", id}, home.path(), trust});
    EXPECT_EQ(failed.exitCode, 1);
    EXPECT_NE(failed.standardError.find("HTTP error 500"), std::string::npos) << failed.standardError;

    // The release moved to plain http, where anyone on the way could change it: not fetched.
    testing::LoopbackServer plain(testing::LoopbackServer::Options{.workerThreads = 32});
    plain.setRoute("/toolbox.zip", file);
    server.setRoute("/get/latest", testing::LoopbackRoute{.redirectTo = plain.url("/toolbox.zip")});
    auto downgraded = testing::runVantreel({{"--accept-terms", "download", id}, home.path(), trust});
    EXPECT_EQ(downgraded.exitCode, 1);
    EXPECT_NE(downgraded.standardError.find("Refused a redirect from https to plain http: " + plain.url("/toolbox.zip")),
              std::string::npos)
        << downgraded.standardError;
    EXPECT_EQ(plain.requestCount("/toolbox.zip"), 0u);
    EXPECT_FALSE(std::filesystem::exists(home.path() + "/Downloads/Tool Box-2.0.zip"));
    EXPECT_FALSE(std::filesystem::exists(home.path() + "/Downloads/toolbox.zip"));
    EXPECT_EQ(testing::runVantreel({{"--accept-terms", "download", "no-such-item"}, home.path(), {}}).exitCode, 2);
}

}  // namespace
}  // namespace vt
