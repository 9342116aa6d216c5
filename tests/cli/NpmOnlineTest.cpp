// `vantreel scan` and `vantreel update` with the real npm and its registry. Everything
// happens under a sandbox HOME whose .npmrc gives npm a temporary global prefix, so the
// machine's own global packages are never touched. The registry is the one npm is
// configured with here (a mirror, a company registry), carried over into the sandbox.
#include <filesystem>
#include <map>

#include <gtest/gtest.h>

#include "base/Json.hpp"
#include "base/Strings.hpp"
#include "managers/ExecutableLocator.hpp"
#include "model/Package.hpp"
#include "settings/SettingsManager.hpp"
#include "support/TempDir.hpp"
#include "support/VantreelProcess.hpp"
#include "system/CommandRunner.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {
namespace {

using testing::runVantreel;

constexpr const char* kPackage = "is-number";
constexpr const char* kOldVersion = "6.0.0";

class NpmOnlineTest : public ::testing::Test {
protected:
    void SetUp() override {
        SystemFileSystemManager files;
        std::optional<std::string> found = ExecutableLocator(runner_, files).locate("npm");
        if (!found) GTEST_SKIP() << "npm is not installed";
        npm_ = *found;
        std::string registry = trim(npm({"config", "get", "registry"}, false).standardOutput);
        // Only npm is shown, so that the other tools of this machine stay out of the scan.
        Json preferences = {{"DidApplyFirstLaunchDefaults", true}};
        for (const auto& definition : settingDefinitions()) {
            if (definition.broadcast == kManagerToggleDidChange) preferences[std::string(definition.key)] = false;
        }
        preferences["ShowNpm"] = true;
        home_.write(".config/vantreel/com.corvanel.Vantreel.json", dumpJson(preferences));
        prefix_ = home_.file("npm-global");
        std::string npmrc = "prefix=" + prefix_ + "\nupdate-notifier=false\nfund=false\naudit=false\n";
        if (startsWith(registry, "http")) npmrc += "registry=" + registry + "\n";
        home_.write(".npmrc", npmrc);
        // One quick try: npm's own retries would make an unreachable registry a minute's wait.
        ShellCommandResult view = npm({"view", kPackage, "version", "--fetch-retries=0", "--fetch-timeout=20000"});
        latest_ = trim(view.standardOutput);
        if (view.exitCode != 0 || latest_.empty()) {
            GTEST_SKIP() << "the npm registry does not answer (npm view " << kPackage << " version: exit "
                         << view.exitCode << ", " << trim(view.standardError).substr(0, 300) << ")";
        }
    }

    // npm as the sandbox user; the runner keeps the proxy and certificate variables.
    ShellCommandResult npm(std::vector<std::string> arguments, bool sandbox = true, double timeout = 120) {
        CommandRequest request;
        request.command = npm_;
        request.arguments = std::move(arguments);
        if (sandbox) request.environment["HOME"] = home_.path();
        request.timeout = timeout;
        request.allowNonZeroExit = true;
        return runner_.execute(request);
    }

    std::map<std::string, Json> scanItems() {
        auto result = runVantreel({{"--accept-terms", "scan", "--json"}, home_.path(), {}, std::nullopt, 240});
        EXPECT_EQ(result.exitCode, 0) << result.standardError;
        std::map<std::string, Json> items;
        auto parsed = parseJson(result.standardOutput);
        EXPECT_TRUE(parsed.has_value()) << result.standardOutput << result.standardError;
        if (parsed) {
            for (const auto& item : (*parsed)["items"]) items[item["stableKey"].get<std::string>()] = item;
        }
        return items;
    }

    CommandRunner runner_;
    testing::TempDir home_{"vt-npm-online"};
    std::string npm_, prefix_, latest_;
};

TEST_F(NpmOnlineTest, ScanFindsTheOldVersionAndUpdateBringsTheRegistrysLatest) {
    ASSERT_NE(latest_, kOldVersion);
    ShellCommandResult install = npm({"install", "-g", std::string(kPackage) + "@" + kOldVersion});
    ASSERT_EQ(install.exitCode, 0) << install.standardError;
    const std::string key = stableKey(Package{.name = kPackage, .version = "", .type = PackageType::NpmGlobal});

    auto items = scanItems();
    ASSERT_TRUE(items.count(key)) << "no " << key << " among " << items.size() << " items";
    EXPECT_EQ(items[key]["version"], kOldVersion);
    EXPECT_EQ(items[key]["latestVersion"], latest_);
    EXPECT_EQ(items[key]["updateAvailable"], true);
    EXPECT_TRUE(startsWith(items[key]["installLocation"].get<std::string>(), prefix_));

    auto updated = runVantreel({{"--accept-terms", "update", key}, home_.path(), {}, std::nullopt, 600});
    ASSERT_EQ(updated.exitCode, 0) << updated.standardOutput << updated.standardError;
    EXPECT_NE(updated.standardOutput.find(latest_), std::string::npos) << updated.standardOutput;
    auto listed = parseJson(npm({"ls", "-g", "--depth=0", "--json"}).standardOutput);
    ASSERT_TRUE(listed.has_value());
    EXPECT_EQ((*listed)["dependencies"][kPackage]["version"], latest_);

    items = scanItems();
    ASSERT_TRUE(items.count(key));
    EXPECT_EQ(items[key]["version"], latest_);
    EXPECT_EQ(items[key]["updateAvailable"], false);
}

}  // namespace
}  // namespace vt
