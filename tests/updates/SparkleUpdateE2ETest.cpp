// `vantreel update ID` on a Sparkle application in ~/Applications whose appcast and signed
// enclosure a loopback https server answers: the release installed is the one the plan showed.
#include <gtest/gtest.h>

#include <filesystem>

#include "base/Files.hpp"
#include "support/LoopbackServer.hpp"
#include "support/TempDir.hpp"
#include "support/VantreelProcess.hpp"
#include "updates/SparkleTestBundles.hpp"

namespace vt {
namespace {

TEST(SparkleUpdateE2ETest, ASparkleRowIsDownloadedVerifiedAndCheckedUpToTheCodeSignature) {
    if (std::filesystem::exists("/usr/bin/codesign")) GTEST_SKIP() << "a system that checks code signatures";
    testing::LoopbackServer server(testing::LoopbackServer::Options{.workerThreads = 4, .tls = true});
    testing::TempDir home("vt-sparkle-update-e2e");
    testing::TempDir staging;
    testing::KeyPair key;
    testing::writeBundle(staging.path() + "/Foo.app", {.version = "2.0"});
    const std::string archive = testing::zipFolder(staging.path());
    server.setRoute("/Foo.zip", {.body = archive, .contentType = "application/octet-stream"});
    // The feed offering `version` in the archive above.
    auto publish = [&](const std::string& version) {
        server.setRoute("/appcast.xml", {.body = testing::oneReleaseAppcast(version, server.url("/Foo.zip"), archive,
                                                                            key.sign(archive)),
                                         .contentType = "application/rss+xml"});
    };
    publish("2.0");
    testing::showOnly(home.path(), {"ShowInstalledApplications", "ShowSparkle"});
    const std::string bundle = home.path() + "/Applications/Foo.app";
    testing::writeSparkleBundle(bundle, "1.0", server.url("/appcast.xml"), key.publicBase64());
    const std::string installedPlist = *readFile(bundle + "/Contents/Info.plist");
    const std::map<std::string, std::string> trust{{"CURL_CA_BUNDLE", server.certificatePath()}};

    auto scan = testing::runVantreel({{"--accept-terms", "scan"}, home.path(), trust});
    ASSERT_EQ(scan.exitCode, 0) << scan.standardError;
    // A feed that moved since the plan was shown is not followed: the plan said 2.0.
    publish("2.1");
    auto moved = testing::runVantreel({{"update", "--yes", "app:com.example.foo"}, home.path(), trust});
    EXPECT_EQ(moved.exitCode, 1) << moved.standardOutput << moved.standardError;
    EXPECT_NE(moved.standardOutput.find("now offers 2.1 rather than the 2.0 shown"), std::string::npos)
        << moved.standardOutput;
    EXPECT_EQ(server.requestCount("/Foo.zip"), 0u);
    publish("2.0");
    auto update = testing::runVantreel({{"update", "--yes", "app:com.example.foo"}, home.path(), trust});
    // Download, Ed25519 check, unpacking, identifier, version, processors and trust all pass;
    // without codesign the new bundle's code signature cannot be checked, so nothing is replaced.
    EXPECT_EQ(update.exitCode, 1) << update.standardOutput << update.standardError;
    EXPECT_NE(update.standardOutput.find("cannot be verified on this system: codesign is missing"),
              std::string::npos)
        << update.standardOutput << update.standardError
        << readFile(testing::logFile(home.path())).value_or("");
    EXPECT_NE(update.standardError.find("Checking the new version"), std::string::npos) << update.standardError;
    EXPECT_EQ(server.requestCount("/Foo.zip"), 1u);
    EXPECT_EQ(*readFile(bundle + "/Contents/Info.plist"), installedPlist);
}

}  // namespace
}  // namespace vt
