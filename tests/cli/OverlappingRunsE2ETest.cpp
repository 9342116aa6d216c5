// What the saved results become when tools fail and when two `vantreel` processes overlap:
// the binary in a sandbox HOME, a fake `uv` and a fake `brew` in ~/.local/bin whose
// behaviour the test sets through files (list normally, sleep first, hang, or exit 2).
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <set>
#include <string_view>
#include <thread>

#include <gtest/gtest.h>

#include "base/Files.hpp"
#include "base/Json.hpp"
#include "support/Eventually.hpp"
#include "support/LoopbackServer.hpp"
#include "support/TempDir.hpp"
#include "support/VantreelProcess.hpp"

namespace vt {
namespace {

using testing::jsonOf;
using testing::runVantreel;

constexpr int kRounds = 20;  // overlapping processes: each case this many times
constexpr std::string_view kScanWaiting = "Another Van Treel process is scanning; waiting";
constexpr std::string_view kUpdateWaiting = "Waiting for the running scan or update of another Van Treel process";

class OverlappingRunsE2ETest : public ::testing::Test {
protected:
    void SetUp() override {
        testing::showOnly(home_.path(), {"ShowUv", "ShowHomebrew"});
        // uv lists the tools named in uv-tools (ruff at the version in uv-ruff); uv-mode says
        // how it behaves: "ok", "sleep N" before listing, "gate" (waits for uv-release, at
        // most a minute), "hang", "stubborn" (hangs deaf to all but SIGKILL), or "fail".
        home_.writeExecutable(".local/bin/uv", R"SH(#!/bin/sh
state=")SH" + home_.path() + R"SH("
echo $$ >> "$state/uv-pids"
mode=$(cat "$state/uv-mode" 2>/dev/null || echo ok)
case "$1 $2" in
  "tool list")
    case "$mode" in
      hang) exec sleep 600 ;;
      stubborn) trap '' TERM INT HUP; touch "$state/uv-stubborn"; while :; do sleep 1; done ;;
      fail) echo "error: failed to read the tools directory" >&2; exit 2 ;;
      sleep*) sleep ${mode#sleep } ;;
      gate) i=0; while [ ! -f "$state/uv-release" ] && [ $i -lt 1200 ]; do sleep 0.05; i=$((i+1)); done ;;
    esac
    printf 'ruff v%s\n- ruff\n' "$(cat "$state/uv-ruff" 2>/dev/null || echo 0.3.0)"
    for tool in $(cat "$state/uv-tools" 2>/dev/null); do printf '%s v1.0.0\n- %s\n' "$tool" "$tool"; done ;;
  "tool upgrade") echo 0.4.1 > "$state/uv-ruff" ;;
  *) exit 2 ;;
esac
)SH");
        // brew lists one formula when the file brew-testball exists.
        home_.writeExecutable(".local/bin/brew", R"(#!/bin/sh
case "$1 $2" in
  "list --formula") [ -f ")" + home_.file("brew-testball") + R"(" ] && echo "testball 0.0.1" ;;
  "outdated --json=v2") echo '{"formulae":[],"casks":[]}' ;;
  "info --json=v2") echo '{"formulae":[],"casks":[]}' ;;
