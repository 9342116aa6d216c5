// An application published on GitHub (a loopback https server stands for the API and the
// release assets) in a sandbox ~/Applications, scanned at 1.0 with 1.1 offered, with signing
// tools that accept: `vantreel update` installs it, and with `update --all` installs only what
// is newer than the bundle on disk now, never replaces a running application under itself, and
// never installs a file that is not the one the release published. The GitHub token verb, too.
#include <gtest/gtest.h>

#include <filesystem>

#include "base/Files.hpp"
#include "base/Json.hpp"
#include "support/AppImageBuilder.hpp"
#include "support/Eventually.hpp"
#include "support/FolderSnapshot.hpp"
#include "support/LoopbackServer.hpp"
#include "support/Sleeper.hpp"
#include "support/TempDir.hpp"
#include "support/VantreelProcess.hpp"
#include "system/RunningProcesses.hpp"
#include "updates/FakeSigningTools.hpp"
#include "updates/TestArchives.hpp"

namespace vt {
namespace {

using test::FakeSigningTools;
using testing::folderSnapshot;

constexpr const char* kAssetPath = "/someone/tool/releases/download/v1.1/Tool-1.1-mac.zip";

class ApplicationUpdatesE2ETest : public ::testing::Test {
protected:
    void SetUp() override {
        testing::showOnly(home_.path(), {"ShowInstalledApplications", "ShowGitHub"});
        FakeSigningTools::makeBundle(bundle_, "1.0");
        home_.write("Applications/Tool.app/Contents/Resources/app-update.yml",
                    "provider: github\nowner: someone\nrepo: tool\n");
        test::writeArchive(work_.file("Tool.zip"), test::Format::Zip,
                           {{"Tool.app/Contents/Info.plist", FakeSigningTools::infoPlist("1.1")},
                            {"Tool.app/Contents/MacOS/Foo", "#!/bin/sh\necho 1.1\n", "", "", 0755}});
        testing::LoopbackRoute asset;
        asset.body = readFile(work_.file("Tool.zip")).value_or("");
        asset.contentType = "application/zip";
        server_.setRoute(kAssetPath, asset);
    }

    // Release v1.1 with the digest it gives for its asset (the asset's own SHA-256 by default).
    void publish(std::optional<std::string> digest = std::nullopt) {
        if (!digest) digest = testing::sha256Of(work_.file("Tool.zip"));
        testing::LoopbackRoute latest;
        latest.body = R"({"tag_name": "v1.1", "html_url": "https://example.test", "assets": [
            {"name": "Tool-1.1-mac.zip", "digest": "sha256:)" + *digest + R"(", "browser_download_url": ")" +
                      server_.url(kAssetPath) + R"("}]})";
        server_.setRoute("/repos/someone/tool/releases/latest", latest);
        ASSERT_EQ(run({"scan"}).exitCode, 0);
    }

    ShellCommandResult run(std::vector<std::string> arguments, std::optional<std::string> input = std::nullopt,
                           std::map<std::string, std::string> environment = {}) const {
        arguments.insert(arguments.begin(), "--accept-terms");
        environment.merge(fake_.environment());
        environment["VANTREEL_ENDPOINT_GITHUB_API"] = server_.origin();
        environment["CURL_CA_BUNDLE"] = server_.certificatePath();
        return testing::runVantreel({std::move(arguments), home_.path(), environment, std::move(input)});
    }

    testing::TempDir home_{"vt-app-updates-e2e"};
    testing::TempDir work_;
    const std::string bundle_ = home_.file("Applications/Tool.app");
    testing::LoopbackServer server_{testing::LoopbackServer::Options{.workerThreads = 32, .tls = true}};
    FakeSigningTools fake_;
};

// The release installed, its signature checked; the saved inventory says what is installed
// now: nothing is offered before the next scan.
TEST_F(ApplicationUpdatesE2ETest, AnUpdateInstallsTheReleaseAndTheListSaysSo) {
    publish();
    auto update = run({"update", "--yes", "org.example.foo"});
    ASSERT_EQ(update.exitCode, 0) << update.standardOutput << update.standardError;
    EXPECT_NE(update.standardError.find("Verifying the signature..."), std::string::npos) << update.standardError;
    EXPECT_NE(update.standardError.find("Installation completed successfully"), std::string::npos);
    EXPECT_EQ(readFile(bundle_ + "/Contents/MacOS/Foo"), "#!/bin/sh\necho 1.1\n");
    EXPECT_NE(fake_.calls().find("codesign --verify --deep --strict "), std::string::npos);
    EXPECT_EQ(server_.requestCount(kAssetPath), 1u);
    Json listed = testing::itemsByKey(testing::jsonOf(run({"list", "--all", "--json"})))["application:" + bundle_];
    EXPECT_EQ(listed["version"], "1.1") << listed.dump();
    EXPECT_EQ(listed["updateAvailable"], false);
}

