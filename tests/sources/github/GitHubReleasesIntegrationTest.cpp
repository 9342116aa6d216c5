#include <gtest/gtest.h>

#include <sys/stat.h>

#include "base/Log.hpp"
#include "sources/inventory/ApplicationManager.hpp"
#include "sources/github/GitHubReleasesManager.hpp"
#include "support/Corpus.hpp"
#include "support/LoopbackServer.hpp"
#include "support/ScopedEnvironment.hpp"
#include "support/TempDir.hpp"
#include "support/Thrown.hpp"
#include "system/Endpoints.hpp"
#include "system/SecretStore.hpp"
#include "system/SystemNetworkClient.hpp"

using namespace vt;
using namespace vt::testing;

namespace {

constexpr const char* kToken = "ghp_SECRETtoken1234567890";

// The rate-limit headers of a real recorded answer (octokit's fixtures), remaining replaced.
std::vector<std::pair<std::string, std::string>> rateHeaders(const std::string& remaining) {
    Json recorded = *parseJson(corpusFile("github/octokit-fixtures.release-assets.raw-fixture.json"));
    std::vector<std::pair<std::string, std::string>> headers;
    const Json& raw = recorded.at(3).at("rawHeaders");
    for (std::size_t i = 0; i + 1 < raw.size(); i += 2) {
        std::string name = raw[i].get<std::string>();
        if (name.rfind("X-RateLimit", 0) == 0) headers.emplace_back(name, name == "X-RateLimit-Remaining" ? remaining : raw[i + 1].get<std::string>());
    }
    return headers;
}

class GitHubReleasesTest : public ::testing::Test {
protected:
    GitHubReleasesTest() : endpoint_("VANTREEL_ENDPOINT_GITHUB_API", server_.origin().c_str()), home_(temp_.path()) {}

    Application bundle(const std::string& name, const std::string& identifier, const std::string& version) {
        const std::string path = temp_.makeFolder("Applications/" + name + ".app");
        temp_.write("Applications/" + name + ".app/Contents/Info.plist",
                    R"(<?xml version="1.0"?><plist version="1.0"><dict><key>CFBundleIdentifier</key><string>)" +
                        identifier + "</string><key>CFBundleShortVersionString</key><string>" + version +
                        "</string></dict></plist>");
        return {.id = path, .name = name, .bundlePath = path, .version = version, .bundleIdentifier = identifier};
    }

    std::shared_ptr<GitHubReleasesManager> manager(std::optional<std::string> token = std::nullopt) {
        GitHubReleasesManager::Options options;
        options.network = &network_;
        options.token = [token] { return token; };
        options.offerToken = [this] { ++offers_; };
        options.fallbackArchitecture = AppArchitectureKind::AppleSilicon;
        return std::make_shared<GitHubReleasesManager>(std::move(options));
    }

    void release(const std::string& repository, Json body, const std::string& remaining = "4885", int status = 200) {
        server_.setRoute("/repos/" + repository + "/releases/latest",
                         {.status = status, .body = body.is_string() ? body.get<std::string>() : dumpJson(body),
                          .headers = rateHeaders(remaining)});
    }

    TempDir temp_;
    LoopbackServer server_;
    ScopedEnvironment endpoint_;
    ScopedHome home_;
    SystemNetworkClient network_;
    int offers_ = 0;
};

Json releaseWithAssets(const std::string& tag, const std::vector<std::string>& names) {
    Json release = {{"tag_name", tag}, {"html_url", "https://example.test"}, {"assets", Json::array()}};
    for (const std::string& name : names) {
        release["assets"].push_back({{"name", name}, {"browser_download_url", "https://downloads.test/x"}});
    }
    return release;
}

}  // namespace

