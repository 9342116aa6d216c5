#include "cli/ListCommand.hpp"

#include <cstdio>
#include <ctime>
#include <memory>

#include <unistd.h>

#include <CLI/CLI.hpp>

#include "base/Localization.hpp"
#include "base/Strings.hpp"
#include "cli/Context.hpp"
#include "cli/Output.hpp"
#include "cli/ResultsView.hpp"
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
    std::string search;
    std::string source;
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

int list(const ListArguments& arguments) {
    Context& context = Context::shared();
    PersistedScanResults results = context.persistence().load();
    bool allowPreRelease = context.defaults().boolValue("ShowPreReleaseUpdates").value_or(false);
    const bool nothingSaved = !results.metadata && results.packages.empty() && results.unreadableFiles.empty();
    ScanReport report = makeReport(context.coordinator().offeredPackages(std::move(results.packages)),
                                   ScanProgressSnapshot{}, allowPreRelease);
    if (results.metadata) applySourceStates(report, results.metadata->sources);
    if (context.settings().isVisible(ManagerToggleKey::ShowInstalledApplications)) {
        report.applications = context.applications().applications();
    }
    attachTable(report, TableRequest{arguments.all, arguments.search, arguments.source});
    std::optional<double> age;
    if (results.metadata) age = secondsBetween(results.metadata->lastScanDate, Clock::shared().now());
    if (arguments.json) {
        Json meta = Json::object();
        if (results.metadata) {
            meta["date"] = toReferenceSeconds(results.metadata->lastScanDate);
            meta["ageSeconds"] = *age;
        }
        meta["source"] = "saved results";
        meta["itemCount"] = report.packages.size();
        if (!results.unreadableFiles.empty()) meta["unreadableFiles"] = results.unreadableFiles;
        report.metadata = std::move(meta);
        printReportJson(report, jsonIndentForStandardOutput(), stdout);
        return kExitSuccess;
    }
    if (nothingSaved) {
        std::printf("%s\n", localized("list.empty").c_str());
        return kExitSuccess;
    }
    if (!context.previousExitWasClean()) std::fprintf(stderr, "%s\n", localized("list.previous_exit_unclean").c_str());
    if (!results.unreadableFiles.empty()) {
        std::fprintf(stderr, "%s\n", localized("list.unreadable_results", {join(results.unreadableFiles, ", ")}).c_str());
    }
    Style style = Style::forStream(stdout);
    std::string table = renderTable(report, style);
    if (!table.empty()) std::printf("%s\n", table.c_str());
    std::fputs(renderSummary(report, style).c_str(), stdout);
    if (age) std::printf("%s\n", style.dim(ageText(*age)).c_str());
    return kExitSuccess;
}

int activity(bool asJson) {
    PersistedUIState state = PersistedUIState::load(Context::shared().defaults());
    if (asJson) {
        Json list = Json::array();
        for (const auto& record : state.recentActivity) list.push_back(record.toJson());
        std::printf("%s\n", dumpJson(list, 2).c_str());
        return kExitSuccess;
    }
    if (state.recentActivity.empty()) {
        std::printf("No activity yet.\n");
        return kExitSuccess;
    }
    for (const auto& record : state.recentActivity) {
        std::time_t time = std::chrono::system_clock::to_time_t(record.date);
        std::tm local{};
        localtime_r(&time, &local);
        char when[32];
        std::strftime(when, sizeof(when), "%Y-%m-%d %H:%M", &local);
        std::string line = std::string(when) + "  " + record.title;
        if (!record.subtitle.empty()) line += " — " + record.subtitle;
        if (record.duration) {
            char duration[32];
            std::snprintf(duration, sizeof(duration), " (%.1f s)", *record.duration);
            line += duration;
        }
        std::printf("%s\n", line.c_str());
    }
    return kExitSuccess;
}

}  // namespace

void addListCommands(CLI::App& app, int* exitCode) {
    auto arguments = std::make_shared<ListArguments>();
    auto* listCommand = app.add_subcommand("list", "Show the results of the last scan without scanning");
    listCommand->add_flag("--all", arguments->all, "Show every item, not only pending updates");
    listCommand->add_flag("--json", arguments->json, "Print the results as JSON");
    listCommand->add_option("--search", arguments->search, "Show only the rows whose name, source or id contains TEXT");
    listCommand->add_option("--source", arguments->source, "Show only the rows of one source (its SOURCE column)");
    // For a terminal opened from a notification, which would close as soon as we end.
    listCommand->add_flag("--hold", arguments->hold, "Wait for Enter before ending")->group("");
    listCommand->callback([arguments, exitCode] {
        *exitCode = list(*arguments);
        if (arguments->hold && ::isatty(STDIN_FILENO) == 1) {
            std::fflush(stdout);
            std::getchar();
        }
    });

    auto json = std::make_shared<bool>(false);
    auto* activityCommand = app.add_subcommand("activity", "Show the recent activity");
    activityCommand->add_flag("--json", *json, "Print the records as JSON");
    activityCommand->callback([json, exitCode] { *exitCode = activity(*json); });
}

}  // namespace vt::cli
