#include "cli/Context.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <mutex>

#include "base/Clock.hpp"
#include "base/Files.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Paths.hpp"
#include "cli/Signals.hpp"
#include "cli/SparkleInstall.hpp"
#include "cli/UpdatesTable.hpp"
#include "updates/GitHubInstallerService.hpp"
#include "updates/InstallTools.hpp"
#include "base/RunMarkers.hpp"
#include "core/ManagerRegistry.hpp"
#include "core/PackageCoordinator.hpp"
#include "core/PersistedUIState.hpp"
#include "core/ScanResultsPersistence.hpp"
#include "core/RefreshCoordinator.hpp"
#include "core/ScanProgressModel.hpp"
#include "core/SourcePipelines.hpp"
#include "shell/BackgroundScanLauncher.hpp"
#include "managers/ExecutableLocator.hpp"
#include "managers/homebrew/BrewManager.hpp"
#include "managers/PackageManager.hpp"
#include "presentation/ChronicFailureAutoIgnore.hpp"
#include "presentation/IgnoredAppsManager.hpp"
#include "settings/DefaultsStore.hpp"
#include "settings/ManagerCatalog.hpp"
#include "settings/SettingsManager.hpp"
#include "sources/inventory/ApplicationManager.hpp"
#include "sources/github/GitHubReleasesManager.hpp"
#include "updates/appimage/AppImageManager.hpp"
#include "base/Strings.hpp"
#include "base/Localization.hpp"
#include "sources/appstore/DirectMacAppStoreChecker.hpp"
#include "sources/appstore/MacAppStoreManager.hpp"
#include "sources/appstore/MacAppStoreUpdateCoordinator.hpp"
#include "sources/appstore/MasCliManager.hpp"
#include "sources/sparkle/SparkleManager.hpp"
#include "sources/UpdateCheckCoordinator.hpp"
#include "sources/UpdateRepository.hpp"
#include "sources/rules/RuleFeedbackStore.hpp"
#include "sources/macos/SoftwareUpdateManager.hpp"
#include "system/AdminPrompt.hpp"
#include "system/PrivilegedOperations.hpp"
#include "system/SystemPrivilegedOperations.hpp"
#include "system/CommandRunner.hpp"
#include "system/FileSystemManager.hpp"
#include "system/SystemNetworkClient.hpp"
#include "sources/osv/VulnerabilityService.hpp"
#include "system/Endpoints.hpp"

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
    if (!defaults_) {
        defaults_ = std::make_unique<DefaultsStore>(DefaultsStore::defaultPath());
        // The user's choices are not in effect: said once, not only in the log.
        if (defaults_->unparsable()) {
            std::fprintf(stderr, "vantreel: %s\n", localized("settings.unparsable_warning", {defaults_->path()}).c_str());
        } else if (const std::string failure = defaults_->readFailure(); !failure.empty()) {
            std::fprintf(stderr, "vantreel: %s\n", localized("settings.unreadable_warning", {failure}).c_str());
        }
    }
    return *defaults_;
}

