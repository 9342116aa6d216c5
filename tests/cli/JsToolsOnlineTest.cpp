// `vantreel scan --json` finds an outdated global package of pnpm, Yarn and Bun, installed for
// real from the registry npm is configured with. The tools come from a sandbox prefix that npm
// fills once per machine; the packages go into a temporary HOME. Skipped when npm, its
// registry or a tool is missing.
#include <filesystem>
#include <map>

#include <gtest/gtest.h>

#include "base/Files.hpp"
#include "base/Json.hpp"
#include "base/Paths.hpp"
#include "base/Strings.hpp"
#include "managers/ExecutableLocator.hpp"
#include "../managers/javascript/JsToolsTestSupport.hpp"
#include "support/TempDir.hpp"
#include "support/VantreelProcess.hpp"
#include "system/CommandRunner.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {
namespace {

const std::string kPackage = "left-pad";
const std::string kOldVersion = "1.1.0";

class JsToolsOnlineTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::optional<std::string> found = ExecutableLocator(files_).locate("npm");
        if (!found) GTEST_SKIP() << "npm not found";
        npm_ = *found;
        ShellCommandResult view = npm({"view", kPackage, "version"});
        if (view.exitCode != 0) GTEST_SKIP() << "npm's registry cannot be reached: " << view.standardError;
        latest_ = trim(view.standardOutput);
        if (std::optional<std::string> why = jstest::installToolsPrefix(runner_)) GTEST_SKIP() << *why;

        const std::string prefix = jstest::sharedToolsPrefix();
        for (const char* tool : {"pnpm", "yarn", "bun"}) {
            if (!jstest::linkTool(home_.path(), prefix, tool)) GTEST_SKIP() << tool << " is not in " << prefix;
        }
        // The machine's npm configuration (a mirror, a token) applies in the sandbox too.
        if (std::optional<std::string> npmrc = readFile(paths::home() + "/.npmrc")) home_.write(".npmrc", *npmrc);
        jstest::writeYarnrc(home_.path());

        install("pnpm", {"add", "-g", kPackage + "@" + kOldVersion});
        install("yarn", {"global", "add", kPackage + "@" + kOldVersion});
        install("bun", {"add", "-g", kPackage + "@" + kOldVersion});

        testing::showOnly(home_.path(), {"ShowPnpm", "ShowYarn", "ShowBun"});
    }

    ShellCommandResult npm(std::vector<std::string> arguments) {
        CommandRequest request{
            .command = npm_, .arguments = std::move(arguments), .timeout = 60, .allowNonZeroExit = true};
        request.environment["PATH"] = npm_.substr(0, npm_.rfind('/')) + ":" + runner_.defaultEnvironment().at("PATH");
        return runner_.execute(request);
    }

    // The sandbox's tool, with its HOME and a PATH as the adapters give it (the runner keeps
    // the machine's proxy and certificate variables).
    void install(const std::string& tool, std::vector<std::string> arguments) {
        const std::string home = home_.path();
        CommandRequest request{.command = home + "/.local/bin/" + tool,
                               .arguments = std::move(arguments),
                               .timeout = 180,
                               .allowNonZeroExit = true};
        request.environment = {
            {"HOME", home},
            {"PNPM_HOME", home + "/.local/share/pnpm"},
            {"PATH", home + "/.local/share/pnpm:" + home + "/.yarn/bin:" + home + "/.bun/bin:" + home +
                         "/.local/bin:" + npm_.substr(0, npm_.rfind('/')) + ":/usr/local/bin:/usr/bin:/bin"},
        };
        ShellCommandResult result = runner_.execute(request);
        ASSERT_EQ(result.exitCode, 0) << tool << ": " << result.standardOutput << result.standardError;
    }

    CommandRunner runner_;
    SystemFileSystemManager files_;
    testing::TempDir home_{"vt-js-online"};
    std::string npm_;
    std::string latest_;
};

TEST_F(JsToolsOnlineTest, ScanFindsTheOutdatedGlobalPackageOfPnpmYarnAndBunAndUpdatesIt) {
    ShellCommandResult result =
        testing::runVantreel({{"--accept-terms", "scan", "--json"}, home_.path(), {}, std::nullopt, 240});
    ASSERT_EQ(result.exitCode, 0) << result.standardError;
    Json parsed = testing::jsonOf(result);

    std::map<std::string, Json> byType;
    for (const Json& item : parsed["items"]) {
        if (item.value("name", "") == kPackage) byType[item.value("type", "")] = item;
    }
    for (const std::string type : {"PNPM Global", "Yarn Global", "Bun Global"}) {
        ASSERT_TRUE(byType.count(type)) << type << " missing from " << result.standardOutput;
        const Json& item = byType[type];
        EXPECT_EQ(item.value("version", ""), kOldVersion) << type;
        EXPECT_EQ(item.value("latestVersion", ""), latest_) << type;
        EXPECT_EQ(item.value("updateAvailable", false), true) << type;
    }
    ASSERT_FALSE(parsed["scanners"].empty()) << parsed.dump();
    for (const Json& scanner : parsed["scanners"]) {
        EXPECT_NE(scanner.value("state", ""), "failed") << scanner.dump();
    }

    // Each one updated by its own tool, then found at the latest version.
    for (const auto& [type, item] : byType) {
        ShellCommandResult update = testing::runVantreel(
            {{"--accept-terms", "update", "--json", "--yes", item.value("stableKey", "")}, home_.path(), {}, std::nullopt, 240});
        EXPECT_EQ(update.exitCode, 0) << type << ": " << update.standardOutput << update.standardError;
        std::optional<Json> document = parseJson(update.standardOutput);
        ASSERT_TRUE(document && (*document)["results"].size() == 1) << type << ": " << update.standardOutput;
        const Json& result = (*document)["results"][0];
        EXPECT_EQ(result.value("success", false), true) << type << ": " << update.standardOutput;
        EXPECT_EQ(result.value("newVersion", ""), latest_) << type << ": " << update.standardOutput;
    }
}

}  // namespace
}  // namespace vt
