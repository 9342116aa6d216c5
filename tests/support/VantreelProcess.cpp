#include "support/VantreelProcess.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <thread>

#include <gtest/gtest.h>

#include "base/Files.hpp"
#include "base/Json.hpp"
#include "settings/SettingsManager.hpp"
#include "system/CommandRunner.hpp"
#include "system/Endpoints.hpp"
#include "support/BuildPaths.hpp"
#include "system/FileSystemManager.hpp"

namespace vt::testing {

ShellCommandResult runVantreel(const VantreelRun& run) {
    CommandRequest request;
    const std::string program = run.program.value_or(vantreelPath());
    request.command = program;
    request.arguments = run.arguments;
    if (!run.wrapper.empty()) {
        request.command = run.wrapper.front();
        request.arguments.assign(run.wrapper.begin() + 1, run.wrapper.end());
        request.arguments.push_back(program);
        request.arguments.insert(request.arguments.end(), run.arguments.begin(), run.arguments.end());
    }
    request.environment = run.environment;
    request.environment["HOME"] = run.home;
    // The PATH of a user of that home with no folder of their own: this machine's tools in
    // the user's own folders stay out of the sandbox.
    request.environment.try_emplace("PATH", CommandRunner::standardSearchPath(run.home, SystemFileSystemManager()));
    // The application sources ask public services for every bundle they see; a test that
    // does not serve one itself gets a refused connection, never the real service.
    for (Service service : {Service::ITunes, Service::AppStoreWeb, Service::GitHubApi, Service::GitHubWeb,
                            Service::Sofa, Service::Cve, Service::Osv}) {
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

ShellCommandResult runVantreelOnTerminal(const VantreelRun& run, const std::string& answer) {
    std::map<std::string, std::string> variables = {{"HOME", run.home}, {"TERM", "xterm"}, {"PATH", "/usr/bin:/bin"}};
    for (const auto& [name, value] : run.environment) variables[name] = value;
    std::vector<std::string> environment;
    for (const auto& [name, value] : variables) environment.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::vector<std::string> arguments = run.arguments;
    std::string program = vantreelPath();
    std::vector<char*> argv{program.data()};
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);

    ShellCommandResult result;
    int master = -1;
    const pid_t child = ::forkpty(&master, nullptr, nullptr, nullptr);
    if (child < 0) {
        result.exitCode = -1;
        result.standardError = "no pseudo-terminal (is /dev/pts mounted?)";
        return result;
    }
    if (child == 0) {
        ::execve(program.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(run.timeout);
    bool answered = false;
    char buffer[4096];
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd ready{master, POLLIN, 0};
        if (::poll(&ready, 1, 100) <= 0) continue;
        const ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n <= 0) break;  // the terminal closed with the program
        result.standardOutput.append(buffer, static_cast<std::size_t>(n));
        if (!answered && result.standardOutput.find("] ") != std::string::npos) {
            const std::string line = answer + "\n";
            [[maybe_unused]] ssize_t written = ::write(master, line.data(), line.size());
            answered = true;
        }
    }
    // The terminal closes before the program can be reaped: it is waited for until the deadline.
    int status = 0;
    pid_t reaped = 0;
    while ((reaped = ::waitpid(child, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (reaped == 0) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        result.standardError = "timed out";
    }
    ::close(master);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

void showOnly(const std::string& home, const std::vector<std::string>& toggleKeys) {
    Json preferences = {{"DidApplyFirstLaunchDefaults", true}};
    for (const auto& definition : settingDefinitions()) {
        if (definition.broadcast == kManagerToggleDidChange) preferences[std::string(definition.key)] = false;
    }
    for (const std::string& key : toggleKeys) preferences[key] = true;
    std::filesystem::create_directories(std::filesystem::path(settingsFile(home)).parent_path());
    writeFileAtomically(settingsFile(home), dumpJson(preferences));
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

std::string schemaViolations(const std::string& schema, const std::string& document) {
    const std::string file = std::filesystem::temp_directory_path() / ("vt-schema-" + std::to_string(::getpid()) + "-" +
                                                                          std::to_string(std::hash<std::string>{}(document)) + ".json");
    writeFileAtomically(file, document);
    CommandRequest request;
    request.command = "/usr/bin/python3";
    request.arguments = {sourceDir() + "/tests/support/validate_json.py", sourceDir() + "/schemas", schema, file};
    request.timeout = 60;
    request.allowNonZeroExit = true;
    static CommandRunner runner;
    ShellCommandResult result = runner.execute(request);
    std::filesystem::remove(file);
    if (result.exitCode == 0) return "";
    return result.standardOutput + result.standardError;
}

std::string settingsFile(const std::string& home) { return home + "/.config/vantreel/settings.json"; }
std::string dataFolder(const std::string& home) { return home + "/.local/share/vantreel"; }
std::string logFile(const std::string& home) { return home + "/" + kLogFolderUnderHome + "vantreel.log"; }

std::vector<std::string> childEnvironment(const std::map<std::string, std::string>& set) {
    std::vector<std::string> entries;
    for (const auto& [name, value] : set) entries.push_back(name + "=" + value);
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        const std::string_view name = text.substr(0, text.find('='));
        const bool folder = name.starts_with("XDG_") && name.ends_with("_HOME");
        if (!folder && set.count(std::string(name)) == 0) entries.emplace_back(text);
    }
    return entries;
}

std::vector<char*> environmentPointers(std::vector<std::string>& entries) {
    std::vector<char*> pointers;
    for (std::string& entry : entries) pointers.push_back(entry.data());
    pointers.push_back(nullptr);
    return pointers;
}

pid_t startVantreel(const std::string& home, const std::vector<std::string>& arguments, int outputFd) {
    // Everything the child needs is made before the fork: the child of a threaded program may
    // only make system calls, and setenv or malloc there can wait forever on a lock that a
    // thread of this process held at the fork.
    const std::string& program = vantreelPath();
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> environment = childEnvironment(
        {{"HOME", home}, {"PATH", CommandRunner::standardSearchPath(home, SystemFileSystemManager())}});
    std::vector<char*> envp = environmentPointers(environment);
    pid_t child = ::fork();
    if (child == 0) {
        int output = outputFd >= 0 ? outputFd : ::open("/dev/null", O_WRONLY);
        ::dup2(output, STDOUT_FILENO);
        ::dup2(output, STDERR_FILENO);
        ::execve(program.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    return child;
}

bool isRunning(pid_t pid) {
    const std::string text = readFile("/proc/" + std::to_string(pid) + "/stat").value_or("");
    // "pid (command) state ...": the command may hold spaces and parentheses.
    const std::size_t close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z';
}

std::vector<pid_t> pidsIn(const std::string& file) {
    std::vector<pid_t> pids;
    std::ifstream stream(file);
    pid_t pid = 0;
    while (stream >> pid) pids.push_back(pid);
    return pids;
}

bool waitForFile(const std::string& path) {
    for (int i = 0; i < 1200; ++i) {  // 30 s: a program starting under a loaded machine
        if (std::filesystem::exists(path)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    return false;
}

}  // namespace vt::testing