DefaultsStore& Context::state() {
    if (state_) return *state_;
    state_ = std::make_unique<DefaultsStore>(paths::stateFile(), Durability::Unflushed);
    // Earlier versions kept these among the settings: moved once, so that a scan no longer
    // rewrites the user's settings file.
    static constexpr std::string_view kMoved[] = {
        PackageCoordinator::kLastCompletedRefreshDate, PackageCoordinator::kBackgroundLastScanDate,
        BackgroundScanLauncher::kLastOutdatedCount, PersistedUIState::kDefaultsKey};
    Json moved = Json::object();
    bool found = false;
    for (std::string_view key : kMoved) {
        std::optional<Json> value = defaults().object(key);
        if (!value) continue;
        found = true;
        if (!state_->contains(key)) moved[std::string(key)] = std::move(*value);
    }
    if (!found) return *state_;
    try {
        if (!moved.empty()) state_->update([&moved](Json& object) { object.update(moved); });
        defaults().update([](Json& object) {
            for (std::string_view key : kMoved) object.erase(std::string(key));
        });
    } catch (const std::exception& error) {
        // Kept where they were, to be moved by a later run: only shown late, never lost.
        Logger("Context").warning(localized("log.settings.notes_not_moved", {error.what()}));
    }
    return *state_;
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
        if (!settings_->unusableKeys().empty()) {
            std::fprintf(stderr, "vantreel: %s\n",
                         localized(settings_->unusableKeys().size() == 1 ? "settings.unusable_warning" : "settings.unusable_warning_many",
                                   {join(settings_->unusableKeys(), ", ")}).c_str());
        }
        SystemNetworkClient::setDownloadLimit(settings_->maxDownloadBytes());
        // The first launch's choices serve this run at once and reach the file with the
        // first write of a setting, so that reading the settings writes nothing.
        try {
            settings_->applyFirstLaunchDefaults([this] { return detectSources(); });
        } catch (const std::exception&) {
            // A source's discovery failed: the defaults of the table still serve this run.
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
    ExecutableLocator locator(files);
    for (const ManagerCatalogEntry& entry : managerCatalog()) {
        bool found = !entry.application.empty() && applicationPresent(entry.application);
        if (!found) found = locator.locate(entry.executables).has_value();
        present[entry.settingsToggle] = found;
    }
    return present;
}

NetworkClient& Context::network() {
    if (!network_) network_ = std::make_unique<SystemNetworkClient>();
    return *network_;
}

PackageManager& Context::packageManager() {
    if (!packageManager_) {
        files_ = std::make_unique<SystemFileSystemManager>();
        packageManager_ = std::make_unique<PackageManager>(ManagerRegistry::sources(), CommandRunner::shared(),
                                                           *files_, &network());
        ManagerRegistry::shared().packageManager = packageManager_.get();
        if (auto* brew = dynamic_cast<BrewManager*>(packageManager_->adapter("homebrew"))) {
            SettingsManager& preferences = settings();
            brew->setOutdatedModeProvider([&preferences] { return preferences.brewOutdatedMode(); });
        }
        if (auto* images = dynamic_cast<AppImageManager*>(packageManager_->adapter("appimage"))) {
            images->setConfirmRunning([](const std::string& path) {
                // --yes agrees to the plan, not to replacing a program in use: only a person answers this.
                if (::isatty(STDIN_FILENO) == 0 || ::isatty(STDERR_FILENO) == 0) return false;
                std::fprintf(stderr, "%s", localized("appimage.confirm_running", {path}).c_str());
                std::string answer;
                std::getline(std::cin, answer);
                const std::string word = toLower(trim(answer));
                return word == "y" || word == "yes" || word == "o" || word == "oui";
            });
        }
    }
    return *packageManager_;
}

SoftwareUpdateManager& Context::systemUpdates() {
    if (!systemUpdates_) {
        packageManager();  // makes the file system access
        adminPrompt_ = std::make_unique<SystemAdminPrompt>(CommandRunner::shared(), *files_);
        systemUpdates_ = std::make_unique<SoftwareUpdateManager>(CommandRunner::shared(), *files_, *adminPrompt_);
    }
    return *systemUpdates_;
}

ScanProgressModel& Context::progress() {
    if (!progress_) progress_ = std::make_unique<ScanProgressModel>();
    return *progress_;
}

RefreshCoordinator& Context::refresh() {
    if (!refresh_) {
        PackageManager& packages = packageManager();
        SettingsManager& preferences = settings();
        RefreshCoordinator::Options options;
        options.allowPreRelease = [&preferences] { return preferences.showPreReleaseUpdates(); };
        options.pendingUpdates = [this](const RefreshResult& result) {
            AllUpdatesSnapshot snapshot = snapshotWith(coordinator().offeredPackages(result.allPackages()));
            snapshot.packagesRevision = freshRevision();
            return buildUpdatesTable(snapshot, TableRequest{}).pendingCount();
        };
        options.scanCacheDuration = preferences.cacheLifetime();
        ApplicationManager& installed = applications();
        UpdateCheckCoordinator& checks = applicationChecks();
        ScanProgressModel& scanProgress = progress();
        SoftwareUpdateManager& system = systemUpdates();
        ApplicationSources sources = applicationSources();
        refresh_ = std::make_unique<RefreshCoordinator>(
            progress(),
            [this, &packages, &preferences, &installed, &checks, &scanProgress, &system, sources](std::stop_token stop) {
                std::vector<ScannerPipeline> pipelines;
                if (preferences.isVisible(ManagerToggleKey::ShowInstalledApplications)) {
                    pipelines.push_back(applicationsPipeline(installed, checks, preferences, scanProgress, sources, [this] {
                        coordinator().finalizeUpdateChecksAfterScan([this] { autoIgnoreChronicFailures(); });
                        recordRuleFeedback();
                        if (hooks_.afterApplicationChecks) hooks_.afterApplicationChecks();
                    }));
                }
                if (preferences.isVisible(ManagerToggleKey::ShowSoftwareUpdate) && system.isAvailable()) {
                    pipelines.push_back(systemUpdatesPipeline(system));
                }
                for (ScannerPipeline& pipeline :
                     activeSourcePipelines(ManagerRegistry::sources(), packages, preferences, stop,
                                           refresh_->scannerSelection())) {
                    pipelines.push_back(std::move(pipeline));
                }
                return pipelines;
            },
            options);
    }
    return *refresh_;
}

ScanResultsPersistence& Context::persistence() {
    if (!persistence_) persistence_ = std::make_unique<ScanResultsPersistence>(ScanResultsPersistence::defaultFolder());
    return *persistence_;
}

namespace {

// Where every inventory of the installed applications looks, and with what.
ApplicationManager::Options applicationOptions(Context& context) {
    ApplicationManager::Options options;
    options.runner = &CommandRunner::shared();
    options.home = paths::home();
    SettingsManager& preferences = context.settings();
    options.additionalFolders = [&preferences] { return preferences.additionalApplicationFolders(); };
    options.appStore = &context.appStore();
    return options;
}

}  // namespace

std::vector<Application> Context::scanApplicationsWithoutKeeping(std::stop_token stop) {
    return ApplicationManager(applicationOptions(*this)).scanApplications(stop);
}

ApplicationManager& Context::applications() {
    if (!applications_) {
        ApplicationManager::Options options = applicationOptions(*this);
        options.metadataCachePath = paths::supportFolder() + "/app_metadata_cache.json";
        applications_ = std::make_unique<ApplicationManager>(std::move(options));
        PersistedApplications saved = persistence().loadApplications();
        applications_->restoreApplications(std::move(saved.applications), std::move(saved.diagnostics));
    }
    return *applications_;
}

ApplicationSources Context::applicationSources() {
    if (!gitHub_) {
        packageManager();  // creates the network client
        GitHubReleasesManager::Options options;
        options.network = network_.get();
        options.runner = &CommandRunner::shared();
        DefaultsStore& store = defaults();
        options.token = [&store] {
            return gitHubToken([&store] { return store.stringValue(GitHubReleasesManager::kLegacyTokenKey); });
        };
        SettingsManager& preferences = settings();
        options.allowPreRelease = [&preferences] { return preferences.showPreReleaseUpdates(); };
        options.offerToken = [] {
            std::fprintf(stderr, "%s\n", localized("github.rate_limit_token").c_str());
        };
        gitHub_ = std::make_shared<GitHubReleasesManager>(std::move(options));
    }
    ApplicationSources sources{gitHub_, &appStore(), {}};
    sources.caskIndex = caskIndexLoader();
    return sources;
}

MasCliManager& Context::mas() {
    if (!mas_) mas_ = std::make_unique<MasCliManager>(MasCliManager::Options{&CommandRunner::shared(), paths::home()});
    return *mas_;
}

MacAppStoreManager& Context::appStore() {
    if (!appStore_) {
        PackageManager& packages = packageManager();  // its network client and the cask index
        appStoreChecker_ = std::make_unique<DirectMacAppStoreChecker>(
            *network_, DirectMacAppStoreChecker::Options{.cachePath = paths::supportFolder() + "/mas_cache.json"});
        MacAppStoreManager::Options options;
        options.mas = &mas();
        options.checker = appStoreChecker_.get();
        options.runner = &CommandRunner::shared();
        if (auto* brew = dynamic_cast<BrewManager*>(packages.adapter("homebrew"))) {
            options.caskFallback = MacAppStoreManager::caskFallbackFrom(brew->apiClient());
        }
        appStore_ = std::make_unique<MacAppStoreManager>(std::move(options));
    }
    return *appStore_;
}

IgnoredAppsManager& Context::ignoredApps() {
    if (!ignoredApps_) {
        ignoredApps_ = std::make_unique<IgnoredAppsManager>(defaults());
        try {
            ignoredApps_->runLegacyCleanup({"/Applications", paths::home() + "/Applications"});
        } catch (const std::exception&) {
            // Unwritable preferences: the clean-up is tried again on the next run.
        }
    }
    return *ignoredApps_;
}

PrivilegedOperations& Context::privilegedOperations() {
    if (!privilegedOperations_) {
        packageManager();  // makes the file system access
        privilegedOperations_ = std::make_unique<SystemPrivilegedOperations>(CommandRunner::shared(), *files_,
                                                                             AuthorizationHelper::systemOptions());
    }
    return *privilegedOperations_;
}

std::function<std::shared_ptr<const BrewAPIClient::CaskIndex>()> Context::caskIndexLoader() {
    auto* brew = dynamic_cast<BrewManager*>(packageManager().adapter("homebrew"));
    if (brew == nullptr) return {};
    BrewAPIClient* client = &brew->apiClient();
    auto tried = std::make_shared<std::once_flag>();
    return [client, tried]() -> std::shared_ptr<const BrewAPIClient::CaskIndex> {
        std::call_once(*tried, [client] {
            if (client->caskIndex()) return;
            try {
                client->refreshCaskIndex();
            } catch (const std::exception& error) {
                Logger("RuleDiscovery").warning(localized("log.rules.cask_index_unavailable", {error.what()}));
            }
        });
        return client->caskIndex();
    };
}

void Context::recordRuleFeedback() {
    try {
        RuleFeedbackStore store(RuleFeedbackStore::defaultPath());
        store.recordScan(applications().applications(), Clock::shared().now());
    } catch (const std::exception& error) {
        Logger("RuleFeedbackStore").warning(localized("log.rules.feedback_not_written", {error.what()}));
    }
}

void Context::autoIgnoreChronicFailures() {
    ApplicationManager& installed = applications();
    auto nameOf = [&installed](const std::string& identifier) {
        for (const Application& application : installed.applications()) {
            if (application.bundleIdentifier == identifier) return application.name;
        }
        return std::string();
    };
    try {
        auto outcome = ChronicFailureAutoIgnore::run(applicationChecks().repository().failureCounts(), nameOf,
                                                     ignoredApps(), Clock::shared().now());
        if (outcome) coordinator().addActivity(outcome->record);
    } catch (const std::exception&) {
        // Unwritable preferences: the same applications are tried again after the next scan.
    }
}

UpdateCheckCoordinator& Context::applicationChecks() {
    if (!applicationChecks_) {
        updateRepository_ = std::make_unique<UpdateRepository>();
        applicationChecks_ = std::make_unique<UpdateCheckCoordinator>(*updateRepository_);
    }
    return *applicationChecks_;
}

namespace {

std::vector<PackageType> kindsOf(const std::string& scannerId) {
    for (const auto& source : ManagerRegistry::sources()) {
        if (source.id == scannerId) return source.types;
    }
    return {};
}

// The fast path's state comes back with the results, so that a scan in the next process
// within the cache lifetime reuses the inventory, as a scan in this one would.
void restoreFastPathState(RefreshCoordinator& refresh, const PersistedScanResults& saved) {
    if (!saved.metadata || !saved.metadata->lastFullScanDate) return;
    // Items lost with a damaged file would pass for a source that lists nothing: list anew.
    if (!saved.unreadableFiles.empty()) return;
    RefreshCoordinator::CacheState state;
    state.lastFullScanTime = saved.metadata->lastFullScanDate;
    state.lastFullScanSourceIDs.insert(saved.metadata->fullScanSourceIds.begin(),
                                       saved.metadata->fullScanSourceIds.end());
    state.lastScanSourceCount = state.lastFullScanSourceIDs.size();
    for (const ScanMetadata::SourceInputs& source : saved.metadata->sourceInputs) {
        state.sources[source.id] = RefreshCoordinator::SourceCache{source.inputs, source.checkedAt, source.latestUnknown};
    }
    for (const std::string& id : state.lastFullScanSourceIDs) {
        std::vector<PackageType> kinds = kindsOf(id);
        std::vector<Package>& inventory = state.lastInventory[id];
        for (const Package& package : saved.packages) {
            if (std::find(kinds.begin(), kinds.end(), package.type) != kinds.end()) inventory.push_back(package);
        }
    }
    refresh.restoreCacheState(std::move(state));
}

void mergeActivity(DefaultsStore& state, const PackageCoordinator& coordinator) {
    try {
        PersistedUIState::mergeActivity(state, coordinator.activities(), 100);
    } catch (const std::exception&) {
        // Logged by the store; the results are what matters.
    }
}

// Saves what a finished scan found, and returns what could not be saved. Runs while the scan
// still holds its locks, so the generation read here is the latest.
std::vector<std::string> persistScan(ScanResultsPersistence& persistence, const PackageCoordinator& coordinator,
                                     const RefreshResult& result) {
    // The coordinator stores the scan's activity itself, with its date.
    if (result.cancelled) return {};
    PersistedScanResults results;
    results.packages = coordinator.packages();
    ApplicationManager& installed = Context::shared().applications();
    results.applications = installed.applications();
    results.applicationDiagnostics = installed.scanDiagnostics();
    // Only a scan that listed the applications knows their frameworks.
    if (result.fullScan && result.packagesByScanner.count("apps") && !result.failedScanners.count("apps")) {
        FrameworkClassification frameworks;
        for (const std::string& identifier : installed.tauriBundleIdentifiers()) frameworks.tauri.push_back(identifier);
        for (const std::string& identifier : installed.electronBundleIdentifiers()) {
            frameworks.electron.push_back(identifier);
        }
        results.frameworks = std::move(frameworks);
    }
    // The metadata cache is written in the background during the scan; it is on disk before
    // the scan counts as saved.
    installed.waitForPendingWrites();
    ScanMetadata metadata;
    metadata.lastScanDate = Clock::shared().now();
    metadata.packagesCount = static_cast<long long>(results.packages.size());
    metadata.applicationsCount = static_cast<long long>(results.applications->size());
    metadata.sparkleAppsCount = static_cast<long long>(SparkleManager::shared().apps().size());
    metadata.sourcesScannedCount = static_cast<long long>(result.packagesByScanner.size());
    metadata.wasCleanExit = Context::shared().previousExitWasClean();
    std::optional<ScanMetadata> previous = persistence.loadMetadata();
    metadata.generation = (previous ? previous->generation : 0) + 1;
    metadata.sources = coordinator.sourceStates();
    // Kept in the order the scan showed its sources, so that `list` shows them alike.
    const std::vector<ScannerStatus> shown = Context::shared().progress().snapshot().scannerStatuses;
    auto rank = [&](const SourceScanState& state) {
        auto found = std::find_if(shown.begin(), shown.end(), [&](const ScannerStatus& status) { return status.id == state.id; });
        return found - shown.begin();
    };
    std::stable_sort(metadata.sources.begin(), metadata.sources.end(),
                     [&](const SourceScanState& a, const SourceScanState& b) { return rank(a) < rank(b); });
    metadata.vulnerabilityCheckFailure = coordinator.vulnerabilityCheckFailure();
    RefreshCoordinator::CacheState cache = Context::shared().refresh().cacheState();
    metadata.lastFullScanDate = cache.lastFullScanTime;
    metadata.fullScanSourceIds.assign(cache.lastFullScanSourceIDs.begin(), cache.lastFullScanSourceIDs.end());
    for (const auto& [id, source] : cache.sources) metadata.sourceInputs.push_back({id, source.inputs, source.checkedAt, source.latestUnknown});
    results.metadata = metadata;
    std::vector<std::string> failures = persistence.save(results);
    if (const auto& saved = Context::shared().hooks().afterResultsSaved) saved();
    return failures;
}

// Saves the inventory an update changed, and returns what could not be saved; the scan's
// summary stays as it was.
std::vector<std::string> persistUpdate(ScanResultsPersistence& persistence, DefaultsStore& state,
                                       const PackageCoordinator& coordinator) {
    PersistedScanResults results;
    results.packages = coordinator.packages();
    ScanMetadata metadata = persistence.loadMetadata().value_or(ScanMetadata{});
    metadata.packagesCount = static_cast<long long>(results.packages.size());
    results.metadata = metadata;
    std::vector<std::string> failures = persistence.save(results);
    // The metrics follow the saved results: an update just installed is pending no more.
    if (const auto& saved = Context::shared().hooks().afterResultsSaved) saved();
    mergeActivity(state, coordinator);
    return failures;
}

}  // namespace

PackageCoordinator& Context::coordinator() {
    if (!coordinator_) {
        PackageCoordinator::Options options;
        options.lockFolder = paths::supportFolder();
        options.state = &state();
        options.packageManager = &packageManager();
        ScanResultsPersistence& store = persistence();
        options.savedMetadata = [&store] { return store.loadMetadata(); };
        options.savedPackages = [&store] { return store.load().packages; };
        options.scannerKinds = kindsOf;
        options.applications = [this] { return applications().applications(); };
        options.heldBack = [this] {
            return hooks_.heldBackRows ? hooks_.heldBackRows() : std::map<std::string, std::string>();
        };
        options.markVulnerabilities = [this](std::vector<Package>& packages,
                                             std::stop_token stop) -> std::optional<std::string> {
            if (!settings().boolValue("CheckVulnerabilities")) {
                for (Package& package : packages) {
                    package.fixedVulnerabilities.clear();
                    package.latestVulnerabilities.clear();
                }
                return std::nullopt;
            }
            const std::optional<std::string> debian =
                debianReleaseOf(readFile("/etc/os-release", 64 * 1024).value_or(""));
            const std::string service = Endpoints::base(Service::Osv);
            try {
                VulnerabilityService(network(), service).mark(packages, debian, stop);
            } catch (const VulnerabilityServiceError& error) {
                return std::string(error.what());
            }
            // The details of what is shown, for `why`; their failure costs only the details.
            std::vector<std::string> shown;
            for (const Package& package : packages) {
                shown.insert(shown.end(), package.fixedVulnerabilities.begin(), package.fixedVulnerabilities.end());
                shown.insert(shown.end(), package.latestVulnerabilities.begin(), package.latestVulnerabilities.end());
            }
            if (!shown.empty()) {
                VulnerabilityDetailCache(VulnerabilityDetailCache::defaultFile())
                    .refresh(shown, network(), service, Clock::shared().now(), stop);
            }
            return std::nullopt;
        };
        coordinator_ = std::make_unique<PackageCoordinator>(defaults(), settings(), refresh(), progress(), options);
        // Each category of applications is updated through its installer here; a category
        // without one has its items listed as left out. What an installer replaced is read
        // again at once.
        auto recorded = [this](ApplicationUpdater updater) -> ApplicationUpdater {
            return [this, updater = std::move(updater)](const Application& application, std::stop_token stop) {
                ApplicationUpdateOutcome outcome = updater(application, stop);
                if (!outcome.requiresUserAction) recordInstalledApplications({application.bundlePath});
                return outcome;
            };
        };
        ApplicationUpdater fromAppStore = [this](const Application& application, std::stop_token stop) {
            MacAppStoreUpdateCoordinator store(
                MacAppStoreUpdateCoordinator::Options{.mas = &mas(), .runner = &CommandRunner::shared()});
            MacAppStoreUpdateCoordinator::Outcome outcome =
                store.update({application.appStoreID.value_or(""), application.name, application.bundlePath,
                              application.version, application.latestVersion},
                             stop);
            ApplicationUpdateOutcome result;
            result.newVersion = outcome.newVersion;
            if (outcome.openedInAppStore) {
                result.requiresUserAction = true;
                result.message = std::string("open the Mac App Store's updates page to install this update (") +
                                 MacAppStoreUpdateCoordinator::kUpdatesPageAddress + ")";
            }
            return result;
        };
        ApplicationUpdater fromGitHub = [this](const Application& application, std::stop_token stop) {
            GitHubInstallerService service(GitHubInstallerService::Options{
                .network = &network(),
                .runner = &CommandRunner::shared(),
                .privileged = &privilegedOperations(),
                .tools = InstallTools::fromEnvironment(),
            });
            const std::string url = application.downloadURL.value_or("");
            GitHubInstallResult installed = service.install(
                {application.name, application.bundlePath, repositoryOfAsset(url), application.downloadURL,
                 application.latestVersion.value_or(""), application.downloadSHA256},
                {}, stop);
            ApplicationUpdateOutcome result;
            result.newVersion = installed.installedVersion;
            return result;
        };
        ApplicationUpdater fromAppcast = [this](const Application& application, std::stop_token stop) {
            SparkleUpdateOutcome outcome = installSparkleRelease(
                application,
                SparkleUpdateRun{.stop = stop, .network = &network(), .privileged = &privilegedOperations()});
            ApplicationUpdateOutcome result;
            switch (outcome.kind) {
                case SparkleUpdateOutcome::Kind::Installed: result.newVersion = outcome.version; break;
                case SparkleUpdateOutcome::Kind::OpenedApp:
                    result.requiresUserAction = true;
                    result.message = outcome.message;
                    break;
                case SparkleUpdateOutcome::Kind::Failed: throw std::runtime_error(outcome.message);
            }
            return result;
        };
        coordinator_->setApplicationUpdater(ApplicationUpdateCategory::MacAppStore, recorded(std::move(fromAppStore)));
        coordinator_->setApplicationUpdater(ApplicationUpdateCategory::GitHubReleases, recorded(std::move(fromGitHub)));
        coordinator_->setApplicationUpdater(ApplicationUpdateCategory::Sparkle, recorded(std::move(fromAppcast)));
        PersistedScanResults restored = store.load();
        if (!restored.unreadableFiles.empty()) {
            unreadableResults_ = restored.unreadableFiles;
            std::fprintf(stderr, "vantreel: %s\n",
                         localized("list.unreadable_results", {join(unreadableResults_, ", ")}).c_str());
        }
        restoreFastPathState(refresh(), restored);
        coordinator_->restorePackages(std::move(restored.packages));
        if (restored.metadata) {
            coordinator_->restoreSourceStates(restored.metadata->sources, restored.metadata->lastScanDate);
            coordinator_->restoreVulnerabilityCheckFailure(restored.metadata->vulnerabilityCheckFailure);
        }
        coordinator_->restoreActivities(PersistedUIState::load(state()).recentActivity);
        PackageCoordinator* owner = coordinator_.get();
        DefaultsStore* notes = &state();
        coordinator_->addFinalizationStep([this, &store, owner](const RefreshResult& result) {
            if (result.cancelled) return;
            resultsNotSaved_ = persistScan(store, *owner, result);
            if (resultsNotSaved_.empty()) unreadableResults_.clear();  // written whole again
        });
        coordinator_->setInventoryChangedHandler(
            [this, &store, notes, owner] { resultsNotSaved_ = persistUpdate(store, *notes, *owner); });
    }
    return *coordinator_;
}

void Context::recordInstalledApplications(const std::vector<std::string>& bundlePaths) {
    if (bundlePaths.empty() || !applications().refreshInstalledVersions(bundlePaths)) return;
    persistence().saveApplications(applications().applications());
}

void Context::beginSession(bool recordsExit) {
    if (sessionStarted_) return;
    sessionStarted_ = true;
    runMarkers_ = std::make_unique<RunMarkers>(paths::supportFolder() + "/Runs");
    previousExitWasClean_ = runMarkers_->abandoned().empty();
    if (recordsExit) recordRun();
}

void Context::recordRun() {
    if (!sessionStarted_ || recordsExit_) return;
    recordsExit_ = true;
    try {
        runMarkers_->begin();
        removeOnForcedExit(runMarkers_->own());
        // The stored flag keeps the verdict for whoever reads the preferences. Absent reads as
        // clean, and an unchanged verdict is not written: a command refused at once leaves the
        // preferences byte-identical.
        if (defaults().boolValue(PackageCoordinator::kLastExitWasClean).value_or(true) != previousExitWasClean_) {
            defaults().set(PackageCoordinator::kLastExitWasClean, previousExitWasClean_);
        }
    } catch (const std::exception&) {
        // An unwritable support folder: the command itself will say so.
    }
}

void Context::endSession() {
    if (!sessionStarted_ || !recordsExit_) return;
    runMarkers_->end();
    try {
        if (!defaults().boolValue(PackageCoordinator::kLastExitWasClean).value_or(true)) {
            defaults().set(PackageCoordinator::kLastExitWasClean, true);
        }
    } catch (const std::exception&) {
    }
}

}  // namespace vt::cli
