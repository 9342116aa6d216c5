#include "cli/SettingsCommand.hpp"

#include <cstdio>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "base/Json.hpp"
#include "cli/Context.hpp"
#include "settings/LoginItemService.hpp"
#include "settings/SettingsManager.hpp"

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

int get(const std::string& key) {
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
    std::printf("%s\n", bareText(Context::shared().settings().value(key)).c_str());
    return kExitSuccess;
}

int set(const std::string& key, const std::string& value) {
    if (key == kMenuBarAtLogin || key == kSystemExtensions) {
        std::fprintf(stderr, "vantreel settings: %s is %s\n", key.c_str(), kNotAvailableOnThisSystem);
        return kExitFailure;
    }
    try {
        Context::shared().settings().setFromText(key, value);
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
    } catch (const SettingsError& error) {
        std::fprintf(stderr, "vantreel settings: %s\n", error.what());
        return kExitUsage;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "vantreel settings: cannot save: %s\n", error.what());
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
    };
    auto args = std::make_shared<Arguments>();

    auto* listCommand = settings->add_subcommand("list", "Every setting with its value");
    listCommand->add_flag("--json", args->json, "Print an object of key to value");
    listCommand->callback([args, exitCode] { *exitCode = list(args->json); });

    auto* getCommand = settings->add_subcommand("get", "Print one setting's value");
    getCommand->add_option("key", args->key, "The setting")->required();
    getCommand->callback([args, exitCode] { *exitCode = get(args->key); });

    auto* setCommand = settings->add_subcommand("set", "Change one setting");
    setCommand->add_option("key", args->key, "The setting")->required();
    setCommand->add_option("value", args->value, "The new value")->required();
    setCommand->callback([args, exitCode] { *exitCode = set(args->key, args->value); });

    auto* resetCommand = settings->add_subcommand("reset", "Restore one setting, or all, to the default");
    resetCommand->add_option("key", args->key, "The setting (all when absent)");
    resetCommand->callback([args, exitCode] { *exitCode = reset(args->key); });
}

}  // namespace vt::cli
