#include "settings/SettingsManager.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

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
    EXPECT_FALSE(DefaultsStore(storePath()).contains("ShowMenuBarIcon"));  // legacy key removed
}

TEST_F(SettingsManagerTest, CorruptFileIsKeptAsideAndDefaultsServe) {
    writeFileAtomically(storePath(), "{\"ShowNpm\": fal");
    DefaultsStore store(storePath());
    SettingsManager settings(store, notifications_);
    EXPECT_TRUE(settings.isVisible(ManagerToggleKey::ShowNpm));
    int backups = 0;
    for (const auto& entry : std::filesystem::directory_iterator(home_.path())) {
        backups += entry.path().filename().string().find("prefs.json.corrupt-") == 0;
    }
    EXPECT_EQ(backups, 1);
    settings.setVisible(ManagerToggleKey::ShowNpm, false);
    EXPECT_EQ(DefaultsStore(storePath()).boolValue("ShowNpm"), false);
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
