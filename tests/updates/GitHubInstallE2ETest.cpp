// A GitHub-published application in a sandbox ~/Applications, updated by `vantreel update`
// from a release on a loopback server, with signing tools that accept. (Without them nothing is
// installed: GitHubInstallerServiceIntegrationTest.)
#include <gtest/gtest.h>

#include "base/Files.hpp"
#include "base/Json.hpp"
#include "support/LoopbackServer.hpp"
#include "support/TempDir.hpp"
#include "support/VantreelProcess.hpp"
#include "updates/FakeSigningTools.hpp"
#include "updates/TestArchives.hpp"

namespace vt {
namespace {

using test::FakeSigningTools;

TEST(GitHubInstallE2E, UpdatesTheApplicationFromItsLatestRelease) {
    testing::TempDir home("vt-github-install-e2e");
    testing::TempDir work;
    testing::showOnly(home.path(), {"ShowInstalledApplications", "ShowGitHub"});
    const std::string bundle = home.file("Applications/Tool.app");
    FakeSigningTools::makeBundle(bundle, "1.2.0");
    home.write("Applications/Tool.app/Contents/Resources/app-update.yml", "provider: github\nowner: someone\nrepo: tool\n");

    testing::LoopbackServer server{testing::LoopbackServer::Options{.workerThreads = 32, .tls = true}};
    const std::string assetPath = "/someone/tool/releases/download/v1.3.0/Tool-1.3.0-mac.zip";
    test::writeArchive(work.file("Tool.zip"), test::Format::Zip,
                       {{"Tool.app/Contents/Info.plist", FakeSigningTools::infoPlist("1.3.0")},
                        {"Tool.app/Contents/MacOS/Foo", "#!/bin/sh\necho 1.3.0\n", "", "", 0755}});
    server.setRoute(assetPath, {.body = readFile(work.file("Tool.zip")).value_or(""), .contentType = "application/zip"});
    server.setRoute("/repos/someone/tool/releases/latest",
                    {.body = R"({"tag_name": "v1.3.0", "html_url": "https://example.test", "assets": [
        {"name": "Tool-1.3.0-mac.zip", "browser_download_url": ")" + server.url(assetPath) + R"("}]})"});

    FakeSigningTools fake;
    std::map<std::string, std::string> environment = fake.environment();
    environment["VANTREEL_ENDPOINT_GITHUB_API"] = server.origin();
    environment["CURL_CA_BUNDLE"] = server.certificatePath();
    auto run = [&](std::vector<std::string> arguments) {
        return testing::runVantreel({std::move(arguments), home.path(), environment, std::nullopt});
    };
    auto scan = run({"--accept-terms", "scan", "--json"});
    ASSERT_EQ(scan.exitCode, 0) << scan.standardError;
    ASSERT_NE(scan.standardOutput.find(server.url(assetPath)), std::string::npos) << scan.standardOutput;

    auto update = run({"--accept-terms", "update", "--yes", "org.example.foo"});
    ASSERT_EQ(update.exitCode, 0) << update.standardOutput << update.standardError;
    EXPECT_NE(update.standardError.find("Verifying the signature..."), std::string::npos) << update.standardError;
    EXPECT_NE(update.standardError.find("Installation completed successfully"), std::string::npos);
    EXPECT_EQ(readFile(bundle + "/Contents/MacOS/Foo"), "#!/bin/sh\necho 1.3.0\n");
    EXPECT_NE(fake.calls().find("codesign --verify --deep --strict "), std::string::npos);
    EXPECT_EQ(server.requestCount(assetPath), 1u);
    // The saved inventory says what is installed now: nothing is offered before the next scan.
    Json listed = testing::itemsByKey(testing::jsonOf(run({"list", "--all", "--json"})))["application:" + bundle];
    EXPECT_EQ(listed["version"], "1.3.0") << listed.dump();
    EXPECT_EQ(listed["updateAvailable"], false);
}

}  // namespace
}  // namespace vt
