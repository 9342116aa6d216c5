#include "cli/SettingsCommand.hpp"

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "base/Json.hpp"
#include "base/Strings.hpp"
#include "cli/AgentCommand.hpp"
#include "base/Localization.hpp"
#include "cli/Consent.hpp"
#include "cli/Context.hpp"
#include "settings/LoginItemService.hpp"
#include "settings/SettingsManager.hpp"
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
        std::printf("%s\n", dumpJson(json, 2).c_str());
        return kExitSuccess;
    }
    std::size_t width = 0;
    for (const auto& definition : settingDefinitions()) width = std::max(width, definition.key.size());
    for (const auto& definition : settingDefinitions()) {
        std::string value = bareText(settings.value(definition.key));
        std::string fallback = bareText(definition.defaultValue);
        bool isDefault = settings.value(definition.key) == definition.defaultValue;
        std::printf("%-*s  %s%s\n", static_cast<int>(width), std::string(definition.key).c_str(), value.c_str(),
                    isDefault ? "" : ("  (default " + (fallback.empty() ? std::string("none") : fallback) + ")").c_str());
    }
    std::string loginState = platform.isAvailable() ? (platform.isMenuBarAgentAtLogin() ? "true" : "false")
                                                    : std::string("false  (") + kNotAvailableOnThisSystem + ")";
    std::printf("%-*s  %s\n", static_cast<int>(width), kMenuBarAtLogin, loginState.c_str());
    std::printf("%-*s  false  (%s)\n", static_cast<int>(width), kSystemExtensions, kNotAvailableOnThisSystem);
    return kExitSuccess;
}

int get(const std::string& key, bool asJson) {
    if (key == kMenuBarAtLogin) {
        std::printf("%s\n", PlatformSettingsService::shared().isMenuBarAgentAtLogin() ? "true" : "false");
        return kExitSuccess;
    }
    if (key == kSystemExtensions) {
        std::printf("false\n");
        return kExitSuccess;
    }
    if (findSetting(key) == nullptr) {
        std::fprintf(stderr, "vantreel settings: unknown setting \"%s\" (see vantreel settings list)\n", key.c_str());
        return kExitUsage;
    }
    Json value = Context::shared().settings().value(key);
    std::printf("%s\n", asJson ? dumpJson(value, 2).c_str() : bareText(value).c_str());
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
        std::printf("%s: %s → %s\n", key.c_str(), shown(before).c_str(), shown(after).c_str());
    }
}

// One setting: `next` says what it would become (throwing SettingsError when it cannot);
// the change is shown, and made unless this is a dry run.
int changeOne(const std::string& key, const ChangeFlags& flags, const std::function<Json(SettingsManager&)>& next) {
    SettingsManager& settings = Context::shared().settings();
    try {
        const Json before = settings.value(key);
        const Json after = next(settings);
        printChange(key, before, after);
        if (flags.dryRun || before == after) return kExitSuccess;
        settings.setValue(key, after);
        return applyAgentSetting(key);
    } catch (const SettingsError& error) {
        std::fprintf(stderr, "vantreel settings: %s\n", error.what());
        return kExitUsage;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "vantreel settings: cannot save: %s\n", error.what());
        return kExitFailure;
    }
}

int set(const std::string& key, const std::string& value, const ChangeFlags& flags) {
    if (key == kMenuBarAtLogin || key == kSystemExtensions) {
        std::fprintf(stderr, "vantreel settings: %s is %s\n", key.c_str(), kNotAvailableOnThisSystem);
        return kExitFailure;
    }
    return changeOne(key, flags, [&](SettingsManager& settings) { return settings.valueFromText(key, value); });
}

// Adds values to a list setting, or removes them from it.
int changeList(const std::string& key, const std::vector<std::string>& values, bool adding, const ChangeFlags& flags) {
    return changeOne(key, flags, [&](SettingsManager& settings) { return settings.listWith(key, values, adding); });
}

int reset(const std::string& key, const ChangeFlags& flags) {
    const SettingDefinition* definition = findSetting(key);
    if (definition == nullptr) {
        std::fprintf(stderr, "vantreel settings: unknown setting \"%s\" (see vantreel settings list)\n", key.c_str());
        return kExitUsage;
    }
    return changeOne(key, flags, [definition](SettingsManager&) { return definition->defaultValue; });
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
    const Consent consent =
        askConsent(flags, "settings reset", localized("settings.reset_all_confirm", {std::to_string(changed)}));
    if (consent != Consent::Go) return exitStatusOf(consent);
    try {
        settings.resetAll();
        return applyAgentSetting("");
    } catch (const std::exception& error) {
        std::fprintf(stderr, "vantreel settings: cannot save: %s\n", error.what());
        return kExitFailure;
    }
}

