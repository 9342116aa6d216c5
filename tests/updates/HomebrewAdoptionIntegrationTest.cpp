// Adoption over bundles in a sandbox ~/Applications, the cask index of the corpus served on
// loopback, and a `brew` first on the PATH that replays one scripted answer per install.
#include "updates/HomebrewAdoption.hpp"

#include <filesystem>

#include <gtest/gtest.h>

#include "base/Files.hpp"
#include "base/Log.hpp"
#include "managers/homebrew/BrewManager.hpp"
#include "sources/inventory/ApplicationManager.hpp"
#include "system/BrewAPIClient.hpp"
#include "system/CommandRunner.hpp"
#include "system/FileSystemManager.hpp"
#include "system/SystemNetworkClient.hpp"
#include "support/Corpus.hpp"
#include "support/FakePrivilegedOperations.hpp"
#include "support/LoopbackServer.hpp"
#include "support/ScopedEnvironment.hpp"
#include "support/TempDir.hpp"
#include "support/TempHome.hpp"

namespace vt {
namespace {

using Confidence = AdoptableMatchConfidence;

// Logs its arguments; `list` prints the casks in "installed"; each `install` of TOKEN
// prints the next scripted answer "TOKEN.N" (N from 1) and exits with "TOKEN.N.rc", and an
// answer with a "TOKEN.N.installs" beside it leaves the cask installed.
constexpr const char* kFakeBrew = R"sh(#!/bin/sh
dir="$VT_FAKE_BREW_DIR"
echo "$*" >> "$dir/calls"
case "$1" in
  list) cat "$dir/installed" 2>/dev/null; exit 0 ;;
  upgrade) echo "==> Upgrading $3"; echo "🍺  $3 was successfully upgraded!"; exit 0 ;;
  install)
    for token; do :; done
    n=$(( $(cat "$dir/$token.count" 2>/dev/null || echo 0) + 1 ))
    echo "$n" > "$dir/$token.count"
    [ -f "$dir/$token.$n.installs" ] && echo "$token" >> "$dir/installed"
    cat "$dir/$token.$n" 2>/dev/null
    exit "$(cat "$dir/$token.$n.rc" 2>/dev/null || echo 0)" ;;
esac
echo "Error: Unknown command: $1" >&2
exit 1
)sh";

void writeFile(const std::string& path, const std::string& contents) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    writeFileAtomically(path, contents);
}

std::string infoPlist(const std::string& identifier, const std::string& name, const std::string& version) {
    return "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleIdentifier</key><string>" + identifier +
           "</string><key>CFBundleName</key><string>" + name + "</string><key>CFBundleShortVersionString</key><string>" +
           version + "</string></dict></plist>";
}

// The corpus's cask documents, in the API's array form.
std::string corpusCaskIndex() {
    return "[" + testing::corpusFile("homebrew/brew-test-fixtures/cask-caffeine.json") + "," +
           testing::corpusFile("homebrew/brew-test-fixtures/cask-everything.json") + "," +
           testing::corpusFile("homebrew/formulae.brew.sh-data/cask-iterm2.json") + "," +
           testing::corpusFile("homebrew/formulae.brew.sh-data/cask-1password.json") + "]";
}

class HomebrewAdoptionIntegrationTest : public ::testing::Test {
protected:
    HomebrewAdoptionIntegrationTest() {
        brew_.writeExecutable("bin/brew", kFakeBrew);
        environment_ = {{"PATH", brew_.file("bin") + ":/usr/bin:/bin"}, {"VT_FAKE_BREW_DIR", brew_.path()}};
    }

    std::string bundle(const std::string& fileName, const std::string& identifier, const std::string& name,
                       const std::string& version) {
        const std::string path = home_.path() + "/Applications/" + fileName;
        writeFile(path + "/Contents/Info.plist", infoPlist(identifier, name, version));
        return path;
    }

    // The casks installed before the test, and the answers to the installs of one cask.
    void installed(const std::string& tokens) { writeFileAtomically(brew_.file("installed"), tokens); }
    void answer(const std::string& token, int n, const std::string& output, int exitCode, bool installs = false) {
        const std::string base = brew_.file(token + "." + std::to_string(n));
        writeFileAtomically(base, output);
        writeFileAtomically(base + ".rc", std::to_string(exitCode));
        if (installs) writeFileAtomically(base + ".installs", "");
    }
    std::string calls() const { return readFile(brew_.file("calls")).value_or(""); }

