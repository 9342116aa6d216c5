// The update of one global package: the registry pre-check, the install and its verification.
#include "managers/javascript/NpmManager.hpp"

#include <algorithm>

#include "base/Cancellation.hpp"
#include "base/Log.hpp"
#include "base/Regex.hpp"
#include "base/Strings.hpp"
#include "managers/javascript/NpmError.hpp"
#include "model/VersionRules.hpp"
#include "system/NetworkClient.hpp"
#include "system/Endpoints.hpp"
#include "system/RegistryRequest.hpp"
#include "base/Localization.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger instance("NpmManager");
    return instance;
}

// What npm says when a dependency uses a protocol it cannot fetch ("workspace:", ...).
bool isUnsupportedProtocol(std::string_view output) {
    const std::string lower = toLower(output);
    return contains(lower, "eunsupportedprotocol") || contains(lower, "unsupported url type");
}

// The specifications npm named in its unsupported-protocol error: `Unsupported URL Type
// "workspace:": workspace:*`.
std::vector<std::string> unsupportedSpecifications(std::string_view output) {
    static const Regex pattern(R"(Unsupported URL Type "[^"]*": (\S+))", Regex::Options{.caseInsensitive = true});
    std::vector<std::string> specifications;
    for (const Regex::Match& match : pattern.findAll(output)) {
        if (match.groups.empty() || !match.groups[0]) continue;
        std::string specification(*match.groups[0]);
        if (std::find(specifications.begin(), specifications.end(), specification) == specifications.end()) {
            specifications.push_back(std::move(specification));
        }
    }
    return specifications;
}

}  // namespace

PackageManualUpdateRequiredError NpmManager::workspaceRefusal(const std::string& name,
                                                              const std::vector<std::string>& blocking,
                                                              const std::string& tag) {
    const std::string command = NpmError::installCommand(name, tag);
    const std::string reason = localized(
        "npm.update.workspace", {name, blocking.empty() ? localized("npm.update.unknown_dependencies") : join(blocking, ", "), command});
    return PackageManualUpdateRequiredError(name, command, reason);
}

std::optional<std::string> NpmManager::registryBase(const std::string& npm, std::stop_token stop) {
    {
        std::scoped_lock lock(npmMutex_);
        if (registry_) return registry_;
    }
    std::string registry;
    try {
        registry = trim(runNpm(npm, {"config", "get", "registry"}, kConfigTimeout, stop).standardOutput);
        if (!(startsWith(registry, "https://") || startsWith(registry, "http://")) ||
            registry.find_first_of(" \t\n") != std::string::npos) {
            logger().warning(localized("log.npm.registry_no_address", {registry.substr(0, 160)}));
            registry.clear();
        }
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        if (stop.stop_requested()) throw CancellationError();
        logger().warning(localized("log.command_error", {"npm config get registry", error.what()}));
    }
    if (registry.empty()) {
        // No guess: a registry npm does not name is not the one it installs from.
        logger().warning(localized("log.npm.registry_unknown"));
        return std::nullopt;
    }
    while (endsWith(registry, "/")) registry.pop_back();
    std::scoped_lock lock(npmMutex_);
    registry_ = registry;
    return registry;
}

std::optional<NpmManager::ManifestCheck> NpmManager::fetchTargetManifest(const std::string& npm,
                                                                          const std::string& name,
                                                                          const std::string& tag,
                                                                          std::stop_token stop) {
    std::optional<std::string> registry = registryBase(npm, stop);
    if (!registry) {
        logger().warning(localized("log.npm.manifest_failed", {name, localized("log.npm.manifest_no_registry")}));
        return std::nullopt;
    }
    HttpRequest request = RegistryRequest::get(*registry + "/" + name + "/" + tag);
    request.timeoutSeconds = kManifestTimeout;
    request.headers.set("Accept", "application/json");
    HttpResponse response;
    try {
        response = network().send(request, stop);
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        if (stop.stop_requested()) throw CancellationError();
        logger().warning(localized("log.npm.manifest_failed", {name, error.what()}));
        return std::nullopt;
    }
    if (response.statusCode != 200) {
        logger().warning(localized("log.npm.manifest_failed",
                                   {name, localized("log.http_status", {std::to_string(response.statusCode)})}));
        return std::nullopt;
    }
    std::optional<Json> manifest = parseJson(response.body);
    if (!manifest || !manifest->is_object()) {
        logger().warning(localized("log.npm.manifest_failed", {name, localized("log.npm.manifest_not_object")}));
        return std::nullopt;
    }
    return ManifestCheck{stringField(*manifest, "version"), workspaceDependencies(*manifest)};
}

