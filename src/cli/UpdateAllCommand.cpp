#include "cli/UpdateAllCommand.hpp"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "base/PrintableText.hpp"
#include "base/Files.hpp"
#include "base/Json.hpp"
#include "base/Localization.hpp"
#include "base/Paths.hpp"
#include "base/Strings.hpp"
#include "cli/Consent.hpp"
#include "cli/Context.hpp"
#include "cli/Onboarding.hpp"
#include "cli/Output.hpp"
#include "cli/PlanSelection.hpp"
#include "cli/ScanCommand.hpp"
#include "cli/Signals.hpp"
#include "cli/UpdateJson.hpp"
#include "cli/UpdateOutcomes.hpp"
#include "cli/UpdatePlanView.hpp"
#include "cli/UpdatesTable.hpp"
#include "presentation/ItemReasons.hpp"
#include "core/PackageCoordinator.hpp"
#include "model/VersionRules.hpp"
#include "settings/SettingsManager.hpp"
#include "updates/BatchUpdateReportRenderer.hpp"

namespace vt::cli {

std::size_t pendingUpdateCount() {
    // A count after an update must not come from the table cached before it.
    AllUpdatesSnapshot snapshot = savedSnapshot();
    snapshot.packagesRevision = freshRevision();
    UpdatesTable table = buildUpdatesTable(snapshot, TableRequest{});
    if (table.model->sourceRows.empty()) return Context::shared().coordinator().outdatedCount();
    return table.pendingCount();
}

namespace {

std::string writeReport(const BatchUpdateResult& batch, const std::optional<std::string>& requested) {
    const Clock::TimePoint now = Clock::shared().now();
    const std::string text = BatchUpdateReportRenderer::render(batch, localized("update_all.report_title"), now);
    std::string path;
    if (requested && !requested->empty()) {
        path = *requested;
    } else if (requested) {
        path = BatchUpdateReportRenderer::proposedFileName(now);
    } else {
        // Without --report the last reports are kept beside the scan results.
        path = paths::supportFolder() + "/Reports/" + BatchUpdateReportRenderer::proposedFileName(now);
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    }
    writeFileAtomically(path, text);
    return path;
}

// The plan goes to standard error: standard output keeps the automation action's one sentence.
int updateAllSummary(const UpdateAllArguments& arguments, const UpdatePlan& plan) {
    const long long before = static_cast<long long>(pendingUpdateCount());
    if (before < 1) {
        std::printf("%s\n", localized("automation.update_all.up_to_date").c_str());
        return kExitSuccess;
    }
    printPlan(stderr, plan);
    if (arguments.change.dryRun) {
        std::printf("%s\n", localized("update_all.summary_dry_run", {std::to_string(plan.itemCount())}).c_str());
        return kExitSuccess;
    }
    const Consent consent = askConsent(arguments.change, arguments.command, localized("update_all.confirm", {std::to_string(plan.itemCount())}),
                                       Context::shared().settings().boolValue("ConfirmBeforeUpdateAll"));
    if (consent != Consent::Go) return exitStatusOf(consent);
    std::stop_source stop;
    InterruptWatcher watcher([&stop] { stop.request_stop(); });
    BatchUpdateResult batch = Context::shared().coordinator().updateEverything(plan, stop.get_token());
    // Counted before the failures are recorded: an update deferred after this failure is
    // still outdated.
    const long long after = static_cast<long long>(pendingUpdateCount());
    recordOutcomes(batch.results);
    std::printf("%s\n", localized("automation.update_all.summary", {std::to_string(batch.succeededCount()), std::to_string(after)}).c_str());
    if (arguments.report) writeBatchReport(batch, arguments.report, stderr);
    if (batch.cancelled) return kExitInterrupted;
    return batch.failedCount() > 0 ? kExitFailure : kExitSuccess;
}

}  // namespace

std::optional<std::string> writeBatchReport(const BatchUpdateResult& batch, const std::optional<std::string>& requested,
                                             std::FILE* said) {
    try {
        std::string path = writeReport(batch, requested);
        if (said != nullptr) std::fprintf(said, "%s\n", localized("update_all.report_written", {path}).c_str());
        return path;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "vantreel: %s\n", localized("update_all.report_failed", {error.what()}).c_str());
        return std::nullopt;
    }
}

std::map<std::string, std::string> heldBackRows() {
    std::map<std::string, std::string> held;
    const IgnoreFilter::State state = currentIgnoreState();
    const std::vector<AllUpdateRow> rows = everyRow(savedSnapshot());
    IgnoreFilter filter(state, rows);
    for (const AllUpdateRow& row : rows) {
        if (!row.hasUpdate) continue;
        switch (filter.hold(row)) {
            case IgnoreFilter::Hold::None: break;
            case IgnoreFilter::Hold::Ignored: held[row.id] = localized("update_all.excluded.ignored"); break;
            case IgnoreFilter::Hold::VersionSkipped:
                held[row.id] = localized("update_all.excluded.version_skipped", {row.latestVersion.value_or("")});
                break;
            case IgnoreFilter::Hold::Snoozed: held[row.id] = localized("update_all.excluded.snoozed"); break;
            case IgnoreFilter::Hold::Deferred: {
                const AutoDeferredUpdate& deferral = state.deferrals.at(row.id);
                held[row.id] = localized("update_all.excluded.deferred", {deferral.reason, row.shortId});
                break;
            }
            case IgnoreFilter::Hold::TooRecent:
                held[row.id] = row.releaseAge ? releaseAgeReason(*row.releaseAge).value_or(ItemReason{}).text
                                              : localized("update_all.excluded.held_back",
                                                          {std::to_string(state.minimumReleaseAgeDays)});
                break;
        }
    }
    return held;
}

