#include "sources/ApplicationUpdateChecks.hpp"

#include <gtest/gtest.h>

#include "base/Log.hpp"
#include "base/NotificationCenter.hpp"
#include "settings/SettingsManager.hpp"
#include "support/TempDir.hpp"

namespace vt {
namespace {

Application app(const std::string& identifier, const std::string& version = "1.0") {
    return {.id = identifier, .name = identifier, .version = version, .bundleIdentifier = identifier};
}

struct Sandbox {
    Sandbox() {
        options.coreCount = 4;
        options.stateFile = dir.file("cap.json");
    }
    testing::TempDir dir;
    FakeClock clock;
    UpdateRepository repository{dir.path(), &clock};
    UpdateCheckOptions options;
};

// Answers with a fixed latest version and remembers which applications it was asked about,
// with the mechanism they had then.
struct RecordingCheck {
    std::string latest = "2.0";
    std::shared_ptr<std::map<std::string, UpdateMechanism>> seen = std::make_shared<std::map<std::string, UpdateMechanism>>();
    std::shared_ptr<std::mutex> mutex = std::make_shared<std::mutex>();

    AppCheckOperation operation() const {
        return [latest = latest, seen = seen, mutex = mutex](const Application& application, std::stop_token) {
            std::scoped_lock lock(*mutex);
            (*seen)[application.bundleIdentifier] = application.updateMechanism;
            Application found = application;
            found.latestVersion = latest;
            return std::optional<Application>(found);
        };
    }
};

TEST(ApplicationUpdateChecksTest, KnownSourcesResolveBeforeTheChecksAndHonourDisabledSources) {
    Sandbox sandbox;
    UpdateCheckCoordinator coordinator(sandbox.repository, sandbox.options);
    const auto known = KnownSources::fromJson(R"({"com.example.both": "123456789"})",
                                              R"({"com.example.both": "https://feeds.example.com/both.xml"})");
    RecordingCheck check;
    LogCapture log;
    ApplicationUpdateCheckRequest request{{app("com.example.both"), app("com.example.plain", "")}, {}, check.operation()};
    request.knownSources = &known;
    auto result = checkApplicationsForUpdates(coordinator, request);

    ASSERT_TRUE(result.ran);
    const Application& both = result.applications[0];
    EXPECT_EQ((*check.seen)["com.example.both"], UpdateMechanism::MacAppStore);
    EXPECT_EQ(both.appStoreID, "123456789");
    EXPECT_EQ(both.resolutionReason, "Known Mac App Store ID");
    EXPECT_EQ(both.resolutionSource, AppRulePrimarySource::MacAppStore);
    EXPECT_EQ(both.detectionConfidence, DetectionConfidence::BestEffort);
    EXPECT_FALSE(both.sparkleAppcastURL);
    // An empty installed version follows the rules for unknown versions: not outdated.
    EXPECT_EQ(result.outdatedCount, 1);
    EXPECT_TRUE(log.contains("1 outdated apps found."));

    // With the App Store off, the appcast wins; and the App Store result cached above is refused.
    Sandbox second;
    UpdateCheckCoordinator other(second.repository, second.options);
    DefaultsStore store(second.dir.file("preferences.json"));
    NotificationCenter notifications;
    SettingsManager settings(store, notifications);
    settings.setFromText("AppSource_MacAppStore", "false");
    request.sources = SourceSettings::fromSettings(settings);
    auto sparkle = checkApplicationsForUpdates(other, request);
    EXPECT_EQ(sparkle.applications[0].updateMechanism, UpdateMechanism::Sparkle);
    EXPECT_EQ(sparkle.applications[0].sparkleAppcastURL, "https://feeds.example.com/both.xml");
    EXPECT_EQ(sparkle.applications[0].resolutionReason, "Known Sparkle appcast URL");

    check.seen->clear();
    auto refused = checkApplicationsForUpdates(coordinator, request);
    EXPECT_TRUE(check.seen->contains("com.example.both"));
    EXPECT_TRUE(log.contains("com.example.both (disallowed cached macAppStore)"));
    EXPECT_FALSE(check.seen->contains("com.example.plain"));  // its own cached result still holds
    EXPECT_EQ(refused.scan.skippedFromCache, 1);  // (the shipped tables: AppsE2ETest)
}

TEST(ApplicationUpdateChecksTest, PreReleasesCountAsOutdatedOnlyWhenAllowedAndIgnoredNever) {
    Sandbox sandbox;
    UpdateCheckCoordinator coordinator(sandbox.repository, sandbox.options);
    RecordingCheck check;
    check.latest = "3.0-beta.1";
    Application ignored = app("com.example.ignored");
    ignored.isIgnored = true;
    ApplicationUpdateCheckRequest request{{app("com.example.beta"), ignored}, {}, check.operation()};
    EXPECT_EQ(checkApplicationsForUpdates(coordinator, request).outdatedCount, 0);
    request.allowPreRelease = true;
    EXPECT_EQ(checkApplicationsForUpdates(coordinator, request).outdatedCount, 1);
}

}  // namespace
}  // namespace vt
