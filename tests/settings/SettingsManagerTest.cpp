#include "settings/SettingsManager.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include <gtest/gtest.h>

#include "base/Files.hpp"
#include "base/Strings.hpp"
#include "support/TempHome.hpp"

namespace vt {
namespace {

class SettingsManagerTest : public ::testing::Test {
protected:
    std::string storePath() const { return home_.path() + "/prefs.json"; }
    testing::TempHome home_;
    NotificationCenter notifications_;
};

TEST_F(SettingsManagerTest, WrongTypesAndUnknownStringsFallBack) {
    writeFileAtomically(storePath(), R"({"CheckInterval":"12","CacheTTLUnit":"fortnights","ShowNpm":1,
        "ManualUpdateMode":"install","BrewOutdatedMode":"normal","CacheTTLValue":2,"ShowMenuBarIcon":true})");
    DefaultsStore store(storePath());
    SettingsManager settings(store, notifications_);
    EXPECT_EQ(settings.checkIntervalHours(), 24);
    EXPECT_EQ(settings.cacheTTLUnit(), CacheTTLUnit::Hours);
    EXPECT_TRUE(settings.isVisible(ManagerToggleKey::ShowNpm));
    EXPECT_EQ(settings.manualUpdateMode(), ManualUpdateMode::DownloadOnly);
    EXPECT_EQ(settings.brewOutdatedMode(), BrewOutdatedMode::Normal);
    EXPECT_EQ(settings.cacheLifetime(), std::chrono::seconds(7200));
    EXPECT_FALSE(settings.store().contains("ShowMenuBarIcon"));
    EXPECT_TRUE(DefaultsStore(storePath()).contains("ShowMenuBarIcon"));  // reading wrote nothing
    settings.setFromText("CheckInterval", "6");
    EXPECT_FALSE(DefaultsStore(storePath()).contains("ShowMenuBarIcon"));  // legacy key dropped with the write
}

// Reading changes nothing on disk, not even for a file that does not parse; the first write
// keeps each corrupt file whole under a name of its own before replacing it.
TEST_F(SettingsManagerTest, CorruptFileIsKeptAsideAtTheFirstWriteAndDefaultsServe) {
    auto backups = [&] {
        std::vector<std::string> kept;
        for (const auto& entry : std::filesystem::directory_iterator(home_.path())) {
            const std::string name = entry.path().filename().string();
            if (name.find("prefs.json.corrupt-") == 0) kept.push_back(readFile(entry.path().string()).value_or(""));
        }
        std::sort(kept.begin(), kept.end());
        return kept;
    };
    writeFileAtomically(storePath(), "{\"ShowNpm\": fal");
    DefaultsStore store(storePath());
    SettingsManager settings(store, notifications_);
    settings.applyFirstLaunchDefaults([] { return std::map<ManagerToggleKey, bool>{{ManagerToggleKey::ShowNpm, false}}; });
    EXPECT_FALSE(settings.isVisible(ManagerToggleKey::ShowNpm));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(home_.path()), {}), 1);
    EXPECT_EQ(readFile(storePath()), "{\"ShowNpm\": fal");

    settings.setFromText("CheckInterval", "6");
    EXPECT_EQ(backups(), std::vector<std::string>{"{\"ShowNpm\": fal"});
    DefaultsStore written(storePath());
    EXPECT_EQ(written.integerValue("CheckInterval"), 6);
    EXPECT_EQ(written.boolValue("ShowNpm"), false);  // the first launch's choice, saved with it
    EXPECT_EQ(written.boolValue("DidApplyFirstLaunchDefaults"), true);

    writeFileAtomically(storePath(), "[2]");  // again within the same second
    settings.setFromText("CheckInterval", "7");
    EXPECT_EQ(backups(), (std::vector<std::string>{"[2]", "{\"ShowNpm\": fal"}));
}

TEST_F(SettingsManagerTest, BatchPostsEachNotificationOnce) {
    DefaultsStore store(storePath());
    SettingsManager settings(store, notifications_);
    int toggles = 0, ttl = 0;
    notifications_.addObserver(std::string(kManagerToggleDidChange), [&](std::string_view) { ++toggles; });
    notifications_.addObserver(std::string(kCacheTTLSettingsDidChange), [&](std::string_view) { ++ttl; });
    settings.batch([&] {
        for (auto key : {ManagerToggleKey::ShowNpm, ManagerToggleKey::ShowPip, ManagerToggleKey::ShowCargo,
                         ManagerToggleKey::ShowGo, ManagerToggleKey::ShowNix}) {
            settings.setVisible(key, false);
        }
    });
    EXPECT_EQ(toggles, 1);
    settings.setVisible(ManagerToggleKey::ShowNpm, true);
    EXPECT_EQ(toggles, 2);
    settings.setVisible(ManagerToggleKey::ShowNpm, true);  // no change, no post
    EXPECT_EQ(toggles, 2);
    settings.setFromText("CacheTTLUnit", "days");
    EXPECT_EQ(ttl, 1);
    EXPECT_EQ(settings.cacheLifetime(), std::chrono::seconds(86400));
}

TEST_F(SettingsManagerTest, FirstLaunchDefaultsFollowPresenceOnce) {
    DefaultsStore store(storePath());
    SettingsManager settings(store, notifications_);
    using K = ManagerToggleKey;
    const std::map<K, bool> found{
        {K::ShowNpm, true}, {K::ShowConda, true}, {K::ShowCargo, false}, {K::ShowCursor, true}, {K::ShowVSCode, false}};
    settings.applyFirstLaunchDefaults([&found] { return found; });
    for (const auto& [key, present] : found) EXPECT_EQ(settings.isVisible(key), present) << storageKey(key);
    settings.setVisible(ManagerToggleKey::ShowCargo, true);
    bool askedAgain = false;
    settings.applyFirstLaunchDefaults([&] {
        askedAgain = true;
        return std::map<K, bool>{{K::ShowCargo, false}};
    });
    EXPECT_FALSE(askedAgain);
    EXPECT_TRUE(settings.isVisible(ManagerToggleKey::ShowCargo));
}

TEST_F(SettingsManagerTest, RecordsRoundTripAndKeepUnknownFields) {
    DefaultsStore store(storePath());
    SettingsManager settings(store, notifications_);
    AutoDeferredUpdate deferred;
    deferred.identifier = "com.example.app";
    deferred.failureCount = 3;
    deferred.otherFields["deferredUntil"] = 12345.0;
    settings.setAutoDeferredUpdates({{"com.example.app", deferred}});
    DefaultsStore reread(storePath());
    SettingsManager again(reread, notifications_);
    auto updates = again.autoDeferredUpdates();
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(updates["com.example.app"].failureCount, 3);
    EXPECT_EQ(updates["com.example.app"].otherFields["deferredUntil"], 12345.0);
}

// Two processes writing different keys at the same moment must lose neither write.
TEST_F(SettingsManagerTest, ConcurrentWritersFromTwoProcessesLoseNothing) {
    for (int round = 0; round < 100; ++round) {
        std::filesystem::remove(storePath());
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            DefaultsStore store(storePath());
            store.set("FromChild", round);
            ::_exit(0);
        }
        DefaultsStore store(storePath());
        store.set("FromParent", round);
        int status = 0;
        ::waitpid(child, &status, 0);
        DefaultsStore result(storePath());
        ASSERT_EQ(result.integerValue("FromChild"), round) << "round " << round;
        ASSERT_EQ(result.integerValue("FromParent"), round) << "round " << round;
    }
}

}  // namespace
}  // namespace vt
