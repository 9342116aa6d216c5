#include "managers/javascript/PnpmManager.hpp"

#include <map>

#include "base/Platform.hpp"
#include "base/Cancellation.hpp"
#include "base/Json.hpp"
#include "base/Log.hpp"
#include "base/Paths.hpp"
#include "base/Regex.hpp"
#include "base/Strings.hpp"
#include "managers/ExecutableLocator.hpp"
#include "managers/PublishTimes.hpp"
#include "managers/javascript/NpmManager.hpp"
#include "managers/javascript/ToolReleaseAges.hpp"
#include "managers/ToolOutput.hpp"
#include "system/CommandRunner.hpp"
#include "system/FileSystemManager.hpp"
#include "base/Localization.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger instance("PnpmManager");
    return instance;
}

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

}  // namespace

const SourceRow& PnpmManager::source() {
    static const SourceRow row{.id = "pnpm", .name = "pnpm", .executables = {"pnpm"},
                               .types = {PackageType::PnpmGlobal}, .toggle = ManagerToggleKey::ShowPnpm,
                               .completionLine = "PNPM", .logTag = "pnpm",
                               .make = makeAdapter<PnpmManager>};
    return row;
}

PnpmManager::PnpmManager(CommandRunning& runner, const FileSystemManager& files)
    : PnpmManager(runner, files, Options{}) {}

PnpmManager::PnpmManager(CommandRunning& runner, const FileSystemManager& files, Options options)
    : BaseManager(source(), runner, files), options_(std::move(options)) {
    home_ = options_.home.value_or(paths::home());
    if (options_.pnpmHome) {
        pnpmHome_ = *options_.pnpmHome;
    } else if (auto set = paths::environmentValue("PNPM_HOME")) {
        pnpmHome_ = *set;
    } else {
        pnpmHome_ = defaultPnpmHome(home_);
    }
    if (!options_.invalidateListings) options_.invalidateListings = [&runner] { runner.invalidateCache("pnpm"); };
}

std::string PnpmManager::configFolder(const std::string& home) {
    if (kBuiltForMac) return home + "/Library/Preferences/pnpm";
    if (auto set = paths::environmentValue("XDG_CONFIG_HOME")) return *set + "/pnpm";
    return home + "/.config/pnpm";
}

std::string PnpmManager::defaultPnpmHome(const std::string& home) {
    return kBuiltForMac ? home + "/Library/pnpm" : home + "/.local/share/pnpm";
}

std::vector<std::string> PnpmManager::executableCandidates(const std::string& home) {
    return {"/opt/homebrew/bin/pnpm", "/usr/local/bin/pnpm", home + "/Library/pnpm/pnpm",
            home + "/.local/share/pnpm/pnpm"};
}

std::string PnpmManager::pnpmHome() const {
    return pnpmHome_;
}

std::optional<std::string> PnpmManager::locateExecutable(std::stop_token stop) {
    std::vector<std::string> candidates = executableCandidates(home_);
    candidates.insert(candidates.begin() + 2, pnpmHome_ + "/pnpm");
    return ExecutableLocator(files_).locate(identity().executables, stop, candidates);
}

std::map<std::string, std::string> PnpmManager::environment(const std::string& executable) const {
    std::string path = pnpmHome_ + ":/usr/local/bin:/usr/bin:/bin";
    // pnpm is a node script: a node installed beside it (nvm, a release archive) must be found.
    const std::string folder = folderOf(executable);
    if (!executable.empty() && !contains(":" + path + ":", ":" + folder + ":")) path += ":" + folder;
    std::map<std::string, std::string> environment{{"PNPM_HOME", pnpmHome_}, {"PATH", path}};
    for (const auto& [name, value] : options_.environment) environment[name] = value;
    return environment;
}

ShellCommandResult PnpmManager::runPnpm(std::vector<std::string> arguments, double timeout, std::stop_token stop,
                                        bool allowNonZeroExit) {
    const std::string pnpm = binaryPath();
    CommandRequest request;
    request.command = pnpm;
    request.arguments = std::move(arguments);
    request.timeout = timeout;
    request.environment = environment(pnpm);
    request.allowNonZeroExit = allowNonZeroExit;
    return run(request, stop);
}