    std::unique_ptr<HomebrewAdopter> adopter(std::vector<ActivityRecord>* activities,
                                             std::function<void()> onActivity = {}) {
        HomebrewAdopter::Options options;
        options.runner = &runner_;
        options.privileged = &privileged_;
        options.environment = environment_;
        options.upgradeCask = [this](const AdoptableApp& app, std::stop_token stop) {
            BrewManager::Options brewOptions;
            brewOptions.runningAsRoot = false;
            brewOptions.environment = environment_;
            brewOptions.updateTimeFile = "";
            BrewManager manager(runner_, files_, brewOptions);
            manager.upgrade(Package{.name = app.caskToken, .version = app.installedVersion,
                                    .type = PackageType::BrewCask, .latestVersion = app.caskVersion},
                            {}, stop);
        };
        options.recordActivity = [activities, onActivity](ActivityRecord record) {
            activities->push_back(std::move(record));
            if (onActivity) onActivity();
        };
        return std::make_unique<HomebrewAdopter>(std::move(options));
    }

    AdoptableApp caffeine() {
        return {.id = "com.example.caffeine", .name = "Caffeine",
                .path = bundle("Caffeine.app", "com.example.caffeine", "Caffeine", "1.0"), .caskToken = "caffeine",
                .caskVersion = "1.2.3", .installedVersion = "1.0"};
    }

    testing::TempHome home_;
    testing::TempDir brew_{"vt-adopt-brew"};
    std::map<std::string, std::string> environment_;
    CommandRunner runner_{CommandRunner::Options{.askpassScript = [] { return std::optional<std::string>(); }}};
    SystemFileSystemManager files_;
    test::FakePrivilegedOperations privileged_;
};

TEST_F(HomebrewAdoptionIntegrationTest, OffersOnlyBundlesHomebrewCanTakeOverFromTheServedIndex) {
    testing::LoopbackServer server;
    server.setRoute("/api/cask.json", {.body = corpusCaskIndex()});
    testing::ScopedEnvironment endpoint("VANTREEL_ENDPOINT_HOMEBREW_API", server.origin().c_str());
    SystemNetworkClient network;
    BrewAPIClient api(network);
    api.refreshCaskIndex();

    bundle("Caffeine.app", "com.example.caffeine", "Caffeine", "1.0");
    bundle("1Password.app", "com.agilebits.onepassword", "1Password", "7.0");
    const std::string store = bundle("Everything.app", "com.every.thing", "Everything", "1.0");
    writeFile(store + "/Contents/_MASReceipt/receipt", "receipt");
    bundle("iTerm.app", "com.googlecode.iterm2", "iTerm2", "3.5.0");  // newer than the cask's 3.3.2
    bundle("Terminal Plus.app", "com.example.terminalplus", "iTerm2", "1.0");  // the cask installs iTerm.app
    bundle("Caffeine 2.app", "com.codeweavers.caffeine", "Caffeine", "1.0");
    const std::string game = bundle("Game.app", "com.example.game", "Game", "1.0");
    writeFile(game + "/Wrapper/iTunesMetadata.plist", "<plist/>");
    bundle("Unrelated.app", "com.example.unrelated", "Unrelated", "1.0");

    ApplicationManager::Options options;
    options.fixedRoots = {};
    options.home = home_.path();
    ApplicationManager inventory(std::move(options));
    std::vector<Application> applications = inventory.scanApplications();
    ASSERT_EQ(applications.size(), 8u);
    Application known = applications.front();
    known.homebrewCaskName = "somecask";
    applications.push_back(known);
    // Read at scan time, gone since.
    applications.push_back({.name = "Caffeine", .bundlePath = home_.path() + "/Applications/Old/Caffeine.app",
                            .version = "1.0", .bundleIdentifier = "com.example.old"});

    LogCapture log;
    AdoptableSearch search = findAdoptableApps(applications, api.caskIndex().get(), {"iterm2-unrelated"}, {});
    ASSERT_EQ(search.apps.size(), 2u);
    EXPECT_EQ(search.apps[0].id, "com.agilebits.onepassword");
    EXPECT_EQ(search.apps[0].caskToken, "1password");
    EXPECT_EQ(search.apps[0].caskVersion, "7.3.2");
    EXPECT_EQ(search.apps[0].matchConfidence, Confidence::AppArtifact);  // "1Password 7.app" without its suffix
    EXPECT_EQ(search.apps[1].caskToken, "caffeine");
    EXPECT_EQ(search.apps[1].matchConfidence, Confidence::BundleFileName);
    const AdoptableBreakdown& breakdown = search.breakdown;
    EXPECT_EQ(breakdown.knownHomebrew, 1u);
    EXPECT_EQ(breakdown.iOSWrapper, 1u);
    EXPECT_EQ(breakdown.noMatch, 1u);
    EXPECT_EQ(breakdown.macAppStore, 1u);
    EXPECT_EQ(breakdown.olderCaskVersion, 1u);
    EXPECT_EQ(breakdown.artifactMismatch, 1u);
    EXPECT_EQ(breakdown.appleOrEmulated, 1u);
    EXPECT_EQ(breakdown.filesystem, 1u);
    EXPECT_TRUE(log.contains("Adoptable summary: 8 candidates, 7 matched, 2 adoptable"));
    EXPECT_TRUE(log.contains("  → Caffeine (com.example.caffeine) → cask “caffeine” (bundleFileName)"));

    // An installed sibling it conflicts with takes it away. (An installed cask and an
    // exclusion: AdoptE2ETest.)
    search = findAdoptableApps(applications, api.caskIndex().get(), {"caffeine@beta"}, {});
    EXPECT_EQ(search.breakdown.baseConflict, 3u);  // the copies matched to the same cask too
    EXPECT_TRUE(findAdoptableApps(applications, nullptr, {}, {}).apps.empty());
}

