// The command line as people who live in apt, brew, gh and npm use it: the tool their shell
// runs, a table that fits the terminal, ids a shell takes as they are, choosing sources,
// exit statuses for scripts, JSON to their schemas, help, completions and the sources whose
// answers are unknown.
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/Json.hpp"
#include "base/Strings.hpp"
#include "base/TextCells.hpp"
#include "settings/DefaultsStore.hpp"
#include "support/BuildPaths.hpp"
#include "support/FakeTools.hpp"
#include "support/TempDir.hpp"
#include "support/VantreelProcess.hpp"
#include "system/CommandRunner.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {
namespace {

using testing::jsonOf;
using testing::runVantreel;

constexpr const char* kLongName = "an-exceptionally-long-formula-name-that-no-narrow-terminal-can-hold";

class CommandLineHabitsE2ETest : public ::testing::Test {
protected:
    void SetUp() override {
        testing::showOnly(home_.path(), {"ShowHomebrew", "ShowCasks", "ShowCargo"});
        testing::writeFakeBrew(home_, {{"testball", "0.0.1", "0.1"},
                                       {kLongName, "1.0.0-alpha.20240101.abcdef", "1.0.0-beta.20250101.fedcba"},
                                       {"local-caffeine", "1.2.2", "1.2.3", true}});
    }

    testing::VantreelRun run(std::vector<std::string> arguments, std::map<std::string, std::string> environment = {}) const {
        environment.try_emplace("VANTREEL_SCANNER_TIMEOUT", "20");
        // No crates registry answers: cargo's latest versions stay unknown.
        environment.try_emplace("VANTREEL_ENDPOINT_CRATES", "http://127.0.0.1:9");
        return {std::move(arguments), home_.path(), std::move(environment)};
    }

    // What bash offers for the line typed, with the program's completion script loaded and
    // the built program first on the PATH. `words` are the line's words as bash splits them
    // (at spaces and at ":").
    std::string bashCompletions(const std::string& words, const std::string& line) {
        const std::string script = runVantreel(run({"completions", "bash"})).standardOutput;
        home_.write("completion.bash", script);
        const std::string program = "source " + home_.file("completion.bash") + "\nCOMP_WORDS=(" + words +
                                    ")\nCOMP_CWORD=$((${#COMP_WORDS[@]} - 1))\nCOMP_LINE='" + line + "'" +
                                    "\nCOMP_POINT=${#COMP_LINE}\n_vantreel\nprintf '%s\\n' \"${COMPREPLY[@]}\"\n";
        const std::string folder = std::filesystem::path(testing::vantreelPath()).parent_path().string();
        ShellCommandResult result = CommandRunner::shared().execute(CommandRequest{
            .command = "/bin/bash",
            .arguments = {"-c", program},
            .environment = {{"HOME", home_.path()},
                            {"PATH", folder + ":" + CommandRunner::standardSearchPath(home_.path(), SystemFileSystemManager())}},
            .timeout = 20});
        EXPECT_EQ(result.standardError, "") << words;
        return result.standardOutput;
    }

    Json scanJson(std::vector<std::string> extra = {}) const {
        std::vector<std::string> arguments{"--accept-terms", "scan", "--json"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        ShellCommandResult result = runVantreel(run(arguments));
        EXPECT_EQ(result.exitCode, 0) << result.standardError;
        return jsonOf(result);
    }

    // What `vantreel ARGUMENTS` prints on a terminal of `columns` columns (a real
    // pseudo-terminal: the program asks it for its size), lines without their "\r".
    std::vector<std::string> onTerminal(const std::vector<std::string>& arguments, unsigned short columns,
                                        unsigned short rows = 60) const {
        winsize size{};
        size.ws_row = rows;
        size.ws_col = columns;
        const std::string path = CommandRunner::standardSearchPath(home_.path(), SystemFileSystemManager());
        std::vector<std::string> words{testing::vantreelPath()};
        words.insert(words.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        std::vector<std::string> environment =
            testing::childEnvironment({{"HOME", home_.path()}, {"PATH", path}, {"LANG", "C.UTF-8"}, {"NO_COLOR", "1"}});
        std::vector<char*> envp = testing::environmentPointers(environment);
        int master = -1;
        const pid_t child = ::forkpty(&master, nullptr, nullptr, &size);
        if (child == 0) {
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
        std::string output;
        char buffer[4096];
        ssize_t n = 0;
        while ((n = ::read(master, buffer, sizeof buffer)) > 0) output.append(buffer, static_cast<std::size_t>(n));
        ::close(master);
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
        std::vector<std::string> lines;
        for (std::string_view line : splitLines(output)) {
            std::string text(line);
            std::erase(text, '\r');
            lines.push_back(std::move(text));
        }
        return lines;
    }

    testing::TempDir home_{"vt-habits-e2e"};
};

// A tool first on the user's PATH is the one used, as the shell would; `managers` says where
// each was found and why. Tools run under a locale this machine has, whatever the user's
// says: this npm fails, as bash-based tools do, under one `locale -a` does not list.
TEST_F(CommandLineHabitsE2ETest, ToolsComeFromTheUsersPathFirstUnderALocaleThatExists) {
    testing::showOnly(home_.path(), {"ShowNpm", "ShowPip"});
    home_.writeExecutable("bin/npm", R"(#!/bin/sh
wanted=$(printf '%s' "${LC_ALL:-${LANG:-}}" | tr 'A-Z' 'a-z' | sed 's/utf-8/utf8/')
if [ -n "$wanted" ] && ! locale -a | tr 'A-Z' 'a-z' | grep -qx "$wanted"; then
  echo "setlocale: LC_ALL: cannot change locale: $wanted" >&2
  exit 1
fi
case "$*" in
  "list -g --depth=0 --json") echo '{"dependencies": {"vt-path-probe": {"version": "1.0.0"}}}' ;;
  "outdated -g --depth=0 --json") echo '{}' ;;
  "root -g") echo "$HOME/npm-global/lib/node_modules" ;;
  "config get registry") echo "http://127.0.0.1:9/" ;;
  *) exit 1 ;;
esac
)");
    home_.writeExecutable("bin/python3", R"(#!/bin/sh
case "$*" in
  "-m pip list --format=json") echo '[{"name": "vt-pip-probe", "version": "2.0"}]' ;;
  "-m pip list --outdated --format=json") echo '[]' ;;
  *) exit 1 ;;
