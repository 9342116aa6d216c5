#include "managers/javascript/NpmManager.hpp"

#include <algorithm>

#include "base/Platform.hpp"
#include "base/Cancellation.hpp"
#include "base/Log.hpp"
#include "base/Paths.hpp"
#include "base/Regex.hpp"
#include "base/Strings.hpp"
#include "managers/ExecutableLocator.hpp"
#include "managers/javascript/NpmError.hpp"
#include "system/CommandRunner.hpp"
#include "system/FileSystemManager.hpp"
#include "system/NetworkClient.hpp"
#include "base/Localization.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger instance("NpmManager");
    return instance;
}

// A global prefix nothing was installed into lacks the folders npm walks; npm then fails
// with ENOENT on the first one missing: "ENOENT: no such file or directory, lstat '/p/lib'".
std::optional<std::string> missingFolderOf(const Json& json) {
    auto error = json.find("error");
    if (error == json.end() || !error->is_object() || stringField(*error, "code") != "ENOENT") return std::nullopt;
    static const Regex pattern(R"(lstat '(/[^']*)')");
    std::optional<std::string> summary = stringField(*error, "summary");
    std::optional<Regex::Match> match = summary ? pattern.search(*summary) : std::nullopt;
    if (!match || match->groups.empty() || !match->groups[0]) return std::nullopt;
    return std::string(*match->groups[0]);
}

}  // namespace

const SourceRow& NpmManager::source() {
    static const SourceRow row{.id = "npm", .name = "npm", .executables = {"npm"}, .types = {PackageType::NpmGlobal},
                               .toggle = ManagerToggleKey::ShowNpm, .isCore = true,
                               .completionLine = "NPM", .logTag = "npm",
                               .make = makeAdapter<NpmManager>};
    return row;
}

NpmManager::NpmManager(CommandRunning& runner, const FileSystemManager& files)
    : NpmManager(runner, files, Options{}) {}

NpmManager::NpmManager(CommandRunning& runner, const FileSystemManager& files, Options options)
    : BaseManager(source(), runner, files), options_(std::move(options)) {
    if (options_.network != nullptr) setNetwork(*options_.network);
    if (!options_.invalidateListings) options_.invalidateListings = [&runner] { runner.invalidateCache("npm"); };
    if (!options_.searchPath) options_.searchPath = runner.defaultSearchPath();
    if (!options_.resolveGlobalRoot) options_.resolveGlobalRoot = kBuiltForLinux;
    if (!options_.cacheFolder) options_.cacheFolder = paths::cacheFolder();
    LatestVersionCache::Options cache{.file = cacheFile("npm_latest.json").value_or(""),
                                      // npm's own cache holds a registry answer as long.
                                      .ttl = kLatestTtl,
                                      .concurrency = 8,
                                      .clock = options_.clock,
                                      .logName = "NpmManager"};
    latestCache_ = std::make_unique<LatestVersionCache>(std::move(cache));
}

NpmManager::~NpmManager() = default;

std::optional<std::string> NpmManager::cachedNpmPath() const {
    std::scoped_lock lock(npmMutex_);
    return cachedNpmPath_;
}

void NpmManager::invalidateListings() {
    if (options_.invalidateListings) options_.invalidateListings();
}

std::optional<std::string> NpmManager::locateExecutable(std::stop_token stop) {
    if (std::optional<std::string> cached = cachedNpmPath(); cached && files_.isExecutableFile(*cached)) return cached;
    std::optional<std::string> found = ExecutableLocator(files_).locate(identity().executables, stop);
    std::scoped_lock lock(npmMutex_);
    cachedNpmPath_ = found;
    return found;
}

CommandRequest NpmManager::npmRequest(const std::string& npm, std::vector<std::string> arguments,
                                      double timeout) const {
    CommandRequest request;
    request.command = npm;
    request.arguments = std::move(arguments);
    request.timeout = timeout;
    // npm is a node script started through `env node`; a node installed beside it (nvm, a
    // release archive) is only found with npm's own folder first on PATH.
    if (options_.searchPath) {
        const std::string folder = npm.substr(0, npm.rfind('/'));
        const std::string& path = *options_.searchPath;
        const bool listed = path == folder || startsWith(path, folder + ":") || contains(path, ":" + folder + ":") ||
                            endsWith(path, ":" + folder);
        if (!folder.empty() && !listed) request.environment["PATH"] = folder + ":" + path;
    }
    return request;
}

