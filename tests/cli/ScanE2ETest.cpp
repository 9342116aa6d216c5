// `vantreel scan` as a user runs it, against a fake `brew` in the sandbox's ~/.local/bin that
// prints Homebrew's own recorded outputs.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "base/Files.hpp"
#include "base/Json.hpp"
#include "base/Strings.hpp"
#include "support/Corpus.hpp"
#include "support/Eventually.hpp"
#include "system/CommandRunner.hpp"
#include "support/TempDir.hpp"
#include "support/VantreelProcess.hpp"
#include "support/BuildPaths.hpp"

namespace vt {
namespace {

using testing::itemsByKey;
using testing::jsonOf;
using testing::runVantreel;

std::string corpus(const std::string& name) {
    return testing::corpusPath("homebrew/from-brew-specs/" + name);
}

class ScanE2ETest : public ::testing::Test {
protected:
    void SetUp() override {
        testing::showOnly(home_.path(), {"ShowHomebrew", "ShowCasks"});
    }

    // A brew whose listing hangs when `hangOn` is its first argument.
    void writeBrew(const std::string& hangOn = "") {
        home_.writeExecutable(".local/bin/brew", R"(#!/bin/sh
echo $$ >> ")" + home_.file("brew-pids") + R"("
if [ "$1" = ")" + hangOn + R"(" ]; then exec sleep 600; fi
case "$1 $2" in
  "list --formula") echo "testball 0.0.1" ;;
  "list --cask") echo "local-caffeine 1.2.2" ;;
  "outdated --json=v2") cat ")" + corpus("outdated-json-v2.formula-and-cask.stdout") + R"(" ;;
  "info --json=v2") echo '{"formulae":[],"casks":[]}' ;;
  *) ;;
esac
echo "$(nice) $1 $2" >> ")" + home_.file("brew-nice") + R"("
exit 0
)");
    }

    bool anyBrewAlive() const {
        for (pid_t pid : testing::pidsIn(home_.file("brew-pids"))) {
            if (testing::isRunning(pid)) return true;
        }
        return false;
    }

    testing::VantreelRun run(std::vector<std::string> arguments) const {
        // A bound for a brew gone wrong, far above what a busy machine needs.
        return {std::move(arguments), home_.path(), {{"VANTREEL_SCANNER_TIMEOUT", "30"}}};
    }

    testing::TempDir home_{"vt-scan-e2e"};
};