void PnpmManager::invalidateListings() {
    if (options_.invalidateListings) options_.invalidateListings();
}

// ---- Parsers -------------------------------------------------------------------------

std::optional<std::string> PnpmManager::pnpmError(std::string_view output) {
    // pnpm sets its error code between thin spaces (U+2009): " ERR_PNPM_X  message", or
    // " ERROR  EEXIST: ..." for a failure of its own code.
    static const Regex thinSpace("\xE2\x80\x89");
    std::optional<std::string> plain;
    for (std::string_view line : splitLines(output)) {
        const std::string text = trim(thinSpace.replaceAll(line, ""));
        if (const std::size_t at = text.find("ERR_PNPM_"); at != std::string::npos) return excerpt(text.substr(at));
        if (!plain && startsWith(text, "ERROR ")) plain = excerpt(text);
    }
    return plain;
}

PnpmManager::Parsed PnpmManager::parseInstalled(std::string_view text) {
    Parsed parsed;
    std::optional<Json> json = jsonAfterBanner(text);
    if (!json || !(json->is_array() || json->is_object())) {
        parsed.error = pnpmError(text).value_or("pnpm list -g did not print JSON: " + excerpt(text));
        return parsed;
    }
    const Json importers = json->is_array() ? *json : Json::array({*json});
    for (const Json& importer : importers) {
        if (!importer.is_object()) continue;
        const std::optional<std::string> folder = stringField(importer, "path");
        auto dependencies = importer.find("dependencies");
        // An importer without the map is a global folder where nothing is installed.
        if (dependencies == importer.end() || !dependencies->is_object()) continue;
        for (const auto& [name, entry] : dependencies->items()) {
            std::optional<std::string> version = entry.is_object() ? stringField(entry, "version") : std::nullopt;
            if (name.empty() || !version || trim(*version).empty()) {
                logger().warning(localized("log.manager.no_version_skipped", {"pnpm list -g", name}));
                continue;
            }
            parsed.entries.push_back({name, trim(*version), std::nullopt, folder});
        }
    }
    return parsed;
}

PnpmManager::Parsed PnpmManager::parseOutdated(std::string_view text) {
    Parsed parsed;
    if (trim(text).empty()) return parsed;
    std::optional<Json> json = jsonAfterBanner(text);
    if (!json || !json->is_object()) {
        parsed.error = pnpmError(text).value_or("pnpm outdated -g did not print a JSON object: " + excerpt(text));
        return parsed;
    }
    for (const auto& [name, entry] : json->items()) {
        if (name.empty() || !entry.is_object()) continue;
        std::optional<std::string> latest = stringField(entry, "latest");
        if (!latest || trim(*latest).empty()) {
            logger().warning(localized("log.manager.no_latest_skipped", {"pnpm outdated -g", name}));
            continue;
        }
        parsed.entries.push_back({name, trim(stringField(entry, "current").value_or("")), trim(*latest), {}});
    }
    return parsed;
}

// ---- Listing and detection -----------------------------------------------------------

std::vector<Package> PnpmManager::listInstalled(std::stop_token stop) {
    LoadingScope loading(*this);
    auto fail = [this](const std::string& message) {
        logger().error(localized("log.manager.scan_failed", {"pnpm", message}));
        return publishEmptyListing(message);
    };
    if (!discover(stop)) return fail("PNPM not found");
    ShellCommandResult result;
    auto list = [&] { result = runPnpm({"list", "-g", "--depth=0", "--json"}, kListTimeout, stop, true); };
    if (auto failure = failureOf(list, stop)) return fail(*failure);
    Parsed parsed = parseInstalled(result.standardOutput);
    if (parsed.error || (result.exitCode != 0 && parsed.entries.empty())) {
        std::string error = parsed.error.value_or("");
        if (std::optional<std::string> reported = pnpmError(result.standardOutput + "\n" + result.standardError)) {
            error = *reported;
        } else if (error.empty()) {
            error = CommandError::executionFailed(result.exitCode, excerpt(result.standardError)).description();
        }
        return fail(error);
    }
    std::vector<Package> packages;
    for (const Entry& entry : parsed.entries) {
        Package package{.name = entry.name, .version = entry.version, .type = PackageType::PnpmGlobal};
        if (entry.folder) package.installLocationOverride = *entry.folder + "/node_modules/" + entry.name;
        packages.push_back(std::move(package));
    }
    logger().info(localized("log.manager.scan_complete", {"pnpm", std::to_string(packages.size())}));
    setErrorMessage(std::nullopt);
    publishPackages(packages);
    return packages;
}

