#include "cli/UpdateAllCommand.hpp"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "base/PrintableText.hpp"
#include "base/Files.hpp"
#include "base/Json.hpp"
#include "base/Localization.hpp"
#include "base/Paths.hpp"
#include "base/Strings.hpp"
#include "cli/Context.hpp"
#include "cli/Onboarding.hpp"
#include "cli/Output.hpp"
#include "cli/ScanCommand.hpp"
#include "cli/Signals.hpp"
#include "cli/UpdateOutcomes.hpp"
#include "cli/UpdatesTable.hpp"
#include "core/PackageCoordinator.hpp"
#include "model/VersionRules.hpp"
#include "settings/SettingsManager.hpp"
#include "updates/BatchUpdateReportRenderer.hpp"

namespace vt::cli {

namespace {

// The table's pending count; the coordinator's own count before any table was built.
std::size_t pendingUpdateCount() {
    // A count after an update must not come from the table cached before it.
    static std::uint64_t revision = 0;
    AllUpdatesSnapshot snapshot = savedSnapshot();
    snapshot.packagesRevision = ++revision;
    UpdatesTable table = buildUpdatesTable(snapshot, TableRequest{});
    if (table.model->sourceRows.empty()) return Context::shared().coordinator().outdatedCount();
    return table.pendingCount();
}

Json planJson(const UpdatePlan& plan) {
    Json json = Json::object();
    Json steps = Json::array();
    for (const UpdatePlan::Step& step : plan.steps) {
        Json items = Json::array();
        for (const Application& application : step.applications) {
            items.push_back({{"name", application.name}, {"version", application.version},
                             {"latestVersion", application.latestVersion.value_or("")}});
        }
        for (const Package& package : step.packages) {
            items.push_back({{"name", package.name}, {"id", stableKey(package)}, {"version", package.version},
                             {"latestVersion", package.latestVersion.value_or("")}});
        }
        steps.push_back({{"source", step.label}, {"manager", step.manager}, {"asOneBatch", step.asOneBatch},
                         {"items", std::move(items)}});
    }
    json["steps"] = std::move(steps);
    Json leftOut = Json::array();
    for (const UpdatePlan::LeftOut& item : plan.leftOut) {
        leftOut.push_back({{"name", item.name}, {"source", item.source}, {"reason", item.reason}, {"byHand", item.byHand}});
    }
    json["leftOut"] = std::move(leftOut);
    return json;
}

void printPlan(const UpdatePlan& plan, const Style& style) {
    if (plan.isEmpty()) {
        std::printf("%s\n", localized("update_all.nothing").c_str());
    } else {
        std::printf("%s\n", style.bold(localized("update_all.plan_title", {std::to_string(plan.itemCount())})).c_str());
        for (const UpdatePlan::Step& step : plan.steps) {
            for (const Application& application : step.applications) {
                std::printf("  %s  %s %s → %s\n", padRight(step.label, 16).c_str(), application.name.c_str(),
                            application.version.c_str(),
                            application.latestVersion.value_or("?").c_str());
            }
            for (const Package& package : step.packages) {
                std::printf("  %s  %s %s → %s\n", padRight(step.label, 16).c_str(), package.name.c_str(),
                            package.version.c_str(),
                            package.latestVersion.value_or("?").c_str());
            }
        }
    }
    if (plan.leftOut.empty()) return;
    std::printf("%s\n", style.bold(localized("update_all.left_out_title", {std::to_string(plan.leftOut.size())})).c_str());
    // A source turned off leaves out all its items for one reason: one line says it.
    std::map<std::pair<std::string, std::string>, std::size_t> sameReason;
    for (const UpdatePlan::LeftOut& item : plan.leftOut) ++sameReason[{item.source, item.reason}];
    for (const UpdatePlan::LeftOut& item : plan.leftOut) {
        auto group = sameReason.find({item.source, item.reason});
        if (group == sameReason.end()) continue;
        std::string name = item.name;
        if (group->second > 3) {
            name = std::to_string(group->second) + " items";
            sameReason.erase(group);
        }
        std::printf("  %s  %s: %s\n", padRight(item.source, 16).c_str(), name.c_str(), style.dim(item.reason).c_str());
    }
}

bool confirmed(std::size_t count) {
    std::fputs(localized("update_all.confirm", {std::to_string(count)}).c_str(), stderr);
    std::fflush(stderr);
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;
    answer = toLower(trim(answer));
    return answer == "y" || answer == "yes" || answer == "o" || answer == "oui";
}

// One line per finished item; on a terminal the running item stays on a status line below.
class BatchView {
public:
    explicit BatchView(bool quiet) : quiet_(quiet), style_(Style::forStream(stderr)) {}
    ~BatchView() { clearStatus(); }

    BatchProgress progress() {
        BatchProgress progress;
        if (quiet_) return progress;
        progress.phase = [this](const std::string& text) {
            phase_ = text;
            if (style_.isTerminal) drawStatus();
        };
        progress.itemStarted = [this](const std::string& name, const std::string& source, std::size_t index,
                                      std::size_t count) {
            counter_ = "[" + std::to_string(index + 1) + "/" + std::to_string(count) + "] ";
            if (style_.isTerminal) {
                drawStatus();
            } else {
                std::fprintf(stderr, "%s%s (%s)…\n", counter_.c_str(), name.c_str(), source.c_str());
            }
        };
        progress.itemFinished = [this](const PackageUpdateResult& result, std::size_t, std::size_t) {
            clearStatus();
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, "%.1fs", result.duration);
            std::string line = counter_;
            if (result.success) {
                line += style_.green("✓ " + result.package.name);
                line += " (" + result.sourceLabel() + ") ";
                line += style_.dim(seconds);
            } else {
                line += style_.red("✗ " + result.package.name);
                line += " (" + result.sourceLabel() + "): " + result.error.value_or("");
            }
            std::fprintf(stderr, "%s\n", line.c_str());
        };
        return progress;
    }

private:
    void drawStatus() {
        std::fprintf(stderr, "%s%s%s", ownControl("\r\x1b[K").c_str(), style_.dim(counter_).c_str(), phase_.c_str());
        std::fflush(stderr);
        statusShown_ = true;
    }
    void clearStatus() {
        if (!statusShown_) return;
        std::fputs(ownControl("\r\x1b[K").c_str(), stderr);
        statusShown_ = false;
    }

