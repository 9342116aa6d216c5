#pragma once

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "base/Clock.hpp"
#include "core/ScanResultsPersistence.hpp"
#include "managers/SourceRow.hpp"
#include "managers/system/AptCache.hpp"
#include "model/Application.hpp"
#include "model/Package.hpp"
#include "model/UpdateKind.hpp"
#include "presentation/AllUpdatesRowPipeline.hpp"
#include "presentation/IgnoreFilter.hpp"

namespace vt {

// Why a pending update is not counted as pending: one of the ways to take an item out of
// the table, or a package its own manager pins.
enum class ExclusionReason { Ignored, Snoozed, Skipped, TooRecent, Pinned, Deferred };

inline constexpr ExclusionReason kAllExclusionReasons[] = {ExclusionReason::Ignored,   ExclusionReason::Snoozed,
                                                           ExclusionReason::Skipped,   ExclusionReason::TooRecent,
                                                           ExclusionReason::Pinned,    ExclusionReason::Deferred};

// "ignored", "snoozed", "skipped", "too_recent", "pinned", "deferred".
std::string_view rawValue(ExclusionReason reason);

// One pending update of the table, as an export gives it.
struct ExportedUpdate {
    std::string id;          // the row's id: what `vantreel list` shows and the verbs take
    std::string name;
    std::string source;      // the source's id, as `vantreel managers` gives it ("apt", "casks"), or "apps"
    std::string sourceName;  // the table's SOURCE column
    std::string itemKind;    // "package", "application"
    std::string installedVersion;
    std::optional<std::string> latestVersion;
    UpdateKind kind = UpdateKind::Other;
    bool isSecurity = false;
};

struct ExportedExclusion {
    ExportedUpdate update;
    ExclusionReason reason = ExclusionReason::Ignored;
};

// One item of the inventory, up to date or not.
struct ExportedItem {
    std::string id;  // its stable key
    std::string name;
    std::string source;
    std::string type;  // the package kind's raw value ("npm", "apt")
    std::string installedVersion;
    std::optional<std::string> latestVersion;
    bool updateAvailable = false;
    bool isSecurity = false;
    bool isPinned = false;
};

struct ExportedApplication {
    std::string id;  // its stable key: the bundle's path
    std::string name;
    std::string bundleIdentifier;
    std::string path;
    std::string installedVersion;
    std::optional<std::string> latestVersion;
    bool updateAvailable = false;
    std::string updateSource;  // where its update is found ("Sparkle", "GitHub")
};

// How one source fared in the saved scan.
struct ExportedSource {
    std::string id;
    std::string name;
    bool listed = true;       // false when it failed
    bool latestKnown = true;  // false when its latest versions could not be found
    std::optional<double> durationSeconds;
    std::optional<std::string> failure;
    std::optional<Clock::TimePoint> itemsFrom;  // rows carried over from an earlier scan
};

// Upgrades apt offers, counted by where they come from and their architecture, as the
// community's apt collector counts them.
struct AptUpgradeCount {
    std::string origin;        // the candidate's origins, "Debian:bookworm/stable", comma-joined
    std::string architecture;  // "amd64", "all"
    long long count = 0;
};

struct AptSummary {
    std::vector<AptUpgradeCount> pending;  // every upgrade, held ones included
    std::vector<AptUpgradeCount> held;
    bool rebootRequired = false;
};

// Everything the exports write: the saved scan's results as the table shows them. A plain
// value, made once.
struct UpdatesExport {
    std::string programVersion;
    Clock::TimePoint lastScanDate{};
    std::vector<ExportedSource> sources;  // every source the scan knows, sorted by id
    std::vector<ExportedUpdate> updates;  // the table's pending rows, in its order
    std::vector<ExportedExclusion> exclusions;
    std::vector<ExportedItem> items;
    std::vector<ExportedApplication> applications;
    std::optional<AptSummary> apt;  // only on a machine whose scan ran apt

    // Pending updates of a source and kind; exclusions of a source and reason.
    std::size_t pendingCount(std::string_view source, UpdateKind kind) const;
    std::size_t excludedCount(std::string_view source, ExclusionReason reason) const;
};

// What the export is made from: the saved results, the table `vantreel list` builds from them
// (pending rows only, no search), the same ignore state, and the user's visibility settings.
struct UpdatesExportInput {
    const ScanMetadata& metadata;
    const std::vector<Package>& packages;  // each once, as the table was made from them
    const std::vector<Application>& applications;
    bool allowPreRelease = false;
    const AllUpdatesDisplayModel& table;
    const IgnoreFilter& filter;
    std::function<bool(ManagerToggleKey)> isShown;
    const std::vector<SourceRow>& registrations;
    std::string programVersion;
};

UpdatesExport makeUpdatesExport(const UpdatesExportInput& input);

// The id a package's kind is counted under: its own setting's id where it has one
// ("casks"), else its source's ("homebrew"); "unknown" for a kind no source of this build lists.
std::string sourceIdOf(PackageType type, const std::vector<SourceRow>& registrations);

// apt's pending and held upgrades, grouped by origin and architecture, sorted; an upgrade
// offered nowhere but the installed status counts under an empty origin.
AptSummary summarizeApt(const AptCache::Reading& reading, bool rebootRequired);

// The failures of an export, each with the text a user reads.
class ExportError : public std::runtime_error {
public:
    enum class Kind {
        NoResults,      // no scan was saved yet
        NotAFolder,     // the textfile folder does not exist or is no folder
        WriteFailed,    // the file could not be written
        NotADatabase,   // the file to replace is there and is no database of ours to replace
        DatabaseFailed  // SQLite refused
    };
    ExportError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
    Kind kind() const noexcept { return kind_; }
    std::string description() const { return what(); }

private:
    Kind kind_;
};

}  // namespace vt
