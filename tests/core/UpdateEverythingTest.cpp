// The update of everything against adapters that keep their inventory in memory and
// record each update they are asked for, and application updaters that record theirs.
#include <algorithm>
#include <atomic>

#include <gtest/gtest.h>

#include "base/Localization.hpp"
#include "core/PackageCoordinator.hpp"
#include "managers/BaseManager.hpp"
#include "managers/PackageManager.hpp"
#include "settings/DefaultsStore.hpp"
#include "settings/SettingsManager.hpp"
#include "support/FakeCommandRunner.hpp"
#include "support/TempDir.hpp"
#include "system/CommandRunning.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {
namespace {

struct Ledger {
    std::vector<std::string> calls;
    std::set<std::string> failing;
    std::function<void()> duringUpdate;
};

class RecordingAdapter final : public BaseManager {
public:
    RecordingAdapter(SourceRow row, Ledger& ledger, std::vector<Package>& inventory, CommandRunning& runner,
                     const FileSystemManager& files)
        : BaseManager(std::move(row), runner, files), ledger_(ledger), inventory_(inventory) {}

    std::vector<Package> listInstalled(std::stop_token) override { return mine(); }
    std::vector<Package> checkOutdated(std::stop_token) override {
        std::vector<Package> outdated;
        for (const Package& package : mine()) {
            if (package.latestVersion && *package.latestVersion != package.version) outdated.push_back(package);
        }
        return outdated;
    }
    void update(const Package& package, std::stop_token stop) override {
        ledger_.calls.push_back(identity().id + ":" + package.name);
        if (ledger_.duringUpdate) ledger_.duringUpdate();
        if (stop.stop_requested()) throw CommandError::cancelled();
        if (ledger_.failing.count(package.name)) throw CommandError::executionFailed(1, "boom " + package.name);
        markUpdated(package);
    }
    // Homebrew installs its own latest; the others are told the version. apt takes its
    // items in one run.
    std::optional<std::string> pinnedVersion(const Package& package) const override {
        return identity().id == "homebrew" ? std::nullopt : exactVersion(package);
    }
    bool updatesTogether() const override { return identity().id == "apt"; }
    void updateTogether(const std::vector<Package>& packages, std::stop_token) override {
        std::string names;
        for (const Package& package : packages) names += (names.empty() ? "" : "+") + package.name;
        ledger_.calls.push_back(identity().id + ":" + names);
        for (const Package& package : packages) markUpdated(package);
    }
    bool canUpdateAll() const override { return true; }
    void updateAll(std::stop_token) override {
        ledger_.calls.push_back(identity().id + ":*");
        for (Package& item : inventory_) {
            if (owns(item)) item.version = item.latestVersion.value_or("");
        }
    }

private:
    void markUpdated(const Package& package) {
        for (Package& item : inventory_) {
            if (item.name == package.name && item.type == package.type) item.version = item.latestVersion.value_or("");
        }
    }
    bool owns(const Package& package) const {
        return std::count(identity().types.begin(), identity().types.end(), package.type) > 0;
    }
    std::vector<Package> mine() const {
        std::vector<Package> items;
        for (const Package& package : inventory_) {
            if (owns(package)) items.push_back(package);
        }
        return items;
    }
    Ledger& ledger_;
    std::vector<Package>& inventory_;
};

Package outdated(std::string name, PackageType type) {
    return Package{.name = std::move(name), .version = "1.0.0", .type = type, .latestVersion = "1.1.0"};
}

Application application(const std::string& name, UpdateMechanism mechanism) {
    return Application{.name = name, .bundlePath = "/Applications/" + name + ".app", .version = "2.0",
                       .bundleIdentifier = "com.example." + name, .updateMechanism = mechanism, .latestVersion = "2.1"};
}

class UpdateEverythingTest : public ::testing::Test {
protected:
    UpdateEverythingTest() {
        setLanguage(Language::French);
        defaults_.set(PackageCoordinator::kTermsAccepted, true);
        for (ManagerToggleKey key : {ManagerToggleKey::ShowHomebrew, ManagerToggleKey::ShowCasks, ManagerToggleKey::ShowGems,
                                     ManagerToggleKey::ShowCargo, ManagerToggleKey::ShowYarn, ManagerToggleKey::ShowUv,
                                     ManagerToggleKey::ShowTlmgr, ManagerToggleKey::ShowSdkman, ManagerToggleKey::ShowNpm,
                                     ManagerToggleKey::ShowApt, ManagerToggleKey::ShowInstalledApplications}) {
            settings_.setVisible(key, true);
        }
        struct Row {
            const char* id;
            std::vector<PackageType> types;
        };
        for (const Row& row : std::vector<Row>{{"homebrew", {PackageType::BrewFormula, PackageType::BrewCask}},
                                               {"npm", {PackageType::NpmGlobal}},
                                               {"yarn", {PackageType::YarnGlobal}},
                                               {"uv", {PackageType::UvTool}},
                                               {"gems", {PackageType::RubyGem}},
                                               {"cargo", {PackageType::CargoPackage}},
                                               {"sdkman", {PackageType::SdkmanCandidate}},
                                               {"tex-live", {PackageType::TlmgrPackage}},
                                               {"apt", {PackageType::AptPackage}}}) {
            SourceRow source{.id = row.id, .name = row.id, .types = row.types};
            source.make = [this, source](CommandRunning& runner, const FileSystemManager& files) {
                return std::make_unique<RecordingAdapter>(source, ledger_, inventory_, runner, files);
            };
            rows_.push_back(std::move(source));
        }
        adapters_ = std::make_unique<PackageManager>(rows_, runner_, files_);
    }
    ~UpdateEverythingTest() override { setLanguage(Language::English); }