esac
)");
    home_.writeExecutable("bin/pip3", "#!" + home_.file("bin/python3") + "\nexit 1\n");
    const std::string path = home_.file("bin") + ":" + CommandRunner::standardSearchPath(home_.path(), SystemFileSystemManager());

    ShellCommandResult managers = runVantreel(run({"managers", "--json"}, {{"PATH", path}}));
    ASSERT_EQ(managers.exitCode, 0) << managers.standardError;
    std::map<std::string, Json> sources;
    const Json document = jsonOf(managers);  // kept: the loop must not read a freed temporary
    for (const Json& source : document["sources"]) sources[source.value("id", "")] = source;
    EXPECT_EQ(sources["npm"]["path"], home_.file("bin/npm")) << sources["npm"];
    EXPECT_EQ(sources["npm"]["foundBy"], "path");
    EXPECT_EQ(sources["pip"]["path"], home_.file("bin/pip3")) << sources["pip"];
    EXPECT_EQ(sources["pip"]["foundBy"], "path");
    ShellCommandResult table = runVantreel(run({"managers"}, {{"PATH", path}}));
    const std::size_t npmAt = table.standardOutput.find(home_.file("bin/npm") + " ");
    ASSERT_NE(npmAt, std::string::npos) << table.standardOutput;
    const std::size_t whyAt = table.standardOutput.find_first_not_of(' ', npmAt + home_.file("bin/npm").size());
    EXPECT_EQ(table.standardOutput.compare(whyAt, 12, "on your PATH"), 0) << table.standardOutput;
    // Each line starts with the id --only takes, not only the name.
    EXPECT_NE(table.standardOutput.find("\ngems "), std::string::npos) << table.standardOutput;

    // A locale the user named but this machine lacks.
    ShellCommandResult scan = runVantreel(run({"--accept-terms", "scan", "--json", "--all"},
                                              {{"PATH", path}, {"LC_ALL", "en_ZZ.UTF-8"}, {"LANG", "en_ZZ.UTF-8"}}));
    ASSERT_EQ(scan.exitCode, 0) << scan.standardError;
    EXPECT_EQ(scan.standardError.find("cannot change locale"), std::string::npos) << scan.standardError;
    std::map<std::string, Json> items = testing::itemsByKey(jsonOf(scan));
    EXPECT_TRUE(items.count("package:npm global:vt-path-probe")) << scan.standardOutput;
    EXPECT_TRUE(items.count("package:python (pip):" + toLower(home_.file("bin/python3")) + ":vt-pip-probe"))
        << scan.standardOutput;
}

// The table fits the terminal: long columns shortened, the least useful dropped, no line
// wider than the terminal; on a wide one and in a pipe nothing is cut.
TEST_F(CommandLineHabitsE2ETest, TheTableFitsTheTerminalAndAPipeGetsItWhole) {
    scanJson();
    const std::vector<std::string> narrow = onTerminal({"list"}, 60);
    bool elided = false, idKept = false;
    for (const std::string& line : narrow) {
        EXPECT_LE(cellWidth(line), 60u) << line;
        elided = elided || line.find("…") != std::string::npos;
        // An action is cut at its start: the id it ends with is what a user types next.
        idKept = idKept || (line.find("…") != std::string::npos && line.ends_with(" brew:testball"));
    }
    EXPECT_TRUE(elided);
    EXPECT_TRUE(idKept) << ::testing::PrintToString(narrow);
    ASSERT_FALSE(narrow.empty());
    EXPECT_EQ(narrow.front().rfind("NAME", 0), 0u) << narrow.front();
    EXPECT_EQ(narrow.front().find("SOURCE"), std::string::npos) << "the least useful column goes first";

    // Versions are cut last: with room for them whole, the name and the action give way.
    std::string middle;
    for (const std::string& line : onTerminal({"list"}, 110)) middle += line + "\n";
    EXPECT_NE(middle.find("1.0.0-alpha.20240101.abcdef  1.0.0-beta.20250101.fedcba"), std::string::npos) << middle;

    std::string wideText;
    // Wide enough for the long row whole (its action alone takes about a hundred columns).
    for (const std::string& line : onTerminal({"list"}, 250)) {
        EXPECT_LE(cellWidth(line), 250u) << line;
        wideText += line + "\n";
    }
    EXPECT_NE(wideText.find(kLongName), std::string::npos) << wideText;
    EXPECT_NE(wideText.find("SOURCE"), std::string::npos) << wideText;
    EXPECT_EQ(wideText.find("…"), std::string::npos) << wideText;

    ShellCommandResult piped = runVantreel(run({"list"}));
    EXPECT_NE(piped.standardOutput.find(kLongName), std::string::npos);
    EXPECT_NE(piped.standardOutput.find("1.0.0-beta.20250101.fedcba"), std::string::npos);

    // So does the activity, one line per record.
    const std::vector<std::string> activity = onTerminal({"activity"}, 40);
    ASSERT_FALSE(activity.empty());
    for (const std::string& line : activity) EXPECT_LE(cellWidth(line), 40u) << line;
    const std::string wholeActivity = runVantreel(run({"activity"})).standardOutput;
    EXPECT_GT(wholeActivity.find('\n'), 40u) << wholeActivity;

    // The live progress of a scan is redrawn in place: on a terminal shorter than one row per
    // source it never climbs past the top (that would repeat it into the scrollback), and
    // says how many sources it leaves out.
    bool counted = false;
    for (const std::string& line : onTerminal({"scan", "--full"}, 80, 3)) {
        counted = counted || line.find("more sources") != std::string::npos;
        for (std::size_t at = line.find("\x1b["); at != std::string::npos; at = line.find("\x1b[", at + 2)) {
            std::size_t end = at + 2;
            while (end < line.size() && std::isdigit(static_cast<unsigned char>(line[end]))) ++end;
            if (end < line.size() && line[end] == 'F') {
                EXPECT_LE(std::stoi(line.substr(at + 2, end - at - 2)), 2) << line;
            }
        }
    }
    EXPECT_TRUE(counted);
}

