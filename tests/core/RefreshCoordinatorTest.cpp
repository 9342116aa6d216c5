#include "core/RefreshCoordinator.hpp"

#include <thread>

#include <gtest/gtest.h>

#include "base/Localization.hpp"
#include "base/Log.hpp"

namespace vt {
namespace {

Package item(std::string name, std::string version) {
    return Package{.name = std::move(name), .version = std::move(version), .type = PackageType::NpmGlobal};
}

ScannerPipeline pipeline(std::string id, bool core, std::vector<Package> installed,
                         std::vector<Package> outdated = {}) {
    ScannerPipeline p;
    p.id = p.source = p.logTag = p.successDetails = id;
    p.isCore = core;
    p.timeout = std::chrono::seconds(5);
    p.run = [installed](std::stop_token) { return ScanOutcome{installed, std::nullopt}; };
    p.checkUpdates = [outdated](std::stop_token) { return ScanOutcome{outdated, std::nullopt}; };
    return p;
}

class RefreshCoordinatorTest : public ::testing::Test {
protected:
    RefreshCoordinator::Options options() {
        RefreshCoordinator::Options o;
        o.clock = &clock_;
        return o;
    }
    FakeClock clock_;
    ScanProgressModel progress_{clock_};
    std::vector<ScannerPipeline> pipelines_;
};

TEST_F(RefreshCoordinatorTest, CacheDecisionFollowsForceAgeAndSources) {
    pipelines_ = {pipeline("npm", true, {item("semver", "6.0.0")}, {item("semver", "6.0.0")}),
                  pipeline("pip", true, {})};
    pipelines_[1].checkUpdates = nullptr;
    RefreshCoordinator refresh(progress_, [this](std::stop_token) { return pipelines_; }, options());
    LogCapture log;

    RefreshResult first = refresh.run(false, {});
    EXPECT_TRUE(first.fullScan);
    EXPECT_EQ(first.cacheReason, "no previous full scan");
    EXPECT_TRUE(log.contains("Scan cache: full scan required: no previous full scan"));
    EXPECT_TRUE(log.contains("Inventory of npm done: 1"));

    clock_.advance(std::chrono::seconds(299));
    RefreshResult fast = refresh.run(false, {});
    EXPECT_FALSE(fast.fullScan);
    EXPECT_EQ(fast.cacheReason, "using fast path, cache age 299.0s");
    ASSERT_EQ(fast.packagesByScanner["npm"].size(), 1u);  // the inventory stays in place

    EXPECT_TRUE(refresh.run(true, {}).fullScan);
    clock_.advance(std::chrono::seconds(301));
    EXPECT_EQ(refresh.run(false, {}).cacheReason, "cache expired 301.0s > 300.0s");

    // A source added or removed needs a full scan; the state surviving into the next process
    // is the end-to-end test of overlapping runs.
    pipelines_.push_back(pipeline("cargo", false, {}));
    EXPECT_EQ(refresh.decide(false, {"cargo", "npm", "pip"}).reason, "active sources changed added=[cargo] removed=[]");

    // A scan of some sources looks for those only: the others are neither changed nor lost.
    const RefreshCoordinator::ScannerSelection npmOnly = [](const std::string& id) { return id == "npm"; };
    EXPECT_FALSE(refresh.decide(false, {"npm"}, npmOnly).fullScan);
    EXPECT_EQ(refresh.decide(false, {}, npmOnly).reason, "active sources changed added=[] removed=[npm]");
    refresh.setScannerSelection(npmOnly);
    pipelines_ = {pipelines_[0]};
    RefreshResult some = refresh.run(true, {});
    EXPECT_EQ(some.skippedScanners, (std::set<std::string>{"pip"}));
    EXPECT_EQ(refresh.cacheState().lastFullScanSourceIDs, (std::set<std::string>{"npm", "pip"}));
}

// A source that names its inputs is listed again exactly when they changed, whatever the age
// of the inventory, and checked again once its last check is older than the cache lifetime.
TEST_F(RefreshCoordinatorTest, UnchangedInputsReuseTheListingAndARecentCheck) {
    std::string inputs = "status 1";
    int listings = 0, checks = 0, appListings = 0, pipChecks = 0, pipListings = 0;
    Package outdated = item("semver", "6.0.0");
    outdated.latestVersion = "7.0.0";
    pipelines_ = {pipeline("npm", true, {item("semver", "6.0.0")}), pipeline("pip", true, {item("wheel", "1.0")}),
                  pipeline("apps", true, {})};
    auto counted = [](int& count, ScanOutcome outcome) {
        return [&count, outcome](std::stop_token) {
            ++count;
            return outcome;
        };
    };
    pipelines_[0].inputs = [&inputs] { return inputs; };
    pipelines_[0].run = counted(listings, {{item("semver", "6.0.0")}, std::nullopt});
    pipelines_[0].checkUpdates = counted(checks, {{outdated}, std::nullopt});
    pipelines_[1].run = counted(pipListings, {{item("wheel", "1.0")}, std::nullopt});
    pipelines_[1].checkUpdates = counted(pipChecks, {});
    pipelines_[2].run = counted(appListings, {});
    RefreshCoordinator refresh(progress_, [this](std::stop_token) { return pipelines_; }, options());
    auto counts = [&] { return std::vector<int>{listings, checks, appListings, pipChecks, pipListings}; };

    refresh.run(true, {});
    EXPECT_EQ(counts(), (std::vector<int>{1, 1, 1, 1, 1}));
    // Nothing changed: npm neither listed nor checked, its latest version kept; pip (which
    // cannot tell) listed and checked again; the applications listed as at every scan.
    clock_.advance(std::chrono::seconds(10));
    RefreshResult reused = refresh.run(false, {});
    EXPECT_EQ(counts(), (std::vector<int>{1, 1, 2, 2, 2}));
    ASSERT_EQ(reused.packagesByScanner["npm"].size(), 1u);
    EXPECT_EQ(reused.packagesByScanner["npm"][0].latestVersion, "7.0.0");
    EXPECT_EQ(progress_.snapshot().scanner("npm")->state.kind, ScannerState::Kind::Finished);
    // Past the lifetime the inventory is still npm's: only the check runs again.
    clock_.advance(std::chrono::seconds(400));
    refresh.run(false, {});
    EXPECT_EQ(counts()[0], 1);
    EXPECT_EQ(counts()[1], 2);
    // A changed input: listed again at once, well within the lifetime.
    inputs = "status 2";
    clock_.advance(std::chrono::seconds(1));
    refresh.run(false, {});
    EXPECT_EQ(counts()[0], 2);
    EXPECT_EQ(counts()[1], 3);
    // A scan cancelled after its listing keeps nothing of it: the next one lists again.
    inputs = "status 3";
    std::stop_source cancel;
    cancel.request_stop();
    EXPECT_TRUE(refresh.run(false, cancel.get_token()).cancelled);
    const int listedBefore = listings;
    refresh.run(false, {});
    EXPECT_EQ(listings, listedBefore + 1);
    // The cache state carries the fingerprint into the next process.
    EXPECT_EQ(refresh.cacheState().sources.at("npm").inputs, "status 3");
}

// A check that could learn no latest version (its registry out of reach) is reused for a
// minute only, still shown as unknown, so that a network back in service is soon seen.
TEST_F(RefreshCoordinatorTest, ACheckThatLearnedNothingIsReusedOnlyBriefly) {
    int checks = 0;
    bool reachable = false;
    pipelines_ = {pipeline("pip", true, {item("wheel", "1.0")})};
    pipelines_[0].inputs = [] { return std::string("site-packages 1"); };
    pipelines_[0].checkUpdates = [&](std::stop_token) {
        ++checks;
        ScanOutcome outcome;
        outcome.latestVersionsUnknown = !reachable;
        return outcome;
    };
    RefreshCoordinator refresh(progress_, [this](std::stop_token) { return pipelines_; }, options());

    EXPECT_EQ(refresh.run(true, {}).latestVersionsUnknown, std::set<std::string>{"pip"});
    clock_.advance(std::chrono::seconds(50));
    RefreshResult reused = refresh.run(false, {});
    EXPECT_EQ(checks, 1);
    EXPECT_EQ(reused.reusedSources, std::set<std::string>{"pip"});
    EXPECT_EQ(reused.latestVersionsUnknown, std::set<std::string>{"pip"});
    EXPECT_TRUE(progress_.snapshot().scanner("pip")->latestVersionsUnknown);

    reachable = true;
    clock_.advance(std::chrono::seconds(11));
    EXPECT_TRUE(refresh.run(false, {}).latestVersionsUnknown.empty());
    EXPECT_EQ(checks, 2);
    // A check that learned its versions is reused for the whole cache lifetime.
    clock_.advance(std::chrono::seconds(200));
    EXPECT_TRUE(refresh.run(false, {}).latestVersionsUnknown.empty());
    EXPECT_EQ(checks, 2);
}

TEST_F(RefreshCoordinatorTest, FinalStatusCountsPreReleasesOnlyWhenAskedAndNamesFailedSources) {
    Package beta = item("vite", "5.0.0");
    beta.latestVersion = "6.0.0-beta.1";
    pipelines_ = {pipeline("npm", true, {item("vite", "5.0.0")}, {beta}), pipeline("pip", true, {})};
    bool allowPreRelease = false;
    auto o = options();
    o.allowPreRelease = [&allowPreRelease] { return allowPreRelease; };
    RefreshCoordinator refresh(progress_, [this](std::stop_token) { return pipelines_; }, o);

    refresh.run(true, {});
    EXPECT_EQ(progress_.snapshot().currentStep, localized("scan.status.up_to_date"));
    allowPreRelease = true;
    refresh.run(true, {});
    EXPECT_EQ(progress_.snapshot().currentStep, localized("scan.status.done_one"));

    pipelines_[1].run = [](std::stop_token) -> ScanOutcome { throw std::runtime_error("pip exited with status 2"); };
    RefreshResult failed = refresh.run(true, {});
    EXPECT_EQ(failed.failedScanners, (std::map<std::string, std::string>{{"pip", "pip exited with status 2"}}));
    EXPECT_EQ(progress_.snapshot().currentStep, localized("scan.status.done_sources_failed", {"1", "1"}));
    allowPreRelease = false;
    refresh.run(true, {});
    EXPECT_EQ(progress_.snapshot().currentStep, localized("scan.status.sources_failed", {"1"}));
    EXPECT_NE(progress_.snapshot().currentStep.find('1'), std::string::npos);  // the count is shown
}

TEST_F(RefreshCoordinatorTest, OutdatedItemsGetTheirLatestVersionMerged) {
    pipelines_ = {pipeline("npm", true, {item("semver", "6.0.0"), item("typescript", "4.9.5")})};
    pipelines_[0].checkUpdates = [](std::stop_token) {
        Package update = item("semver", "6.0.0");
        update.latestVersion = "7.6.0";
        return ScanOutcome{{update}, std::string("registry slow")};
    };
    RefreshCoordinator refresh(progress_, [this](std::stop_token) { return pipelines_; }, options());
    RefreshResult result = refresh.run(true, {});
    ASSERT_EQ(result.packagesByScanner["npm"].size(), 2u);
    EXPECT_EQ(result.packagesByScanner["npm"][0].latestVersion, "7.6.0");
    EXPECT_FALSE(result.packagesByScanner["npm"][1].latestVersion.has_value());
    EXPECT_EQ(result.updateCount(false), 1u);
    EXPECT_EQ(result.messages["npm"], "registry slow");
}

// The application checks see the stop and return the answers they had: a check the cancel
// cut short is shown cancelled, like a listing, and never as done.
TEST_F(RefreshCoordinatorTest, ACheckCutShortByTheCancelIsShownCancelled) {
    std::stop_source stop;
    pipelines_ = {pipeline("apps", true, {item("App 1", "1.0")})};
    pipelines_[0].checkUpdates = [&stop](std::stop_token) {
        stop.request_stop();
        return ScanOutcome{{}, std::nullopt, 0};
    };
    RefreshCoordinator refresh(progress_, [this](std::stop_token) { return pipelines_; }, options());
    RefreshResult result = refresh.run(true, stop.get_token());

    EXPECT_TRUE(result.cancelled);
    const ScanProgressSnapshot snapshot = progress_.snapshot();
    ASSERT_NE(snapshot.scanner("apps"), nullptr);
    EXPECT_EQ(snapshot.scanner("apps")->state.kind, ScannerState::Kind::Cancelled);
    EXPECT_EQ(snapshot.scanner(ScanProgressModel::kPostScanStatusID)->state.kind,
              ScannerState::Kind::Cancelled);
}

// The thread that runs a scan is called back now and then while the sources work (the
// resource sampler samples so), never in a busy loop.
TEST_F(RefreshCoordinatorTest, TheWaitingThreadIsCalledBackWhileSourcesWork) {
    pipelines_ = {pipeline("npm", true, {})};
    pipelines_[0].run = [](std::stop_token) {
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        return ScanOutcome{{item("semver", "6.0.0")}, std::nullopt};
    };
    RefreshCoordinator refresh(progress_, [this](std::stop_token) { return pipelines_; }, options());
    int calls = 0;
    const auto start = std::chrono::steady_clock::now();
    RefreshResult result = refresh.run(true, {}, [&calls] { ++calls; });
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(result.packagesByScanner["npm"].size(), 1u);
    EXPECT_GE(calls, 1);
    // About every quarter second of the run, however long a busy machine made it: not in a loop.
    EXPECT_LE(calls, static_cast<int>(seconds / 0.25) + 2) << seconds << " s";
}

TEST(ScanProgressModelTest, CompletedCountNeverGoesDownWithinAScan) {
    ScanProgressModel progress;
    progress.startScan();
    progress.registerScanner("npm", "npm");
    progress.registerScanner("pip", "pip");
    progress.setScannerState("npm", {ScannerState::Kind::Finished, ""});
    progress.setScannerState("pip", {ScannerState::Kind::Finished, ""});
    progress.registerScanner("npm", "npm", {ScannerState::Kind::Scanning, ""});
    progress.setScannerState("pip", {ScannerState::Kind::Checking, ""});
    auto snapshot = progress.snapshot();
    EXPECT_EQ(snapshot.completedScanners().size(), 0u);
    EXPECT_EQ(snapshot.runningScanners().size(), 2u);  // a scanner checking for updates is not done
    EXPECT_EQ(snapshot.completedScannerCount(), 2);
    progress.failScanner("pip", "");
    EXPECT_EQ(progress.snapshot().scanner("pip")->state.message, "Unknown error");
}

}  // namespace
}  // namespace vt
