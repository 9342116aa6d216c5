// An installation from before the XDG layout ("~/.local/share/Van Treel", the preferences
// under their application identifier) is moved to the lower-case XDG folders once, at the
// next start, with every file and its contents.
#include <filesystem>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "base/Files.hpp"
#include "base/Json.hpp"
#include "support/TempDir.hpp"
#include "support/VantreelProcess.hpp"

namespace vt {
namespace {

using testing::runVantreel;

const std::map<std::string, std::string> kLegacyData = {
    {"ScanResults/packages.json", "[]"},
    {"ScanResults/scan_metadata.json", R"({"lastScanDate": 7e8, "wasCleanExit": true})"},
    {"Reports/vantreel-update-report-2025-01-01_00-00-00.md", "# report\n"},
    {"local-update-rules.json", R"({"rules": []})"},
    {"rule-feedback.json", "{}"},
};

void writeLegacyInstallation(const testing::TempDir& home, const std::string& dataRoot, const std::string& configRoot) {
    for (const auto& [name, contents] : kLegacyData) home.write(dataRoot + "/Van Treel/" + name, contents);
    home.write(dataRoot + "/Van Treel/Logs/vantreel.log", "an earlier run's line\n");
    home.write(configRoot + "/vantreel/com.corvanel.Vantreel.json",
               R"({"CheckInterval": 7, "DidApplyFirstLaunchDefaults": true})");
}

TEST(XdgLayoutE2ETest, AnEarlierInstallationMovesOnceWithEveryFile) {
    testing::TempDir home{"vt-xdg-e2e"};
    writeLegacyInstallation(home, ".local/share", ".config");

    ShellCommandResult result = runVantreel({{"settings", "get", "CheckInterval"}, home.path()});
    ASSERT_EQ(result.exitCode, 0) << result.standardError;
    EXPECT_EQ(result.standardOutput, "7\n");
    for (const auto& [name, contents] : kLegacyData) {
        EXPECT_EQ(readFile(testing::dataFolder(home.path()) + "/" + name), contents) << name;
    }
    EXPECT_EQ(readFile(testing::logFile(home.path())).value_or("").rfind("an earlier run's line\n", 0), 0u);
    EXPECT_FALSE(std::filesystem::exists(home.file(".local/share/Van Treel")));
    EXPECT_FALSE(std::filesystem::exists(home.file(".config/vantreel/com.corvanel.Vantreel.json")));
    EXPECT_TRUE(std::filesystem::exists(testing::settingsFile(home.path())));

    // Once: a folder of the old name made again later is no longer read, and merges only
    // what the new place lacks, keeping what both have where it was.
    home.write(".local/share/Van Treel/local-update-rules.json", "stale");
    home.write(".local/share/Van Treel/extra.json", "kept");
    ASSERT_EQ(runVantreel({{"settings", "get", "CheckInterval"}, home.path()}).exitCode, 0);
    EXPECT_EQ(readFile(testing::dataFolder(home.path()) + "/local-update-rules.json"), R"({"rules": []})");
    EXPECT_EQ(readFile(testing::dataFolder(home.path()) + "/extra.json"), "kept");
    EXPECT_EQ(readFile(home.file(".local/share/Van Treel/local-update-rules.json")), "stale");
}

TEST(XdgLayoutE2ETest, TheXdgVariablesChooseTheFolders) {
    testing::TempDir home{"vt-xdg-e2e"};
    writeLegacyInstallation(home, "data", "conf");
    const std::map<std::string, std::string> folders = {{"XDG_DATA_HOME", home.file("data")},
                                                        {"XDG_CONFIG_HOME", home.file("conf")},
                                                        {"XDG_STATE_HOME", home.file("state")},
                                                        {"XDG_CACHE_HOME", home.file("cache")}};
    ShellCommandResult result = runVantreel({{"settings", "get", "CheckInterval"}, home.path(), folders});
    ASSERT_EQ(result.exitCode, 0) << result.standardError;
    EXPECT_EQ(result.standardOutput, "7\n");
    for (const auto& [name, contents] : kLegacyData) EXPECT_EQ(readFile(home.file("data/vantreel/" + name)), contents);
    EXPECT_TRUE(std::filesystem::exists(home.file("state/vantreel/vantreel.log")));
    EXPECT_TRUE(std::filesystem::exists(home.file("conf/vantreel/settings.json")));
    EXPECT_FALSE(std::filesystem::exists(home.file(".local/share/vantreel")));
}

// What the program notes for itself (when it last scanned, what it did) lives in the state
// folder: a scan leaves the user's settings byte for byte as they were, and the notes an
// earlier version kept among the settings are moved there once, none lost.
TEST(XdgLayoutE2ETest, TheProgramsOwnNotesLiveInTheStateFolderApartFromTheSettings) {
    testing::TempDir home{"vt-xdg-e2e"};
    testing::showOnly(home.path(), {});
    const std::string settings = testing::settingsFile(home.path());
    const std::string state = home.file(".local/state/vantreel/state.json");
    Json earlier = parseJson(readFile(settings).value_or("")).value_or(Json::object());
    earlier["hasAcceptedOnboardingTerms_v1"] = true;
    earlier["hasCompletedOnboarding_v2"] = true;
    earlier["PackageCoordinator.LastCompletedRefreshDate"] = 7e8;
    earlier["PackageCoordinator.PersistedUIState"] = {
        {"recentActivity", Json::array({{{"id", "A01643B6-7300-4A00-B53A-A41A50552215"},
                                         {"date", 7e8},
                                         {"title", "An earlier scan"},
                                         {"type", "scan"}}})}};
    writeFileAtomically(settings, dumpJson(earlier));

    ShellCommandResult shown = runVantreel({{"activity", "--json"}, home.path()});
    ASSERT_EQ(shown.exitCode, 0) << shown.standardError;
    ASSERT_EQ(testing::jsonOf(shown)["activity"].size(), 1u) << shown.standardOutput;
    const Json settingsAfterMove = parseJson(readFile(settings).value_or("")).value_or(Json::object());
    EXPECT_FALSE(settingsAfterMove.contains("PackageCoordinator.PersistedUIState")) << settingsAfterMove.dump();
    EXPECT_FALSE(settingsAfterMove.contains("PackageCoordinator.LastCompletedRefreshDate"));
    const Json moved = parseJson(readFile(state).value_or("")).value_or(Json::object());
    EXPECT_EQ(moved.value("PackageCoordinator.LastCompletedRefreshDate", 0.0), 7e8) << moved.dump();

    const std::optional<std::string> before = readFile(settings);
    ShellCommandResult scanned = runVantreel({{"scan", "--json"}, home.path()});
    ASSERT_EQ(scanned.exitCode, 0) << scanned.standardError;
    EXPECT_EQ(readFile(settings), before);
    const Json noted = parseJson(readFile(state).value_or("")).value_or(Json::object());
    EXPECT_GT(noted.value("PackageCoordinator.LastCompletedRefreshDate", 0.0), 7e8) << noted.dump();
    shown = runVantreel({{"activity", "--json"}, home.path()});
    EXPECT_EQ(testing::jsonOf(shown)["activity"].size(), 2u) << shown.standardOutput;
}

}  // namespace
}  // namespace vt
