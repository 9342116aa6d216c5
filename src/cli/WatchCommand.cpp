#include "cli/WatchCommand.hpp"

#include <chrono>
#include <cstdlib>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <CLI/CLI.hpp>

#include "base/PrintableText.hpp"
#include "base/Localization.hpp"
#include "base/NotificationCenter.hpp"
#include "cli/CommandOptions.hpp"
#include "cli/Context.hpp"
#include "cli/Onboarding.hpp"
#include "cli/Output.hpp"
#include "cli/ResultsView.hpp"
#include "cli/ScanCommand.hpp"
#include "cli/ScanView.hpp"
#include "cli/Signals.hpp"
#include "cli/Terminal.hpp"
#include "cli/TextTable.hpp"
#include "core/PackageCoordinator.hpp"
#include "core/ScanProgressModel.hpp"
#include "settings/DefaultsStore.hpp"
#include "settings/SettingsManager.hpp"
#include "shell/BackgroundScanScheduler.hpp"

namespace vt::cli {

namespace {

struct WatchArguments {
    double every = 0;  // seconds between scans; 0: the settings' check interval
    bool all = false;
    bool json = false;
    std::string search;
    std::string source;
    SourceOptions sources;
    SourceSelection selection;  // made from `sources` before the watch starts
};

std::string clockTime() {
    std::time_t seconds = std::chrono::system_clock::to_time_t(Clock::shared().now());
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[16] = {};
    std::strftime(text, sizeof(text), "%H:%M:%S", &local);
    return text;
}

// Draws what it is told on standard output: on a terminal the whole screen again, with a
// status line; elsewhere plain lines, each event on its own, the table after each scan.
class WatchScreen {
public:
    explicit WatchScreen(const WatchArguments& arguments)
        : arguments_(arguments), style_(Style::forStream(stdout)) {}

    bool isTerminal() const { return style_.isTerminal; }

    void showTable(const std::string& event) {
        Context& context = Context::shared();
        ScanReport report = makeReport(context.coordinator().offeredPackages(), context.progress().snapshot(),
                                       context.settings().showPreReleaseUpdates());
        applySourceStates(report, context.coordinator().sourceStates());
        report.vulnerabilityCheckFailure = context.coordinator().vulnerabilityCheckFailure();
        addApplications(report);
        attachTable(report, TableRequest{arguments_.all, arguments_.search, arguments_.source, arguments_.selection});
        if (arguments_.json) {
            printReportJson(report, -1, stdout);  // one document a line
        } else {
            std::string text;
            if (style_.isTerminal) text += ownControl("\033[H\033[2J");
            if (!style_.isTerminal) text += event + "\n";
            std::string table = renderTable(report, style_, outputWidth());
            if (!table.empty()) text += table + "\n";
            text += renderSummary(report, style_);
            if (style_.isTerminal) {
                std::string status = event;
                status += punctuated(" · ");
                status += localized("watch.stop_hint");
                text += style_.dim(status);
                text += "\n";
            }
            writeAll(stdout, text);
        }
        std::fflush(stdout);
        lastEvent_ = event;
    }