void NpmManager::throwInstallFailure(const std::string& name, const std::string& tag, const ShellCommandResult& result,
                                     const std::optional<ManifestCheck>& manifest) {
    const std::string output = result.standardOutput + "\n" + result.standardError;
    if (isUnsupportedProtocol(output)) {
        std::vector<std::string> blocking;
        if (manifest) blocking = manifest->workspaceDependencies;
        if (blocking.empty()) blocking = unsupportedSpecifications(output);
        throw workspaceRefusal(name, blocking, tag);
    }
    if (std::optional<std::string> native = nativePackageMentioned(output)) {
        throw NpmError::nativePackageMissing(name, *native, tag);
    }
    std::optional<std::string> message;
    if (std::optional<Json> json = parseJson(result.standardOutput)) message = npmErrorText(*json);
    if (!message) message = trim(result.standardError.empty() ? result.standardOutput : result.standardError);
    throw CommandError::executionFailed(result.exitCode, *message);
}

void NpmManager::verifyInstalled(const std::string& npm, const Package& package,
                                 const std::optional<std::string>& target, const std::string& tag,
                                 std::stop_token stop) {
    const std::string& name = package.name;
    Parsed<InstalledEntry> listing = readInstalled(npm, stop);
    if (listing.error) {
        // The re-check after the update will say what is installed.
        logger().warning(localized("log.npm.verify_failed_detail", {name, *listing.error}));
        return;
    }
    auto entry = std::find_if(listing.entries.begin(), listing.entries.end(),
                              [&](const InstalledEntry& item) { return item.name == name; });
    const std::string expected = target.value_or("latest");
    if (entry == listing.entries.end()) {
        logger().error(localized("log.npm.verify_failed", {name}));
        throw NpmError::verificationFailed(name, std::nullopt, expected, tag);
    }
    logger().info(localized("log.manager.version_after_update", {"npm", name, entry->version}));
    // Newer than the target (installed meanwhile by other means) is just as good: never backwards.
    if (target && compareVersions(entry->version, *target) == VersionOrder::Ascending) {
        throw NpmError::verificationFailed(name, entry->version, *target, tag);
    }
}

void NpmManager::update(const Package& package, std::stop_token stop) {
    const std::string& name = package.name;
    if (!discover(stop)) throw NpmError::notFound();
    if (!isInstallableName(name)) throw NpmError::invalidPackageName(name);
    const std::string npm = binaryPath();

    // The version the row showed, never whatever became "latest" since the scan.
    const std::optional<std::string> pinned = pinnedVersion(package);
    const std::string tag = pinned.value_or("latest");
    std::optional<ManifestCheck> manifest = fetchTargetManifest(npm, name, tag, stop);
    if (manifest && !manifest->workspaceDependencies.empty()) {
        logger().warning(localized("log.npm.workspace_refused", {name, join(manifest->workspaceDependencies, ", ")}));
        throw workspaceRefusal(name, manifest->workspaceDependencies, tag);
    }

    ShellCommandResult result;
    try {
        result = runNpm(npm, {"install", "-g", name + "@" + tag}, kInstallTimeout, stop, true);
    } catch (const CommandError& error) {
        // Even a stopped install may have changed the global folder half-way.
        invalidateListings();
        if (error.kind() == CommandError::Kind::Timeout) {
            throw NpmError::timeout(name, static_cast<int>(kInstallTimeout), tag);
        }
        throw;
    } catch (const CancellationError&) {
        invalidateListings();
        throw;
    }
    invalidateListings();
    if (result.exitCode != 0) throwInstallFailure(name, tag, result, manifest);

    std::optional<std::string> target = pinned;
    if (!target && manifest) target = manifest->targetVersion;
    verifyInstalled(npm, package, target, tag, stop);
}

}  // namespace vt