ShellCommandResult NpmManager::runNpm(const std::string& npm, std::vector<std::string> arguments, double timeout,
                                      std::stop_token stop, bool allowNonZeroExit) {
    CommandRequest request = npmRequest(npm, std::move(arguments), timeout);
    request.allowNonZeroExit = allowNonZeroExit;
    return run(request, stop);
}

// ---- Parsers -------------------------------------------------------------------------

std::optional<std::string> NpmManager::npmErrorText(const Json& json) {
    if (!json.is_object()) return std::nullopt;
    auto error = json.find("error");
    if (error == json.end() || !error->is_object()) return std::nullopt;
    // A package may be called "error": its outdated entry has versions, npm's error has none.
    if (error->contains("current") || error->contains("latest") || error->contains("version")) return std::nullopt;
    std::optional<std::string> code = stringField(*error, "code");
    std::optional<std::string> summary = stringField(*error, "summary");
    std::optional<std::string> detail = stringField(*error, "detail");
    if (!code && !summary) return std::nullopt;
    std::string text = code.value_or("");
    if (summary && !summary->empty()) text += (text.empty() ? "" : ": ") + *summary;
    if (detail && !trim(*detail).empty()) text += "\n" + trim(*detail);
    return text;
}

NpmManager::Parsed<NpmManager::InstalledEntry> NpmManager::parseInstalled(std::string_view text) {
    Parsed<InstalledEntry> parsed;
    std::optional<Json> json = parseJson(text);
    if (!json || !json->is_object()) {
        parsed.error = "npm list -g did not print a JSON object: " + excerpt(text);
        return parsed;
    }
    auto dependencies = json->find("dependencies");
    if (dependencies == json->end()) {
        parsed.error = npmErrorText(*json);
        if (parsed.error) parsed.missingFolder = missingFolderOf(*json);
        return parsed;
    }
    if (!dependencies->is_object()) {
        parsed.error = "npm list -g: \"dependencies\" is not an object";
        return parsed;
    }
    // With a broken peer dependency npm still lists everything, beside an error object.
    if (std::optional<std::string> error = npmErrorText(*json)) parsed.warnings.push_back(localized("log.command_error", {"npm list -g", *error}));
    for (const auto& [name, entry] : dependencies->items()) {
        std::optional<std::string> version = entry.is_object() ? stringField(entry, "version") : std::nullopt;
        if (name.empty() || !version || trim(*version).empty()) {
            parsed.warnings.push_back(localized("log.manager.no_version_skipped", {"npm list -g", name}));
            continue;
        }
        parsed.entries.push_back({name, trim(*version)});
    }
    return parsed;
}

NpmManager::Parsed<NpmManager::OutdatedEntry> NpmManager::parseOutdated(std::string_view text) {
    Parsed<OutdatedEntry> parsed;
    if (trim(text).empty()) return parsed;  // some npm versions print nothing when all is current
    std::optional<Json> json = parseJson(text);
    if (!json || !json->is_object()) {
        parsed.error = "npm outdated -g did not print a JSON object: " + excerpt(text);
        return parsed;
    }
    if (std::optional<std::string> error = npmErrorText(*json)) {
        parsed.error = *error;
        parsed.missingFolder = missingFolderOf(*json);
        return parsed;
    }
    for (const auto& [name, value] : json->items()) {
        // Several installed copies of one name come as a list; globals have one.
        const Json* entry = &value;
        if (value.is_array() && !value.empty()) entry = &value.front();
        if (name.empty() || !entry->is_object()) {
            parsed.warnings.push_back(localized("log.npm.unexpected_entry", {name}));
            continue;
        }
        OutdatedEntry item{name, stringField(*entry, "latest"), stringField(*entry, "current")};
        if (item.latest && trim(*item.latest).empty()) item.latest.reset();
        parsed.entries.push_back(std::move(item));
    }
    return parsed;
}

std::vector<std::string> NpmManager::workspaceDependencies(const Json& manifest) {
    std::vector<std::string> names;
    if (!manifest.is_object()) return names;
    // Development dependencies are not installed with a global package, so a leftover
    // "workspace:" among them blocks nothing.
    for (const char* section : {"dependencies", "optionalDependencies", "peerDependencies"}) {
        auto map = manifest.find(section);
        if (map == manifest.end() || !map->is_object()) continue;
        for (const auto& [name, specification] : map->items()) {
            if (!specification.is_string() || !startsWith(specification.get<std::string>(), "workspace:")) continue;
            if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
        }
    }
    return names;
}

