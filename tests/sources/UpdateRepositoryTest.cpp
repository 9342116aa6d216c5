#include "sources/UpdateRepository.hpp"

#include <filesystem>

#include <gtest/gtest.h>

#include "base/Log.hpp"
#include "sources/UpdateCheckCoordinator.hpp"
#include "support/TempDir.hpp"

namespace vt {
namespace {

using namespace std::chrono_literals;

Application app(const std::string& identifier) {
    return {.name = identifier, .version = "1.0", .bundleIdentifier = identifier};
}

TEST(UpdateRepositoryTest, RepeatedFailuresAreSkippedForAWhileAndASuccessClearsThem) {
    testing::TempDir dir;
    FakeClock clock;
    UpdateRepository repository(dir.path(), &clock);
    UpdateCheckOptions options;
    options.stateFile = dir.file("cap.json");
    UpdateCheckCoordinator coordinator(repository, options);
    auto failing = std::make_shared<bool>(true);
    auto calls = std::make_shared<int>(0);
    AppCheckOperation check = [failing, calls](const Application& application, std::stop_token) {
        ++*calls;
        if (*failing) throw std::runtime_error("connection reset");
        Application found = application;
        found.latestVersion = "2.0";
        return std::optional<Application>(found);
    };
    for (int run = 0; run < 3; ++run) {
        auto result = coordinator.run({app("flaky.app")}, {}, check);
        EXPECT_EQ(result->scan.newFailures, 1);
        clock.advance(1h);
    }
    EXPECT_EQ(repository.failureCount("flaky.app"), 3);

    LogCapture log;
    auto skipped = coordinator.run({app("flaky.app")}, {}, check);
    EXPECT_EQ(*calls, 3);
    EXPECT_TRUE(log.contains("Skipped 1 apps whose update check failed recently"));
    EXPECT_TRUE(log.contains("resolved=0, blacklisted=1, network=0"));

    clock.advance(UpdateRepository::kRecentFailureWindow);
    *failing = false;
    auto retried = coordinator.run({app("flaky.app")}, {}, check);
    EXPECT_EQ(*calls, 4);
    EXPECT_EQ(retried->applications[0].latestVersion, "2.0");
    EXPECT_EQ(repository.failureCount("flaky.app"), 0);
    EXPECT_TRUE(log.contains("Cleared the failure state of flaky.app"));
}

TEST(UpdateRepositoryTest, FilesSurviveAReloadAndBadEntriesAreReportedNotFatal) {
    testing::TempDir dir;
    FakeClock clock;
    {
        UpdateRepository repository(dir.path(), &clock);
        Application checked = app("com.example.editor");
        checked.latestVersion = "5.1";
        checked.updateMechanism = UpdateMechanism::HomebrewCask;
        checked.homebrewCaskName = "example-editor";
        checked.resolutionSource = AppRulePrimarySource::HomebrewCask;
        repository.store(CachedUpdateInfo::from(checked, clock.now()));
        repository.recordFailure("com.example.broken");
        repository.recordFailure("com.example.broken");
        EXPECT_TRUE(repository.flush());
    }
    for (const char* name : {"update_cache.json", "failed_checks.json", "failure_counts.json"}) {
        EXPECT_TRUE(std::filesystem::exists(dir.file(name))) << name;
    }
    LogCapture log;
    UpdateRepository reloaded(dir.path(), &clock);
    EXPECT_TRUE(log.contains("Loaded 1 cached app entries"));
    EXPECT_TRUE(log.contains("Loaded 1 failed check entries"));
    auto cached = reloaded.cachedResult("com.example.editor");
    ASSERT_TRUE(cached);
    EXPECT_EQ(cached->homebrewCaskName, "example-editor");
    EXPECT_EQ(cached->resolutionSource, AppRulePrimarySource::HomebrewCask);
    EXPECT_EQ(reloaded.failureCount("com.example.broken"), 2);
    EXPECT_EQ(reloaded.lastFailure("com.example.broken"), clock.now());

    // A mechanism this version does not know is a miss with its reason; a torn file is no data.
    dir.write("update_cache.json",
              R"({"com.example.odd": {"bundleIdentifier": "com.example.odd", "updateMechanism": "carrierPigeon",)"
              R"( "latestVersion": "9", "timestamp": )" +
                  std::to_string(toReferenceSeconds(clock.now())) + "}}");
    dir.write("failure_counts.json", "{\"com.example.broken\": 2");
    UpdateRepository odd(dir.path(), &clock);
    EXPECT_EQ(odd.failureCount("com.example.broken"), 0);
    UpdateCheckOptions options;
    options.stateFile = dir.file("cap.json");
    UpdateCheckCoordinator coordinator(odd, options);
    auto result = coordinator.run({app("com.example.odd")}, {}, [](const Application&, std::stop_token) {
        return std::optional<Application>{};
    });
    EXPECT_FALSE(result->applications[0].latestVersion);
    EXPECT_TRUE(log.contains("com.example.odd (invalid mechanism carrierPigeon)"));
}

}  // namespace
}  // namespace vt
