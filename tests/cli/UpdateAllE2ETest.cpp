// `vantreel update --all` and the automation verbs in a sandbox HOME: a fake `uv` in
// ~/.local/bin whose five tools are outdated against PyPI on loopback; two of them fail to
// upgrade, and a file makes an upgrade slow so that a second process and Ctrl-C can meet it.
#include <signal.h>
#include <sys/wait.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "base/Files.hpp"
#include "base/Json.hpp"
#include "support/LoopbackServer.hpp"
#include "support/ScopedEnvironment.hpp"
#include "support/TempDir.hpp"
#include "support/VantreelProcess.hpp"

namespace vt {
namespace {

using testing::runVantreel;

class UpdateAllE2ETest : public ::testing::Test {
protected:
    void SetUp() override {
        testing::showOnly(home_.path(), {"ShowUv"});
        home_.writeExecutable(".local/bin/uv", R"SH(#!/bin/sh
state=")SH" + home_.path() + R"SH("
case "$1 $2" in
  "tool list")
    for tool in alpha bravo charlie delta echo; do
      printf '%s v%s\n- %s\n' "$tool" "$(cat "$state/uv-$tool" 2>/dev/null || echo 1.0.0)" "$tool"
    done ;;
  "tool upgrade")
    echo "$3" >> "$state/upgrades"
    if [ -f "$state/slow" ]; then echo $$ > "$state/upgrading"; sleep 20; fi
    case "$3" in delta|echo) echo "error: failed to build $3" >&2; exit 2 ;; esac
    echo 2.0.0 > "$state/uv-$3" ;;
  *) exit 2 ;;
esac
)SH");
        for (const char* tool : {"alpha", "bravo", "charlie", "delta", "echo"}) {
            testing::LoopbackRoute route;
            route.body = std::string(R"({"info": {"name": ")") + tool + R"(", "version": "2.0.0"}, "releases": {}})";
            pypi_.setRoute(std::string("/pypi/") + tool + "/json", route);
        }
        ASSERT_EQ(runVantreel(run({"scan"})).exitCode, 0);
    }

    testing::VantreelRun run(std::vector<std::string> arguments) const {
        std::vector<std::string> full = {"--accept-terms"};
        full.insert(full.end(), arguments.begin(), arguments.end());
        return {std::move(full), home_.path(), {{"VANTREEL_ENDPOINT_PYPI", pypi_.origin()}, {"LANG", "C"}}, {}, 90};
    }

    std::string upgrades() const { return readFile(home_.file("upgrades")).value_or(""); }

    testing::TempDir home_{"vt-update-all-e2e"};
    testing::LoopbackServer pypi_;
};

TEST_F(UpdateAllE2ETest, UpdatesEveryToolOnceReportsTheFailuresAndCountsWhatIsLeft) {
    auto plan = runVantreel(run({"update", "--all", "--dry-run"}));
    ASSERT_EQ(plan.exitCode, 0) << plan.standardError;
    EXPECT_NE(plan.standardOutput.find("To update (5):"), std::string::npos) << plan.standardOutput;
    EXPECT_EQ(upgrades(), "");
    EXPECT_EQ(runVantreel(run({"outdated-count"})).standardOutput, "5\n");

    const std::string report = home_.file("report.md");
    auto batch = runVantreel(run({"update", "--all", "--yes", "--json", "--report", report}));
    EXPECT_EQ(batch.exitCode, 1) << batch.standardError;  // two failed
    EXPECT_EQ(upgrades(), "alpha\nbravo\ncharlie\ndelta\necho\n");
    Json result = testing::jsonOf(batch);
    ASSERT_EQ(result["results"].size(), 5u) << batch.standardOutput;
    EXPECT_EQ(result["results"][0]["success"], true);
    EXPECT_EQ(result["results"][0]["newVersion"], "2.0.0");
    EXPECT_EQ(result["results"][3]["success"], false);
    EXPECT_NE(result["results"][3]["error"].get<std::string>().find("failed to build delta"), std::string::npos);
    EXPECT_EQ(result["report"], report);
    std::string markdown = readFile(report).value_or("");
    EXPECT_NE(markdown.find("- Items processed: 5\n- Succeeded: 3\n- Failed: 2\n"), std::string::npos) << markdown;
    EXPECT_NE(markdown.find("### [FAILED] delta\n- Source: uv\n"), std::string::npos) << markdown;
    EXPECT_EQ(runVantreel(run({"outdated-count"})).standardOutput, "2\n");

    // Once the two are brought up to date by other means, the automation action has nothing to do.
    std::filesystem::remove(home_.file("upgrades"));
    home_.write("uv-delta", "2.0.0\n");
    home_.write("uv-echo", "2.0.0\n");
    ASSERT_EQ(runVantreel(run({"check-updates"})).standardOutput, "0\n");
    auto summary = runVantreel(run({"update-all", "--summary"}));
    EXPECT_EQ(summary.standardOutput, "All packages are already up to date.\n");
    EXPECT_EQ(summary.exitCode, 0);
    EXPECT_EQ(upgrades(), "");
}

TEST_F(UpdateAllE2ETest, FiveOutdatedOfWhichTwoFailGiveTheSentence) {
    auto summary = runVantreel(run({"update-all", "--summary"}));
    EXPECT_EQ(summary.standardOutput, "Updated 3 package(s). 2 still outdated.\n") << summary.standardError;
    EXPECT_EQ(summary.exitCode, 1);
}

TEST_F(UpdateAllE2ETest, AnotherProcessSkipsItsScanAndCtrlCStopsBeforeTheNextTool) {
    home_.write("slow", "");
    testing::ScopedEnvironment endpoint("VANTREEL_ENDPOINT_PYPI", pypi_.origin().c_str());
    pid_t batch = testing::startVantreel(home_.path(), {"--accept-terms", "update-all", "--yes"});
    ASSERT_TRUE(testing::waitForFile(home_.file("upgrading")));

    auto scan = runVantreel(run({"scan"}));
    EXPECT_EQ(scan.exitCode, 0);
    EXPECT_NE(scan.standardOutput.find("An update is in progress; the scan was skipped."), std::string::npos)
        << scan.standardOutput << scan.standardError;

    ::kill(batch, SIGINT);
    int status = 0;
    ASSERT_EQ(::waitpid(batch, &status, 0), batch);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(upgrades(), "alpha\n");  // the rest was never started
    Json activity = testing::jsonOf(runVantreel(run({"activity", "--json"})))["activity"];
    ASSERT_FALSE(activity.empty());
    EXPECT_EQ(activity[0]["title"], "Update cancelled") << activity.dump();
    EXPECT_EQ(activity[0]["subtitle"], "Cancelled: 0 updated, 1 failed");
}

}  // namespace
}  // namespace vt