// The scan lists and prints the outdated formula and cask; `list` and `activity` read what it
// saved, without scanning again.
TEST_F(ScanE2ETest, TheScanListsAndPrintsTheOutdatedAndListAndActivityReadWhatItSaved) {
    auto empty = runVantreel(run({"list"}));
    EXPECT_EQ(empty.exitCode, 0) << empty.standardError;
    EXPECT_EQ(empty.standardOutput, "Nothing has been scanned yet. Run vantreel scan to take an inventory.\n");
    Json emptyJson = jsonOf(runVantreel(run({"list", "--json"})));
    EXPECT_TRUE(emptyJson["items"].empty());
    EXPECT_EQ(emptyJson["scan"]["itemCount"], 0);
    EXPECT_FALSE(emptyJson["scan"].contains("date"));
    auto noActivity = runVantreel(run({"activity"}));
    EXPECT_EQ(noActivity.exitCode, 0);
    EXPECT_EQ(noActivity.standardOutput, "No activity yet.\n");
    const ShellCommandResult noActivityJson = runVantreel(run({"activity", "--json"}));
    EXPECT_EQ(testing::schemaViolations("activity.schema.json", noActivityJson.standardOutput), "");
    EXPECT_EQ(jsonOf(noActivityJson)["activity"], Json::array());
    EXPECT_EQ(runVantreel(run({"list", "--no-such-flag"})).exitCode, 2);

    writeBrew();
    auto json = runVantreel(run({"--accept-terms", "scan", "--json"}));
    ASSERT_EQ(json.exitCode, 0) << json.standardError;
    Json parsed = jsonOf(json);
    std::map<std::string, Json> items = itemsByKey(parsed);
    ASSERT_TRUE(items.count("package:formulas:testball")) << json.standardOutput;
    EXPECT_EQ(items["package:formulas:testball"]["latestVersion"], "0.1");
    EXPECT_EQ(items["package:formulas:testball"]["updateAvailable"], true);
    EXPECT_EQ(items["package:casks:local-caffeine"]["latestVersion"], "1.2.3");
    EXPECT_EQ(items.size(), parsed["items"].size());  // no item twice
    // The tools a scan starts yield to its own reading.
    const int ours = ::getpriority(PRIO_PROCESS, 0);
    const std::string yielding = std::to_string(std::min(ours + CommandRunner::kYieldingNiceIncrement, 19));
    const std::string recorded = readFile(home_.file("brew-nice")).value_or("");
    auto calls = splitLines(recorded);
    ASSERT_FALSE(calls.empty());
    for (std::string_view call : calls) EXPECT_EQ(call.substr(0, call.find(' ')), yielding) << call;
    std::filesystem::remove(home_.file("brew-pids"));

    auto listed = runVantreel(run({"list", "--json"}));
    ASSERT_EQ(listed.exitCode, 0) << listed.standardError;
    parsed = jsonOf(listed);
    EXPECT_EQ(itemsByKey(parsed)["package:formulas:testball"]["version"], "0.0.1") << listed.standardOutput;
    const Json& scan = parsed["scan"];
    EXPECT_EQ(scan["origin"], "saved results");
    EXPECT_EQ(scan["itemCount"], parsed["items"].size());
    EXPECT_TRUE(scan["date"].is_string() && scan["date"].get<std::string>().back() == 'Z') << scan;
    EXPECT_GE(scan["ageSeconds"].get<double>(), 0.0);
    EXPECT_LT(scan["ageSeconds"].get<double>(), 120.0);
    EXPECT_FALSE(std::filesystem::exists(home_.file("brew-pids"))) << "list ran brew";
    auto table = runVantreel(run({"list"}));
    EXPECT_EQ(table.exitCode, 0);
    EXPECT_NE(table.standardOutput.find("testball"), std::string::npos) << table.standardOutput;
    EXPECT_NE(table.standardOutput.find("2 updates available"), std::string::npos) << table.standardOutput;
    EXPECT_NE(table.standardOutput.find("last scan just now"), std::string::npos) << table.standardOutput;

    const ShellCommandResult activity = runVantreel(run({"activity", "--json"}));
    EXPECT_EQ(testing::schemaViolations("activity.schema.json", activity.standardOutput), "") << activity.standardOutput;
    const Json records = jsonOf(activity)["activity"];
    ASSERT_EQ(records.size(), 1u) << records.dump();
    EXPECT_EQ(records[0]["type"], "scan");
    EXPECT_EQ(records[0]["title"], "Scan completed");
    EXPECT_EQ(records[0]["subtitle"], "2 items analyzed");
    EXPECT_TRUE(records[0]["duration"].is_number());
    EXPECT_NE(runVantreel(run({"activity"})).standardOutput.find("  Scan completed — 2 items analyzed ("),
              std::string::npos);

    table = runVantreel(run({"scan"}));
    ASSERT_EQ(table.exitCode, 0);
    EXPECT_NE(table.standardOutput.find("0.0.1"), std::string::npos);
    EXPECT_NE(table.standardOutput.find("2 updates available"), std::string::npos) << table.standardOutput;
    // Without a terminal: plain progress lines, no escape sequences anywhere.
    EXPECT_EQ(table.standardOutput.find('\x1b'), std::string::npos);
    EXPECT_EQ(table.standardError.find('\x1b'), std::string::npos);
    EXPECT_NE(table.standardError.find("scan: Homebrew: done"), std::string::npos) << table.standardError;

    // What the user ignored is counted neither by the table nor by the progress line.
    ASSERT_EQ(runVantreel(run({"ignore", "brew:testball"})).exitCode, 0);
    table = runVantreel(run({"scan", "--full"}));
    ASSERT_EQ(table.exitCode, 0) << table.standardError;
    EXPECT_NE(table.standardOutput.find("1 update available"), std::string::npos) << table.standardOutput;
    // ...said last, after what each source did.
    EXPECT_EQ(table.standardError.rfind("scan: "), table.standardError.find("scan: Done: 1 update available\n"))
        << table.standardError;
}

