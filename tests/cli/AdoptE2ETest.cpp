// `vantreel adopt` over a sandbox home: bundles in ~/Applications, a `brew` that logs its
// calls, and the cask index of the corpus on loopback.
#include <gtest/gtest.h>

#include <filesystem>

#include "base/Files.hpp"
#include "support/Corpus.hpp"
#include "support/FakeTools.hpp"
#include "support/LoopbackServer.hpp"
#include "support/TempDir.hpp"
#include "support/VantreelProcess.hpp"

namespace vt {
namespace {

TEST(AdoptE2ETest, ListsAdoptsAndExcludesWithTheSavedListFollowing) {
    testing::TempDir home("vt-adopt-e2e");
    testing::showOnly(home.path(), {"ShowInstalledApplications"});
    for (const char* name : {"Caffeine", "Everything"}) {
        home.write(std::string("Applications/") + name + ".app/Contents/Info.plist",
                   std::string(R"(<?xml version="1.0"?><plist version="1.0"><dict><key>CFBundleIdentifier</key><string>com.example.)") +
                       name + "</string><key>CFBundleName</key><string>" + name +
                       "</string><key>CFBundleShortVersionString</key><string>1.2.3</string></dict></plist>");
    }
    testing::FakeTools brew(home.file(".local/bin"), home.file("brew-calls"));
    brew.add("brew", R"sh(case "$1" in
  list) cat "$HOME/installed" 2>/dev/null ;;
  install) echo "🍺  $4 was successfully installed!"; echo "$4" >> "$HOME/installed" ;;
esac
exit 0)sh");
    testing::LoopbackServer server;
    server.setRoute("/api/cask.json", {.body = "[" + testing::corpusFile("homebrew/brew-test-fixtures/cask-caffeine.json") +
                                               "," + testing::corpusFile("homebrew/brew-test-fixtures/cask-everything.json") + "]"});
    const std::map<std::string, std::string> environment = {{"VANTREEL_ENDPOINT_HOMEBREW_API", server.origin()}};
    auto run = [&](std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"--accept-terms", "adopt"});
        return testing::runVantreel({arguments, home.path(), environment});
    };

    // With no list saved yet, the plan needs a search: before the user agrees, it writes
    // nothing (no list, no cask index, no metadata of the bundles it read).
    auto files = [&] { return testing::filesUnder(home.path(), {testing::kLogFolderUnderHome, "brew-calls"}); };
    const auto unsearched = files();
    auto rehearsed = run({"--all", "--dry-run"});
    EXPECT_EQ(rehearsed.exitCode, 0) << rehearsed.standardError;
    EXPECT_NE(rehearsed.standardOutput.find("Everything 1.2.3 → cask everything 1.2.3"), std::string::npos);
    EXPECT_EQ(run({"com.example.Caffeine"}).exitCode, 2);
    EXPECT_EQ(testing::changedFiles(unsearched, files()), "");

    auto listed = run({"--list", "--json"});
    ASSERT_EQ(listed.exitCode, 0) << listed.standardError;
    EXPECT_EQ(testing::schemaViolations("adopt.schema.json", listed.standardOutput), "") << listed.standardOutput;
    auto planned = run({"com.example.Caffeine", "--dry-run", "--json"});
    EXPECT_EQ(testing::schemaViolations("adopt.schema.json", planned.standardOutput), "") << planned.standardOutput;
    Json apps = testing::jsonOf(listed)["adoptable"];
    ASSERT_EQ(apps.size(), 2u);
    EXPECT_EQ(apps[0]["id"], "com.example.Caffeine");
    EXPECT_EQ(apps[0]["matchConfidence"], "bundleFileName");

    // The plan comes from the saved list: rehearsing, refusing or declining runs nothing.
    brew.clearLog();
    const auto before = files();
    auto plan = run({"com.example.Caffeine", "--dry-run"});
    EXPECT_EQ(plan.exitCode, 0) << plan.standardError;
    EXPECT_NE(plan.standardOutput.find("Caffeine 1.2.3 → cask caffeine "), std::string::npos) << plan.standardOutput;
    auto refused = run({"--all"});
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_NE(refused.standardError.find("give --yes"), std::string::npos) << refused.standardError;
    auto declined = testing::runVantreelOnTerminal(
        {{"--accept-terms", "adopt", "com.example.Caffeine"}, home.path(), environment}, "n");
    EXPECT_EQ(declined.exitCode, 1) << declined.standardOutput;
    EXPECT_EQ(brew.log(), "");
    EXPECT_EQ(testing::changedFiles(before, files()), "");

    // The cask moved on after the plan was shown: brew would install its new version, so the
    // application is left out rather than adopted at a version nobody saw.
    const std::string everything = testing::corpusFile("homebrew/brew-test-fixtures/cask-everything.json");
    std::string moved = everything;
    moved.replace(moved.find("\"1.2.3\""), 7, "\"1.2.4\"");
    server.setRoute("/api/cask.json", {.body = "[" + moved + "]"});
    auto changed = run({"com.example.Everything", "--yes"});
    EXPECT_EQ(changed.exitCode, 1);
    EXPECT_NE(changed.standardError.find("Everything left as it is: its cask is now everything 1.2.4, not everything "
                                         "1.2.3 as shown"),
              std::string::npos)
        << changed.standardError;
    EXPECT_EQ(brew.log().find("install"), std::string::npos) << brew.log();
    server.setRoute("/api/cask.json", {.body = "[" + testing::corpusFile("homebrew/brew-test-fixtures/cask-caffeine.json") +
                                               "," + everything + "]"});

    auto adopted = run({"com.example.Caffeine", "--yes"});
    EXPECT_EQ(adopted.exitCode, 0) << adopted.standardError;
    EXPECT_NE(brew.log().find("brew install --cask --adopt caffeine"), std::string::npos) << brew.log();
    auto unknown = run({"com.example.Nothing", "--yes"});
    EXPECT_EQ(unknown.exitCode, 2);

    EXPECT_EQ(run({"--exclude", ""}).exitCode, 2);
    auto excluded = run({"--exclude", "com.example.Everything"});
    EXPECT_EQ(excluded.exitCode, 0);
    EXPECT_EQ(excluded.standardOutput, "Everything will no longer be offered to Homebrew.\n");
    EXPECT_EQ(testing::jsonOf(run({"--list", "--json"}))["adoptable"].size(), 0u);  // one adopted, one excluded
    EXPECT_EQ(run({"--include", "com.example.Everything"}).standardOutput,
              "com.example.Everything is offered for adoption again.\n");
    apps = testing::jsonOf(run({"--list", "--json"}))["adoptable"];
    ASSERT_EQ(apps.size(), 1u);
    EXPECT_EQ(apps[0]["caskToken"], "everything");
    EXPECT_EQ(run({"--list", "--all"}).exitCode, 2);
}