std::optional<std::string> NpmManager::nativePackageMentioned(std::string_view output) {
    static const Regex pattern(R"(@[A-Za-z0-9_.-]+/[A-Za-z0-9_.-]+-darwin-arm64)");
    std::optional<Regex::Match> match = pattern.search(output);
    if (!match) return std::nullopt;
    return std::string(output.substr(match->offset, match->length));
}

bool NpmManager::isInstallableName(std::string_view name) {
    // npm's own limit is 214 characters; a leading "-" or "." would be an option or a path.
    static const Regex pattern(R"(^(?:@[A-Za-z0-9_][A-Za-z0-9_.-]*/)?[A-Za-z0-9_][A-Za-z0-9_.-]*$)");
    return name.size() <= 214 && pattern.fullyMatches(name);
}

void NpmManager::requireInstallableName(const std::string& name, std::string_view tool) {
    if (!isInstallableName(name)) {
        throw std::invalid_argument("Invalid " + std::string(tool) + " package name: \"" + name + "\"");
    }
}

// ---- Listing -------------------------------------------------------------------------

NpmManager::Parsed<NpmManager::InstalledEntry> NpmManager::readInstalled(const std::string& npm,
                                                                         std::stop_token stop) {
    ShellCommandResult result;
    try {
        // npm exits 1 when a global package has a broken peer dependency, yet lists them
        // all: the JSON decides.
        result = runNpm(npm, {"list", "-g", "--depth=0", "--json"}, kListTimeout, stop, true);
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        if (stop.stop_requested()) throw CancellationError();
        return {.entries = {}, .error = std::string(error.what()), .warnings = {}};
    }
    if (result.exitCode != 0 && trim(result.standardOutput).empty()) {
        return {.entries = {},
                .error = CommandError::executionFailed(result.exitCode, excerpt(result.standardError)).description(),
                .warnings = {}};
    }
    Parsed<InstalledEntry> parsed = parseInstalled(result.standardOutput);
    if (parsed.missingFolder && holdsGlobalFolder(npm, *parsed.missingFolder, stop)) {
        parsed.warnings.push_back(localized("log.npm.no_global_folder"));
        parsed.error.reset();
    }
    return parsed;
}

bool NpmManager::holdsGlobalFolder(const std::string& npm, const std::string& missingFolder, std::stop_token stop) {
    std::optional<std::string> root = globalRoot(npm, stop);
    return root && (*root == missingFolder || startsWith(*root, missingFolder + "/"));
}

std::optional<std::string> NpmManager::globalRoot(const std::string& npm, std::stop_token stop) {
    try {
        ShellCommandResult result = runNpm(npm, {"root", "-g"}, kConfigTimeout, stop);
        std::string text = trim(result.standardOutput);
        if (startsWith(text, "/") && text.find('\n') == std::string::npos) {
            while (text.size() > 1 && endsWith(text, "/")) text.pop_back();
            return text;
        }
        logger().debug(localized("log.npm.root_no_folder", {excerpt(text)}));
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        if (stop.stop_requested()) throw CancellationError();
        logger().debug(localized("log.command_error", {"npm root -g", error.what()}));
    }
    return std::nullopt;
}

std::vector<Package> NpmManager::makePackages(const std::vector<InstalledEntry>& entries,
                                              const std::optional<std::string>& root) const {
    std::vector<Package> packages;
    packages.reserve(entries.size());
    for (const InstalledEntry& entry : entries) {
        Package package;
        package.name = entry.name;
        package.version = entry.version;
        package.type = PackageType::NpmGlobal;
        if (root) {
            std::string location = *root + "/" + entry.name;
            if (installLocation(package) != location) package.installLocationOverride = location;
        }
        packages.push_back(std::move(package));
    }
    return packages;
}

