#include "cli/Context.hpp"

#include <filesystem>

#include "base/Paths.hpp"
#include "core/ManagerRegistry.hpp"
#include "core/PackageCoordinator.hpp"
#include "core/PersistedUIState.hpp"
#include "core/ScanResultsPersistence.hpp"
#include "core/RefreshCoordinator.hpp"
#include "core/ScanProgressModel.hpp"
#include "core/SourcePipelines.hpp"
#include "managers/ExecutableLocator.hpp"
#include "managers/homebrew/BrewManager.hpp"
#include "managers/PackageManager.hpp"
#include "settings/DefaultsStore.hpp"
#include "settings/ManagerCatalog.hpp"
#include "settings/SettingsManager.hpp"
#include "system/CommandRunner.hpp"
#include "system/FileSystemManager.hpp"
#include "system/SystemNetworkClient.hpp"

namespace vt::cli {

Context& Context::shared() {
    // Never destroyed: scanner threads left behind by a time limit may still hold references
    // while the program exits.
    static Context* context = new Context();
    return *context;
}

Context::Context() = default;
Context::~Context() = default;

DefaultsStore& Context::defaults() {
    if (!defaults_) defaults_ = std::make_unique<DefaultsStore>(DefaultsStore::defaultPath());
    return *defaults_;
}

namespace {

bool applicationPresent(const std::string& name) {
    std::string bundle = name + ".app";
    for (const std::string& folder : {std::string("/Applications/"), paths::home() + "/Applications/"}) {
        std::error_code error;
        if (std::filesystem::is_directory(folder + bundle, error)) return true;
    }
    return false;
}

}  // namespace

SettingsManager& Context::settings() {
    if (!settings_) {
        settings_ = std::make_unique<SettingsManager>(defaults());
        try {
            settings_->applyFirstLaunchDefaults([this] { return detectSources(); });
        } catch (const std::exception&) {
            // Unwritable preferences: the defaults of the table still serve this run.
        }
    }
    return *settings_;
}

std::map<ManagerToggleKey, bool> Context::detectSources() {
    std::map<ManagerToggleKey, bool> present;
    // A source this build scans is shown when its adapter's own discovery finds its tool.
    for (const SourcePresence& source : discoverSources(ManagerRegistry::sources(), packageManager())) {
        if (source.row->toggle) present[*source.row->toggle] = source.path.has_value();
    }
    // The others keep only their settings: their tool or application is looked for.
    SystemFileSystemManager files;
    ExecutableLocator locator(CommandRunner::shared(), files);
    for (const ManagerCatalogEntry& entry : managerCatalog()) {
        bool found = !entry.application.empty() && applicationPresent(entry.application);
        if (!found) found = locator.locate(entry.executables).has_value();
        present[entry.settingsToggle] = found;
    }
    return present;
}

PackageManager& Context::packageManager() {
    if (!packageManager_) {
        files_ = std::make_unique<SystemFileSystemManager>();
        network_ = std::make_unique<SystemNetworkClient>();
        packageManager_ = std::make_unique<PackageManager>(ManagerRegistry::sources(), CommandRunner::shared(),
                                                           *files_, network_.get());
        ManagerRegistry::shared().packageManager = packageManager_.get();
        if (auto* brew = dynamic_cast<BrewManager*>(packageManager_->adapter("homebrew"))) {
            SettingsManager& preferences = settings();
            brew->setOutdatedModeProvider([&preferences] { return preferences.brewOutdatedMode(); });
        }
    }
    return *packageManager_;
}

ScanProgressModel& Context::progress() {
    if (!progress_) progress_ = std::make_unique<ScanProgressModel>();
    return *progress_;
}

RefreshCoordinator& Context::refresh() {
    if (!refresh_) {
        PackageManager& packages = packageManager();
        SettingsManager& preferences = settings();
        refresh_ = std::make_unique<RefreshCoordinator>(progress(), [&packages, &preferences](std::stop_token stop) {
            return activeSourcePipelines(ManagerRegistry::sources(), packages, preferences, stop);
        });
    }
    return *refresh_;
}

ScanResultsPersistence& Context::persistence() {
    if (!persistence_) persistence_ = std::make_unique<ScanResultsPersistence>(ScanResultsPersistence::defaultFolder());
    return *persistence_;
}

namespace {

// Saves what a finished scan found, and the activity list with the interface state.
void persistResults(ScanResultsPersistence& persistence, DefaultsStore& defaults, const PackageCoordinator& coordinator,
                    const RefreshResult& result) {
    PersistedScanResults results;
    results.packages = result.allPackages();
    ScanMetadata metadata;
    metadata.lastScanDate = Clock::shared().now();
    metadata.packagesCount = static_cast<long long>(results.packages.size());
    metadata.sourcesScannedCount = static_cast<long long>(result.packagesByScanner.size());
    // Written while the program runs, so it says "not clean" until the exit records otherwise.
    metadata.wasCleanExit = false;
    results.metadata = metadata;
    persistence.save(results);
    PersistedUIState state = PersistedUIState::load(defaults);
    state.recentActivity = coordinator.activities();
    try {
        state.save(defaults);
    } catch (const std::exception&) {
        // Logged by the store; the results above are what matters.
    }
}

}  // namespace

PackageCoordinator& Context::coordinator() {
    if (!coordinator_) {
        PackageCoordinator::Options options;
        options.lockFolder = paths::supportFolder();
        options.packageManager = &packageManager();
        ScanResultsPersistence& store = persistence();
        options.resultsOfOtherProcess = [&store]() -> std::optional<std::vector<Package>> {
            PersistedScanResults results = store.load();
            if (!results.metadata) return std::nullopt;
            return std::move(results.packages);
        };
        coordinator_ = std::make_unique<PackageCoordinator>(defaults(), settings(), refresh(), progress(), options);
        PersistedScanResults restored = store.load();
        coordinator_->restorePackages(std::move(restored.packages));
        coordinator_->restoreActivities(PersistedUIState::load(defaults()).recentActivity);
        PackageCoordinator* owner = coordinator_.get();
        DefaultsStore* preferences = &defaults();
        coordinator_->addFinalizationStep([&store, preferences, owner](const RefreshResult& result) {
            persistResults(store, *preferences, *owner, result);
        });
        coordinator_->setInventoryChangedHandler([&store, preferences, owner] {
            RefreshResult current;
            current.packagesByScanner["inventory"] = owner->packages();
            persistResults(store, *preferences, *owner, current);
        });
    }
    return *coordinator_;
}

void Context::beginSession(bool recordsExit) {
    if (sessionStarted_) return;
    sessionStarted_ = true;
    recordsExit_ = recordsExit;
    previousExitWasClean_ = ScanResultsPersistence::previousExitWasClean(
        defaults().boolValue(PackageCoordinator::kLastExitWasClean), persistence().loadMetadata());
    if (!recordsExit_) return;
    try {
        defaults().set(PackageCoordinator::kLastExitWasClean, false);
    } catch (const std::exception&) {
    }
}

void Context::endSession() {
    if (!sessionStarted_ || !recordsExit_) return;
    try {
        defaults().set(PackageCoordinator::kLastExitWasClean, true);
    } catch (const std::exception&) {
    }
}

}  // namespace vt::cli
