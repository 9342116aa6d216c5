// What every updating command promises, with tools that log each call: a crate through a
// stand-in `cargo` (which can be told a version) and a tool through a stand-in `uv` (which
// installs its own latest), both outdated against registries on loopback. A dry run, a
// refusal and an answer of no leave the log empty and every file of the sandbox as it was;
// an update installs the version the table showed.
#include <gtest/gtest.h>

#include "base/Json.hpp"
#include "core/ScanResultsPersistence.hpp"
#include "support/FakeTools.hpp"
#include "support/LoopbackServer.hpp"
#include "support/TempDir.hpp"
#include "support/VantreelProcess.hpp"

namespace vt {
namespace {

using testing::runVantreel;

class ChangeContractE2ETest : public ::testing::Test {
protected:
    void SetUp() override {
        testing::showOnly(home_.path(), {"ShowCargo", "ShowUv"});
        home_.write(".cargo/.crates2.json", "{}");  // a record that only cargo reads
        cargo_.add("cargo", R"SH(state="$HOME/ripgrep-version"
case "$1 $2" in
  "install --list") printf 'ripgrep v%s:\n    rg\n' "$(cat "$state" 2>/dev/null || echo 13.0.0)" ;;
  "install ripgrep") [ "$3" = "--version" ] && echo "$4" > "$state" ;;
  *) exit 2 ;;
esac)SH");
        uv_.add("uv", R"SH(state="$HOME/ruff-version"
case "$1 $2" in
  "tool list") printf 'ruff v%s\n- ruff\n' "$(cat "$state" 2>/dev/null || echo 0.1.0)" ;;
  "tool upgrade") echo 0.3.0 > "$state" ;;
  *) exit 2 ;;
esac)SH");
        setLatestCrate("14.1.0");
        pypi_.setRoute("/pypi/ruff/json", {.body = R"({"info": {"name": "ruff", "version": "0.2.0"}, "releases": {}})"});
        auto scan = runVantreel(run({"scan"}));
        ASSERT_EQ(scan.exitCode, 0) << scan.standardError;
        clearLogs();
    }

    void setLatestCrate(const std::string& version) {
        crates_.setRoute("/api/v1/crates/ripgrep",
                         {.body = R"({"crate": {"max_stable_version": ")" + version + R"("}, "versions": [{"num": ")" +
                                  version + R"(", "bin_names": ["rg"]}]})"});
    }

    testing::VantreelRun run(std::vector<std::string> arguments) const {
        arguments.insert(arguments.begin(), "--accept-terms");
        return {std::move(arguments), home_.path(),
                {{"VANTREEL_ENDPOINT_CRATES", crates_.origin()}, {"VANTREEL_ENDPOINT_PYPI", pypi_.origin()},
                 {"LANG", "C"}}};
    }

    std::string calls() const { return cargo_.log() + uv_.log(); }
    void clearLogs() const {
        cargo_.clearLog();
        uv_.clearLog();
    }
    // The sandbox but the program's own diary and the tools' logs.
    std::map<std::string, std::string> files() const {
        return testing::filesUnder(home_.path(), {testing::kLogFolderUnderHome, "calls"});
    }
    // No tool ran, and every file is as it was `before`.
    void expectNothingChanged(const std::map<std::string, std::string>& before, const std::string& shown) const {
        EXPECT_EQ(calls(), "") << shown;
        EXPECT_EQ(testing::changedFiles(before, files()), "") << shown;
    }

    testing::TempDir home_{"vt-change-contract-e2e"};
    testing::FakeTools cargo_{home_.file(".cargo/bin"), home_.file("calls-cargo")};
    testing::FakeTools uv_{home_.file(".local/bin"), home_.file("calls-uv")};
    testing::LoopbackServer crates_;
    testing::LoopbackServer pypi_;
};

TEST_F(ChangeContractE2ETest, ADryRunShowsThePlanRunsNothingAndChangesNoFile) {
    const std::vector<std::vector<std::string>> dryRuns = {
        {"update", "--all", "--dry-run"},          {"update", "ripgrep", "--dry-run"},
        {"update-all", "--dry-run"},               {"update-all", "--summary", "--dry-run"},
        {"update-all", "--summary", "--dry-run", "--yes"},
        {"update", "--all", "--dry-run", "--json"}, {"update", "ripgrep", "ruff", "--dry-run", "--json"},
    };
    for (const auto& arguments : dryRuns) {
        const auto before = files();
        auto result = runVantreel(run(arguments));
        const std::string shown = ::testing::PrintToString(arguments);
        EXPECT_EQ(result.exitCode, 0) << shown << result.standardError;
        expectNothingChanged(before, shown);
    }

    auto plan = runVantreel(run({"update", "--all", "--dry-run"}));
    EXPECT_NE(plan.standardOutput.find("ripgrep 13.0.0 → 14.1.0\n"), std::string::npos) << plan.standardOutput;
    EXPECT_NE(plan.standardOutput.find("ruff 0.1.0 → 0.2.0  (uv installs its own latest version, which may be newer)"),
              std::string::npos)
        << plan.standardOutput;
    EXPECT_NE(plan.standardOutput.find("Versions as of the scan of "), std::string::npos) << plan.standardOutput;
    auto summary = runVantreel(run({"update-all", "--summary", "--dry-run"}));
    EXPECT_EQ(summary.standardOutput, "Would update 2 item(s); nothing was changed.\n");
    EXPECT_NE(summary.standardError.find("ripgrep 13.0.0 → 14.1.0"), std::string::npos) << summary.standardError;

    Json json = testing::jsonOf(runVantreel(run({"update", "ripgrep", "ruff", "--dry-run", "--json"})));
    ASSERT_EQ(json["steps"].size(), 2u) << json.dump();
    EXPECT_EQ(json["steps"][0]["items"][0]["installs"], "exact");
    EXPECT_EQ(json["steps"][1]["items"][0]["installs"], "toolsLatest");
}

