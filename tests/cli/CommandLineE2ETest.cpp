// The `vantreel` binary as scripts use it: exit statuses, bare values, validation.
#include <filesystem>
#include <map>

#include <gtest/gtest.h>

#include "base/Json.hpp"
#include "support/FakeTools.hpp"
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

    auto pairs = runVantreel({{"version", "compare"}, home.path(), {}, std::string("1.9\t1.10\n\t\nv2.0\t2.0\n")});
    EXPECT_EQ(pairs.standardOutput, "ascending\nsame\nsame\n");
    auto sorted =
        runVantreel({{"version", "sort", "--reverse"}, home.path(), {}, std::string("1.2\n1.10\nv1.2\n1.2\n")});
    EXPECT_EQ(sorted.standardOutput, "1.10\n1.2\nv1.2\n1.2\n");
    auto unique = runVantreel({{"version", "sort", "--unique"}, home.path(), {}, std::string("1.2\n1.10\n1.2\n")});
    EXPECT_EQ(unique.standardOutput, "1.2\n1.10\n");
}

// Settings are validated and persist; `settings reset` alone used to reset everything without
// a word: every setting at once now needs --all, shows what it changes, and asks (or needs
// --yes without a terminal). Flags that cannot go together are refused.
TEST(CommandLineE2ETest, SettingsAreValidatedResettingEveryOneNeedsConsentAndClashingFlagsAreRefused) {
    testing::TempDir home;
    auto run = [&](std::vector<std::string> arguments) { return runVantreel({std::move(arguments), home.path()}); };
    auto refused = run({"settings", "set", "AppTheme", "purple"});
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_NE(refused.standardError.find("system, light, dark"), std::string::npos);
    EXPECT_EQ(run({"settings", "set", "SkippedVersions", "{}"}).exitCode, 2);
    EXPECT_EQ(run({"settings", "remove", "AdditionalApplicationFolders", "/opt/none"}).standardOutput,
              "AdditionalApplicationFolders does not hold /opt/none: nothing to remove\n");
    auto set = run({"settings", "set", "CheckInterval", "6"});
    ASSERT_EQ(set.exitCode, 0);
    EXPECT_EQ(set.standardOutput, "CheckInterval: 24 → 6\n");
    EXPECT_EQ(run({"settings", "get", "CheckInterval"}).standardOutput, "6\n");
    const auto listing = run({"settings", "list", "--json"});
    EXPECT_EQ(testing::schemaViolations("settings.schema.json", listing.standardOutput), "") << listing.standardOutput;
    auto listed = testing::jsonOf(listing);
    EXPECT_EQ(listed["settings"]["CheckInterval"], 6);
    EXPECT_EQ(listed["settings"]["BrewOutdatedMode"], "greedy");
    EXPECT_TRUE(std::filesystem::exists(testing::settingsFile(home.path())));
    // Flags a command accepts but that mean nothing together are refused, and change nothing.
    const auto before = testing::filesUnder(home.path(), {testing::kLogFolderUnderHome});
    for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
             {"update", "--all", "left-pad"}, {"update-all", "--summary", "--json"},
             {"update", "--all", "--dry-run", "--report", "report.md"}, {"update-all", "--dry-run", "--report"},
             {"adopt", "--list", "--dry-run"}, {"adopt", "--exclude", "com.example.Foo", "--yes"},
             {"settings", "reset", "CheckInterval", "--all"}}) {
        auto result = run(arguments);
        EXPECT_EQ(result.exitCode, 2) << ::testing::PrintToString(arguments) << result.standardOutput;
        EXPECT_NE(result.standardError, "") << ::testing::PrintToString(arguments);
    }
    EXPECT_EQ(testing::changedFiles(before, testing::filesUnder(home.path(), {testing::kLogFolderUnderHome})), "");

    auto bare = run({"settings", "reset"});
    EXPECT_EQ(bare.exitCode, 2);
    EXPECT_NE(bare.standardError.find("give --all for every setting"), std::string::npos) << bare.standardError;
    auto noTerminal = run({"settings", "reset", "--all"});
    EXPECT_EQ(noTerminal.exitCode, 2);
    EXPECT_NE(noTerminal.standardError.find("give --yes"), std::string::npos) << noTerminal.standardError;
    auto dryRun = run({"settings", "reset", "--all", "--dry-run"});
    EXPECT_EQ(dryRun.exitCode, 0);
    EXPECT_NE(dryRun.standardOutput.find("CheckInterval: 6 → 24\n"), std::string::npos) << dryRun.standardOutput;
    auto declined = testing::runVantreelOnTerminal({{"settings", "reset", "--all"}, home.path()}, "n");
    EXPECT_EQ(declined.exitCode, 1) << declined.standardOutput;
    EXPECT_EQ(run({"settings", "get", "CheckInterval"}).standardOutput, "6\n");
    EXPECT_EQ(run({"settings", "reset", "CheckInterval"}).exitCode, 2);  // one setting too: --yes without a terminal
    EXPECT_EQ(run({"settings", "get", "CheckInterval"}).standardOutput, "6\n");
    EXPECT_EQ(run({"settings", "reset", "CheckInterval", "--yes"}).exitCode, 0);
    EXPECT_EQ(run({"settings", "get", "CheckInterval"}).standardOutput, "24\n");

    ASSERT_EQ(run({"settings", "set", "CheckInterval", "6"}).exitCode, 0);
    EXPECT_EQ(run({"settings", "reset", "--all", "--yes"}).exitCode, 0);
    EXPECT_EQ(run({"settings", "get", "CheckInterval"}).standardOutput, "24\n");
    EXPECT_EQ(run({"settings", "reset", "--all"}).standardOutput, "Every setting already has its default value.\n");
}

// Tools where their own installers put them (~/.bun/bin, ~/.deno/bin) or only as pip3 are
// found by `managers` and shown from the first launch; sources not built are not listed.
TEST(CommandLineE2ETest, ManagersFindToolsWhereTheirInstallersPutThem) {
    testing::TempDir home;
    const std::string script = "#!/bin/sh\necho 1.0\n";
    home.writeExecutable(".bun/bin/bun", script);
    home.writeExecutable(".deno/bin/deno", script);
    home.writeExecutable(".local/bin/pip3", script);
    auto result = runVantreel({{"managers", "--json"}, home.path()});
    ASSERT_EQ(result.exitCode, 0) << result.standardError;
    std::map<std::string, Json> byId;
    const Json document = testing::jsonOf(result);  // kept: the loop must not read a freed temporary
    for (const auto& row : document["sources"]) byId[row["id"].get<std::string>()] = row;
    EXPECT_EQ(byId.count("apps"), 0u);
    // pip3 may also be the machine's own, found first.
    const std::pair<const char*, std::string> expected[] = {{"bun", home.path() + "/.bun/bin/bun"},
                                                            {"deno", home.path() + "/.deno/bin/deno"},
                                                            {"pip", ""}};
    for (const auto& [id, path] : expected) {
        ASSERT_EQ(byId.count(id), 1u) << id;
        EXPECT_EQ(byId[id]["found"], true) << id;
        if (!path.empty()) {
            EXPECT_EQ(byId[id]["path"], path) << id;
        }
        EXPECT_EQ(byId[id]["enabled"], true) << id;  // shown, by the setting the first launch made
    }
}

}  // namespace
}  // namespace vt
