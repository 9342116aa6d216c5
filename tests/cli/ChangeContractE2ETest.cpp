// What every updating command promises, with tools that log each call: a crate through a
// stand-in `cargo` (which can be told a version) and a tool through a stand-in `uv` (which
// installs its own latest), both outdated against registries on loopback. A dry run, a
// refusal and an answer of no leave the log empty and every file of the sandbox as it was;
// an update installs the version the table showed.
#include <algorithm>
#include <filesystem>

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
  "install --list") [ -e "$HOME/listing-fails" ] && exit 101
                    printf 'ripgrep v%s:\n    rg\n' "$(cat "$state" 2>/dev/null || echo 13.0.0)" ;;
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
    // The sandbox but the program's own diary and the tools' logs; a folder by when it last
    // changed, so a file made and removed again is seen too.
    std::map<std::string, std::string> files() const {
        const std::vector<std::string> skip = {testing::kLogFolderUnderHome, "calls"};
        std::map<std::string, std::string> files = testing::filesUnder(home_.path(), skip);
        for (const auto& entry : std::filesystem::recursive_directory_iterator(home_.path())) {
            const std::string relative = std::filesystem::relative(entry.path(), home_.path()).string();
            if (!entry.is_directory() || std::any_of(skip.begin(), skip.end(), [&](const std::string& prefix) {
                    return relative.rfind(prefix, 0) == 0;
                })) {
                continue;
            }
            files[relative + "/"] = std::to_string(entry.last_write_time().time_since_epoch().count());
        }
        return files;
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
    auto expectRefused = [&](const std::vector<std::vector<std::string>>& commands) {
        for (const std::vector<std::string>& arguments : commands) {
            const auto before = files();
            auto result = runVantreel(run(arguments));  // standard input is the null device
            const std::string shown = ::testing::PrintToString(arguments);
            EXPECT_EQ(result.exitCode, 2) << shown << result.standardOutput;
            EXPECT_NE(result.standardError.find("give --yes"), std::string::npos) << shown << result.standardError;
            expectNothingChanged(before, shown);
        }
    };
    expectRefused({{"update", "--all"}, {"update", "ripgrep"}, {"update-all"}, {"update-all", "--summary"},
                   {"update", "ruff", "--json"}});
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
    EXPECT_NE(calls().find("cargo install ripgrep --version 14.1.0 --force\n"), std::string::npos) << calls();
    clearLogs();
    // Not being asked is the user's choice for a terminal; a script still needs --yes.
    ASSERT_EQ(runVantreel(run({"settings", "set", "ConfirmBeforeUpdateAll", "false", "--yes"})).exitCode, 0);
    expectRefused({{"update-all"}, {"update-all", "--summary"}});
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

// Updated by hand after the scan, past the version shown: installing that would go backwards.
TEST_F(ChangeContractE2ETest, AnItemUpdatedByHandSinceTheScanIsLeftAsItIs) {
    home_.write("ripgrep-version", "15.0.0");
    auto result = runVantreel(run({"update", "ripgrep", "--yes"}));
    EXPECT_EQ(cargo_.log().find("cargo install ripgrep"), std::string::npos) << cargo_.log();
    EXPECT_NE(result.standardOutput.find("now at 15.0.0, which is not older than 14.1.0: left as it is"),
              std::string::npos)
        << result.exitCode << result.standardOutput << result.standardError;
}

// A listing that fails after the update is no inventory: the crate stays, its update said
// unverified, rather than the source losing every item.
TEST_F(ChangeContractE2ETest, AListingThatFailsAfterAnUpdateLosesNoItem) {
    home_.write("listing-fails", "");
    auto result = runVantreel(run({"update", "ripgrep", "--yes", "--json"}));
    EXPECT_NE(cargo_.log().find("cargo install ripgrep --version 14.1.0 --force\n"), std::string::npos) << cargo_.log();
    const Json batch = testing::jsonOf(result);
    EXPECT_NE(batch["results"][0].value("suggestion", "").find("its listing could not be read to check the version"),
              std::string::npos)
        << result.standardOutput;
    home_.write("ripgrep-version", "13.0.0");
    auto text = runVantreel(run({"update", "ripgrep", "--yes"}));
    EXPECT_NE(text.standardOutput.find("its listing could not be read"), std::string::npos) << text.standardOutput;
    Json listed = testing::jsonOf(runVantreel(run({"list", "--all", "--json"})));
    EXPECT_NE(listed.dump().find("\"ripgrep\""), std::string::npos) << listed.dump();
}

// A damaged results file is no source that lists nothing: nothing reads as up to date before
// the next scan, which lists anew, and the update it showed is still there.
TEST_F(ChangeContractE2ETest, ADamagedResultsFileLosesNoPendingUpdate) {
    home_.write(".local/share/vantreel/ScanResults/cargo_crates.json", "{\"garbage");
    const auto listed = runVantreel(run({"list", "--only", "cargo", "--exit-code"}));
    EXPECT_EQ(listed.exitCode, 3) << listed.standardOutput;
    EXPECT_EQ(listed.standardOutput.find("up to date"), std::string::npos) << listed.standardOutput;
    // A script reading the ids alone hears of it too, on standard error.
    const auto ids = runVantreel(run({"list", "--only", "cargo", "--ids", "--exit-code"}));
    EXPECT_EQ(ids.exitCode, 3);
    EXPECT_EQ(ids.standardOutput, "");
    EXPECT_NE(ids.standardError.find("cargo_crates.json"), std::string::npos) << ids.standardError;
    const auto counted = runVantreel(run({"outdated-count", "--only", "cargo", "--exit-code", "--json"}));
    EXPECT_EQ(counted.exitCode, 3) << counted.standardError;
    EXPECT_EQ(testing::schemaViolations("check-updates.schema.json", counted.standardOutput), "");
    EXPECT_EQ(testing::jsonOf(counted)["unreadableFiles"].size(), 1u) << counted.standardOutput;
    EXPECT_NE(counted.standardError.find("cannot be read"), std::string::npos) << counted.standardError;
    // A scan in the same run writes them again: nothing is unreadable after it.
    const auto checked = runVantreel(run({"check-updates", "--only", "cargo", "--exit-code", "--json"}));
    EXPECT_EQ(checked.exitCode, 10) << checked.standardOutput;
    EXPECT_FALSE(testing::jsonOf(checked).contains("unreadableFiles")) << checked.standardOutput;
    const Json scanned = testing::jsonOf(runVantreel(run({"scan", "--json"})));
    EXPECT_NE(scanned["items"].dump().find("\"ripgrep\""), std::string::npos) << scanned.dump();
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
    // With --json, the results document says the same on standard output.
    auto refusedJson = runVantreel(run({"update", "ripgrep", "--yes", "--json"}));
    EXPECT_EQ(refusedJson.exitCode, 1);
    EXPECT_EQ(testing::schemaViolations("update.schema.json", refusedJson.standardOutput), "");
    Json json = testing::jsonOf(refusedJson);
    EXPECT_TRUE(json["results"].empty()) << json.dump();
    EXPECT_EQ(json["leftOut"][0]["upToDate"], false) << json.dump();
    json = testing::jsonOf(runVantreel(run({"update", "ruff", "--yes", "--json"})));
    EXPECT_TRUE(json["results"].empty()) << json.dump();
    EXPECT_EQ(json["leftOut"][0]["reason"], "already at 0.2.0: nothing newer to install") << json.dump();
    expectNothingChanged(before, "");
}

}  // namespace
}  // namespace vt
