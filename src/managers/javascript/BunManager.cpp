#include "managers/javascript/BunManager.hpp"

#include <filesystem>
#include <map>

#include "base/Cancellation.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Paths.hpp"
#include "base/Regex.hpp"
#include "base/Strings.hpp"
#include "managers/ExecutableLocator.hpp"
#include "managers/PublishTimes.hpp"
#include "managers/javascript/NpmManager.hpp"
#include "managers/javascript/ToolReleaseAges.hpp"
#include "system/CommandRunner.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger instance("BunManager");
    return instance;
}

// "/home/me/.bun/install/global node_modules (7 installed)"
std::optional<std::string> globalFolderLine(std::string_view line) {
    static const Regex pattern(R"(^([/~].*?)\s+node_modules\s+\(\d+ installed\)\s*$)");
    std::optional<Regex::Match> match = pattern.search(line);
    if (!match || !match->groups[0]) return std::nullopt;
    return std::string(*match->groups[0]);
}

}  // namespace

const SourceRow& BunManager::source() {
    static const SourceRow row{.id = "bun", .name = "Bun", .executables = {"bun"}, .types = {PackageType::BunGlobal},
                               .toggle = ManagerToggleKey::ShowBun, .folders = {"~/.bun/bin/"},
                               .completionLine = "Bun", .logTag = "bun",
                               .make = makeAdapter<BunManager>};
    return row;
}

BunManager::BunManager(CommandRunning& runner, const FileSystemManager& files) : BunManager(runner, files, Options{}) {}

BunManager::BunManager(CommandRunning& runner, const FileSystemManager& files, Options options)
    : BaseManager(source(), runner, files), options_(std::move(options)) {
    if (options_.bunInstall) {
        bunInstall_ = *options_.bunInstall;
    } else if (auto set = paths::environmentValue("BUN_INSTALL")) {
        bunInstall_ = *set;
    } else {
        bunInstall_ = options_.home.value_or(paths::home()) + "/.bun";
    }
    if (!options_.invalidateListings) options_.invalidateListings = [&runner] { runner.invalidateCache("bun"); };
}

std::string BunManager::bunInstall() const {
    return bunInstall_;
}

std::string BunManager::globalFolder() const {
    std::scoped_lock lock(bunMutex_);
    return reportedGlobalFolder_.value_or(bunInstall_ + "/install/global");
}

std::optional<std::string> BunManager::locateExecutable(std::stop_token stop) {
    return locateInOwnFolder(bunInstall_, stop, options_.home.value_or(paths::home()));
}

std::map<std::string, std::string> BunManager::environment() const {
    return ownFolderEnvironment("BUN_INSTALL", bunInstall_, options_.environment);
}

ShellCommandResult BunManager::runBun(std::vector<std::string> arguments, double timeout, std::stop_token stop,
                                      std::optional<std::string> directory) {
    CommandRequest request;
    request.command = binaryPath();
    request.arguments = std::move(arguments);
    request.timeout = timeout;
    request.environment = environment();
    request.currentDirectory = std::move(directory);
    request.allowNonZeroExit = true;
    return run(request, stop);
}

void BunManager::invalidateListings() {
    if (options_.invalidateListings) options_.invalidateListings();
}

// ---- Parsers -------------------------------------------------------------------------

BunManager::Listing BunManager::parseInstalled(std::string_view text) {
    // Our patterns match bytes, so the box-drawing characters are alternatives, not a class.
    static const Regex row(R"(^(?:├|└)──\s+(.+)@([^@\s]+)$)");
    Listing listing;
    for (std::string_view line : splitLines(text)) {
        if (!listing.globalFolder) {
            if (auto folder = globalFolderLine(line)) {
                listing.globalFolder = folder;
                continue;
            }
        }
        std::optional<Regex::Match> match = row.search(trimView(line));
        if (!match || !match->groups[0] || !match->groups[1]) continue;
        std::string name = trim(*match->groups[0]);
        if (name.empty()) continue;  // "├──  @1": blanks before the at sign
        listing.entries.push_back({std::move(name), std::string(*match->groups[1]), std::nullopt});
    }
    return listing;
}