// A name in wide characters takes two cells a character, and the columns after it stay
// aligned; cut to a narrow terminal, no wide character is split and no line is too wide.
TEST_F(CommandLineHabitsE2ETest, WideCharactersKeepTheColumnsAligned) {
    testing::writeFakeBrew(home_, {{"testball", "0.0.1", "0.1"}, {"漢字ツール", "1.0.0", "2.0.0"}});
    scanJson();
    auto columnOf = [](const std::string& line, const std::string& text) {
        const std::size_t at = line.find(text);
        return at == std::string::npos ? std::string::npos : cellWidth(std::string_view(line).substr(0, at));
    };
    std::map<std::string, std::size_t> installedColumn;
    for (const std::string& line : onTerminal({"list"}, 100)) {
        if (line.starts_with("NAME")) installedColumn["header"] = columnOf(line, "INSTALLED");
        if (line.starts_with("testball")) installedColumn["testball"] = columnOf(line, "0.0.1");
        if (line.starts_with("漢字")) installedColumn["wide"] = columnOf(line, "1.0.0");
    }
    ASSERT_EQ(installedColumn.size(), 3u) << ::testing::PrintToString(installedColumn);
    EXPECT_EQ(installedColumn["wide"], installedColumn["header"]);
    EXPECT_EQ(installedColumn["testball"], installedColumn["header"]);
    for (const std::string& line : onTerminal({"list"}, 24)) {
        if (line.empty()) break;  // the table's end: the summary under it may wrap
        EXPECT_LE(cellWidth(line), 24u) << line;
        EXPECT_EQ(validUtf8PrefixLength(line), line.size()) << line;
    }
}

// Every id goes through a shell unquoted and comes back the same, and the verbs take it; the
// earlier form is still taken, and ignore lists saved under it still hide their items.
TEST_F(CommandLineHabitsE2ETest, IdsGoThroughAShellUnquotedAndTheEarlierFormStillWorks) {
    Json report = scanJson({"--all"});
    std::vector<std::string> ids;
    for (const Json& row : report["rows"]) ids.push_back(row.value("id", ""));
    ASSERT_FALSE(ids.empty());
    EXPECT_NE(std::find(ids.begin(), ids.end(), "brew:testball"), ids.end());
    EXPECT_NE(std::find(ids.begin(), ids.end(), "cask:local-caffeine"), ids.end());
    for (const std::string& id : ids) {
        ShellCommandResult echoed = CommandRunner::shared().execute(
            CommandRequest{.command = "/bin/sh", .arguments = {"-c", "printf '%s\\n' " + id}, .timeout = 10});
        EXPECT_EQ(echoed.standardOutput, id + "\n") << id;
    }
    // Scripts get the ids alone, those of the rows the table shows; completion offers them,
    // across the ":" where bash splits words, and only those that the words typed begin.
    EXPECT_EQ(runVantreel(run({"list", "--all", "--ids"})).standardOutput, join(ids, "\n") + "\n");
    EXPECT_EQ(runVantreel(run({"list", "--ids", "--json"})).exitCode, 2);
    const std::string pending = runVantreel(run({"list", "--ids"})).standardOutput;
    EXPECT_NE(pending.find("brew:testball\n"), std::string::npos) << pending;
    EXPECT_EQ(bashCompletions("vantreel update ''", "vantreel update "), pending);
    EXPECT_EQ(bashCompletions("vantreel update brew : te", "vantreel update brew:te"), "testball\n");
    EXPECT_EQ(bashCompletions("vantreel update cas", "vantreel update cas"), "cask:local-caffeine\n");
    EXPECT_EQ(bashCompletions("vantreel update --dry", "vantreel update --dry"), "--dry-run\n");
    EXPECT_EQ(bashCompletions("vantreel skip brew : testball --version ''", "vantreel skip brew:testball --version "), "\n")
        << "a version, not an id";
    ShellCommandResult ignored = CommandRunner::shared().execute(CommandRequest{
        .command = "/bin/sh",
        .arguments = {"-c", "\"$0\" ignore brew:testball", testing::vantreelPath()},
        .environment = {{"HOME", home_.path()}, {"PATH", CommandRunner::standardSearchPath(home_.path(), SystemFileSystemManager())}},
        .timeout = 60});
    EXPECT_EQ(ignored.exitCode, 0) << ignored.standardError;
    Json listed = jsonOf(runVantreel(run({"ignored", "--json"})));
    ASSERT_EQ(listed["ignored"].size(), 1u) << listed;
    EXPECT_EQ(listed["ignored"][0]["id"], "brew:testball");
    EXPECT_EQ(runVantreel(run({"ignored", "--ids"})).standardOutput, "brew:testball\n");
    EXPECT_EQ(bashCompletions("vantreel unignore brew :", "vantreel unignore brew:"), "testball\n");
    EXPECT_EQ(bashCompletions("vantreel update brew : te", "vantreel update brew:te"), "\n") << "no longer pending";
    // The earlier form names the same item, for scripts written before.
    EXPECT_EQ(runVantreel(run({"unignore", "package:formulas:testball"})).exitCode, 0);
    EXPECT_TRUE(jsonOf(runVantreel(run({"ignored", "--json"})))["ignored"].empty());

    // A snooze saved by an earlier version, under the earlier id, still hides its row.
    DefaultsStore defaults(testing::settingsFile(home_.path()));
    defaults.set("SnoozedApps", Json{{"package:casks:local-caffeine", "indefinitely"}});
    ShellCommandResult list = runVantreel(run({"list"}));
    EXPECT_EQ(list.standardOutput.find("local-caffeine"), std::string::npos) << list.standardOutput;
    Json snoozed = jsonOf(runVantreel(run({"ignored", "--json"})));
    ASSERT_EQ(snoozed["ignored"].size(), 1u) << snoozed;
    EXPECT_EQ(snoozed["ignored"][0]["id"], "cask:local-caffeine");
    EXPECT_EQ(runVantreel(run({"unsnooze", "cask:local-caffeine"})).exitCode, 0);
    EXPECT_NE(runVantreel(run({"list"})).standardOutput.find("local-caffeine"), std::string::npos);

    // A day that does not exist is refused, not carried over to the next month.
    for (const char* missing : {"2027-02-29", "2027-04-31T10:00"}) {
        ShellCommandResult refused = runVantreel(run({"snooze", "cask:local-caffeine", "--until", missing}));
        EXPECT_EQ(refused.exitCode, 2) << missing << refused.standardOutput;
    }
    EXPECT_TRUE(jsonOf(runVantreel(run({"ignored", "--json"})))["ignored"].empty());
    ShellCommandResult leapDay = runVantreel(run({"snooze", "cask:local-caffeine", "--until", "2028-02-29"}));
    EXPECT_EQ(leapDay.exitCode, 0) << leapDay.standardError;
    EXPECT_NE(leapDay.standardOutput.find("2028-02-29"), std::string::npos) << leapDay.standardOutput;
}

