#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "base/Clock.hpp"
#include "base/Json.hpp"
#include "model/Application.hpp"
#include "sources/generic/ElectronManifest.hpp"
#include "sources/generic/ManifestSupport.hpp"
#include "sources/generic/TauriManager.hpp"

namespace vt {

class NetworkClient;

// An application that announces its updates through a small manifest of its own.
struct GenericUpdaterApp {
    std::string id;
    std::string name;
    std::string bundlePath;
    std::string currentVersion;
    std::optional<std::string> currentBuildNumber;
    std::optional<std::string> latestVersion;
    std::optional<std::string> latestBuildNumber;
    GenericUpdateMechanism updateMechanism = GenericUpdateMechanism::Custom;
    std::optional<std::string> updateURL;
    std::optional<std::string> downloadURL;
    std::optional<std::string> releasePageURL;
    std::optional<std::string> releaseNotes;
    std::optional<Clock::TimePoint> publishDate;
    std::optional<bool> allowsRemoteVersionCheck;

    // Never saved: what the check needs from the bundle.
    std::optional<ElectronUpdateConfig> electron;  // from app-update.yml
    std::string bundleIdentifier;
    bool addressFromBundle = false;  // read from the bundle, so checked before it is fetched

    Json toJson() const;
    static GenericUpdaterApp fromJson(const Json& json);  // throws on a missing or mistyped field
};

inline constexpr const char* kGenericUpdaterAppsFile = "generic_updater_apps.json";

// A vendor service the bundle itself does not name.
struct KnownAppConfig {
    GenericUpdateMechanism mechanism = GenericUpdateMechanism::Custom;
    std::string updateURL;
    std::optional<std::string> releaseNotesURL;
};

// Finds the update manifest of Electron, Tauri and vendor-updated applications and reads the
// latest version from it. Thread-safe: the checks of several applications run at once; no
// lock is held during a request.
class GenericUpdaterManager {
public:
    struct Options {
        std::string architecture = machineArchitecture();
        Clock* clock = nullptr;  // Clock::shared() when null
    };

    explicit GenericUpdaterManager(NetworkClient& network);
    GenericUpdaterManager(NetworkClient& network, Options options);
    ~GenericUpdaterManager();

    // The process's manager, on a network client of its own.
    static GenericUpdaterManager& shared();

    // By bundle identifier; addresses from the endpoint table.
    static std::map<std::string, KnownAppConfig> knownAppConfigs();
    // The rule catalog's generic-updater configuration for an application: an Electron or
    // generic-updater rule that names its address; nothing otherwise, and known
    // configurations apply instead.
    static std::optional<KnownAppConfig> catalogRule(const std::string& bundleIdentifier);

    // Reads the bundle's update signals, strongest first: Sparkle bundles are left to the
    // appcast check (nothing), then app-update.yml, product.json, Squirrel, a Mozilla
    // updater, an embedded Tauri endpoint, and last a catalog rule or known configuration.
    std::optional<GenericUpdaterApp> detect(const std::string& bundlePath, const std::string& bundleIdentifier = {});

    // The latest release the application's manifest announces, cached for 300 seconds per
    // application; nothing when there is no usable address or the manifest fails (logged).
    std::optional<GenericUpdaterApp> check(const GenericUpdaterApp& app, std::stop_token stop = {});

    // The application check of the update run: detects, checks, and returns the record with
    // the latest version, or nothing.
    std::optional<Application> checkApplication(const Application& application, std::stop_token stop = {});

    // Update addresses refused without a request (not http(s), credentials, this machine).
    long long invalidGenericUpdaterURLCount() const;

    // The applications this source answered for in a round of checks: what their manifests
    // said, or only their updater where the manifest failed. A round starts empty.
    void beginRound();
    // Adds the applications of the round that were answered from the cache of earlier
    // checks, so the list covers every application this source resolves.
    void completeFromChecks(const std::vector<Application>& checked);
    // Sorted by name.
    std::vector<GenericUpdaterApp> apps() const;
    // "generic_updater_apps.json" in `folder`; false, logged, when it cannot be written.
    bool save(const std::string& folder) const;
    static std::vector<GenericUpdaterApp> load(const std::string& folder);

private:
    struct VersionCacheEntry {
        GenericUpdaterApp result;
        Clock::TimePoint timestamp;
    };
    std::optional<GenericUpdaterApp> fetchElectron(const GenericUpdaterApp& app, std::stop_token stop);
    std::optional<GenericUpdaterApp> fetchElectronManifest(const GenericUpdaterApp& app, const std::string& manifestURL,
                                                           class ManifestFetch& fetch, bool& missing);
    std::optional<GenericUpdaterApp> fetchCustom(const GenericUpdaterApp& app, std::stop_token stop);
    std::optional<GenericUpdaterApp> fetchZen(const GenericUpdaterApp& app, std::stop_token stop);
    Clock& clock() const;

    NetworkClient& network_;
    Options options_;
    TauriManager tauri_;
    static constexpr double kCacheTTL = 300;

    mutable std::mutex mutex_;
    std::map<std::string, VersionCacheEntry> versionCache_;
    std::map<std::string, GenericUpdaterApp> apps_;  // by bundle path
    long long invalidCount_ = 0;
};

}  // namespace vt