TEST_F(GitHubReleasesTest, RealReleaseGivesVersionAssetAndRateLimitWithTheExactHeaders) {
    Json list = *parseJson(corpusFile("github/hyper.releases-list.2017.json"));
    release("vercel/hyper", list.at(0));
    auto github = manager(std::string(kToken));
    std::optional<Application> checked =
        ApplicationManager::sourceChecks({github})(bundle("Hyper", "co.zeit.hyper", "1.2.1"), {});
    ASSERT_TRUE(checked);  // its asset: GitHubAssetSelector; its source in the list: ApplicationUpdatesE2ETest
    EXPECT_EQ(checked->latestVersion, "1.3.1");
    EXPECT_EQ(checked->updateMechanism, UpdateMechanism::DirectDownload);
    EXPECT_TRUE(checked->downloadURL && checked->publishDate);
    EXPECT_EQ(github->rateLimitRemaining(), 4885);
    EXPECT_EQ(github->rateLimitReset(), 1658208999);
    auto sent = server_.requests().at(0);
    EXPECT_EQ(sent.headers.get("Accept"), "application/vnd.github.v3+json");
    EXPECT_EQ(sent.headers.get("User-Agent"), "Vantreel/1.0");
    EXPECT_EQ(sent.headers.get("Authorization"), std::string("Bearer ") + kToken);

    // Pre-releases wanted: the channel list, newest published first of any channel.
    Json prerelease = releaseWithAssets("v2.0.0-canary.1", {"hyper-2.0.0-canary.1-mac.zip"});
    prerelease["published_at"] = "2018-01-01T00:00:00Z";
    prerelease["prerelease"] = true;
    list.insert(list.begin(), prerelease);
    server_.setRoute("/repos/vercel/hyper/releases", {.body = dumpJson(list)});
    GitHubReleasesManager::Options options;
    options.network = &network_;
    options.allowPreRelease = [] { return true; };
    GitHubReleasesManager withPreReleases(options);
    auto app = withPreReleases.detect(bundle("Hyper", "co.zeit.hyper", "1.2.1"));
    ASSERT_TRUE(app);
    withPreReleases.fetchLatest(*app, {});
    EXPECT_EQ(app->latestVersion, "2.0.0-canary.1");
    EXPECT_EQ(server_.requests().back().target, "/repos/vercel/hyper/releases?per_page=30");
}

TEST_F(GitHubReleasesTest, RemainingZeroStopsTheBatchAfterThatApp) {
    LogCapture log;
    release("o/first", releaseWithAssets("v1.1", {"First-mac.dmg"}));
    release("o/second", releaseWithAssets("v2.1", {"Second-mac.dmg"}), "0");
    release("o/third", releaseWithAssets("v3.1", {"Third-mac.dmg"}));
    std::map<std::string, GitHubAppEntry, std::less<>> table = {
        {"t.first", {{"o", "first"}, GitHubAppCategory::Other}},
        {"t.second", {{"o", "second"}, GitHubAppCategory::Other}},
        {"t.third", {{"o", "third"}, GitHubAppCategory::Other}}};
    GitHubReleasesManager::Options options;
    options.network = &network_;
    options.table = &table;
    options.offerToken = [this] { ++offers_; };
    auto github = std::make_shared<GitHubReleasesManager>(options);
    AppCheckOperation check = ApplicationManager::sourceChecks({github});
    EXPECT_EQ(check(bundle("First", "t.first", "1.0"), {})->latestVersion, "1.1");
    EXPECT_EQ(check(bundle("Second", "t.second", "2.0"), {})->latestVersion, "2.1");
    EXPECT_EQ(check(bundle("Third", "t.third", "3.0"), {}), std::nullopt);
    EXPECT_EQ(server_.requestCount("/repos/o/third/releases/latest"), 0u);
    EXPECT_TRUE(github->rateLimitExhausted() && github->rateLimitHitDuringBatch());
    EXPECT_TRUE(log.contains("Rate limit exhausted (remaining=0) on o/second"));
    EXPECT_EQ(log.count("Stopped the batch early: the rate limit is exhausted"), 1u);
    EXPECT_EQ(offers_, 1);
}