// The background scan service is a change to the machine: its plan first, made only with --yes.
TEST_F(CommandLineHabitsE2ETest, TheBackgroundServiceIsShownFirstAndInstalledOnlyWhenAgreed) {
    // The setting that stands for the service installs it too: the same plan and question.
    const std::vector<std::pair<std::vector<std::string>, std::string>> commands = {
        {{"agent", "install", "--interval", "6"}, "To install: a background scan every 6 hours"},
        {{"settings", "set", "BackgroundScanEnabled", "true"}, "To install: a background scan every 24 hours"},
    };
    for (const bool dryRun : {true, false}) {
        for (auto [arguments, plan] : commands) {
            if (dryRun) arguments.push_back("--dry-run");
            ShellCommandResult result = runVantreel(run(arguments));
            EXPECT_EQ(result.exitCode, dryRun ? 0 : 2) << result.standardError;
            EXPECT_NE(result.standardOutput.find(plan), std::string::npos) << result.standardOutput;
        }
    }
    EXPECT_EQ(runVantreel(run({"settings", "get", "BackgroundScanEnabled"})).standardOutput, "false\n");
    for (const auto& entry : std::filesystem::recursive_directory_iterator(home_.path())) {
        EXPECT_EQ(entry.path().filename().string().find("vantreel-scan"), std::string::npos) << entry.path();
    }
    ShellCommandResult removed = runVantreel(run({"agent", "remove"}));
    EXPECT_EQ(removed.exitCode, 0);
    EXPECT_NE(removed.standardOutput.find("nothing to remove"), std::string::npos) << removed.standardOutput;
    EXPECT_EQ(runVantreel(run({"agent", "uninstall"})).standardOutput, removed.standardOutput);

    // An interval the service cannot run at is refused before its plan, whatever the flags,
    // and changes no file: neither the service's nor the settings (the service on in them).
    DefaultsStore(testing::settingsFile(home_.path())).set("BackgroundScanEnabled", true);
    const auto before = testing::filesUnder(home_.path(), {testing::kLogFolderUnderHome});
    for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
             {"agent", "install", "--interval", "-5", "--yes"},
             {"agent", "install", "--interval", "99999", "--dry-run"},
             {"settings", "set", "CheckInterval", "9000", "--yes"},
             {"settings", "set", "CheckInterval", "9000", "--dry-run"}}) {
        ShellCommandResult refused = runVantreel(run(arguments));
        EXPECT_EQ(refused.exitCode, 2) << refused.standardOutput;
        EXPECT_NE(refused.standardError.find("must be from 0 to 8784 hours"), std::string::npos) << refused.standardError;
        EXPECT_EQ(refused.standardOutput.find("To install"), std::string::npos) << refused.standardOutput;
    }
    EXPECT_EQ(testing::changedFiles(before, testing::filesUnder(home_.path(), {testing::kLogFolderUnderHome})), "");
    // With the service off, the interval it would take is refused all the same.
    DefaultsStore(testing::settingsFile(home_.path())).set("BackgroundScanEnabled", false);
    EXPECT_EQ(runVantreel(run({"settings", "set", "CheckInterval", "9000", "--yes"})).exitCode, 2);
}

// Reading the settings, as a dry run or a refused change does, leaves every file as it was,
// on a first launch and over a file that does not parse. Resetting throws a choice away and
// asks first; setting, adding and removing take the same flags and ask nothing.
TEST_F(CommandLineHabitsE2ETest, SettingsChangeFilesOnlyWhenTheyChangeAndResetsAsk) {
    testing::TempDir fresh{"vt-habits-fresh"};
    const std::string settings = testing::settingsFile(fresh.path());
    auto files = [&] { return testing::filesUnder(fresh.path(), {testing::kLogFolderUnderHome}); };
    for (const char* contents : {"", "{\"CheckInterval\": 6,"}) {
        if (*contents != 0) fresh.write(".config/vantreel/settings.json", contents);
        const auto before = files();
        for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
                 {"settings", "set", "CheckInterval", "6", "--dry-run"},
                 {"settings", "reset", "--all", "--dry-run"},
                 {"settings", "set", "BackgroundScanEnabled", "true"}}) {
            ShellCommandResult result = runVantreel({arguments, fresh.path()});
            EXPECT_EQ(result.exitCode, arguments.back() == "--dry-run" ? 0 : 2) << result.standardError;
            EXPECT_EQ(testing::changedFiles(before, files()), "") << ::testing::PrintToString(arguments);
        }
    }
    // The first real write keeps the file that did not parse, and saves the first launch's choices.
    ASSERT_EQ(runVantreel({{"settings", "set", "CheckInterval", "8"}, fresh.path()}).exitCode, 0);
    EXPECT_EQ(DefaultsStore(settings).boolValue("DidApplyFirstLaunchDefaults"), true);
    bool kept = false;
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(settings).parent_path())) {
        kept = kept || readFile(entry.path().string()) == "{\"CheckInterval\": 6,";
    }
    EXPECT_TRUE(kept);
    // A value of the wrong kind is said, and its default used.
    fresh.write(".config/vantreel/settings.json", R"({"CheckInterval": "abc"})");
    ShellCommandResult got = runVantreel({{"settings", "get", "CheckInterval"}, fresh.path()});
    EXPECT_EQ(got.standardOutput, "24\n");
    EXPECT_NE(got.standardError.find("the saved value of CheckInterval"), std::string::npos) << got.standardError;
    // A finished scan keeps them too: later commands do not look for every tool again.
    testing::TempDir scanned{"vt-habits-scanned"};
    ASSERT_EQ(runVantreel({{"--accept-terms", "scan", "--only", "go"}, scanned.path()}).exitCode, 0);
    EXPECT_EQ(DefaultsStore(testing::settingsFile(scanned.path())).boolValue("DidApplyFirstLaunchDefaults"), true);

    for (const std::string verb : {"add", "remove", "set"}) {
        const std::string value = verb == "set" ? "[\"/opt/tools\"]" : "/opt/tools";
        ShellCommandResult result = runVantreel(run({"settings", verb, "AdditionalApplicationFolders", value, "--yes"}));
        EXPECT_EQ(result.exitCode, 0) << verb << ": " << result.standardError;
    }
    const auto before = testing::filesUnder(home_.path(), {testing::kLogFolderUnderHome});
    for (const std::vector<std::string>& arguments :
         std::vector<std::vector<std::string>>{{"settings", "reset", "AdditionalApplicationFolders"},
                                               {"settings", "reset", "AdditionalApplicationFolders", "--dry-run"}}) {
        ShellCommandResult result = runVantreel(run(arguments));
        EXPECT_EQ(result.exitCode, arguments.back() == "--dry-run" ? 0 : 2) << result.standardError;
        EXPECT_NE(result.standardOutput.find("AdditionalApplicationFolders: [\"/opt/tools\"] → []"), std::string::npos)
            << result.standardOutput;
    }
    ShellCommandResult declined =
        testing::runVantreelOnTerminal(run({"settings", "reset", "AdditionalApplicationFolders"}), "n");
    EXPECT_EQ(declined.exitCode, 1) << declined.standardOutput;
    EXPECT_NE(declined.standardOutput.find("Reset AdditionalApplicationFolders to its default? [y/N]"), std::string::npos)
        << declined.standardOutput;
    EXPECT_EQ(testing::changedFiles(before, testing::filesUnder(home_.path(), {testing::kLogFolderUnderHome})), "");
    ASSERT_EQ(runVantreel(run({"settings", "reset", "AdditionalApplicationFolders", "--yes"})).exitCode, 0);
    EXPECT_FALSE(DefaultsStore(testing::settingsFile(home_.path())).contains("AdditionalApplicationFolders"));
}

