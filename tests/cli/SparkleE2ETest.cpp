// Two Sparkle applications in ~/Applications whose feeds and update file a loopback https
// server serves, AltTab's feed from the corpus: `vantreel scan` and `apps --json` show the
// pending release with its size, date, system and signature, and `vantreel download ID` puts
// a row's update file in ~/Downloads under the server's name. An update of a third, whose
// release is signed, is of the version shown and checked up to the code signature.
#include <gtest/gtest.h>

#include <filesystem>

#include "base/Files.hpp"
#include "support/Corpus.hpp"
#include "support/LoopbackServer.hpp"
#include "support/TempDir.hpp"
#include "support/VantreelProcess.hpp"
#include "updates/SparkleTestBundles.hpp"

namespace vt {
namespace {

// A bundle's Info.plist; `more` is added at the end of its dictionary.
std::string infoPlist(const std::string& identifier, const std::string& name, const std::string& version,
                      const std::string& build, const std::string& more) {
    return R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>CFBundleIdentifier</key><string>)" + identifier + "</string>\n<key>CFBundleName</key><string>" + name +
           "</string>\n<key>CFBundleShortVersionString</key><string>" + version +
           "</string>\n<key>CFBundleVersion</key><string>" + build + "</string>\n" + more + "</dict></plist>";
}

class SparkleE2ETest : public ::testing::Test {
protected:
    void SetUp() override {
        server_.setRoute("/alttab.xml", {.body = testing::corpusFile("appcasts/apps/alt-tab-macos.appcast.xml"),
                                         .contentType = "application/rss+xml"});
        file_.body = archive_;
        file_.contentType = "application/zip";
        file_.headers = {{"Content-Disposition", "attachment; filename*=UTF-8''Tool%20Box-2.0.zip"}};
        server_.setRoute("/get/latest", file_);
        server_.setRoute("/toolbox.xml", {.body = R"(<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle"><channel><title>Tool Box</title>
<item><title>2.0</title><pubDate>Mon, 02 Nov 2026 10:00:00 +0000</pubDate>
<sparkle:version>200</sparkle:version><sparkle:shortVersionString>2.0</sparkle:shortVersionString>
<enclosure url=")" + server_.url("/get/latest") + R"(" length="50000" type="application/octet-stream"/></item>
</channel></rss>)",
                                          .contentType = "application/rss+xml"});
        testing::showOnly(home_.path(), {"ShowInstalledApplications", "ShowSparkle"});
        home_.write("Applications/AltTab.app/Contents/Info.plist",
                    infoPlist("com.lwouis.alt-tab-macos", "AltTab", "10.0.0", "10.0.0",
                              "<key>SUFeedURL</key><string>" + server_.url("/alttab.xml") +
                                  "</string>\n<key>SUPublicEDKey</key><string>2e9SQOBoaKElchSa/4QDli/nvYkyuDNfynfzBF6vJK4="
                                  "</string>\n"));
        home_.makeFolder("Applications/AltTab.app/Contents/Frameworks/Sparkle.framework");
        home_.write("Applications/Tool Box.app/Contents/Info.plist",
                    infoPlist("org.example.toolbox", "Tool Box", "1.0", "100",
                              "<key>SUFeedURL</key><string>" + server_.url("/toolbox.xml") + "</string>\n"));
        home_.makeFolder("Applications/Tool Box.app/Contents/Frameworks/Sparkle.framework");
    }

    ShellCommandResult run(std::vector<std::string> arguments) const {
        return testing::runVantreel({std::move(arguments), home_.path(), {{"CURL_CA_BUNDLE", server_.certificatePath()}}});
    }

    testing::LoopbackServer server_{testing::LoopbackServer::Options{.workerThreads = 4, .tls = true}};
    const std::string archive_ = std::string(50000, 'z');
    testing::LoopbackRoute file_;
    testing::TempDir home_{"vt-sparkle-e2e"};
};

