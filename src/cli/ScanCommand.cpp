#include "cli/ScanCommand.hpp"

#include <cstdio>
#include <memory>

#include <CLI/CLI.hpp>

#include "base/Json.hpp"
#include "base/Localization.hpp"
#include "base/Paths.hpp"
#include "cli/Context.hpp"
#include "cli/Output.hpp"
#include "cli/Onboarding.hpp"
#include "cli/ResultsView.hpp"
#include "cli/ScanView.hpp"
#include "cli/Signals.hpp"
#include "core/PackageCoordinator.hpp"
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
    bool automatic = false;
    bool full = false;
};

Json metadataJson(const RefreshResult& result, RefreshMode mode, const ScanReport& report) {
    Json meta = Json::object();
    meta["date"] = toReferenceSeconds(Clock::shared().now());
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

void printReport(ScanReport& report, const ScanArguments& arguments) {
    attachTable(report, TableRequest{arguments.all, arguments.search, arguments.source});
    if (arguments.json) {
        printReportJson(report, jsonIndentForStandardOutput(), stdout);
        return;
    }
    Style style = Style::forStream(stdout);
    std::string table = renderTable(report, style);
    if (!table.empty()) std::printf("%s\n", table.c_str());
    std::fputs(renderSummary(report, style).c_str(), stdout);
}

int scan(RefreshMode mode, const ScanArguments& arguments, const GlobalOptions& options) {
    if (!ensureTermsAccepted(options.acceptTerms)) return kExitFailure;
    Context& context = Context::shared();
    if (mode == RefreshMode::Manual &&
        context.defaults().boolValue(PackageCoordinator::kPendingPostOnboardingScan).value_or(false)) {
        mode = RefreshMode::FirstLaunchAfterOnboarding;
    }
    PackageCoordinator& coordinator = context.coordinator();
    Style progressStyle = Style::forStream(stderr);
    InterruptWatcher watcher([&coordinator] { coordinator.cancelRefresh(); });
    {
        ScanView view(context.progress(), progressStyle);
        view.start();
        // A plain `scan` reuses an inventory younger than the cache lifetime (its update checks
        // still run): scripts and people run it again and again. --full always lists anew.
        std::optional<bool> force;
        if (mode == RefreshMode::Manual) force = arguments.full;
        coordinator.refreshAll(mode, force);
        view.finish();
    }
    std::optional<RefreshResult> result = coordinator.lastResult();
    if (!result) {
        if (watcher.wasInterrupted()) {
            std::fprintf(stderr, "%s\n", localized("refresh.cancelled").c_str());
            return kExitFailure;
        }
        const bool updating = coordinator.isUpdateInProgress();
        if (arguments.json) {
            // Schedulers read the JSON whatever happened: the saved results, and why no scan ran.
            ScanReport report = makeReport(coordinator.offeredPackages(), ScanProgressSnapshot{},
                                           context.settings().showPreReleaseUpdates());
            applySourceStates(report, coordinator.sourceStates());
            addApplications(report);
            Json meta = Json::object();
            meta["mode"] = std::string(toString(mode));
            meta["skipped"] = true;
            meta["reason"] = updating ? "update in progress" : "recent scan already completed";
            meta["itemCount"] = report.packages.size() + report.applications.size();
            report.metadata = std::move(meta);
            printReport(report, arguments);
        } else if (updating) {
            std::printf("An update is in progress; the scan was skipped.\n");
        } else {
            std::printf("A scan completed recently; nothing to do.\n");
        }
        return kExitSuccess;
    }
    if (result->cancelled) {
        std::fprintf(stderr, "%s\n", localized("refresh.cancelled").c_str());
        return kExitFailure;
    }
    ScanReport report = makeReport(coordinator.offeredPackages(result->allPackages()),
                                   context.progress().snapshot(),
                                   context.settings().showPreReleaseUpdates());
    applySourceStates(report, coordinator.sourceStates());
    addApplications(report);
    report.durationSeconds = result->durationSeconds;
    report.metadata = metadataJson(*result, mode, report);
    printReport(report, arguments);
    return kExitSuccess;
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

void addScanCommand(CLI::App& app, int* exitCode, const GlobalOptions* options) {
    auto* command = app.add_subcommand("scan", "Scan this machine and show every pending update");
    auto arguments = std::make_shared<ScanArguments>();
    command->add_flag("--all", arguments->all, "Show every item, not only pending updates");
    command->add_flag("--json", arguments->json, "Print the results as JSON");
    command->add_flag("--automatic", arguments->automatic, "Scan only when the last scan is old enough (schedulers)");
    command->add_flag("--full", arguments->full, "List every source anew, even when the last scan is recent");
    command->add_option("--search", arguments->search, "Show only the rows whose name, source or id contains TEXT");
    command->add_option("--source", arguments->source, "Show only the rows of one source (its SOURCE column)");
    command->callback([arguments, exitCode, options] {
        *exitCode = scan(arguments->automatic ? RefreshMode::Automatic : RefreshMode::Manual, *arguments, *options);
    });
}

int runLaunch(const GlobalOptions& options) {
    if (paths::environmentValue("VT_DISABLE_SCAN_ON_LAUNCH") == std::optional<std::string>("1")) {
        ScanArguments arguments;
        ScanReport report = makeReport(Context::shared().coordinator().offeredPackages(), Context::shared().progress().snapshot(),
                                       Context::shared().settings().showPreReleaseUpdates());
        applySourceStates(report, Context::shared().coordinator().sourceStates());
        addApplications(report);
        printReport(report, arguments);
        return kExitSuccess;
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
