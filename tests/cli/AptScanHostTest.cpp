// `vantreel scan` of apt against apt's own commands: on a private apt root (which always has
// upgrades, a pin, a hold and a security suite) and on this machine's own apt, which only
// simulates.
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "base/Json.hpp"
#include "support/AptRoot.hpp"
#include "support/TempDir.hpp"
#include "support/VantreelProcess.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {
namespace {

using testing::AptRoot;

constexpr const char* kAptGet = "/usr/bin/apt-get";

// The apt rows of a scan with only apt shown, by name.
std::map<std::string, Json> scannedAptItems(const std::map<std::string, std::string>& environment) {
    testing::TempDir home("vt-apt-host");
    testing::showOnly(home.path(), {"ShowApt"});
    auto result = testing::runVantreel({{"--accept-terms", "scan", "--json"}, home.path(), environment, std::nullopt, 240});
    EXPECT_EQ(result.exitCode, 0) << result.standardError;
    std::map<std::string, Json> apt;
    for (const auto& [key, item] : testing::itemsByKey(testing::jsonOf(result))) {
        if (item.value("type", "") == "apt") apt[item["name"].get<std::string>()] = item;
    }
    return apt;
}

void expectSameUpgrades(const std::map<std::string, Json>& scanned, const std::map<std::string, AptRoot::Upgrade>& apt) {
    EXPECT_EQ(scanned.size(), apt.size());
    for (const auto& [name, upgrade] : apt) {
        auto found = scanned.find(name);
        ASSERT_NE(found, scanned.end()) << name;
        const Json& item = found->second;
        EXPECT_EQ(item["version"], upgrade.installed) << name;
        EXPECT_EQ(item.value("latestVersion", ""), upgrade.candidate) << name;
        EXPECT_EQ(item["updateAvailable"], true) << name;
        EXPECT_EQ(item.value("isSecurityUpdate", false), upgrade.security) << name;
    }
}

TEST(AptScanHostTest, ScanShowsTheUpgradesAptWouldMakeWithTheirOwnVersions) {
    if (!SystemFileSystemManager().isExecutableFile(kAptGet)) GTEST_SKIP() << "no apt-get here";
    AptRoot root;
    ASSERT_FALSE(root.setupFailure()) << *root.setupFailure();
    const std::map<std::string, AptRoot::Upgrade> expected = AptRoot::simulatedUpgrade(&root);
    ASSERT_EQ(expected.size(), 5u);
    std::map<std::string, Json> scanned = scannedAptItems({{"APT_CONFIG", root.configFile()}});
    // The held package and the pinned one are no rows; "1.65.2+deb12u1" is shown as apt gives it.
    expectSameUpgrades(scanned, expected);
    EXPECT_FALSE(scanned.count("held"));
    EXPECT_FALSE(scanned.count("pinned"));
}

TEST(AptScanHostTest, ScanOfThisMachineMatchesItsSimulatedUpgrade) {
    if (!SystemFileSystemManager().isExecutableFile(kAptGet)) GTEST_SKIP() << "no apt-get here";
    expectSameUpgrades(scannedAptItems({}), AptRoot::simulatedUpgrade(nullptr));
}

}  // namespace
}  // namespace vt
