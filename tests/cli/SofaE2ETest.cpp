#include <gtest/gtest.h>

#include "support/Corpus.hpp"
#include "support/LoopbackServer.hpp"
#include "support/TempDir.hpp"
#include "support/VantreelProcess.hpp"

namespace vt {
namespace {

using testing::runVantreel;

TEST(SofaE2ETest, ComparesAGivenVersionWithTheFeed) {
    testing::LoopbackServer server;
    server.setRoute("/v2/macos_data_feed.json", {.body = testing::corpusFile("sofa/v2-macos_data_feed.json")});
    testing::TempDir home;
    const std::map<std::string, std::string> endpoints{{"VANTREEL_ENDPOINT_SOFA", server.origin()},
                                                       {"VANTREEL_ENDPOINT_CVE", server.url("/cve-api")}};

    auto json = runVantreel({{"sofa", "--os-version", "14.6", "--json"}, home.path(), endpoints});
    ASSERT_EQ(json.exitCode, 0) << json.standardError;
    Json report = testing::jsonOf(json);
    EXPECT_EQ(report["track"], "Sonoma 14");
    EXPECT_EQ(report["latestVersion"], "14.8.9");
    EXPECT_EQ(report["isOutdated"], true);
    ASSERT_TRUE(report["exposedCVEs"].is_array());
    const Json& first = report["exposedCVEs"][0];
    EXPECT_EQ(first["activelyExploited"], true);
    EXPECT_EQ(first["severity"], "critical");

    // The second run answers from the twelve-hour cache.
    auto text = runVantreel({{"sofa", "--os-version", "14.6"}, home.path(), endpoints});
    ASSERT_EQ(text.exitCode, 0) << text.standardError;
    EXPECT_NE(text.standardOutput.find("behind: 14.8.9 (23J631) is available"), std::string::npos) << text.standardOutput;
    EXPECT_NE(text.standardOutput.find("CVE-2026-65400"), std::string::npos);
    EXPECT_EQ(server.requestCount("/v2/macos_data_feed.json"), 1u);

    auto unknownTrack = runVantreel({{"sofa", "--os-version", "10.15"}, home.path(), endpoints});
    EXPECT_EQ(unknownTrack.exitCode, 1);
    EXPECT_NE(unknownTrack.standardError.find("No matching macOS version found in SOFA feed"), std::string::npos);
    // Not a Mac, and no version given: a usage error that says what to do.
    auto noVersion = runVantreel({{"sofa"}, home.path(), endpoints});
    EXPECT_EQ(noVersion.exitCode, 2);
    EXPECT_NE(noVersion.standardError.find("--os-version"), std::string::npos);
    EXPECT_EQ(runVantreel({{"sofa", "--os-version", "Sonoma"}, home.path(), endpoints}).exitCode, 2);
}

}  // namespace
}  // namespace vt
