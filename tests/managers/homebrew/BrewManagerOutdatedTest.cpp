#include "managers/homebrew/BrewManager.hpp"

#include <chrono>

#include <gtest/gtest.h>

#include "base/Log.hpp"
#include "model/VersionRules.hpp"
#include "BrewTestSupport.hpp"

namespace vt {
namespace {

using brewtest::brew;
using brewtest::BrewFixture;
using brewtest::corpus;
using brewtest::fixture;
using Response = testing::FakeCommandRunner::Response;

const std::string kGreedy = brew("outdated --json=v2 --greedy-auto-updates");

TEST(BrewManagerOutdatedTest, CachesTheQueryForSixtySecondsAndThrottlesBrewUpdate) {
    BrewFixture f;
    f.runner.on(brew("update"), Response::output("Already up-to-date.\n"));
    f.runner.on(kGreedy, Response::output(fixture("outdated-greedy.json")));

    BrewManager::OutdatedResult first = f.manager->fetchOutdated();
    f.clock.advance(std::chrono::seconds(59));
    BrewManager::OutdatedResult second = f.manager->fetchOutdated();
    EXPECT_EQ(f.runner.count(kGreedy), 1u);
    EXPECT_EQ(first, second);

    f.clock.advance(std::chrono::seconds(2));
    f.manager->fetchOutdated();
    EXPECT_EQ(f.runner.count(kGreedy), 2u);
    EXPECT_EQ(f.runner.count(brew("update")), 1u);

    f.clock.advance(std::chrono::seconds(1800));
    f.manager->fetchOutdated();
    EXPECT_EQ(f.runner.count(brew("update")), 2u);
    // The update comes before the query it refreshes.
    std::vector<std::string> lines = f.runner.commandLines();
    EXPECT_EQ(lines.front(), brew("update"));
    EXPECT_EQ(lines.back(), kGreedy);

    // The next run of the program (a new adapter over the same time file) honours the
    // interval too: `scan` then `update` run `brew update` once.
    BrewFixture next;
    next.setUpdateTimeFile(f.updateTimeFile());
    next.clock.set(f.clock.now() + std::chrono::seconds(10));
    next.runner.on(brew("update"), Response::output(""));
    next.runner.on(kGreedy, Response::output(fixture("outdated-greedy.json")));
    next.manager->fetchOutdated();
    EXPECT_EQ(next.runner.count(brew("update")), 0u);
}

TEST(BrewManagerOutdatedTest, OutdatedModeChoosesTheGreedyArgument) {
    struct Case { std::optional<BrewOutdatedMode> mode; std::string commandLine; };
    // The default asks for self-updating casks with a known newer version, never for every
    // unversioned cask ("--greedy").
    for (const Case& c : std::vector<Case>{{std::nullopt, kGreedy},
                                           {BrewOutdatedMode::Greedy, kGreedy},
                                           {BrewOutdatedMode::Normal, brew("outdated --json=v2")}}) {
        BrewManager::OutdatedModeProvider provider;
        if (c.mode) provider = [mode = *c.mode] { return mode; };
        BrewFixture f(provider);
        f.runner.on(brew("update"), Response::output(""));
        f.runner.on(c.commandLine, Response::output(R"({"formulae": [], "casks": []})"));
        f.manager->fetchOutdated();
        EXPECT_EQ(f.runner.commandLines().back(), c.commandLine);
        EXPECT_TRUE(f.runner.unanswered().empty());
    }
}

TEST(BrewManagerOutdatedTest, OutdatedPackagesCarryLatestVersionOrTheSentinel) {
    BrewFixture f;
    f.runner.on(brew("update"), Response::output(""));
    f.runner.on(kGreedy, Response::output(fixture("outdated-greedy.json")));

    std::vector<Package> packages = f.manager->checkOutdated({});
    ASSERT_EQ(packages.size(), 4u);
    EXPECT_EQ(packages[0].name, "node");
    EXPECT_EQ(packages[0].type, PackageType::BrewFormula);
    EXPECT_EQ(packages[0].version, "22.1.0");  // the newest of its kegs
    EXPECT_EQ(packages[0].latestVersion, "22.2.0");
    EXPECT_EQ(packages[1].name, "terraform");
    EXPECT_EQ(packages[1].tap, "hashicorp/tap");
    EXPECT_TRUE(packages[1].isPinned);
    // Greedy lists a "latest" cask as outdated with nothing to compare: the sentinel.
    EXPECT_EQ(packages[2].name, "google-chrome");
    EXPECT_EQ(packages[2].type, PackageType::BrewCask);
    EXPECT_EQ(packages[2].latestVersion, std::string(kUpdateAvailableSentinel));
    EXPECT_TRUE(isUpdateAvailable(packages[2].version, packages[2].latestVersion, false));
    EXPECT_EQ(packages[3].latestVersion, "1.89.0");
    EXPECT_EQ(f.manager->errorMessage(), std::nullopt);

    BrewManager::OutdatedResult result = f.manager->fetchOutdated();
    EXPECT_EQ(result.formulas[1].commandName, "hashicorp/tap/terraform");
    EXPECT_EQ(result.formulas[0].installedVersions, (std::vector<std::string>{"21.7.3", "22.1.0"}));
}

TEST(BrewManagerOutdatedTest, ReadsHomebrewsOwnOutdatedOutputs) {
    const std::string cask = corpus("from-brew-specs/outdated-json-v2.minimum-version-cask.stdout");
    const std::string verbose = corpus("from-brew-specs/outdated-verbose-pinned.2019.stdout");
    const std::string verboseCask = corpus("from-brew-specs/outdated-verbose-cask-pinned.stdout");
    const std::string quiet = corpus("from-brew-specs/outdated-quiet.2019.stdout");
    std::vector<std::string> warnings;

    // (The formula-and-cask answer, as a scan reads it from brew: ScanE2ETest.)
    EXPECT_TRUE(BrewManager::parseOutdatedJson(cask, warnings)->formulas.empty());
    EXPECT_TRUE(warnings.empty());

    auto text = BrewManager::parseOutdatedText(verbose + verboseCask, warnings);
    ASSERT_EQ(text.formulas.size(), 1u);
    EXPECT_EQ(text.formulas[0].latestVersion, "0.1");
    EXPECT_TRUE(text.formulas[0].isPinned);
    ASSERT_EQ(text.casks.size(), 1u);
    EXPECT_EQ(text.casks[0].name, "local-caffeine");
    EXPECT_EQ(text.casks[0].currentVersion, "1.2.2");
    EXPECT_EQ(text.casks[0].latestVersion, "1.2.3");
    // Names alone: outdated, version unknown.
    auto names = BrewManager::parseOutdatedText(quiet, warnings);
    ASSERT_EQ(names.formulas.size(), 2u);
    EXPECT_EQ(names.formulas[1].latestVersion, std::string(kUpdateAvailableSentinel));

    warnings.clear();
    auto result = BrewManager::parseOutdatedJson(fixture("outdated-wrong-types.json"), warnings);
    ASSERT_TRUE(result);
    ASSERT_EQ(result->formulas.size(), 2u);
    EXPECT_EQ(result->formulas[0].name, "jq");
    EXPECT_EQ(result->formulas[0].installedVersions, (std::vector<std::string>{"1.6", "1.7"}));
    EXPECT_EQ(result->formulas[0].latestVersion, std::string(kUpdateAvailableSentinel));
    EXPECT_FALSE(result->formulas[0].isPinned);
    EXPECT_EQ(result->formulas[1].installedVersions, (std::vector<std::string>{"2.44.0"}));
    EXPECT_EQ(result->formulas[1].latestVersion, "2.45.1");
    EXPECT_TRUE(result->casks.empty());
    // Each problem is named: the nameless entries, the bad types and the casks object.
    EXPECT_GE(warnings.size(), 6u);

    for (std::string_view junk : {"", "null", "[1,2,3]", "\"text\"", "{\"formulae\": [{}"}) {
        std::vector<std::string> ignored;
        auto parsed = BrewManager::parseOutdatedJson(junk, ignored);
        auto salvaged = BrewManager::salvageOutdatedJson(junk, ignored);
        EXPECT_TRUE(!parsed || (parsed->formulas.empty() && parsed->casks.empty()));
        EXPECT_TRUE(salvaged.formulas.empty() && salvaged.casks.empty());
    }
}

TEST(BrewManagerOutdatedTest, FailedBrewUpdateDoesNotStopTheQuery) {
    BrewFixture f;
    f.runner.on(brew("update"), Response::failure(1, "Error: Failed to update tap: homebrew/core"));
    f.runner.on(kGreedy, Response::output(fixture("outdated-greedy.json")));
    LogCapture log;
    EXPECT_EQ(f.manager->fetchOutdated().casks.size(), 2u);
    EXPECT_TRUE(log.contains("brew update failed: "));
    EXPECT_TRUE(log.contains(", continuing with the stale index"));
}

TEST(BrewManagerOutdatedTest, TruncatedJsonKeepsCompleteEntriesAndUsesTheTextFallback) {
    BrewFixture f;
    std::string json = fixture("outdated-greedy.json");
    // Cut inside the second cask: the formulae and the first cask are complete.
    std::string truncated = json.substr(0, json.find("visual-studio-code") + 5);
    f.runner.on(brew("update"), Response::output(""));
    f.runner.on(kGreedy, Response::output(truncated));
    f.runner.on(brew("outdated --verbose"),
                Response::output("node (22.1.0) < 22.2.0\nvisual-studio-code (1.88.1) != 1.89.0\n"));

    BrewManager::OutdatedResult result = f.manager->fetchOutdated();
    ASSERT_EQ(result.formulas.size(), 2u);
    EXPECT_TRUE(result.formulas[1].isPinned);  // from the JSON: the text line of node does not replace it
    ASSERT_EQ(result.casks.size(), 2u);
    EXPECT_EQ(result.casks[1].name, "visual-studio-code");
    EXPECT_EQ(result.casks[1].latestVersion, "1.89.0");
    ASSERT_TRUE(f.manager->lastOutdatedWarning());
    EXPECT_NE(f.manager->lastOutdatedWarning()->find("unreadable JSON output"), std::string::npos);
}

TEST(BrewManagerOutdatedTest, BothFormsFailingPublishesTheWarningAndIsNotCached) {
    BrewFixture f;
    f.runner.on(brew("update"), Response::output(""));
    f.runner.on(kGreedy, Response::output("Error: not JSON at all\n"));
    f.runner.on(brew("outdated --verbose"), Response::failure(1, "Error: Homebrew is broken"));

    EXPECT_TRUE(f.manager->checkOutdated({}).empty());
    std::optional<std::string> warning = f.manager->lastOutdatedWarning();
    ASSERT_TRUE(warning);
    EXPECT_TRUE(endsWith(*warning, ". Fallback to normal Homebrew outdated mode also failed."));
    EXPECT_EQ(f.manager->errorMessage(), warning);

    f.manager->checkOutdated({});
    EXPECT_EQ(f.runner.count(kGreedy), 2u);
}

}  // namespace
}  // namespace vt
