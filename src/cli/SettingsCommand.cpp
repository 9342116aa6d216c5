#include "cli/SettingsCommand.hpp"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "base/Json.hpp"
#include "base/Strings.hpp"
#include "cli/AgentCommand.hpp"
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

// Adds values to a list setting, or removes them from it.
int changeList(const std::string& key, const std::vector<std::string>& values, bool adding) {
    try {
        if (adding) {
            Context::shared().settings().addToList(key, values);
        } else {
            Context::shared().settings().removeFromList(key, values);
        }
    } catch (const SettingsError& error) {
        std::fprintf(stderr, "vantreel settings: %s\n", error.what());
        return kExitUsage;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "vantreel settings: cannot save: %s\n", error.what());
        return kExitFailure;
    }
    return kExitSuccess;
}

int set(const std::string& key, const std::string& value) {
    if (key == kMenuBarAtLogin || key == kSystemExtensions) {
        std::fprintf(stderr, "vantreel settings: %s is %s\n", key.c_str(), kNotAvailableOnThisSystem);
        return kExitFailure;
    }
    try {
        Context::shared().settings().setFromText(key, value);
        return applyAgentSetting(key);
    } catch (const SettingsError& error) {
        std::fprintf(stderr, "vantreel settings: %s\n", error.what());
        return kExitUsage;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "vantreel settings: cannot save: %s\n", error.what());
        return kExitFailure;
    }
    return kExitSuccess;
}

int reset(const std::string& key) {
    try {
        if (key.empty()) {
            Context::shared().settings().resetAll();
        } else {
            Context::shared().settings().reset(key);
        }
        return applyAgentSetting(key);
    } catch (const SettingsError& error) {
        std::fprintf(stderr, "vantreel settings: %s\n", error.what());
        return kExitUsage;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "vantreel settings: cannot save: %s\n", error.what());
        return kExitFailure;
    }
    return kExitSuccess;
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
        std::string key, value;
        std::vector<std::string> values;
    };
    auto args = std::make_shared<Arguments>();

    auto* listCommand = settings->add_subcommand("list", "Every setting with its value");
    listCommand->add_flag("--json", args->json, "Print an object of key to value");
    listCommand->callback([args, exitCode] { *exitCode = list(args->json); });

    auto* getCommand = settings->add_subcommand("get", "Print one setting's value");
    getCommand->add_option("key", args->key, "The setting")->required();
    getCommand->add_flag("--json", args->json, "Print the value as JSON");
    getCommand->callback([args, exitCode] { *exitCode = get(args->key, args->json); });

    auto* setCommand = settings->add_subcommand("set", "Change one setting");
    setCommand->add_option("key", args->key, "The setting")->required();
    setCommand->add_option("value", args->value, "The new value (a JSON array for a list)")->required();
    setCommand->callback([args, exitCode] { *exitCode = set(args->key, args->value); });

    auto* addCommand = settings->add_subcommand("add", "Add values to a list setting");
    addCommand->add_option("key", args->key, "The list setting")->required();
    addCommand->add_option("values", args->values, "The values to add")->required();
    addCommand->callback([args, exitCode] { *exitCode = changeList(args->key, args->values, true); });

    auto* removeCommand = settings->add_subcommand("remove", "Remove values from a list setting");
    removeCommand->add_option("key", args->key, "The list setting")->required();
    removeCommand->add_option("values", args->values, "The values to remove")->required();
    removeCommand->callback([args, exitCode] { *exitCode = changeList(args->key, args->values, false); });

    auto* resetCommand = settings->add_subcommand("reset", "Restore one setting, or all, to the default");
    resetCommand->add_option("key", args->key, "The setting (all when absent)");
    resetCommand->callback([args, exitCode] { *exitCode = reset(args->key); });

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