TEST_F(SparkleE2ETest, PendingReleasesAreShownWithSizeDateSystemAndSignatureAndTheirFileIsDownloaded) {
    auto scan = run({"--accept-terms", "scan"});
    ASSERT_EQ(scan.exitCode, 0) << scan.standardError;
    EXPECT_NE(scan.standardOutput.find("11.4.3"), std::string::npos)
        << scan.standardOutput << readFile(testing::logFile(home_.path())).value_or("");
    EXPECT_NE(scan.standardOutput.find("Sparkle"), std::string::npos);
    EXPECT_NE(scan.standardOutput.find("8.2 MB · 2026-"), std::string::npos);
    EXPECT_NE(scan.standardOutput.find("macOS 10.13+ · EdDSA (Sparkle 2.0)"), std::string::npos);
    EXPECT_EQ(server_.requestCount("/alttab.xml"), 1u);
    EXPECT_TRUE(readFile(testing::dataFolder(home_.path()) + "/ScanResults/sparkle_apps.json"));

    auto apps = run({"apps", "--json"});
    Json app;
    const Json listed = testing::jsonOf(apps);
    for (const Json& entry : listed["applications"]) app = entry["name"] == "AltTab" ? entry : app;
    EXPECT_EQ(app["latestVersion"], "11.4.3") << apps.standardOutput;
    EXPECT_EQ(app["sparkle"]["feedURL"], server_.url("/alttab.xml"));
    EXPECT_EQ(app["sparkle"]["downloadURL"],
              "https://github.com/lwouis/alt-tab-macos/releases/download/v11.4.3/AltTab-11.4.3.zip");
    EXPECT_EQ(app["sparkle"]["fileSize"], 8220783);
    EXPECT_EQ(app["sparkle"]["minimumSystemVersion"], "10.13");
    EXPECT_EQ(app["sparkle"]["signatureKind"], "EdDSA (Sparkle 2.0)");
    EXPECT_TRUE(app["sparkle"]["publishDate"].is_string());

    std::string id;
    const Json table = testing::jsonOf(run({"list", "--json"}));
    for (const Json& row : table["rows"]) id = row["name"] == "Tool Box" ? row["id"].get<std::string>() : id;
    ASSERT_FALSE(id.empty()) << table.dump();
    const ShellCommandResult planned = run({"--accept-terms", "download", id, "--dry-run", "--json"});
    EXPECT_EQ(testing::schemaViolations("download.schema.json", planned.standardOutput), "") << planned.standardOutput;
    Json plan = testing::jsonOf(planned);
    EXPECT_EQ(plan["schemaVersion"], 1);
    EXPECT_EQ(plan["id"], id);
    auto fetched = run({"--accept-terms", "download", id, "--json"});
    ASSERT_EQ(fetched.exitCode, 0) << fetched.standardOutput << fetched.standardError;
    EXPECT_EQ(testing::schemaViolations("download.schema.json", fetched.standardOutput), "") << fetched.standardOutput;
    const std::string downloaded = home_.path() + "/Downloads/Tool Box-2.0.zip";
    Json report = testing::jsonOf(fetched);
    EXPECT_EQ(report["path"], downloaded);
    EXPECT_EQ(report["version"], "2.0");
    EXPECT_FALSE(report.contains("install"));
    EXPECT_EQ(readFile(downloaded), archive_);

    // Asked again, the file already there is the answer: nothing is fetched twice.
    const std::size_t fetchedBefore = server_.requestCount("/get/latest");
    ASSERT_EQ(run({"settings", "set", "ManualUpdateMode", "downloadAndInstall"}).exitCode, 0);
    auto again = run({"--accept-terms", "download", "Tool Box"});
    ASSERT_EQ(again.exitCode, 0) << again.standardError;
    EXPECT_NE(again.standardOutput.find(downloaded), std::string::npos) << again.standardOutput;
    EXPECT_EQ(server_.requestCount("/get/latest"), fetchedBefore);
    // Asked to install as well, it names the command that installs; plain lines off a terminal.
    EXPECT_NE(again.standardOutput.find("vantreel update " + id), std::string::npos) << again.standardOutput;
    std::filesystem::remove(downloaded);
    auto anew = run({"--accept-terms", "download", "Tool Box"});
    ASSERT_EQ(anew.exitCode, 0) << anew.standardError;
    EXPECT_NE(anew.standardError.find("Downloading… 100 %"), std::string::npos) << anew.standardError;

    std::filesystem::remove(downloaded);
    server_.setRoute("/get/latest", testing::LoopbackRoute{.status = 500});
    auto failed = run({"--accept-terms", "download", id});
    EXPECT_EQ(failed.exitCode, 1);
    EXPECT_NE(failed.standardError.find("HTTP error 500"), std::string::npos) << failed.standardError;

    // The release moved to plain http, where anyone on the way could change it: not fetched.
    testing::LoopbackServer plain(testing::LoopbackServer::Options{.workerThreads = 32});
    plain.setRoute("/toolbox.zip", file_);
    server_.setRoute("/get/latest", testing::LoopbackRoute{.redirectTo = plain.url("/toolbox.zip")});
    auto downgraded = run({"--accept-terms", "download", id});
    EXPECT_EQ(downgraded.exitCode, 1);
    EXPECT_NE(downgraded.standardError.find("Refused a redirect from https to plain http: " + plain.url("/toolbox.zip")),
              std::string::npos)
        << downgraded.standardError;
    EXPECT_EQ(plain.requestCount("/toolbox.zip"), 0u);
    EXPECT_FALSE(std::filesystem::exists(downloaded));
    EXPECT_FALSE(std::filesystem::exists(home_.path() + "/Downloads/toolbox.zip"));
    EXPECT_EQ(run({"--accept-terms", "download", "no-such-item"}).exitCode, 2);
}

