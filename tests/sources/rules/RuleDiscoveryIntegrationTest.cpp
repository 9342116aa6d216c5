// Rule discovery over real HTTP on loopback: the GitHub search and release look-ups (through
// the endpoint override) and appcasts.
#include "sources/rules/RuleDiscovery.hpp"

#include <gtest/gtest.h>

#include "support/LoopbackServer.hpp"
#include "support/ScopedEnvironment.hpp"
#include "support/TempDir.hpp"
#include "system/SystemNetworkClient.hpp"

namespace vt {
namespace {

using testing::LoopbackRoute;

LoopbackRoute route(int status, std::string body, std::string type = "application/json; charset=utf-8") {
    return {.status = status, .body = std::move(body), .contentType = std::move(type)};
}

class RuleDiscoveryTest : public ::testing::Test {
protected:
    RuleDiscoveryTest()
        : endpoint_("VANTREEL_ENDPOINT_GITHUB_API", server_.origin().c_str()), home_(temp_.path()) {}

    RuleDiscoveryService service(std::optional<std::string> token = std::nullopt) {
        RuleDiscoveryService::Options options;
        options.network = &network_;
        options.gitHubToken = [token] { return token; };
        options.caskIndex = [] {
            auto index = std::make_shared<BrewAPIClient::CaskIndex>();
            (*index)["tool"] = BrewAPIClient::CaskEntry{"tool", "2.0", false, false, false};
            (*index)["tool@beta"] = BrewAPIClient::CaskEntry{"tool@beta", "2.1b", false, false, false};
            (*index)["toolbox"] = BrewAPIClient::CaskEntry{"toolbox", "1.0", false, false, false};
            return std::shared_ptr<const BrewAPIClient::CaskIndex>(index);
        };
        return RuleDiscoveryService(std::move(options));
    }

    VerifiedRuleDraft verifyGitHub(const std::string& repository, const std::string& installed = "1.0") {
        auto parsed = RuleDiscoveryService::parseManualInput(RuleCandidateSourceType::GitHub, repository);
        return service().verify(*parsed.candidate, installed);
    }

    VerifiedRuleDraft verifyAppcast(const std::string& path, const std::string& installed = "1.0") {
        auto parsed = RuleDiscoveryService::parseManualInput(RuleCandidateSourceType::Sparkle, server_.url(path));
        return service().verify(*parsed.candidate, installed);
    }