TEST_F(ApplicationUpdatesE2ETest, AnUpdateNeverGoesBehindTheBundleInstalledNow) {
    publish();
    FakeSigningTools::makeBundle(bundle_, "1.2");  // updated by other means since the scan
    const auto before = folderSnapshot(bundle_);

    auto batch = run({"update", "--all", "--yes", "--json"});
    EXPECT_EQ(batch.exitCode, 1) << batch.standardOutput << batch.standardError;
    Json results = testing::jsonOf(batch)["results"];
    ASSERT_EQ(results.size(), 1u) << batch.standardOutput;
    EXPECT_EQ(results[0]["success"], false);
    EXPECT_NE(results[0]["error"].get<std::string>().find("1.2 is installed now and 1.1 is not newer"), std::string::npos)
        << results.dump();
    auto single = run({"update", "org.example.foo", "--yes"});
    EXPECT_EQ(single.exitCode, 1);
    EXPECT_NE(single.standardOutput.find("nothing was changed"), std::string::npos) << single.standardOutput;

    EXPECT_EQ(folderSnapshot(bundle_), before);
    EXPECT_EQ(server_.requestCount(kAssetPath), 0u);
    EXPECT_EQ(fake_.calls(), "");
}

TEST_F(ApplicationUpdatesE2ETest, ARunningApplicationIsLeftOutOfTheBatchAndNeverReplacedUnderItself) {
    publish();
    std::filesystem::copy_file("/bin/sleep", bundle_ + "/Contents/MacOS/Helper");
    testing::Sleeper running(bundle_ + "/Contents/MacOS/Helper");
    ASSERT_TRUE(testing::eventually([&] { return !processesInside(bundle_).empty(); }));
    const auto before = folderSnapshot(bundle_);

    auto plan = run({"update", "--all", "--dry-run", "--json"});
    ASSERT_EQ(plan.exitCode, 0) << plan.standardError;
    Json planned = testing::jsonOf(plan);
    EXPECT_TRUE(planned["steps"].empty()) << plan.standardOutput;
    ASSERT_EQ(planned["leftOut"].size(), 1u) << plan.standardOutput;
    EXPECT_EQ(planned["leftOut"][0]["reason"], "the app is running (Helper)");
    EXPECT_EQ(run({"update", "--all", "--yes"}).exitCode, 0);

    // Asked for by name without a terminal to consent on, it is refused.
    auto single = run({"update", "org.example.foo", "--yes"});
    EXPECT_EQ(single.exitCode, 1);
    EXPECT_NE(single.standardOutput.find("Tool is running; quit it and update again"), std::string::npos)
        << single.standardOutput;
    // With the exclusion switched off, the batch tries it and still does not replace it.
    ASSERT_EQ(run({"settings", "set", "Exclude_RunningApps", "false"}).exitCode, 0);
    auto batch = run({"update", "--all", "--yes", "--json"});
    EXPECT_EQ(batch.exitCode, 1);
    EXPECT_EQ(testing::jsonOf(batch)["results"][0]["success"], false);

    EXPECT_EQ(folderSnapshot(bundle_), before);
    EXPECT_TRUE(processesInside(bundle_).size() == 1u);
}

// A download to install whose address is looked up now: a publisher that has moved on past
// the version shown is not followed, and nothing is fetched or replaced.
TEST_F(ApplicationUpdatesE2ETest, ADownloadLookedUpNowInstallsOnlyTheVersionShown) {
    publish();
    const std::string saved = testing::dataFolder(home_.path()) + "/ScanResults/applications.json";
    Json applications = *parseJson(readFile(saved).value_or(""));
    applications[0].erase("downloadURL");
    applications[0]["directDownloadConfig"] = {{"provider", "homebrewCask"}, {"productCode", "tool"}};
    writeFileAtomically(saved, applications.dump());
    const std::string newer = "/downloads/Tool-1.2.zip";
    test::writeArchive(work_.file("Newer.zip"), test::Format::Zip,
                       {{"Tool.app/Contents/Info.plist", FakeSigningTools::infoPlist("1.2")}});
    server_.setRoute(newer, {.body = readFile(work_.file("Newer.zip")).value_or("")});
    server_.setRoute("/api/cask/tool.json", {.body = R"({"version": "1.2", "url": ")" + server_.url(newer) + R"("})"});
    ASSERT_EQ(run({"settings", "set", "ManualUpdateMode", "downloadAndInstall"}).exitCode, 0);
    const auto before = folderSnapshot(bundle_);

    auto download =
        run({"download", "org.example.foo", "--yes"}, std::nullopt, {{"VANTREEL_ENDPOINT_HOMEBREW_API", server_.origin()}});
    EXPECT_EQ(download.exitCode, 1) << download.standardOutput << download.standardError;
    EXPECT_NE(download.standardError.find("the publisher now offers version 1.2, not the version shown (1.1)"),
              std::string::npos)
        << download.standardError;
    EXPECT_EQ(server_.requestCount("/api/cask/tool.json"), 1u);
    EXPECT_EQ(server_.requestCount(newer), 0u);
    EXPECT_EQ(folderSnapshot(bundle_), before);

    // It names the version shown, but its file holds another: kept, not installed, a failure.
    server_.setRoute("/api/cask/tool.json", {.body = R"({"version": "1.1", "url": ")" + server_.url(newer) + R"("})"});
    auto mismatched =
        run({"download", "org.example.foo", "--yes"}, std::nullopt, {{"VANTREEL_ENDPOINT_HOMEBREW_API", server_.origin()}});
    EXPECT_EQ(mismatched.exitCode, 1) << mismatched.standardOutput << mismatched.standardError;
    EXPECT_GE(server_.requestCount(newer), 1u);
    EXPECT_EQ(folderSnapshot(bundle_), before);
}