TEST_F(HomebrewAdoptionIntegrationTest, ReadsEveryAnswerOfBrewAndUpgradesANewerCask) {
    std::vector<ActivityRecord> activities;
    LogCapture log;

    // Files Homebrew may not overwrite: one administrator chmod of the bundle, then again;
    // then the cask is newer than the bundle, so it is upgraded.
    AdoptableApp app = caffeine();
    answer("caffeine", 1, "Error: It seems the App source '/Applications/Caffeine.app' is not writable; refusing to overwrite\n", 1);
    answer("caffeine", 2, "==> Adopting existing App at '/Applications/Caffeine.app'\n🍺  caffeine was successfully installed!\n", 0, true);
    EXPECT_EQ(adopter(&activities)->adopt(app), AdoptionResult::Adopted);
    EXPECT_EQ(app.state, AdoptableApp::State::Done);
    EXPECT_EQ(privileged_.calls, std::vector<std::string>{"normalize 1"});
    EXPECT_EQ(calls(), "list --cask\ninstall --cask --adopt caffeine\ninstall --cask --adopt caffeine\nupgrade --cask caffeine\n");
    EXPECT_TRUE(log.contains("Adopting Caffeine needs an administrator chmod on " + app.path + "; retrying after fixing the permissions"));
    EXPECT_TRUE(log.contains("Adoption: phase 2 done: Caffeine"));
    ASSERT_EQ(activities.size(), 1u);
    EXPECT_EQ(activities[0].title, "Caffeine adopted by Homebrew");
    EXPECT_EQ(activities[0].type, ActivityRecord::ActivityType::Success);

    // Already installed: nothing to run.
    app = caffeine();
    std::filesystem::remove(brew_.file("calls"));
    EXPECT_EQ(adopter(&activities)->adopt(app), AdoptionResult::Adopted);
    EXPECT_EQ(calls(), "list --cask\nupgrade --cask caffeine\n");
    installed("");

    // Protected files block the chmod: brew is tried again anyway; an existing app needs --force.
    privileged_.prompt = test::FakePrivilegedOperations::Prompt::Fail;
    answer("caffeine", 3, "Error: refusing to overwrite /Applications/Caffeine.app\n", 1);
    answer("caffeine", 4, "Error: It seems there is already an App at '/Applications/Caffeine.app'.\n", 1);
    answer("caffeine", 5, "🍺  caffeine was successfully installed!\n", 0, true);
    app = caffeine();
    app.caskVersion = "1.0";
    std::filesystem::remove(brew_.file("calls"));
    EXPECT_EQ(adopter(&activities)->adopt(app), AdoptionResult::Adopted);
    EXPECT_EQ(calls(), "list --cask\ninstall --cask --adopt caffeine\ninstall --cask --adopt caffeine\n"
                       "install --cask --force caffeine\n");
    EXPECT_TRUE(log.contains("protected files of the app bundle blocked the permission preparation"));
    EXPECT_TRUE(log.contains("Adopting Caffeine requires replacing it; falling back to an install with --force"));
    installed("");

    // A sudo failure after the cask landed counts as adopted; without the cask it does not.
    answer("caffeine", 6, "sudo: a terminal is required to read the password\nError: Failure while executing\n", 1, true);
    answer("caffeine", 7, "sudo: no tty present and no askpass program specified\n", 1);
    app = caffeine();
    app.caskVersion = "1.0";
    EXPECT_EQ(adopter(&activities)->adopt(app), AdoptionResult::Adopted);
    EXPECT_TRUE(log.contains("Adopting Caffeine: confirmed by brew list --cask after the post-install sudo failure"));
    installed("");
    EXPECT_EQ(adopter(&activities)->adopt(app), AdoptionResult::Failed);
    EXPECT_EQ(app.state, AdoptableApp::State::Failed);
    EXPECT_EQ(app.failureMessage, "sudo: no tty present and no askpass program specified");

    // Another cask owns the bundle.
    activities.clear();
    answer("caffeine", 8, "Error: Cask 'caffeine' conflicts with 'caffeine-nightly'.\n", 1);
    EXPECT_EQ(adopter(&activities)->adopt(app), AdoptionResult::AlreadyManaged);
    EXPECT_TRUE(log.contains("Adopting Caffeine: already managed by the conflicting cask caffeine-nightly; removed from the adoptable list"));
    ASSERT_EQ(activities.size(), 1u);
    EXPECT_EQ(activities[0].title, "Caffeine is already managed by Homebrew");

    // A dismissed prompt, and a cask that would rename the bundle, end the adoption.
    privileged_.prompt = test::FakePrivilegedOperations::Prompt::Deny;
    answer("caffeine", 9, "Error: refusing to overwrite /Applications/Caffeine.app\n", 1);
    EXPECT_EQ(adopter(&activities)->adopt(app), AdoptionResult::Failed);
    app.caskRenamesBundle = true;
    std::filesystem::remove(brew_.file("calls"));
    EXPECT_EQ(adopter(&activities)->adopt(app), AdoptionResult::Failed);
    EXPECT_EQ(calls(), "");
    EXPECT_TRUE(log.contains("Adopting Caffeine: the cask renames the bundle, so brew cannot adopt it (kept visible)"));
}

