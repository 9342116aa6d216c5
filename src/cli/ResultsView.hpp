#pragma once

#include <cstdio>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/Json.hpp"
#include "cli/Output.hpp"
#include "cli/SourceSelection.hpp"
#include "base/PrintableText.hpp"
#include "cli/UpdatesTable.hpp"
#include "core/ScanResultsPersistence.hpp"
#include "model/Application.hpp"
#include "model/Package.hpp"
#include "sources/sparkle/SparkleManager.hpp"
#include "sources/generic/GenericUpdaterManager.hpp"
#include "sources/macos/SoftwareUpdateManager.hpp"

namespace vt {
struct ScanProgressSnapshot;
}

namespace vt::cli {

// What a source said about its last scan, beyond its items.
struct SourceProblem {
    std::string source;   // the scanner's id
    std::string name;     // its display name
    std::string message;  // why it failed, or what it published without failing
};

// What the table and the JSON are made from: the items of the inventory, each once, and
// the state of every scanner of the last scan.
struct ScanReport {
    std::vector<Package> packages;
    std::vector<std::string> stableKeys;  // of each package, in the same order
    // The installed applications: items of the "apps" scanner, after the packages.
    std::vector<Application> applications;
    // The appcast releases of the Sparkle applications, by bundle path.
    std::vector<SparkleApp> sparkleApps;
    std::vector<SoftwareUpdate> systemUpdates;  // the operating system's own, where its tool exists
    std::vector<SourceProblem> problems;
    // One object per scanner: "source", "name", "state", and what it counted or said.
    Json scanners = Json::array();
    Json metadata = Json::object();
    double durationSeconds = 0;
    bool allowPreRelease = false;
    // What the scan said of each source, as applySourceStates() was given it.
    std::vector<SourceScanState> sourceStates;
    // The rows of the table, once attachTable() has made them.
    std::optional<UpdatesTable> table;
    long long minimumReleaseAgeDays = 0;
    // Why the scan's vulnerability check failed, said once under the table.
    std::optional<std::string> vulnerabilityCheckFailure;
    // Saved results files that could not be read: their items are missing from the report.
    std::vector<std::string> unreadableFiles;
    // Sources --only named that did not run: nothing is known of their updates.
    std::vector<std::string> sourcesNotRun;

    // Scanners that failed, and those whose latest versions are unknown, among `scanners`.
    std::size_t failedSources() const;
    std::set<std::string> latestVersionsUnknown() const;
};

// Makes the report's table from its packages and applications.
void attachTable(ScanReport& report, const TableRequest& request);

ScanReport makeReport(std::vector<Package> packages, const ScanProgressSnapshot& progress, bool allowPreRelease);

// Marks the sources that failed, those whose latest versions are unknown, what the others
// published, and those whose rows were carried over from an earlier scan (with the date),
// in the JSON and under the table.
void applySourceStates(ScanReport& report, const std::vector<SourceScanState>& states);

// Leaves out of the report the items and scanners of the sources --only and --exclude leave out.
void restrictReport(ScanReport& report, const SourceSelection& selection);

// The exit status --exit-code gives a report: kExitSourceFailed when a source failed, else
// kExitSecurityPending, kExitUpdatesPending or kExitSuccess by the table's pending rows.
int reportExitCode(const ScanReport& report);

// The key that identifies an application across scans: its bundle's path.
std::string applicationStableKey(const Application& application);
// The newest appcast release of a Sparkle application: feed, download address, size, date,
// minimum system version and signature kind.
Json sparkleReleaseJson(const SparkleApp& app);
// The updater an Electron, Tauri or vendor-updated application names, and what it offered.
Json genericUpdaterJson(const GenericUpdaterApp& app);
// The record a source keeps for the application at `bundlePath`, if any.
template <typename Record>
const Record* recordAt(const std::vector<Record>& records, const std::string& bundlePath) {
    for (const Record& record : records) {
        if (record.bundlePath == bundlePath) return &record;
    }
    return nullptr;
}
bool hasUpdate(const Application& application, bool allowPreRelease);

// The attached table's rows (pending updates, and with --all every item), aligned and fit to
// `width`, with the counts of rows held back or hidden under it unless `notes` is false.
std::string renderTable(const ScanReport& report, const Style& style, std::size_t width, bool notes = true);
// One line with the counts and the time the scan took, then every scanner that failed or
// published a message; with `notes`, the other remarks (a vulnerability check that failed).
std::string renderSummary(const ScanReport& report, const Style& style, bool notes = true);
// Prints the report as one JSON document and a new line (compact with indent -1), written
// straight from the records.
void printReportJson(const ScanReport& report, int indent, std::FILE* out);

}  // namespace vt::cli