std::vector<BunManager::Entry> BunManager::parseOutdated(std::string_view text) {
    static const Regex row(R"(\|\s*([^|]+?)\s*\|\s*([^|]+?)\s*\|\s*[^|]+?\s*\|\s*([^|]+?)\s*\|)");
    static const Regex marker(R"(\s*\((?:dev|peer|optional)\)\s*$)");
    static const Regex rule(R"(^[-\s]+$)");
    std::vector<Entry> entries;
    for (std::string_view line : splitLines(text)) {
        std::optional<Regex::Match> match = row.search(line);
        if (!match || !match->groups[0] || !match->groups[1] || !match->groups[2]) continue;
        std::string_view name = *match->groups[0];
        if (name == "Package" || rule.fullyMatches(name)) continue;
        std::string bare = trim(marker.replaceAll(name, ""));
        if (bare.empty()) continue;  // a marker alone names nothing
        entries.push_back({std::move(bare), std::string(*match->groups[1]), std::string(*match->groups[2])});
    }
    return entries;
}

std::optional<std::string> BunManager::bunError(std::string_view output) {
    std::vector<std::string> errors;
    for (std::string_view line : splitLines(output)) {
        std::string_view trimmed = trimView(line);
        if (startsWith(trimmed, "error:")) errors.push_back(trim(trimmed.substr(6)));
    }
    if (errors.empty()) return std::nullopt;
    return excerpt(join(errors, "; "));
}

// ---- Listing and detection -----------------------------------------------------------

std::vector<Package> BunManager::listInstalled(std::stop_token stop) {
    LoadingScope loading(*this);
    auto fail = [this](const std::string& message) {
        logger().error(localized("log.manager.scan_failed", {"Bun", message}));
        return publishEmptyListing(message);
    };
    if (!discover(stop)) return fail("Bun not found");
    ShellCommandResult result;
    auto list = [&] { result = runBun({"pm", "ls", "-g"}, kListTimeout, stop); };
    if (auto failure = failureOf(list, stop)) return fail(*failure);
    if (result.exitCode != 0) {
        return fail(
            bunError(result.standardError + "\n" + result.standardOutput)
                .value_or(CommandError::executionFailed(result.exitCode, excerpt(result.standardError)).description()));
    }
    Listing listing = parseInstalled(result.standardOutput);
    {
        std::scoped_lock lock(bunMutex_);
        if (listing.globalFolder) reportedGlobalFolder_ = listing.globalFolder;
    }
    const std::string folder = globalFolder();
    std::vector<Package> packages;
    for (const Entry& entry : listing.entries) {
        packages.push_back(Package{.name = entry.name,
                                   .version = entry.version,
                                   .type = PackageType::BunGlobal,
                                   .installLocationOverride = folder + "/node_modules/" + entry.name});
    }
    logger().info(localized("log.manager.scan_complete", {"Bun", std::to_string(packages.size())}));
    setErrorMessage(std::nullopt);
    publishPackages(packages);
    return packages;
}

