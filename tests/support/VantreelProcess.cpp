#include "support/VantreelProcess.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "base/Files.hpp"
#include "base/Json.hpp"
#include "settings/SettingsManager.hpp"
#include "system/CommandRunner.hpp"
#include "system/Endpoints.hpp"
#include "support/BuildPaths.hpp"

namespace vt::testing {

ShellCommandResult runVantreel(const VantreelRun& run) {
    CommandRequest request;
    request.command = vantreelPath();
    request.arguments = run.arguments;
    if (!run.wrapper.empty()) {
        request.command = run.wrapper.front();
        request.arguments.assign(run.wrapper.begin() + 1, run.wrapper.end());
        request.arguments.push_back(vantreelPath());
        request.arguments.insert(request.arguments.end(), run.arguments.begin(), run.arguments.end());
    }
    request.environment = run.environment;
    request.environment["HOME"] = run.home;
    // The application sources ask public services for every bundle they see; a test that
    // does not serve one itself gets a refused connection, never the real service.
    for (Service service : {Service::ITunes, Service::AppStoreWeb, Service::GitHubApi, Service::GitHubWeb,
                            Service::Sofa, Service::Cve}) {
        std::string variable = "VANTREEL_ENDPOINT_";
        variable += Endpoints::name(service);
        request.environment.try_emplace(variable, "http://127.0.0.1:9");
    }
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

Json jsonOf(const ShellCommandResult& result) {
    auto parsed = parseJson(result.standardOutput);
    EXPECT_TRUE(parsed.has_value()) << result.standardOutput << result.standardError;
    return parsed.value_or(Json::object());
}

std::map<std::string, Json> itemsByKey(const Json& report) {
    std::map<std::string, Json> items;
    if (report.contains("items")) {
        for (const auto& item : report["items"]) items[item["stableKey"].get<std::string>()] = item;
    }
    return items;
}

pid_t startVantreel(const std::string& home, const std::vector<std::string>& arguments, int outputFd) {
    std::vector<char*> argv{const_cast<char*>(vantreelPath().c_str())};
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t child = ::fork();
    if (child == 0) {
        int output = outputFd >= 0 ? outputFd : ::open("/dev/null", O_WRONLY);
        ::dup2(output, STDOUT_FILENO);
        ::dup2(output, STDERR_FILENO);
        ::setenv("HOME", home.c_str(), 1);
        ::execv(vantreelPath().c_str(), argv.data());
        ::_exit(127);
    }
    return child;
}

std::vector<pid_t> pidsIn(const std::string& file) {
    std::vector<pid_t> pids;
    std::ifstream stream(file);
    pid_t pid = 0;
    while (stream >> pid) pids.push_back(pid);
    return pids;
}

bool waitForFile(const std::string& path) {
    for (int i = 0; i < 200; ++i) {
        if (std::filesystem::exists(path)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return false;
}

}  // namespace vt::testing
