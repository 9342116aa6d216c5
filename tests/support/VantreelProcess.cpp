#include "support/VantreelProcess.hpp"

#include <filesystem>

#include "base/Files.hpp"
#include "base/Json.hpp"
#include "settings/SettingsManager.hpp"
#include "system/CommandRunner.hpp"

namespace vt::testing {

ShellCommandResult runVantreel(const VantreelRun& run) {
    CommandRequest request;
    request.command = VT_BINARY_PATH;
    request.arguments = run.arguments;
    request.environment = run.environment;
    request.environment["HOME"] = run.home;
    request.standardInput = run.standardInput;
    request.timeout = run.timeout;
    request.allowNonZeroExit = true;
    static CommandRunner runner;
    return runner.execute(request);
}

void showOnly(const std::string& home, const std::vector<std::string>& toggleKeys) {
    Json preferences = {{"DidApplyFirstLaunchDefaults", true}};
    for (const auto& definition : settingDefinitions()) {
        if (definition.broadcast == kManagerToggleDidChange) preferences[std::string(definition.key)] = false;
    }
    for (const std::string& key : toggleKeys) preferences[key] = true;
    const std::string folder = home + "/.config/vantreel";
    std::filesystem::create_directories(folder);
    writeFileAtomically(folder + "/com.corvanel.Vantreel.json", dumpJson(preferences));
}

}  // namespace vt::testing