    testing::TempDir temp_{"vt-discovery"};
    testing::LoopbackServer server_;
    testing::ScopedEnvironment endpoint_;
    testing::ScopedHome home_;
    SystemNetworkClient network_;
};

TEST_F(RuleDiscoveryTest, GitHubCandidatesAreVerifiedFromTheLatestReleaseElseTheNewestTag) {
    server_.setRoute("/repos/someone/tool/releases/latest", route(200, R"({"tag_name": "v2.3.1", "name": "Tool 2.3.1"})"));
    VerifiedRuleDraft draft = verifyGitHub("someone/tool");
    EXPECT_EQ(draft.status, RuleVerifyStatus::Ok);
    EXPECT_EQ(draft.remoteVersion, "2.3.1");
    EXPECT_EQ(draft.message, "rule_discovery.verify.update_available");
    EXPECT_EQ(verifyGitHub("someone/tool", "2.3.1").status, RuleVerifyStatus::UpToDate);
    EXPECT_EQ(server_.requests().back().headers.get("Accept"), "application/vnd.github.v3+json");

    // No release published: the newest tag.
    server_.setRoute("/repos/someone/tagged/tags", route(200, R"([{"name": "release-4.0"}, {"name": "release-3.9"}])"));
    draft = verifyGitHub("https://github.com/someone/tagged.git");
    EXPECT_EQ(draft.remoteVersion, "4.0");
    EXPECT_EQ(server_.requests().back().target, "/repos/someone/tagged/tags?per_page=1");

    server_.setRoute("/repos/someone/empty/tags", route(200, "[]"));
    EXPECT_EQ(verifyGitHub("someone/empty").message, "rule_discovery.verify.no_version");
    server_.setRoute("/repos/someone/limited/releases/latest", route(403, R"({"message": "rate limited"})"));
    EXPECT_EQ(verifyGitHub("someone/limited").message, "rule_discovery.verify.github_http");
    server_.setRoute("/repos/someone/garbled/releases/latest", route(200, "<html>"));
    EXPECT_EQ(verifyGitHub("someone/garbled").message, "rule_discovery.verify.github_json");
    server_.setRoute("/repos/someone/untagged/releases/latest", route(200, R"({"tag_name": "nightly"})"));
    EXPECT_EQ(verifyGitHub("someone/untagged").message, "rule_discovery.verify.no_version");
    RuleDiscoveryCandidate bad;
    bad.sourceType = RuleCandidateSourceType::GitHub;
    bad.githubOwner = "../x";
    bad.githubRepo = "y";
    EXPECT_EQ(service().verify(bad, "1.0").message, "rule_discovery.verify.invalid_github");
}

TEST_F(RuleDiscoveryTest, AppcastsGiveTheirFirstSparkleVersion) {
    server_.setRoute("/appcast.xml", route(200, R"(<?xml version="1.0"?>
<rss xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle"><channel>
<item><title>5.1</title><enclosure url="https://example.com/5.1.zip" sparkle:version = "5102" sparkle:shortVersionString="5.1"/></item>
<item><enclosure url="https://example.com/5.0.zip" sparkle:version="5001"/></item>
</channel></rss>)", "application/rss+xml"));
    VerifiedRuleDraft draft = verifyAppcast("/appcast.xml", "5001");
    EXPECT_EQ(draft.status, RuleVerifyStatus::Ok);
    EXPECT_EQ(draft.remoteVersion, "5102");
    EXPECT_EQ(verifyAppcast("/appcast.xml", "5102").message, "rule_discovery.verify.up_to_date");

    server_.setRoute("/versionless.xml", route(200, "<rss><channel><item><title>x</title></item></channel></rss>", "text/xml"));
    EXPECT_EQ(verifyAppcast("/versionless.xml").message, "rule_discovery.verify.sparkle_no_version");
    server_.setRoute("/binary.xml", route(200, "not an appcast at all", "text/plain"));
    EXPECT_EQ(verifyAppcast("/binary.xml").message, "rule_discovery.verify.appcast_unreadable");
    EXPECT_EQ(verifyAppcast("/gone.xml").message, "rule_discovery.verify.appcast_unreachable");

    auto manual = RuleDiscoveryService::parseManualInput(RuleCandidateSourceType::Manual, "");
    EXPECT_EQ(service().verify(*manual.candidate, "1.0").status, RuleVerifyStatus::Skipped);
}

TEST_F(RuleDiscoveryTest, CandidatesComeFromTheCaskIndexTheBundleFeedAndTheGitHubSearch) {
    server_.setRoute("/search/repositories", route(200, R"({"total_count": 3, "items": [
        {"name": "tool", "owner": {"login": "someone"}, "stargazers_count": 12000, "description": "The tool"},
        {"name": "tool-fork", "owner": {"login": "other"}, "stargazers_count": 3},
        {"name": "bad name", "owner": {"login": "x"}, "stargazers_count": 1}]})"));
    RuleDiscoveryAppContext app{"Tool", "com.example.tool", "/Applications/Tool.app", "1.0", "https://example.com/feed.xml"};
    std::vector<RuleDiscoveryCandidate> found = service("ghp_secret").candidates(app);
    EXPECT_EQ(server_.requests().back().target, "/search/repositories?q=Tool%20macos&sort=stars&per_page=5");
    EXPECT_EQ(server_.requests().back().headers.get("Authorization"), "Bearer ghp_secret");
    EXPECT_EQ(server_.requests().back().headers.get("User-Agent"), "Vantreel/1.0");
    std::vector<std::string> order;
    for (const RuleDiscoveryCandidate& candidate : found) order.push_back(std::string(rawValue(candidate.sourceType)) + ":" + candidate.title);
    EXPECT_EQ(order, (std::vector<std::string>{"sparkle:https://example.com/feed.xml", "homebrewCask:tool",
                                               "github:someone/tool", "homebrewCask:tool@beta", "github:other/tool-fork"}));

    // A failing search adds nothing and the rest still comes.
    server_.setRoute("/search/repositories", route(500, "oops"));
    EXPECT_EQ(service().candidates(app).size(), 3u);
}

}  // namespace
}  // namespace vt
