// The `vantreel` binary as scripts use it: exit statuses, bare values, validation.
#include <filesystem>

#include <gtest/gtest.h>

#include "base/Json.hpp"
#include "support/TempDir.hpp"
#include "support/VantreelProcess.hpp"

namespace vt {
namespace {

using testing::runVantreel;

TEST(CommandLineE2ETest, VersionRulesAnswerWithTestLikeExitStatuses) {
    testing::TempDir home;
    auto check = runVantreel({{"version", "check", "1.0", "2.0"}, home.path()});
    EXPECT_EQ(check.exitCode, 0);
    EXPECT_EQ(check.standardOutput, "update available\n");
    EXPECT_EQ(runVantreel({{"version", "check", "2.0", "1.0"}, home.path()}).exitCode, 1);
    EXPECT_EQ(runVantreel({{"version", "compare", "1"}, home.path()}).exitCode, 2);
    EXPECT_EQ(runVantreel({{"no-such-command"}, home.path()}).exitCode, 2);

    auto pairs = runVantreel({{"version", "compare"}, home.path(), {}, std::string("1.9\t1.10\n\t\nv2.0\t2.0\n")});
    EXPECT_EQ(pairs.standardOutput, "ascending\nsame\nsame\n");
    auto sorted =
        runVantreel({{"version", "sort", "--reverse"}, home.path(), {}, std::string("1.2\n1.10\nv1.2\n1.2\n")});
    EXPECT_EQ(sorted.standardOutput, "1.10\n1.2\nv1.2\n1.2\n");
    auto unique = runVantreel({{"version", "sort", "--unique"}, home.path(), {}, std::string("1.2\n1.10\n1.2\n")});
    EXPECT_EQ(unique.standardOutput, "1.2\n1.10\n");
}

TEST(CommandLineE2ETest, SettingsAreValidatedAndPersistInTheSandbox) {
    testing::TempDir home;
    auto refused = runVantreel({{"settings", "set", "AppTheme", "purple"}, home.path()});
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_NE(refused.standardError.find("system, light, dark"), std::string::npos);
    EXPECT_EQ(runVantreel({{"settings", "set", "CheckInterval", "6"}, home.path()}).exitCode, 0);
    EXPECT_EQ(runVantreel({{"settings", "get", "CheckInterval"}, home.path()}).standardOutput, "6\n");
    EXPECT_EQ(runVantreel({{"settings", "set", "SkippedVersions", "{}"}, home.path()}).exitCode, 2);

    auto listed = parseJson(runVantreel({{"settings", "list", "--json"}, home.path()}).standardOutput);
    ASSERT_TRUE(listed.has_value());
    EXPECT_EQ((*listed)["CheckInterval"], 6);
    EXPECT_EQ((*listed)["BrewOutdatedMode"], "greedy");

    EXPECT_EQ(runVantreel({{"settings", "reset", "CheckInterval"}, home.path()}).exitCode, 0);
    EXPECT_EQ(runVantreel({{"settings", "get", "CheckInterval"}, home.path()}).standardOutput, "24\n");
    EXPECT_TRUE(std::filesystem::exists(home.path() + "/.config/vantreel/com.corvanel.Vantreel.json"));
}

TEST(CommandLineE2ETest, ManagersListEveryCatalogRow) {
    testing::TempDir home;
    auto result = runVantreel({{"managers", "--json"}, home.path()});
    ASSERT_EQ(result.exitCode, 0) << result.standardError;
    auto rows = parseJson(result.standardOutput);
    ASSERT_TRUE(rows && rows->is_array());
    EXPECT_GE(rows->size(), 46u);
    bool sawPip = false;
    for (const auto& row : *rows) {
        for (const char* key : {"id", "name", "found", "path", "enabled"}) EXPECT_TRUE(row.contains(key)) << key;
        if (row["id"] == "pip") sawPip = true;
    }
    EXPECT_TRUE(sawPip);
}

}  // namespace
}  // namespace vt
