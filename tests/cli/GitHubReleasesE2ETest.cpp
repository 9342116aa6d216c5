// A GitHub-published application in ~/Applications, its releases on a loopback server: the
// token verb, the scan and the list.
#include <gtest/gtest.h>

#include <filesystem>

#include "base/Files.hpp"
#include "base/Json.hpp"
#include "support/LoopbackServer.hpp"
#include "support/TempDir.hpp"
#include "support/VantreelProcess.hpp"

namespace vt {
namespace {

TEST(GitHubReleasesE2E, TokenFromStandardInputAndThePendingUpdateWithItsAsset) {
    testing::TempDir home("vt-github-e2e");
    testing::showOnly(home.path(), {"ShowInstalledApplications"});
    home.write("Applications/Tool.app/Contents/Info.plist", R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>CFBundleIdentifier</key><string>com.example.tool</string>
<key>CFBundleName</key><string>Tool</string>
<key>CFBundleShortVersionString</key><string>1.2.0</string>
</dict></plist>)");
    home.write("Applications/Tool.app/Contents/Resources/app-update.yml", "provider: github\nowner: someone\nrepo: tool\n");
    testing::LoopbackServer server;
    testing::LoopbackRoute latest;
    latest.body = R"({"tag_name": "tool-v1.3.0", "html_url": "https://example.test", "assets": [
        {"name": "Tool-1.3.0-linux-arm64.zip", "browser_download_url": "https://downloads.test/linux.zip"},
        {"name": "Tool-1.3.0-universal.dmg", "browser_download_url": "https://downloads.test/universal.dmg"}]})";
    latest.headers = {{"X-RateLimit-Remaining", "0"}, {"X-RateLimit-Reset", "1658208999"}};
    server.setRoute("/repos/someone/tool/releases/latest", latest);
    const std::string token = "ghp_e2eSECRET0987654321";
    auto run = [&](std::vector<std::string> arguments, std::optional<std::string> input = std::nullopt) {
        return testing::runVantreel({std::move(arguments), home.path(),
                                     {{"VANTREEL_ENDPOINT_GITHUB_API", server.origin()}}, std::move(input)});
    };

    // Without a token the used-up rate limit prints the hint.
    auto scan = run({"--accept-terms", "scan", "--json"});
    ASSERT_EQ(scan.exitCode, 0) << scan.standardError;
    EXPECT_NE(scan.standardError.find("vantreel settings github-token set"), std::string::npos) << scan.standardError;

    EXPECT_EQ(run({"settings", "github-token", "set"}, "").exitCode, 2);
    auto saved = run({"settings", "github-token", "set"}, token + "\n");
    ASSERT_EQ(saved.exitCode, 0) << saved.standardError;
    std::filesystem::remove_all(testing::dataFolder(home.path()) + "/update_cache.json");
    scan = run({"--accept-terms", "scan", "--json"});
    ASSERT_EQ(scan.exitCode, 0) << scan.standardError;
    EXPECT_EQ(server.requests().back().headers.get("Authorization"), "Bearer " + token);
    EXPECT_EQ(scan.standardError.find("github-token"), std::string::npos);
    std::string key = "application:";
    key += home.file("Applications/Tool.app");
    Json item = testing::itemsByKey(testing::jsonOf(scan))[key];
    EXPECT_EQ(item["updateAvailable"], true) << scan.standardOutput;
    EXPECT_EQ(item["downloadURL"], "https://downloads.test/universal.dmg");

    auto apps = run({"apps", "--json"});
    Json listed = testing::jsonOf(apps);
    ASSERT_EQ(listed["applications"].size(), 1u) << apps.standardOutput;
    Json tool = listed["applications"][0];
    EXPECT_EQ(tool["latestVersion"], "1.3.0") << apps.standardOutput;
    EXPECT_EQ(tool["downloadURL"], "https://downloads.test/universal.dmg");
    EXPECT_EQ(tool["resolutionSource"], "github");

    // The token is in its own file only, never in a log, cache or result file.
    std::size_t holding = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(home.path())) {
        if (!entry.is_regular_file()) continue;
        if (readFile(entry.path().string()).value_or("").find(token) == std::string::npos) continue;
        ++holding;
        EXPECT_EQ(entry.path().filename(), "github-token");
    }
    EXPECT_EQ(holding, 1u);
    EXPECT_EQ(run({"settings", "github-token", "clear"}).exitCode, 0);
    EXPECT_FALSE(std::filesystem::exists(home.file(".config/vantreel/secrets/github-token")));
}

}  // namespace
}  // namespace vt