std::vector<Package> PnpmManager::checkOutdated(std::stop_token stop) {
    LoadingScope loading(*this);
    auto fail = [this](const std::string& error) {
        const std::string message = "pnpm outdated failed: " + error;
        logger().error(localized("log.check_failed", {"PNPM", message}));
        return nothingFound(message);
    };
    if (!discover(stop)) return fail("PNPM not found");
    ShellCommandResult result;
    // pnpm exits 1 whenever something is outdated: only the output decides.
    auto check = [&] { result = runPnpm({"outdated", "-g", "--json"}, kOutdatedTimeout, stop, true); };
    if (auto failure = failureOf(check, stop)) return fail(*failure);
    const std::string output = result.standardOutput + "\n" + result.standardError;
    std::optional<std::string> reported = pnpmError(output);
    // A global folder without a manifest has never had a package installed.
    if (reported && contains(*reported, "ERR_PNPM_NO_IMPORTER_MANIFEST_FOUND")) {
        logger().info(localized("log.manager.updates_checked", {"pnpm"}));
        return nothingFound();
    }
    Parsed parsed = parseOutdated(result.standardOutput);
    if (parsed.error) return fail(reported.value_or(*parsed.error));
    if (result.exitCode != 0 && parsed.entries.empty() && (reported || trim(result.standardOutput).empty())) {
        return fail(reported.value_or(
            CommandError::executionFailed(result.exitCode, excerpt(result.standardError)).description()));
    }

    // pnpm refuses what is younger than its own limit: under it, or under ours, the registry
    // dates the versions, and one it cannot date waits.
    const std::optional<ToolReleaseAge> limit = toolages::pnpmLimit(home_, configFolder(home_));
    std::vector<Package> rows;
    for (const Entry& entry : parsed.entries) {
        rows.push_back({.name = entry.name,
                        .version = entry.version,
                        .type = PackageType::PnpmGlobal,
                        .latestVersion = entry.latest,
                        .toolReleaseAge = limit});
    }
    std::vector<Package> outdated = overListing(std::move(rows));
    if (!outdated.empty() && (wantsPublishTimes() || limit)) dateReleases(outdated, stop);
    logger().info(localized("log.manager.updates_checked", {"pnpm"}));
    setErrorMessage(std::nullopt);
    return outdated;
}

void PnpmManager::dateReleases(std::vector<Package>& outdated, std::stop_token stop) {
    std::optional<std::string> registry;
    auto ask = [&] {
        const ShellCommandResult result = runPnpm({"config", "get", "registry"}, kConfigTimeout, stop);
        registry = toolages::registryAddress(result.standardOutput);
        if (!registry) logger().warning(localized("log.manager.registry_no_address", {"pnpm", excerpt(result.standardOutput)}));
    };
    if (auto failure = failureOf(ask, stop)) logger().warning(localized("log.command_error", {"pnpm config get registry", *failure}));
    dateFromNpmRegistry(outdated, network(), "pnpm", registry, stop);
}

// ---- Update --------------------------------------------------------------------------

void PnpmManager::update(const Package& package, std::stop_token stop) {
    if (!discover(stop)) throw CommandError::invalidCommand("pnpm");
    NpmManager::requireInstallableName(package.name, "pnpm");
    ShellCommandResult result;
    try {
        result = runPnpm({"add", "-g", package.name + "@" + pinnedVersion(package).value_or("latest")}, kInstallTimeout,
                         stop, true);
    } catch (...) {
        // Even a stopped install may have changed the global folder half-way.
        invalidateListings();
        throw;
    }
    invalidateListings();
    if (result.exitCode == 0) return;
    const std::string output = result.standardOutput + "\n" + result.standardError;
    const std::string& shown = trim(result.standardError).empty() ? result.standardOutput : result.standardError;
    throw CommandError::executionFailed(result.exitCode, pnpmError(output).value_or(trim(shown)));
}

}  // namespace vt
