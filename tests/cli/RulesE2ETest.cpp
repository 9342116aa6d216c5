// `vantreel rules` over applications in a sandbox ~/Applications whose sources a loopback
// server plays: a rule taught with `rules add` is verified, saved, and found by the next scan.
#include <gtest/gtest.h>

#include "base/Files.hpp"
#include "base/Json.hpp"
#include "support/LoopbackServer.hpp"
#include "support/TempDir.hpp"
#include "support/VantreelProcess.hpp"

namespace vt {
namespace {

std::string infoPlist(const std::string& identifier, const std::string& name, const std::string& version) {
    return R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>CFBundleIdentifier</key><string>)" +
           identifier + "</string>\n<key>CFBundleName</key><string>" + name +
           "</string>\n<key>CFBundleShortVersionString</key><string>" + version + "</string>\n</dict></plist>";
}

TEST(RulesE2E, ARuleTaughtByTheUserIsVerifiedSavedAndFollowedByTheScan) {
    testing::TempDir home("vt-rules-e2e");
    testing::showOnly(home.path(), {"ShowInstalledApplications"});
    home.write("Applications/Widget.app/Contents/Info.plist", infoPlist("com.example.widget", "Widget", "1.0.0"));
    home.write("Applications/Orphan.app/Contents/Info.plist", infoPlist("com.example.orphan", "Orphan", "3.0"));
    testing::LoopbackServer server;
    testing::LoopbackRoute latest;
    latest.body = R"({"tag_name": "v1.4.0", "html_url": "https://example.test", "assets": [
        {"name": "Widget-1.4.0.dmg", "browser_download_url": "https://downloads.test/Widget-1.4.0.dmg"}]})";
    server.setRoute("/repos/someone/widget/releases/latest", latest);
    testing::LoopbackRoute search;
    search.body = R"({"items": [{"name": "widget", "owner": {"login": "someone"}, "stargazers_count": 800}]})";
    server.setRoute("/search/repositories", search);
    auto run = [&](std::vector<std::string> arguments) {
        return testing::runVantreel({std::move(arguments), home.path(),
                                     {{"VANTREEL_ENDPOINT_GITHUB_API", server.origin()},
                                      {"VANTREEL_ENDPOINT_GITHUB_WEB", "https://github.com"},
                                      {"VANTREEL_ENDPOINT_HOMEBREW_API", server.origin()},
                                      {"VANTREEL_ENDPOINT_ITUNES", server.origin()},
                                      {"VANTREEL_ENDPOINT_APPSTORE_WEB", server.origin()}}});
    };
    const std::string bundle = home.file("Applications/Widget.app");

    // Discovery proposes the repository the search found, verified against its release.
    auto discovered = run({"rules", "discover", bundle, "--json"});
    ASSERT_EQ(discovered.exitCode, 0) << discovered.standardError;
    EXPECT_EQ(testing::schemaViolations("rules-discover.schema.json", discovered.standardOutput), "")
        << discovered.standardOutput;
    Json candidates = testing::jsonOf(discovered)["candidates"];
    ASSERT_EQ(candidates.size(), 1u) << discovered.standardOutput;
    EXPECT_EQ(candidates[0]["title"], "someone/widget");
    EXPECT_EQ(candidates[0]["status"], "ok");
    EXPECT_EQ(candidates[0]["remoteVersion"], "1.4.0");

    // Bad input is refused before anything is saved; a source that does not answer is not saved.
    EXPECT_EQ(run({"rules", "add", bundle, "--cask", "bad token"}).exitCode, 2);
    EXPECT_EQ(run({"rules", "add", bundle, "--github", "someone/widget", "--cask", "widget"}).exitCode, 2);
    auto unverified = run({"rules", "add", bundle, "--github", "someone/missing"});
    EXPECT_EQ(unverified.exitCode, 1);
    EXPECT_NE(unverified.standardError.find("--no-verify"), std::string::npos) << unverified.standardError;
    const std::string rulesFile = testing::dataFolder(home.path()) + "/local-update-rules.json";
    EXPECT_FALSE(readFile(rulesFile));

    auto added = run({"rules", "add", bundle, "--github", "https://github.com/someone/widget.git"});
    ASSERT_EQ(added.exitCode, 0) << added.standardError;
    EXPECT_NE(added.standardOutput.find("someone/widget"), std::string::npos) << added.standardOutput;
    auto shown = run({"rules", "show", "com.example.widget"});
    ASSERT_EQ(shown.exitCode, 0) << shown.standardError;
    EXPECT_EQ(testing::jsonOf(shown)["origin"], "local");
    EXPECT_EQ(testing::jsonOf(shown)["notes"], "Added by you from rule discovery") << shown.standardOutput;
    const auto withLocal = run({"rules", "list", "--json"});
    EXPECT_EQ(testing::schemaViolations("rules.schema.json", withLocal.standardOutput), "") << withLocal.standardOutput;

    auto scan = run({"--accept-terms", "scan", "--json"});
    ASSERT_EQ(scan.exitCode, 0) << scan.standardError;
    Json item = testing::itemsByKey(testing::jsonOf(scan))["application:" + bundle];
    EXPECT_EQ(item["updateAvailable"], true) << scan.standardOutput;
    auto apps = run({"apps", "--json"});
    Json widget;
    const Json listedApps = testing::jsonOf(apps);
    for (const Json& application : listedApps["applications"]) {
        if (application["bundleIdentifier"] == "com.example.widget") widget = application;
    }
    EXPECT_EQ(widget["latestVersion"], "1.4.0") << apps.standardOutput;
    EXPECT_EQ(widget["resolutionReason"], "Local rule: someone/widget");
    const std::string log = readFile(testing::logFile(home.path())).value_or("");
    EXPECT_NE(log.find("Rule-based source (github): Widget → someone/widget"), std::string::npos);

    // The scan left a note of the application no source knew.
    Json feedback = *parseJson(readFile(testing::dataFolder(home.path()) + "/rule-feedback.json").value_or("null"));
    ASSERT_TRUE(feedback.is_array());
    ASSERT_EQ(feedback.size(), 1u) << feedback.dump();
    EXPECT_EQ(feedback[0]["bundleIdentifier"], "com.example.orphan");
    EXPECT_EQ(feedback[0]["kind"], "unrecognized_app");

    EXPECT_EQ(run({"rules", "remove", "Widget"}).exitCode, 0);
    EXPECT_EQ(run({"rules", "remove", "Widget"}).exitCode, 1);
    EXPECT_EQ(run({"rules", "remove", "No Such App"}).exitCode, 2);  // an unknown name is bad usage, as elsewhere
    const auto listing = run({"rules", "list", "--json"});
    EXPECT_EQ(testing::schemaViolations("rules.schema.json", listing.standardOutput), "") << listing.standardOutput;
    const Json listed = testing::jsonOf(listing);
    EXPECT_GE(listed["rules"].size(), 40u);
    for (const Json& rule : listed["rules"]) EXPECT_EQ(rule["origin"], "seed");
}

