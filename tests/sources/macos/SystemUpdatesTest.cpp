#include <gtest/gtest.h>

#include "sources/macos/SoftwareUpdateManager.hpp"
#include "sources/macos/XProtectService.hpp"
#include "support/Corpus.hpp"

namespace vt {
namespace {

TEST(SystemUpdatesTest, ReadsBothListFormsOfTheTool) {
    // Monterey-era output with the tool's own log lines mixed in.
    auto current = parseSoftwareUpdateList(testing::corpusFile("softwareupdate/munki.list.2024-09-09.monterey.txt"));
    ASSERT_EQ(current.size(), 3u);
    EXPECT_EQ(current[0].id, "Safari17.6MontereyAuto-17.6");
    EXPECT_EQ(current[0].name, "Safari");
    EXPECT_EQ(current[0].version, "17.6");
    EXPECT_EQ(current[0].size, "152370KiB");
    EXPECT_TRUE(current[0].isRecommended);
    EXPECT_FALSE(current[0].isRestart);
    EXPECT_EQ(current[1].id, "macOS Monterey 12.7.6-21H1320");
    EXPECT_EQ(current[1].version, "12.7.6");
    EXPECT_EQ(current[1].size, "1765616K");
    EXPECT_TRUE(current[1].isRestart);
    EXPECT_EQ(current[2].name, "macOS Sonoma 14.6.1");
    EXPECT_EQ(categoryOf(current[2].name), SoftwareUpdateCategory::MacOS);

    auto older = parseSoftwareUpdateList(testing::corpusFile("softwareupdate/phatblat.list.2012-style.updates.txt"));
    ASSERT_EQ(older.size(), 3u);
    EXPECT_EQ(older[0].id, "MacBookAirEFIUpdate2.4-2.4");
    EXPECT_EQ(older[0].name, "MacBook Air EFI Firmware Update");
    EXPECT_EQ(older[0].version, "2.4");
    EXPECT_EQ(older[0].size, "3817K");
    EXPECT_TRUE(older[0].isRestart && older[0].isRecommended);
    EXPECT_EQ(categoryOf(older[0].name), SoftwareUpdateCategory::Firmware);
    EXPECT_EQ(older[2].version, "1.0");  // not the "2012" of its name
    EXPECT_FALSE(older[2].isRestart);

    EXPECT_TRUE(
        parseSoftwareUpdateList(testing::corpusFile("softwareupdate/phatblat.list.2012-style.no-updates.txt")).empty());

    auto shutdown = parseSoftwareUpdateList("* Label: BridgeOS-1\n\tTitle: BridgeOS, Version: 1.2, ACTION: SHUTDOWN,\n");
    ASSERT_EQ(shutdown.size(), 1u);
    EXPECT_TRUE(shutdown[0].isShutdown);
    EXPECT_FALSE(shutdown[0].isRecommended);
    EXPECT_EQ(categoryOf("Command Line Tools for Xcode-16.0"), SoftwareUpdateCategory::DeveloperTools);
    EXPECT_EQ(categoryOf("XProtectPlistConfigData"), SoftwareUpdateCategory::Security);
}

TEST(SystemUpdatesTest, ReadsTheRecommendationsOfTheUpdatePreferences) {
    const std::string plist = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
  <key>RecommendedUpdates</key>
  <array>
    <dict><key>Display Name</key><string>macOS Sequoia 15.7.9</string><key>DisplayVersion</key><string>15.7.9</string>
      <key>Identifier</key><string>MSU_UPDATE_24G_patch_15.7.9</string><key>Size</key><integer>2048</integer></dict>
    <dict><key>DisplayName</key><string>Safari</string><key>Product Key</key><string>062-1234</string></dict>
    <dict><key>DisplayName</key><string>No identifier</string></dict>
  </array>
</dict></plist>)";
    auto updates = parseRecommendedUpdates(plist);
    ASSERT_EQ(updates.size(), 2u);
    EXPECT_EQ(updates[0].id, "MSU_UPDATE_24G_patch_15.7.9");
    EXPECT_EQ(updates[0].version, "15.7.9");
    EXPECT_EQ(updates[0].size, "2048");
    EXPECT_EQ(updates[1].id, "062-1234");
    EXPECT_TRUE(updates[1].isRecommended);
    EXPECT_TRUE(parseRecommendedUpdates("not a property list").empty());
}

TEST(SystemUpdatesTest, InstallOutputGivesProgressStatusAndOutcome) {
    SoftwareUpdateInstallProgress progress;
    progress.consume("Downloading macOS Sequoia: 45,");  // a line cut between two reads
    EXPECT_EQ(progress.progress(), 0);
    progress.consume("5 %\r");
    EXPECT_DOUBLE_EQ(progress.progress(), 0.455);
    EXPECT_EQ(progress.status(), "Downloading…");
    progress.consume("Preparing 80.0%\nVerifying\n");
    EXPECT_DOUBLE_EQ(progress.progress(), 0.8);
    EXPECT_EQ(progress.status(), "Verifying…");
    EXPECT_FALSE(progress.finished());
    progress.consume("Done.\n");
    EXPECT_TRUE(progress.finished());

    using Kind = SoftwareUpdateError::Kind;
    EXPECT_EQ(SoftwareUpdateError::fromInstallOutput("Error: User canceled", "Safari").kind(), Kind::Cancelled);
    EXPECT_EQ(SoftwareUpdateError::fromInstallOutput("softwareupdate: must be root", "Safari").kind(),
              Kind::MissingRights);
    auto other = SoftwareUpdateError::fromInstallOutput("Error downloading", "Safari");
    EXPECT_EQ(other.kind(), Kind::InstallFailed);
    EXPECT_STREQ(other.what(), "Error while installing Safari");
}

TEST(SystemUpdatesTest, XProtectOutputFields) {
    XProtectStatus status;
    readXProtectOutput("Version: 5297\nInstalled: 2026-11-20 10:00:00 +0000\nBackground scans: enabled\n"
                       "Launch scans: disabled\nAvailable version: 5298\nnoise without a colon\n",
                       status);
    EXPECT_EQ(status.installedVersion, "5297");
    EXPECT_EQ(status.installedDate, "2026-11-20 10:00:00 +0000");
    EXPECT_EQ(status.availableVersion, "5298");
    EXPECT_EQ(status.backgroundScansEnabled, true);
    EXPECT_EQ(status.launchScansEnabled, false);
}

}  // namespace
}  // namespace vt
