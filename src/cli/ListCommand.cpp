#include "cli/ListCommand.hpp"

#include <cstdio>
#include <ctime>
#include <memory>

#include <unistd.h>

#include <CLI/CLI.hpp>

#include "base/HugePages.hpp"
#include "base/KeepUntilExit.hpp"
#include "base/Localization.hpp"
#include "base/Strings.hpp"
#include "cli/CommandOptions.hpp"
#include "cli/Context.hpp"
#include "cli/Output.hpp"
#include "cli/ResultsView.hpp"
#include "cli/ScanCommand.hpp"
#include "cli/TextTable.hpp"
#include "core/PackageCoordinator.hpp"
#include "core/PersistedUIState.hpp"
#include "core/ScanProgressModel.hpp"
#include "core/ScanResultsPersistence.hpp"
#include "settings/DefaultsStore.hpp"
#include "settings/SettingsManager.hpp"
#include "sources/inventory/ApplicationManager.hpp"

namespace vt::cli {

namespace {

struct ListArguments {
    bool all = false;
    bool json = false;
    bool ids = false;
    std::string search;
    std::string source;
    SourceOptions sources;
    bool exitCode = false;
    bool hold = false;
};

std::string ageText(double seconds) {
    long long minutes = static_cast<long long>(seconds / 60);
    if (minutes < 1) return localized("list.last_scan.just_now");
    if (minutes == 1) return localized("list.last_scan.minute");
    if (minutes < 60) return localized("list.last_scan.minutes", {std::to_string(minutes)});
    long long hours = minutes / 60;
    if (hours == 1) return localized("list.last_scan.hour");
    if (hours < 24) return localized("list.last_scan.hours", {std::to_string(hours)});
    long long days = hours / 24;
    return days == 1 ? localized("list.last_scan.day") : localized("list.last_scan.days", {std::to_string(days)});
}

// Said on standard error, whatever the output: a list shortened by them must not pass unnoticed.
void sayUnreadable(const std::vector<std::string>& files) {
    if (!files.empty()) std::fprintf(stderr, "%s\n", localized("list.unreadable_results", {join(files, ", ")}).c_str());
}

int list(const ListArguments& arguments, bool quiet) {
    std::optional<SourceSelection> selection = arguments.sources.selection("list");
    if (!selection) return kExitUsage;
    // A few tens of MiB for the saved results of a large machine, read by a process that
    // lives a few tens of milliseconds.
    growHeapInHugePages(64u << 20);
    Context& context = Context::shared();
    PersistedScanResults results = context.persistence().load();
    bool allowPreRelease = context.defaults().boolValue("ShowPreReleaseUpdates").value_or(false);
    const bool nothingSaved = !results.metadata && results.packages.empty() && results.unreadableFiles.empty();
    // What is offered as a scan would offer it, without building what a scan needs: `list`
    // starts often and must be quick.
    ScanReport report = makeReport(
        offeredPackages(std::move(results.packages), context.settings(), Clock::shared().now(), &context.packageManager()),
        ScanProgressSnapshot{}, allowPreRelease);
    report.unreadableFiles = results.unreadableFiles;
    if (results.metadata) {
        applySourceStates(report, results.metadata->sources);
        report.vulnerabilityCheckFailure = results.metadata->vulnerabilityCheckFailure;
    }
    if (context.settings().isVisible(ManagerToggleKey::ShowInstalledApplications)) {
        report.applications = context.persistence().loadApplications().applications;
    }
    attachTable(report, TableRequest{arguments.all, arguments.search, arguments.source, *selection});
    if (!arguments.source.empty() && !report.table->namesASource(arguments.source)) {
        std::fprintf(stderr, "vantreel list: %s\n", localized("table.source_unknown", {arguments.source}).c_str());
        return kExitUsage;
    }
    // Without a scan there is nothing to say about pending updates.
    const int status = !arguments.exitCode ? kExitSuccess : nothingSaved ? kExitSourceFailed : reportExitCode(report);
    if (arguments.ids) {
        // A script reading the ids must still hear of the items that could not be read.
        sayUnreadable(results.unreadableFiles);
        const AllUpdatesDisplayModel& model = *report.table->model;
        for (std::size_t i = 0; i < model.size(); ++i) std::printf("%s\n", model.row(i).shortId.c_str());
        return status;
    }
    std::optional<double> age;
    if (results.metadata) age = secondsBetween(results.metadata->lastScanDate, Clock::shared().now());
    if (arguments.json) {
        Json meta = Json::object();
        if (results.metadata) {
            meta["date"] = jsonDate(results.metadata->lastScanDate);
            meta["ageSeconds"] = *age;
        }
        meta["origin"] = "saved results";
        meta["itemCount"] = report.packages.size() + report.applications.size();
        if (!results.unreadableFiles.empty()) meta["unreadableFiles"] = results.unreadableFiles;
        report.metadata = std::move(meta);
        printReportJson(report, jsonIndentForStandardOutput(), stdout);
        keepUntilExit(std::move(report));
        return status;
    }
    if (nothingSaved) {
        std::printf("%s\n", localized("list.empty").c_str());
        return status;
    }
    if (!quiet && !context.previousExitWasClean()) std::fprintf(stderr, "%s\n", localized("list.previous_exit_unclean").c_str());
    sayUnreadable(results.unreadableFiles);
    Style style = Style::forStream(stdout);
    std::string table = renderTable(report, style, outputWidth(), !quiet);
    if (!table.empty()) std::printf("%s\n", table.c_str());
    std::fputs(renderSummary(report, style, !quiet).c_str(), stdout);
    if (age && !quiet) std::printf("%s\n", style.dim(ageText(*age)).c_str());
    keepUntilExit(std::move(report));
    return status;
}

int activity(bool asJson) {
    PersistedUIState state = PersistedUIState::load(Context::shared().state());
    if (asJson) {
        Json records = Json::array();
        for (const auto& record : state.recentActivity) {
            Json json = record.toJson();
            json.erase("texts");  // how it is saved, not what it says
            json["date"] = jsonDate(record.date);
            records.push_back(std::move(json));
        }
        Json document = jsonDocument();
        document["activity"] = std::move(records);
        std::printf("%s\n", dumpJson(document, jsonIndentForStandardOutput()).c_str());
        return kExitSuccess;
    }
    if (state.recentActivity.empty()) {
        std::printf("%s\n", localized("activity.none").c_str());
        return kExitSuccess;
    }
    const std::string dash = punctuated(" — ");
    // One line per record on a terminal, as the tables; a pipe gets the lines whole.
    const std::size_t width = outputWidth();
    for (const auto& record : state.recentActivity) {
        std::string line = localDate(record.date) + "  " + oneLine(record.title);
        if (!record.subtitle.empty()) line += dash + oneLine(record.subtitle);
        if (record.duration) {
            line.append(" (").append(localizedDecimal(*record.duration, 1)).append(" s)");
        }
        if (width != TextTable::kUnlimited) line = elide(line, width, Column::Elide::End);
        std::printf("%s\n", line.c_str());
    }
    return kExitSuccess;
}

}  // namespace

void addListCommands(CLI::App& app, int* exitCode, const GlobalOptions* options) {
    auto arguments = std::make_shared<ListArguments>();
    auto* listCommand = app.add_subcommand("list", localized("help.list"));
    addTableOptions(*listCommand, arguments->all, arguments->search, arguments->source);
    arguments->sources.addTo(*listCommand);
    CLI::Option* jsonFlag = listCommand->add_flag("--json", arguments->json, localized("help.option.json"));
    listCommand->add_flag("--ids", arguments->ids, localized("help.option.ids"))->excludes(jsonFlag);
    listCommand->add_flag("--exit-code", arguments->exitCode, localized("help.option.exit_code"));
    // For a terminal opened from a notification, which would close as soon as we end.
    listCommand->add_flag("--hold", arguments->hold, "")->group("");
    setExamples(*listCommand, {"vantreel list", "vantreel list --all --only homebrew", "vantreel list --json | jq '.rows[].id'",
                               "vantreel list --ids --only npm | xargs -r vantreel update --dry-run"});
    listCommand->callback([arguments, exitCode, options] {
        *exitCode = list(*arguments, options->quiet);
        if (arguments->hold && ::isatty(STDIN_FILENO) == 1) {
            std::fflush(stdout);
            std::getchar();
        }
    });

    auto json = std::make_shared<bool>(false);
    auto* activityCommand = app.add_subcommand("activity", localized("help.activity"));
    activityCommand->add_flag("--json", *json, localized("help.option.json"));
    setExamples(*activityCommand, {"vantreel activity"});
    activityCommand->callback([json, exitCode] { *exitCode = activity(*json); });
}

}  // namespace vt::cli