// --only runs and shows those sources only; --exclude leaves some out; an unknown name is
// refused with the known ones, before anything runs.
TEST_F(CommandLineHabitsE2ETest, OnlyAndExcludeChooseWhatRunsAndWhatShows) {
    testing::writeFakeCargo(home_, "ripgrep", "13.0.0");
    Json full = scanJson({"--all"});
    Json onlyCasks = scanJson({"--all", "--only", "casks"});
    std::set<std::string> sources;
    for (const Json& item : onlyCasks["items"]) sources.insert(item.value("type", ""));
    EXPECT_EQ(sources, std::set<std::string>{"Casks"}) << onlyCasks["items"];

    // A scan of cargo alone runs no brew, and keeps what brew found before.
    std::filesystem::remove(home_.file("brew-data/calls"));
    Json cargoOnly = scanJson({"--all", "--only", "cargo"});
    EXPECT_FALSE(std::filesystem::exists(home_.file("brew-data/calls")));
    for (const Json& scanner : cargoOnly["scanners"]) EXPECT_EQ(scanner.value("source", ""), "cargo") << scanner;
    Json listed = jsonOf(runVantreel(run({"list", "--json", "--all", "--exclude", "cargo"})));
    EXPECT_EQ(listed["items"].size(), full["items"].size() - 1) << "brew's items stay saved";

    ShellCommandResult unknown = runVantreel(run({"--accept-terms", "scan", "--only", "brw"}));
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_NE(unknown.standardError.find("unknown source \"brw\""), std::string::npos) << unknown.standardError;
    EXPECT_NE(unknown.standardError.find("homebrew, casks"), std::string::npos) << unknown.standardError;
    EXPECT_EQ(runVantreel(run({"list", "--only", ""})).exitCode, 2);  // an empty variable is no "every source"
    ShellCommandResult both = runVantreel(run({"list", "--only", "cargo", "--exclude", "cargo"}));
    EXPECT_EQ(both.exitCode, 2);
    EXPECT_NE(both.standardError.find("\"cargo\" is given to both --only and --exclude"), std::string::npos)
        << both.standardError;
}

// A source whose registry does not answer is marked in the progress, the JSON, the table's
// summary and the saved results; Composer without a global project is no failure.
TEST_F(CommandLineHabitsE2ETest, SourcesWithUnknownLatestVersionsAreMarkedAndCounted) {
    testing::showOnly(home_.path(), {"ShowCargo", "ShowComposer"});
    testing::writeFakeCargo(home_, "ripgrep", "13.0.0");
    home_.writeExecutable(".local/bin/composer", R"(#!/bin/sh
echo "Changed current directory to $HOME/.config/composer" >&2
echo "Composer could not find a composer.json file in $HOME/.config/composer" >&2
exit 1
)");
    ShellCommandResult scan = runVantreel(run({"--accept-terms", "scan", "--all"}));
    ASSERT_EQ(scan.exitCode, 0) << scan.standardError;
    EXPECT_NE(scan.standardOutput.find("No updates found · 1 source with latest versions unknown"), std::string::npos)
        << scan.standardOutput;
    EXPECT_NE(scan.standardError.find("scan: Cargo: done, latest versions unknown"), std::string::npos) << scan.standardError;
    EXPECT_NE(scan.standardOutput.find("ripgrep  13.0.0     ?"), std::string::npos) << scan.standardOutput;
    EXPECT_EQ(scan.standardOutput.find("failed"), std::string::npos) << scan.standardOutput;

    for (const char* command : {"scan", "list"}) {
        Json report = jsonOf(runVantreel(run({"--accept-terms", command, "--json"})));
        std::map<std::string, Json> scanners;
        for (const Json& scanner : report["scanners"]) scanners[scanner.value("source", "")] = scanner;
        EXPECT_EQ(scanners["cargo"]["latestVersionsUnknown"], true) << command << report["scanners"];
        // A source with nothing to say is not listed; one that is listed has not failed.
        const bool composerFailed = scanners.count("composer") > 0 && scanners["composer"].value("state", "") == "failed";
        EXPECT_FALSE(composerFailed) << command << report["scanners"];
    }
    ShellCommandResult list = runVantreel(run({"list"}));
    EXPECT_NE(list.standardOutput.find("1 source with latest versions unknown"), std::string::npos) << list.standardOutput;
    EXPECT_NE(list.standardOutput.find("! Cargo:"), std::string::npos) << list.standardOutput;
    // Nothing can be called up to date without the latest versions: not by `why`, not by an
    // update, not by 0 for a script.
    Json why = jsonOf(runVantreel(run({"why", "cargo:ripgrep", "--json"})));
    std::vector<std::string> codes;
    for (const Json& reason : why["items"][0]["reasons"]) codes.push_back(reason.value("code", ""));
    EXPECT_NE(std::find(codes.begin(), codes.end(), "latest-unknown"), codes.end()) << why;
    EXPECT_EQ(std::find(codes.begin(), codes.end(), "up-to-date"), codes.end()) << why;
    EXPECT_EQ(runVantreel(run({"why", "cargo:nothing-such"})).exitCode, 2);
    ShellCommandResult update = runVantreel(run({"update", "cargo:ripgrep", "--dry-run"}));
    EXPECT_NE(update.standardOutput.find("its latest version is unknown"), std::string::npos) << update.standardOutput;
    EXPECT_EQ(update.standardOutput.find("nothing newer"), std::string::npos) << update.standardOutput;
    // A package has no file of its own to fetch: no download plan for it.
    ShellCommandResult download = runVantreel(run({"download", "cargo:ripgrep", "--dry-run"}));
    EXPECT_EQ(download.exitCode, 2);
    EXPECT_EQ(download.standardOutput, "");
    EXPECT_NE(download.standardError.find("vantreel update cargo:ripgrep"), std::string::npos) << download.standardError;
    EXPECT_EQ(runVantreel(run({"list", "--exit-code"})).exitCode, 3);
    EXPECT_EQ(runVantreel(run({"list", "--exit-code", "--exclude", "cargo"})).exitCode, 0);
    Json counted = jsonOf(runVantreel(run({"outdated-count", "--json"})));
    EXPECT_EQ(counted["latestVersionsUnknown"], Json::array({"cargo"})) << counted;
    EXPECT_EQ(runVantreel(run({"outdated-count", "--exit-code"})).exitCode, 3);

    // On a terminal with room for one source, the scan's last frame keeps the one whose
    // latest versions are unknown, not the first that finished.
    testing::showOnly(home_.path(), {"ShowHomebrew", "ShowCargo"});
    const std::vector<std::string> frames = onTerminal({"--accept-terms", "scan", "--full"}, 80, 4);
    std::string lastShown;
    for (std::size_t i = 1; i < frames.size(); ++i) {
        if (frames[i].find(" more source") != std::string::npos) lastShown = frames[i - 1];
    }
    EXPECT_NE(lastShown.find("Cargo"), std::string::npos) << ::testing::PrintToString(frames);
}