esac
exit 0
)");
        setUv("ok");
        // ruff's latest is 0.4.1, so a scan offers the update the tests run.
        pypi_.setRoute("/pypi/ruff/json", {.body = R"({"info": {"name": "ruff", "version": "0.4.1"}, "releases": {}})"});
    }

    void setUv(const std::string& mode) const { home_.write("uv-mode", mode + "\n"); }
    void setTools(const std::vector<std::string>& tools) const {
        std::string text;
        for (const auto& tool : tools) text += tool + "\n";
        home_.write("uv-tools", text);
    }

    testing::VantreelRun run(std::vector<std::string> arguments, std::string timeout = "30") const {
        std::vector<std::string> full = {"--accept-terms"};
        full.insert(full.end(), arguments.begin(), arguments.end());
        return {std::move(full), home_.path(),
                {{"VANTREEL_SCANNER_TIMEOUT", std::move(timeout)}, {"VANTREEL_ENDPOINT_PYPI", pypi_.origin()}}};
    }

    std::set<std::string> names(const Json& report) const {
        std::set<std::string> found;
        for (const auto& item : report["items"]) found.insert(item["name"].get<std::string>());
        return found;
    }

    pid_t startScan() const { return testing::startVantreel(home_.path(), {"--accept-terms", "scan", "--full"}); }
    bool waitForUv() const { return testing::waitForFile(home_.file("uv-pids")); }
    // The gated listing ends once the other process waits for it, however slow this machine
    // is to start that one (or a minute on, should it never wait).
    void waitUntilLoggedAgain(std::string_view line, std::size_t before) const {
        for (int i = 0; i < 1200 && timesLogged(line) == before; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    std::size_t timesLogged(std::string_view line) const {
        const std::string log = readFile(testing::logFile(home_.path())).value_or("");
        std::size_t count = 0;
        for (std::size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + line.size())) ++count;
        return count;
    }
    // Only this test's own fakes: a number of one long gone may be another process's now.
    void killUvs() const {
        for (pid_t pid : testing::pidsIn(home_.file("uv-pids"))) {
            // What a fake became by exec keeps the sandbox HOME it was given.
            const std::string environment = readFile("/proc/" + std::to_string(pid) + "/environ").value_or("");
            if (environment.find("HOME=" + home_.path() + '\0') != std::string::npos) ::kill(pid, SIGKILL);
        }
        std::filesystem::remove(home_.file("uv-pids"));
    }

    testing::TempDir home_{"vt-overlap-e2e"};
    testing::LoopbackServer pypi_;
};

TEST_F(OverlappingRunsE2ETest, AFailingOrHangingSourceKeepsWhatItListedBefore) {
    setTools({"black"});
    auto first = runVantreel(run({"scan", "--full", "--json"}));
    ASSERT_EQ(first.exitCode, 0) << first.standardError;
    ASSERT_EQ(names(jsonOf(first)), (std::set<std::string>{"ruff", "black"}));
    // RFC 3339 dates in UTC order as their text does.
    const std::string firstDate = jsonOf(first)["scan"]["date"].get<std::string>();

    for (const std::string mode : {"hang", "fail"}) {
        setUv(mode);
        auto scan = runVantreel(run({"scan", "--full", "--json"}, "2"));
        ASSERT_EQ(scan.exitCode, 0) << scan.standardError;
        Json report = jsonOf(scan);
        EXPECT_EQ(names(report), (std::set<std::string>{"ruff", "black"})) << mode;
        bool marked = false;
        for (const auto& scanner : report["scanners"]) {
            if (scanner["source"] != "uv") continue;
            marked = scanner.contains("itemsFrom");
            // Dated by the scan that listed them, not by this one.
            if (marked) {
                EXPECT_LE(scanner["itemsFrom"].get<std::string>(), firstDate) << mode;
            }
            if (mode == "hang") {  // timed out
                EXPECT_EQ(scanner["state"], "failed");
                EXPECT_EQ(scanner["error"], "Timeout");
            }
        }
        EXPECT_TRUE(marked) << scan.standardOutput;

        auto table = runVantreel(run({"list", "--all"}));
        EXPECT_NE(table.standardOutput.find("ruff"), std::string::npos);
        EXPECT_NE(table.standardOutput.find("showing what it listed on"), std::string::npos) << table.standardOutput;
        EXPECT_EQ(table.standardOutput.find("Everything is up to date"), std::string::npos);
        killUvs();
    }
    EXPECT_NE(readFile(testing::dataFolder(home_.path()) + "/ScanResults/uv_tools.json").value_or("[]"),
              "[]");
}

