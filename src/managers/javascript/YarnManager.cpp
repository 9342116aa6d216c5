#include "managers/javascript/YarnManager.hpp"

#include <algorithm>
#include <atomic>
#include <thread>

#include "base/Platform.hpp"
#include "base/Cancellation.hpp"
#include "base/Files.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Paths.hpp"
#include "base/Regex.hpp"
#include "base/Strings.hpp"
#include "managers/ExecutableLocator.hpp"
#include "managers/PublishTimes.hpp"
#include "managers/javascript/NpmManager.hpp"
#include "managers/javascript/ToolReleaseAges.hpp"
#include "managers/javascript/YarnError.hpp"
#include "model/VersionRules.hpp"
#include "system/CommandRunner.hpp"
#include "system/FileSystemManager.hpp"
#include "system/NetworkClient.hpp"
#include "system/Endpoints.hpp"
#include "system/RegistryRequest.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger instance("YarnManager");
    return instance;
}

// What a child gets when the runner in use has no default PATH of its own to tell us.
constexpr const char* kFallbackPath = "/usr/bin:/bin:/usr/sbin:/sbin";

std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

bool listsFolder(const std::string& path, const std::string& folder) {
    return contains(":" + path + ":", ":" + folder + ":");
}

// Yarn's "error ..." lines (its own failures, not the packages' warnings), else its stderr.
std::string yarnError(const ShellCommandResult& result) {
    std::vector<std::string> errors;
    const std::string output = result.standardError + "\n" + result.standardOutput;
    for (std::string_view line : splitLines(output)) {
        std::string_view trimmed = trimView(line);
        if (startsWith(trimmed, "error ")) errors.push_back(trim(trimmed.substr(6)));
    }
    if (!errors.empty()) return excerpt(join(errors, "; "));
    const std::string& shown = trim(result.standardError).empty() ? result.standardOutput : result.standardError;
    return CommandError::executionFailed(result.exitCode, excerpt(shown)).description();
}

// "^1.2.3", "~1.2.3", "=1.2.3" and "1.2.3" name one version; ranges and sources do not.
std::optional<std::string> versionOfSpecification(std::string_view specification) {
    static const Regex pattern(R"(^[\^~=v]?(\d+(?:\.\d+)*(?:-[0-9A-Za-z.-]+)?)$)");
    std::optional<Regex::Match> match = pattern.search(trimView(specification));
    if (!match || !match->groups[0]) return std::nullopt;
    return std::string(*match->groups[0]);
}

}  // namespace

const SourceRow& YarnManager::source() {
    static const SourceRow row{.id = "yarn", .name = "Yarn", .executables = {"yarn"},
                               .types = {PackageType::YarnGlobal}, .toggle = ManagerToggleKey::ShowYarn,
                               .folders = {"~/.yarn/bin/"}, .completionLine = "Yarn",
                               .logTag = "yarn", .make = makeAdapter<YarnManager>};
    return row;
}

YarnManager::YarnManager(CommandRunning& runner, const FileSystemManager& files)
    : YarnManager(runner, files, Options{}) {}

YarnManager::YarnManager(CommandRunning& runner, const FileSystemManager& files, Options options)
    : BaseManager(source(), runner, files),
      options_(std::move(options)),
      latestCache_({.file = cacheFile(),
                    .ttl = kLatestVersionTtl,
                    .concurrency = kMaxConcurrentLookups,
                    .clock = options_.clock,
                    .logName = "YarnManager"}) {
    if (options_.network != nullptr) setNetwork(*options_.network);
    home_ = options_.home.value_or(paths::home());
    defaultPath_ = kFallbackPath;
    if (auto path = runner.defaultSearchPath()) defaultPath_ = *path;
    if (!options_.invalidateListings) options_.invalidateListings = [&runner] { runner.invalidateCache("yarn"); };
    if (options_.registry) {
        std::string fixed = *options_.registry;
        while (endsWith(fixed, "/")) fixed.pop_back();
        options_.registry = fixed;
    }
}

YarnManager::~YarnManager() = default;