// Every JSON document a command prints carries its schema version, and the documents of a
// scan with stand-ins for the tools match the schemas kept under schemas/.
TEST_F(CommandLineHabitsE2ETest, JsonDocumentsCarryTheirVersionAndMatchTheirSchemas) {
    testing::showOnly(home_.path(), {"ShowHomebrew", "ShowCasks", "ShowCargo", "ShowInstalledApplications"});
    testing::writeFakeCargo(home_, "ripgrep", "13.0.0");
    auto json = [this](std::vector<std::string> arguments) { return runVantreel(run(std::move(arguments))); };
    auto expectMatches = [](const std::string& schema, const ShellCommandResult& result) {
        EXPECT_EQ(jsonOf(result).value("schemaVersion", 0), 1) << result.standardOutput;
        EXPECT_EQ(testing::schemaViolations(schema, result.standardOutput), "") << result.standardOutput;
    };
    expectMatches("check-updates.schema.json", json({"outdated-count", "--json"}));
    expectMatches("list.schema.json", json({"list", "--json"}));

    const ShellCommandResult scan = json({"--accept-terms", "scan", "--json", "--all"});
    ASSERT_EQ(scan.exitCode, 0) << scan.standardError;
    expectMatches("scan.schema.json", scan);
    const Json report = jsonOf(scan);
    EXPECT_EQ(report["scan"]["date"].get<std::string>().back(), 'Z');
    EXPECT_GE(report["rows"].size(), 3u);
    expectMatches("list.schema.json", json({"list", "--json", "--all"}));
    expectMatches("apps.schema.json", json({"--verbose", "apps", "--json"}));
    expectMatches("managers.schema.json", json({"managers", "--json"}));
    expectMatches("check-updates.schema.json", json({"check-updates", "--json", "--accept-terms"}));
    expectMatches("check-updates.schema.json", json({"outdated-count", "--json"}));

    ASSERT_EQ(json({"ignore", "brew:testball"}).exitCode, 0);
    ASSERT_EQ(json({"snooze", "cask:local-caffeine", "--for", "7d"}).exitCode, 0);
    const ShellCommandResult why = json({"why", "brew:testball", "--json"});
    expectMatches("why.schema.json", why);
    EXPECT_EQ(jsonOf(why)["items"][0]["id"], "brew:testball") << why.standardOutput;
    const ShellCommandResult ignored = json({"ignored", "--json"});
    expectMatches("ignored.schema.json", ignored);
    EXPECT_EQ(jsonOf(ignored)["ignored"].size(), 2u) << ignored.standardOutput;
    ASSERT_EQ(json({"unignore", "brew:testball"}).exitCode, 0);
    ASSERT_EQ(json({"unsnooze", "cask:local-caffeine"}).exitCode, 0);

    // The stand-in brew upgrades nothing: the failures are reported in the same shape.
    const ShellCommandResult plan = json({"--accept-terms", "update", "brew:testball", "--dry-run", "--json"});
    EXPECT_EQ(plan.exitCode, 0) << plan.standardError;
    expectMatches("update.schema.json", plan);
    EXPECT_EQ(jsonOf(plan)["steps"][0]["items"][0]["id"], "brew:testball") << plan.standardOutput;
    const ShellCommandResult update = json({"--accept-terms", "update", "brew:testball", "--yes", "--json"});
    EXPECT_EQ(update.exitCode, 1);
    expectMatches("update.schema.json", update);
    EXPECT_EQ(jsonOf(update)["results"][0]["id"], "brew:testball") << update.standardOutput;
    expectMatches("update-all.schema.json", json({"--accept-terms", "update", "--all", "--dry-run", "--json"}));
    const ShellCommandResult batch = json({"--accept-terms", "update", "--all", "--yes", "--json"});
    expectMatches("update-all.schema.json", batch);
    EXPECT_FALSE(jsonOf(batch)["results"].empty()) << batch.standardOutput;

    // The other documents carry their version too, and match their schemas.
    for (const auto& [command, schema] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"activity", "--json"}, "activity.schema.json"},
             {{"settings", "list", "--json"}, "settings.schema.json"},
             {{"settings", "get", "CheckInterval", "--json"}, "settings-get.schema.json"},
             {{"settings", "get", "AppTheme", "--json"}, "settings-get.schema.json"},
             {{"settings", "get", "MenuBarAgentAtLogin", "--json"}, "settings-get.schema.json"},
             {{"agent", "status", "--json"}, "agent-status.schema.json"},
             {{"endpoints", "--json"}, "endpoints.schema.json"},
             {{"rules", "list", "--json"}, "rules.schema.json"}}) {
        SCOPED_TRACE(::testing::PrintToString(command));
        expectMatches(schema, json(command));
    }
    // An installed service has an interval, and the background scans leave their notes.
    home_.write(".config/systemd/user/vantreel-scan.timer", "[Timer]\nOnUnitActiveSec=6h\n");
    DefaultsStore notes(home_.path() + "/.local/state/vantreel/state.json");
    notes.set("BackgroundScan.LastScanDate", 700000000.0);
    notes.set("BackgroundScan.LastOutdatedCount", 3);
    const ShellCommandResult agent = json({"agent", "status", "--json"});
    expectMatches("agent-status.schema.json", agent);
    EXPECT_EQ(jsonOf(agent)["intervalHours"], 6) << agent.standardOutput;
    EXPECT_EQ(jsonOf(agent)["lastOutdatedCount"], 3) << agent.standardOutput;
    const Json activity = jsonOf(json({"activity", "--json"}));
    ASSERT_FALSE(activity["activity"].empty());
    EXPECT_EQ(activity["activity"][0]["date"].get<std::string>().back(), 'Z');
}