    PackageCoordinator& coordinator() {
        if (!coordinator_) {
            PackageCoordinator::Options options{folder_.path(), &clock_};
            options.packageManager = adapters_.get();
            options.applications = [this] { return applications_; };
            options.heldBack = [this] { return heldBack_; };
            // What the disk and the process table would say; a store record has its receipt.
            options.applicationFacts = [this](const Application& app) {
                auto found = facts_.find(app.name);
                if (found != facts_.end()) return found->second;
                return ApplicationUpdateFacts{.installedFromAppStore = app.updateMechanism == UpdateMechanism::MacAppStore};
            };
            coordinator_ = std::make_unique<PackageCoordinator>(defaults_, settings_, refresh_, progress_, options);
        }
        coordinator_->restorePackages(inventory_);
        return *coordinator_;
    }

    ApplicationUpdater recordingUpdater() {
        return [this](const Application& app, std::stop_token) {
            ledger_.calls.push_back("app:" + app.name);
            if (ledger_.failing.count(app.name)) throw std::runtime_error("signature invalide");
            return ApplicationUpdateOutcome{.newVersion = app.latestVersion};
        };
    }

    std::vector<ActivityRecord> records() { return coordinator().activities(); }

    testing::TempDir folder_;
    FakeClock clock_;
    NotificationCenter notifications_;
    DefaultsStore defaults_{folder_.file("prefs.json")};
    SettingsManager settings_{defaults_, notifications_};
    ScanProgressModel progress_{clock_};
    RefreshCoordinator refresh_{progress_, [](std::stop_token) { return std::vector<ScannerPipeline>{}; },
                                RefreshCoordinator::Options{}};
    testing::FakeCommandRunner runner_;
    SystemFileSystemManager files_;
    Ledger ledger_;
    std::vector<Package> inventory_;
    std::vector<Application> applications_;
    std::map<std::string, std::string> heldBack_;
    std::map<std::string, ApplicationUpdateFacts> facts_;
    std::vector<SourceRow> rows_;
    std::unique_ptr<PackageManager> adapters_;
    std::unique_ptr<PackageCoordinator> coordinator_;
};

TEST_F(UpdateEverythingTest, ApplicationsByCategoryThenManagersInOrderWithTeXLiveOnceAndTheRecords) {
    inventory_ = {outdated("serde-cli", PackageType::CargoPackage), outdated("typescript", PackageType::NpmGlobal),
                  outdated("firefox", PackageType::BrewCask),       outdated("rails", PackageType::RubyGem),
                  outdated("jq", PackageType::BrewFormula),         outdated("amsmath", PackageType::TlmgrPackage),
                  outdated("babel", PackageType::TlmgrPackage),     outdated("java", PackageType::SdkmanCandidate),
                  outdated("ruff", PackageType::UvTool),            outdated("left-pad", PackageType::YarnGlobal)};
    Application github = application("Zed", UpdateMechanism::DirectDownload);
    github.resolutionSource = AppRulePrimarySource::GitHub;
    Application store = application("Keynote", UpdateMechanism::MacAppStore);
    store.appStoreID = "409183694";
    applications_ = {application("Sparkly", UpdateMechanism::Sparkle), github, store,
                     application("Direct", UpdateMechanism::DirectDownload)};
    coordinator().setApplicationUpdater(ApplicationUpdateCategory::MacAppStore, recordingUpdater());
    coordinator().setApplicationUpdater(ApplicationUpdateCategory::GitHubReleases, recordingUpdater());
    coordinator().setApplicationUpdater(ApplicationUpdateCategory::Sparkle, recordingUpdater());

    const UpdatePlan plan = coordinator().planUpdateEverything();
    ASSERT_EQ(plan.leftOut.size(), 1u);  // no installer for direct downloads yet
    EXPECT_EQ(plan.leftOut[0].name, "Direct");
    EXPECT_EQ(plan.leftOut[0].reason, "pas encore d'installateur direct sur ce système");
    EXPECT_TRUE(plan.leftOut[0].byHand);

    std::vector<std::string> phases;
    BatchProgress progress;
    progress.phase = [&](const std::string& text) { phases.push_back(text); };
    BatchUpdateResult batch = coordinator().updateEverything(plan, {}, progress);

    EXPECT_EQ(ledger_.calls, (std::vector<std::string>{"app:Keynote", "app:Zed", "app:Sparkly", "homebrew:jq",
                                                       "homebrew:firefox", "gems:rails", "cargo:serde-cli",
                                                       "yarn:left-pad", "uv:ruff", "tex-live:*", "sdkman:java",
                                                       "npm:typescript"}));
    ASSERT_EQ(batch.results.size(), 12u);
    EXPECT_EQ(batch.succeededCount(), 12u);
    EXPECT_EQ(batch.results[0].source, "Mac App Store");
    EXPECT_EQ(batch.results[9].package.name, "TeX Live");
    EXPECT_EQ(batch.results[3].newVersion, "1.1.0");  // from the re-check
    EXPECT_NE(std::find(phases.begin(), phases.end(), "Applications · Zed"), phases.end());
    EXPECT_NE(std::find(phases.begin(), phases.end(), "Ruby Gems · 1 gem"), phases.end());
    EXPECT_NE(std::find(phases.begin(), phases.end(), "TeX Live · 2 paquets"), phases.end());
    EXPECT_EQ(phases.back(), "Synchronisation des compteurs…");

    // Newest first: the summary, the completion (one app left to the user), the start.
    std::vector<ActivityRecord> activity = records();
    ASSERT_EQ(activity.size(), 3u);
    EXPECT_EQ(activity[0].subtitle, "12 sur 12 mis à jour");
    EXPECT_EQ(activity[0].type, ActivityRecord::ActivityType::Success);
    EXPECT_EQ(activity[1].title, "Mise à jour globale terminée");
    EXPECT_EQ(activity[1].subtitle, "1 app(s) à mettre à jour manuellement");
    EXPECT_EQ(activity[2].subtitle, "8 paquets et 3 apps installables directement à traiter");
}

// Each exclusion is listed with its reason and never attempted; a switch of the settings lets
// its own in, while a rule is never switched off. (A running application and one the store did
// not install: ApplicationUpdatesE2ETest and AppStoreE2ETest.)
TEST_F(UpdateEverythingTest, ExclusionsAreListedWithTheirReasonsAndNeverAttempted) {
    settings_.setVisible(ManagerToggleKey::ShowGems, false);
    Package cask = outdated("docker-desktop", PackageType::BrewCask);
    cask.autoUpdates = true;
    Package pinned = outdated("node", PackageType::BrewFormula);
    pinned.isPinned = true;
    inventory_ = {outdated("rails", PackageType::RubyGem),   outdated("eslint", PackageType::NpmGlobal), cask, pinned,
                  outdated("prettier", PackageType::NpmGlobal), outdated("amsmath", PackageType::TlmgrPackage),
                  outdated("babel", PackageType::TlmgrPackage)};
    heldBack_[stableKey(inventory_[1])] = "ignoré, en pause ou version sautée";
    heldBack_[stableKey(inventory_[6])] = "ignoré, en pause ou version sautée";  // TeX Live goes by name then
    Application major = application("Sketch", UpdateMechanism::Sparkle);
    major.latestVersion = "3.0";
    Application ignored = application("Muted", UpdateMechanism::Sparkle);
    ignored.isIgnored = true;
    applications_ = {major, ignored, application("Kept", UpdateMechanism::Sparkle),
                     application("Fine", UpdateMechanism::Sparkle)};
    facts_["Kept"].manualOnly = true;
    coordinator().setApplicationUpdater(ApplicationUpdateCategory::Sparkle, recordingUpdater());

    const UpdatePlan plan = coordinator().planUpdateEverything();
    std::map<std::string, std::string> reasons;
    std::set<std::string> byHand;
    for (const auto& item : plan.leftOut) {
        reasons[item.name] = item.reason;
        if (item.byHand) byHand.insert(item.name);
    }
    EXPECT_EQ(reasons, (std::map<std::string, std::string>{
                           {"rails", "source désactivée dans les réglages"},
                           {"eslint", "ignoré, en pause ou version sautée"},
                           {"babel", "ignoré, en pause ou version sautée"},
                           {"docker-desktop", "se met à jour elle-même"},
                           {"node", "épinglé"},
                           {"Sketch", "mise à jour majeure (2.0 → 3.0)"},
                           {"Kept", "une règle la réserve aux mises à jour manuelles"},
                       }));
    EXPECT_EQ(byHand, (std::set<std::string>{"Kept"}));
    coordinator().updateEverything(plan, {});
    EXPECT_EQ(ledger_.calls, (std::vector<std::string>{"app:Fine", "tex-live:amsmath", "npm:prettier"}));

    ledger_.calls.clear();
    settings_.setValue("Exclude_MajorUpgrades", false);
    coordinator().updateEverything(coordinator().planUpdateEverything(), {});
    EXPECT_EQ(ledger_.calls, (std::vector<std::string>{"app:Sketch", "app:Fine"}));
}

TEST_F(UpdateEverythingTest, FailuresGiveTheirMessagesAndTheSummaryType) {
    // Nothing outdated: the "nothing" summary and no attempt.
    coordinator().updateEverything(coordinator().planUpdateEverything(), {});
    EXPECT_TRUE(ledger_.calls.empty());
    EXPECT_EQ(records().front().subtitle, "Rien à mettre à jour");
    EXPECT_EQ(records().front().type, ActivityRecord::ActivityType::Success);

    inventory_ = {outdated("serde-cli", PackageType::CargoPackage), outdated("rails", PackageType::RubyGem)};
    ledger_.failing = {"serde-cli", "rails"};
    BatchUpdateResult batch = coordinator().updateEverything(coordinator().planUpdateEverything(), {});
    ASSERT_EQ(batch.results.size(), 2u);
    EXPECT_EQ(batch.results[1].error, "Échec de la mise à jour Cargo");
    EXPECT_NE(batch.results[1].suggestion.find("boom serde-cli"), std::string::npos);
    EXPECT_EQ(records().front().type, ActivityRecord::ActivityType::Error);
    EXPECT_EQ(records().front().subtitle, "0 sur 2 mis à jour, 2 en échec");

    ledger_.failing = {"serde-cli"};
    coordinator().updateEverything(coordinator().planUpdateEverything(), {});
    EXPECT_EQ(records().front().type, ActivityRecord::ActivityType::Update);
    EXPECT_EQ(records().front().subtitle, "1 sur 2 mis à jour, 1 en échec");
}

// A stop during an item starts no other; what was updated before it is read again (the table
// stops offering it), and a scan finishing meanwhile is not finalised until the batch is over.
TEST_F(UpdateEverythingTest, AStopStartsNoOtherItemKeepsTheUpdatedOnesAndHoldsBackFinalisation) {
    inventory_ = {outdated("jq", PackageType::BrewFormula), outdated("rails", PackageType::RubyGem),
                  outdated("ruff", PackageType::UvTool)};
    std::stop_source stop;
    bool finalised = true;
    ledger_.duringUpdate = [&] {
        if (ledger_.calls.size() == 1) finalised = coordinator_->finalizeUpdateChecksAfterScan([] {});
        if (ledger_.calls.size() == 2) stop.request_stop();
    };
    BatchUpdateResult batch = coordinator().updateEverything(coordinator().planUpdateEverything(), stop.get_token());
    EXPECT_FALSE(finalised);
    EXPECT_EQ(ledger_.calls, (std::vector<std::string>{"homebrew:jq", "gems:rails"}));
    EXPECT_TRUE(batch.cancelled);
    ASSERT_EQ(batch.results.size(), 2u);
    EXPECT_TRUE(batch.results[0].success);
    EXPECT_EQ(batch.results[0].newVersion, "1.1.0");
    EXPECT_TRUE(batch.results[1].cancelled);  // stopped, not failed
    EXPECT_EQ(batch.failedCount(), 0u);
    std::map<std::string, std::string> versions;
    for (const Package& package : coordinator_->packages()) versions[package.name] = package.version;
    EXPECT_EQ(versions["jq"], "1.1.0");
    EXPECT_EQ(versions["ruff"], "1.0.0");
    std::vector<ActivityRecord> activity = records();
    ASSERT_EQ(activity.size(), 2u);  // the start, then the cancellation
    EXPECT_EQ(activity[0].title, "Mise à jour annulée");
    EXPECT_EQ(activity[0].subtitle, "Annulée : 1 mis à jour, 0 en échec");
    EXPECT_EQ(activity[0].type, ActivityRecord::ActivityType::Update);
    EXPECT_TRUE(coordinator().finalizeUpdateChecksAfterScan([] {}));
}

// The plan says what each tool installs; apt's items go in one run, each at its version.
TEST_F(UpdateEverythingTest, ThePlanSaysWhatEachToolInstallsAndAptItemsGoTogether) {
    inventory_ = {outdated("jq", PackageType::BrewFormula), outdated("typescript", PackageType::NpmGlobal),
                  outdated("libc6", PackageType::AptPackage), outdated("openssl", PackageType::AptPackage)};
    const UpdatePlan plan = coordinator().planUpdateEverything();
    std::map<std::string, const UpdatePlan::Step*> steps;
    for (const auto& step : plan.steps) steps[step.manager] = &step;
    ASSERT_EQ(steps.size(), 3u);
    EXPECT_TRUE(steps["homebrew"]->installsToolsOwnLatest(inventory_[0]));
    EXPECT_FALSE(steps["npm"]->installsToolsOwnLatest(inventory_[1]));
    EXPECT_TRUE(steps["apt"]->together);
    EXPECT_FALSE(steps["npm"]->together);

    std::vector<std::string> started;
    BatchProgress progress;
    progress.itemStarted = [&](const std::string& name, const std::string&, std::size_t, std::size_t) {
        started.push_back(name);
    };
    BatchUpdateResult batch = coordinator().updateEverything(plan, {}, progress);
    EXPECT_EQ(ledger_.calls, (std::vector<std::string>{"homebrew:jq", "npm:typescript", "apt:libc6+openssl"}));
    EXPECT_EQ(started, (std::vector<std::string>{"jq", "typescript", "apt (2)"}));
    ASSERT_EQ(batch.results.size(), 4u);
    EXPECT_EQ(batch.succeededCount(), 4u);
    EXPECT_EQ(batch.results[2].package.name, "libc6");
    EXPECT_EQ(batch.results[3].package.name, "openssl");
}

// A named item whose record moved to the planned version meanwhile is left as it is. (One not
// newer than what is installed is left out of the plan with why: ChangeContractE2ETest.)
TEST_F(UpdateEverythingTest, NothingGoesBackwards) {
    Package older = outdated("typescript", PackageType::NpmGlobal);
    older.version = "5.0.0";
    older.latestVersion = "4.9.0";
    const Package ruff = outdated("ruff", PackageType::UvTool);
    inventory_ = {older, ruff};
    const UpdatePlan plan = coordinator().planUpdates(inventory_);
    ASSERT_EQ(plan.itemCount(), 1u);

    // Updated to 1.1.0 by other means after the plan was shown: the tool lists it so.
    Package moved = ruff;
    moved.version = "1.1.0";
    inventory_ = {older, moved};
    BatchUpdateResult batch = coordinator_->updatePackages(plan, {});
    EXPECT_TRUE(ledger_.calls.empty());
    ASSERT_EQ(batch.results.size(), 1u);
    EXPECT_TRUE(batch.results[0].skipped);
    EXPECT_EQ(batch.failedCount(), 0u);
    EXPECT_EQ(batch.results[0].error, "désormais en 1.1.0, qui n'est pas plus ancienne que 1.1.0 : laissé tel quel");
}

}  // namespace
}  // namespace vt
