// `vantreel update --all` and the automation verbs in a sandbox HOME: a fake `uv` in
// ~/.local/bin, which logs its calls, whose five tools are outdated against PyPI on loopback;
// two of them fail to upgrade, and a file makes bravo's upgrade slow so that a second process
// and Ctrl-C can meet it.
#include <signal.h>
#include <sys/wait.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "base/Files.hpp"
#include "base/Json.hpp"
#include "base/Strings.hpp"
#include "support/FakeTools.hpp"
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
        testing::addOutdatedUvTools(uv_, pypi_, home_.path(), R"SH(
    if [ -f "$state/slow" ] && [ "$3" = bravo ]; then echo $$ > "$state/upgrading"; sleep 20; fi
    case "$3" in delta|echo) echo "error: failed to build $3" >&2; exit 2 ;; esac
    echo 2.0.0 > "$state/uv-$3")SH");
        ASSERT_EQ(runVantreel(run({"scan"})).exitCode, 0);
    }

    testing::VantreelRun run(std::vector<std::string> arguments) const {
        std::vector<std::string> full = {"--accept-terms"};
        full.insert(full.end(), arguments.begin(), arguments.end());
        return {std::move(full), home_.path(), {{"VANTREEL_ENDPOINT_PYPI", pypi_.origin()}, {"LANG", "C"}}, {}, 90};
    }

    // The tools uv was asked to upgrade, one a line.
    std::string upgrades() const {
        const std::string log = uv_.log();
        std::string names;
        for (std::string_view line : splitLines(log)) {
            if (startsWith(line, "uv tool upgrade ")) names += std::string(line.substr(16)) + "\n";
        }
        return names;
    }

    // Back to five outdated tools, as a new scan sees them.
    void resetTools() {
        for (const char* tool : {"alpha", "bravo", "charlie", "delta", "echo"}) {
            std::filesystem::remove(home_.file(std::string("uv-") + tool));
        }
        ASSERT_EQ(runVantreel(run({"scan", "--full"})).exitCode, 0);
        uv_.clearLog();
    }

    testing::TempDir home_{"vt-update-all-e2e"};
    testing::FakeTools uv_{home_.file(".local/bin"), home_.file("uv-calls")};
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
    uv_.clearLog();
    home_.write("uv-delta", "2.0.0\n");
    home_.write("uv-echo", "2.0.0\n");
    ASSERT_EQ(runVantreel(run({"check-updates"})).standardOutput, "0\n");
    auto summary = runVantreel(run({"update-all", "--summary"}));
    EXPECT_EQ(summary.standardOutput, "All packages are already up to date.\n");
    EXPECT_EQ(summary.exitCode, 0);
    EXPECT_EQ(upgrades(), "");
}

// Five outdated of which two fail give the sentence twice (the activity counts them as failed);
// the second failure in a row defers delta and echo: the plan says so and how to end it,
// `ignored` lists them with what failed, and `unignore` brings one back.
TEST_F(UpdateAllE2ETest, TwoFailuresGiveTheSentenceTwiceThenAreDeferredUntilUnignored) {
    // `update --all` takes what update-all takes; --summary with named items is refused.
    EXPECT_EQ(runVantreel(run({"update", "uv:delta", "--summary", "--yes"})).exitCode, 2);
    for (int round = 0; round < 2; ++round) {
        auto summary = runVantreel(run(round == 0 ? std::vector<std::string>{"update-all", "--summary", "--yes"}
                                                  : std::vector<std::string>{"update", "--all", "--summary", "--yes"}));
        EXPECT_EQ(summary.standardOutput, "Updated 3 package(s). 2 still outdated.\n") << round << summary.standardError;
        EXPECT_EQ(summary.exitCode, 1);
        Json activity = testing::jsonOf(runVantreel(run({"activity", "--json"})))["activity"];
        ASSERT_FALSE(activity.empty());
        EXPECT_EQ(activity[0]["subtitle"], "3 of 5 updated, 2 failed") << round;
        resetTools();
    }
    auto plan = runVantreel(run({"update", "--all", "--dry-run"}));
    EXPECT_NE(plan.standardOutput.find("To update (3):"), std::string::npos) << plan.standardOutput;
    EXPECT_NE(plan.standardOutput.find("delta: deferred after repeated failures ("), std::string::npos)
        << plan.standardOutput;
    EXPECT_NE(plan.standardOutput.find("failed to build delta); vantreel unignore uv:delta tries it again"),
              std::string::npos)
        << plan.standardOutput;
    Json ignored = testing::jsonOf(runVantreel(run({"ignored", "--json"})))["ignored"];
    ASSERT_EQ(ignored.size(), 2u) << ignored.dump();
    EXPECT_EQ(ignored[0]["status"], "autoDeferred");
    EXPECT_NE(ignored[0]["statusDetail"].get<std::string>().find("failed to build delta"), std::string::npos);

    auto ended = runVantreel(run({"unignore", "delta"}));
    EXPECT_EQ(ended.exitCode, 0) << ended.standardError;
    EXPECT_EQ(ended.standardOutput, "delta is offered again: its deferral after repeated failures is over\n");
    plan = runVantreel(run({"update", "--all", "--dry-run"}));
    EXPECT_NE(plan.standardOutput.find("To update (4):"), std::string::npos) << plan.standardOutput;
    EXPECT_EQ(testing::jsonOf(runVantreel(run({"ignored", "--json"})))["ignored"].size(), 1u);
    EXPECT_EQ(runVantreel(run({"unignore", "delta"})).standardOutput, "delta was not ignored\n");
}

// Ctrl-C during bravo: alpha stays updated (and is read again as such), bravo is
// cancelled rather than failed, and nothing after it starts.
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
    EXPECT_EQ(WEXITSTATUS(status), 130);
    EXPECT_EQ(upgrades(), "alpha\nbravo\n");  // the rest was never started
    Json activity = testing::jsonOf(runVantreel(run({"activity", "--json"})))["activity"];
    ASSERT_FALSE(activity.empty());
    EXPECT_EQ(activity[0]["title"], "Update cancelled") << activity.dump();
    EXPECT_EQ(activity[0]["subtitle"], "Cancelled: 1 updated, 0 failed");
    EXPECT_EQ(runVantreel(run({"outdated-count"})).standardOutput, "4\n");  // alpha is up to date
}

}  // namespace
}  // namespace vt
