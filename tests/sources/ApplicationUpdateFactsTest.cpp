#include "sources/ApplicationUpdateFacts.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "base/Files.hpp"
#include "base/NotificationCenter.hpp"
#include "base/Paths.hpp"
#include "settings/DefaultsStore.hpp"
#include "settings/SettingsManager.hpp"
#include "sources/rules/AppRuleCatalogService.hpp"
#include "support/Eventually.hpp"
#include "support/Sleeper.hpp"
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
    Application application;
    application.name = std::filesystem::path(path).stem().string();
    application.bundlePath = path;
    application.bundleIdentifier = identifier;
    application.version = "1.0";
    application.latestVersion = "1.1";
    return application;
}

QuickUpdateEligibility verdict(const Application& application, QuickUpdateSwitches switches = {}) {
    return QuickUpdateEligibility::evaluate(application, currentUpdateFacts(application).quick, switches);
}

TEST(ApplicationUpdateFactsTest, RunningProgramsReceiptsAndBundleUpdatersAreReadNow) {
    testing::TempHome home;
    const std::string apps = home.path() + "/Applications";

    // Running: one of the bundle's own programs is a live process, seen as it starts.
    Application editor = bundle(apps + "/Editor.app", "com.example.editor");
    EXPECT_TRUE(verdict(editor).isEligible());
    std::filesystem::copy_file("/bin/sleep", editor.bundlePath + "/Contents/MacOS/Editor");
    testing::Sleeper running(editor.bundlePath + "/Contents/MacOS/Editor");
    ASSERT_TRUE(testing::eventually([&] { return currentUpdateFacts(editor).quick.runningProcessName.has_value(); }));
    EXPECT_EQ(verdict(editor).exclusions, (std::vector<QuickUpdateExclusion>{{Kind::AppIsRunning, "Editor", ""}}));

    // Found through the store's lookup but installed from a download: not the store's to update.
    Application orphan = bundle(apps + "/Orphan.app", "com.example.orphan");
    orphan.updateMechanism = UpdateMechanism::MacAppStore;
    orphan.appStoreID = "123456789";
    EXPECT_FALSE(currentUpdateFacts(orphan).installedFromAppStore);
    EXPECT_EQ(verdict(orphan).exclusions,
              (std::vector<QuickUpdateExclusion>{{Kind::SourceMismatch, "Direct download", "Mac App Store"}}));
    std::filesystem::create_directories(orphan.bundlePath + "/Contents/_MASReceipt");
    writeFileAtomically(orphan.bundlePath + "/Contents/_MASReceipt/receipt", "receipt");
    EXPECT_TRUE(currentUpdateFacts(orphan).installedFromAppStore);
    EXPECT_TRUE(verdict(orphan).isEligible());

    // A bundle that carries its own appcast, whose update a rule sends to GitHub.
    Application feed = bundle(apps + "/Feed.app", "com.example.feed",
                              "<key>SUFeedURL</key><string>https://example.com/appcast.xml</string>");
    feed.resolutionSource = AppRulePrimarySource::GitHub;
    EXPECT_EQ(verdict(feed).exclusions,
              (std::vector<QuickUpdateExclusion>{{Kind::SourceMismatch, "Sparkle", "GitHub"}}));

    // Each of those exclusions has its switch.
    DefaultsStore store(home.path() + "/preferences.json");
    NotificationCenter notifications;
    SettingsManager settings(store, notifications);
    for (const char* key : {"Exclude_RunningApps", "Exclude_SourceMismatch"}) settings.setFromText(key, "false");
    const QuickUpdateSwitches off = QuickUpdateSwitches::fromSettings(settings);
    for (const Application& application : {editor, orphan, feed}) {
        EXPECT_TRUE(verdict(application, off).isEligible()) << application.name;
    }
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
