#pragma once

#include <optional>
#include <string>
#include <vector>

#include "base/Clock.hpp"
#include "base/Json.hpp"
#include "model/Application.hpp"
#include "model/Package.hpp"
#include "sources/inventory/ApplicationManager.hpp"

namespace vt {

// How one source fared in the scan whose results are saved.
struct SourceScanState {
    std::string id;
    std::string name;
    std::optional<std::string> failure;  // why it failed or timed out
    // What it published without failing (an index out of reach, lists out of date).
    std::optional<std::string> warning;
    bool latestVersionsUnknown = false;  // its update check could not learn them
    // When its rows were listed; earlier than the scan when they were carried over from a
    // previous scan because this one could not list them. Absent when it has no rows.
    std::optional<Clock::TimePoint> itemsDate;
    // Seconds its last listing and check took together; absent when it has not run.
    std::optional<double> durationSeconds;
    // False when it failed, or its update check failed, timed out or could not reach what
    // tells its latest versions: its items may miss updates.
    bool latestKnown = true;

    bool carriedOver() const noexcept { return failure.has_value() && itemsDate.has_value(); }
    Json toJson() const;
    static SourceScanState fromJson(const Json& json);  // throws std::invalid_argument
};

// The summary of the last scan ("scan_metadata.json").
struct ScanMetadata {
    Clock::TimePoint lastScanDate{};
    long long packagesCount = 0;
    long long applicationsCount = 0;
    long long macAppStoreAppsCount = 0;
    long long sparkleAppsCount = 0;
    long long systemExtensionsCount = 0;
    long long filesScannedCount = 0;
    long long sourcesScannedCount = 0;
    long long homebrewTapsCount = 0;
    long long homebrewLeavesCount = 0;
    bool wasCleanExit = true;
    // Beyond the summary, what lets other processes and later runs trust these results:
    // a number that goes up with every saved scan (a process that waited for another's
    // scan compares it), how each source fared, and the state the fast path decides on.
    long long generation = 0;
    std::vector<SourceScanState> sources;
    std::optional<Clock::TimePoint> lastFullScanDate;
    std::vector<std::string> fullScanSourceIds;
    // Why the vulnerability check of that scan failed; nothing when it ran or was turned off.
    std::optional<std::string> vulnerabilityCheckFailure;
    // Per source that names its inputs: their fingerprint when it listed, and when its update
    // check last ran; a later scan reuses what is unchanged.
    struct SourceInputs {
        std::string id;
        std::string inputs;
        std::optional<Clock::TimePoint> checkedAt;
        bool latestUnknown = false;  // that check learned no latest version
    };
    std::vector<SourceInputs> sourceInputs;

    Json toJson() const;
    static ScanMetadata fromJson(const Json& json);  // throws std::invalid_argument
};

// Which applications were found to be built on which framework.
struct FrameworkClassification {
    std::vector<std::string> tauri;
    std::vector<std::string> electron;

    Json toJson() const;
    static FrameworkClassification fromJson(const Json& json);
};

struct PersistedAdoptableApp {
    std::string id, name, path, caskToken, caskVersion, installedVersion, sourceKindRawValue,
        matchConfidenceRawValue;

    Json toJson() const;
    static PersistedAdoptableApp fromJson(const Json& json);
};

// Everything a scan found, as it is kept between runs.
struct PersistedScanResults {
    std::optional<ScanMetadata> metadata;
    std::vector<Package> packages;
    std::optional<FrameworkClassification> frameworks;
    // Written only when present: the list is refreshed apart from the scan, by adoption too.
    std::optional<std::vector<PersistedAdoptableApp>> adoptableApps;
    // Written only when present: saving after a package update leaves them as they were.
    std::optional<std::vector<Application>> applications;
    std::optional<ScanDiagnostics> applicationDiagnostics;
    // Read back only: the package files that exist but could not be decoded (their items
    // are missing from `packages`).
    std::vector<std::string> unreadableFiles;
};

// The saved application inventory and how its last scan went.
struct PersistedApplications {
    std::vector<Application> applications;
    std::optional<ScanDiagnostics> diagnostics;
};

// Writes each scan's results to JSON files in the "Van Treel/ScanResults" folder of the
// support folder, and reads them back at start so the table is there before any scan.
// Every file is written atomically (temporary file, then rename): a crash or a full disk
// leaves the previous file whole. A failed write is logged and never stops the others; an
// undecodable file is logged and read as absent. Thread-safe: the folder is the only state.
class ScanResultsPersistence {
public:
    explicit ScanResultsPersistence(std::string folder);
    // supportFolder() + "/ScanResults".
    static std::string defaultFolder();

    const std::string& folder() const noexcept { return folder_; }

    // Returns what could not be written, a sentence for each file (or one for the folder).
    std::vector<std::string> save(const PersistedScanResults& results) const;
    PersistedScanResults load() const;
    // "applications.json" and the diagnostics of the scan that wrote it; apart from load(),
    // which commands that show only packages call.
    PersistedApplications loadApplications() const;
    // Only "applications.json", for an inventory an update changed; false when it could not
    // be written.
    bool saveApplications(const std::vector<Application>& applications) const;
    // Only "adoptable_apps.json"; false when it could not be written.
    bool saveAdoptableApps(const std::vector<PersistedAdoptableApp>& apps) const;
    std::vector<PersistedAdoptableApp> loadAdoptableApps() const;
    // Only "scan_metadata.json", for callers that need no inventory.
    std::optional<ScanMetadata> loadMetadata() const;

    // The file a package of this kind is kept in ("packages.json" for most kinds).
    static std::string fileFor(PackageType type);

private:
    bool write(const std::string& fileName, const std::string& text) const;
    std::optional<Json> read(const std::string& fileName, const char* failureKey) const;

    std::string folder_;
};

}  // namespace vt
