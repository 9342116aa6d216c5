#include "managers/languages/ComposerManager.hpp"

#include <algorithm>

#include "base/Paths.hpp"
#include "base/Cancellation.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Regex.hpp"
#include "base/Strings.hpp"
#include "managers/PublishTimes.hpp"
#include "managers/ToolOutput.hpp"
#include "managers/languages/ComposerError.hpp"
#include "managers/languages/ToolEnvironment.hpp"
#include "model/VersionRules.hpp"
#include "system/Endpoints.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger instance("ComposerManager");
    return instance;
}

constexpr const char* kMissingManifest = "could not find a composer.json file";
// How `update --with` refuses a version the requirement does not allow: "The temporary
// constraint "2.0.0" for "vendor/name" must be a subset of the constraint in your
// composer.json (^1.4)", wrapped at the console's width.
constexpr const char* kNotWithinConstraint = "temporary constraint";

// What Composer prints when a repository gave no answer (curl's and PHP's stream wording).
constexpr const char* kUnreachableSigns[] = {
    "could not be fully loaded", "could not be downloaded", "Could not resolve host", "Name or service not known",
    "curl error 6",              "curl error 7",            "curl error 28",          "Network is unreachable",
};

}  // namespace

const SourceRow& ComposerManager::source() {
    static const SourceRow row{.id = "composer", .name = "Composer", .executables = {"composer"},
                               .types = {PackageType::ComposerPackage}, .toggle = ManagerToggleKey::ShowComposer,
                               .completionLine = "Composer", .logTag = "composer",
                               .make = makeAdapter<ComposerManager>};
    return row;
}

ComposerManager::ComposerManager(CommandRunning& runner, const FileSystemManager& files)
    : ComposerManager(runner, files, Options{}) {}

ComposerManager::ComposerManager(CommandRunning& runner, const FileSystemManager& files, Options options)
    : BaseManager(source(), runner, files), options_(std::move(options)) {}

ComposerManager::~ComposerManager() = default;

bool ComposerManager::isPackageName(std::string_view name) {
    static const Regex pattern(R"(^[a-z0-9]([_.-]?[a-z0-9]+)*/[a-z0-9](([_.]|-{1,2})?[a-z0-9]+)*$)");
    return name.size() < 256 && pattern.fullyMatches(name);
}

ComposerManager::Parsed ComposerManager::parseListing(std::string_view standardOutput, std::string_view standardError) {
    Parsed parsed;
    for (std::string_view text : {standardOutput, standardError}) {
        if (contains(toLower(text), kMissingManifest)) parsed.missingManifest = true;
        for (const char* sign : kUnreachableSigns) {
            if (contains(text, sign)) parsed.repositoryUnreachable = true;
        }
    }
    std::optional<Json> json = jsonAfterBanner(standardOutput);
    // With nothing installed Composer prints "[]" or an object without "installed".
    if (json && json->is_array() && json->empty()) return parsed;
    if (!json || !json->is_object()) {
        if (!parsed.missingManifest && !trimView(standardOutput).empty()) {
            parsed.error = "Failed to parse composer JSON: " + excerpt(trimView(standardOutput), 200);
        }
        return parsed;
    }
    if (!json->contains("installed") || !(*json)["installed"].is_array()) return parsed;
    for (const Json& entry : (*json)["installed"]) {
        if (!entry.is_object()) continue;
        ComposerPackageEntry package;
        package.name = stringField(entry, "name").value_or("");
        package.version = stringField(entry, "version").value_or("");
        package.description = stringField(entry, "description");
        package.latest = stringField(entry, "latest");
        if (package.name.empty() || package.version.empty()) continue;
        parsed.packages.push_back(std::move(package));
    }
    return parsed;
}

ComposerManager::Parsed ComposerManager::runListing(const std::string& subcommand, double timeout,
                                                    std::stop_token stop) {
    // Without a global composer.json composer would only say so: no PHP start for that.
    const std::vector<std::string> homes = globalHomes();
    if (std::none_of(homes.begin(), homes.end(), [&](const std::string& folder) {
            return files_.fileExists(folder + "/composer.json");
        })) {
        Parsed none;
        none.missingManifest = true;
        return none;
    }
    CommandRequest request;
    request.command = binaryPath();
    request.arguments = {"global", subcommand, "--format=json", "--no-interaction", "--no-ansi"};
    request.timeout = timeout;
    request.allowNonZeroExit = true;
    request.environment = toolEnvironment({"COMPOSER_HOME"}, options_.environment);
    request.environment["COMPOSER_NO_INTERACTION"] = "1";
    try {
        ShellCommandResult result = run(request, stop);
        Parsed parsed = parseListing(result.standardOutput, result.standardError);
        if (result.exitCode != 0 && !parsed.error && !parsed.missingManifest && parsed.packages.empty()) {
            parsed.error = "composer global " + subcommand + " failed with exit code " +
                           std::to_string(result.exitCode) + ": " + excerpt(trimView(result.standardError), 300);
        }
        return parsed;
    } catch (const CommandError& error) {
        if (stop.stop_requested()) throw CancellationError();
        Parsed failed;
        failed.error = "composer global " + subcommand + " failed: " + error.description();
        return failed;
    }
}

std::optional<std::string> ComposerManager::messageFor(const Parsed& parsed) const {
    // Without a global composer.json there is simply no global package: nothing failed.
    if (parsed.missingManifest) return std::nullopt;
    if (parsed.repositoryUnreachable) return localized("error.registry.unreachable", {Endpoints::host(Service::Packagist)});
    return parsed.error;
}

