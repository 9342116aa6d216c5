// The addresses the program asks, overridden by the environment: `vantreel endpoints`, the
// checks of an override, and `vantreel sofa` against its feed on loopback.
#include <gtest/gtest.h>

#include "base/Json.hpp"
#include "support/Corpus.hpp"
#include "support/LoopbackServer.hpp"
#include "support/TempDir.hpp"
#include "support/VantreelProcess.hpp"

namespace vt {
namespace {

using testing::runVantreel;

TEST(EndpointsE2ETest, PrintsTheTableInEffect) {
    testing::TempDir home;
    auto result = runVantreel(
        {{"endpoints", "--json"}, home.path(), {{"VANTREEL_ENDPOINT_CRATES", "http://127.0.0.1:8123"}}});
    ASSERT_EQ(result.exitCode, 0) << result.standardError;
    EXPECT_EQ(testing::schemaViolations("endpoints.schema.json", result.standardOutput), "") << result.standardOutput;
    const Json document = testing::jsonOf(result);
    Json crates;
    for (const Json& row : document["endpoints"]) crates = row["name"] == "CRATES" ? row : crates;
    EXPECT_EQ(crates["address"], "http://127.0.0.1:8123") << document;
    EXPECT_EQ(crates["overridden"], true);

    auto text = runVantreel({{"endpoints"}, home.path(), {{"VANTREEL_ENDPOINT_SOFA", "http://127.0.0.1:9/feeds"}}});
    EXPECT_NE(text.standardOutput.find("http://127.0.0.1:9/feeds"), std::string::npos);
    EXPECT_NE(text.standardOutput.find("(VANTREEL_ENDPOINT_SOFA)"), std::string::npos);

    // An override that cannot be used, or that names no endpoint, stops every command that
    // could go online, before it asks anything of anyone; help is still given.
    for (const std::vector<std::string>& command :
         {std::vector<std::string>{"endpoints"}, std::vector<std::string>{"--accept-terms", "scan", "--only", "pip"}}) {
        auto malformed = runVantreel({command, home.path(), {{"VANTREEL_ENDPOINT_PYPI", "pypi.mirror.local"}}});
        EXPECT_EQ(malformed.exitCode, 2) << command.back();
        EXPECT_NE(malformed.standardError.find("VANTREEL_ENDPOINT_PYPI must be an http or https address"), std::string::npos)
            << malformed.standardError;
    }
    auto misspelt = runVantreel({{"list"}, home.path(), {{"VANTREEL_ENDPOINT_PYPY", "http://127.0.0.1:9"}}});
    EXPECT_EQ(misspelt.exitCode, 2);
    EXPECT_EQ(misspelt.standardError, "vantreel: VANTREEL_ENDPOINT_PYPY names no endpoint (vantreel endpoints lists them)\n");
    EXPECT_EQ(runVantreel({{"scan", "--help"}, home.path(), {{"VANTREEL_ENDPOINT_PYPY", "x"}}}).exitCode, 0);
    // The value of an option is not taken for the command, and flags may come together.
    EXPECT_EQ(runVantreel({{"--color", "never", "help"}, home.path(), {{"VANTREEL_ENDPOINT_PYPY", "x"}}}).exitCode, 0);
    EXPECT_EQ(runVantreel({{"-qh"}, home.path(), {{"VANTREEL_ENDPOINT_PYPY", "x"}}}).exitCode, 0);
}

// The feed and the CVE service as the overrides name them.
TEST(SofaE2ETest, ComparesAGivenVersionWithTheFeed) {
    testing::LoopbackServer server;
    server.setRoute("/v2/macos_data_feed.json", {.body = testing::corpusFile("sofa/v2-macos_data_feed.json")});
    testing::TempDir home;
    const std::map<std::string, std::string> endpoints{{"VANTREEL_ENDPOINT_SOFA", server.origin()},
                                                       {"VANTREEL_ENDPOINT_CVE", server.url("/cve-api")}};

    auto json = runVantreel({{"sofa", "--os-version", "14.6", "--json"}, home.path(), endpoints});
    ASSERT_EQ(json.exitCode, 0) << json.standardError;
    EXPECT_EQ(testing::schemaViolations("sofa.schema.json", json.standardOutput), "") << json.standardOutput;
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
