#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <vector>

#include "base/Clock.hpp"
#include "base/Json.hpp"
#include "model/Application.hpp"
#include "sources/inventory/AppBundleReader.hpp"
#include "sources/inventory/AppMetadataCache.hpp"
#include "sources/ApplicationUpdateChecks.hpp"
#include "sources/inventory/FrameworkClassifier.hpp"
#include "system/BrewAPIClient.hpp"

namespace vt {

class CommandRunning;
class GitHubReleasesManager;
class MacAppStoreManager;
struct MacAppStoreApp;

// The network sources an application's check may ask; a source left empty answers nothing.
// Shared, because a check abandoned at its time limit may still be using its source.
struct ApplicationSources {
    std::shared_ptr<GitHubReleasesManager> gitHub;
    MacAppStoreManager* appStore = nullptr;  // lives as long as the program
    // The Homebrew cask index, for applications a rule sends to a cask; loaded on first use.
    std::function<std::shared_ptr<const BrewAPIClient::CaskIndex>()> caskIndex;
};

// One folder searched for bundles, and how many folder levels below it.
struct ScanRoot {
    std::string path;
    std::string displayName;
    int maxDepth = 4;
};

struct ScanPathSummary {
    std::string id;
    std::string rootPath;
    std::string displayName;
    long long discoveredApplications = 0;
    long long directoriesVisited = 0;
    long long filesScanned = 0;
    long long symlinksFollowed = 0;
    double duration = 0;  // seconds
    std::vector<std::string> errors;

    Json toJson() const;
    static ScanPathSummary fromJson(const Json& json);
};

struct ScanDiagnostics {
    Clock::TimePoint startedAt{};
    Clock::TimePoint finishedAt{};
    std::vector<ScanPathSummary> pathSummaries;

    Json toJson() const;
    static ScanDiagnostics fromJson(const Json& json);  // throws std::exception
};

// The installed application bundles every application source works from: which folders are
// searched (the fixed roots, ~/Applications and the user's own folders), Spotlight when it
// is here and else a bounded walk, what is read from each bundle, and the per-bundle
// metadata cache. A scan replaces the list; update results of bundles whose path and
// version did not change are carried over. Thread-safe; no lock is held while folders are
// walked, bundles read or commands run.
class ApplicationManager {
public:
    // count, total, scanner name, phase label.
    using ProgressReporter =
        std::function<void(std::size_t count, std::size_t total, const std::string& scanner, const std::string& phase)>;

    struct Options {
        CommandRunning* runner = nullptr;  // Spotlight is not asked without one
        std::string metadataCachePath;     // the cache is not kept when empty
        std::vector<ScanRoot> fixedRoots = ApplicationManager::fixedRoots();
        std::string home;                  // its "Applications" folder is searched
        std::function<std::vector<std::string>()> additionalFolders;
        std::string spotlightTool = "/usr/bin/mdfind";
        std::string spotlightAttributesTool = "/usr/bin/mdls";
        Clock* clock = nullptr;  // Clock::shared() when null
        // The store applications, listed before each update check when that source is on.
        MacAppStoreManager* appStore = nullptr;
    };

    explicit ApplicationManager(Options options);
    ~ApplicationManager();

    static std::vector<ScanRoot> fixedRoots();
    // The roots of the next scan, in order, each path once.
    std::vector<ScanRoot> scanRoots() const;

    // Runs a scan and returns the new list.
    std::vector<Application> scanApplications(std::stop_token stop = {}, const ProgressReporter& progress = {});

    std::vector<Application> applications() const;

    // Finds the latest versions of the listed applications (`request.applications` is filled
    // from the list) and keeps what was found on the list, by bundle path.
    ApplicationUpdateCheckResult checkForUpdates(UpdateCheckCoordinator& coordinator,
                                                 ApplicationUpdateCheckRequest request);
    // The network check of one application: asks the source its record names, or, for a
    // record that names none, the source that recognises the bundle. Starts a batch of each
    // source (what a rate limit stopped before may go again).
    static AppCheckOperation sourceChecks(ApplicationSources sources, SourceSettings enabled = {});
    // Adds what the store listing knows to the inventory: item identifiers of receipt
    // bundles, and the wrapped iPhone/iPad apps the bundle walk does not list.
    void mergeAppStoreApps(const std::vector<MacAppStoreApp>& storeApps);
    // Reads these bundles again after an update replaced them: each record takes the version
    // now installed, so that it is no longer offered once that is the latest. True when a
    // record changed.
    bool refreshInstalledVersions(const std::vector<std::string>& bundlePaths);
    // The list saved by an earlier run, shown until a scan replaces it.
    void restoreApplications(std::vector<Application> applications, std::optional<ScanDiagnostics> diagnostics);
    std::optional<ScanDiagnostics> scanDiagnostics() const;
    std::set<std::string> tauriBundleIdentifiers() const;
    std::set<std::string> electronBundleIdentifiers() const;
    bool isLoading() const;
    // Returns once the metadata cache written after the last scan is on disk.
    void waitForPendingWrites();

private:
    std::vector<std::string> findWithSpotlight(const std::vector<ScanRoot>& roots, std::stop_token stop,
                                               std::vector<ScanPathSummary>& summaries, bool& usable);
    std::vector<std::string> walk(const std::vector<ScanRoot>& roots, std::stop_token stop,
                                  std::vector<ScanPathSummary>& summaries);
    std::optional<std::string> appStoreIdentifier(const std::string& bundlePath, std::stop_token stop);
    Clock& clock() const;

    Options options_;
    std::unique_ptr<AppMetadataCache> cache_;
    FrameworkClassifier classifier_;

    mutable std::mutex mutex_;
    std::vector<Application> applications_;
    std::optional<ScanDiagnostics> diagnostics_;
    std::set<std::string> tauri_;
    std::set<std::string> electron_;
    bool isLoading_ = false;
};

}  // namespace vt
