// Updating one package with the pip of its own environment.
#include "managers/python/PipManager.hpp"

#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Strings.hpp"
#include "managers/python/PipError.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger instance("PipManager");
    return instance;
}

std::optional<PipManager::Environment> environmentNamed(const std::vector<PipManager::Environment>& environments,
                                                        const std::string& interpreter) {
    for (const auto& environment : environments) {
        if (environment.interpreter == interpreter) return environment;
    }
    return std::nullopt;
}

}  // namespace

void PipManager::update(const Package& package, std::stop_token stop) {
    logger().info(localized("log.manager.updating_package", {"pip", package.name}));
    if (!isProjectName(package.name)) throw PipError::invalidPackageName(package.name);

    std::optional<std::string> interpreter = package.sourceIdentifier;
    std::vector<Environment> known;
    {
        std::scoped_lock lock(pipMutex_);
        if (inventory_) {
            known = inventory_->environments;
            // A record from before environments were told apart: its owner by name.
            if (!interpreter || interpreter->empty()) {
                auto owner = inventory_->ownerByName.find(normalizedName(package.name));
                if (owner != inventory_->ownerByName.end()) interpreter = owner->second;
            }
        }
    }
    if (!interpreter || interpreter->empty()) throw PipError::noExecutableForUpdate(package.name);
    std::optional<Environment> environment = environmentNamed(known, *interpreter);
    if (!environment) environment = environmentNamed(findEnvironments(stop), *interpreter);
    if (!environment) throw PipError::noExecutableForUpdate(package.name);
    if (environment->isExternallyManaged) {
        logger().warning(localized("log.pip.system_managed", {environment->interpreter, package.name}));
        throw PipError::externallyManaged(package.name, environment->interpreter);
    }

    // The version shown when there is one; otherwise whatever the index calls the newest.
    const std::optional<std::string> pinned = pinnedVersion(package);
    const std::vector<std::string> arguments =
        pinned ? std::vector<std::string>{"install", package.name + "==" + *pinned}
               : std::vector<std::string>{"install", "--upgrade", package.name};
    CommandRequest request = pipRequest(*environment, arguments, kInstallTimeout);
    if (environment->pip) {
        request.command = *environment->pip;
        request.arguments = arguments;
    }
    logger().info(localized("log.pip.update_using", {request.command}));
    ShellCommandResult result = run(request, stop);
    invalidateListings();
    {
        std::scoped_lock lock(pipMutex_);
        inventory_.reset();
    }
    if (result.exitCode != 0) {
        logger().error(localized("log.pip.command_failed", {environment->interpreter, trim(result.standardError)}));
        // The marker may have appeared since the environment was found.
        if (contains(result.standardError, "externally-managed-environment")) {
            throw PipError::externallyManaged(package.name, environment->interpreter);
        }
        throw CommandError::executionFailed(
            result.exitCode, result.standardError.empty() ? result.standardOutput : result.standardError);
    }
    // Without the index pip keeps what is installed and still succeeds.
    if (!unreachableProjects(result.standardError).empty() &&
        contains(result.standardOutput, "Requirement already satisfied")) {
        throw PipError::indexUnreachable(package.name);
    }
}

}  // namespace vt
