#include "sources/ApplicationUpdateFacts.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "base/Files.hpp"
#include "base/Paths.hpp"
#include "sources/rules/AppRuleCatalogService.hpp"
#include "support/TempHome.hpp"

namespace vt {
namespace {

using Kind = QuickUpdateExclusion::Kind;

// A bundle on disk and the record a scan made of it: version 1.0 with 1.1 offered.
Application bundle(const std::string& path, const std::string& identifier, const std::string& extraKeys = {}) {
    std::filesystem::create_directories(path + "/Contents/MacOS");
    writeFileAtomically(path + "/Contents/Info.plist",
                        "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleIdentifier</key><string>" +
                            identifier + "</string><key>CFBundleShortVersionString</key><string>1.0</string>" +
                            extraKeys + "</dict></plist>");
    return {.name = std::filesystem::path(path).stem(), .bundlePath = path, .version = "1.0",
            .bundleIdentifier = identifier, .latestVersion = "1.1"};
}

QuickUpdateEligibility verdict(const Application& application) {
    return QuickUpdateEligibility::evaluate(application, currentUpdateFacts(application).quick, {});
}

// A running program, a store's lookup without its receipt, and their switches leave an
// application out of a batch: ApplicationUpdatesE2ETest and AppStoreE2ETest.
TEST(ApplicationUpdateFactsTest, ABundlesOwnUpdaterOtherThanTheRulesSourceIsAMismatch) {
    testing::TempHome home;
    Application feed = bundle(home.path() + "/Applications/Feed.app", "com.example.feed",
                              "<key>SUFeedURL</key><string>https://example.com/appcast.xml</string>");
    feed.resolutionSource = AppRulePrimarySource::GitHub;
    EXPECT_EQ(verdict(feed).exclusions,
              (std::vector<QuickUpdateExclusion>{{Kind::SourceMismatch, "Sparkle", "GitHub"}}));
}

TEST(ApplicationUpdateFactsTest, KnownIssuesAndRulesSayWhatMayBeUpdatedInOneGo) {
    testing::TempHome home;
    const std::string apps = home.path() + "/Applications";
    // The shipped registry: needs a choice and is known to cause trouble; updates itself.
    EXPECT_EQ(verdict(bundle(apps + "/Photoshop.app", "com.adobe.Photoshop")).exclusions,
              (std::vector<QuickUpdateExclusion>{{Kind::RequiresUserChoice, "", ""}, {Kind::KnownProblematic, "", ""}}));
    EXPECT_EQ(verdict(bundle(apps + "/Chrome.app", "com.google.Chrome")).exclusions,
              (std::vector<QuickUpdateExclusion>{{Kind::CaskAutoUpdates, "", ""}}));

    // A rule that keeps an application to manual updates, whatever source it names.
    paths::ensureFolder(paths::supportFolder());
    writeFileAtomically(paths::supportFolder() + "/local-update-rules.json", R"([
        {"bundleIdentifier": "com.example.kept", "displayName": "Kept", "primarySource": "github",
         "github": {"owner": "someone", "repo": "kept"}, "manualOnly": true},
        {"bundleIdentifier": "com.example.byhand", "displayName": "By Hand", "primarySource": "manual"},
        {"bundleIdentifier": "com.example.free", "displayName": "Free", "primarySource": "github",
         "github": {"owner": "someone", "repo": "free"}}])");
    AppRuleCatalogService::rebuild();
    EXPECT_TRUE(currentUpdateFacts(bundle(apps + "/Kept.app", "com.example.kept")).manualOnly);
    EXPECT_TRUE(currentUpdateFacts(bundle(apps + "/By Hand.app", "com.example.byhand")).manualOnly);
    EXPECT_FALSE(currentUpdateFacts(bundle(apps + "/Free.app", "com.example.free")).manualOnly);
}

}  // namespace
}  // namespace vt