// A tool that fails is said by the scan itself, as list says it later.
TEST_F(ScanE2ETest, AFailingToolIsSaidNotHidden) {
    writeBrew();
    ASSERT_EQ(runVantreel(run({"--accept-terms", "scan"})).exitCode, 0);
    home_.writeExecutable(".local/bin/brew", "#!/bin/sh\necho 'Error: broken keg' >&2\nexit 1\n");
    auto failed = runVantreel(run({"scan", "--full", "--json"}));
    const Json scanned = jsonOf(failed);
    bool said = false;
    for (const Json& scanner : scanned["scanners"]) {
        if (scanner.value("state", "") != "failed") continue;
        EXPECT_FALSE(scanner.value("error", "").empty()) << scanner.dump();
        said = true;
    }
    EXPECT_TRUE(said) << failed.standardOutput;
    auto text = runVantreel(run({"scan", "--full"}));
    EXPECT_NE(text.standardOutput.find("! Homebrew"), std::string::npos) << text.standardOutput;

    // A source named that did not run at all (turned off here) is said too, and is not "up to date".
    auto absent = runVantreel(run({"scan", "--full", "--only", "npm", "--exit-code"}));
    EXPECT_EQ(absent.exitCode, 3) << absent.standardOutput;
    EXPECT_NE(absent.standardError.find("npm did not run"), std::string::npos) << absent.standardError;
    EXPECT_EQ(absent.standardOutput.find("up to date"), std::string::npos) << absent.standardOutput;
}

// Ctrl-C, a service manager's stop and a closed terminal each end the scan at once, with the
// status a shell gives that signal.
TEST_F(ScanE2ETest, InterruptCancelsAndLeavesNoChildBehind) {
    writeBrew("list");
    for (const auto& [signal, expected] : {std::pair{SIGINT, 130}, std::pair{SIGTERM, 143}, std::pair{SIGHUP, 129}}) {
        std::filesystem::remove(home_.file("brew-pids"));
        int output[2];
        ASSERT_EQ(::pipe(output), 0);
        pid_t child = testing::startVantreel(home_.path(), {"--accept-terms", "scan", "--full"}, output[1]);
        ASSERT_GE(child, 0);
        ::close(output[1]);
        testing::waitForFile(home_.file("brew-pids"));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        auto interrupted = std::chrono::steady_clock::now();
        ::kill(child, signal);
        int status = 0;
        ::waitpid(child, &status, 0);
        // Far sooner than the hung listing's own time limit.
        EXPECT_LT(std::chrono::steady_clock::now() - interrupted, std::chrono::seconds(15));
        ::close(output[0]);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), expected) << strsignal(signal);
        EXPECT_TRUE(testing::eventually([&] { return !anyBrewAlive(); }));
    }
}

// On a terminal the table is coloured, unless NO_COLOR is set; a dumb terminal gets no
// control sequence at all, as a pipe.
TEST_F(ScanE2ETest, NoColorRemovesColourOnATerminal) {
    writeBrew();
    auto onTerminal = [&](const std::string& variable, const std::string& value) {
        testing::VantreelRun run{{"--accept-terms", "scan", "--full"}, home_.path()};
        if (!variable.empty()) run.environment[variable] = value;
        auto result = testing::runVantreelOnTerminal(run, "");
        EXPECT_EQ(result.exitCode, 0) << result.standardError;
        return result.standardOutput;
    };
    std::string coloured = onTerminal("", "");
    std::string plain = onTerminal("NO_COLOR", "1");
    std::string dumb = onTerminal("TERM", "dumb");
    EXPECT_NE(coloured.find("\x1b[32m"), std::string::npos);
    EXPECT_EQ(plain.find("\x1b[32m"), std::string::npos);
    EXPECT_NE(plain.find("\x1b["), std::string::npos);  // the live progress's
    EXPECT_NE(plain.find("testball"), std::string::npos) << plain;
    EXPECT_EQ(dumb.find('\x1b'), std::string::npos) << dumb;
    EXPECT_NE(dumb.find("testball"), std::string::npos) << dumb;
}

}  // namespace
}  // namespace vt