TEST_F(OverlappingRunsE2ETest, AnUpdateWaitingForAScanChangesWhatThatScanSaved) {
    for (int round = 0; round < kRounds; ++round) {
        std::filesystem::remove(home_.file("brew-testball"));
        std::filesystem::remove(home_.file("uv-ruff"));
        setUv("ok");
        ASSERT_EQ(runVantreel(run({"scan", "--full"})).exitCode, 0);
        // The next scan finds a formula the update process has never seen.
        home_.write("brew-testball", "");
        setUv("gate");
        std::filesystem::remove(home_.file("uv-release"));
        std::filesystem::remove(home_.file("uv-pids"));
        auto scan = std::async(std::launch::async, [&] { return runVantreel(run({"scan", "--full"})); });
        // uv lists while the scan holds the lock: from then on the update must wait for it.
        ASSERT_TRUE(waitForUv());
        const std::size_t waited = timesLogged(kUpdateWaiting);
        auto pending = std::async(std::launch::async, [&] { return runVantreel(run({"update", "--yes", "ruff"})); });
        waitUntilLoggedAgain(kUpdateWaiting, waited);
        home_.write("uv-release", "");
        auto update = pending.get();
        ASSERT_EQ(scan.get().exitCode, 0);
        ASSERT_EQ(update.exitCode, 0) << update.standardOutput << update.standardError;

        Json saved = jsonOf(runVantreel(run({"list", "--all", "--json"})));
        ASSERT_EQ(names(saved), (std::set<std::string>{"ruff", "testball"})) << "round " << round;
        for (const auto& item : saved["items"]) {
            if (item["name"] == "ruff") {
                EXPECT_EQ(item["version"], "0.4.1") << "round " << round;
            }
        }
        // Both processes' activity is kept.
        Json activity = jsonOf(runVantreel(run({"activity", "--json"})))["activity"];
        std::set<std::string> titles;
        for (const auto& record : activity) titles.insert(record["title"].get<std::string>());
        EXPECT_TRUE(titles.count("Update completed") && titles.count("Scan completed")) << "round " << round;
    }
}

TEST_F(OverlappingRunsE2ETest, AScanWaitingForAnotherShowsWhatThatScanSaved) {
    std::vector<std::string> tools;
    for (int round = 0; round < kRounds; ++round) {
        tools.push_back("tool" + std::to_string(round));
        setTools(tools);
        setUv("gate");
        std::filesystem::remove(home_.file("uv-release"));
        std::filesystem::remove(home_.file("uv-pids"));
        auto first = std::async(std::launch::async, [&] { return runVantreel(run({"scan", "--full", "--json"})); });
        ASSERT_TRUE(waitForUv());  // the first scan holds the lock
        const std::size_t waited = timesLogged(kScanWaiting);
        auto pending = std::async(std::launch::async, [&] { return runVantreel(run({"scan", "--full", "--json"})); });
        waitUntilLoggedAgain(kScanWaiting, waited);
        // Time for the waiting one's progress to be drawn, once.
        if (round == 0) std::this_thread::sleep_for(std::chrono::milliseconds(600));
        home_.write("uv-release", "");
        auto second = pending.get();
        auto firstResult = first.get();
        ASSERT_EQ(firstResult.exitCode, 0);
        ASSERT_EQ(second.exitCode, 0) << second.standardError;
        // It says what it waits for, and whose results it shows.
        if (round == 0) {
            EXPECT_NE(second.standardError.find("scan: Waiting for the scan another Van Treel process is running"),
                      std::string::npos)
                << second.standardError;
        }
        EXPECT_NE(second.standardError.find("scan: Results of the scan another Van Treel process ran"), std::string::npos)
            << second.standardError;
        Json joined = jsonOf(second);
        EXPECT_EQ(joined["items"].size(), tools.size() + 1) << "round " << round;
        EXPECT_EQ(joined["scan"]["cacheReason"], "results of another process's scan") << "round " << round;
    }
}