// Three applications, each with a rule of the user's written in the rules file: a feed that
// is gone with GitHub after it, a feed that replaces the one the bundle names, and a source
// the user keeps for manual updates; then a rule changed with `rules add --manual`.
TEST(RulesE2E, RulesChooseTheSourcesTheirFallbacksAndWhatIsNeverUpdatedAutomatically) {
    testing::TempDir home("vt-rules-sources-e2e");
    testing::showOnly(home.path(), {"ShowInstalledApplications", "ShowSparkle", "ShowGitHub"});
    testing::LoopbackServer server(testing::LoopbackServer::Options{.workerThreads = 32, .tls = true});
    auto appcast = [](const std::string& version) {
        return testing::LoopbackRoute{
            .body = "<?xml version=\"1.0\"?><rss version=\"2.0\" xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/"
                    "sparkle\"><channel><item><title>" + version + "</title><sparkle:version>" + version +
                    "</sparkle:version><enclosure url=\"https://downloads.test/Feedy-" + version +
                    ".zip\" length=\"1\" type=\"application/octet-stream\"/></item></channel></rss>",
            .contentType = "application/rss+xml"};
    };
    server.setRoute("/bundle-feed.xml", appcast("1.5"));
    server.setRoute("/rule-feed.xml", appcast("2.0"));
    testing::LoopbackRoute release;
    release.body = R"({"tag_name": "v1.4.0", "html_url": "https://example.test", "assets": [
        {"name": "Widget-1.4.0.dmg", "browser_download_url": "https://downloads.test/Widget-1.4.0.dmg"}]})";
    server.setRoute("/repos/someone/widget/releases/latest", release);
    server.setRoute("/repos/someone/kept/releases/latest", release);
    home.write("Applications/Widget.app/Contents/Info.plist", infoPlist("com.example.widget", "Widget", "1.0.0"));
    home.write("Applications/Kept.app/Contents/Info.plist", infoPlist("com.example.kept", "Kept", "1.0.0"));
    std::string feedy = infoPlist("com.example.feedy", "Feedy", "1.0");
    feedy.insert(feedy.find("</dict>"), "<key>SUFeedURL</key><string>" + server.url("/bundle-feed.xml") + "</string>");
    home.write("Applications/Feedy.app/Contents/Info.plist", feedy);
    home.write(".local/share/vantreel/local-update-rules.json", R"([
        {"bundleIdentifier": "com.example.widget", "displayName": "Widget", "primarySource": "sparkle",
         "sparkleFeedURL": ")" + server.url("/gone.xml") + R"(", "fallbackSources": ["github"],
         "github": {"owner": "someone", "repo": "widget"}},
        {"bundleIdentifier": "com.example.feedy", "displayName": "Feedy", "primarySource": "sparkle",
         "sparkleFeedURL": ")" + server.url("/rule-feed.xml") + R"("},
        {"bundleIdentifier": "com.example.kept", "displayName": "Kept", "primarySource": "github",
         "github": {"owner": "someone", "repo": "kept"}, "manualOnly": true}])");
    auto run = [&](std::vector<std::string> arguments) {
        return testing::runVantreel({std::move(arguments), home.path(),
                                     {{"VANTREEL_ENDPOINT_GITHUB_API", server.origin()},
                                      {"CURL_CA_BUNDLE", server.certificatePath()}}});
    };
    auto applications = [&] {
        std::map<std::string, Json> byName;
        const Json listed = testing::jsonOf(run({"apps", "--json"}));
        for (const Json& application : listed["applications"]) byName[application["name"].get<std::string>()] = application;
        return byName;
    };

    ASSERT_EQ(run({"--accept-terms", "scan"}).exitCode, 0);
    std::map<std::string, Json> apps = applications();
    // The feed is gone: its fallback answers.
    EXPECT_EQ(server.requestCount("/gone.xml"), 1u);
    EXPECT_EQ(apps["Widget"]["latestVersion"], "1.4.0") << apps["Widget"].dump();
    EXPECT_EQ(apps["Widget"]["resolutionReason"], "Local rule: someone/widget");
    // The rule's feed, not the bundle's.
    EXPECT_EQ(apps["Feedy"]["latestVersion"], "2.0") << apps["Feedy"].dump();
    EXPECT_EQ(server.requestCount("/bundle-feed.xml"), 0u);
    // Checked and shown, never updated automatically.
    EXPECT_EQ(apps["Kept"]["latestVersion"], "1.4.0");
    const Json plan = testing::jsonOf(run({"--accept-terms", "update", "--all", "--dry-run", "--json"}));
    std::map<std::string, std::string> leftOut;
    for (const Json& item : plan["leftOut"]) leftOut[item["name"].get<std::string>()] = item["reason"].get<std::string>();
    EXPECT_EQ(leftOut["Kept"], "a rule says it is updated by hand") << plan.dump();

    // The installer reads the same feed as the check.
    const std::size_t ruleFeedReads = server.requestCount("/rule-feed.xml");
    run({"--accept-terms", "update", "Feedy", "--yes"});
    EXPECT_EQ(server.requestCount("/rule-feed.xml"), ruleFeedReads + 1);
    EXPECT_EQ(server.requestCount("/bundle-feed.xml"), 0u);

    // A rule changed: the next full scan follows it at once, without the answer cached from
    // the old source.
    const std::size_t gitHubReads = server.requestCount("/repos/someone/widget/releases/latest");
    ASSERT_EQ(run({"rules", "add", "Widget", "--manual"}).exitCode, 0);
    ASSERT_EQ(run({"--accept-terms", "scan", "--full"}).exitCode, 0);
    apps = applications();
    EXPECT_EQ(apps["Widget"]["resolutionSource"], "manual") << apps["Widget"].dump();
    EXPECT_FALSE(apps["Widget"].contains("latestVersion") && apps["Widget"]["latestVersion"].is_string())
        << apps["Widget"].dump();
    EXPECT_EQ(server.requestCount("/repos/someone/widget/releases/latest"), gitHubReads);
}

}  // namespace
}  // namespace vt