Clock& YarnManager::clock() const {
    return options_.clock != nullptr ? *options_.clock : Clock::shared();
}

std::string YarnManager::cacheFile() const {
    return options_.cacheFile.value_or(paths::cacheFolder() + "/" + kCacheFileName);
}

void YarnManager::invalidateListings() {
    if (options_.invalidateListings) options_.invalidateListings();
}

std::optional<std::string> YarnManager::locateExecutable(std::stop_token stop) {
    return locateDeclared(stop, home_);
}

std::string YarnManager::searchPath(const std::string& executable) const {
    std::string path = home_ + "/.yarn/bin:/usr/local/bin:/usr/bin:" + defaultPath_;
    // yarn and npm are node scripts: a node installed beside them (nvm) must be found.
    const std::string folder = folderOf(executable);
    if (!executable.empty() && !listsFolder(path, folder)) path += ":" + folder;
    return path;
}

ShellCommandResult YarnManager::runYarn(std::vector<std::string> arguments, double timeout, std::stop_token stop) {
    const std::string yarn = binaryPath();
    CommandRequest request;
    request.command = yarn;
    request.arguments = std::move(arguments);
    request.timeout = timeout;
    request.environment["PATH"] = searchPath(yarn);
    for (const auto& [name, value] : options_.environment) request.environment[name] = value;
    request.allowNonZeroExit = true;
    return run(request, stop);
}

// ---- Parsers --------------------------------------------------------------------------

std::optional<YarnManager::Entry> YarnManager::splitNameAndVersion(std::string_view text) {
    text = trimView(text);
    const std::size_t at = text.rfind('@');
    // An at sign in front is a scope, not a version separator.
    if (at == std::string_view::npos || at == 0 || at + 1 == text.size()) return std::nullopt;
    return Entry{std::string(text.substr(0, at)), std::string(text.substr(at + 1))};
}

std::vector<YarnManager::Entry> YarnManager::parseGlobalList(std::string_view text) {
    // Our patterns match bytes, so the box-drawing characters are alternatives, not a class.
    static const Regex tree(R"((?:├|└)─\s*(.+?)$)");
    static const Regex binaries(R"re(^(?:info\s+)?"(.+)"\s+has binaries:)re");
    std::vector<Entry> entries;
    auto add = [&entries](std::string_view item) {
        std::optional<Entry> entry = splitNameAndVersion(item);
        if (!entry) return;
        for (const Entry& known : entries) {
            if (known.name == entry->name) return;
        }
        entries.push_back(std::move(*entry));
    };
    for (std::string_view line : splitLines(text)) {
        std::string_view trimmed = trimView(line);
        if (startsWith(trimmed, "{")) {
            std::optional<Json> json = parseJson(trimmed);
            if (!json || !json->is_object()) continue;
            const std::string type = stringField(*json, "type").value_or("");
            auto data = json->find("data");
            if (data == json->end()) continue;
            if (type == "info" && data->is_string()) {
                const std::string info = data->get<std::string>();
                if (auto match = binaries.search(info); match && match->groups[0]) add(*match->groups[0]);
            } else if (type == "tree" && data->is_object() && data->contains("trees") && (*data)["trees"].is_array()) {
                for (const Json& item : (*data)["trees"]) {
                    if (item.is_object()) add(stringField(item, "name").value_or(""));
                }
            }
            continue;
        }
        if (auto match = binaries.search(trimmed); match && match->groups[0]) {
            add(*match->groups[0]);
        } else if (auto branch = tree.search(trimmed); branch && branch->groups[0]) {
            add(*branch->groups[0]);
        }
    }
    return entries;
}

std::optional<std::map<std::string, std::string>> YarnManager::parseManifestDependencies(std::string_view text) {
    std::optional<Json> json = parseJson(text);
    if (!json || !json->is_object()) return std::nullopt;
    std::map<std::string, std::string> dependencies;
    auto map = json->find("dependencies");
    if (map == json->end()) return dependencies;  // nothing installed yet
    if (!map->is_object()) return std::nullopt;
    for (const auto& [name, specification] : map->items()) {
        if (!name.empty()) dependencies[name] = specification.is_string() ? specification.get<std::string>() : "";
    }
    return dependencies;
}