TEST_F(GitHubReleasesTest, BundleSearchFindsRepositoriesAndRemembersBothAnswers) {
    Application electron = bundle("Tool", "com.example.tool", "1.0");
    temp_.write("Applications/Tool.app/Contents/Resources/app-update.yml",
                "owner: someone\nrepo: \"tool.git\"\nprovider: github\n");
    auto github = manager();
    auto found = github->detect(electron);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->repository.id(), "someone/tool");
    Application node = bundle("Node", "com.example.node", "1.0");
    std::string manifest = R"({"repository": {"type": "git", "url": "git+)";
    manifest += Endpoints::url(Service::GitHubWeb, "/acme/node-app.git");
    temp_.write("Applications/Node.app/Contents/Resources/app/package.json", manifest + R"("}})");
    EXPECT_EQ(github->detect(node)->repository.id(), "acme/node-app");
    Application plain = bundle("Plain", "com.example.plain", "1.0");
    EXPECT_EQ(github->detect(plain), std::nullopt);
    // Remembered: a repository written later into the unchanged bundle is not seen.
    temp_.write("Applications/Plain.app/Contents/Resources/app-update.yml", "provider: github\nowner: a\nrepo: b\n");
    EXPECT_EQ(github->detect(plain), std::nullopt);
}

TEST_F(GitHubReleasesTest, BadAnswersFailOneAppClearlyAndTheTokenStaysSecret) {
    LogCapture log;
    auto github = manager(std::string(kToken));
    auto check = ApplicationManager::sourceChecks({github});
    auto failure = [&](const std::string& repository) -> std::string {
        Application app = bundle(repository, "com.googlecode.iterm2", "3.0");
        return vt::testing::thrown<GitHubReleasesError>([&] { check(app, {}); }).value().what();
    };
    release("gnachman/iTerm2", std::string("<html><body>Unicorn!</body></html>"));
    EXPECT_NE(failure("A").find("not JSON"), std::string::npos);
    release("gnachman/iTerm2", std::string(""));
    EXPECT_NE(failure("B").find("not JSON"), std::string::npos);
    release("gnachman/iTerm2", releaseWithAssets("nightly", {"iTerm2-mac.zip"}));
    EXPECT_NE(failure("C").find("is not a version"), std::string::npos);
    // A server that echoes the credentials it got: the message keeps its text, not the token.
    release("gnachman/iTerm2", Json{{"message", std::string("Bad credentials: Bearer ") + kToken}}, "4000", 401);
    std::string unauthorized = failure("D");
    EXPECT_NE(unauthorized.find("HTTP 401 (Bad credentials"), std::string::npos);
    EXPECT_EQ(unauthorized.find(kToken), std::string::npos);

    // 10,000 assets, one of them for a Mac with a 4 KB Unicode name.
    std::vector<std::string> names;
    for (int i = 0; i < 10000; ++i) names.push_back(std::string("iTerm2-").append(std::to_string(i)) + "-linux.tar.gz");
    std::string unicode;
    while (unicode.size() < 4096) unicode += "Ünïcödé-文字-🙂";
    names[7777] = unicode + "-macOS.dmg";
    release("gnachman/iTerm2", releaseWithAssets("v3.5.0", names));
    auto checked = check(bundle("E", "com.googlecode.iterm2", "3.0"), {});
    ASSERT_TRUE(checked);
    EXPECT_EQ(checked->latestVersion, "3.5.0");
    EXPECT_TRUE(checked->downloadURL.has_value());

    // Saved with the settings verb's store: a 0600 file, and no log line. (No other file, and
    // gone once cleared: ApplicationUpdatesE2ETest.)
    SecretStore store;
    store.save(GitHubReleasesManager::kTokenSecret, std::string(kToken) + "\n");
    EXPECT_EQ(gitHubToken(), kToken);
    struct stat info {};
    ASSERT_EQ(::stat((store.folder() + "/github-token").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    for (const std::string& line : log.lines()) EXPECT_EQ(line.find(kToken), std::string::npos) << line;
}