// `vantreel update` on a signed release: the one the plan showed, downloaded and checked up to
// the code signature.
TEST_F(SparkleE2ETest, AnUpdateIsOfTheReleaseShownAndCheckedUpToTheCodeSignature) {
    if (std::filesystem::exists("/usr/bin/codesign")) GTEST_SKIP() << "a system that checks code signatures";
    testing::TempDir staging;
    testing::KeyPair key;
    testing::writeBundle(staging.path() + "/Foo.app", {.version = "2.0"});
    const std::string archive = testing::zipFolder(staging.path());
    server_.setRoute("/Foo.zip", {.body = archive, .contentType = "application/octet-stream"});
    // The feed offering `version` in the archive above.
    auto publish = [&](const std::string& version) {
        server_.setRoute("/appcast.xml", {.body = testing::oneReleaseAppcast(version, server_.url("/Foo.zip"), archive,
                                                                             key.sign(archive)),
                                          .contentType = "application/rss+xml"});
    };
    publish("2.0");
    const std::string bundle = home_.path() + "/Applications/Foo.app";
    testing::writeSparkleBundle(bundle, "1.0", server_.url("/appcast.xml"), key.publicBase64());
    const std::string installedPlist = *readFile(bundle + "/Contents/Info.plist");
    auto scan = run({"--accept-terms", "scan"});
    ASSERT_EQ(scan.exitCode, 0) << scan.standardError;
    // A feed that moved since the plan was shown is not followed: the plan said 2.0.
    publish("2.1");
    auto moved = run({"update", "--yes", "app:com.example.foo"});
    EXPECT_EQ(moved.exitCode, 1) << moved.standardOutput << moved.standardError;
    EXPECT_NE(moved.standardOutput.find("now offers 2.1 rather than the 2.0 shown"), std::string::npos)
        << moved.standardOutput;
    EXPECT_EQ(server_.requestCount("/Foo.zip"), 0u);
    publish("2.0");
    auto update = run({"update", "--yes", "app:com.example.foo"});
    // Download, Ed25519 check, unpacking, identifier, version, processors and trust all pass;
    // without codesign the new bundle's code signature cannot be checked, so nothing is replaced.
    EXPECT_EQ(update.exitCode, 1) << update.standardOutput << update.standardError;
    EXPECT_NE(update.standardOutput.find("cannot be verified on this system: codesign is missing"),
              std::string::npos)
        << update.standardOutput << update.standardError
        << readFile(testing::logFile(home_.path())).value_or("");
    EXPECT_NE(update.standardError.find("Checking the new version"), std::string::npos) << update.standardError;
    EXPECT_EQ(server_.requestCount("/Foo.zip"), 1u);
    EXPECT_EQ(*readFile(bundle + "/Contents/Info.plist"), installedPlist);
}

}  // namespace
}  // namespace vt