    bool quiet_;
    Style style_;
    std::string phase_, counter_;
    bool statusShown_ = false;
};

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

int updateAllSummary() {
    PackageCoordinator& coordinator = Context::shared().coordinator();
    const long long before = static_cast<long long>(pendingUpdateCount());
    if (before < 1) {
        std::printf("All packages are already up to date.\n");
        return kExitSuccess;
    }
    std::stop_source stop;
    InterruptWatcher watcher([&stop] { stop.request_stop(); });
    BatchUpdateResult batch = coordinator.updateEverything(stop.get_token());
    recordOutcomes(batch.results);
    const long long after = static_cast<long long>(pendingUpdateCount());
    std::printf("Updated %lld package(s). %lld still outdated.\n", before - after, after);
    return batch.failedCount() > 0 || batch.cancelled ? kExitFailure : kExitSuccess;
}

}  // namespace

std::map<std::string, std::string> heldBackRows() {
    std::map<std::string, std::string> held;
    const IgnoreFilter::State state = currentIgnoreState();
    const std::vector<AllUpdateRow> rows = everyRow(savedSnapshot());
    IgnoreFilter filter(state, rows);
    for (const AllUpdateRow& row : rows) {
        if (!row.hasUpdate) continue;
        switch (filter.hiding(row)) {
            case RowHiding::Shown: break;
            case RowHiding::Hidden: held[row.id] = localized("update_all.excluded.ignored"); break;
            case RowHiding::HeldBack:
                held[row.id] = localized("update_all.excluded.held_back", {std::to_string(state.minimumReleaseAgeDays)});
                break;
        }
    }
    return held;
}

int runUpdateAll(const UpdateAllArguments& arguments, const GlobalOptions& options) {
    if (!ensureTermsAccepted(options.acceptTerms)) return kExitFailure;
    if (arguments.summary) return updateAllSummary();
    Context& context = Context::shared();
    PackageCoordinator& coordinator = context.coordinator();
    const UpdatePlan plan = coordinator.planUpdateEverything();
    Style out = Style::forStream(stdout);
    if (arguments.json && arguments.dryRun) {
        std::printf("%s\n", dumpJson(planJson(plan), jsonIndentForStandardOutput()).c_str());
        return kExitSuccess;
    }
    if (!arguments.json) printPlan(plan, out);
    if (arguments.dryRun) return kExitSuccess;
    if (!plan.isEmpty() && !arguments.yes && context.settings().boolValue("ConfirmBeforeUpdateAll") &&
        isatty(STDIN_FILENO) && isatty(STDERR_FILENO) && !confirmed(plan.itemCount())) {
        std::printf("%s\n", localized("update_all.declined").c_str());
        return kExitFailure;
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
    if (!batch.results.empty() || arguments.report) {
        try {
            reportPath = writeReport(batch, arguments.report);
        } catch (const std::exception& error) {
            std::fprintf(stderr, "vantreel: cannot write the report: %s\n", error.what());
        }
    }
    const std::size_t succeeded = batch.succeededCount(), failed = batch.failedCount();
    if (arguments.json) {
        Json json = batch.toJson();
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
    return failed > 0 || batch.cancelled ? kExitFailure : kExitSuccess;
}

void addUpdateAllCommand(CLI::App& app, int* exitCode, const GlobalOptions* options) {
    auto arguments = std::make_shared<UpdateAllArguments>();
    auto* command = app.add_subcommand("update-all", "Update every outdated item, one at a time (update --all)");
    command->add_flag("--yes,-y", arguments->yes, "Do not ask for confirmation");
    command->add_flag("--dry-run", arguments->dryRun, "Print what would be updated and what is left out");
    command->add_flag("--json", arguments->json, "Print the result as JSON");
    command->add_flag("--summary", arguments->summary,
                      "Print only the automation action's sentence (\"Updated N package(s). M still outdated.\")");
    auto report = std::make_shared<std::string>();
    auto* reportOption = command->add_option("--report", *report, "Write the Markdown report to FILE")->expected(0, 1);
    command->callback([arguments, report, reportOption, exitCode, options] {
        if (reportOption->count() > 0) arguments->report = *report;
        *exitCode = runUpdateAll(*arguments, *options);
    });
}

void addAutomationCommands(CLI::App& app, int* exitCode, const GlobalOptions* options) {
    auto* check = app.add_subcommand("check-updates", "Scan, then print the number of pending updates");
    check->callback([exitCode, options] {
        if (!ensureTermsAccepted(options->acceptTerms)) {
            *exitCode = kExitFailure;
            return;
        }
        PackageCoordinator& coordinator = Context::shared().coordinator();
        InterruptWatcher watcher([&coordinator] { coordinator.cancelRefresh(); });
        coordinator.refreshAll(RefreshMode::Manual);
        std::printf("%zu\n", pendingUpdateCount());
        *exitCode = kExitSuccess;
    });
    auto* count = app.add_subcommand("outdated-count", "Print the number of pending updates, without scanning");
    count->callback([exitCode] {
        std::printf("%zu\n", pendingUpdateCount());
        *exitCode = kExitSuccess;
    });
}

}  // namespace vt::cli