TEST_F(ApplicationUpdatesE2ETest, AFileThatIsNotTheOneTheReleasePublishedIsNeverInstalled) {
    publish(std::string(64, '0'));
    const auto before = folderSnapshot(bundle_);
    auto update = run({"update", "org.example.foo", "--yes"});
    EXPECT_EQ(update.exitCode, 1);
    EXPECT_NE(update.standardOutput.find("The downloaded file failed its integrity check."),
              std::string::npos)
        << update.standardOutput;
    EXPECT_EQ(server_.requestCount(kAssetPath), 1u);
    EXPECT_EQ(fake_.calls(), "") << "nothing was unpacked to be checked";
    EXPECT_EQ(folderSnapshot(bundle_), before);
}

// The release's assets and a used-up rate limit: the scan hints at a token, which is taken
// from standard input, sent, and kept in its own file only.
TEST_F(ApplicationUpdatesE2ETest, TheTokenComesFromStandardInputAndStaysInItsOwnFile) {
    testing::LoopbackRoute latest;
    latest.body = R"({"tag_name": "tool-v1.3.0", "html_url": "https://example.test", "assets": [
        {"name": "Tool-1.3.0-linux-arm64.zip", "browser_download_url": "https://downloads.test/linux.zip"},
        {"name": "Tool-1.3.0-universal.dmg", "browser_download_url": "https://downloads.test/universal.dmg"}]})";
    latest.headers = {{"X-RateLimit-Remaining", "0"}, {"X-RateLimit-Reset", "1658208999"}};
    server_.setRoute("/repos/someone/tool/releases/latest", latest);
    const std::string token = "ghp_e2eSECRET0987654321";

    // Without a token the used-up rate limit prints the hint.
    auto scan = run({"scan", "--json"});
    ASSERT_EQ(scan.exitCode, 0) << scan.standardError;
    EXPECT_NE(scan.standardError.find("vantreel settings github-token set"), std::string::npos) << scan.standardError;

    EXPECT_EQ(run({"settings", "github-token", "set"}, "").exitCode, 2);
    EXPECT_EQ(run({"settings", "github-token", "set"}, "ghp_\x1b[2Jx\n").exitCode, 2);  // it would go into a header
    EXPECT_EQ(run({"settings", "github-token", "set"}, token + "\nsecond line\n").exitCode, 2);  // not the token alone
    auto saved = run({"settings", "github-token", "set"}, token + "\n");
    ASSERT_EQ(saved.exitCode, 0) << saved.standardError;
    std::filesystem::remove_all(testing::dataFolder(home_.path()) + "/update_cache.json");
    scan = run({"scan", "--json"});
    ASSERT_EQ(scan.exitCode, 0) << scan.standardError;
    EXPECT_EQ(server_.requests().back().headers.get("Authorization"), "Bearer " + token);
    EXPECT_EQ(scan.standardError.find("github-token"), std::string::npos);
    Json item = testing::itemsByKey(testing::jsonOf(scan))["application:" + bundle_];
    EXPECT_EQ(item["updateAvailable"], true) << scan.standardOutput;
    EXPECT_EQ(item["latestVersion"], "1.3.0");
    EXPECT_EQ(item["downloadURL"], "https://downloads.test/universal.dmg");
    const Json listed = testing::jsonOf(run({"apps", "--json"}));
    ASSERT_EQ(listed["applications"].size(), 1u) << listed.dump();
    EXPECT_EQ(listed["applications"][0]["resolutionSource"], "github");

    // The token is in its own file only, never in a log, cache or result file.
    std::size_t holding = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(home_.path())) {
        if (!entry.is_regular_file()) continue;
        if (readFile(entry.path().string()).value_or("").find(token) == std::string::npos) continue;
        ++holding;
        EXPECT_EQ(entry.path().filename(), "github-token");
    }
    EXPECT_EQ(holding, 1u);
    EXPECT_EQ(run({"settings", "github-token", "clear"}).exitCode, 0);
    EXPECT_FALSE(std::filesystem::exists(home_.file(".config/vantreel/secrets/github-token")));
}

}  // namespace
}  // namespace vt
