#include "cli/UpdateCommand.hpp"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "base/Json.hpp"
#include "base/Localization.hpp"
#include "base/Strings.hpp"
#include "cli/CommandOptions.hpp"
#include "cli/Context.hpp"
#include "cli/Onboarding.hpp"
#include "cli/Output.hpp"
#include "cli/ScanCommand.hpp"
#include "cli/Signals.hpp"
#include "cli/Terminal.hpp"
#include "cli/UpdateAllCommand.hpp"
#include "cli/UpdateOutcomes.hpp"
#include "cli/SparkleUpdate.hpp"
#include "cli/UpdateJson.hpp"
#include "cli/Consent.hpp"
#include "cli/UpdatePlanView.hpp"
#include "cli/UpdatesTable.hpp"
#include "core/ManagerRegistry.hpp"
#include "presentation/AllUpdatesRowBuilder.hpp"
#include "core/PackageCoordinator.hpp"
#include "model/VersionRules.hpp"
#include "sources/inventory/ApplicationManager.hpp"
#include "sources/appstore/MacAppStoreUpdateCoordinator.hpp"
#include "sources/appstore/MasCliManager.hpp"
#include "system/CommandRunner.hpp"
#include "presentation/AutoDeferralStore.hpp"
#include "sources/macos/SoftwareUpdateManager.hpp"
#include "settings/DefaultsStore.hpp"
#include "updates/GitHubInstallerService.hpp"

namespace vt::cli {

namespace {

struct UpdateArguments {
    std::vector<std::string> items;
    bool json = false;
    bool all = false;
    UpdateAllArguments batch;  // its change flags and report serve named items too
};

// The inventory items an argument names: its short id or stable key, else every item of that name.
std::vector<Package> resolve(const std::string& argument, const std::vector<Package>& inventory) {
    std::vector<Package> byKey, byName;
    std::string lower = toLower(argument);
    const AllUpdatesRowBuilder ids(ManagerRegistry::sources());
    for (const Package& package : inventory) {
        if (stableKey(package) == lower || ids.shortId(package) == lower) byKey.push_back(package);
        if (toLower(package.name) == lower) byName.push_back(package);
    }
    return byKey.empty() ? byName : byKey;
}

// An App Store application of the last scan named by its name, bundle identifier or item
// identifier.
std::optional<Application> storeApplication(const std::string& argument) {
    std::string lower = toLower(argument);
    for (const Application& application : Context::shared().applications().applications()) {
        if (application.updateMechanism != UpdateMechanism::MacAppStore || !application.appStoreID) continue;
        if (toLower(application.name) == lower || toLower(application.bundleIdentifier) == lower ||
            *application.appStoreID == argument) {
            return application;
        }
    }
    return std::nullopt;
}

// `mas upgrade` for one application; true when it was updated.
bool updateFromStore(const Application& application, bool json, Json& report) {
    MacAppStoreUpdateCoordinator coordinator(MacAppStoreUpdateCoordinator::Options{
        .mas = &Context::shared().mas(), .runner = &CommandRunner::shared()});
    Style out = Style::forStream(stdout);
    Json entry = {{"name", application.name}, {"appStoreID", *application.appStoreID}};
    bool updated = false;
    try {
        MacAppStoreUpdateCoordinator::Outcome outcome = coordinator.update(
            {*application.appStoreID, application.name, application.bundlePath, application.version,
             application.latestVersion});
        if (outcome.openedInAppStore) {
            entry["success"] = false;
            entry["openedInAppStore"] = true;
            if (!json) {
                // No store application here to open: the user is told where to go.
                std::printf("%s\n", localized("update.open_app_store", {application.name,
                                                                       MacAppStoreUpdateCoordinator::kUpdatesPageAddress})
                                         .c_str());
                if (!Context::shared().mas().isInstalled()) {
                    std::printf("%s\n", localized("update.install_mas", {MasCliManager::kInstallCommand}).c_str());
                }
            }
        } else {
            updated = true;
            entry["success"] = true;
            entry["newVersion"] = *outcome.newVersion;
            if (!json) {
                std::printf("%s\n", out.green(localized("update.item_success",
                                                         {application.name, displayVersion(application.version),
                                                          displayVersion(*outcome.newVersion)}))
                                         .c_str());
            }
        }
    } catch (const MacAppStoreUpdateError& error) {
        entry["success"] = false;
        entry["error"] = error.what();
        if (!json) std::printf("%s\n", out.red(localized("update.item_failed", {application.name, error.what()})).c_str());
    }
    report.push_back(std::move(entry));
    return updated;
}

}  // namespace

namespace {

// An update the operating system offers, installed by its tool's label; true when installed.
bool installSystemUpdate(const SoftwareUpdate& update, bool json, Json& report) {
    std::stop_source stop;
    InterruptWatcher watcher([&stop] { stop.request_stop(); });
    Style out = Style::forStream(stdout);
    Json entry = {{"name", update.name}, {"id", shellSafeId("macos", update.id)}};
    int shownPercent = -1;
    auto progress = [&](double fraction, const std::string& status) {
        const int percent = static_cast<int>(fraction * 100);
        if (json || percent == shownPercent) return;
        shownPercent = percent;
        std::fprintf(stderr, "%s %d %%\n", status.c_str(), percent);
    };
    bool installed = false;
    try {
        Context::shared().systemUpdates().install(update, progress, stop.get_token());
        installed = true;
        entry["success"] = true;
        if (!json) {
            std::printf("%s\n", out.green(localized("update.item_success", {update.name, "-", update.version})).c_str());
        }
    } catch (const std::exception& error) {
        // SoftwareUpdateError says what went wrong; a stop is the cancellation the user asked for.
        entry["success"] = false;
        entry["error"] = error.what();
        if (!json) std::printf("%s\n", out.red(localized("update.item_failed", {update.name, error.what()})).c_str());
    }
    report.push_back(std::move(entry));
    return installed;
}

// Releases whose direct install failed in a way a retry cannot mend, by bundle path: the
// application is updated by hand until a newer release appears.
constexpr const char* kDirectInstallDisabledKey = "GitHubDirectInstallDisabledVersions";

// Shows the installer's phases: a progress bar redrawn in place on a terminal, one line per
// phase otherwise.
class InstallProgressView {
public:
    explicit InstallProgressView(bool quiet) : quiet_(quiet), style_(Style::forStream(stderr)) {}
    ~InstallProgressView() { finishLine(); }

