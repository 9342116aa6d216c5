#pragma once

#include <functional>
#include <map>
#include <memory>
#include <stop_token>
#include <string>
#include <vector>

#include "settings/ManagerToggleKey.hpp"
#include "system/BrewAPIClient.hpp"

namespace vt {
struct Application;
class DefaultsStore;
class SettingsManager;
class PackageManager;
class ScanProgressModel;
class RefreshCoordinator;
class PackageCoordinator;
class SystemFileSystemManager;
class NetworkClient;
class ScanResultsPersistence;
class RunMarkers;
class ApplicationManager;
class UpdateCheckCoordinator;
class UpdateRepository;
class SoftwareUpdateManager;
class AdminPrompt;
class PrivilegedOperations;
class GitHubReleasesManager;
struct ApplicationSources;
class MasCliManager;
class DirectMacAppStoreChecker;
class MacAppStoreManager;
class IgnoredAppsManager;
}  // namespace vt

namespace vt::cli {

// What commands add to the work every command shares. main sets them once before any
// command runs, so that Context, which every command uses, uses none of them.
struct ContextHooks {
    std::function<void()> afterResultsSaved;       // a scan's or an update's results on disk
    std::function<void()> afterApplicationChecks;  // a scan's application checks ended
    // Row id → why `update --all` leaves it out (ignored, snoozed, too recent...).
    std::function<std::map<std::string, std::string>()> heldBackRows;
};

// The objects one run of the program shares, created on first use: the composition root.
class Context {
public:
    static Context& shared();
    ~Context();

    void setHooks(ContextHooks hooks) { hooks_ = std::move(hooks); }
    const ContextHooks& hooks() const noexcept { return hooks_; }

    DefaultsStore& defaults();
    // What the program notes for itself between runs (last scans, recent activity), apart
    // from the user's settings: written without waiting for the disk.
    DefaultsStore& state();
    SettingsManager& settings();
    PackageManager& packageManager();
    // The one HTTP client every request of this run goes through.
    NetworkClient& network();
    ScanProgressModel& progress();
    RefreshCoordinator& refresh();
    PackageCoordinator& coordinator();
    // The saved results files that exist but could not be read back when the coordinator was
    // made (their items are missing from it), until a scan saves the results again: said on
    // standard error when they are found.
    const std::vector<std::string>& unreadableResults() {
        coordinator();
        return unreadableResults_;
    }
    // What went wrong saving the results of this run's scans and updates, newest: the items
    // were shown but the next command will not see them.
    const std::vector<std::string>& resultsNotSaved() const noexcept { return resultsNotSaved_; }
    ScanResultsPersistence& persistence();
    // The installed applications, restored from the last scan's results on first use.
    ApplicationManager& applications();
    // The installed applications as a scan finds them now, writing nothing (not even the
    // bundles' metadata cache): for a plan the user has not agreed to yet.
    std::vector<Application> scanApplicationsWithoutKeeping(std::stop_token stop);
    // The Mac App Store source: the `mas` tool, the lookups and their cache, the listing.
    MasCliManager& mas();
    MacAppStoreManager& appStore();
    // The application update checks, with the repository of their results and failures.
    UpdateCheckCoordinator& applicationChecks();
    // The operating system's own updates (found only where its tool exists).
    SoftwareUpdateManager& systemUpdates();
    // The network sources of the application checks.
    ApplicationSources applicationSources();
    // The ignored applications (and rows), loaded with the once-per-installation clean-up.
    IgnoredAppsManager& ignoredApps();
    // Root operations on application bundles (installers, adoption).
    PrivilegedOperations& privilegedOperations();
    // The Homebrew cask index, fetched on first call unless loaded; empty without Homebrew's adapter.
    std::function<std::shared_ptr<const BrewAPIClient::CaskIndex>()> caskIndexLoader();

    // After applications were updated: their records take the versions now installed and are
    // saved, so that the table and the counts stop offering them before the next scan.
    void recordInstalledApplications(const std::vector<std::string>& bundlePaths);

    // A session of a command that works on the inventory: earlier runs' exits are judged
    // (per process: a run still going elsewhere is not taken for a crash), and this run is
    // marked as running until endSession() records a normal exit. Read-only commands judge
    // without marking their own run.
    void beginSession(bool recordsExit = true);
    // Marks a session begun without it as running from now on: a command that changes the
    // machine only once the user agreed.
    void recordRun();
    void endSession();
    bool previousExitWasClean() const noexcept { return previousExitWasClean_; }

private:
    Context();
    ContextHooks hooks_;
    // For the first-launch defaults: which sources' tools are here.
    std::map<ManagerToggleKey, bool> detectSources();
    // After a scan's application update checks.
    void autoIgnoreChronicFailures();
    // After a scan's application update checks: what no source recognised, what a rule missed.
    void recordRuleFeedback();
    std::unique_ptr<DefaultsStore> defaults_;
    std::unique_ptr<DefaultsStore> state_;
    std::unique_ptr<SettingsManager> settings_;
    std::unique_ptr<SystemFileSystemManager> files_;
    std::unique_ptr<NetworkClient> network_;
    std::shared_ptr<GitHubReleasesManager> gitHub_;
    std::unique_ptr<PackageManager> packageManager_;
    // Before the refresh, whose pipelines use them: members are destroyed in reverse order.
    std::unique_ptr<IgnoredAppsManager> ignoredApps_;
    std::unique_ptr<UpdateRepository> updateRepository_;
    std::unique_ptr<UpdateCheckCoordinator> applicationChecks_;
    std::unique_ptr<MasCliManager> mas_;
    std::unique_ptr<DirectMacAppStoreChecker> appStoreChecker_;
    std::unique_ptr<MacAppStoreManager> appStore_;
    std::unique_ptr<ApplicationManager> applications_;
    std::unique_ptr<ScanProgressModel> progress_;
    std::unique_ptr<RefreshCoordinator> refresh_;
    std::unique_ptr<PackageCoordinator> coordinator_;
    std::vector<std::string> unreadableResults_;
    std::vector<std::string> resultsNotSaved_;
    std::unique_ptr<ScanResultsPersistence> persistence_;
    std::unique_ptr<RunMarkers> runMarkers_;
    std::unique_ptr<AdminPrompt> adminPrompt_;
    std::unique_ptr<PrivilegedOperations> privilegedOperations_;
    std::unique_ptr<SoftwareUpdateManager> systemUpdates_;
    bool sessionStarted_ = false;
    bool recordsExit_ = false;
    bool previousExitWasClean_ = true;
};

// Exit statuses of every command: 0 success, 1 failure, 2 bad usage. With --exit-code the
// commands that report pending updates also say what is pending: 3 when a source failed (or
// no scan was ever made), 10 when updates are pending, 11 when a security update is.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitSourceFailed = 3;
inline constexpr int kExitUpdatesPending = 10;
inline constexpr int kExitSecurityPending = 11;

}  // namespace vt::cli
