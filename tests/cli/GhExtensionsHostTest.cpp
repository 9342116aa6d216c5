// `vantreel scan` and `vantreel update` with the real gh of this machine over a sandboxed
// GH_CONFIG_DIR and data folder: one extension installed with `gh extension install .` from a
// local folder (listed, never offered), one cloned from a local repository as gh clones its
// git extensions (offered once the repository moves on, upgraded by gh itself).
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "base/Json.hpp"
#include "support/TempDir.hpp"
#include "support/VantreelProcess.hpp"
#include "system/CommandRunner.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {
namespace {

constexpr const char* kGh = "/usr/bin/gh";
constexpr const char* kGit = "/usr/bin/git";

class GhExtensionsHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!SystemFileSystemManager().isExecutableFile(kGh) || !SystemFileSystemManager().isExecutableFile(kGit)) {
            GTEST_SKIP() << "gh or git is not installed (scripts/setup --tests)";
        }
        testing::showOnly(home_.path(), {"ShowGhExtensions"});
    }

    std::map<std::string, std::string> environment() const {
        // gh wants a token even to list what is installed; nothing here reaches the network.
        return {{"GH_CONFIG_DIR", sandbox_.makeFolder("gh-config")}, {"XDG_DATA_HOME", sandbox_.makeFolder("data")},
                {"GH_TOKEN", "sandbox"}, {"GH_NO_UPDATE_NOTIFIER", "1"}};
    }

    ShellCommandResult run(const char* program, std::vector<std::string> arguments,
                           const std::string& folder = "/tmp") const {
        CommandRequest request{.command = program, .arguments = std::move(arguments), .environment = environment(),
                               .timeout = 60, .currentDirectory = folder, .allowNonZeroExit = true};
        request.environment["GIT_AUTHOR_NAME"] = request.environment["GIT_COMMITTER_NAME"] = "Van Treel";
        request.environment["GIT_AUTHOR_EMAIL"] = request.environment["GIT_COMMITTER_EMAIL"] = "tests@example.com";
        return CommandRunner::shared().execute(request);
    }

    void commit(const std::string& message) const {
        sandbox_.write("work/gh-tool", "#!/bin/sh\necho " + message + "\n", 0755);
        ASSERT_EQ(run(kGit, {"add", "gh-tool"}, sandbox_.file("work")).exitCode, 0);
        ASSERT_EQ(run(kGit, {"commit", "-q", "-m", message}, sandbox_.file("work")).exitCode, 0);
        ASSERT_EQ(run(kGit, {"push", "-q", "origin", "HEAD:master"}, sandbox_.file("work")).exitCode, 0);
    }

    testing::VantreelRun vantreel(std::vector<std::string> arguments) const {
        return {std::move(arguments), home_.path(), environment(), std::nullopt, 120};
    }

    testing::TempDir sandbox_{"vt-gh"};
    testing::TempDir home_{"vt-gh-home"};
};

TEST_F(GhExtensionsHostTest, ListsLocalAndClonedExtensionsAndUpgradesTheClone) {
    // gh links a local folder under its own name, and lists only names starting with "gh-".
    sandbox_.write("gh-hello/gh-hello", "#!/bin/sh\necho hello\n", 0755);
    ASSERT_EQ(run(kGit, {"init", "-q"}, sandbox_.file("gh-hello")).exitCode, 0);
    auto local = run(kGh, {"extension", "install", "."}, sandbox_.file("gh-hello"));
    ASSERT_EQ(local.exitCode, 0) << local.standardError;

    ASSERT_EQ(run(kGit, {"init", "-q", "--bare", "-b", "master", sandbox_.file("gh-tool.git")}).exitCode, 0);
    ASSERT_EQ(run(kGit, {"clone", "-q", sandbox_.file("gh-tool.git"), sandbox_.file("work")}).exitCode, 0);
    commit("one");
    ASSERT_EQ(run(kGit, {"clone", "-q", sandbox_.file("gh-tool.git"), sandbox_.file("data/gh/extensions/gh-tool")})
                  .exitCode,
              0);

    auto first = testing::runVantreel(vantreel({"--accept-terms", "scan", "--json"}));
    ASSERT_EQ(first.exitCode, 0) << first.standardError;
    std::map<std::string, Json> items = testing::itemsByKey(testing::jsonOf(first));
    ASSERT_TRUE(items.count("package:github cli:hello")) << first.standardOutput;
    EXPECT_EQ(items["package:github cli:hello"]["version"], "local");
    ASSERT_TRUE(items.count("package:github cli:tool")) << first.standardOutput;
    const std::string installed = items["package:github cli:tool"].value("version", "");
    EXPECT_EQ(installed.size(), 8u);
    EXPECT_EQ(items["package:github cli:tool"]["updateAvailable"], false);

    commit("two");
    auto moved = testing::runVantreel(vantreel({"--accept-terms", "scan", "--json"}));
    items = testing::itemsByKey(testing::jsonOf(moved));
    ASSERT_TRUE(items.count("package:github cli:tool")) << moved.standardOutput;
    EXPECT_EQ(items["package:github cli:tool"]["updateAvailable"], true) << items["package:github cli:tool"].dump();
    EXPECT_EQ(items["package:github cli:hello"]["updateAvailable"], false);

    auto update = testing::runVantreel(vantreel({"--accept-terms", "update", "package:github cli:tool", "--yes"}));
    ASSERT_EQ(update.exitCode, 0) << update.standardOutput << update.standardError;
    auto listed = run(kGh, {"extension", "list"});
    EXPECT_EQ(listed.standardOutput.find(installed), std::string::npos) << listed.standardOutput;
    EXPECT_NE(listed.standardOutput.find(items["package:github cli:tool"].value("latestVersion", "?")),
              std::string::npos)
        << listed.standardOutput;
}

}  // namespace
}  // namespace vt
