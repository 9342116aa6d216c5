#include <gtest/gtest.h>

#include "base/Json.hpp"
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
    auto document = parseJson(result.standardOutput);
    ASSERT_TRUE(document && (*document)["endpoints"].is_array());
    bool sawCrates = false;
    for (const auto& row : (*document)["endpoints"]) {
        if (row["name"] != "CRATES") continue;
        sawCrates = true;
        EXPECT_EQ(row["address"], "http://127.0.0.1:8123");
        EXPECT_EQ(row["overridden"], true);
    }
    EXPECT_TRUE(sawCrates);

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

}  // namespace
}  // namespace vt
