#include "cli/AgentCommand.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>

#include <CLI/CLI.hpp>

#include "base/Json.hpp"
#include "cli/Context.hpp"
#include "cli/Output.hpp"
#include "cli/ScanCommand.hpp"
#include "core/PackageCoordinator.hpp"
#include "settings/DefaultsStore.hpp"
#include "settings/SettingsManager.hpp"
#include "shell/BackgroundScanLauncher.hpp"
#include "shell/LaunchAgentManager.hpp"
#include "system/RunningProcesses.hpp"
#include "shell/TerminalLauncher.hpp"
#include "shell/UserNotifier.hpp"

namespace vt::cli {

namespace {

constexpr const char* kEnabledKey = "BackgroundScanEnabled";
constexpr const char* kIntervalKey = "CheckInterval";

struct AgentArguments {
    std::optional<long long> interval;
    bool json = false;
};

int install(std::optional<long long> interval) {
    SettingsManager& settings = Context::shared().settings();
    const long long hours = interval.value_or(settings.checkIntervalHours());
    try {
        LaunchAgentManager manager;
        manager.install(hours);
        settings.batch([&] {
            if (interval) settings.setValue(kIntervalKey, *interval);
            settings.setValue(kEnabledKey, true);
        });
        std::printf("Background scans every %lld hours (%s)\n", std::max(hours, 1LL), manager.folder().c_str());
    } catch (const AgentError& error) {
        std::fprintf(stderr, "vantreel agent: %s\n", error.what());
        return kExitFailure;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "vantreel agent: cannot save the setting: %s\n", error.what());
        return kExitFailure;
    }
    return kExitSuccess;
}

int remove() {
    try {
        LaunchAgentManager().remove();
        Context::shared().settings().setValue(kEnabledKey, false);
        std::printf("Background scans are off\n");
    } catch (const std::exception& error) {
        std::fprintf(stderr, "vantreel agent: %s\n", error.what());
        return kExitFailure;
    }
    return kExitSuccess;
}

int status(bool asJson) {
    AgentStatus agent = LaunchAgentManager().status();
    DefaultsStore& defaults = Context::shared().defaults();
    std::optional<double> lastScan = defaults.doubleValue(PackageCoordinator::kBackgroundLastScanDate);
    std::optional<long long> lastCount = defaults.integerValue(BackgroundScanLauncher::kLastOutdatedCount);
    if (asJson) {
        Json out = Json::object();
        out["installed"] = agent.installed;
        out["intervalHours"] = agent.intervalHours ? Json(*agent.intervalHours) : Json();
        out["lastBackgroundScan"] = lastScan ? Json(*lastScan) : Json();  // seconds since 2001, as every date we print
        out["lastOutdatedCount"] = lastCount ? Json(*lastCount) : Json();
        out["nextRun"] = agent.nextRun ? Json(*agent.nextRun) : Json();
        out["files"] = agent.files;
        std::printf("%s\n", dumpJson(out, jsonIndentForStandardOutput()).c_str());
        return kExitSuccess;
    }
    std::printf("Installed:            %s\n", agent.installed ? "yes" : "no");
    if (agent.intervalHours) std::printf("Interval:             %lld hours\n", *agent.intervalHours);
    std::printf("Last background scan: %s\n",
                lastScan ? localDate(fromReferenceSeconds(*lastScan)).c_str() : "never");
    if (lastCount) std::printf("Updates found then:   %lld\n", *lastCount);
    if (agent.nextRun) std::printf("Next run:             %s\n", agent.nextRun->c_str());
    return kExitSuccess;
}

}  // namespace

void addAgentCommand(CLI::App& app, int* exitCode) {
    auto* agent = app.add_subcommand("agent", "Scan in the background at a fixed interval, and notify new updates");
    agent->require_subcommand(1);
    auto arguments = std::make_shared<AgentArguments>();
    auto* installCommand = agent->add_subcommand("install", "Install and start the background scan agent");
    installCommand->add_option("--interval", arguments->interval, "Hours between scans (the CheckInterval setting)");
    installCommand->callback([arguments, exitCode] { *exitCode = install(arguments->interval); });
    auto* removeCommand = agent->add_subcommand("remove", "Stop and delete the background scan agent");
    removeCommand->callback([exitCode] { *exitCode = remove(); });
    auto* statusCommand = agent->add_subcommand("status", "Whether the agent is installed, and its last scan");
    statusCommand->add_flag("--json", arguments->json, "Print the status as JSON");
    statusCommand->callback([arguments, exitCode] { *exitCode = status(arguments->json); });
}

int applyAgentSetting(const std::string& key) {
    if (key != kEnabledKey && key != kIntervalKey && !key.empty()) return kExitSuccess;
    SettingsManager& settings = Context::shared().settings();
    const bool enabled = settings.boolValue(kEnabledKey);
    try {
        LaunchAgentManager manager;
        if (enabled) {
            manager.install(settings.checkIntervalHours());
        } else {
            manager.remove();
        }
    } catch (const AgentError& error) {
        std::fprintf(stderr, "vantreel settings: background scans: %s\n", error.what());
        // The setting says what is installed.
        if (enabled) settings.setValue(kEnabledKey, false);
        return kExitFailure;
    }
    return kExitSuccess;
}

int runBackgroundScan() {
    Context& context = Context::shared();
    std::unique_ptr<UserNotifying> notifier = makeSystemNotifier();
    BackgroundScanLauncher launcher(context.defaults(), context.settings(), *notifier, automaticScanUpdateCount);
    // A click on the notification opens the table in a terminal, kept open until Enter.
    if (auto executable = ownLaunchPath()) {
        launcher.setShowUpdates([program = *executable] { TerminalLauncher::open({program, "list", "--hold"}); });
    }
    launcher.run();
    return kExitSuccess;
}

}  // namespace vt::cli
