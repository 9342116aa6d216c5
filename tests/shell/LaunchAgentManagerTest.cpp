#include "shell/LaunchAgentManager.hpp"
#include "system/RunningProcesses.hpp"

#include <algorithm>
#include <filesystem>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/Files.hpp"
#include "base/Strings.hpp"
#include "sources/inventory/PropertyList.hpp"
#include "system/CommandRunner.hpp"
#include "support/TempDir.hpp"

namespace vt {
namespace {

namespace fs = std::filesystem;

// systemctl and launchctl stand-ins: they write their arguments to a log and exit with
// the status found in "status" (0 when absent).
class LaunchAgentManagerTest : public ::testing::Test {
protected:
    LaunchAgentManagerTest() {
        std::string script = "#!/bin/sh\necho \"$@\" >> '" + dir_.file("calls") + "'\n" + "exit $(cat '" +
                             dir_.file("status") + "' 2>/dev/null || echo 0)\n";
        tool_ = dir_.writeExecutable("tool", script);
    }
    LaunchAgentManager manager(bool launchd, std::string folder = {}) {
        LaunchAgentManager::Options options;
        options.executable = ownLaunchPath().value_or("");
        options.folder = folder.empty() ? dir_.file("agents") : folder;
        options.launchd = launchd;
        options.systemctl = tool_;
        options.launchctl = tool_;
        return LaunchAgentManager(options);
    }
    std::string calls() const { return readFile(dir_.file("calls")).value_or(""); }
    // The units as systemd's own reader takes them (scripts/setup --tests installs it).
    void verifiedBySystemd(const std::string& folder = {}) const {
        const std::string agents = folder.empty() ? dir_.file("agents") : folder;
        ASSERT_TRUE(fs::exists("/usr/bin/systemd-analyze"));
        CommandRequest verify{.command = "/usr/bin/systemd-analyze",
                              .arguments = {"verify", "--man=no", agents + "/vantreel-scan.service",
                                            agents + "/vantreel-scan.timer"},
                              .timeout = 60,
                              .allowNonZeroExit = true};
        ShellCommandResult result = CommandRunner::shared().execute(verify);
        EXPECT_EQ(result.exitCode, 0) << result.standardError;
        EXPECT_EQ(result.standardError, "");
    }