bool refusesCombination(const UpdateAllArguments& arguments, const std::string& command) {
    if (arguments.summary && arguments.json) {
        std::fprintf(stderr, "vantreel %s: %s\n", command.c_str(), localized("update_all.summary_or_json").c_str());
        return true;
    }
    if (arguments.change.dryRun && arguments.report) {
        std::fprintf(stderr, "vantreel %s: %s\n", command.c_str(), localized("update_all.dry_run_no_report").c_str());
        return true;
    }
    return false;
}

int runUpdateAll(const UpdateAllArguments& arguments, const GlobalOptions& options) {
    if (refusesCombination(arguments, arguments.command)) return kExitUsage;
    if (!ensureTermsAccepted(options.acceptTerms)) return kExitFailure;
    std::optional<SourceSelection> selection = arguments.sources.selection(arguments.command);
    if (!selection) return kExitUsage;
    Context& context = Context::shared();
    PackageCoordinator& coordinator = context.coordinator();
    UpdatePlan plan = coordinator.planUpdateEverything();
    restrictPlan(plan, *selection);
    if (!arguments.allowProvenanceLoss) leaveOutLostProvenance(plan);
    if (arguments.summary) return updateAllSummary(arguments, plan);
    Style out = Style::forStream(stdout);
    if (arguments.json && arguments.change.dryRun) {
        std::printf("%s\n", dumpJson(planJson(plan), jsonIndentForStandardOutput()).c_str());
        return kExitSuccess;
    }
    // With --json the results are the document; the plan is still shown, beside it.
    printPlan(arguments.json ? stderr : stdout, plan);
    if (!plan.isEmpty()) {
        const Consent consent =
            askConsent(arguments.change, arguments.command, localized("update_all.confirm", {std::to_string(plan.itemCount())}),
                       context.settings().boolValue("ConfirmBeforeUpdateAll"));
        if (consent != Consent::Go) return exitStatusOf(consent);
    } else if (arguments.change.dryRun) {
        return kExitSuccess;
    }

    std::stop_source stop;
    InterruptWatcher watcher([&stop] { stop.request_stop(); });
    BatchUpdateResult batch;
    {
        BatchView view(arguments.json);
        batch = coordinator.updateEverything(plan, stop.get_token(), view.progress());
    }
    recordOutcomes(batch.results);
    std::optional<std::string> reportPath;
    if (!batch.results.empty() || arguments.report) reportPath = writeBatchReport(batch, arguments.report, nullptr);
    const std::size_t succeeded = batch.succeededCount(), failed = batch.failedCount();
    if (arguments.json) {
        Json json = batchResultJson(batch);
        json["leftOut"] = planJson(plan)["leftOut"];
        if (reportPath) json["report"] = *reportPath;
        std::printf("%s\n", dumpJson(json, jsonIndentForStandardOutput()).c_str());
    } else {
        const std::string line =
            localized(batch.cancelled ? "update_all.stopped" : "update_all.summary",
                      {std::to_string(succeeded), std::to_string(failed)});
        std::printf("%s\n", failed > 0 || batch.cancelled ? out.red(line).c_str() : out.green(line).c_str());
        if (reportPath) std::printf("%s\n", localized("update_all.report_written", {*reportPath}).c_str());
    }
    if (batch.cancelled) return kExitInterrupted;
    return failed > 0 ? kExitFailure : kExitSuccess;
}

void addUpdateAllCommand(CLI::App& app, int* exitCode, const GlobalOptions* options) {
    auto arguments = std::make_shared<UpdateAllArguments>();
    auto* command = app.add_subcommand("update-all", localized("help.update_all"));
    addChangeFlags(*command, arguments->change, "update");
    command->add_flag("--json", arguments->json, localized("help.option.json"));
    command->add_flag("--summary", arguments->summary, localized("help.option.summary"));
    command->add_flag("--allow-provenance-loss", arguments->allowProvenanceLoss, localized("help.option.allow_provenance_loss"));
    arguments->sources.addTo(*command);
    auto report = std::make_shared<std::string>();
    auto* reportOption =
        command->add_option("--report", *report, localized("help.option.report"))->expected(0, 1)->type_name("[FILE]");
    setExamples(*command, {"vantreel update-all --dry-run", "vantreel update-all --only npm,pip --yes"});
    command->callback([arguments, report, reportOption, exitCode, options] {
        if (reportOption->count() > 0) arguments->report = *report;
        *exitCode = runUpdateAll(*arguments, *options);
    });
}

}  // namespace vt::cli