TEST_F(OverlappingRunsE2ETest, AScanWaitingForACancelledOneScansItselfAndTheCancelledOneIsFinalised) {
    setTools({"black"});
    ASSERT_EQ(runVantreel(run({"scan", "--full"})).exitCode, 0);
    for (int round = 0; round < kRounds; ++round) {
        const std::string added = "tool" + std::to_string(round);
        setUv("hang");
        setTools({"black", added});
        killUvs();
        pid_t first = startScan();
        ASSERT_TRUE(waitForUv());
        auto second = std::async(std::launch::async, [&] { return runVantreel(run({"scan", "--full", "--json"})); });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        setUv("ok");
        ::kill(first, SIGINT);
        int status = 0;
        ::waitpid(first, &status, 0);
        EXPECT_EQ(WEXITSTATUS(status), 130) << "round " << round;
        auto result = second.get();
        ASSERT_EQ(result.exitCode, 0) << result.standardError;
        Json report = jsonOf(result);
        EXPECT_NE(report["scan"]["cacheReason"], "results of another process's scan") << "round " << round;
        EXPECT_EQ(names(report), (std::set<std::string>{"ruff", "black", added})) << "round " << round;
    }
    Json activity = jsonOf(runVantreel(run({"activity", "--json"})))["activity"];
    int cancelled = 0;
    for (const auto& record : activity) cancelled += record["title"] == "Scan cancelled" ? 1 : 0;
    EXPECT_EQ(cancelled, kRounds) << activity.dump();
}

TEST_F(OverlappingRunsE2ETest, OnlyARunThatDiedIsReportedAsAnUncleanExit) {
    const std::string warning = "did not end normally";
    ASSERT_EQ(runVantreel(run({"scan", "--full"})).exitCode, 0);
    setUv("sleep 1");
    for (int round = 0; round < kRounds; ++round) {
        auto scan = std::async(std::launch::async, [&] { return runVantreel(run({"scan", "--full"})); });
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        auto during = runVantreel(run({"list"}));
        EXPECT_EQ(during.standardError.find(warning), std::string::npos) << "round " << round << during.standardError;
        ASSERT_EQ(scan.get().exitCode, 0);
    }
    const std::string metadata = testing::dataFolder(home_.path()) + "/ScanResults/scan_metadata.json";
    EXPECT_EQ(parseJson(readFile(metadata).value_or("{}")).value_or(Json::object())["wasCleanExit"], true);

    setUv("hang");
    killUvs();
    pid_t killed = startScan();
    ASSERT_TRUE(waitForUv());
    ::kill(killed, SIGKILL);
    ::waitpid(killed, nullptr, 0);
    killUvs();
    auto after = runVantreel(run({"list"}));
    EXPECT_NE(after.standardError.find(warning), std::string::npos) << after.standardError;
    setUv("ok");
    ASSERT_EQ(runVantreel(run({"scan", "--full"})).exitCode, 0);
    EXPECT_EQ(runVantreel(run({"list"})).standardError.find(warning), std::string::npos);
    EXPECT_EQ(parseJson(readFile(metadata).value_or("{}")).value_or(Json::object())["wasCleanExit"], false);  // this run followed a crash

    // A second Ctrl-C ends a run at once, as the user asked: not a run that died. (uv makes
    // the first one wait.)
    setUv("stubborn");
    killUvs();
    pid_t stopped = startScan();
    ASSERT_TRUE(testing::waitForFile(home_.file("uv-stubborn")));
    ::kill(stopped, SIGINT);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ::kill(stopped, SIGINT);
    int status = 0;
    ::waitpid(stopped, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 130);
    // ...and leaves none of the tools it started behind.
    const std::vector<pid_t> uvs = testing::pidsIn(home_.file("uv-pids"));
    ASSERT_FALSE(uvs.empty());
    EXPECT_TRUE(testing::eventually(
        [&uvs] { return std::none_of(uvs.begin(), uvs.end(), [](pid_t pid) { return testing::isRunning(pid); }); },
        std::chrono::seconds(5)));
    killUvs();
    setUv("ok");
    EXPECT_EQ(runVantreel(run({"list"})).standardError.find(warning), std::string::npos);

    // An update marks its run once it is agreed to, and one that dies then is said too.
    setUv("hang");
    pid_t update = testing::startVantreel(home_.path(), {"--accept-terms", "update", "ruff", "--yes"});
    ASSERT_TRUE(waitForUv());
    ::kill(update, SIGKILL);
    ::waitpid(update, nullptr, 0);
    killUvs();
    setUv("ok");
    EXPECT_NE(runVantreel(run({"list"})).standardError.find(warning), std::string::npos);
}

