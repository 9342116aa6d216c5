#include "managers/BaseManager.hpp"

#include "base/Cancellation.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Paths.hpp"
#include "base/Regex.hpp"
#include "base/Strings.hpp"
#include "managers/ExecutableLocator.hpp"
#include "model/VersionRules.hpp"
#include "system/FileSystemManager.hpp"
#include "system/SystemNetworkClient.hpp"

#include <algorithm>
#include <filesystem>

namespace vt {

PackageManualUpdateRequiredError::PackageManualUpdateRequiredError(std::string packageName, std::string command,
                                                                   std::string reason)
    : std::runtime_error(reason.empty() ? "Run " + command : reason),
      packageName_(std::move(packageName)),
      command_(std::move(command)),
      reason_(std::move(reason)) {}

BaseManager::BaseManager(Identity identity, CommandRunning& runner, const FileSystemManager& files)
    : runner_(runner), files_(files), identity_(std::move(identity)) {}

bool BaseManager::discover(std::stop_token stop) {
    std::promise<bool> promise;
    {
        std::unique_lock lock(mutex_);
        if (cachedDiscoveryResult_) return *cachedDiscoveryResult_;
        if (discoveryTask_) {
            std::shared_future<bool> running = *discoveryTask_;
            lock.unlock();
            return running.get();
        }
        discoveryTask_ = promise.get_future().share();
    }
    std::optional<std::string> path;
    try {
        path = locateExecutable(stop);
    } catch (...) {
        // Waiters learn the outcome too; a cancelled discovery is not cached.
        {
            std::scoped_lock lock(mutex_);
            discoveryTask_.reset();
        }
        promise.set_value(false);
        throw;
    }
    {
        std::scoped_lock lock(mutex_);
        isAvailable_ = path.has_value();
        binaryPath_ = path.value_or("");
        cachedDiscoveryResult_ = isAvailable_;
        discoveryTask_.reset();
    }
    if (!path) Logger("BaseManager").debug(localized("log.manager.executable_missing", {identity_.name}));
    promise.set_value(path.has_value());
    return path.has_value();
}

std::optional<std::string> BaseManager::locateExecutable(std::stop_token stop) {
    return locateDeclared(stop, paths::home());
}

std::optional<std::string> BaseManager::locateDeclared(std::stop_token stop, const std::string& home,
                                                       std::vector<std::string> installerLocations) const {
    std::vector<std::string>& folders = installerLocations;
    for (const std::string& folder : identity_.folders) {
        folders.push_back(startsWith(folder, "~/") ? home + folder.substr(1) : folder);
    }
    return ExecutableLocator(files_).locate(identity_.executables, stop, folders);
}

ShellCommandResult BaseManager::run(const CommandRequest& request, std::stop_token stop) const {
    try {
        return runner_.execute(request, stop);
    } catch (const CommandError& error) {
        if (error.kind() == CommandError::Kind::Cancelled || stop.stop_requested()) throw CancellationError();
        throw;
    }
}

ShellCommandResult BaseManager::runStreaming(const CommandRequest& request, CommandRunning::ChunkHandler onStdout,
                                             CommandRunning::ChunkHandler onStderr, std::stop_token stop) const {
    try {
        return runner_.executeStreaming(request, std::move(onStdout), std::move(onStderr), stop);
    } catch (const CommandError& error) {
        if (error.kind() == CommandError::Kind::Cancelled || stop.stop_requested()) throw CancellationError();
        throw;
    }
}

void BaseManager::setNetwork(NetworkClient& network) {
    std::scoped_lock lock(mutex_);
    network_ = &network;
}

NetworkClient& BaseManager::network() const {
    {
        std::scoped_lock lock(mutex_);
        if (network_ != nullptr) return *network_;
    }
    // Never destroyed: adapters outlive static destruction in threads left by a time limit.
    static NetworkClient* shared = new SystemNetworkClient();
    return *shared;
}

void BaseManager::forgetDiscovery() {
    std::scoped_lock lock(mutex_);
    cachedDiscoveryResult_.reset();
}

bool BaseManager::isAvailable() const {
    std::scoped_lock lock(mutex_);
    return isAvailable_;
}

std::string BaseManager::binaryPath() const {
    std::scoped_lock lock(mutex_);
    return binaryPath_;
}

void BaseManager::updateAll(std::stop_token) {
    throw std::logic_error(identity_.name + " cannot update everything at once");
}

std::optional<std::string> BaseManager::pinnedVersion(const Package&) const { return std::nullopt; }

void BaseManager::updateTogether(const std::vector<Package>& packages, std::stop_token stop) {
    for (const Package& package : packages) update(package, stop);
}

std::optional<std::string> BaseManager::exactVersion(const Package& package) {
    static const Regex pattern(R"(^[A-Za-z0-9][A-Za-z0-9.+~:_-]*$)");
    if (!package.latestVersion) return std::nullopt;
    const std::string& version = *package.latestVersion;
    if (version.size() > 128 || isPlaceholderVersion(version) || !pattern.fullyMatches(version)) return std::nullopt;
    return version;
}

bool BaseManager::isLoading() const {
    std::scoped_lock lock(mutex_);
    return isLoading_;
}

std::optional<std::string> BaseManager::errorMessage() const {
    std::scoped_lock lock(mutex_);
    return errorMessage_;
}

bool BaseManager::latestVersionsUnknown() const {
    std::scoped_lock lock(mutex_);
    return latestVersionsUnknown_;
}

void BaseManager::markLatestVersionsUnknown(bool unknown) {
    std::scoped_lock lock(mutex_);
    latestVersionsUnknown_ = unknown;
}

std::vector<Package> BaseManager::packages() const {
    std::scoped_lock lock(mutex_);
    return packages_;
}

void BaseManager::setLoading(bool loading) {
    std::scoped_lock lock(mutex_);
    isLoading_ = loading;
}

std::optional<std::string> BaseManager::locateInOwnFolder(const std::string& root, std::stop_token stop,
                                                          const std::string& home) const {
    return locateDeclared(stop, home, {root + "/bin/" + identity_.executables.front()});
}

std::map<std::string, std::string> BaseManager::ownFolderEnvironment(
    const std::string& variable, const std::string& root, const std::map<std::string, std::string>& overrides) {
    std::map<std::string, std::string> environment{
        {variable, root},
        {"PATH", root + "/bin:/usr/local/bin:/usr/bin:/bin"},
        {"NO_COLOR", "1"},
    };
    for (const auto& [name, value] : overrides) environment[name] = value;
    return environment;
}

std::optional<std::string> BaseManager::failureOf(const std::function<void()>& work, const std::stop_token& stop) {
    try {
        work();
        return std::nullopt;
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        if (stop.stop_requested()) throw CancellationError();
        return error.what();
    }
}

std::vector<Package> BaseManager::nothingFound(std::optional<std::string> error) {
    setErrorMessage(std::move(error));
    return {};
}

std::vector<Package> BaseManager::publishEmptyListing(std::optional<std::string> error) {
    publishPackages({});
    return nothingFound(std::move(error));
}

std::vector<Package> BaseManager::publishToolListing(const std::stop_token& stop,
                                                    const std::function<std::vector<Package>()>& read,
                                                    const std::function<std::string(const CommandError&)>& failure) {
    LoadingScope loading(*this);
    if (!discover(stop)) return publishEmptyListing();
    std::optional<std::vector<Package>> packages = readOrReport(stop, read, failure);
    if (!packages) {
        publishPackages({});
        return {};
    }
    setErrorMessage(std::nullopt);
    publishPackages(*packages);
    return std::move(*packages);
}

std::vector<Package> BaseManager::overListing(std::vector<Package> rows) const {
    std::map<std::string, Package> listed;
    for (Package& package : packages()) listed.emplace(package.name, std::move(package));
    for (Package& row : rows) {
        auto found = listed.find(row.name);
        if (found == listed.end()) continue;
        const Package checked = std::move(row);
        row = found->second;
        takeCheckResult(row, checked);
    }
    return rows;
}

void BaseManager::setErrorMessage(std::optional<std::string> message) {
    std::scoped_lock lock(mutex_);
    errorMessage_ = std::move(message);
}

void BaseManager::publishPackages(std::vector<Package> packages) {
    std::scoped_lock lock(mutex_);
    packages_ = std::move(packages);
}

void BaseManager::addFolderAndEntries(std::vector<std::string>& paths, const std::string& folder) {
    paths.push_back(folder);
    std::vector<std::string> entries;
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        entries.push_back(it->path().string());
    }
    std::sort(entries.begin(), entries.end());
    paths.insert(paths.end(), entries.begin(), entries.end());
}

std::optional<std::string> BaseManager::variable(const std::map<std::string, std::string>& overrides, const char* name) {
    if (auto it = overrides.find(name); it != overrides.end()) {
        if (it->second.empty()) return std::nullopt;
        return it->second;
    }
    return paths::environmentValue(name);
}

}  // namespace vt