// ---- Listing -------------------------------------------------------------------------

std::optional<std::string> YarnManager::globalFolder(std::stop_token stop) {
    std::optional<std::string> folder;
    try {
        ShellCommandResult result = runYarn({"global", "dir"}, kConfigTimeout, stop);
        for (std::string_view line : splitLines(result.standardOutput)) {
            std::string text = trim(line);
            if (result.exitCode == 0 && startsWith(text, "/")) folder = text;
        }
        if (!folder)
            logger().warning(localized("log.manager.no_folder", {"yarn global dir", excerpt(result.standardOutput)}));
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        if (stop.stop_requested()) throw CancellationError();
        logger().warning(localized("log.command_error", {"yarn global dir", error.what()}));
    }
    std::scoped_lock lock(yarnMutex_);
    if (folder) globalFolder_ = folder;
    return folder ? folder : globalFolder_;
}

std::optional<std::vector<YarnManager::Entry>> YarnManager::manifestEntries(const std::string& folder,
                                                                            const std::vector<Entry>& listed) const {
    std::optional<std::map<std::string, std::string>> dependencies;
    try {
        dependencies = parseManifestDependencies(files_.readFile(folder + "/package.json"));
    } catch (const std::exception& error) {
        logger().debug(localized("log.yarn.package_json_error", {error.what()}));
    }
    if (!dependencies) return std::nullopt;
    std::vector<Entry> entries;
    for (const auto& [name, specification] : *dependencies) {
        std::optional<std::string> version;
        try {
            std::optional<Json> manifest =
                parseJson(files_.readFile(folder + "/node_modules/" + name + "/package.json"));
            if (manifest && manifest->is_object()) version = stringField(*manifest, "version");
        } catch (const std::exception&) {
            // Not installed as the manifest says: the listing or the specification may know.
        }
        if (!version) {
            for (const Entry& entry : listed) {
                if (entry.name == name) version = entry.version;
            }
        }
        if (!version) version = versionOfSpecification(specification);
        if (!version || trim(*version).empty()) {
            logger().warning(localized("log.yarn.no_installed_version", {name}));
            continue;
        }
        entries.push_back({name, trim(*version)});
    }
    return entries;
}

std::vector<Package> YarnManager::listInstalled(std::stop_token stop) {
    LoadingScope loading(*this);
    {
        // Each scan asks again which registry to use.
        std::scoped_lock lock(yarnMutex_);
        registry_.reset();
        registryAsked_ = false;
    }
    auto fail = [this](const YarnError& error) {
        logger().error(error.description());
        return publishEmptyListing(error.description());
    };
    if (!discover(stop)) return fail(YarnError::notFound(YarnError::Stage::Scan));

    std::vector<Entry> listed;
    std::optional<std::string> listError;
    try {
        ShellCommandResult result = runYarn({"global", "list"}, kListTimeout, stop);
        if (result.exitCode == 0) {
            listed = parseGlobalList(result.standardOutput);
        } else {
            listError = yarnError(result);
        }
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        if (stop.stop_requested()) throw CancellationError();
        listError = error.what();
    }

    // The listing leaves out packages without binaries; the global manifest, when it can be
    // read, names them all.
    std::optional<std::string> folder = globalFolder(stop);
    std::optional<std::vector<Entry>> complete;
    if (folder) complete = manifestEntries(*folder, listed);
    if (listError) {
        if (!complete) return fail(YarnError::commandFailed(YarnError::Stage::Scan, *listError));
        logger().warning(localized("log.yarn.list_failed", {*listError}));
    }
    const std::vector<Entry>& entries = complete ? *complete : listed;

    std::vector<Package> packages;
    for (const Entry& entry : entries) {
        Package package{.name = entry.name, .version = entry.version, .type = PackageType::YarnGlobal};
        // FIXME: no link to the package's page on the npm website yet: that address has no
        // entry in the Endpoints table, whose test refuses any address naming npm.
        if (kBuiltForLinux && folder) {
            std::string location = *folder + "/node_modules/" + entry.name;
            if (installLocation(package, home_) != location) package.installLocationOverride = location;
        }
        packages.push_back(std::move(package));
    }
    logger().info(localized("log.yarn.global_count", {std::to_string(packages.size())}));
    setErrorMessage(std::nullopt);
    publishPackages(packages);
    return packages;
}