    void show(const GitHubInstallProgress& progress) {
        if (quiet_) return;
        const bool downloading = progress.phase == GitHubInstallPhase::Downloading && progress.bytesDownloaded;
        if (downloading && style_.isTerminal) {
            constexpr int kWidth = 30;
            const int filled = static_cast<int>(progress.progress * kWidth);
            std::string bar = "\r" + localized("update.download_bar") + " [" + std::string(static_cast<std::size_t>(filled), '#') +
                              std::string(static_cast<std::size_t>(kWidth - filled), ' ') + "] " +
                              std::to_string(static_cast<int>(progress.progress * 100)) + " %";
            std::fputs(bar.c_str(), stderr);
            std::fflush(stderr);
            barShown_ = true;
            return;
        }
        if (downloading) return;  // a pipe gets the phases, not every percent
        finishLine();
        std::fprintf(stderr, "%s\n", style_.dim(progress.message).c_str());
    }

private:
    void finishLine() {
        if (barShown_) std::fputs("\n", stderr);
        barShown_ = false;
    }
    bool quiet_;
    Style style_;
    bool barShown_ = false;
};

// The checksum the last scan found for the application's download, when the row still
// offers that download.
std::optional<std::string> checksumOf(const std::string& bundlePath, const std::optional<std::string>& downloadURL) {
    for (const Application& application : Context::shared().applications().applications()) {
        if (application.bundlePath == bundlePath && application.downloadURL == downloadURL) return application.downloadSHA256;
    }
    return std::nullopt;
}

// Installs the newest release asset of an application tracked through GitHub over the
// installed bundle; true when installed.
bool installFromGitHub(const AllUpdateRow& row, bool json, Json& report) {
    Style out = Style::forStream(stdout);
    Json entry = {{"name", row.name}, {"id", row.shortId}};
    DefaultsStore& defaults = Context::shared().defaults();
    const std::string latest = row.latestVersion.value_or("");
    const Json disabled = defaults.object(kDirectInstallDisabledKey).value_or(Json::object());
    const std::string bundlePath = row.bundlePath.value_or("");
    if (disabled.contains(bundlePath) && disabled[bundlePath].is_string() && disabled[bundlePath].get<std::string>() == latest) {
        std::string message = localized("update.direct_install_disabled", {latest, row.downloadURL.value_or("")});
        entry["success"] = false;
        entry["error"] = message;
        if (!json) std::printf("%s\n", out.red(localized("update.item_failed", {row.name, message})).c_str());
        report.push_back(std::move(entry));
        return false;
    }
    std::stop_source stop;
    InterruptWatcher watcher([&stop] { stop.request_stop(); });
    GitHubInstallerService service(GitHubInstallerService::Options{
        .network = &Context::shared().network(),
        .runner = &CommandRunner::shared(),
        .privileged = &Context::shared().privilegedOperations(),
        .tools = InstallTools::fromEnvironment(),
        .confirmReplaceRunning = replaceRunningConsent(json),
    });
    GitHubInstallRequest request{row.name, bundlePath, repositoryOfAsset(row.downloadURL.value_or("")), row.downloadURL,
                                 latest, checksumOf(bundlePath, row.downloadURL)};
    bool installed = false;
    try {
        GitHubInstallResult result;
        {
            InstallProgressView view(json);
            result = service.install(request, [&view](const GitHubInstallProgress& progress) { view.show(progress); },
                                     stop.get_token());
        }
        installed = true;
        entry["success"] = true;
        entry["newVersion"] = result.installedVersion;
        if (!json) {
            std::printf("%s\n", out.green(localized("update.item_success", {row.name, displayVersion(row.currentVersion),
                                                                              displayVersion(result.installedVersion)}))
                                     .c_str());
        }
    } catch (const GitHubInstallError& error) {
        if (disablesDirectInstall(error.description()) && !latest.empty()) {
            try {
                defaults.update([&](Json& object) {
                    Json& versions = object[kDirectInstallDisabledKey];
                    if (!versions.is_object()) versions = Json::object();
                    versions[bundlePath] = latest;
                });
            } catch (const std::exception&) {
                // Unwritable preferences: the failure itself is what the user reads.
            }
        }
        entry["success"] = false;
        entry["error"] = error.description();
        if (!json) std::printf("%s\n", out.red(localized("update.item_failed", {row.name, error.description()})).c_str());
    }
    report.push_back(std::move(entry));
    return installed;
}

// The items named on the command line, sorted by how each is updated.
struct NamedItems {
    std::vector<Package> packages;
    std::vector<Application> storeApps;
    std::vector<SoftwareUpdate> systemUpdates;
    std::vector<AllUpdateRow> gitHubRows;
    std::vector<Application> sparkleApps;

