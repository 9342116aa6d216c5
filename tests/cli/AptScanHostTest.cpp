// `vantreel scan` against this machine's own apt-get, which only simulates: whatever
// `apt-get -s` says would be upgraded is in the report, with the same versions.
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "base/Json.hpp"
#include "base/Regex.hpp"
#include "base/Strings.hpp"
#include "model/VersionRules.hpp"
#include "support/TempDir.hpp"
#include "support/VantreelProcess.hpp"
#include "system/CommandRunner.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {
namespace {

constexpr const char* kAptGet = "/usr/bin/apt-get";

struct Upgrade {
    std::string installed, candidate;
    bool security = false;
};

// Read here with a plain pattern of our own, apart from the adapter's parser.
std::map<std::string, Upgrade> simulatedUpgrades() {
    CommandRequest request{.command = kAptGet,
                           .arguments = {"-s", "-o", "Debug::NoLocking=1", "dist-upgrade"},
                           .environment = {{"LC_ALL", "C"}},
                           .timeout = 120};
    ShellCommandResult result = CommandRunner::shared().execute(request);
    static const Regex inst(R"(^Inst (\S+) \[(\S+)\] \((\S+) ([^)]*)\))");
    std::map<std::string, Upgrade> upgrades;
    for (std::string_view line : splitLines(result.standardOutput)) {
        auto match = inst.search(line);
        if (!match) continue;
        upgrades[std::string(*match->groups[0])] = {std::string(*match->groups[1]), std::string(*match->groups[2]),
                                                    contains(*match->groups[3], "-security ")};
    }
    return upgrades;
}

TEST(AptScanHostTest, ScanReportsWhatTheSimulatedUpgradeLists) {
    if (!SystemFileSystemManager().isExecutableFile(kAptGet)) GTEST_SKIP() << "no apt-get here";
    std::map<std::string, Upgrade> expected = simulatedUpgrades();

    testing::TempDir home("vt-apt-host");
    testing::showOnly(home.path(), {"ShowApt"});
    auto result = testing::runVantreel({{"--accept-terms", "scan", "--json"}, home.path(), {}, std::nullopt, 240});
    ASSERT_EQ(result.exitCode, 0) << result.standardError;
    std::map<std::string, Json> items = testing::itemsByKey(testing::jsonOf(result));
    std::map<std::string, Json> apt;
    for (const auto& [key, item] : items) {
        if (item.value("type", "") == "apt") apt[item["name"].get<std::string>()] = item;
    }
    EXPECT_EQ(apt.size(), expected.size());
    for (const auto& [name, upgrade] : expected) {
        ASSERT_TRUE(apt.count(name)) << name;
        const Json& item = apt[name];
        EXPECT_EQ(item["version"], upgrade.installed) << name;
        const std::string latest = item.value("latestVersion", "");
        EXPECT_TRUE(latest == upgrade.candidate || latest == kUpdateAvailableSentinel) << name << " " << latest;
        EXPECT_EQ(item["updateAvailable"], true) << name;
        EXPECT_EQ(item.value("isSecurityUpdate", false), upgrade.security) << name;
    }
}

}  // namespace
}  // namespace vt
