#include <gtest/gtest.h>

#include "base/Json.hpp"
#include "base/Log.hpp"
#include "presentation/AutoDeferralStore.hpp"
#include "presentation/ChronicFailureAutoIgnore.hpp"
#include "presentation/IgnoreFilter.hpp"
#include "presentation/IgnoredAppsManager.hpp"
#include "settings/DefaultsStore.hpp"
#include "sources/UpdateRepository.hpp"
#include "support/TempDir.hpp"

namespace vt {
namespace {

std::string infoPlist(const std::string& identifier) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key><string>" +
           identifier + "</string></dict></plist>\n";
}

TEST(IgnoredAppsManagerTest, StoresOnlyRealIdsSurvivesBadDataAndCleansUpOnce) {
    testing::TempDir folder;
    DefaultsStore store(folder.file("defaults.json"));
    store.set(IgnoredAppsManager::kUserDefaultsKey, "not base64 of anything!");
    IgnoredAppsManager ignored(store);
    EXPECT_TRUE(ignored.ignoredBundleIds().empty());
    EXPECT_FALSE(ignored.ignore(""));
    EXPECT_EQ(store.stringValue(IgnoredAppsManager::kUserDefaultsKey), "not base64 of anything!");  // nothing saved

    EXPECT_TRUE(ignored.ignore("com.example.store"));
    EXPECT_TRUE(ignored.ignore("com.example.own"));
    EXPECT_EQ(IgnoredAppsManager(store).ignoredBundleIds().size(), 2u);  // read back from the store

    folder.write("Applications/Store.app/Contents/Info.plist", infoPlist("com.example.store"));
    folder.write("Applications/Store.app/Contents/_MASReceipt/receipt", "receipt");
    folder.write("Applications/Own.app/Contents/Info.plist", infoPlist("com.example.own"));
    ignored.runLegacyCleanup({folder.file("Applications")});  // a list this version saved: kept
    EXPECT_TRUE(IgnoredAppsManager(store).isIgnored("com.example.store"));

    // The same two as an older version left them, its store app among them.
    store.set(IgnoredAppsManager::kUserDefaultsKey, "WyJjb20uZXhhbXBsZS5zdG9yZSIsImNvbS5leGFtcGxlLm93biJd");
    store.remove(IgnoredAppsManager::kLegacyMacAppStoreCleanupKey);
    IgnoredAppsManager legacy(store);
    legacy.runLegacyCleanup({folder.file("Applications"), folder.file("missing")});
    EXPECT_EQ(legacy.ignoredBundleIds(), (std::set<std::string>{"com.example.own"}));
    legacy.ignore("com.example.store");  // ignored again after the clean-up: stays
    legacy.runLegacyCleanup({folder.file("Applications")});
    EXPECT_TRUE(IgnoredAppsManager(store).isIgnored("com.example.store"));
    EXPECT_EQ(legacy.unignoreSeveral({"com.example.store", "com.example.own", "never"}), 2u);
}

TEST(IgnoredAppsManagerTest, ChronicFailuresAreIgnoredFromTheThirdAndNamedUpToFive) {
    testing::TempDir folder;
    DefaultsStore store(folder.file("defaults.json"));
    IgnoredAppsManager ignored(store);
    UpdateRepository repository(folder.path());
    for (int i = 0; i < 2; ++i) repository.recordFailure("com.example.two");
    for (int i = 0; i < 3; ++i) repository.recordFailure("com.example.three");
    // A success between failures starts the count again.
    repository.recordFailure("com.example.reset");
    repository.recordFailure("com.example.reset");
    repository.clearFailure("com.example.reset");
    repository.recordFailure("com.example.reset");
    auto nameOf = [](const std::string& id) { return id == "com.example.three" ? std::string("Three") : std::string(); };
    auto outcome = ChronicFailureAutoIgnore::run(repository.failureCounts(), nameOf, ignored, {});
    ASSERT_TRUE(outcome.has_value());
    EXPECT_EQ(outcome->identifiers, (std::vector<std::string>{"com.example.three"}));
    EXPECT_EQ(outcome->logLine, "🚫 Auto-ignored 1 chronic failures: Three");
    EXPECT_EQ(outcome->record.title, "Apps auto-ignored");
    EXPECT_EQ(outcome->record.subtitle, "1 apps ignored after 3 consecutive failures");
    EXPECT_FALSE(ignored.isIgnored("com.example.two"));
    EXPECT_FALSE(ChronicFailureAutoIgnore::run(repository.failureCounts(), nameOf, ignored, {}).has_value());

    std::map<std::string, long long> seven;
    for (char c = 'a'; c < 'h'; ++c) seven[std::string("app.") + c] = 4;
    outcome = ChronicFailureAutoIgnore::run(seven, {}, ignored, {});
    ASSERT_TRUE(outcome.has_value());
    EXPECT_EQ(outcome->logLine, "🚫 Auto-ignored 7 chronic failures: app.a, app.b, app.c, app.d, app.e");
    EXPECT_EQ(outcome->record.subtitle, "7 apps ignored after 3 consecutive failures");
}

AllUpdateRow row(std::string id, std::string latest) {
    AllUpdateRow item;
    item.id = std::move(id);
    item.name = item.id;
    item.latestVersion = std::move(latest);
    return item;
}

TEST(IgnoreFilterTest, EachMechanismHidesForAsLongAsItsRuleSays) {
    testing::TempDir folder;
    DefaultsStore store(folder.file("defaults.json"));
    SettingsManager settings(store);
    const Clock::TimePoint now = fromReferenceSeconds(800'000'000);
    using std::chrono::hours;

    // The same timeout three times: deferred 24 hours, then 48.
    AutoDeferralStore deferrals(settings);
    AutoDeferralStore::Failure timeout{"tool", "2.0", "Tool", "npm", "Connection timed out\nmore"};
    EXPECT_FALSE(deferrals.recordFailure(timeout, now).has_value());
    auto first = deferrals.recordFailure(timeout, now);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->kind, "transientBackoff");
    EXPECT_EQ(AutoDeferralStore::expiresAt(*first), now + hours(24));
    EXPECT_EQ(AutoDeferralStore::expiresAt(*deferrals.recordFailure(timeout, now)), now + hours(48));
    AutoDeferralStore::Failure broken{"lib", "3.0", "Lib", "npm", "checksum mismatch"};
    deferrals.recordFailure(broken, now);
    EXPECT_EQ(deferrals.recordFailure(broken, now)->kind, "deterministicVersion");
    // Unignoring an item not deferred keeps its failure; a success forgets it.
    AutoDeferralStore::Failure once{"once", "1.0", "Once", "npm", "Connection timed out"};
    deferrals.recordFailure(once, now);
    EXPECT_FALSE(deferrals.end("once"));
    EXPECT_TRUE(deferrals.recordFailure(once, now).has_value());
    EXPECT_TRUE(deferrals.end("once"));
    deferrals.recordFailure(once, now);
    deferrals.recordSuccess("once");
    EXPECT_FALSE(deferrals.recordFailure(once, now).has_value());

