#include "cli/UpdatesTable.hpp"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "base/Localization.hpp"
#include "base/Paths.hpp"
#include "base/PrintableText.hpp"
#include "base/Strings.hpp"
#include "cli/AdoptCommand.hpp"
#include "cli/Context.hpp"
#include "core/ManagerRegistry.hpp"
#include "core/PackageCoordinator.hpp"
#include "model/VersionRules.hpp"
#include "presentation/AutoDeferralStore.hpp"
#include "presentation/IgnoredAppsManager.hpp"
#include "presentation/SkippedVersionStore.hpp"
#include "settings/SettingsManager.hpp"
#include "sources/inventory/ApplicationManager.hpp"
#include "sources/macos/SoftwareUpdateManager.hpp"

namespace vt::cli {

namespace {

bool hasRegistration(PackageType type) {
    for (const SourceRow& row : ManagerRegistry::sources()) {
        if (std::find(row.types.begin(), row.types.end(), type) != row.types.end()) return true;
    }
    return false;
}

// A text the shell reads back as itself, for a command the user copies.
std::string shellQuoted(std::string_view text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// Packages of a manager this build updates go through `vantreel update`; the others, and
// applications, are updated by hand.
AllUpdateRowActionState actionStateOf(const AllUpdateRow& row) {
    AllUpdateRowActionState state;
    if (row.kind == AllUpdateRow::Kind::Software) {
        // The system's updates install with administrator rights, by the tool's own label.
        state.isManualPackage = true;
        std::string command = "sudo softwareupdate -i ";
        command += shellQuoted(std::string_view(row.id).substr(std::string_view("macos:").size()));
        state.terminalCommand = std::move(command);
        return state;
    }
    if (row.kind == AllUpdateRow::Kind::Adoptable) {
        // Not an update: handing the application to Homebrew is asked for by name.
        std::string command = "vantreel adopt ";
        command += shellQuoted(row.bundleIdentifier);
        state.terminalCommand = std::move(command);
        return state;
    }
    if (row.kind == AllUpdateRow::Kind::Application) {
        state.isManualApplication = true;
        state.manualDownloadURL = row.downloadURL;
        state.buttonLabel = localized("table.action.download");
        return state;
    }
    if (row.packageType && hasRegistration(*row.packageType) && !row.requiresManualInstaller) {
        state.isUpdateable = true;
        state.buttonLabel = localized("table.action.update");
        return state;
    }
    state.isManualPackage = true;
    if (row.packageType == PackageType::AptPackage) {
        std::string command = "sudo apt-get install --only-upgrade ";
        command += row.name;
        state.terminalCommand = std::move(command);
    }
    return state;
}

// A tool found on the PATH inside a Homebrew prefix is Homebrew's: its formula row wins.
bool toolIsHomebrews(const std::string& tool) {
    std::optional<std::string> path = paths::environmentValue("PATH");
    if (!path) return false;
    for (std::string_view folder : split(*path, ':')) {
        if (folder.empty()) continue;
        std::error_code error;
        std::filesystem::path candidate = std::filesystem::path(std::string(folder)) / tool;
        if (!std::filesystem::exists(candidate, error)) continue;
        std::string resolved = std::filesystem::weakly_canonical(candidate, error).string();
        return contains(resolved, "/Cellar/") || contains(resolved, "/homebrew/") || contains(resolved, "linuxbrew");
    }
    return false;
}

std::uint64_t settingsRevision(const SettingsManager& settings) {
    std::string state;
    for (const char* key : {"SkippedVersions", "SnoozedApps", "AutoDeferredUpdates", "MinimumReleaseAgeDays",
                            "MinimumReleaseAgeDaysBySource", "HoldBackUnknownReleaseAge"}) {
        state += dumpJson(settings.value(key));
    }
    for (ManagerToggleKey key : allManagerToggleKeys()) state += settings.isVisible(key) ? '1' : '0';
    return std::hash<std::string>{}(state);
}

}  // namespace

std::string quotedWhenNeeded(const std::string& text) {
    if (text.find_first_of(" '\"\\$`()&;|<>*?") == std::string::npos) return text;
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::size_t UpdatesTable::pendingCount() const {
    std::size_t count = 0;
    for (std::size_t i = 0; i < model->size(); ++i) count += model->row(i).hasUpdate ? 1 : 0;
    return count;
}

bool UpdatesTable::namesASource(std::string_view name) const {
    const std::string folded = foldForComparison(trimView(name));
    for (const std::string& id : SourceSelection::knownNames()) {
        if (foldForComparison(id) == folded) return true;
    }
    for (const SourceRow& source : ManagerRegistry::sources()) {
        if (foldForComparison(source.id) == folded || foldForComparison(source.name) == folded) return true;
    }
    return std::any_of(model->sourceRows.begin(), model->sourceRows.end(), [&folded](const AllUpdateRow& row) {
        return foldForComparison(row.source) == folded || foldForComparison(row.sourceId) == folded;
    });
}

IgnoreFilter::State currentIgnoreState() {
    Context& context = Context::shared();
    SettingsManager& settings = context.settings();
    IgnoreFilter::State state;
    state.ignored = context.ignoredApps().ignoredBundleIds();
    state.skippedVersions = settings.skippedVersions();
    state.snoozes = SnoozeStore(settings).all();
    state.deferrals = settings.autoDeferredUpdates();
    state.minimumReleaseAgeDays = settings.integerValue("MinimumReleaseAgeDays");
    state.now = Clock::shared().now();
    return state;
}

std::vector<AllUpdateRow> everyRow(const AllUpdatesSnapshot& snapshot) {
    return AllUpdatesRowBuilder(ManagerRegistry::sources()).build(snapshot, true);
}

std::uint64_t freshRevision() {
    static std::atomic<std::uint64_t> revision{0};
    return ++revision;
}

AllUpdatesSnapshot savedSnapshot() { return snapshotWith(Context::shared().coordinator().offeredPackages()); }

AllUpdatesSnapshot snapshotWith(std::vector<Package> packages) {
    Context& context = Context::shared();
    AllUpdatesSnapshot snapshot;
    snapshot.packages = std::move(packages);
    if (context.settings().isVisible(ManagerToggleKey::ShowInstalledApplications)) {
        snapshot.applications = context.applications().applications();
    }
    if (context.settings().isVisible(ManagerToggleKey::ShowSoftwareUpdate)) {
        snapshot.systemUpdates = context.systemUpdates().cachedUpdates();
    }
    snapshot.allowPreRelease = context.settings().showPreReleaseUpdates();
    if (context.settings().isVisible(ManagerToggleKey::ShowInstalledApplications)) {
        snapshot.adoptableApps = savedAdoptableApps();
    }
    return snapshot;
}

UpdatesTable buildUpdatesTable(const AllUpdatesSnapshot& snapshot, const TableRequest& request) {
    Context& context = Context::shared();
    SettingsManager& settings = context.settings();
    std::vector<AllUpdateRow> rows = AllUpdatesRowBuilder(ManagerRegistry::sources()).build(snapshot, request.all);
    auto filter = std::make_shared<IgnoreFilter>(currentIgnoreState(), rows);
    AllUpdatesRuntimeState runtime;
    AllUpdatesPipelineInput input;
    input.isVisible = [&settings, &request](const AllUpdateRow& row) {
        return (!row.toggle || settings.isVisible(*row.toggle)) && request.selection.includes(row);
    };
    input.searchText = request.search;
    input.sourceFilter = request.source;
    input.hiding = [filter](const AllUpdateRow& row) { return filter->hiding(row); };
    input.rowActionState = actionStateOf;
    input.bundleDeduplicationKey = defaultBundleDeduplicationKey;
    input.preferenceScore = defaultPreferenceScore;
    input.prefersHomebrewNativeToolFormula = toolIsHomebrews;
    input.runtime = &runtime;
    AllUpdatesSignalParts parts;
    parts.packagesRevision = snapshot.packagesRevision;
    parts.applicationsRevision = snapshot.applicationsRevision;
    parts.settingsRevision = settingsRevision(settings);
    parts.ignoresRevision = context.ignoredApps().revision();
    parts.runtimeGeneration = runtime.updateGeneration;
    parts.searchText = request.search;
    // The selection of --only and --exclude hides rows as the settings do; --all shows more.
    parts.sourceFilter = request.source + '\x1f' + request.selection.signature() + (request.all ? "\x1f" "all" : "");
    // Never destroyed: at exit its rows would be freed one by one for nothing.
    static AllUpdatesDisplayModelCache& cache = *new AllUpdatesDisplayModelCache;
    UpdatesTable table;
    table.filter = filter;
    table.request = request;
    table.model = cache.model(composeSignal(parts), [&] { return AllUpdatesRowPipeline::run(std::move(rows), input); });
    return table;
}

std::string actionText(const AllUpdateRow& row, const AllUpdateRowActionState& state) {
    if (!row.hasUpdate) return "";
    if (state.isUpdateable) return std::string("vantreel update ") + row.shortId;
    if (state.terminalCommand) return *state.terminalCommand;
    if (state.isManualApplication) return localized("table.action.download");
    return localized("table.action.by_hand");
}

namespace {

// The ids behind a row's vulnerability flag, for the line under it.
std::optional<std::string> vulnerabilityNote(const AllUpdateRow& row) {
    if (!row.hasUpdate) return std::nullopt;
    std::optional<std::string> note;
    if (!row.fixedVulnerabilities.empty()) note = localized("table.fixes_ids", {join(row.fixedVulnerabilities, ", ")});
    if (!row.offeredVulnerabilities.empty()) {
        std::string left = localized("table.vulnerable_ids",
                                     {row.latestVersion.value_or(""), join(row.offeredVulnerabilities, ", ")});
        note = note ? *note + punctuated(" · ") + left : left;
    }
    return note;
}

}  // namespace

std::string renderUpdatesTable(const UpdatesTable& table, const Style& style, const TableLayout& layout) {
    const AllUpdatesDisplayModel& model = *table.model;
    if (model.size() == 0) return "";
    // Narrow terminals lose the source first, then the installed version, then the action;
    // the name and the latest version stay. The versions are cut only when the name and the
    // action can give no more; an action is cut at its start, so that the id it ends with
    // stays readable.
    TextTable text({{localized("table.column.name"), Column::Elide::End, 12, 0},
                    {localized("table.column.installed"), Column::Elide::Middle, 7, 2, true},
                    {localized("table.column.latest"), Column::Elide::Middle, 7, 0, true},
                    {localized("table.column.source"), Column::Elide::End, 8, 1},  // "Homebrew" whole or gone
                    {localized("table.column.security"), Column::Elide::Never, 0, 0},
                    {localized("table.column.action"), Column::Elide::Start, 20, 3}});
    for (std::size_t i = 0; i < model.size(); ++i) {
        const AllUpdateRow& row = model.row(i);
        const bool apt = row.packageType == PackageType::AptPackage;  // apt's own form carries "+deb12u1"
        const std::string installed = oneLine(apt ? row.currentVersion : displayVersion(row.currentVersion));
        Cell latest("-");
        if (row.latestVersion) {
            latest = Cell(oneLine(apt ? *row.latestVersion : displayVersion(*row.latestVersion)),
                          row.hasUpdate ? Tone::Green : Tone::Plain);
        } else if (layout.latestVersionsUnknown.count(row.sourceId) > 0) {
            latest = Cell("?", Tone::Yellow);
        }
        std::optional<std::string> note;
        if (row.hasUpdate && row.releaseAge && row.releaseAge->verdict == ReleaseAgeVerdict::Fallback) {
            note = releaseAgeReason(*row.releaseAge).value_or(ItemReason{}).text;
        }
        if (row.hasUpdate && layout.detail) {
            if (std::optional<std::string> detail = layout.detail(row)) note = note ? *note + punctuated(" · ") + *detail : *detail;
        }
        if (std::optional<std::string> vulnerabilities = vulnerabilityNote(row)) {
            note = note ? *vulnerabilities + punctuated(" · ") + *note : *vulnerabilities;
        }
        if (note) note = oneLine(*note);
        // The flags column: known vulnerabilities fixed or left, a security fix, a release
        // without the provenance the installed one had, or one offered though its age is unknown.
        Cell flag("");
        if (row.fixesVulnerabilities()) {
            flag = Cell(localized("table.fixes", {std::to_string(row.fixedVulnerabilities.size())}), Tone::Yellow);
        } else if (row.hasUpdate && !row.offeredVulnerabilities.empty()) {
            flag = Cell(localized("table.vulnerable"), Tone::Yellow);
        } else if (row.isSecurityUpdate) {
            flag = Cell(localized("scan.table.security"), Tone::Yellow);
        } else if (row.hasUpdate && row.provenanceLost) {
            flag = Cell(localized("table.provenance_lost"), Tone::Yellow);
        } else if (row.releaseAge && row.releaseAge->verdict == ReleaseAgeVerdict::AgeUnknown && !row.releaseAge->holdsBack()) {
            flag = Cell(localized("table.age_unknown"), Tone::Yellow);
        }
        text.add({oneLine(row.name), installed, latest, Cell(oneLine(row.source), Tone::Dim), flag,
                  oneLine(actionText(row, model.actionStates[i]))},
                 note);
    }
    return text.render(style, layout.width);
}

std::string renderHiddenCounts(const UpdatesTable& table, long long minimumReleaseAgeDays, const Style& style) {
    std::string out;
    const std::size_t held = table.model->heldBackCount;
    if (held > 0) {
        out += style.dim(localized(held == 1 ? "table.held_back_one" : "table.held_back",
                                   {std::to_string(held), std::to_string(minimumReleaseAgeDays)}));
        out += '\n';
    }
    if (table.model->hiddenCount > 0) {
        out += style.dim(localized("table.hidden", {std::to_string(table.model->hiddenCount)}));
        out += '\n';
    }
    return out;
}

void writeRowsJson(JsonWriter& writer, const UpdatesTable& table, const std::vector<SourceScanState>& states) {
    const AllUpdatesDisplayModel& model = *table.model;
    writer.beginArray();
    for (std::size_t i = 0; i < model.size(); ++i) {
        const AllUpdateRow& row = model.row(i);
        const AllUpdateRowActionState& state = model.actionStates[i];
        writer.beginObject();
        writer.key("id").string(row.shortId);
        writer.key("kind").string(rawValue(row.kind));
        writer.key("name").string(row.name);
        writer.key("source").string(row.sourceId);
        writer.key("sourceName").string(row.source);
        writer.key("version").string(row.currentVersion);
        if (row.latestVersion) writer.key("latestVersion").string(*row.latestVersion);
        writer.key("updateAvailable").boolean(row.hasUpdate);
        writer.key("isSecurityUpdate").boolean(row.isSecurityUpdate);
        if (row.releaseAge) writer.key("releaseAge").value(releaseAgeJson(*row.releaseAge));
        if (row.hasUpdate && (!row.fixedVulnerabilities.empty() || !row.offeredVulnerabilities.empty())) {
            writer.key("vulnerabilities").beginObject();
            writer.key("fixed").beginArray();
            for (const std::string& id : row.fixedVulnerabilities) writer.string(id);
            writer.endArray();
            writer.key("offered").beginArray();
            for (const std::string& id : row.offeredVulnerabilities) writer.string(id);
            writer.endArray();
            writer.endObject();
        }
        if (row.hasUpdate && row.provenanceLost) writer.key("provenanceLost").boolean(true);
        if (table.filter) {
            writer.key("reasons").beginArray();
            for (const std::string& code : reasonCodesFor(row, *table.filter, reasonFactsFor(row, states))) {
                writer.string(code);
            }
            writer.endArray();
        }
        writer.key("action").beginObject();
        writer.key("isUpdateable").boolean(state.isUpdateable);
        writer.key("isManualPackage").boolean(state.isManualPackage);
        writer.key("isManualApplication").boolean(state.isManualApplication);
        if (state.terminalCommand) writer.key("terminalCommand").string(*state.terminalCommand);
        if (state.manualDownloadURL) writer.key("manualDownloadURL").string(*state.manualDownloadURL);
        writer.key("text").string(actionText(row, state));
        writer.endObject();
        if (row.bundlePath) writer.key("bundlePath").string(*row.bundlePath);
        writer.endObject();
    }
    writer.endArray();
}

void reportUnresolved(const std::string& verb, const std::string& argument,
                      const std::vector<const AllUpdateRow*>& matches) {
    if (matches.empty()) {
        std::fprintf(stderr, "vantreel %s: %s\n", verb.c_str(), localized("resolve.none", {argument}).c_str());
        return;
    }
    std::fprintf(stderr, "vantreel %s: %s\n", verb.c_str(), localized("resolve.several", {argument}).c_str());
    for (const AllUpdateRow* row : matches) {
        std::fprintf(stderr, "  %s  (%s)\n", row->shortId.c_str(), oneLine(row->source).c_str());
    }
}

ReasonFacts reasonFactsFor(const AllUpdateRow& row, const std::vector<SourceScanState>& states) {
    Context& context = Context::shared();
    ReasonFacts facts;
    facts.sourceHidden = row.toggle && !context.settings().isVisible(*row.toggle);
    if (row.hasUpdate && (!row.fixedVulnerabilities.empty() || !row.offeredVulnerabilities.empty())) {
        facts.vulnerabilityDetails = VulnerabilityDetailCache(VulnerabilityDetailCache::defaultFile()).load();
    }
    if (!row.packageType) return facts;
    for (const SourceRow& source : ManagerRegistry::sources()) {
        if (std::find(source.types.begin(), source.types.end(), *row.packageType) == source.types.end()) continue;
        for (const SourceScanState& state : states) {
            if (state.id != source.id) continue;
            facts.sourceFailure = state.failure;
            facts.latestKnown = state.latestKnown;
        }
        break;
    }
    return facts;
}

std::string shownId(const IgnoredItem& item, const std::vector<AllUpdateRow>& rows) {
    for (const AllUpdateRow& row : rows) {
        if (row.id == item.id) return row.shortId;
    }
    const std::string& key = item.settingsIdentifier.value_or(item.id);
    return AllUpdatesRowBuilder(ManagerRegistry::sources()).shortIdOfLegacyKey(key).value_or(key);
}

std::vector<const AllUpdateRow*> resolveRows(const std::string& argument, const std::vector<AllUpdateRow>& rows) {
    std::vector<const AllUpdateRow*> byId, byName, byBundle;
    const std::string lower = toLower(trimView(argument));
    for (const AllUpdateRow& row : rows) {
        if (row.shortId == lower || row.id == argument || row.id == lower) byId.push_back(&row);
        if (toLower(row.name) == lower) byName.push_back(&row);
        if (!row.bundleIdentifier.empty() && toLower(row.bundleIdentifier) == lower) byBundle.push_back(&row);
    }
    if (!byId.empty()) return byId;
    return byName.empty() ? byBundle : byName;
}

}  // namespace vt::cli