// The token comes from standard input, so that it is never on a command line where other
// users could read it; only the first line counts.
int setGitHubToken() {
    std::string token;
    char buffer[4096];
    while (token.size() < 64 * 1024 && std::fgets(buffer, sizeof(buffer), stdin) != nullptr) {
        token += buffer;
        if (!token.empty() && token.back() == '\n') break;
    }
    token = trim(token);
    if (token.empty()) {
        std::fprintf(stderr, "vantreel settings: no token on standard input\n");
        return kExitUsage;
    }
    if (token.find_first_of(" \t\r\n") != std::string::npos || token.size() > 1024) {
        std::fprintf(stderr, "vantreel settings: that is not a GitHub token (one word expected)\n");
        return kExitUsage;
    }
    try {
        SecretStore().save(GitHubReleasesManager::kTokenSecret, token);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "vantreel settings: %s\n", error.what());
        return kExitFailure;
    }
    std::printf("GitHub token saved\n");
    return kExitSuccess;
}

int clearGitHubToken() {
    try {
        bool removed = SecretStore().remove(GitHubReleasesManager::kTokenSecret);
        std::printf(removed ? "GitHub token removed\n" : "No GitHub token was saved\n");
    } catch (const std::exception& error) {
        std::fprintf(stderr, "vantreel settings: %s\n", error.what());
        return kExitFailure;
    }
    return kExitSuccess;
}

}  // namespace

void addSettingsCommand(CLI::App& app, int* exitCode) {
    auto* settings = app.add_subcommand("settings", "Show and change the preferences");
    settings->require_subcommand(1);

    struct Arguments {
        bool json = false;
        bool all = false;
        std::string key, value;
        std::vector<std::string> values;
        ChangeFlags change;
    };
    auto args = std::make_shared<Arguments>();

    auto* listCommand = settings->add_subcommand("list", "Every setting with its value");
    listCommand->add_flag("--json", args->json, "Print an object of key to value");
    listCommand->callback([args, exitCode] { *exitCode = list(args->json); });

    auto* getCommand = settings->add_subcommand("get", "Print one setting's value");
    getCommand->add_option("key", args->key, "The setting")->required();
    getCommand->add_flag("--json", args->json, "Print the value as JSON");
    getCommand->callback([args, exitCode] { *exitCode = get(args->key, args->json); });

    const char* dryRunHelp = "Show the change, and make none";
    auto* setCommand = settings->add_subcommand("set", "Change one setting");
    setCommand->add_option("key", args->key, "The setting")->required();
    setCommand->add_option("value", args->value, "The new value (a JSON array for a list)")->required();
    setCommand->add_flag("--dry-run", args->change.dryRun, dryRunHelp);
    setCommand->callback([args, exitCode] { *exitCode = set(args->key, args->value, args->change); });

    auto* addCommand = settings->add_subcommand("add", "Add values to a list setting");
    addCommand->add_option("key", args->key, "The list setting")->required();
    addCommand->add_option("values", args->values, "The values to add")->required();
    addCommand->add_flag("--dry-run", args->change.dryRun, dryRunHelp);
    addCommand->callback([args, exitCode] { *exitCode = changeList(args->key, args->values, true, args->change); });

    auto* removeCommand = settings->add_subcommand("remove", "Remove values from a list setting");
    removeCommand->add_option("key", args->key, "The list setting")->required();
    removeCommand->add_option("values", args->values, "The values to remove")->required();
    removeCommand->add_flag("--dry-run", args->change.dryRun, dryRunHelp);
    removeCommand->callback([args, exitCode] { *exitCode = changeList(args->key, args->values, false, args->change); });

    auto* resetCommand = settings->add_subcommand("reset", "Restore one setting, or every setting with --all, to the default");
    resetCommand->add_option("key", args->key, "The setting");
    resetCommand->add_flag("--all", args->all, "Every setting (asks first; --yes without a terminal)");
    addChangeFlags(*resetCommand, args->change, "resetting");
    resetCommand->callback([args, exitCode] {
        if (args->all == !args->key.empty()) {
            std::fprintf(stderr, "vantreel settings reset: name one setting, or give --all for every setting\n");
            *exitCode = kExitUsage;
            return;
        }
        if (!args->all && args->change.yes) {
            std::fprintf(stderr, "vantreel settings reset: --yes goes with --all; one setting is reset without a question\n");
            *exitCode = kExitUsage;
            return;
        }
        *exitCode = args->all ? resetAll(args->change) : reset(args->key, args->change);
    });

    auto* tokenCommand = settings->add_subcommand("github-token", "The personal access token for GitHub's API");
    tokenCommand->require_subcommand(1);
    tokenCommand->add_subcommand("set", "Save the token read from standard input")->callback([exitCode] {
        *exitCode = setGitHubToken();
    });
    tokenCommand->add_subcommand("clear", "Forget the saved token")->callback([exitCode] {
        *exitCode = clearGitHubToken();
    });
}

}  // namespace vt::cli