    // The applications and system updates, for the plan.
    std::vector<PlanExtra> planExtras() const {
        std::vector<PlanExtra> extras;
        const AllUpdatesRowBuilder rows(ManagerRegistry::sources());
        auto application = [&](const Application& app, const std::string& source) {
            const AllUpdateRow row = rows.applicationRow(app, false);
            extras.push_back({row.shortId, row.sourceId, source, app.name, app.version, app.latestVersion.value_or("?")});
        };
        for (const Application& app : storeApps) application(app, "Mac App Store");
        for (const SoftwareUpdate& update : systemUpdates) {
            const AllUpdateRow row = AllUpdatesRowBuilder::systemUpdateRow(update);
            extras.push_back({row.shortId, row.sourceId, "macOS", update.name, "-", update.version});
        }
        for (const AllUpdateRow& row : gitHubRows) {
            extras.push_back({row.shortId, row.sourceId, "GitHub Releases", row.name, row.currentVersion,
                              row.latestVersion.value_or("?")});
        }
        for (const Application& app : sparkleApps) application(app, "Sparkle");
        return extras;
    }
};

// Resolves every argument; prints why and returns the exit status when one cannot be.
std::optional<int> resolveItems(const std::vector<std::string>& arguments, NamedItems& named) {
    std::vector<Package> inventory = Context::shared().coordinator().offeredPackages();
    for (const std::string& argument : arguments) {
        std::vector<Package> matches = resolve(argument, inventory);
        if (matches.empty()) {
            if (std::optional<Application> application = storeApplication(argument)) {
                named.storeApps.push_back(std::move(*application));
                continue;
            }
            // A row of the table this program does not update: say how it is updated.
            const std::vector<AllUpdateRow> everything = everyRow(savedSnapshot());  // the matches point into it
            std::vector<const AllUpdateRow*> rows = resolveRows(argument, everything);
            if (rows.size() == 1 && rows.front()->kind == AllUpdateRow::Kind::Software) {
                for (const SoftwareUpdate& offered : Context::shared().systemUpdates().cachedUpdates()) {
                    if ("macos:" + offered.id == rows.front()->id) named.systemUpdates.push_back(offered);
                }
                continue;
            }
            if (rows.size() == 1 && rows.front()->kind == AllUpdateRow::Kind::Application &&
                rows.front()->toggle == ManagerToggleKey::ShowGitHub && rows.front()->downloadURL &&
                rows.front()->bundlePath) {
                named.gitHubRows.push_back(*rows.front());
                continue;
            }
            if (rows.size() == 1) {
                if (std::optional<Application> sparkle = sparkleApplication(*rows.front())) {
                    named.sparkleApps.push_back(std::move(*sparkle));
                    continue;
                }
                const AllUpdateRow& row = *rows.front();
                std::string how = row.downloadURL ? localized("update.how.download", {*row.downloadURL})
                                                  : localized("update.how.by_hand");
                std::fprintf(stderr, "vantreel update: %s\n", localized("update.not_ours", {row.name, how}).c_str());
                return kExitUsage;
            }
            reportUnresolved("update", argument, {});
            return kExitUsage;
        }
        if (matches.size() > 1) {
            std::fprintf(stderr, "vantreel update: %s\n", localized("resolve.several", {argument}).c_str());
            const AllUpdatesRowBuilder ids(ManagerRegistry::sources());
            for (const Package& match : matches) std::fprintf(stderr, "  %s\n", ids.shortId(match).c_str());
            return kExitUsage;
        }
        named.packages.push_back(matches.front());
    }
    return std::nullopt;
}

// The applications and system updates named, each through its own installer; false when
// one of them was not installed.
bool installNamedApplications(const NamedItems& named, bool json, Json& report) {
    bool failed = false;
    std::vector<std::string> replaced;  // the bundles an installer replaced
    auto installed = [&](bool updated, const std::string& bundlePath) {
        if (updated) replaced.push_back(bundlePath);
        failed |= !updated;
    };
    for (const Application& application : named.storeApps) {
        installed(updateFromStore(application, json, report), application.bundlePath);
    }
    for (const SoftwareUpdate& offered : named.systemUpdates) failed |= !installSystemUpdate(offered, json, report);
    for (const AllUpdateRow& row : named.gitHubRows) {
        installed(installFromGitHub(row, json, report), row.bundlePath.value_or(""));
    }
    for (const Application& app : named.sparkleApps) installed(updateSparkleApplication(app, json, report), app.bundlePath);
    Context::shared().recordInstalledApplications(replaced);
    return !failed;
}

void printResults(const std::vector<PackageUpdateResult>& results) {
    Style out = Style::forStream(stdout);
    for (const auto& result : results) {
        const Package& package = result.package;
        if (result.success) {
            std::string version = displayVersion(result.newVersion.value_or(package.latestVersion.value_or("?")));
            std::printf("%s\n", out.green(localized("update.item_success", {package.name, displayVersion(package.version), version}))
                                    .c_str());
        } else if (result.cancelled || result.skipped) {
            std::printf("%s\n", out.yellow(localized("update.item_not_done", {package.name, result.error.value_or("")})).c_str());
        } else {
            std::printf("%s\n", out.red(localized("update.item_failed", {package.name, result.error.value_or("")})).c_str());
        }
    }
}

int update(const UpdateArguments& arguments, const GlobalOptions& options) {
    if (!ensureTermsAccepted(options.acceptTerms)) return kExitFailure;
    NamedItems named;
    if (std::optional<int> refused = resolveItems(arguments.items, named)) return *refused;
    PackageCoordinator& coordinator = Context::shared().coordinator();
    const UpdatePlan plan = coordinator.planUpdates(named.packages);
    const std::vector<PlanExtra> extras = named.planExtras();
    const std::size_t count = plan.itemCount() + extras.size();
    // Asked for a version older than the one installed: refused, whatever else is done.
    const bool refusedBackwards = std::any_of(plan.leftOut.begin(), plan.leftOut.end(),
                                              [](const UpdatePlan::LeftOut& item) { return !item.upToDate; });
    const int nothingToDo = refusedBackwards ? kExitFailure : kExitSuccess;
    if (arguments.json && arguments.batch.change.dryRun) {
        std::printf("%s\n", dumpJson(planJson(plan, extras), jsonIndentForStandardOutput()).c_str());
        return count == 0 ? nothingToDo : kExitSuccess;
    }
    // With --json the results are the document; the plan is still shown, beside it.
    printPlan(arguments.json ? stderr : stdout, plan, extras);
    if (count == 0) return nothingToDo;
    const Consent consent =
        askConsent(arguments.batch.change, "update", localized("update_all.confirm", {std::to_string(count)}));
    if (consent != Consent::Go) return exitStatusOf(consent);

    Json report = Json::array();
    const bool applicationsInstalled = installNamedApplications(named, arguments.json, report);
    BatchUpdateResult batch;
    if (!plan.isEmpty()) {
        std::stop_source stop;
        InterruptWatcher watcher([&stop] { stop.request_stop(); });
        BatchView view(arguments.json);
        batch = coordinator.updatePackages(plan, stop.get_token(), view.progress());
    }
    recordOutcomes(batch.results);
    if (arguments.batch.report) writeBatchReport(batch, arguments.batch.report, arguments.json ? stderr : stdout);
    if (arguments.json) {
        Json list = Json::array();
        for (const auto& result : batch.results) list.push_back(updateResultJson(result));
        for (const Json& entry : report) list.push_back(entry);
        Json document = jsonDocument();
        document["results"] = std::move(list);
        std::printf("%s\n", dumpJson(document, jsonIndentForStandardOutput()).c_str());
    } else {
        printResults(batch.results);
    }
    if (batch.cancelled) return kExitInterrupted;
    const bool failed = batch.failedCount() > 0 || batch.skippedCount() > 0 || !applicationsInstalled;
    return failed || refusedBackwards ? kExitFailure : kExitSuccess;
}

}  // namespace

void addUpdateCommand(CLI::App& app, int* exitCode, const GlobalOptions* options) {
    auto arguments = std::make_shared<UpdateArguments>();
    auto* command = app.add_subcommand("update", localized("help.update"));
    command->add_option("items", arguments->items, localized("help.option.update_items"))->type_name("ID");
    command->add_flag("--json", arguments->json, localized("help.option.json"));
    command->add_flag("--all", arguments->all, localized("help.option.update_all"));
    // Only an update of everything leaves such items out; a named item shows the loss in its plan.
    command->add_flag("--allow-provenance-loss", arguments->batch.allowProvenanceLoss,
                      localized("help.option.allow_provenance_loss"));
    addChangeFlags(*command, arguments->batch.change, "update");
    arguments->batch.sources.addTo(*command);
    auto report = std::make_shared<std::string>();
    auto* reportOption =
        command->add_option("--report", *report, localized("help.option.report"))->expected(0, 1)->type_name("[FILE]");
    setExamples(*command, {"vantreel update npm:corepack", "vantreel update --all --dry-run --only homebrew"});
    command->callback([arguments, report, reportOption, exitCode, options] {
        if (reportOption->count() > 0) arguments->batch.report = *report;
        if (arguments->all && !arguments->items.empty()) {
            std::fprintf(stderr, "vantreel update: %s\n", localized("update.items_or_all").c_str());
            *exitCode = kExitUsage;
            return;
        }
        // Named items are chosen by their ids: a source filter would quietly drop some of them.
        if (!arguments->all && (!arguments->batch.sources.only.empty() || !arguments->batch.sources.exclude.empty())) {
            std::fprintf(stderr, "vantreel update: %s\n", localized("update.sources_need_all").c_str());
            *exitCode = kExitUsage;
            return;
        }
        if (refusesCombination(arguments->batch, "update")) {
            *exitCode = kExitUsage;
            return;
        }
        if (arguments->all) {
            arguments->batch.json = arguments->json;
            *exitCode = runUpdateAll(arguments->batch, *options);
            return;
        }
        if (arguments->items.empty()) {
            std::fprintf(stderr, "vantreel update: %s\n", localized("update.name_items").c_str());
            *exitCode = kExitUsage;
            return;
        }
        *exitCode = update(*arguments, *options);
    });
}

}  // namespace vt::cli
