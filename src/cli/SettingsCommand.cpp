#include "cli/SettingsCommand.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "base/Json.hpp"
#include "base/Strings.hpp"
#include "base/Localization.hpp"
#include "cli/AgentCommand.hpp"
#include "cli/CommandOptions.hpp"
#include "cli/Consent.hpp"
#include "cli/Context.hpp"
#include "cli/Output.hpp"
#include "cli/ResultsView.hpp"
#include "cli/TextTable.hpp"
#include "settings/LoginItemService.hpp"
#include "settings/SettingsManager.hpp"
#include "shell/LaunchAgentManager.hpp"
#include "sources/github/GitHubReleasesManager.hpp"
#include "system/SecretStore.hpp"

namespace vt::cli {

namespace {

// Bare values for scripts: true, 24, dark; lists and dictionaries as compact JSON.
std::string bareText(const Json& value) {
    if (value.is_string()) return value.get<std::string>();
    if (value.is_null()) return "";
    return dumpJson(value);
}

// The settings the system keeps outside the preferences file.
constexpr const char* kMenuBarAtLogin = "MenuBarAgentAtLogin";
constexpr const char* kSystemExtensions = "ShowSystemExtensions";

int list(bool asJson) {
    SettingsManager& settings = Context::shared().settings();
    PlatformSettingsService& platform = PlatformSettingsService::shared();
    if (asJson) {
        Json json = Json::object();
        for (const auto& definition : settingDefinitions()) json[std::string(definition.key)] = settings.value(definition.key);
        json[kMenuBarAtLogin] = platform.isMenuBarAgentAtLogin();
        json[kSystemExtensions] = false;
        Json document = jsonDocument();
        document["settings"] = std::move(json);
        std::printf("%s\n", dumpJson(document, jsonIndentForStandardOutput()).c_str());
        return kExitSuccess;
    }
    TextTable table({{localized("settings.column.key"), Column::Elide::Never, 0, 0},
                     {localized("settings.column.value"), Column::Elide::End, 10, 0},
                     {localized("settings.column.note"), Column::Elide::End, 10, 1}});
    for (const auto& definition : settingDefinitions()) {
        std::string fallback = bareText(definition.defaultValue);
        bool isDefault = settings.value(definition.key) == definition.defaultValue;
        table.add({std::string(definition.key), oneLine(bareText(settings.value(definition.key))),
                   Cell(isDefault ? "" : localized("settings.default_is", {fallback.empty() ? localized("settings.none") : fallback}),
                        Tone::Dim)});
    }
    const std::string unavailable = localized("settings.not_available");
    table.add({kMenuBarAtLogin, platform.isAvailable() && platform.isMenuBarAgentAtLogin() ? "true" : "false",
               Cell(platform.isAvailable() ? "" : unavailable, Tone::Dim)});
    table.add({kSystemExtensions, "false", Cell(unavailable, Tone::Dim)});
    std::fputs(table.render(Style::forStream(stdout), outputWidth()).c_str(), stdout);
    return kExitSuccess;
}

int get(const std::string& key, bool asJson) {
    Json value;
    if (key == kMenuBarAtLogin) {
        value = PlatformSettingsService::shared().isMenuBarAgentAtLogin();
    } else if (key == kSystemExtensions) {
        value = false;
    } else if (findSetting(key) == nullptr) {
        std::fprintf(stderr, "vantreel settings: %s\n", localized("settings.unknown_see_list", {key}).c_str());
        return kExitUsage;
    } else {
        value = Context::shared().settings().value(key);
    }
    if (asJson) {
        Json document = jsonDocument();
        document["key"] = key;
        document["value"] = value;
        std::printf("%s\n", dumpJson(document, jsonIndentForStandardOutput()).c_str());
    } else {
        std::printf("%s\n", bareText(value).c_str());
    }
    return kExitSuccess;
}

// "KEY: old → new", the plan of a change of one setting.
void printChange(const std::string& key, const Json& before, const Json& after) {
    auto shown = [](const Json& value) {
        std::string text = bareText(value);
        return text.empty() ? std::string("\"\"") : text;
    };
    if (before == after) {
        std::printf("%s\n", localized("settings.unchanged", {key, shown(before)}).c_str());
    } else {
        std::printf("%s: %s%s%s\n", key.c_str(), shown(before).c_str(), punctuated(" → ").c_str(), shown(after).c_str());
    }
}

// One setting: `next` says what it would become (throwing SettingsError when it cannot);
// the change is shown, and made unless this is a dry run.
// `unchanged`, when given, says why nothing changes better than "KEY is already VALUE".
// Set, add and remove state the user's own choice, often from scripts: not asked. A reset
// discards one, and the background service changes the machine: asked.
int changeOne(const std::string& key, const ChangeFlags& flags, const std::function<Json(SettingsManager&)>& next,
              const std::string& unchanged = "", bool resetting = false) {
    SettingsManager& settings = Context::shared().settings();
    try {
        const Json before = settings.value(key);
        const Json after = next(settings);
        if (before == after && !unchanged.empty()) {
            std::printf("%s\n", unchanged.c_str());
            return kExitSuccess;
        }
        // A setting that installs or removes the background service changes the machine, not
        // only the preferences: that part of the plan is checked first, shown and asked for.
        const std::string servicePlan = before == after ? "" : agentPlanForSetting(key, after);
        printChange(key, before, after);
        if (before == after) return kExitSuccess;
        if (!servicePlan.empty()) std::printf("%s\n", servicePlan.c_str());
        if (flags.dryRun) return kExitSuccess;
        if (resetting || !servicePlan.empty()) {
            const Consent consent =
                askConsent(flags, resetting ? "settings reset" : "settings",
                           resetting ? localized("settings.reset_confirm", {key}) : localized("settings.service_confirm"));
            if (consent != Consent::Go) return exitStatusOf(consent);
        }
        const bool wasStored = settings.isStored(key);
        if (resetting) {
            settings.reset(key);
        } else {
            settings.setValue(key, after);
        }
        const int status = applyAgentSetting(key);
        // The setting says what is installed: back as it was when the service could not follow.
        if (status != kExitSuccess) {
            if (wasStored) {
                settings.setValue(key, before);
            } else {
                settings.reset(key);
            }
        }
        return status;
    } catch (const SettingsError& error) {
        std::fprintf(stderr, "vantreel settings: %s\n", error.what());
        return kExitUsage;
    } catch (const AgentIntervalError& error) {
        std::fprintf(stderr, "vantreel settings: %s\n", error.what());
        return kExitUsage;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "vantreel settings: %s\n", localized("settings.cannot_save", {error.what()}).c_str());
        return kExitFailure;
    }
}

int set(const std::string& key, const std::string& value, const ChangeFlags& flags) {
    if (key == kMenuBarAtLogin || key == kSystemExtensions) {
        std::fprintf(stderr, "vantreel settings: %s\n", localized("settings.key_not_available", {key}).c_str());
        return kExitFailure;
    }
    return changeOne(key, flags, [&](SettingsManager& settings) { return settings.valueFromText(key, value); });
}

// Adds values to a list setting, or removes them from it.
int changeList(const std::string& key, const std::vector<std::string>& values, bool adding, const ChangeFlags& flags) {
    return changeOne(key, flags, [&](SettingsManager& settings) { return settings.listWith(key, values, adding); },
                     localized(adding ? "settings.list_has_all" : "settings.list_has_none", {key, join(values, ", ")}));
}

int reset(const std::string& key, const ChangeFlags& flags) {
    const SettingDefinition* definition = findSetting(key);
    if (definition == nullptr) {
        std::fprintf(stderr, "vantreel settings: %s\n", localized("settings.unknown_see_list", {key}).c_str());
        return kExitUsage;
    }
    return changeOne(key, flags, [definition](SettingsManager&) { return definition->defaultValue; }, "", true);
}

// Every setting back to its default: the settings that would change are the plan, and the
// change is asked for as every change of many things is.
int resetAll(const ChangeFlags& flags) {
    SettingsManager& settings = Context::shared().settings();
    std::size_t changed = 0;
    for (const auto& definition : settingDefinitions()) {
        const Json value = settings.value(definition.key);
        if (value == definition.defaultValue) continue;
        printChange(std::string(definition.key), value, definition.defaultValue);
        ++changed;
    }
    if (changed == 0) {
        std::printf("%s\n", localized("settings.reset_all_nothing").c_str());
        return kExitSuccess;
    }
    const std::string servicePlan = agentPlanAfterReset();
    if (!servicePlan.empty()) std::printf("%s\n", servicePlan.c_str());
    const Consent consent =
        askConsent(flags, "settings reset", localized("settings.reset_all_confirm", {std::to_string(changed)}));
    if (consent != Consent::Go) return exitStatusOf(consent);
    try {
        settings.resetAll();
        return applyAgentSetting("");
    } catch (const std::exception& error) {
        std::fprintf(stderr, "vantreel settings: %s\n", localized("settings.cannot_save", {error.what()}).c_str());
        return kExitFailure;
    }
}

// The token comes from standard input, so that it is never on a command line where other
// users could read it: one line, typed at a terminal or the whole of what is piped in.
int setGitHubToken() {
    // On a terminal the user is typing or pasting: said so, rather than a silent wait.
    const bool typed = ::isatty(STDIN_FILENO) == 1;
    if (typed) std::fprintf(stderr, "%s", localized("settings.token.prompt").c_str());
    std::string token;
    char buffer[4096];
    while (token.size() < 64 * 1024 && std::fgets(buffer, sizeof(buffer), stdin) != nullptr) {
        token += buffer;
        if (typed && !token.empty() && token.back() == '\n') break;
    }
    // Piped, a second line is a file or a command's output that is no token (its first line
    // kept alone would be a wrong token saved without a word).
    token = trim(token);
    if (token.empty()) {
        std::fprintf(stderr, "vantreel settings: %s\n", localized("settings.token.none").c_str());
        return kExitUsage;
    }
    // It goes into a request's header: printable ASCII only.
    const bool printable = std::all_of(token.begin(), token.end(), [](unsigned char c) { return c > 0x20 && c < 0x7f; });
    if (!printable || token.size() > 1024) {
        std::fprintf(stderr, "vantreel settings: %s\n", localized("settings.token.invalid").c_str());
        return kExitUsage;
    }
    try {
        SecretStore().save(GitHubReleasesManager::kTokenSecret, token);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "vantreel settings: %s\n", error.what());
        return kExitFailure;
    }
    std::printf("%s\n", localized("settings.token.saved").c_str());
    return kExitSuccess;
}

