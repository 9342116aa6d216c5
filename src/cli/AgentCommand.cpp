#include "cli/AgentCommand.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "base/Json.hpp"
#include "base/Localization.hpp"
#include "cli/CommandOptions.hpp"
#include "cli/Consent.hpp"
#include "cli/Context.hpp"
#include "cli/Output.hpp"
#include "cli/ScanCommand.hpp"
#include "cli/TextTable.hpp"
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
    ChangeFlags change;
};

// A setting as it was: its value, or nothing when the default stood for it.
struct SavedSetting {
    std::string key;
    std::optional<Json> value;
};

SavedSetting saved(const SettingsManager& settings, const std::string& key) {
    return {key, settings.isStored(key) ? std::optional<Json>(settings.value(key)) : std::nullopt};
}

void restore(SettingsManager& settings, const std::vector<SavedSetting>& earlier) {
    settings.batch([&] {
        for (const SavedSetting& setting : earlier) {
            if (setting.value) {
                settings.setValue(setting.key, *setting.value);
            } else {
                settings.reset(setting.key);
            }
        }
    });
}

std::string everyHours(long long hours) {
    return hours == 1 ? localized("agent.every_hour") : localized("agent.every_hours", {std::to_string(hours)});
}

int install(std::optional<long long> interval, const ChangeFlags& change) {
    SettingsManager& settings = Context::shared().settings();
    const long long requested = interval.value_or(settings.checkIntervalHours());
    try {
        // Bad input is refused before the plan, so that the plan shows only what can be done.
        const long long hours = LaunchAgentManager::checkedInterval(requested);
        LaunchAgentManager manager;
        // A service of the user's session is a change to the machine: the plan, then the question.
        std::printf("%s\n", localized("agent.plan.install", {everyHours(hours), manager.folder()}).c_str());
        const Consent consent = askConsent(change, "agent install", localized("agent.confirm.install"));
        if (consent != Consent::Go) return exitStatusOf(consent);
        // The settings first, so that one that cannot be saved installs nothing; put back
        // when the agent cannot follow them, since they say what is installed.
        const std::vector<SavedSetting> earlier = {saved(settings, kIntervalKey), saved(settings, kEnabledKey)};
        settings.batch([&] {
            if (interval) settings.setValue(kIntervalKey, *interval);
            settings.setValue(kEnabledKey, true);
        });
        try {
            manager.install(requested);
        } catch (const AgentError&) {
            restore(settings, earlier);
            throw;
        }
        std::printf("%s\n", localized("agent.installed", {everyHours(hours), manager.folder()}).c_str());
    } catch (const AgentIntervalError& error) {
        std::fprintf(stderr, "vantreel agent: %s\n", error.what());
        return kExitUsage;
    } catch (const AgentError& error) {
        std::fprintf(stderr, "vantreel agent: %s\n", error.what());
        return kExitFailure;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "vantreel agent: %s\n", localized("settings.cannot_save", {error.what()}).c_str());
        return kExitFailure;
    }
    return kExitSuccess;
}

int remove(const ChangeFlags& change) {
    try {
        LaunchAgentManager manager;
        if (!manager.isInstalled()) {
            std::printf("%s\n", localized("agent.not_installed").c_str());
            return kExitSuccess;
        }
        std::printf("%s\n", localized("agent.plan.remove", {manager.folder()}).c_str());
        const Consent consent = askConsent(change, "agent remove", localized("agent.confirm.remove"));
        if (consent != Consent::Go) return exitStatusOf(consent);
        manager.remove();
        Context::shared().settings().setValue(kEnabledKey, false);
        std::printf("%s\n", localized("agent.removed").c_str());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "vantreel agent: %s\n", error.what());
        return kExitFailure;
    }
    return kExitSuccess;
}

int status(bool asJson) {
    AgentStatus agent = LaunchAgentManager().status();
    DefaultsStore& notes = Context::shared().state();
    std::optional<double> lastScan = notes.doubleValue(PackageCoordinator::kBackgroundLastScanDate);
    std::optional<long long> lastCount = notes.integerValue(BackgroundScanLauncher::kLastOutdatedCount);
    if (asJson) {
        Json out = jsonDocument();
        out["installed"] = agent.installed;
        out["intervalHours"] = agent.intervalHours ? Json(*agent.intervalHours) : Json();
        out["lastBackgroundScan"] = lastScan ? Json(jsonDate(fromReferenceSeconds(*lastScan))) : Json();
        out["lastOutdatedCount"] = lastCount ? Json(*lastCount) : Json();
        out["nextRun"] = agent.nextRun ? Json(*agent.nextRun) : Json();
        out["files"] = agent.files;
        std::printf("%s\n", dumpJson(out, jsonIndentForStandardOutput()).c_str());
        return kExitSuccess;
    }
    TextTable table({{"", Column::Elide::Never, 0, 0}, {"", Column::Elide::End, 10, 0}});
    table.add({localized("agent.status.installed"), localized(agent.installed ? "common.yes" : "common.no")});
    if (agent.intervalHours) {
        table.add({localized("agent.status.interval"), (*agent.intervalHours == 1 ? localized("agent.status.hour") : localized("agent.status.hours", {std::to_string(*agent.intervalHours)}))});
    }
    table.add({localized("agent.status.last_scan"),
               lastScan ? localDate(fromReferenceSeconds(*lastScan)) : localized("agent.status.never")});
    if (lastCount) table.add({localized("agent.status.found"), std::to_string(*lastCount)});
    if (agent.nextRun) table.add({localized("agent.status.next_run"), *agent.nextRun});
    // Without titles: the first line of the table is its own, empty, title line.
    std::string text = table.render(Style::forStream(stdout), outputWidth());
    std::fputs(text.substr(text.find('\n') + 1).c_str(), stdout);
    return kExitSuccess;
}

}  // namespace

