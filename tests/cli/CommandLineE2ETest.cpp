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
    auto absent = runVantreel({{"settings", "remove", "AdditionalApplicationFolders", "/opt/none"}, home.path()});
    EXPECT_EQ(absent.standardOutput, "AdditionalApplicationFolders does not hold /opt/none: nothing to remove\n");

    auto listed = parseJson(runVantreel({{"settings", "list", "--json"}, home.path()}).standardOutput);
    ASSERT_TRUE(listed.has_value());
    EXPECT_EQ((*listed)["settings"]["CheckInterval"], 6);
    EXPECT_EQ((*listed)["settings"]["BrewOutdatedMode"], "greedy");

    EXPECT_EQ(runVantreel({{"settings", "reset", "CheckInterval"}, home.path()}).exitCode, 0);
    EXPECT_EQ(runVantreel({{"settings", "get", "CheckInterval"}, home.path()}).standardOutput, "24\n");
    EXPECT_TRUE(std::filesystem::exists(testing::settingsFile(home.path())));
}

// `settings reset` alone used to reset everything without a word: every setting at once now
// needs --all, shows what it changes, and asks (or needs --yes without a terminal).
TEST(CommandLineE2ETest, ResettingEverySettingNeedsAllAndConsent) {
    testing::TempDir home;
    auto checkInterval = [&] { return runVantreel({{"settings", "get", "CheckInterval"}, home.path()}).standardOutput; };
    auto set = runVantreel({{"settings", "set", "CheckInterval", "6"}, home.path()});
    ASSERT_EQ(set.exitCode, 0);
    EXPECT_EQ(set.standardOutput, "CheckInterval: 24 → 6\n");

    auto bare = runVantreel({{"settings", "reset"}, home.path()});
    EXPECT_EQ(bare.exitCode, 2);
    EXPECT_NE(bare.standardError.find("give --all for every setting"), std::string::npos) << bare.standardError;
    auto noTerminal = runVantreel({{"settings", "reset", "--all"}, home.path()});
    EXPECT_EQ(noTerminal.exitCode, 2);
    EXPECT_NE(noTerminal.standardError.find("give --yes"), std::string::npos) << noTerminal.standardError;
    auto dryRun = runVantreel({{"settings", "reset", "--all", "--dry-run"}, home.path()});
    EXPECT_EQ(dryRun.exitCode, 0);
    EXPECT_NE(dryRun.standardOutput.find("CheckInterval: 6 → 24\n"), std::string::npos) << dryRun.standardOutput;
    auto declined = testing::runVantreelOnTerminal({{"settings", "reset", "--all"}, home.path()}, "n");
    EXPECT_EQ(declined.exitCode, 1) << declined.standardOutput;
    EXPECT_EQ(checkInterval(), "6\n");

    EXPECT_EQ(runVantreel({{"settings", "reset", "--all", "--yes"}, home.path()}).exitCode, 0);
    EXPECT_EQ(checkInterval(), "24\n");
    EXPECT_EQ(runVantreel({{"settings", "reset", "--all"}, home.path()}).standardOutput,
              "Every setting already has its default value.\n");
}

// Flags a command accepts but that mean nothing together are refused, and change nothing.
TEST(CommandLineE2ETest, FlagsThatCannotGoTogetherAreRefused) {
    testing::TempDir home;
    ASSERT_EQ(runVantreel({{"settings", "set", "CheckInterval", "6"}, home.path()}).exitCode, 0);
    const auto before = testing::filesUnder(home.path(), {testing::kLogFolderUnderHome});
    for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
             {"update", "--all", "left-pad"},
             {"update-all", "--summary", "--json"},
             {"update", "--all", "--dry-run", "--report", "report.md"},
             {"update-all", "--dry-run", "--report"},
             {"adopt", "--list", "--dry-run"},
             {"adopt", "--exclude", "com.example.Foo", "--yes"},
             {"settings", "reset", "CheckInterval", "--all"},
         }) {
        auto result = runVantreel({arguments, home.path()});
        EXPECT_EQ(result.exitCode, 2) << ::testing::PrintToString(arguments) << result.standardOutput;
        EXPECT_NE(result.standardError, "") << ::testing::PrintToString(arguments);
    }
    EXPECT_EQ(testing::changedFiles(before, testing::filesUnder(home.path(), {testing::kLogFolderUnderHome})), "");
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
    auto document = parseJson(result.standardOutput);
    ASSERT_TRUE(document && (*document)["sources"].is_array());
    std::map<std::string, Json> byId;
    for (const auto& row : (*document)["sources"]) byId[row["id"].get<std::string>()] = row;
    EXPECT_EQ(byId.count("apps"), 0u);
    for (const char* id : {"docker", "ollama", "gh-extensions", "android-sdk", "qt", "ai-skills"}) {
        EXPECT_EQ(byId.count(id), 1u) << id;
    }
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
        EXPECT_EQ(byId[id]["enabled"], true) << id;
    }
    for (const char* key : {"ShowBun", "ShowDeno", "ShowPip"}) {
        EXPECT_EQ(runVantreel({{"settings", "get", key}, home.path()}).standardOutput, "true\n") << key;
    }
}

}  // namespace
}  // namespace vt
