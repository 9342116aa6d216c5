#include "cli/AutomationCommands.hpp"

#include <cstdint>
#include <cstdio>
#include <memory>

#include <CLI/CLI.hpp>

#include "base/Localization.hpp"
#include "cli/CommandOptions.hpp"
#include "cli/Context.hpp"
#include "cli/Onboarding.hpp"
#include "cli/Output.hpp"
#include "cli/ScanCommand.hpp"
#include "cli/Signals.hpp"
#include "cli/UpdatesTable.hpp"
#include "core/PackageCoordinator.hpp"
#include "core/RefreshCoordinator.hpp"
#include "core/ScanResultsPersistence.hpp"

namespace vt::cli {

namespace {

struct CountArguments {
    bool json = false;
    bool exitCode = false;
    SourceOptions sources;
};

// What is pending in the saved results, as the table counts it.
struct Pending {
    std::size_t updates = 0;
    std::size_t security = 0;
    std::vector<std::string> failedSources;
    std::vector<std::string> latestVersionsUnknown;
    std::vector<std::string> unreadableFiles;  // of the saved results: their items are not counted
    std::optional<Clock::TimePoint> scanDate;
};

Pending pendingNow(const SourceSelection& selection) {
    Context& context = Context::shared();
    // A count after a scan must not come from a table cached before it.
    AllUpdatesSnapshot snapshot = savedSnapshot();
    snapshot.packagesRevision = freshRevision();
    TableRequest request;
    request.selection = selection;
    const UpdatesTable table = buildUpdatesTable(snapshot, request);
    Pending pending;
    for (std::size_t i = 0; i < table.model->size(); ++i) {
        const AllUpdateRow& row = table.model->row(i);
        if (!row.hasUpdate) continue;
        ++pending.updates;
        pending.security += row.isSecurityUpdate ? 1 : 0;
    }
    for (const SourceScanState& state : context.coordinator().sourceStates()) {
        if (!selection.includesScanner(state.id)) continue;
        if (state.failure) pending.failedSources.push_back(state.id);
        if (!state.failure && state.latestVersionsUnknown) pending.latestVersionsUnknown.push_back(state.id);
    }
    if (auto metadata = context.persistence().loadMetadata()) pending.scanDate = metadata->lastScanDate;
    pending.unreadableFiles = context.unreadableResults();
    return pending;
}

// As the table's: what is known to be pending first, then what could not be learned.
int statusOf(const Pending& pending) {
    if (pending.security > 0) return kExitSecurityPending;
    if (pending.updates > 0) return kExitUpdatesPending;
    if (!pending.failedSources.empty() || !pending.latestVersionsUnknown.empty() || !pending.unreadableFiles.empty()) {
        return kExitSourceFailed;
    }
    return kExitSuccess;
}

int printPending(const Pending& pending, const CountArguments& arguments) {
    if (arguments.json) {
        Json document = jsonDocument();
        document["pendingCount"] = pending.updates;
        document["securityCount"] = pending.security;
        document["failedSources"] = pending.failedSources;
        document["latestVersionsUnknown"] = pending.latestVersionsUnknown;
        if (!pending.unreadableFiles.empty()) document["unreadableFiles"] = pending.unreadableFiles;
        document["lastScan"] = pending.scanDate ? Json(jsonDate(*pending.scanDate)) : Json();
        std::printf("%s\n", dumpJson(document, jsonIndentForStandardOutput()).c_str());
    } else {
        std::printf("%zu\n", pending.updates);
    }
    return arguments.exitCode ? statusOf(pending) : kExitSuccess;
}

int checkUpdates(const CountArguments& arguments, const GlobalOptions& options) {
    std::optional<SourceSelection> selection = arguments.sources.selection("check-updates");
    if (!selection) return kExitUsage;
    if (!ensureTermsAccepted(options.acceptTerms)) return kExitFailure;
    Context& context = Context::shared();
    PackageCoordinator& coordinator = context.coordinator();
    if (!selection->empty()) {
        context.refresh().setScannerSelection(
            [selection = *selection](const std::string& id) { return selection.includesScanner(id); });
    }
    InterruptWatcher watcher([&coordinator] { coordinator.cancelRefresh(); });
    coordinator.refreshAll(RefreshMode::Manual);
    if (watcher.wasInterrupted()) return kExitFailure;
    return printPending(pendingNow(*selection), arguments);
}

int outdatedCount(const CountArguments& arguments) {
    std::optional<SourceSelection> selection = arguments.sources.selection("outdated-count");
    if (!selection) return kExitUsage;
    // No scan yet is not "nothing pending": nothing is known.
    if (!Context::shared().persistence().loadMetadata()) {
        if (arguments.json) {
            Json document = jsonDocument();
            document["pendingCount"] = nullptr;
            document["lastScan"] = nullptr;
            std::printf("%s\n", dumpJson(document, jsonIndentForStandardOutput()).c_str());
        }
        std::fprintf(stderr, "vantreel outdated-count: %s\n", localized("automation.no_scan_yet").c_str());
        return kExitSourceFailed;
    }
    return printPending(pendingNow(*selection), arguments);
}

void addCountOptions(CLI::App& command, CountArguments& arguments) {
    command.add_flag("--json", arguments.json, localized("help.option.json"));
    command.add_flag("--exit-code", arguments.exitCode, localized("help.option.exit_code"));
    arguments.sources.addTo(command);
}

}  // namespace

void addAutomationCommands(CLI::App& app, int* exitCode, const GlobalOptions* options) {
    auto checkArguments = std::make_shared<CountArguments>();
    auto* check = app.add_subcommand("check-updates", localized("help.check_updates"));
    addCountOptions(*check, *checkArguments);
    setExamples(*check, {"vantreel check-updates", "vantreel check-updates --exit-code --only apt"});
    check->callback([checkArguments, exitCode, options] { *exitCode = checkUpdates(*checkArguments, *options); });

    auto countArguments = std::make_shared<CountArguments>();
    auto* count = app.add_subcommand("outdated-count", localized("help.outdated_count"));
    addCountOptions(*count, *countArguments);
    setExamples(*count, {"vantreel outdated-count", "vantreel outdated-count --json"});
    count->callback([countArguments, exitCode] { *exitCode = outdatedCount(*countArguments); });
}

}  // namespace vt::cli
