#include <gtest/gtest.h>

#include "base/Json.hpp"
#include "sources/macos/SofaService.hpp"
#include "support/Corpus.hpp"
#include "support/LoopbackServer.hpp"
#include "support/ScopedEnvironment.hpp"
#include "support/TempDir.hpp"
#include "support/Thrown.hpp"
#include "system/SystemNetworkClient.hpp"

namespace vt {
namespace {

SOFAFeed corpusFeed(std::string_view name) { return SOFAFeed::fromJson(*parseJson(testing::corpusFile(name))); }

TEST(SofaIntegrationTest, ComparesARunningVersionWithItsTrack) {
    SOFAFeed feed = corpusFeed("sofa/v2-macos_data_feed.json");
    // Its track, its latest release and a version of no track: SofaE2ETest.
    SOFAComparison behind = compareWithFeed(feed, "14.6");
    std::vector<std::string> exploited;
    for (const SOFAExposedCVE& cve : behind.exposed) {
        if (cve.activelyExploited) exploited.push_back(cve.id + "@" + cve.fixedIn + ":" + cve.severity);
    }
    // Fixed after 14.6 only; each credited to the first release that fixed it; exploited first.
    EXPECT_EQ(exploited, (std::vector<std::string>{"CVE-2025-24085@14.7.5:critical", "CVE-2025-43200@14.7.4:critical",
                                                   "CVE-2025-43300@14.7.8:critical", "CVE-2025-43510@14.8.2:critical",
                                                   "CVE-2025-43520@14.8.2:critical",
                                                   "CVE-2026-65400@14.8.9:critical"}));
    EXPECT_GT(behind.exposed.size(), exploited.size());

    SOFAComparison current = compareWithFeed(feed, "15.7.9");
    EXPECT_EQ(current.track, "Sequoia 15");
    EXPECT_FALSE(current.isOutdated);
    EXPECT_TRUE(current.exposed.empty());
    // The first published shape: "LatestOS", CVE values as exploited flags.
    SOFAFeed early = corpusFeed("sofa/v1-macos_data_feed.2024-04-04.json");
    SOFAComparison earlyBehind = compareWithFeed(early, "14.3");
    EXPECT_TRUE(earlyBehind.isOutdated);
    EXPECT_FALSE(earlyBehind.exposed.empty());
    EXPECT_THROW((void)SOFAFeed::fromJson(Json::object()), SOFAError);
}

TEST(SofaIntegrationTest, FeedIsCachedForTwelveHoursAndFailuresAreTyped) {
    testing::LoopbackServer server;
    server.setRoute("/v2/macos_data_feed.json", {.body = testing::corpusFile("sofa/v2-macos_data_feed.json")});
    testing::ScopedEnvironment endpoint("VANTREEL_ENDPOINT_SOFA", server.origin().c_str());
    testing::TempDir folder;
    SystemNetworkClient network;
    FakeClock clock;
    SOFAService::Options options{.cacheFile = folder.file("sofa_v2_cache.json"), .clock = &clock};

    EXPECT_EQ(SOFAService(network, options).feed().osVersions.size(), 5u);
    clock.advance(std::chrono::hours(11));
    SOFAService restarted(network, options);  // a new run reads the disk cache
    EXPECT_EQ(restarted.feed().osVersions.size(), 5u);
    EXPECT_EQ(server.requestCount("/v2/macos_data_feed.json"), 1u);
    clock.advance(std::chrono::hours(2));
    EXPECT_EQ(restarted.feed().osVersions.size(), 5u);  // fetched again, and read
    EXPECT_EQ(server.requestCount("/v2/macos_data_feed.json"), 2u);

    server.setRoute("/v2/macos_data_feed.json", {.status = 503, .body = "busy"});
    clock.advance(std::chrono::hours(13));
    EXPECT_STREQ(testing::thrown<SOFAError>([&] { (void)SOFAService(network, options).feed(); }).value().what(),
                 "SOFA feed request failed with HTTP 503");
}

TEST(SofaIntegrationTest, MissingSeveritiesComeFromTheCveServiceWhenItAnswers) {
    testing::LoopbackServer server;
    server.setRoute("/api/cve/CVE-2024-23225",
                    {.body = R"({"containers":{"cna":{"metrics":[{"cvssV3_1":{"baseSeverity":"HIGH"}}]},
                                 "adp":[{"metrics":[{"cvssV3_1":{"baseSeverity":"CRITICAL"}}]}]}})"});
    testing::ScopedEnvironment endpoint("VANTREEL_ENDPOINT_CVE", server.url("/api").c_str());
    SystemNetworkClient network;
    SOFAComparison comparison = compareWithFeed(corpusFeed("sofa/v1-macos_data_feed.2024-04-04.json"), "14.3");
    enrichExposedCVEs(comparison, network);
    bool found = false;
    for (const SOFAExposedCVE& cve : comparison.exposed) {
        if (cve.id == "CVE-2024-23225") {
            found = true;
            EXPECT_EQ(cve.severity, "critical");
            EXPECT_TRUE(cve.activelyExploited);
        }
    }
    EXPECT_TRUE(found);
    EXPECT_FALSE(comparison.enrichmentUnavailable);  // unknown records answer 404: nothing to fill

    server.stop();
    SOFAComparison unreachable = compareWithFeed(corpusFeed("sofa/v1-macos_data_feed.2024-04-04.json"), "14.3");
    enrichExposedCVEs(unreachable, network);
    EXPECT_TRUE(unreachable.enrichmentUnavailable);
}

}  // namespace
}  // namespace vt