std::vector<Package> ComposerManager::listInstalled(std::stop_token stop) {
    LoadingScope loading(*this);
    if (!discover(stop)) {
        return publishEmptyListing();
    }
    Parsed parsed = runListing("show", kShowTimeout, stop);
    if (parsed.error) logger().warning(*parsed.error);
    std::vector<Package> packages;
    for (const ComposerPackageEntry& entry : parsed.packages) {
        Package& package = packages.emplace_back();
        package.name = entry.name;
        package.version = entry.version;
        package.description = entry.description;
        package.type = PackageType::ComposerPackage;
    }
    setErrorMessage(messageFor(parsed));
    publishPackages(packages);
    return packages;
}

std::vector<Package> ComposerManager::checkOutdated(std::stop_token stop) {
    LoadingScope loading(*this);
    if (!discover(stop)) {
        setErrorMessage(std::nullopt);
        return {};
    }
    Parsed parsed = runListing("outdated", kOutdatedTimeout, stop);
    std::vector<Package> outdated;
    for (const ComposerPackageEntry& entry : parsed.packages) {
        if (!entry.latest || !isUpdateAvailable(entry.version, *entry.latest, false)) continue;
        Package package;
        package.name = entry.name;
        package.version = entry.version;
        package.latestVersion = entry.latest;
        package.description = entry.description;
        package.type = PackageType::ComposerPackage;
        outdated.push_back(std::move(package));
    }
    // `composer outdated` says nothing of when a version was published; Packagist's metadata
    // does. A package from another repository is not there, and its age stays unknown.
    if (wantsPublishTimes() && !outdated.empty()) {
        dateFromRegistry(
            outdated, network(), "ComposerManager",
            [](std::string_view name) { return Endpoints::url(Service::Packagist, "/p2/" + std::string(name) + ".json"); },
            [](const Json& document, const Package& package) {
                return publishtimes::fromPackagistDocument(document, package.name);
            },
            stop);
    }
    setErrorMessage(messageFor(parsed));
    markLatestVersionsUnknown(parsed.repositoryUnreachable);
    return outdated;
}

void ComposerManager::update(const Package& package, std::stop_token stop) {
    if (!isPackageName(package.name)) throw ComposerError::invalidName(package.name);
    if (!discover(stop)) throw ComposerError::notInstalled();
    // Composer has no per-package upgrade of its own: `global update NAME` updates that one
    // package of the global project, leaving the others and the lock entries of the rest as
    // they are; `--with NAME:VERSION` makes it exactly the version shown.
    const std::optional<std::string> pinned = pinnedVersion(package);
    std::vector<std::string> arguments = {"global", "update", package.name};
    if (pinned) arguments.insert(arguments.end(), {"--with", package.name + ":" + *pinned});
    try {
        runComposer(arguments, stop);
    } catch (const ComposerError& error) {
        // A version outside what the global composer.json allows (a new major version, as
        // `composer outdated` offers): the requirement moves to it, as `composer require` would.
        if (!pinned || !contains(error.description(), kNotWithinConstraint)) throw;
        // "v3.52.1" is the tag; the constraint is written on the version, "^3.52.1".
        const std::string constraint = "^" + (startsWith(*pinned, "v") ? pinned->substr(1) : *pinned);
        logger().info(localized("log.composer.outside_constraint", {package.name, *pinned, constraint}));
        runComposer({"global", "require", package.name + ":" + constraint}, stop);
    }
    Parsed after = runListing("show", kShowTimeout, stop);
    for (const ComposerPackageEntry& entry : after.packages) {
        if (entry.name != package.name) continue;
        if (entry.version == package.version && package.latestVersion && *package.latestVersion != package.version) {
            throw ComposerError::versionUnchanged(package.name, entry.version);
        }
    }
}

void ComposerManager::runComposer(std::vector<std::string> arguments, std::stop_token stop) {
    CommandRequest request;
    request.command = binaryPath();
    request.arguments = std::move(arguments);
    request.arguments.insert(request.arguments.end(), {"--no-interaction", "--no-ansi"});
    request.timeout = kUpdateTimeout;
    request.environment = toolEnvironment({"COMPOSER_HOME"}, options_.environment);
    request.environment["COMPOSER_NO_INTERACTION"] = "1";
    logger().info(localized("log.running", {std::string("composer ").append(join(request.arguments, " "))}));
    try {
        run(request, stop);
    } catch (const CommandError& error) {
        if (stop.stop_requested()) throw CancellationError();
        throw ComposerError::commandFailed(excerpt(commandOutput(error), 600));
    }
}

std::vector<std::string> ComposerManager::globalHomes() const {
    std::vector<std::string> homes;
    if (auto configured = variable(options_.environment, "COMPOSER_HOME")) homes.push_back(*configured);
    homes.push_back(paths::environmentValue("XDG_CONFIG_HOME").value_or(paths::home() + "/.config") + "/composer");
    homes.push_back(paths::home() + "/.composer");
    return homes;
}

std::vector<std::string> ComposerManager::listingInputs() {
    std::vector<std::string> paths;
    for (const std::string& folder : globalHomes()) {
        for (const char* file : {"/composer.json", "/composer.lock", "/vendor/composer/installed.json"}) {
            paths.push_back(folder + file);
        }
    }
    return paths;
}

}  // namespace vt
