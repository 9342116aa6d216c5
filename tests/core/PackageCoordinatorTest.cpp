#include "core/PackageCoordinator.hpp"
#include "core/PersistedUIState.hpp"

#include <atomic>
#include <filesystem>
#include <map>
#include <thread>

#include <gtest/gtest.h>

#include "base/Log.hpp"
#include "base/ProcessLock.hpp"
#include "settings/DefaultsStore.hpp"
#include "settings/SettingsManager.hpp"
#include "support/Eventually.hpp"
#include "support/TempDir.hpp"

namespace vt {
namespace {

class PackageCoordinatorTest : public ::testing::Test {
protected:
    PackageCoordinatorTest() {
        defaults_.set(PackageCoordinator::kTermsAccepted, true);
        pipelines_.push_back(countingPipeline());
    }

    ScannerPipeline countingPipeline() {
        ScannerPipeline p;
        p.id = p.source = p.logTag = "npm";
        p.isCore = true;
        p.run = [this](std::stop_token) {
            ++scans_;
            testing::eventually([this] { return !held_.load(); }, std::chrono::seconds(30));
            return ScanOutcome{{Package{.name = "semver", .version = "6.0.0", .type = PackageType::NpmGlobal}},
                               std::nullopt};
        };
        return p;
    }

    RefreshCoordinator::Options refreshOptions() {
        RefreshCoordinator::Options o;
        o.clock = &clock_;
        return o;
    }

    PackageCoordinator::Options options() { return {folder_.path(), &clock_}; }

    testing::TempDir folder_;
    FakeClock clock_;
    NotificationCenter notifications_;
    DefaultsStore defaults_{folder_.file("prefs.json")};
    SettingsManager settings_{defaults_, notifications_};
    ScanProgressModel progress_{clock_};
    std::vector<ScannerPipeline> pipelines_;
    std::atomic<int> scans_{0};
    std::atomic<bool> held_{false};  // a scan waits while it is set
    RefreshCoordinator refresh_{progress_, [this](std::stop_token) { return pipelines_; }, refreshOptions()};
};

// A caller during another's scan joins it; one during its finalization waits for it.
TEST_F(PackageCoordinatorTest, CallersDuringAScanOrItsFinalizationStartNoOtherScan) {
    PackageCoordinator coordinator(defaults_, settings_, refresh_, progress_, options());
    std::atomic<bool> finalizing{false};
    std::atomic<bool> released{true};
    coordinator.addFinalizationStep([&](const RefreshResult&) {
        finalizing = true;
        testing::eventually([&] { return released.load(); }, std::chrono::seconds(30));
    });
    LogCapture log;
    auto twoCallers = [&](bool force, const std::function<bool()>& firstIsIn, const std::string& secondSays) {
        std::jthread first([&] { coordinator.refreshAll(force); });
        ASSERT_TRUE(testing::eventually(firstIsIn, std::chrono::seconds(30)));
        std::jthread second([&] { coordinator.refreshAll(force); });
        EXPECT_TRUE(testing::eventually([&] { return log.contains(secondSays); }, std::chrono::seconds(30)));
        held_ = false;
        released = true;
    };
    held_ = true;
    twoCallers(false, [&] { return scans_.load() == 1; }, "Scan already running: waiting for its results");
    EXPECT_EQ(scans_.load(), 1);
    EXPECT_EQ(coordinator.packages().size(), 1u);
    ASSERT_FALSE(coordinator.activities().empty());
    EXPECT_EQ(coordinator.activities().front().type, ActivityRecord::ActivityType::Scan);

    finalizing = false;
    released = false;
    twoCallers(true, [&] { return finalizing.load(); }, "Waiting for the end of the running post-scan finalization");
    EXPECT_EQ(scans_.load(), 2);
}

TEST_F(PackageCoordinatorTest, GatesRefuseBeforeTermsDuringUpdatesAndInsideTheThrottle) {
    PackageCoordinator coordinator(defaults_, settings_, refresh_, progress_, options());
    LogCapture log;
    defaults_.set(PackageCoordinator::kTermsAccepted, false);
    for (auto mode : {RefreshMode::Manual, RefreshMode::Automatic, RefreshMode::OnLaunch,
                      RefreshMode::FirstLaunchAfterOnboarding}) {
        coordinator.refreshAll(mode);
    }
    EXPECT_EQ(scans_.load(), 0);
    EXPECT_TRUE(log.contains("Scan skipped: the terms of use are not accepted"));
    defaults_.set(PackageCoordinator::kTermsAccepted, true);

    coordinator.beginTracking("brewTracking", "wget");
    coordinator.refreshAll(RefreshMode::Manual);
    EXPECT_TRUE(log.contains("Scan (manual) skipped: an update is in progress"));
    coordinator.endTracking("brewTracking", "wget");
    EXPECT_EQ(scans_.load(), 0);

    // An interval of 0 hours still throttles automatic scans for an hour.
    settings_.setValue("CheckInterval", 0);
    coordinator.refreshAll(RefreshMode::Manual);
    EXPECT_EQ(scans_.load(), 1);
    clock_.advance(std::chrono::minutes(30));
    coordinator.refreshAll(RefreshMode::Automatic);
    EXPECT_EQ(scans_.load(), 1);
    EXPECT_TRUE(log.contains("Scan (automatic) skipped: a recent scan already completed"));
    clock_.advance(std::chrono::minutes(31));
    coordinator.refreshAll(RefreshMode::Automatic);
    EXPECT_EQ(scans_.load(), 2);
}

TEST_F(PackageCoordinatorTest, PostOnboardingScanIsRecordedOnce) {
    defaults_.set(PackageCoordinator::kPendingPostOnboardingScan, true);
    PackageCoordinator coordinator(defaults_, settings_, refresh_, progress_, options());
    LogCapture log;
    coordinator.refreshAll(RefreshMode::FirstLaunchAfterOnboarding);
    EXPECT_FALSE(defaults_.boolValue(PackageCoordinator::kPendingPostOnboardingScan).has_value());
    EXPECT_EQ(defaults_.boolValue(PackageCoordinator::kOnboardingCompleted), true);
    EXPECT_TRUE(log.contains("Post-onboarding scan finalized"));
    EXPECT_TRUE(defaults_.doubleValue(PackageCoordinator::kLastCompletedRefreshDate).has_value());
    std::vector<ActivityRecord> stored = PersistedUIState::load(defaults_).recentActivity;
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].title, "Scan completed");
}