// Without a terminal or --yes, or with an answer of no on a terminal, nothing is updated.
TEST_F(ChangeContractE2ETest, WithoutATerminalOrYesOrWithAnAnswerOfNoNothingIsUpdated) {
    for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
             {"update", "--all"}, {"update", "ripgrep"}, {"update-all"}, {"update-all", "--summary"},
             {"update", "ruff", "--json"}}) {
        const auto before = files();
        auto result = runVantreel(run(arguments));  // standard input is the null device
        const std::string shown = ::testing::PrintToString(arguments);
        EXPECT_EQ(result.exitCode, 2) << shown << result.standardOutput;
        EXPECT_NE(result.standardError.find("give --yes"), std::string::npos) << shown << result.standardError;
        expectNothingChanged(before, shown);
    }
    for (const std::vector<std::string>& arguments :
         std::vector<std::vector<std::string>>{{"update", "--all"}, {"update", "ripgrep"}}) {
        const auto before = files();
        auto declined = testing::runVantreelOnTerminal(run(arguments), "n");
        const std::string shown = ::testing::PrintToString(arguments);
        EXPECT_EQ(declined.exitCode, 1) << shown << declined.standardOutput;
        EXPECT_NE(declined.standardOutput.find("[y/N]"), std::string::npos) << declined.standardOutput;
        EXPECT_NE(declined.standardOutput.find("Nothing was changed."), std::string::npos) << declined.standardOutput;
        expectNothingChanged(before, shown);
    }
    auto accepted = testing::runVantreelOnTerminal(run({"update", "ripgrep"}), "y");
    EXPECT_EQ(accepted.exitCode, 0) << accepted.standardOutput;
    EXPECT_EQ(calls().rfind("cargo install ripgrep --version 14.1.0 --force\n", 0), 0u) << calls();
}

// The registry moved on after the scan: what is installed is still the version shown.
TEST_F(ChangeContractE2ETest, UpdatesInstallTheVersionTheTableShowed) {
    setLatestCrate("15.0.0");
    auto result = runVantreel(run({"update", "--all", "--yes", "--json"}));
    ASSERT_EQ(result.exitCode, 0) << result.standardError;
    EXPECT_NE(cargo_.log().find("cargo install ripgrep --version 14.1.0 --force\n"), std::string::npos) << cargo_.log();
    EXPECT_NE(uv_.log().find("uv tool upgrade ruff\n"), std::string::npos) << uv_.log();
    Json batch = testing::jsonOf(result);
    ASSERT_EQ(batch["results"].size(), 2u) << result.standardOutput;
    EXPECT_EQ(batch["results"][0]["newVersion"], "14.1.0");
    EXPECT_EQ(batch["results"][1]["newVersion"], "0.3.0");  // uv's own latest, as the plan said
}

// A record offering an older version than the one installed (a registry whose latest went
// back): the update is refused before any tool runs.
TEST_F(ChangeContractE2ETest, AVersionOlderThanTheInstalledOneIsRefused) {
    PersistedScanResults results;
    results.packages.push_back(
        Package{.name = "ripgrep", .version = "14.1.0", .type = PackageType::CargoPackage, .latestVersion = "13.0.0"});
    results.packages.push_back(
        Package{.name = "ruff", .version = "0.2.0", .type = PackageType::UvTool, .latestVersion = "0.2.0"});
    results.metadata = ScanMetadata{};
    ScanResultsPersistence(testing::dataFolder(home_.path()) + "/ScanResults").save(results);

    const auto before = files();
    auto refused = runVantreel(run({"update", "ripgrep", "--yes"}));
    EXPECT_EQ(refused.exitCode, 1) << refused.standardError;
    EXPECT_NE(refused.standardOutput.find("ripgrep: 13.0.0 is older than the installed 14.1.0: refused, an update never "
                                          "goes backwards"),
              std::string::npos)
        << refused.standardOutput;
    auto upToDate = runVantreel(run({"update", "ruff", "--yes"}));
    EXPECT_EQ(upToDate.exitCode, 0) << upToDate.standardError;
    EXPECT_NE(upToDate.standardOutput.find("already at 0.2.0"), std::string::npos) << upToDate.standardOutput;
    expectNothingChanged(before, "");
}

}  // namespace
}  // namespace vt