void addAgentCommand(CLI::App& app, int* exitCode) {
    auto* agent = app.add_subcommand("agent", localized("help.agent"));
    agent->require_subcommand(1);
    setExamples(*agent, {"vantreel agent install --interval 6", "vantreel agent status"});
    auto arguments = std::make_shared<AgentArguments>();
    auto* installCommand = agent->add_subcommand("install", localized("help.agent_install"));
    installCommand->add_option("--interval", arguments->interval, localized("help.option.interval"))->type_name("HOURS");
    addChangeFlags(*installCommand, arguments->change, "agent");
    setExamples(*installCommand, {"vantreel agent install --interval 6"});
    installCommand->callback([arguments, exitCode] { *exitCode = install(arguments->interval, arguments->change); });
    auto* removeCommand = agent->add_subcommand("remove", localized("help.agent_remove"));
    removeCommand->alias("uninstall");  // the word of many installers
    addChangeFlags(*removeCommand, arguments->change, "agent");
    setExamples(*removeCommand, {"vantreel agent remove"});
    removeCommand->callback([arguments, exitCode] { *exitCode = remove(arguments->change); });
    auto* statusCommand = agent->add_subcommand("status", localized("help.agent_status"));
    statusCommand->add_flag("--json", arguments->json, localized("help.option.json"));
    setExamples(*statusCommand, {"vantreel agent status --json"});
    statusCommand->callback([arguments, exitCode] { *exitCode = status(arguments->json); });
}

namespace {

// The agent's removal, when one is installed.
std::string removalPlan() {
    LaunchAgentManager manager;
    return manager.isInstalled() ? localized("agent.plan.remove", {manager.folder()}) : "";
}

}  // namespace

std::string agentPlanForSetting(const std::string& key, const Json& after) {
    if (key != kEnabledKey && key != kIntervalKey) return "";
    SettingsManager& settings = Context::shared().settings();
    const bool enabled = key == kEnabledKey ? after.is_boolean() && after.get<bool>() : settings.boolValue(kEnabledKey);
    const long long requested =
        key == kIntervalKey && after.is_number_integer() ? after.get<long long>() : settings.checkIntervalHours();
    // Refused even while background scans are off, since turning them on would use it.
    const long long hours = key == kIntervalKey || enabled ? LaunchAgentManager::checkedInterval(requested) : 0;
    // A new interval while they are off touches no agent: only turning them off does.
    if (!enabled) return key == kEnabledKey ? removalPlan() : "";
    return localized("agent.plan.install", {everyHours(hours), LaunchAgentManager().folder()});
}

// The defaults leave the background scan off.
std::string agentPlanAfterReset() { return removalPlan(); }

int applyAgentSetting(const std::string& key) {
    if (key != kEnabledKey && key != kIntervalKey && !key.empty()) return kExitSuccess;
    SettingsManager& settings = Context::shared().settings();
    try {
        LaunchAgentManager manager;
        if (settings.boolValue(kEnabledKey)) {
            manager.install(settings.checkIntervalHours());
        } else if (key != kIntervalKey) {
            manager.remove();
        }
    } catch (const AgentError& error) {
        std::fprintf(stderr, "vantreel settings: %s\n", localized("agent.setting_failed", {error.what()}).c_str());
        return kExitFailure;
    }
    return kExitSuccess;
}

int runBackgroundScan() {
    Context& context = Context::shared();
    std::unique_ptr<UserNotifying> notifier = makeSystemNotifier();
    BackgroundScanLauncher launcher(context.state(), context.settings(), *notifier, automaticScanUpdateCount);
    // A click on the notification opens the table in a terminal, kept open until Enter.
    if (auto executable = ownLaunchPath()) {
        launcher.setShowUpdates([program = *executable] { TerminalLauncher::open({program, "list", "--hold"}); });
    }
    launcher.run();
    return kExitSuccess;
}

}  // namespace vt::cli