TEST_F(HomebrewAdoptionIntegrationTest, AdoptAllAsksOnceAndStopsBeforeTheNextApplication) {
    std::vector<AdoptableApp> apps;
    for (const char* token : {"alpha", "beta", "gamma"}) {
        const std::string id = std::string("com.example.") + token;
        apps.push_back({.id = id, .name = token, .path = bundle(std::string(token) + ".app", id, token, "1.0"),
                        .caskToken = token, .caskVersion = "1.0", .installedVersion = "1.0"});
        answer(token, 1, std::string("🍺  ") + token + " was successfully installed!\n", 0, true);
    }
    answer("beta", 1, "Error: Download failed\n", 1);
    // The batch's prompt already prepared gamma: a refusal is retried without asking again.
    answer("gamma", 1, "Error: It seems the App source '" + apps[2].path + "' is not writable; refusing to overwrite\n", 1);
    answer("gamma", 2, "🍺  gamma was successfully installed!\n", 0, true);
    std::vector<ActivityRecord> activities;
    LogCapture log;
    AdoptAllSummary summary = adopter(&activities)->adoptAll(apps);
    EXPECT_EQ(summary.succeeded, 2u);
    EXPECT_EQ(summary.failed, 1u);
    EXPECT_EQ(privileged_.calls, std::vector<std::string>{"normalize 3"});
    EXPECT_TRUE(log.contains("Adopting gamma: permissions were already prepared for this batch"));
    EXPECT_EQ(activities.back().subtitle, "2 adopted, 1 failed");

    // Stopped while the first one is adopted: the others are never started.
    std::filesystem::remove(brew_.file("calls"));
    installed("");
    for (const char* token : {"alpha", "beta", "gamma"}) std::filesystem::remove(brew_.file(std::string(token) + ".count"));
    std::stop_source stop;
    activities.clear();
    summary = adopter(&activities, [&stop] { stop.request_stop(); })->adoptAll(apps, stop.get_token());
    EXPECT_EQ(summary.succeeded, 1u);
    EXPECT_EQ(summary.cancelled, 2u);
    EXPECT_EQ(summary.cancelledAt, 1u);
    EXPECT_EQ(calls(), "list --cask\ninstall --cask --adopt alpha\n");
    EXPECT_TRUE(log.contains("Adopting all: cancelled at 1/3"));
    EXPECT_TRUE(log.contains("Adopting all: done: 1 succeeded, 0 failed, 2 cancelled"));
    EXPECT_EQ(activities.back().subtitle, "1 adopted, 0 failed, 2 cancelled");
}

}  // namespace
}  // namespace vt