// Another process's update holds the update lock in the folder both share.
TEST_F(PackageCoordinatorTest, AnUpdateOfAnotherProcessBlocksScans) {
    PackageCoordinator coordinator(defaults_, settings_, refresh_, progress_, options());
    ProcessLock update = ProcessLock::tryAcquire(folder_.path() + "/update.lock", ProcessLock::Mode::Exclusive);
    ASSERT_TRUE(update.isHeld());
    EXPECT_TRUE(coordinator.isUpdateInProgress());
    coordinator.refreshAll(true);
    EXPECT_EQ(scans_.load(), 0);
}

TEST_F(PackageCoordinatorTest, AThrowDuringTheScanLeavesNoScanInFlight) {
    PackageCoordinator coordinator(defaults_, settings_, refresh_, progress_, options());
    // A scan lock that cannot be opened makes the scan throw after it was registered.
    std::filesystem::create_directory(folder_.file("scan.lock"));
    EXPECT_THROW(coordinator.refreshAll(true), ProcessLockError);
    EXPECT_FALSE(coordinator.isRefreshing());
    std::filesystem::remove(folder_.file("scan.lock"));
    coordinator.refreshAll(true);
    EXPECT_EQ(scans_.load(), 1);
}

TEST_F(PackageCoordinatorTest, ACancelledScanIsFinalisedButSavesNothing) {
    const Package kept{.name = "kept", .version = "1.0", .type = PackageType::NpmGlobal};
    pipelines_[0].run = [](std::stop_token stop) {
        while (!stop.stop_requested()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return ScanOutcome{};
    };
    PackageCoordinator coordinator(defaults_, settings_, refresh_, progress_, options());
    coordinator.restorePackages({kept});
    int saved = 0;
    coordinator.addFinalizationStep([&](const RefreshResult& result) { saved += result.cancelled ? 0 : 1; });
    std::jthread scan([&] { coordinator.refreshAll(true); });
    while (!coordinator.isRefreshing()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    coordinator.cancelRefresh();
    scan.join();
    EXPECT_EQ(saved, 0);
    ASSERT_EQ(coordinator.packages().size(), 1u);
    EXPECT_EQ(coordinator.packages()[0].name, "kept");
    ASSERT_FALSE(coordinator.activities().empty());
    EXPECT_EQ(coordinator.activities().front().title, "Scan cancelled");
    ASSERT_FALSE(PersistedUIState::load(defaults_).recentActivity.empty());
    EXPECT_EQ(PersistedUIState::load(defaults_).recentActivity.front().title, "Scan cancelled");
    EXPECT_TRUE(defaults_.doubleValue(PackageCoordinator::kLastCompletedRefreshDate).has_value());
    EXPECT_EQ(coordinator.progressText(), "Scan cancelled");
}

// What a fleet is told of each source: how long it took, and whether its latest versions are
// known (its own failure, a failed or timed-out check, or a check that could not reach its
// index all say no); a source whose results the next scan reuses keeps what it said.
TEST_F(PackageCoordinatorTest, SourceStatesSayHowLongEachSourceTookAndWhetherItsLatestVersionsAreKnown) {
    auto source = [this](std::string id) {
        ScannerPipeline p = countingPipeline();
        p.id = p.source = p.logTag = std::move(id);
        p.checkUpdates = [](std::stop_token) { return ScanOutcome{}; };
        return p;
    };
    pipelines_ = {source("npm"), source("pip"), source("cargo"), source("gem"), source("apt")};
    pipelines_[0].inputs = [] { return std::string("unchanged"); };
    pipelines_[0].run = [](std::stop_token) {
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        return ScanOutcome{{Package{.name = "semver", .version = "6.0.0", .type = PackageType::NpmGlobal}},
                           std::nullopt};
    };
    pipelines_[1].checkUpdates = [](std::stop_token) { return ScanOutcome{{}, std::string("PyPI unreachable")}; };
    pipelines_[2].run = [](std::stop_token) -> ScanOutcome { throw std::runtime_error("cargo exited with status 101"); };
    pipelines_[3].checkUpdates = [](std::stop_token) -> ScanOutcome { throw std::runtime_error("gem: bad response"); };
    // A note of the listing that the check carries through is no problem of the check.
    pipelines_[4].run = [](std::stop_token) {
        return ScanOutcome{{Package{.name = "bash", .version = "5.2.15-2+b2", .type = PackageType::AptPackage}},
                           std::string("lists 9 days old")};
    };
    pipelines_[4].checkUpdates = [](std::stop_token) { return ScanOutcome{{}, std::string("lists 9 days old")}; };
    PackageCoordinator coordinator(defaults_, settings_, refresh_, progress_, options());
    coordinator.refreshAll(false);
    auto states = [&coordinator] {
        std::map<std::string, SourceScanState> byId;
        for (const SourceScanState& state : coordinator.sourceStates()) byId[state.id] = state;
        return byId;
    };
    std::map<std::string, SourceScanState> first = states();
    // Whether each source's latest versions are known, and whether it failed.
    std::map<std::string, std::pair<bool, bool>> said;
    for (const auto& [id, state] : first) said[id] = {state.latestKnown, state.failure.has_value()};
    EXPECT_EQ(said, (std::map<std::string, std::pair<bool, bool>>{
                        {"npm", {true, false}}, {"pip", {false, false}}, {"cargo", {false, true}},
                        {"gem", {false, false}}, {"apt", {true, false}}}));
    ASSERT_TRUE(first["npm"].durationSeconds);
    EXPECT_GE(*first["npm"].durationSeconds, 0.06);

    // npm's inputs did not change and it was checked lately: neither runs, both figures stay.
    pipelines_[0].run = [](std::stop_token) -> ScanOutcome { throw std::logic_error("listed again"); };
    clock_.advance(std::chrono::seconds(10));
    coordinator.refreshAll(false);
    std::map<std::string, SourceScanState> second = states();
    EXPECT_EQ(second["npm"].durationSeconds, first["npm"].durationSeconds);
    EXPECT_TRUE(second["npm"].latestKnown);
    EXPECT_FALSE(second["npm"].failure);
}

}  // namespace
}  // namespace vt
