// pnpm, Yarn, Bun and Deno as installed in a sandbox prefix (see JsToolsTestSupport.hpp),
// each run by its adapter through the real runner in a temporary HOME. Nothing here uses the
// network: packages come from a local folder or tarball, and latest versions from a loopback
// registry. A tool the prefix lacks is skipped.
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include <gtest/gtest.h>

#include "managers/javascript/BunManager.hpp"
#include "managers/javascript/DenoManager.hpp"
#include "JsToolsTestSupport.hpp"
#include "managers/javascript/PnpmManager.hpp"
#include "managers/javascript/YarnManager.hpp"
#include "support/LoopbackServer.hpp"
#include "support/TempDir.hpp"
#include "support/TempHome.hpp"
#include "system/CommandRunner.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {
namespace {

// Nothing may reach a real registry: every tool is pointed at a closed loopback port.
const std::string kNoRegistry = "http://127.0.0.1:9/";

class JsToolsHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        prefix_ = jstest::sharedToolsPrefix();
        for (const char* tool : {"pnpm", "yarn", "bun", "deno"}) {
            if (jstest::linkTool(home_.path(), prefix_, tool)) present_.insert(tool);
        }
        if (present_.empty()) GTEST_SKIP() << "no JavaScript tools in " << prefix_;
        jstest::writeYarnrc(home_.path());
        runner_ = std::make_unique<CommandRunner>();  // after HOME moved: its PATH has ~/.local/bin
        makePackage("vt-host-tool", "1.2.3", true);
        makePackage("vt-host-lib", "0.4.0", false);
    }

    void requireTool(const char* tool) {
        if (!present_.count(tool)) GTEST_SKIP() << tool << " is not in " << prefix_;
    }

    // A package folder and its tarball (what `npm pack` would make), with or without a binary.
    void makePackage(const std::string& name, const std::string& version, bool withBinary) {
        const std::string folder = packages_.makeFolder(name + "/package");
        std::string manifest = R"({"name":")" + name + R"(","version":")" + version + R"(")";
        if (withBinary) {
            manifest += R"(,"bin":{")" + name + R"(":"cli.js"})";
            packages_.writeExecutable(name + "/package/cli.js", "#!/usr/bin/env node\nconsole.log('hi')\n");
        }
        packages_.write(name + "/package/package.json", manifest + "}");
        ShellCommandResult packed = runner_->execute(
            CommandRequest{.command = "/bin/tar",
                           .arguments = {"-czf", packages_.file(name + ".tgz"), "-C", packages_.file(name), "package"},
                           .timeout = 30});
        ASSERT_EQ(packed.exitCode, 0) << packed.standardError;
    }

    // Runs a tool the way the adapter does, to set the sandbox up.
    void run(const std::string& tool, std::vector<std::string> arguments,
             std::map<std::string, std::string> environment) {
        environment["npm_config_registry"] = kNoRegistry;
        environment["BUN_CONFIG_REGISTRY"] = kNoRegistry;
        CommandRequest request{.command = home_.path() + "/.local/bin/" + tool,
                               .arguments = std::move(arguments),
                               .environment = std::move(environment),
                               .timeout = 120,
                               .allowNonZeroExit = true};
        ShellCommandResult result = runner_->execute(request);
        ASSERT_EQ(result.exitCode, 0) << tool << ": " << result.standardOutput << result.standardError;
    }

    testing::TempHome home_;
    testing::TempDir packages_{"vt-js-packages"};
    std::string prefix_;
    std::set<std::string> present_;
    std::unique_ptr<CommandRunner> runner_;
    SystemFileSystemManager files_;
};

TEST_F(JsToolsHostTest, PnpmListsAFreshFolderThenWhatWasAdded) {
    requireTool("pnpm");
    PnpmManager pnpm(*runner_, files_, PnpmManager::Options{.environment = {{"npm_config_registry", kNoRegistry}}});
    EXPECT_EQ(pnpm.pnpmHome(), home_.path() + "/.local/share/pnpm");
    // A global folder nothing was ever added to: no packages, no error, for both questions.
    EXPECT_TRUE(pnpm.listInstalled({}).empty());
    EXPECT_EQ(pnpm.errorMessage(), std::nullopt);
    EXPECT_TRUE(pnpm.checkOutdated({}).empty());
    EXPECT_EQ(pnpm.errorMessage(), std::nullopt);

    run("pnpm", {"add", "-g", packages_.file("vt-host-tool.tgz")}, pnpm.environment(pnpm.binaryPath()));
    std::vector<Package> packages = pnpm.listInstalled({});
    ASSERT_EQ(packages.size(), 1u) << pnpm.errorMessage().value_or("");
    EXPECT_EQ(packages[0].name, "vt-host-tool");
    EXPECT_EQ(packages[0].version, "1.2.3");
    ASSERT_TRUE(packages[0].installLocationOverride.has_value());
    EXPECT_TRUE(std::filesystem::exists(*packages[0].installLocationOverride)) << *packages[0].installLocationOverride;
}

