// Sparkle applications made from the corpus's Info.plist files, their feeds served over https
// by a loopback server from the corpus's appcasts.
#include <gtest/gtest.h>

#include <chrono>

#include "base/Log.hpp"
#include "base/Strings.hpp"
#include "sources/sparkle/SparkleManager.hpp"
#include "support/Corpus.hpp"
#include "support/LoopbackServer.hpp"
#include "support/ScopedEnvironment.hpp"
#include "support/TempDir.hpp"
#include "system/SystemNetworkClient.hpp"

namespace vt {
namespace {

using testing::corpusFile;
using testing::LoopbackRoute;

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

class SparkleManagerTest : public ::testing::Test {
protected:
    SparkleManagerTest() {
        for (const char* feed : {"maccy.appcast.xml", "hexfiend.appcast.xml", "dockdoor.appcast.xml", "lunar.appcast2.xml"}) {
            route(std::string("/") + feed, corpusFile(std::string("appcasts/apps/") + feed));
        }
    }
    void route(const std::string& path, std::string body, int status = 200) {
        server_.setRoute(path, {.status = status, .body = std::move(body), .contentType = "application/xml"});
    }
    // A bundle from a corpus Info.plist: its feed pointed at the server, literal versions.
    std::string bundle(const std::string& name, const std::string& plist, const std::string& feedPath,
                       bool framework = true) {
        std::string text = corpusFile("plists/" + plist);
        for (const char* original : {"https://raw.githubusercontent.com/p0deje/Maccy/master/appcast.xml",
                                     "https://raw.githubusercontent.com/ridiculousfish/HexFiend/master/app/appcast.xml",
                                     "https://dockdoor.kepler.cafe/appcast.xml"}) {
            text = replaced(text, original, feedPath);
        }
        text = replaced(replaced(text, "$(MARKETING_VERSION)", "1.0"), "$(PRODUCT_BUNDLE_IDENTIFIER)", "test." + name);
        text = replaced(text, "$(PRODUCT_NAME)", name);
        std::string path = apps_.file(name + ".app");
        apps_.write(name + ".app/Contents/Info.plist", text);
        if (framework) apps_.makeFolder(name + ".app/Contents/Frameworks/Sparkle.framework");
        return path;
    }
    Application application(const std::string& path, const std::string& name) {
        return {.name = name, .bundlePath = path, .version = "1.0", .updateMechanism = UpdateMechanism::Sparkle};
    }

    testing::LoopbackServer server_{testing::LoopbackServer::Options{.workerThreads = 8, .tls = true}};
    testing::ScopedEnvironment noBundle_{"CURL_CA_BUNDLE", nullptr};
    testing::ScopedEnvironment trust_{"SSL_CERT_FILE", server_.certificatePath().c_str()};
    SystemNetworkClient client_;
    testing::TempDir apps_{"vt-sparkle"};
    SparkleManager manager_{[this] {
        SparkleManager::Options options;
        options.network = &client_;
        options.home = apps_.path();
        return options;
    }()};
};

TEST_F(SparkleManagerTest, FeedsOfBundlesHelpersAndResourcesAreFoundAndReadOverHttpsOnly) {
    LogCapture log;
    const std::string maccy = bundle("Maccy", "maccy.Info.plist", server_.url("/maccy.appcast.xml"), false);
    const std::string hex = bundle("Hex", "hexfiend.Info.plist", server_.url("/hexfiend.appcast.xml"));
    const std::string login = bundle("Login", "alt-tab-macos.Info.plist", "");
    apps_.write("Login.app/Contents/Library/LoginItems/Helper.app/Contents/Info.plist",
                replaced(corpusFile("plists/dockdoor.Info.plist"), "https://dockdoor.kepler.cafe/appcast.xml",
                         server_.url("/dockdoor.appcast.xml")));
    const std::string probed = bundle("Probed", "sparkle-2.9.1-Updater.app.Info.plist", "");
    apps_.write("Probed.app/Contents/Resources/Defaults.plist",
                "<plist><dict><key>SUFeedURL</key><string>" + server_.url("/lunar.appcast2.xml") +
                    "</string></dict></plist>");
    std::string plainFeed = replaced(server_.url("/maccy.appcast.xml"), "https:", "http:");
    const std::string plain = bundle("Plain", "maccy.Info.plist", plainFeed);
    bundle("Bad", "maccy.Info.plist", "not a url");
    const std::string none = bundle("None", "sparkle-2.6.4-framework.Info.plist", "", false);

    auto found = manager_.scan({maccy, hex, login, probed, plain, apps_.file("Bad.app"), none});
    EXPECT_EQ(found.size(), 6u);
    EXPECT_TRUE(log.contains("Inventory of Sparkle done: 6"));
    EXPECT_EQ(manager_.invalidFeedURLCount(), 1);

    auto result = manager_.check(application(maccy, "Maccy"));
    ASSERT_TRUE(result);
    EXPECT_EQ(result->latestVersion, "2.7.1");
    EXPECT_EQ(result->latestBuildNumber, "62");
    EXPECT_EQ(result->downloadURL, "https://github.com/p0deje/Maccy/releases/download/2.7.1/Maccy.app.zip");
    EXPECT_EQ(result->resolutionSource, AppRulePrimarySource::Sparkle);
    EXPECT_TRUE(log.contains("Sparkle: Maccy installed: 1.0, latest: 2.7.1 (0 bytes, unsigned)"));
    auto requests = server_.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].headers.get("Accept"), "application/rss+xml, application/xml, text/xml, */*");
    EXPECT_EQ(requests[0].headers.get("User-Agent"), "Vantreel");