TEST_F(OverlappingRunsE2ETest, AnUnusableLockFolderIsAnErrorNamingIt) {
    auto scan = runVantreel({{"--accept-terms", "scan", "--full"}, home_.path(), {{"XDG_DATA_HOME", "/proc/self"}}});
    EXPECT_EQ(scan.exitCode, 1);
    EXPECT_NE(scan.standardError.find("/proc/self/"), std::string::npos) << scan.standardError;
    EXPECT_EQ(scan.standardOutput.find("update is in progress"), std::string::npos);
}

// Shown but not kept is a failure the user hears of, whatever the scan found.
TEST_F(OverlappingRunsE2ETest, AScanWhoseResultsCannotBeSavedSaysSoAndFails) {
    const std::string results = testing::dataFolder(home_.path()) + "/ScanResults";
    std::filesystem::create_directories(std::filesystem::path(results).parent_path());
    home_.write(std::filesystem::relative(results, home_.path()).string(), "not a folder\n");
    for (const std::vector<std::string>& arguments :
         std::vector<std::vector<std::string>>{{"scan", "--full"}, {"scan", "--full", "--exit-code"}}) {
        auto scan = runVantreel(run(arguments));
        EXPECT_EQ(scan.exitCode, 1) << scan.standardError;
        EXPECT_NE(scan.standardOutput.find("ruff"), std::string::npos) << scan.standardOutput;
        EXPECT_NE(scan.standardError.find("Cannot save the scan results " + results), std::string::npos) << scan.standardError;
        EXPECT_NE(scan.standardError.find("not saved"), std::string::npos) << scan.standardError;
    }
    EXPECT_EQ(readFile(results), "not a folder\n");
}

TEST_F(OverlappingRunsE2ETest, ASecondProcessWithinTheCacheLifetimeTakesTheFastPath) {
    setTools({"black"});
    home_.write("brew-testball", "");
    ASSERT_EQ(runVantreel(run({"scan", "--full"})).exitCode, 0);
    setTools({"black", "mypy"});  // installed since: seen at once, as these fake tools name no inputs
    Json fast = jsonOf(runVantreel(run({"scan", "--json"})));
    EXPECT_EQ(fast["scan"]["cacheReason"].get<std::string>().rfind("using fast path, cache age ", 0), 0u)
        << fast["scan"].dump();
    EXPECT_EQ(names(fast), (std::set<std::string>{"ruff", "black", "mypy", "testball"}));

    ASSERT_EQ(runVantreel(run({"settings", "set", "ShowHomebrew", "false"})).exitCode, 0);
    Json changed = jsonOf(runVantreel(run({"scan", "--json"})));
    EXPECT_EQ(changed["scan"]["cacheReason"], "active sources changed added=[] removed=[homebrew]");
    // A source switched off takes its rows with it.
    EXPECT_EQ(names(changed), (std::set<std::string>{"ruff", "black", "mypy"}));

    // Throttled automatic scans still answer in JSON.
    Json throttled = jsonOf(runVantreel(run({"scan", "--automatic", "--json"})));
    EXPECT_EQ(throttled["scan"]["skipped"], true);
    EXPECT_EQ(throttled["items"].size(), 3u);
    // A throttled scan that is also to be full is two wishes at odds: refused, not half kept.
    EXPECT_EQ(runVantreel(run({"scan", "--automatic", "--full"})).exitCode, 2);
}

}  // namespace
}  // namespace vt