// --exit-code says what is pending; a source that failed says 3; outdated-count before any
// scan says there is none; check-updates and outdated-count speak JSON too.
TEST_F(CommandLineHabitsE2ETest, ExitCodesAndCountsForScripts) {
    ShellCommandResult before = runVantreel(run({"outdated-count"}));
    EXPECT_EQ(before.exitCode, 3);
    EXPECT_EQ(before.standardOutput, "");
    EXPECT_NE(before.standardError.find("no scan yet"), std::string::npos) << before.standardError;
    Json none = jsonOf(runVantreel(run({"outdated-count", "--json"})));
    EXPECT_TRUE(none["pendingCount"].is_null());

    EXPECT_EQ(runVantreel(run({"--accept-terms", "scan", "--exit-code", "--quiet"})).exitCode, 10);
    EXPECT_EQ(runVantreel(run({"list", "--exit-code"})).exitCode, 10);
    EXPECT_EQ(runVantreel(run({"list", "--exit-code", "--only", "cargo"})).exitCode, 0);
    EXPECT_EQ(runVantreel(run({"outdated-count"})).standardOutput, "3\n");
    Json counted = jsonOf(runVantreel(run({"check-updates", "--json", "--accept-terms"})));
    EXPECT_EQ(counted["pendingCount"], 3);
    EXPECT_EQ(counted["securityCount"], 0);
    EXPECT_TRUE(counted["lastScan"].is_string());
    ShellCommandResult quiet = runVantreel(run({"--accept-terms", "--quiet", "scan"}));
    EXPECT_EQ(quiet.standardError, "") << "--quiet shows no progress";
    EXPECT_EQ(runVantreel(run({"ignore", "brew:testball", "cask:local-caffeine", kLongName})).exitCode, 0);
    EXPECT_EQ(runVantreel(run({"list", "--exit-code"})).exitCode, 0);
    // The notes under the table go with --quiet: the results stay.
    ShellCommandResult noted = runVantreel(run({"list"}));
    EXPECT_NE(noted.standardOutput.find("hidden"), std::string::npos) << noted.standardOutput;
    EXPECT_NE(noted.standardOutput.find("last scan"), std::string::npos) << noted.standardOutput;
    ShellCommandResult quietList = runVantreel(run({"--quiet", "list"}));
    EXPECT_EQ(quietList.standardOutput.find("hidden"), std::string::npos) << quietList.standardOutput;
    EXPECT_EQ(quietList.standardOutput.find("last scan"), std::string::npos) << quietList.standardOutput;
    EXPECT_NE(quietList.standardOutput.find("items"), std::string::npos) << quietList.standardOutput;

    // A brew that fails: with --exit-code the scan says so; without, it succeeds.
    home_.writeExecutable(".local/bin/brew", "#!/bin/sh\necho 'Error: broken' >&2\nexit 1\n");
    EXPECT_EQ(runVantreel(run({"--accept-terms", "scan", "--full", "--exit-code"})).exitCode, 3);
    EXPECT_EQ(runVantreel(run({"--accept-terms", "scan", "--full"})).exitCode, 0);
    EXPECT_EQ(runVantreel(run({"check-updates", "--exit-code", "--accept-terms"})).exitCode, 3);
    // What is known to be pending outranks a source that failed.
    EXPECT_EQ(runVantreel(run({"unignore", "cask:local-caffeine"})).exitCode, 0);
    EXPECT_EQ(runVantreel(run({"list", "--exit-code"})).exitCode, 10);
    EXPECT_EQ(runVantreel(run({"outdated-count", "--exit-code"})).exitCode, 10);

    ShellCommandResult older = runVantreel(run({"version", "compare", "--exit-code", "1.9", "1.10"}));
    EXPECT_EQ(older.exitCode, 1);
    EXPECT_EQ(older.standardOutput, "ascending\n");
    EXPECT_EQ(runVantreel(run({"version", "compare", "--exit-code", "2.0", "v2.0"})).exitCode, 0);
    EXPECT_EQ(runVantreel(run({"version", "compare", "--exit-code", "2.1", "2.0"})).exitCode, 2);
    EXPECT_EQ(runVantreel(run({"version", "compare", "2.1", "2.0"})).exitCode, 0);
}

// The libraries only some work needs (HTTP, digests, notifications, apt's cache, property
// lists) are opened by that work: a `list` starts without any of them.
TEST_F(CommandLineHabitsE2ETest, AListOpensNoLibraryOnlySomeWorkNeeds) {
    ASSERT_EQ(runVantreel(run({"--accept-terms", "--quiet", "scan"})).exitCode, 0);
    ShellCommandResult listed = runVantreel(run({"list", "--json"}, {{"LD_DEBUG", "libs"}}));
    ASSERT_EQ(listed.exitCode, 0) << listed.standardError;
    // The loader names each library it looks for ("find library=libc.so.6").
    ASSERT_NE(listed.standardError.find("find library=libc.so.6"), std::string::npos) << listed.standardError;
    for (const char* library : {"libplist", "libcurl", "libcrypto", "libsystemd", "libapt-pkg", "libvantreel-apt"}) {
        EXPECT_EQ(listed.standardError.find(std::string("library=") + library), std::string::npos) << library;
    }
}