std::vector<Package> NpmManager::listInstalled(std::stop_token stop) {
    LoadingScope loading(*this);
    {
        // Each scan asks npm again which registry it uses (for an update).
        std::scoped_lock lock(npmMutex_);
        registry_.reset();
    }
    auto fail = [this](const std::string& message) {
        logger().error(localized("log.manager.scan_failed", {"npm", message}));
        return publishEmptyListing(message);
    };
    if (!discover(stop)) return fail(NpmError::notFound().description());
    const std::string npm = binaryPath();
    std::vector<Package> packages;
    if (std::optional<Configuration> config = configuration(npm, stop)) {
        const std::string root = config->prefix + "/lib/node_modules";
        packages = makePackages(readGlobalFolder(root), root);
    } else {
        Parsed<InstalledEntry> parsed = readInstalled(npm, stop);
        for (const std::string& warning : parsed.warnings) logger().warning(warning);
        if (parsed.error) return fail(*parsed.error);
        std::optional<std::string> root;
        if (*options_.resolveGlobalRoot && !parsed.entries.empty()) root = globalRoot(npm, stop);
        packages = makePackages(parsed.entries, root);
    }
    logger().info(localized("log.manager.scan_complete", {"npm", std::to_string(packages.size())}));
    setErrorMessage(std::nullopt);
    publishPackages(packages);
    return packages;
}

std::optional<std::string> NpmManager::latestFromView(const std::string& npm, const std::string& name,
                                                      std::stop_token stop) {
    if (!isInstallableName(name)) return std::nullopt;
    try {
        ShellCommandResult result = runNpm(npm, {"view", name, "version"}, kViewTimeout, stop);
        std::string version = trim(result.standardOutput);
        if (!version.empty() && version.find_first_of(" \t\n{[\"") == std::string::npos) return version;
        logger().debug(localized("log.npm.view_no_version", {name, excerpt(version)}));
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        if (stop.stop_requested()) throw CancellationError();
        logger().debug(localized("log.command_error", {"npm view " + name + " version", error.what()}));
    }
    return std::nullopt;
}

std::vector<Package> NpmManager::checkOutdated(std::stop_token stop) {
    LoadingScope loading(*this);
    if (discover(stop)) {
        std::optional<Configuration> config = configuration(binaryPath(), stop);
        if (config && !config->needsNpm) return checkWithRegistry(*config, stop);
    }
    return checkWithNpm(binaryPath(), stop);
}

std::vector<Package> NpmManager::checkWithNpm(const std::string& npm, std::stop_token stop) {
    auto fail = [this](const std::string& error) {
        logger().error(localized("log.manager.outdated_failed", {"npm", error}));
        const std::string message = "npm outdated failed: " + error;
        logger().error(localized("log.check_failed", {"NPM", message}));
        return nothingFound(message);
    };
    if (npm.empty()) return fail(NpmError::notFound().description());
    ShellCommandResult result;
    // npm exits 1 whenever something is outdated.
    auto check = [&] { result = runNpm(npm, {"outdated", "-g", "--depth=0", "--json"}, kOutdatedTimeout, stop, true); };
    if (auto failure = failureOf(check, stop)) return fail(*failure);
    logger().debug(localized("log.npm.output_length", {std::to_string(result.standardOutput.size())}));
    Parsed<OutdatedEntry> parsed = parseOutdated(result.standardOutput);
    for (const std::string& warning : parsed.warnings) logger().warning(warning);
    if (parsed.missingFolder && holdsGlobalFolder(npm, *parsed.missingFolder, stop)) {
        logger().info(localized("log.manager.updates_checked", {"npm"}));
        return nothingFound();
    }
    if (parsed.error) return fail(*parsed.error);
    if (result.exitCode != 0 && trim(result.standardOutput).empty()) {
        return fail(CommandError::executionFailed(result.exitCode, excerpt(result.standardError)).description());
    }

    // The installed version comes from the listing; npm's "current" only stands in for it.
    std::vector<Package> rows;
    for (const OutdatedEntry& entry : parsed.entries) {
        std::optional<std::string> latest = entry.latest;
        if (!latest) latest = latestFromView(npm, entry.name, stop);
        if (!latest) {
            logger().warning(localized("log.manager.no_latest_skipped", {"npm outdated -g", entry.name}));
            continue;
        }
        rows.push_back({.name = entry.name,
                        .version = entry.current.value_or(""),
                        .type = PackageType::NpmGlobal,
                        .latestVersion = trim(*latest)});
    }
    std::vector<Package> outdated = overListing(std::move(rows));
    logger().info(localized("log.manager.updates_checked", {"npm"}));
    setErrorMessage(std::nullopt);
    return outdated;
}

}  // namespace vt
