#include "managers/toolchains/ToolchainManager.hpp"

#include <filesystem>

#include "base/Cancellation.hpp"
#include "base/Localization.hpp"
#include "base/Paths.hpp"
#include "base/Strings.hpp"
#include "managers/toolchains/ToolchainError.hpp"
#include "system/AdminPrompt.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {

namespace {

std::string resolved(const std::string& path) {
    std::error_code error;
    std::filesystem::path real = std::filesystem::canonical(path, error);
    return error ? path : real.string();
}

}  // namespace

ToolchainManager::ToolchainManager(SourceRow row, CommandRunning& runner, const FileSystemManager& files,
                                   Options options, std::vector<const char*> variables,
                                   std::string logName)
    : BaseManager(row, runner, files),
      options_(std::move(options)),
      variables_(std::move(variables)),
      log_(std::move(logName)) {
    if (options_.network != nullptr) setNetwork(*options_.network);
}

ToolchainManager::~ToolchainManager() = default;

std::vector<Package> ToolchainManager::listInstalled(std::stop_token stop) {
    LoadingScope loading(*this);
    if (!discover(stop)) return publishEmptyListing();
    std::optional<std::string> message;
    std::vector<Package> packages;
    if (std::optional<std::string> failure = failureOf([&] { packages = readInstalled(stop, message); }, stop)) {
        message = failure;
    }
    if (message) log_.warning(*message);
    setErrorMessage(message);
    publishPackages(packages);
    return packages;
}

std::vector<Package> ToolchainManager::checkOutdated(std::stop_token stop) {
    LoadingScope loading(*this);
    if (!discover(stop)) {
        setErrorMessage(std::nullopt);
        return {};
    }
    std::optional<std::string> message;
    std::vector<Package> outdated;
    if (std::optional<std::string> failure = failureOf([&] { outdated = readOutdated(stop, message); }, stop)) {
        message = failure;
    }
    if (message) log_.warning(*message);
    setErrorMessage(message);
    return outdated;
}

bool ToolchainManager::isSafeArgument(std::string_view value) {
    if (value.empty() || value.size() > 200 || value.front() == '-') return false;
    for (char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f || c == ' ' || c == '"' || c == '\'' || c == '`' || c == '$' || c == '\\' ||
            c == ';' || c == '|' || c == '&' || c == '<' || c == '>' || c == '(' || c == ')' || c == '*' ||
            c == '?') {
            return false;
        }
    }
    return true;
}

bool ToolchainManager::isHomebrewPath(std::string_view path) {
    return startsWith(path, "/usr/local/Homebrew/") || startsWith(path, "/usr/local/Cellar/") ||
           startsWith(path, "/opt/homebrew/") || startsWith(path, "/usr/local/Caskroom/") ||
           startsWith(path, "/home/linuxbrew/.linuxbrew/");
}

std::optional<std::string> ToolchainManager::locateExecutable(std::stop_token stop) {
    return locateDeclared(stop, home());
}

std::string ToolchainManager::home() const { return options_.home.value_or(paths::home()); }

std::map<std::string, std::string> ToolchainManager::environment() const {
    std::map<std::string, std::string> environment;
    for (const char* name : variables_) {
        if (auto value = paths::environmentValue(name); value && !value->empty()) environment[name] = *value;
    }
    for (const auto& [name, value] : options_.environment) environment[name] = value;
    return environment;
}

ShellCommandResult ToolchainManager::tool(const std::vector<std::string>& arguments, double timeout,
                                          std::stop_token stop, const std::string& command) const {
    CommandRequest request;
    request.command = command.empty() ? binaryPath() : command;
    request.arguments = arguments;
    request.timeout = timeout;
    request.environment = environment();
    request.allowNonZeroExit = true;
    return run(request, stop);
}

ShellCommandResult ToolchainManager::runUpdate(const std::vector<std::string>& arguments, double timeout,
                                               std::stop_token stop, const std::string& failureText,
                                               const std::string& command) const {
    return runUpdate(
        arguments, timeout, stop,
        [&](const std::string& output) { throw ToolchainError::commandFailed(failureText + ": " + output); }, command);
}

ShellCommandResult ToolchainManager::runUpdate(const std::vector<std::string>& arguments, double timeout,
                                               std::stop_token stop,
                                               const std::function<void(const std::string&)>& fail,
                                               const std::string& command) const {
    log_.info(localized("log.running", {std::string(lastPathComponent(command.empty() ? binaryPath() : command)) + " " +
                                        join(arguments, " ")}));
    ShellCommandResult result;
    try {
        result = tool(arguments, timeout, stop, command);
    } catch (const CommandError& error) {
        if (stop.stop_requested()) throw CancellationError();
        fail(error.description());
        throw;
    }
    if (result.exitCode != 0) {
        const std::string output =
            excerpt(trim(result.standardError.empty() ? result.standardOutput : result.standardError), 600);
        fail(output);
        throw ToolchainError::commandFailed(output);
    }
    return result;
}

void ToolchainManager::requireSafe(const std::string& value) const {
    if (!isSafeArgument(value)) throw ToolchainError::invalidArgument(identity().name, value);
}

void ToolchainManager::requireTool(std::stop_token stop) {
    if (!discover(stop)) throw ToolchainError::notInstalled(identity().name);
}

std::optional<std::string> ToolchainManager::owningBrew() const {
    const std::string real = resolved(binaryPath());
    if (!isHomebrewPath(real) && !isHomebrewPath(binaryPath())) return std::nullopt;
    for (const std::string& brew : options_.brewCandidates) {
        if (files_.isExecutableFile(brew)) return brew;
    }
    return std::nullopt;
}

AdminPrompt& ToolchainManager::adminPrompt() {
    if (options_.adminPrompt != nullptr) return *options_.adminPrompt;
    std::scoped_lock lock(adminMutex_);
    if (!ownedAdminPrompt_) ownedAdminPrompt_ = std::make_unique<SystemAdminPrompt>(runner_, files_);
    return *ownedAdminPrompt_;
}

}  // namespace vt