TEST(AdoptE2ETest, WithoutBrewAScanLooksForNothingToAdoptAndAdoptSaysWhy) {
    for (const char* brew : {"/home/linuxbrew/.linuxbrew/bin/brew", "/opt/homebrew/bin/brew", "/usr/local/bin/brew"}) {
        if (std::filesystem::exists(brew)) GTEST_SKIP() << "this machine has Homebrew at " << brew;
    }
    testing::TempDir home("vt-adopt-nobrew");
    testing::showOnly(home.path(), {"ShowInstalledApplications"});
    home.write("Applications/Caffeine.app/Contents/Info.plist",
               R"(<?xml version="1.0"?><plist version="1.0"><dict><key>CFBundleIdentifier</key><string>com.example.Caffeine</string><key>CFBundleShortVersionString</key><string>1.2.3</string></dict></plist>)");
    testing::LoopbackServer server;
    server.setRoute("/api/cask.json", {.body = "[" + testing::corpusFile("homebrew/brew-test-fixtures/cask-caffeine.json") + "]"});
    const std::map<std::string, std::string> environment = {{"VANTREEL_ENDPOINT_HOMEBREW_API", server.origin()}};

    auto scanned = testing::runVantreel({{"--accept-terms", "scan"}, home.path(), environment});
    EXPECT_EQ(scanned.exitCode, 0) << scanned.standardError;
    EXPECT_EQ(server.requestCount("/api/cask.json"), 0u);
    auto listed = testing::runVantreel({{"--accept-terms", "adopt", "--list"}, home.path(), environment});
    EXPECT_EQ(listed.exitCode, 1);
    EXPECT_EQ(listed.standardError, "vantreel adopt: Homebrew is not available\n");

    // With brew, the same scan searches, and the list it saves is what adoption plans from.
    testing::FakeTools brew(home.file(".local/bin"), home.file("brew-calls"));
    brew.add("brew", "exit 0");
    scanned = testing::runVantreel({{"--accept-terms", "scan"}, home.path(), environment});
    EXPECT_EQ(scanned.exitCode, 0) << scanned.standardError;
    EXPECT_EQ(server.requestCount("/api/cask.json"), 1u);
    EXPECT_NE(brew.log().find("brew list --cask"), std::string::npos) << brew.log();
}

}  // namespace
}  // namespace vt
