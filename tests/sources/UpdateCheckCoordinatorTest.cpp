#include "sources/UpdateCheckCoordinator.hpp"

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "base/Cancellation.hpp"
#include "base/Log.hpp"
#include "support/TempDir.hpp"

namespace vt {
namespace {

using namespace std::chrono_literals;

Application app(const std::string& identifier, const std::string& version = "1.0") {
    return {.id = identifier, .name = identifier, .version = version, .bundleIdentifier = identifier};
}

// A repository and a coordinator in a folder of their own, on a clock the test moves.
struct Sandbox {
    explicit Sandbox(unsigned cores = 8, std::chrono::milliseconds timeout = 5000ms) {
        options.coreCount = cores;
        options.checkTimeout = timeout;
        options.stateFile = dir.file("cap.json");
    }
    testing::TempDir dir;
    FakeClock clock;
    UpdateRepository repository{dir.path(), &clock};
    UpdateCheckOptions options;
};

// A check that finds version 2.0 for everything except the identifiers it is told to fail.
AppCheckOperation answering(std::set<std::string> failing = {}) {
    return [failing](const Application& application, std::stop_token) -> std::optional<Application> {
        if (failing.contains(application.bundleIdentifier)) throw std::runtime_error("feed returned 500");
        Application found = application;
        found.latestVersion = "2.0";
        found.updateMechanism = UpdateMechanism::Sparkle;
        return found;
    };
}

// One run of `total` applications never seen before, `failures` of which fail.
void runWithFailures(UpdateCheckCoordinator& coordinator, int failures, int total) {
    static int serial = 0;
    std::vector<Application> applications;
    std::set<std::string> failing;
    for (int index = 0; index < total; ++index) {
        applications.push_back(app("run" + std::to_string(serial) + ".app" + std::to_string(index)));
        if (index < failures) failing.insert(applications.back().bundleIdentifier);
    }
    ++serial;
    ASSERT_TRUE(coordinator.run(applications, SourceSettings{}, answering(failing)));
}

TEST(UpdateCheckCoordinatorTest, CapFollowsCoresAndAdaptsAtTheBoundariesAcrossRuns) {
    EXPECT_EQ(UpdateCheckCoordinator::capForCores(2), 4);
    EXPECT_EQ(UpdateCheckCoordinator::capForCores(24), 16);
    Sandbox sandbox;
    UpdateCheckCoordinator coordinator(sandbox.repository, sandbox.options);
    EXPECT_EQ(coordinator.currentMaxConcurrent(), 8);

    LogCapture log;
    struct Run {
        int failures, total, cap;
    };
    for (const Run& run : std::vector<Run>{{3, 10, 7},  // exactly 0.30: one less, not half
                                           {1, 20, 7},  // exactly 0.05: unchanged
                                           {0, 5, 8},
                                           {0, 0, 8},  // at the base it stays there
                                           {2, 2, 4},
                                           {1, 5, 3},
                                           {1, 5, 2},  // 3 at 0.2 becomes 2...
                                           {1, 5, 2},  // ...and stays 2
                                           {3, 4, 1},
                                           {1, 5, 2}}) {  // 1 at 0.2 rises to 2
        runWithFailures(coordinator, run.failures, run.total);
        EXPECT_EQ(coordinator.currentMaxConcurrent(), run.cap) << run.failures << "/" << run.total;
    }
    EXPECT_TRUE(log.contains("Moderate failure rate (30%), reducing concurrency to 7"));
    EXPECT_TRUE(log.contains("Low failure rate (0%), increasing concurrency to 8"));
    EXPECT_TRUE(log.contains("High failure rate (100%), reducing concurrency to 4"));

    // The next run of the program starts where this one left off; another machine does not.
    EXPECT_EQ(UpdateCheckCoordinator(sandbox.repository, sandbox.options).currentMaxConcurrent(), 2);
    sandbox.options.coreCount = 24;
    EXPECT_EQ(UpdateCheckCoordinator(sandbox.repository, sandbox.options).currentMaxConcurrent(), 16);
}

TEST(UpdateCheckCoordinatorTest, CacheAgeDecidesBetweenCacheNetworkAndStaleFallback) {
    Sandbox sandbox;
    auto cache = [&](const std::string& identifier, const std::string& latest, std::chrono::minutes age) {
        CachedUpdateInfo info = CachedUpdateInfo::from(app(identifier), sandbox.clock.now() - age);
        info.latestVersion = latest;
        info.updateMechanism = "sparkle";
        sandbox.repository.store(info);
    };
    cache("fresh.app", "2.0", 30min);
    cache("expired.app", "3.0", 120min);
    cache("dropped.app", "4.0", 25h);
    auto called = std::make_shared<std::vector<std::string>>();
    auto mutex = std::make_shared<std::mutex>();
    AppCheckOperation unresolved = [called, mutex](const Application& application, std::stop_token) {
        std::scoped_lock lock(*mutex);
        called->push_back(application.bundleIdentifier);
        return std::optional<Application>{};
    };
    UpdateCheckCoordinator coordinator(sandbox.repository, sandbox.options);
    LogCapture log;
    auto run = coordinator.run({app("fresh.app"), app("expired.app"), app("dropped.app")}, SourceSettings{}, unresolved);

    ASSERT_TRUE(run);
    std::sort(called->begin(), called->end());
    EXPECT_EQ(*called, (std::vector<std::string>{"dropped.app", "expired.app"}));
    EXPECT_EQ(run->applications[0].latestVersion, "2.0");
    EXPECT_EQ(run->applications[1].latestVersion, "3.0");  // the network had no answer: the stale value
    EXPECT_FALSE(run->applications[2].latestVersion);
    EXPECT_EQ(run->scan.skippedFromCache, 1);
    EXPECT_TRUE(log.contains("Application cache pass: resolved=1, blacklisted=0, network=2; reasons: expired=2"));
    EXPECT_TRUE(log.contains("expired.app (expired 7200s)"));
    EXPECT_TRUE(log.contains("Application timing: total=3, cacheResolved=1, stale=1, network=0, unresolved=2"));

    UpdateRepository reloaded(sandbox.dir.path(), &sandbox.clock);
    EXPECT_TRUE(log.contains("Cleaned 1 stale cache entries"));
    EXPECT_FALSE(reloaded.cachedResult("dropped.app"));
    EXPECT_EQ(reloaded.cachedResult("fresh.app")->latestVersion, "2.0");
}

TEST(UpdateCheckCoordinatorTest, HungCheckIsCutAndCountedUnresolvedWhileOthersFinish) {
    // Long enough that a busy machine never cuts the quick checks too.
    Sandbox sandbox(4, 2s);
    // Ignores its stop token on purpose: it must neither hold up the run nor the exit.
    AppCheckOperation check = [](const Application& application, std::stop_token) -> std::optional<Application> {
        if (application.bundleIdentifier == "hung.app") std::this_thread::sleep_for(30s);
        Application found = application;
        found.latestVersion = "2.0";
        return found;
    };
    std::vector<Application> applications{app("hung.app")};
    for (int index = 0; index < 6; ++index) applications.push_back(app("quick.app" + std::to_string(index)));
    UpdateCheckCoordinator coordinator(sandbox.repository, sandbox.options);
    std::vector<std::pair<long long, long long>> progress;
    coordinator.setProgressHandler([&](long long checked, long long total, const std::string&) {
        progress.emplace_back(checked, total);
    });
    LogCapture log;
    const auto start = std::chrono::steady_clock::now();
    auto run = coordinator.run(applications, SourceSettings{}, check);

    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);
    ASSERT_TRUE(run);
    EXPECT_FALSE(run->applications[0].latestVersion);
    for (std::size_t index = 1; index < applications.size(); ++index) {
        EXPECT_EQ(run->applications[index].latestVersion, "2.0");
    }
    EXPECT_EQ(run->scan.failedBundleIDs, std::set<std::string>{"hung.app"});
    EXPECT_EQ(sandbox.repository.failureCount("hung.app"), 1);
    EXPECT_TRUE(log.contains("unresolved=1, failures=1"));
    EXPECT_TRUE(log.contains("1 unresolved app update checks"));
    // Throttled to one call per half second, and always the last.
    ASSERT_FALSE(progress.empty());
    EXPECT_LE(progress.size(), 3U);
    EXPECT_EQ(progress.back(), std::make_pair(7LL, 7LL));
}

TEST(UpdateCheckCoordinatorTest, StopEndsTheChecksInFlightAndLeavesTheCapAlone) {
    Sandbox sandbox(4);
    // Waits for its stop token, as a network fetch does.
    AppCheckOperation waiting = [](const Application&, std::stop_token stop) -> std::optional<Application> {
        while (!stop.stop_requested()) std::this_thread::sleep_for(5ms);
        throw CancellationError();
    };
    std::vector<Application> applications;
    for (int index = 0; index < 10; ++index) applications.push_back(app("slow.app" + std::to_string(index)));
    UpdateCheckCoordinator coordinator(sandbox.repository, sandbox.options);
    std::stop_source stop;
    std::jthread stopper([&] {
        std::this_thread::sleep_for(200ms);
        stop.request_stop();
    });
    const auto start = std::chrono::steady_clock::now();
    auto run = coordinator.run(applications, SourceSettings{}, waiting, {.stop = stop.get_token()});

    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    ASSERT_TRUE(run);
    EXPECT_EQ(run->scan.newFailures, 0);  // a stop is not a failure
    EXPECT_EQ(sandbox.repository.failureCount("slow.app0"), 0);
    EXPECT_EQ(coordinator.currentMaxConcurrent(), 4);
    EXPECT_FALSE(coordinator.isRunning());
}

}  // namespace
}  // namespace vt