std::vector<Package> BunManager::checkOutdated(std::stop_token stop) {
    LoadingScope loading(*this);
    auto fail = [this](const std::string& error) {
        logger().error(localized("log.manager.outdated_failed", {"Bun", error}));
        return nothingFound(error);
    };
    if (!discover(stop)) return fail("Bun not found");
    // `bun outdated` answers for the project of its working folder; the global packages are
    // the dependencies of the global folder, which has no manifest before the first one.
    const std::string folder = globalFolder();
    if (!files_.fileExists(folder + "/package.json")) {
        logger().info(localized("log.manager.updates_checked", {"Bun"}));
        return nothingFound();
    }
    ShellCommandResult result;
    auto check = [&] { result = runBun({"outdated", "--no-progress"}, kOutdatedTimeout, stop, folder); };
    if (auto failure = failureOf(check, stop)) return fail(*failure);
    std::vector<Entry> entries = parseOutdated(result.standardOutput);
    if (result.exitCode != 0) {
        std::string error =
            bunError(result.standardError + "\n" + result.standardOutput)
                .value_or(CommandError::executionFailed(result.exitCode, excerpt(result.standardError)).description());
        if (entries.empty()) return fail(error);
        logger().warning(localized("log.command_error", {"bun outdated", error}));
    }

    // Bun refuses what is younger than its own limit: under it, or under ours, the registry
    // dates the versions, and one it cannot date waits.
    const std::optional<ToolReleaseAge> limit =
        toolages::bunLimit(options_.home.value_or(paths::home()), paths::environmentValue("XDG_CONFIG_HOME"));
    std::vector<Package> rows;
    for (const Entry& entry : entries) {
        rows.push_back({.name = entry.name,
                        .version = entry.version,
                        .type = PackageType::BunGlobal,
                        .latestVersion = entry.latest,
                        .toolReleaseAge = limit});
    }
    std::vector<Package> outdated = overListing(std::move(rows));
    if (!outdated.empty() && (wantsPublishTimes() || limit)) dateReleases(outdated, stop);
    logger().info(localized("log.manager.updates_checked", {"Bun"}));
    setErrorMessage(std::nullopt);
    return outdated;
}

std::optional<std::string> BunManager::registry(std::stop_token stop) {
    const std::string home = options_.home.value_or(paths::home());
    if (auto configured = toolages::bunRegistry(home, paths::environmentValue("XDG_CONFIG_HOME"))) return configured;
    if (auto variable = BaseManager::variable(options_.environment, "NPM_CONFIG_REGISTRY")) {
        return toolages::registryAddress(*variable);
    }
    const std::optional<std::string> npm = ExecutableLocator(files_).locate("npm", stop);
    if (!npm) return std::nullopt;
    CommandRequest request;
    request.command = *npm;
    request.arguments = {"config", "get", "registry"};
    request.timeout = kConfigTimeout;
    request.environment = environment();
    // npm is a node script: node is beside it more often than on the tool's own PATH.
    request.environment["PATH"] = std::filesystem::path(*npm).parent_path().string() + ":" + request.environment["PATH"];
    std::optional<std::string> found;
    auto ask = [&] {
        const ShellCommandResult result = run(request, stop);
        found = toolages::registryAddress(result.standardOutput);
        if (!found) logger().warning(localized("log.manager.registry_no_address", {"npm", excerpt(result.standardOutput)}));
    };
    if (auto failure = failureOf(ask, stop)) logger().warning(localized("log.command_error", {"npm config get registry", *failure}));
    return found;
}

void BunManager::dateReleases(std::vector<Package>& outdated, std::stop_token stop) {
    dateFromNpmRegistry(outdated, network(), "Bun", registry(stop), stop);
}

// ---- Update --------------------------------------------------------------------------

void BunManager::update(const Package& package, std::stop_token stop) {
    if (!discover(stop)) throw CommandError::invalidCommand("bun");
    NpmManager::requireInstallableName(package.name, "Bun");
    ShellCommandResult result;
    try {
        result = runBun({"add", "-g", package.name + "@" + pinnedVersion(package).value_or("latest")}, kInstallTimeout,
                        stop);
    } catch (...) {
        invalidateListings();
        throw;
    }
    invalidateListings();
    if (result.exitCode == 0) return;
    const std::string& shown = trim(result.standardError).empty() ? result.standardOutput : result.standardError;
    throw CommandError::executionFailed(
        result.exitCode, bunError(result.standardError + "\n" + result.standardOutput).value_or(trim(shown)));
}

}  // namespace vt