// ---- Latest versions -----------------------------------------------------------------

std::optional<std::string> YarnManager::askRegistry(const std::string& executable, std::stop_token stop) {
    CommandRequest request;
    request.command = executable;
    request.arguments = {"config", "get", "registry"};
    request.timeout = kConfigTimeout;
    request.environment["PATH"] = searchPath(executable);
    for (const auto& [name, value] : options_.environment) request.environment[name] = value;
    try {
        ShellCommandResult result = run(request, stop);
        if (auto address = toolages::registryAddress(result.standardOutput)) return address;
        logger().warning(localized("log.manager.registry_no_address",
                                   {std::string(lastPathComponent(executable)), excerpt(result.standardOutput)}));
    } catch (const CommandError& error) {
        logger().warning(localized(
            "log.command_error", {std::string(lastPathComponent(executable)) + " config get registry", error.what()}));
    }
    return std::nullopt;
}

std::optional<std::string> YarnManager::registry(std::stop_token stop) {
    if (options_.registry) return *options_.registry;
    {
        std::scoped_lock lock(yarnMutex_);
        if (registryAsked_) return registry_;
    }
    // Yarn's own configuration names the registry it installs from (its default when the
    // user set none); npm's, which Yarn 1 also reads, when Yarn cannot say.
    std::optional<std::string> found;
    if (discover(stop)) found = askRegistry(binaryPath(), stop);
    if (!found) {
        std::optional<std::string> npm = ExecutableLocator(files_).locate("npm", stop);
        const std::string beside = folderOf(binaryPath()) + "/npm";
        if (!npm && !binaryPath().empty() && files_.isExecutableFile(beside)) npm = beside;
        if (npm) found = askRegistry(*npm, stop);
    }
    if (!found) logger().warning(localized("log.yarn.registry_unknown"));
    std::scoped_lock lock(yarnMutex_);
    registryAsked_ = true;
    registry_ = found;
    return found;
}

std::optional<LatestVersionCache::Answer> YarnManager::fetchLatest(const std::string& registry, const std::string& name,
                                                                   bool dated, std::stop_token stop) {
    const RegistryRequest lookups(network(), "YarnManager");
    // The whole document dates every version; its latest is the one `/latest` answers.
    std::optional<Json> json = lookups.lookup(
        name,
        [&registry, dated](std::string_view lookup) {
            std::string url = registry + "/";
            url += lookup;
            if (!dated) url += "/latest";
            return url;
        },
        stop);
    std::optional<std::string> version;
    if (json && json->is_object()) {
        const Json* tags = dated && json->contains("dist-tags") ? &(*json)["dist-tags"] : nullptr;
        if (!dated) version = stringField(*json, "version");
        else if (tags && tags->is_object()) version = stringField(*tags, "latest");
    }
    if (version && !trim(*version).empty()) {
        LatestVersionCache::Answer answer{trim(*version), {}, {}};
        if (dated) answer.releases = publishtimes::fromNpmDocument(*json);
        return answer;
    }
    logger().warning(localized("log.manager.no_latest", {"Yarn", name}));
    return std::nullopt;
}

std::map<std::string, LatestVersionCache::Answer> YarnManager::latestVersions(const std::vector<std::string>& names,
                                                                             std::stop_token stop) {
    const std::optional<std::string> base = registry(stop);
    if (!base) return {};
    const bool dated = wantsPublishTimes();
    return latestCache_.latestDated(
        names, [&](const std::string& name, std::stop_token token) { return fetchLatest(*base, name, dated, token); },
        stop, *base + (dated ? " dated" : ""));
}