    IgnoreFilter::State state;
    state.skippedVersions = {{"skipped", "1.5"}};
    state.snoozes = {{"snoozed", now + hours(1)}, {"forever", std::nullopt}};
    state.deferrals = deferrals.deferrals();
    state.minimumReleaseAgeDays = 3;
    state.now = now;
    AllUpdateRow young = row("young", "1.0");
    young.releaseDate = now - hours(24);
    const std::vector<AllUpdateRow> rows = {row("skipped", "1.5"), row("snoozed", "1.0"), row("forever", "1.0"),
                                            row("tool", "2.0"), row("lib", "3.0"), young};
    IgnoreFilter filter(state, rows);
    for (const AllUpdateRow& item : rows) {
        EXPECT_EQ(filter.hiding(item), item.id == "young" ? RowHiding::HeldBack : RowHiding::Hidden) << item.id;
    }
    state.now = now + hours(49);  // the snooze and the backoff are over, the rest is not
    IgnoreFilter later(state, rows);
    EXPECT_EQ(later.hiding(rows[1]), RowHiding::Shown);
    EXPECT_EQ(later.hiding(rows[2]), RowHiding::Hidden);
    EXPECT_EQ(later.hiding(rows[3]), RowHiding::Shown);
    EXPECT_EQ(later.hiding(rows[5]), RowHiding::Shown);
    EXPECT_EQ(later.hiding(row("skipped", "1.6")), RowHiding::Shown);  // a newer version shows again
    EXPECT_EQ(later.hiding(row("lib", "3.1")), RowHiding::Shown);
    EXPECT_EQ(later.ignoredItems(rows).size(), 4u);  // skip, indefinite snooze, two deferrals
}

}  // namespace
}  // namespace vt