// Help in the program's words, with an example for every command; -V; a mistyped command
// gets the closest one; the completions, made from the commands, work once loaded in bash.
TEST_F(CommandLineHabitsE2ETest, HelpTyposAndCompletions) {
    // Asking for help or the version writes nothing, not even a log in a HOME not made yet.
    const std::string absent = home_.file("not-made");
    for (const char* argument : {"--version", "help"}) {
        EXPECT_EQ(runVantreel({{argument}, absent}).exitCode, 0) << argument;
        EXPECT_FALSE(std::filesystem::exists(absent)) << argument;
    }
    ShellCommandResult help = runVantreel(run({"help"}));
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.standardOutput.rfind("Usage: vantreel [OPTIONS] [COMMAND]", 0), 0u) << help.standardOutput;
    EXPECT_NE(help.standardOutput.find("  11   with --exit-code, a security update pending"), std::string::npos);
    // On a narrow terminal the descriptions wrap under one another, never from the first column.
    for (const std::vector<std::string>& arguments : {std::vector<std::string>{"help"}, {"help", "update"}}) {
        const std::vector<std::string> lines = onTerminal(arguments, 60);
        for (const std::string& line : lines) EXPECT_LE(cellWidth(line), 60u) << line;
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
            return line.starts_with(std::string(26, ' ')) && line[26] != ' ';
        })) << ::testing::PrintToString(lines);
    }
    // What the parsing library writes when left to itself: "(0x)" counts, types, ranges.
    auto leftover = [](const std::string& text) {
        for (const char* marker : {"FLOAT", "TEXT:", "INT:", "in [", "REQUIRED", "Excludes", "Needs:"}) {
            if (text.find(marker) != std::string::npos) return std::string(marker);
        }
        for (std::size_t at = text.find("x)"); at != std::string::npos; at = text.find("x)", at + 1)) {
            std::size_t digits = at;
            while (digits > 0 && std::isdigit(static_cast<unsigned char>(text[digits - 1]))) --digits;
            if (digits < at && digits > 0 && text[digits - 1] == '(') return text.substr(digits - 1, at + 3 - digits);
        }
        return std::string();
    };
    std::vector<std::vector<std::string>> commands;
    // Kept: the lines are views into it.
    const std::string commandList = help.standardOutput.substr(help.standardOutput.find("Commands:"));
    for (std::string_view line : splitLines(commandList)) {
        if (line.size() > 2 && line.substr(0, 2) == "  " && line[2] != ' ') {
            commands.push_back({std::string(split(trimView(line), ' ').front())});
        }
        if (line.empty()) break;
    }
    commands.push_back({"version", "compare"});
    commands.push_back({"settings", "github-token", "set"});
    ASSERT_GT(commands.size(), 20u);
    for (const std::vector<std::string>& words : commands) {
        std::vector<std::string> arguments{"help"};
        arguments.insert(arguments.end(), words.begin(), words.end());
        ShellCommandResult shown = runVantreel(run(arguments));
        EXPECT_EQ(shown.exitCode, 0) << words.front();
        EXPECT_NE(shown.standardOutput.find("Example"), std::string::npos) << shown.standardOutput;
        EXPECT_EQ(leftover(shown.standardOutput), "") << shown.standardOutput;
        std::vector<std::string> flag = words;
        flag.push_back("--help");
        EXPECT_EQ(runVantreel(run(flag)).standardOutput, shown.standardOutput) << words.front();
    }
    EXPECT_EQ(runVantreel(run({"-V"})).standardOutput, runVantreel(run({"version"})).standardOutput);

    ShellCommandResult typo = runVantreel(run({"scna"}));
    EXPECT_EQ(typo.exitCode, 2);
    EXPECT_NE(typo.standardError.find("Did you mean \"scan\"?"), std::string::npos) << typo.standardError;
    ShellCommandResult deeper = runVantreel(run({"version", "comapre", "1", "2"}));
    EXPECT_EQ(deeper.exitCode, 2);
    EXPECT_NE(deeper.standardError.find("Did you mean \"compare\"?"), std::string::npos) << deeper.standardError;
    // A usage error is said by the command given, naming what its help calls the argument.
    ShellCommandResult missing = runVantreel(run({"ignore"}));
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_EQ(missing.standardError, "vantreel ignore: ID is required\nSee vantreel help ignore.\n");
    EXPECT_EQ(runVantreel(run({"--color=sometimes", "list"})).exitCode, 2);
    EXPECT_NE(runVantreel(run({"--color=always", "managers"})).standardOutput.find('\x1b'), std::string::npos);
    EXPECT_EQ(runVantreel(run({"--color=never", "managers"})).standardOutput.find('\x1b'), std::string::npos);
    // A value given with "=" leaves the next words to the command.
    const ShellCommandResult compared = runVantreel(run({"--color=never", "version", "compare", "1", "2"}));
    EXPECT_EQ(compared.standardError, "");
    EXPECT_EQ(compared.standardOutput, runVantreel(run({"version", "compare", "1", "2"})).standardOutput);
    // A value given as the next word is not taken for the command; help asked for before a
    // command is that command's.
    EXPECT_EQ(runVantreel(run({"--color", "never", "version", "compare", "1", "2"})).standardOutput,
              compared.standardOutput);
    EXPECT_EQ(runVantreel(run({"--help", "list"})).standardOutput, runVantreel(run({"help", "list"})).standardOutput);

    auto complete = [&](const std::string& words) { return bashCompletions(words, words); };
    EXPECT_EQ(complete("vantreel sc"), "scan\n");
    EXPECT_EQ(complete("vantreel scan --ex"), "--exclude\n--exit-code\n");
    EXPECT_EQ(complete("vantreel version comp"), "compare\n");
    EXPECT_EQ(complete("vantreel list --only cas"), "casks\n");
    EXPECT_EQ(complete("vantreel --color n"), "never\n");
    EXPECT_EQ(complete("vantreel settings set AdditionalAppl"), "AdditionalApplicationFolders\n");
    EXPECT_EQ(complete("vantreel settings add Au"), "\n") << "not a list setting";
    EXPECT_EQ(runVantreel(run({"completions", "tcsh"})).exitCode, 2);
    for (const char* shell : {"zsh", "fish"}) {
        EXPECT_NE(runVantreel(run({"completions", shell})).standardOutput.find("scan"), std::string::npos) << shell;
    }
}

}  // namespace
}  // namespace vt