std::vector<Package> YarnManager::checkOutdated(std::stop_token stop) {
    LoadingScope loading(*this);
    // A listing failure stays published: there is nothing to compare.
    std::vector<Package> installed = packages();
    if (installed.empty()) return {};
    std::vector<std::string> names;
    for (const Package& package : installed) names.push_back(package.name);
    if (!registry(stop)) {
        setErrorMessage(localized("error.yarn.registry_unknown"));
        markLatestVersionsUnknown(true);
        return {};
    }
    markLatestVersionsUnknown(false);
    const std::map<std::string, LatestVersionCache::Answer> latest = latestVersions(names, stop);
    // Like any registry lookup, a package the registry does not answer for is only unknown.
    if (latest.empty()) logger().warning(localized("log.yarn.no_latest_read"));
    std::vector<Package> outdated;
    for (Package& package : installed) {
        auto found = latest.find(package.name);
        if (found == latest.end() || !isUpdateAvailable(package.version, found->second.version, false)) continue;
        package.latestVersion = found->second.version;
        package.releases = releasesNewerThan(package.version, found->second.releases);
        outdated.push_back(std::move(package));
    }
    logger().info(localized("log.manager.outdated_count",
                            {"Yarn", std::to_string(outdated.size()), std::to_string(installed.size())}));
    setErrorMessage(std::nullopt);
    return outdated;
}

// ---- Update --------------------------------------------------------------------------

std::optional<std::string> YarnManager::installedVersion(const std::string& name, std::stop_token stop) {
    if (std::optional<std::string> folder = globalFolder(stop)) {
        try {
            std::optional<Json> manifest =
                parseJson(files_.readFile(*folder + "/node_modules/" + name + "/package.json"));
            if (manifest && manifest->is_object()) {
                if (auto version = stringField(*manifest, "version")) return trim(*version);
            }
        } catch (const std::exception& error) {
            logger().debug(localized("log.manager.installed_version_error", {"Yarn", name, error.what()}));
        }
    }
    ShellCommandResult result = runYarn({"global", "list"}, kListTimeout, stop);
    for (const Entry& entry : parseGlobalList(result.standardOutput)) {
        if (entry.name == name) return entry.version;
    }
    return std::nullopt;
}

void YarnManager::update(const Package& package, std::stop_token stop) {
    using Stage = YarnError::Stage;
    const std::string& name = package.name;
    if (!discover(stop)) throw YarnError::notFound(Stage::Update);
    if (!NpmManager::isInstallableName(name)) throw YarnError::invalidPackageName(name);
    ShellCommandResult result;
    try {
        // The version shown, as `global add` records it; without one, --latest, as `upgrade`
        // alone stays inside the range Yarn saved ("^1.2.3", or the exact version a package
        // was installed at), short of the latest version we showed.
        const std::optional<std::string> pinned = pinnedVersion(package);
        result = pinned ? runYarn({"global", "add", name + "@" + *pinned}, kUpgradeTimeout, stop)
                        : runYarn({"global", "upgrade", name, "--latest"}, kUpgradeTimeout, stop);
    } catch (const CommandError& error) {
        invalidateListings();
        throw YarnError::commandFailed(Stage::Update, error.description());
    } catch (...) {
        invalidateListings();
        throw;
    }
    invalidateListings();
    if (result.exitCode != 0) throw YarnError::commandFailed(Stage::Update, yarnError(result));

    std::optional<std::string> after;
    try {
        after = installedVersion(name, stop);
    } catch (const CommandError& error) {
        logger().warning(localized("log.manager.version_after_update", {"Yarn", name, error.what()}));
    }
    if (!after) {
        logger().warning(localized("log.manager.version_unknown_after_update", {"Yarn", name}));
        return;
    }
    logger().info(localized("log.manager.version_after_update", {"Yarn", name, *after}));
    if (!package.version.empty() && *after == package.version) throw YarnError::versionUnchanged();
    const std::optional<std::string>& expected = package.latestVersion;
    if (expected && !isPlaceholderVersion(*expected) && *expected != kUpdateAvailableSentinel &&
        compareVersions(*after, *expected) == VersionOrder::Ascending) {
        throw YarnError::versionStillLower();
    }
}

}  // namespace vt