    EXPECT_TRUE(manager_.check(application(hex, "Hex")));
    EXPECT_TRUE(log.contains("Sparkle: Hex installed: 1.0, latest: 2.18.1 (unknown, DSA (Sparkle 1.x))"));
    EXPECT_EQ(manager_.check(application(login, "Login"))->latestVersion, "1.39.5");
    auto lunar = manager_.check(application(probed, "Probed"));
    ASSERT_TRUE(lunar);
    EXPECT_EQ(lunar->latestVersion, "6.10.4");
    EXPECT_EQ(lunar->resolutionReason, kSparkleProbeReason);
    EXPECT_TRUE(log.contains("Sparkle probe: " + server_.url("/lunar.appcast2.xml") + " → appcast"));

    EXPECT_FALSE(manager_.check(application(plain, "Plain")));
    EXPECT_TRUE(log.contains("Sparkle security: skipping the non-HTTPS feed " + plainFeed));
    EXPECT_EQ(server_.requestCount("/maccy.appcast.xml"), 1u);
    // What was found is saved and read back whole: SparkleE2ETest.
}

TEST_F(SparkleManagerTest, HostileFeedsEndAsNoParsedAppcastWithinTheRequestLimit) {
    LogCapture log;
    testing::LoopbackServer plainServer;
    plainServer.setRoute("/feed", {.body = corpusFile("appcasts/apps/maccy.appcast.xml")});
    route("/html", "<!DOCTYPE html><html><body>Sign in<br></body></html>");
    route("/missing", "gone", 404);
    server_.setRoute("/big", {.body = std::string(100u << 20, ' '), .chunked = true});
    server_.setRoute("/to-http", {.redirectTo = plainServer.url("/feed")});

    const auto start = std::chrono::steady_clock::now();
    for (const char* path : {"/html", "/missing", "/big", "/to-http"}) {
        SparkleApp app;
        app.name = path;
        app.feedURL = server_.url(path);
        EXPECT_FALSE(manager_.checkFeed(app)) << path;
        EXPECT_TRUE(log.contains("Sparkle: no readable appcast for the feed of " + app.name + ": " + app.feedURL)) << path;
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_EQ(log.count("Sparkle appcast parse error for "), 1u);  // the others: SparkleAppcastParserTest
    EXPECT_TRUE(log.contains("Sparkle: appcast HTTP 404 for /missing"));
    EXPECT_TRUE(log.contains("larger than the limit"));
    EXPECT_TRUE(log.contains("Sparkle security: skipping the non-HTTPS feed " + plainServer.url("/feed")));
    EXPECT_TRUE(plainServer.requests().empty());
}

TEST_F(SparkleManagerTest, TowerIsCheckedAgainstTheHeadingsOfItsReleaseNotes) {
    testing::ScopedEnvironment endpoint("VANTREEL_ENDPOINT_TOWER", server_.origin().c_str());
    LoopbackRoute notes;
    notes.contentType = "text/markdown";
    notes.body = "# Release Notes\n\n## 12.2-beta1\n- preview\n\n## 12.1 (2025-03-04)\n- Fixed: pushing\n"
                 "### 13.0 (2026-01-01)\n## Version 14\n  ## 15.0\n## 12.0 (March 3, 2025)\n## 11.9.10 (31 Feb, soon)\n";
    server_.setRoute("/release-notes/mac.md", notes);
    LogCapture log;
    const std::string path = bundle("Tower", "maccy.Info.plist", server_.url("/maccy.appcast.xml"));

    std::optional<Application> checked = manager_.check(application(path, "Tower"));
    ASSERT_TRUE(checked) << log.lines().size();
    std::optional<SparkleApp> tower;
    for (const SparkleApp& app : manager_.apps()) {
        if (app.name == "Tower") tower = app;
    }
    ASSERT_TRUE(tower);
    EXPECT_EQ(tower->latestVersion, "12.1");  // the pre-release only with ShowPreReleaseUpdates
    EXPECT_EQ(tower->publishDate, std::chrono::system_clock::from_time_t(1741046400));  // 2025-03-04
    EXPECT_EQ(server_.requestCount("/maccy.appcast.xml"), 0u);
    ASSERT_EQ(server_.requestCount("/release-notes/mac.md"), 1u);
    EXPECT_EQ(server_.requests().back().headers.get("User-Agent").value_or("").rfind("Tower/", 0), 0u);

    std::vector<SparkleItem> items = SparkleManager::releaseNotesItems(notes.body);
    ASSERT_EQ(items.size(), 4u);
    EXPECT_EQ(items[0].version, "12.2-beta1");
    EXPECT_FALSE(items[0].publishDate);
    EXPECT_EQ(items[2].publishDate, std::chrono::system_clock::from_time_t(1740960000));  // March 3, 2025
    EXPECT_FALSE(items[3].publishDate);  // not a date: none, never a guess

    server_.setRoute("/release-notes/mac.md", LoopbackRoute{.status = 503, .body = "busy"});
    EXPECT_FALSE(manager_.check(application(path, "Tower")));
    EXPECT_TRUE(log.contains("Sparkle: Tower appcast HTTP 503 for " + server_.url("/release-notes/mac.md")));
    testing::ScopedEnvironment refused("VANTREEL_ENDPOINT_TOWER", "https://127.0.0.1:9");
    EXPECT_FALSE(manager_.check(application(path, "Tower")));
    EXPECT_TRUE(log.contains("Sparkle: Tower appcast request failed: "));
}

}  // namespace
}  // namespace vt
