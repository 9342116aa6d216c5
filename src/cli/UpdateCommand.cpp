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
#include "cli/ApplicationInstall.hpp"
#include "cli/CommandOptions.hpp"
#include "cli/Context.hpp"
#include "cli/Onboarding.hpp"
#include "cli/Output.hpp"
#include "cli/ScanCommand.hpp"
#include "cli/Signals.hpp"
#include "cli/UpdateAllCommand.hpp"
#include "cli/UpdateOutcomes.hpp"
#include "cli/UpdateJson.hpp"
#include "cli/Consent.hpp"
#include "cli/UpdatePlanView.hpp"
#include "cli/UpdatesTable.hpp"
#include "core/ManagerRegistry.hpp"
#include "presentation/AllUpdatesRowBuilder.hpp"
#include "core/PackageCoordinator.hpp"
#include "model/VersionRules.hpp"
#include "sources/inventory/ApplicationManager.hpp"
#include "presentation/AutoDeferralStore.hpp"

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

}  // namespace

namespace {

// The items named on the command line, sorted by how each is updated.
struct NamedItems {
    std::vector<Package> packages;
    std::vector<ApplicationItem> applications;  // in the order named

    // Two spellings of one item ("npm:corepack", "corepack") name it once: it is updated once.
    void add(Package package) {
        const std::string key = stableKey(package);
        for (const Package& named : packages) {
            if (stableKey(named) == key) return;
        }
        packages.push_back(std::move(package));
    }
    void add(ApplicationItem item) {
        for (const ApplicationItem& named : applications) {
            if (named.via == item.via && named.bundlePath == item.bundlePath && named.name == item.name) return;
        }
        applications.push_back(std::move(item));
    }

    // Drops the applications that have nothing newer to install; returns them with why.
    std::vector<UpdatePlan::LeftOut> leaveOutNotNewer(bool allowPreRelease) {
        std::vector<UpdatePlan::LeftOut> leftOut;
        std::erase_if(applications, [&](const ApplicationItem& item) {
            std::optional<UpdatePlan::LeftOut> left = notNewer(item, allowPreRelease);
            if (left) leftOut.push_back(std::move(*left));
            return left.has_value();
        });
        return leftOut;
    }

    // The applications and system updates, for the plan.
    std::vector<PlanExtra> planExtras() const {
        std::vector<PlanExtra> extras;
        for (const ApplicationItem& item : applications) {
            extras.push_back(item.planExtra());
            extras.back().toolsOwnLatest = item.via == ApplicationItem::Via::AppStore;
        }
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
                named.add(storeItemOf(*application));
                continue;
            }
            // A row of the table this program does not update: say how it is updated.
            const std::vector<AllUpdateRow> everything = everyRow(savedSnapshot());  // the matches point into it
            std::vector<const AllUpdateRow*> rows = resolveRows(argument, everything);
            if (rows.size() == 1) {
                if (std::optional<ApplicationItem> item = applicationItemOf(*rows.front())) {
                    named.add(std::move(*item));
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
        named.add(matches.front());
    }
    return std::nullopt;
}

// The applications and system updates named, each through its own installer; false when
// one of them was not installed.
bool installNamedApplications(const NamedItems& named, bool json, Json& report) {
    bool failed = false;
    std::vector<std::string> replaced;  // the bundles an installer replaced
    const InstallFeedback feedback{.print = !json, .ask = !json};
    for (const ApplicationItem& item : named.applications) {
        const bool updated = installApplicationItem(item, feedback, report).installed;
        if (updated && !item.bundlePath.empty()) replaced.push_back(item.bundlePath);
        failed |= !updated;
    }
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
            if (!result.suggestion.empty()) std::printf("  %s\n", out.yellow(result.suggestion).c_str());
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
    UpdatePlan plan = coordinator.planUpdates(named.packages);
    const std::vector<UpdatePlan::LeftOut> applicationsLeftOut =
        named.leaveOutNotNewer(Context::shared().settings().showPreReleaseUpdates());
    plan.leftOut.insert(plan.leftOut.end(), applicationsLeftOut.begin(), applicationsLeftOut.end());
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
    // With --json the results are the document, on every way out; the plan is still shown, beside it.
    auto printDocument = [&](Json results) {
        if (!arguments.json) return;
        Json document = jsonDocument();
        document["results"] = std::move(results);
        document["leftOut"] = leftOutJson(plan);
        std::printf("%s\n", dumpJson(document, jsonIndentForStandardOutput()).c_str());
    };
    printPlan(arguments.json ? stderr : stdout, plan, extras);
    if (count == 0) {
        printDocument(Json::array());
        return nothingToDo;
    }
    const Consent consent =
        askConsent(arguments.batch.change, "update", localized("update_all.confirm", {std::to_string(count)}));
    if (consent != Consent::Go) {
        printDocument(Json::array());
        return exitStatusOf(consent);
    }

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
        printDocument(std::move(list));
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
    command->add_flag("--summary", arguments->batch.summary, localized("help.option.summary"));
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
        if (!arguments->all && arguments->batch.summary) {
            std::fprintf(stderr, "vantreel update: %s\n", localized("update.summary_needs_all").c_str());
            *exitCode = kExitUsage;
            return;
        }
        if (refusesCombination(arguments->batch, "update")) {
            *exitCode = kExitUsage;
            return;
        }
        if (arguments->all) {
            arguments->batch.json = arguments->json;
            arguments->batch.command = "update";
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