int clearGitHubToken() {
    try {
        bool removed = SecretStore().remove(GitHubReleasesManager::kTokenSecret);
        std::printf("%s\n", localized(removed ? "settings.token.removed" : "settings.token.absent").c_str());
    } catch (const std::exception& error) {
        std::fprintf(stderr, "vantreel settings: %s\n", error.what());
        return kExitFailure;
    }
    return kExitSuccess;
}

}  // namespace

void addSettingsCommand(CLI::App& app, int* exitCode) {
    auto* settings = app.add_subcommand("settings", localized("help.settings"));
    settings->require_subcommand(1);
    setExamples(*settings, {"vantreel settings list", "vantreel settings set CheckInterval 6",
                            "vantreel settings add AdditionalApplicationFolders ~/Tools"});

    struct Arguments {
        bool json = false;
        bool all = false;
        std::string key, value;
        std::vector<std::string> values;
        ChangeFlags change;
    };
    auto args = std::make_shared<Arguments>();

    auto* listCommand = settings->add_subcommand("list", localized("help.settings_list"));
    listCommand->add_flag("--json", args->json, localized("help.option.json"));
    setExamples(*listCommand, {"vantreel settings list --json"});
    listCommand->callback([args, exitCode] { *exitCode = list(args->json); });

    auto* getCommand = settings->add_subcommand("get", localized("help.settings_get"));
    getCommand->add_option("key", args->key, localized("help.option.setting"))->required()->type_name("KEY");
    getCommand->add_flag("--json", args->json, localized("help.option.json"));
    setExamples(*getCommand, {"vantreel settings get CheckInterval"});
    getCommand->callback([args, exitCode] { *exitCode = get(args->key, args->json); });

    auto* setCommand = settings->add_subcommand("set", localized("help.settings_set"));
    setCommand->add_option("key", args->key, localized("help.option.setting"))->required()->type_name("KEY");
    setCommand->add_option("value", args->value, localized("help.option.setting_value"))->required()->type_name("VALUE");
    addChangeFlags(*setCommand, args->change, "setting");
    setExamples(*setCommand, {"vantreel settings set BrewOutdatedMode greedy"});
    setCommand->callback([args, exitCode] { *exitCode = set(args->key, args->value, args->change); });

    auto* addCommand = settings->add_subcommand("add", localized("help.settings_add"));
    addCommand->add_option("key", args->key, localized("help.option.list_setting"))->required()->type_name("KEY");
    addCommand->add_option("values", args->values, localized("help.option.values_add"))->required()->type_name("VALUE");
    addChangeFlags(*addCommand, args->change, "setting");
    setExamples(*addCommand, {"vantreel settings add AdditionalApplicationFolders ~/Tools"});
    addCommand->callback([args, exitCode] { *exitCode = changeList(args->key, args->values, true, args->change); });

    auto* removeCommand = settings->add_subcommand("remove", localized("help.settings_remove"));
    removeCommand->add_option("key", args->key, localized("help.option.list_setting"))->required()->type_name("KEY");
    removeCommand->add_option("values", args->values, localized("help.option.values_remove"))->required()->type_name("VALUE");
    addChangeFlags(*removeCommand, args->change, "setting");
    setExamples(*removeCommand, {"vantreel settings remove AdditionalApplicationFolders ~/Tools"});
    removeCommand->callback([args, exitCode] { *exitCode = changeList(args->key, args->values, false, args->change); });

    auto* resetCommand = settings->add_subcommand("reset", localized("help.settings_reset"));
    resetCommand->add_option("key", args->key, localized("help.option.setting"))->type_name("KEY");
    resetCommand->add_flag("--all", args->all, localized("help.option.settings_reset_all"));
    addChangeFlags(*resetCommand, args->change, "reset");
    setExamples(*resetCommand, {"vantreel settings reset CheckInterval", "vantreel settings reset --all --dry-run"});
    resetCommand->callback([args, exitCode] {
        if (args->all == !args->key.empty()) {
            std::fprintf(stderr, "vantreel settings reset: %s\n", localized("settings.reset_one_or_all").c_str());
            *exitCode = kExitUsage;
            return;
        }
        *exitCode = args->all ? resetAll(args->change) : reset(args->key, args->change);
    });

    auto* tokenCommand = settings->add_subcommand("github-token", localized("help.github_token"));
    tokenCommand->require_subcommand(1);
    setExamples(*tokenCommand, {"gh auth token | vantreel settings github-token set"});
    auto* tokenSet = tokenCommand->add_subcommand("set", localized("help.github_token_set"));
    setExamples(*tokenSet, {"gh auth token | vantreel settings github-token set"});
    tokenSet->callback([exitCode] { *exitCode = setGitHubToken(); });
    auto* tokenClear = tokenCommand->add_subcommand("clear", localized("help.github_token_clear"));
    setExamples(*tokenClear, {"vantreel settings github-token clear"});
    tokenClear->callback([exitCode] { *exitCode = clearGitHubToken(); });
}

}  // namespace vt::cli