    testing::TempDir dir_;
    std::string tool_;
};

TEST_F(LaunchAgentManagerTest, SystemdUnitsAreWrittenEnabledRewrittenAndRemoved) {
    LaunchAgentManager agent = manager(false);
    agent.install(0);  // below one hour: one hour
    std::string service = readFile(dir_.file("agents/vantreel-scan.service")).value_or("");
    std::string timer = readFile(dir_.file("agents/vantreel-scan.timer")).value_or("");
    EXPECT_TRUE(contains(service, "ExecStart=\"" + *ownLaunchPath() + "\" --background-scan\n"));
    EXPECT_TRUE(contains(timer, "OnUnitActiveSec=1h\n"));
    EXPECT_TRUE(contains(timer, "Persistent=true\n"));
    EXPECT_EQ(calls(), "--user daemon-reload\n--user enable --now vantreel-scan.timer\n");

    verifiedBySystemd();

    fs::remove(dir_.file("calls"));
    agent.install(6);  // a new interval restarts the running timer
    EXPECT_EQ(agent.status().intervalHours, 6);
    EXPECT_TRUE(contains(calls(), "--user restart vantreel-scan.timer\n"));

    fs::remove(dir_.file("calls"));
    agent.remove();
    EXPECT_FALSE(agent.isInstalled());
    EXPECT_FALSE(fs::exists(dir_.file("agents/vantreel-scan.service")));
    EXPECT_EQ(calls(), "--user disable --now vantreel-scan.timer\n--user daemon-reload\n");
}

// A folder name is not a unit line: a program installed under a name holding a newline is
// refused before anything is written; names systemd takes as they are still work.
TEST_F(LaunchAgentManagerTest, AProgramPathCannotAddLinesToTheUnit) {
    auto agentAt = [&](const std::string& folderName, const std::string& agents) {
        const std::string folder = dir_.makeFolder(folderName);
        writeFileAtomically(folder + "/vantreel", "#!/bin/sh\nexit 0\n", 0755);
        LaunchAgentManager::Options options;
        options.executable = folder + "/vantreel";
        options.folder = dir_.file(agents);
        options.systemctl = tool_;
        options.launchctl = tool_;
        return LaunchAgentManager(options);
    };
    const std::vector<std::string> refusedNames = {"bin\nExecStartPre=touch pwned\n", "tab\tname", "q\"uote", "back\\slash"};
    for (const std::string& name : refusedNames) {
        LaunchAgentManager agent = agentAt(name, "refused");
        EXPECT_THROW(agent.install(6), AgentError) << name;
        EXPECT_FALSE(fs::exists(dir_.file("refused/vantreel-scan.service"))) << name;
        EXPECT_FALSE(fs::exists(dir_.file("refused/vantreel-scan.timer"))) << name;
    }
    EXPECT_TRUE(calls().empty());
    EXPECT_THROW(LaunchAgentManager::serviceUnit("/opt/bad\xff/vantreel"), AgentError);

    // Spaces, a specifier, a variable and other scripts: systemd starts the program at the
    // path the unit gives, or verify would say the command is not executable.
    LaunchAgentManager odd = agentAt("My Apps 100% $HOME caf\xc3\xa9", "odd-agents");
    odd.install(6);
    verifiedBySystemd(dir_.file("odd-agents"));
}

TEST_F(LaunchAgentManagerTest, FailuresLeaveNothingHalfInstalled) {
    LaunchAgentManager agent = manager(false);
    for (long long refused : {100'000LL, -5LL}) EXPECT_THROW(agent.install(refused), AgentIntervalError) << refused;
    EXPECT_FALSE(fs::exists(dir_.file("agents")));
    EXPECT_EQ(calls(), "");

    // A new install that cannot start keeps the agent that worked, files and timer.
    for (const bool launchd : {false, true}) {
        LaunchAgentManager working = manager(launchd, dir_.file("working"));
        working.install(6);
        const std::string file = working.status().files.back();
        const std::optional<std::string> before = readFile(file);
        dir_.write("status", "1");
        fs::remove(dir_.file("calls"));
        EXPECT_THROW(working.install(12), AgentError);
        EXPECT_EQ(readFile(file), before) << launchd;
        EXPECT_TRUE(endsWith(calls(), launchd ? "load " + file + "\n" : "--user restart vantreel-scan.timer\n"))
            << calls();
        EXPECT_EQ(working.status().intervalHours, 6);
        fs::remove(dir_.file("status"));
        working.remove();
    }

    dir_.write("status", "1");  // systemctl refuses
    EXPECT_THROW(agent.install(24), AgentError);
    EXPECT_FALSE(agent.isInstalled());
    EXPECT_FALSE(fs::exists(dir_.file("agents/vantreel-scan.service")));

    // A folder that cannot be made (its parent is a file).
    std::string file = dir_.write("plain", "x");
    EXPECT_THAT([&] { manager(false, file + "/systemd/user").install(24); },
                ::testing::ThrowsMessage<AgentError>(::testing::HasSubstr("cannot create the agent folder")));
}

TEST_F(LaunchAgentManagerTest, LaunchdPropertyListReadsBackKeyByKey) {
    LaunchAgentManager agent = manager(true);
    agent.install(24);
    std::string path = dir_.file("agents/com.corvanel.Vantreel.agent.plist");
    EXPECT_EQ(calls(), "load " + path + "\n");
    const std::string text = readFile(path).value_or("");
    EXPECT_TRUE(contains(text, "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\""));
    auto list = PropertyList::parse(text);
    ASSERT_TRUE(list);
    auto root = list->root();
    EXPECT_EQ(root.member("Label")->text(), "com.corvanel.Vantreel.agent");
    auto arguments = root.member("ProgramArguments")->items();
    ASSERT_EQ(arguments.size(), 2u);
    EXPECT_EQ(arguments[0].text(), ownLaunchPath());
    EXPECT_EQ(arguments[1].text(), "--background-scan");
    EXPECT_EQ(root.member("StartInterval")->integer(), 86400u);
    EXPECT_EQ(root.member("RunAtLoad")->boolean(), false);
    for (const char* key : {"StandardOutPath", "StandardErrorPath"}) EXPECT_EQ(root.member(key)->text(), "/dev/null");
    EXPECT_EQ(root.member("ProcessType")->text(), "Background");
    for (const char* key : {"LowPriorityIO", "LowPriorityBackgroundIO"}) EXPECT_EQ(root.member(key)->boolean(), true);
    EXPECT_EQ(agent.status().intervalHours, 24);
    agent.remove();
    EXPECT_FALSE(fs::exists(path));
}

}  // namespace
}  // namespace vt