    // A tick without a new table: a line of its own, or the status line of the screen.
    void showEvent(const std::string& event) {
        if (arguments_.json) return;
        if (style_.isTerminal) {
            // The status line is the last one of the screen: it is replaced in place.
            const std::string separator = punctuated(" · ");
            std::string status = lastEvent_;
            status += separator;
            status += event;
            status += separator;
            status += localized("watch.stop_hint");
            std::string line = ownControl("\033[1A\033[2K");
            line += style_.dim(status);
            line += "\n";
            writeAll(stdout, line);
        } else {
            writeAll(stdout, event + "\n");
        }
        std::fflush(stdout);
    }

private:
    const WatchArguments& arguments_;
    Style style_;
    std::string lastEvent_;
};

int watch(WatchArguments& arguments, const GlobalOptions& options) {
    std::optional<SourceSelection> selection = arguments.sources.selection("watch");
    if (!selection) return kExitUsage;
    arguments.selection = *selection;
    if (!ensureTermsAccepted(options.acceptTerms)) return kExitFailure;
    Context& context = Context::shared();
    context.beginSession();
    PackageCoordinator& coordinator = context.coordinator();
    if (!selection->empty()) {
        context.refresh().setScannerSelection(
            [selection = *selection](const std::string& id) { return selection.includesScanner(id); });
    }
    WatchScreen screen(arguments);

    std::mutex mutex;
    std::condition_variable stopped;
    bool interrupted = false;
    InterruptWatcher watcher([&] {
        {
            std::scoped_lock lock(mutex);
            interrupted = true;
        }
        stopped.notify_all();
        coordinator.cancelRefresh();
    });
    auto wasInterrupted = [&] {
        std::scoped_lock lock(mutex);
        return interrupted;
    };

    BackgroundScanScheduler::Hooks hooks;
    hooks.isBusy = [&coordinator] { return coordinator.isRefreshing() || coordinator.isUpdateInProgress(); };
    hooks.scan = [&] {
        const auto before = context.state().doubleValue(PackageCoordinator::kLastCompletedRefreshDate);
        {
            std::optional<ScanView> view;
            if (screen.isTerminal() && !arguments.json && !options.quiet) {
                view.emplace(context.progress(), Style::forStream(stderr));
                view->start();
            }
            // With --every the user chose the interval: the automatic scans' own gate, which
            // waits for the settings' interval, does not apply.
            if (arguments.every > 0) {
                coordinator.refreshAll(RefreshMode::Manual, false);
            } else {
                coordinator.refreshAll(RefreshMode::Automatic);
            }
            if (view) view->finish();
        }
        if (wasInterrupted()) return;
        // Only a completed scan stores its date: one cut short or refused shows no table.
        if (context.state().doubleValue(PackageCoordinator::kLastCompletedRefreshDate) == before) {
            screen.showEvent(localized("watch.not_completed", {clockTime()}));
        } else {
            screen.showTable(localized("watch.scanned", {clockTime()}));
        }
    };
    hooks.ticked = [&](BackgroundScanScheduler::Tick tick) {
        if (wasInterrupted()) return;
        if (tick == BackgroundScanScheduler::Tick::Throttled) {
            screen.showEvent(localized("watch.skipped", {clockTime()}));
        } else if (tick == BackgroundScanScheduler::Tick::Busy) {
            screen.showEvent(localized("watch.busy", {clockTime()}));
        }
    };
    BackgroundScanScheduler::Options schedule;
    if (arguments.every > 0) {
        schedule.every = std::chrono::milliseconds(static_cast<long long>(arguments.every * 1000));
        schedule.scanAtEachTick = true;
    }
    BackgroundScanScheduler scheduler(context.state(), context.settings(), NotificationCenter::shared(), hooks,
                                      schedule);
    // The saved table is there at once, before any scan: on the screen, or as the first lines.
    if (!arguments.json) screen.showTable(localized("watch.saved_results"));
    scheduler.start();
    {
        std::unique_lock lock(mutex);
        stopped.wait(lock, [&] { return interrupted; });
    }
    scheduler.stop();  // the running scan, if any, was cancelled by the interrupt
    // Ctrl-C is how this command ends, not a failure: 0, as for watch(1) and similar
    // monitors. A second Ctrl-C during the stop ends the program with 130.
    return kExitSuccess;
}

}  // namespace

void addWatchCommand(CLI::App& app, int* exitCode, const GlobalOptions* options) {
    auto* command = app.add_subcommand("watch", localized("help.watch"));
    auto arguments = std::make_shared<WatchArguments>();
    command->add_option("--every", arguments->every, localized("help.option.every"))
        ->type_name("SECONDS")
        ->check(CLI::Validator(
            [](std::string& text) {
                char* end = nullptr;
                const double seconds = std::strtod(text.c_str(), &end);
                if (end == text.c_str() || *end != '\0' || !(seconds >= 0.1 && seconds <= 86400.0 * 366)) {
                    return localized("watch.every_invalid", {text});
                }
                return std::string();
            },
            ""));
    addTableOptions(*command, arguments->all, arguments->search, arguments->source);
    arguments->sources.addTo(*command);
    command->add_flag("--json", arguments->json, localized("help.option.json_lines"));
    setExamples(*command, {"vantreel watch", "vantreel watch --every 600 --only npm"});
    command->callback([arguments, exitCode, options] { *exitCode = watch(*arguments, *options); });
}

}  // namespace vt::cli
