#include "core/UpdatesExport.hpp"

#include <algorithm>
#include <map>
#include <set>
#include <unordered_set>

#include "base/Strings.hpp"
#include "model/PendingUpdate.hpp"
#include "model/VersionRules.hpp"
#include "presentation/AllUpdatesRowBuilder.hpp"

namespace vt {

namespace {

constexpr std::string_view kApplicationsSourceId = "apps";
// The id of the operating system's own updates' scanner.
constexpr std::string_view kSystemUpdatesSourceId = "software-update";

const SourceRow* registrationOf(PackageType type, const std::vector<SourceRow>& registrations) {
    for (const SourceRow& row : registrations) {
        if (std::find(row.types.begin(), row.types.end(), type) != row.types.end()) return &row;
    }
    return nullptr;
}

std::string rowSourceId(const AllUpdateRow& row, const std::vector<SourceRow>& registrations) {
    if (row.kind == AllUpdateRow::Kind::Application) return std::string(kApplicationsSourceId);
    if (row.kind == AllUpdateRow::Kind::Software) return std::string(kSystemUpdatesSourceId);
    return row.packageType ? sourceIdOf(*row.packageType, registrations) : "unknown";
}

ExportedUpdate exported(const AllUpdateRow& row, const std::vector<SourceRow>& registrations) {
    ExportedUpdate update;
    update.id = row.shortId;
    update.name = row.name;
    update.source = rowSourceId(row, registrations);
    update.sourceName = row.source;
    update.itemKind = std::string(rawValue(row.kind));
    update.installedVersion = row.currentVersion;
    update.latestVersion = row.latestVersion;
    update.isSecurity = row.isSecurityUpdate;
    update.kind = classifyUpdate(row.currentVersion, row.latestVersion.value_or(""), row.isSecurityUpdate,
                                 row.packageType == PackageType::AptPackage);
    return update;
}

std::optional<ExclusionReason> exclusionOf(IgnoreFilter::Hold hold) {
    switch (hold) {
        case IgnoreFilter::Hold::None: return std::nullopt;
        case IgnoreFilter::Hold::Ignored: return ExclusionReason::Ignored;
        case IgnoreFilter::Hold::VersionSkipped: return ExclusionReason::Skipped;
        case IgnoreFilter::Hold::Snoozed: return ExclusionReason::Snoozed;
        case IgnoreFilter::Hold::Deferred: return ExclusionReason::Deferred;
        case IgnoreFilter::Hold::TooRecent: return ExclusionReason::TooRecent;
    }
    return std::nullopt;
}

// The scan's sources, and the kinds among them with a setting of their own that is on
// (Homebrew's casks), which are counted as sources of their own.
std::map<std::string, ExportedSource> scannedSources(const UpdatesExportInput& input) {
    std::map<std::string, ExportedSource> sources;
    for (const SourceScanState& state : input.metadata.sources) {
        ExportedSource source{state.id,          state.name,    !state.failure, state.latestKnown && !state.failure,
                              state.durationSeconds, state.failure, std::nullopt};
        if (state.carriedOver()) source.itemsFrom = state.itemsDate;
        sources.emplace(state.id, source);
        for (const SourceRow& row : input.registrations) {
            if (row.id != state.id) continue;
            for (const KindToggle& kind : row.kindToggles) {
                if (input.isShown && !input.isShown(kind.toggle)) continue;
                ExportedSource child = source;
                child.id = kind.id;
                child.name = kind.name;
                sources.emplace(kind.id, std::move(child));
            }
        }
    }
    return sources;
}

std::vector<ExportedItem> exportedItems(const UpdatesExportInput& input) {
    std::vector<ExportedItem> items;
    items.reserve(input.packages.size());
    for (const Package& package : input.packages) {
        items.push_back({stableKey(package), package.name, sourceIdOf(package.type, input.registrations),
                         std::string(rawValue(package.type)), package.version, package.latestVersion,
                         hasPendingUpdate(package, input.allowPreRelease), package.isSecurityUpdate, package.isPinned});
    }
    return items;
}

std::vector<ExportedApplication> exportedApplications(const UpdatesExportInput& input) {
    std::vector<ExportedApplication> applications;
    applications.reserve(input.applications.size());
    for (const Application& application : input.applications) {
        applications.push_back({"application:" + application.bundlePath, application.name, application.bundleIdentifier,
                                application.bundlePath, application.version, application.latestVersion,
                                isUpdateAvailable(application.version, application.latestVersion, input.allowPreRelease),
                                applicationSourceLabel(application)});
    }
    return applications;
}

}  // namespace

std::string_view rawValue(ExclusionReason reason) {
    switch (reason) {
        case ExclusionReason::Ignored: return "ignored";
        case ExclusionReason::Snoozed: return "snoozed";
        case ExclusionReason::Skipped: return "skipped";
        case ExclusionReason::TooRecent: return "too_recent";
        case ExclusionReason::Pinned: return "pinned";
        case ExclusionReason::Deferred: break;
    }
    return "deferred";
}

std::string sourceIdOf(PackageType type, const std::vector<SourceRow>& registrations) {
    const SourceRow* row = registrationOf(type, registrations);
    if (row == nullptr) return "unknown";
    for (const KindToggle& kind : row->kindToggles) {
        if (kind.type == type) return kind.id;
    }
    return row->id;
}

std::size_t UpdatesExport::pendingCount(std::string_view source, UpdateKind kind) const {
    return static_cast<std::size_t>(std::count_if(updates.begin(), updates.end(), [&](const ExportedUpdate& update) {
        return update.source == source && update.kind == kind;
    }));
}

std::size_t UpdatesExport::excludedCount(std::string_view source, ExclusionReason reason) const {
    return static_cast<std::size_t>(
        std::count_if(exclusions.begin(), exclusions.end(), [&](const ExportedExclusion& exclusion) {
            return exclusion.update.source == source && exclusion.reason == reason;
        }));
}

UpdatesExport makeUpdatesExport(const UpdatesExportInput& input) {
    UpdatesExport result;
    result.programVersion = input.programVersion;
    result.lastScanDate = input.metadata.lastScanDate;
    std::unordered_set<std::string> pinned;
    for (const Package& package : input.packages) {
        if (package.isPinned) pinned.insert(stableKey(package));
    }
    // The table's rows, in its order; a package its manager pins is pending for nobody.
    const AllUpdatesDisplayModel& table = input.table;
    std::vector<bool> shown(table.sourceRows.size(), false);
    for (std::size_t position = 0; position < table.size(); ++position) {
        shown[table.displayRows[position]] = true;
        const AllUpdateRow& row = table.row(position);
        if (!row.hasUpdate || row.kind == AllUpdateRow::Kind::Adoptable) continue;
        ExportedUpdate update = exported(row, input.registrations);
        if (row.kind == AllUpdateRow::Kind::Package && pinned.count(row.id) > 0) {
            result.exclusions.push_back({std::move(update), ExclusionReason::Pinned});
        } else {
            result.updates.push_back(std::move(update));
        }
    }
    // Rows of a source that is shown but left out of the table by an ignore, a skip, a
    // snooze, a deferral or the release age; the others were merged into a row shown.
    for (std::size_t index = 0; index < table.sourceRows.size(); ++index) {
        const AllUpdateRow& row = table.sourceRows[index];
        if (shown[index] || !row.hasUpdate || row.kind == AllUpdateRow::Kind::Adoptable) continue;
        if (row.toggle && input.isShown && !input.isShown(*row.toggle)) continue;
        if (std::optional<ExclusionReason> reason = exclusionOf(input.filter.hold(row))) {
            result.exclusions.push_back({exported(row, input.registrations), *reason});
        }
    }

    std::map<std::string, ExportedSource> sources = scannedSources(input);
    auto mention = [&sources](const ExportedUpdate& update) {
        // A source the saved states do not name (an older file): its rows still count.
        sources.try_emplace(update.source, ExportedSource{update.source, update.sourceName});
    };
    for (const ExportedUpdate& update : result.updates) mention(update);
    for (const ExportedExclusion& exclusion : result.exclusions) mention(exclusion.update);
    for (auto& [id, source] : sources) result.sources.push_back(std::move(source));
    result.items = exportedItems(input);
    result.applications = exportedApplications(input);
    return result;
}

AptSummary summarizeApt(const AptCache::Reading& reading, bool rebootRequired) {
    auto count = [](std::vector<const AptCache::Upgrade*> upgrades) {
        std::map<std::pair<std::string, std::string>, long long> byOrigin;
        for (const AptCache::Upgrade* upgrade : upgrades) {
            ++byOrigin[{join(upgrade->origins, ","), upgrade->architecture}];
        }
        std::vector<AptUpgradeCount> counts;
        for (const auto& [key, number] : byOrigin) counts.push_back({key.first, key.second, number});
        return counts;
    };
    std::vector<const AptCache::Upgrade*> all, held;
    for (const AptCache::Upgrade& upgrade : reading.upgrades) all.push_back(&upgrade);
    for (const AptCache::Upgrade& upgrade : reading.held) {
        all.push_back(&upgrade);
        held.push_back(&upgrade);
    }
    return AptSummary{count(std::move(all)), count(std::move(held)), rebootRequired};
}

}  // namespace vt