TEST_F(JsToolsHostTest, YarnListsPackagesWithoutBinariesAndComparesWithTheRegistry) {
    requireTool("yarn");
    testing::LoopbackServer registry;
    registry.setRoute("/vt-host-tool/latest", {.body = R"({"name":"vt-host-tool","version":"1.3.0"})"});
    registry.setRoute("/vt-host-lib/latest", {.body = R"({"name":"vt-host-lib","version":"0.4.0"})"});
    YarnManager yarn(*runner_, files_, YarnManager::Options{.registry = registry.origin()});
    EXPECT_TRUE(yarn.listInstalled({}).empty());
    EXPECT_EQ(yarn.errorMessage(), std::nullopt);

    run("yarn",
        {"global", "add", "file:" + packages_.file("vt-host-tool/package"),
         "file:" + packages_.file("vt-host-lib/package")},
        {{"PATH", yarn.searchPath(yarn.binaryPath())}});
    std::vector<Package> packages = yarn.listInstalled({});
    ASSERT_EQ(packages.size(), 2u) << yarn.errorMessage().value_or("");
    // `yarn global list` leaves the library out; the global package.json does not.
    EXPECT_EQ(packages[0].name, "vt-host-lib");
    EXPECT_EQ(packages[0].version, "0.4.0");
    EXPECT_EQ(packages[1].version, "1.2.3");

    std::vector<Package> outdated = yarn.checkOutdated({});
    ASSERT_EQ(outdated.size(), 1u) << yarn.errorMessage().value_or("");
    EXPECT_EQ(outdated[0].name, "vt-host-tool");
    EXPECT_EQ(outdated[0].latestVersion, "1.3.0");
    EXPECT_TRUE(std::filesystem::exists(yarn.cacheFile()));

    // A global manifest yarn cannot read: its own error, published, nothing thrown.
    std::ofstream(home_.path() + "/.config/yarn/global/package.json") << "{\"dependencies\":";
    EXPECT_TRUE(yarn.listInstalled({}).empty());
    EXPECT_TRUE(startsWith(yarn.errorMessage().value_or(""), "Erreur lors du scan: "))
        << yarn.errorMessage().value_or("");
}

TEST_F(JsToolsHostTest, BunListsItsGlobalTree) {
    requireTool("bun");
    BunManager bun(*runner_, files_, BunManager::Options{.environment = {{"BUN_CONFIG_REGISTRY", kNoRegistry}}});
    EXPECT_TRUE(bun.listInstalled({}).empty());
    EXPECT_EQ(bun.errorMessage(), std::nullopt);
    EXPECT_TRUE(bun.checkOutdated({}).empty());
    EXPECT_EQ(bun.errorMessage(), std::nullopt);

    run("bun", {"add", "-g", packages_.file("vt-host-tool.tgz")}, bun.environment());
    std::vector<Package> packages = bun.listInstalled({});
    ASSERT_EQ(packages.size(), 1u) << bun.errorMessage().value_or("");
    EXPECT_EQ(packages[0].name, "vt-host-tool");
    EXPECT_EQ(bun.globalFolder(), home_.path() + "/.bun/install/global");
    EXPECT_TRUE(std::filesystem::exists(*packages[0].installLocationOverride));
}

TEST_F(JsToolsHostTest, DenoReportsItsVersionAndPublishesAFailedLookup) {
    requireTool("deno");
    DenoManager deno(*runner_, files_);
    std::vector<Package> packages = deno.listInstalled({});
    ASSERT_EQ(packages.size(), 1u) << deno.errorMessage().value_or("");
    ShellCommandResult version =
        runner_->execute(CommandRequest{.command = deno.binaryPath(), .arguments = {"--version"}});
    EXPECT_EQ(DenoManager::parseVersion(version.standardOutput), packages[0].version);
    // Whether or not Deno's release server answers here, the check never throws.
    std::vector<Package> outdated = deno.checkOutdated({});
    if (deno.errorMessage()) {
        EXPECT_TRUE(startsWith(*deno.errorMessage(), "deno upgrade --dry-run failed: ")) << *deno.errorMessage();
        EXPECT_TRUE(outdated.empty());
    }
}

TEST_F(JsToolsHostTest, OneToolFailingLeavesTheOthersAlone) {
    requireTool("pnpm");
    requireTool("bun");
    // PNPM_HOME naming a file: pnpm cannot make its global folder.
    std::ofstream(home_.path() + "/not-a-folder") << "";
    PnpmManager pnpm(*runner_, files_, PnpmManager::Options{.pnpmHome = home_.path() + "/not-a-folder"});
    BunManager bun(*runner_, files_, BunManager::Options{.environment = {{"BUN_CONFIG_REGISTRY", kNoRegistry}}});
    run("bun", {"add", "-g", packages_.file("vt-host-tool.tgz")}, bun.environment());

    EXPECT_TRUE(pnpm.listInstalled({}).empty());
    EXPECT_TRUE(contains(pnpm.errorMessage().value_or(""), "EEXIST")) << pnpm.errorMessage().value_or("");
    EXPECT_EQ(bun.listInstalled({}).size(), 1u);
    EXPECT_EQ(bun.errorMessage(), std::nullopt);
}

}  // namespace
}  // namespace vt
