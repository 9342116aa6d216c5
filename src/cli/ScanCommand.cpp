#include "cli/ScanCommand.hpp"

#include <algorithm>
#include <cstdio>
#include <memory>

#include <CLI/CLI.hpp>

#include "base/Json.hpp"
#include "base/Localization.hpp"
#include "base/Paths.hpp"
#include "cli/CommandOptions.hpp"
#include "cli/Consent.hpp"
#include "cli/Context.hpp"
#include "cli/Output.hpp"
#include "cli/Onboarding.hpp"
#include "cli/ResultsView.hpp"
#include "cli/ScanView.hpp"
#include "cli/Signals.hpp"
#include "cli/TextTable.hpp"
#include "core/PackageCoordinator.hpp"
#include "core/RefreshCoordinator.hpp"
#include "core/ScanProgressModel.hpp"
#include "core/ScanResultsPersistence.hpp"
#include "settings/DefaultsStore.hpp"
#include "settings/SettingsManager.hpp"
#include "sources/inventory/ApplicationManager.hpp"
#include "sources/macos/SoftwareUpdateManager.hpp"

namespace vt::cli {

namespace {

struct ScanArguments {
    bool all = false;
    bool json = false;
    std::string search;
    std::string source;
    SourceOptions sources;
    bool exitCode = false;
    bool automatic = false;
    bool full = false;
};

Json metadataJson(const RefreshResult& result, RefreshMode mode, const ScanReport& report) {
    Json meta = Json::object();
    meta["date"] = jsonDate(Clock::shared().now());
    meta["mode"] = std::string(toString(mode));
    meta["fullScan"] = result.fullScan;
    meta["cacheReason"] = result.cacheReason;
    meta["durationSeconds"] = result.durationSeconds;
    meta["cancelled"] = result.cancelled;
    meta["interrupted"] = result.interrupted;
    meta["itemCount"] = report.packages.size() + report.applications.size();
    std::size_t applicationUpdates = 0;
    for (const Application& application : report.applications) {
        applicationUpdates += hasUpdate(application, report.allowPreRelease) ? 1 : 0;
    }
    meta["updateCount"] = result.updateCount(report.allowPreRelease) + applicationUpdates;
    return meta;
}

// Prints the report; the exit status --exit-code asks for, else 0.
int printReport(ScanReport& report, const ScanArguments& arguments, const SourceSelection& selection, bool quiet) {
    attachTable(report, TableRequest{arguments.all, arguments.search, arguments.source, selection});
    if (!arguments.source.empty() && !report.table->namesASource(arguments.source)) {
        std::fprintf(stderr, "vantreel scan: %s\n", localized("table.source_unknown", {arguments.source}).c_str());
        return kExitUsage;
    }
    if (arguments.json) {
        printReportJson(report, jsonIndentForStandardOutput(), stdout);
    } else {
        Style style = Style::forStream(stdout);
        std::string table = renderTable(report, style, outputWidth(), !quiet);
        if (!table.empty()) std::printf("%s\n", table.c_str());
        std::fputs(renderSummary(report, style, !quiet).c_str(), stdout);
    }
    return arguments.exitCode ? reportExitCode(report) : kExitSuccess;
}

// The saved results, when no scan ran: what schedulers and scripts read whatever happened.
ScanReport savedReport() {
    Context& context = Context::shared();
    PackageCoordinator& coordinator = context.coordinator();
    ScanReport report =
        makeReport(coordinator.offeredPackages(), ScanProgressSnapshot{}, context.settings().showPreReleaseUpdates());
    applySourceStates(report, coordinator.sourceStates());
    report.vulnerabilityCheckFailure = coordinator.vulnerabilityCheckFailure();
    addApplications(report);
    return report;
}

int scan(RefreshMode mode, const ScanArguments& arguments, const GlobalOptions& options) {
    if (arguments.automatic && arguments.full) {
        std::fprintf(stderr, "vantreel scan: %s\n", localized("scan.automatic_or_full").c_str());
        return kExitUsage;
    }
    std::optional<SourceSelection> selection = arguments.sources.selection("scan");
    if (!selection) return kExitUsage;
    if (!ensureTermsAccepted(options.acceptTerms)) return kExitFailure;
    Context& context = Context::shared();
    if (mode == RefreshMode::Manual &&
        context.defaults().boolValue(PackageCoordinator::kPendingPostOnboardingScan).value_or(false)) {
        mode = RefreshMode::FirstLaunchAfterOnboarding;
    }
    PackageCoordinator& coordinator = context.coordinator();
    if (!selection->empty()) {
        context.refresh().setScannerSelection(
            [selection = *selection](const std::string& id) { return selection.includesScanner(id); });
    }
    InterruptWatcher watcher([&coordinator] { coordinator.cancelRefresh(); });
    {
        std::optional<ScanView> view;
        if (!options.quiet) {
            view.emplace(context.progress(), Style::forStream(stderr));
            view->start();
        }
        // A plain `scan` reuses an inventory younger than the cache lifetime (its update checks
        // still run): scripts and people run it again and again. --full always lists anew.
        std::optional<bool> force;
        if (mode == RefreshMode::Manual) force = arguments.full;
        coordinator.refreshAll(mode, force);
        if (view) view->finish();
    }
    std::optional<RefreshResult> result = coordinator.lastResult();
    if (!result) {
        if (watcher.wasInterrupted()) {
            std::fprintf(stderr, "%s\n", localized("refresh.cancelled").c_str());
            return kExitInterrupted;
        }
        const bool updating = coordinator.isUpdateInProgress();
        if (arguments.json || arguments.exitCode) {
            ScanReport report = savedReport();
            Json meta = Json::object();
            meta["mode"] = std::string(toString(mode));
            meta["skipped"] = true;
            meta["reason"] = updating ? "update in progress" : "recent scan already completed";
            meta["itemCount"] = report.packages.size() + report.applications.size();
            report.metadata = std::move(meta);
            if (!arguments.json) {
                attachTable(report, TableRequest{arguments.all, arguments.search, arguments.source, *selection});
                return reportExitCode(report);
            }
            return printReport(report, arguments, *selection, options.quiet);
        }
        if (!options.quiet) {
            std::printf("%s\n", localized(updating ? "scan.skipped.updating" : "scan.skipped.recent").c_str());
        }
        return kExitSuccess;
    }
    if (result->cancelled) {
        std::fprintf(stderr, "%s\n", localized("refresh.cancelled").c_str());
        return watcher.wasInterrupted() ? kExitInterrupted : kExitFailure;
    }
    ScanReport report = makeReport(coordinator.offeredPackages(result->allPackages()),
                                   context.progress().snapshot(),
                                   context.settings().showPreReleaseUpdates());
    applySourceStates(report, coordinator.sourceStates());
    report.vulnerabilityCheckFailure = coordinator.vulnerabilityCheckFailure();
    addApplications(report);
    report.durationSeconds = result->durationSeconds;
    report.metadata = metadataJson(*result, mode, report);
    // A source --only names that did not run (not on this machine, or turned off) says
    // nothing about its updates: "up to date" would be a claim about it.
    for (const std::string& name : selection->only()) {
        const SourceSelection one = SourceSelection::parse({name}, {});
        const bool ran = std::any_of(report.scanners.begin(), report.scanners.end(),
                                     [&](const Json& scanner) { return one.includesScanner(scanner.value("source", "")); });
        if (ran) continue;
        report.sourcesNotRun.push_back(name);
        std::fprintf(stderr, "vantreel scan: %s\n", localized("scan.source_not_run", {name}).c_str());
    }
    const int status = printReport(report, arguments, *selection, options.quiet);
    return !report.sourcesNotRun.empty() && arguments.exitCode && status == kExitSuccess ? kExitSourceFailed : status;
}

}  // namespace

void addApplications(ScanReport& report) {
    Context& context = Context::shared();
    if (context.settings().isVisible(ManagerToggleKey::ShowSoftwareUpdate)) {
        // A scan's own list when it ran the tool, else the one the last scan saved.
        report.systemUpdates = context.systemUpdates().updates();
        if (report.systemUpdates.empty()) report.systemUpdates = context.systemUpdates().cachedUpdates();
    }
    if (!context.settings().isVisible(ManagerToggleKey::ShowInstalledApplications)) return;
    report.applications = context.applications().applications();
    report.sparkleApps = SparkleManager::shared().apps();
    if (report.sparkleApps.empty()) report.sparkleApps = SparkleManager::load(ScanResultsPersistence::defaultFolder());
}

void addTableOptions(CLI::App& command, bool& all, std::string& search, std::string& source) {
    command.add_flag("--all", all, localized("help.option.all"));
    command.add_option("--search", search, localized("help.option.search"))->type_name("TEXT");
    command.add_option("--source", source, localized("help.option.source"))->type_name("NAME");
}

void addScanCommand(CLI::App& app, int* exitCode, const GlobalOptions* options) {
    auto* command = app.add_subcommand("scan", localized("help.scan"));
    auto arguments = std::make_shared<ScanArguments>();
    addTableOptions(*command, arguments->all, arguments->search, arguments->source);
    arguments->sources.addTo(*command);
    command->add_flag("--json", arguments->json, localized("help.option.json"));
    command->add_flag("--exit-code", arguments->exitCode, localized("help.option.exit_code"));
    command->add_flag("--automatic", arguments->automatic, localized("help.option.automatic"));
    command->add_flag("--full", arguments->full, localized("help.option.full"));
    setExamples(*command, {"vantreel scan", "vantreel scan --only npm,pip --json", "vantreel scan --exit-code --quiet"});
    command->callback([arguments, exitCode, options] {
        *exitCode = scan(arguments->automatic ? RefreshMode::Automatic : RefreshMode::Manual, *arguments, *options);
    });
}

int runLaunch(const GlobalOptions& options) {
    if (paths::environmentValue("VT_DISABLE_SCAN_ON_LAUNCH") == std::optional<std::string>("1")) {
        ScanReport report = savedReport();
        return printReport(report, ScanArguments{}, SourceSelection{}, options.quiet);
    }
    return scan(RefreshMode::OnLaunch, ScanArguments{}, options);
}

int runMenuBarScan(const GlobalOptions& options) { return scan(RefreshMode::Manual, ScanArguments{}, options); }

std::optional<std::size_t> automaticScanUpdateCount() {
    Context& context = Context::shared();
    PackageCoordinator& coordinator = context.coordinator();
    InterruptWatcher watcher([&coordinator] { coordinator.cancelRefresh(); });
    coordinator.refreshAll(RefreshMode::Automatic);
    std::optional<RefreshResult> result = coordinator.lastResult();
    // A scan cut short would store a count too low, and the next one would announce
    // updates that are not new.
    if (!result || result->cancelled || result->interrupted) return std::nullopt;
    const bool preRelease = context.settings().showPreReleaseUpdates();
    std::size_t count = result->updateCount(preRelease);
    if (context.settings().isVisible(ManagerToggleKey::ShowInstalledApplications)) {
        for (const Application& application : context.applications().applications()) {
            count += hasUpdate(application, preRelease) ? 1 : 0;
        }
    }
    return count;
}

}  // namespace vt::cli
