#include "managers/languages/GoManager.hpp"

#include <algorithm>
#include <fstream>

#include "base/Files.hpp"
#include "base/Cancellation.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Paths.hpp"
#include "base/Regex.hpp"
#include "base/Strings.hpp"
#include "managers/PublishTimes.hpp"
#include "managers/ToolOutput.hpp"
#include "managers/languages/GoError.hpp"
#include "managers/RegistryProbe.hpp"
#include "managers/languages/ToolEnvironment.hpp"
#include "model/VersionRules.hpp"
#include "system/Endpoints.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger instance("GoManager");
    return instance;
}

// The first bytes of a file, without reading the rest of it.
std::string fileHeader(const std::string& path) {
    std::ifstream stream(path, std::ios::binary);
    char bytes[4] = {};
    stream.read(bytes, sizeof bytes);
    return std::string(bytes, static_cast<std::size_t>(std::max<std::streamsize>(stream.gcount(), 0)));
}

std::string scanError(const CommandError& error) { return localized("go_scan_error", {commandOutput(error)}); }

}  // namespace

const SourceRow& GoManager::source() {
    static const SourceRow row{.id = "go", .name = "Go", .executables = {"go"}, .types = {PackageType::GoPackage},
                               .toggle = ManagerToggleKey::ShowGo, .folders = {"/usr/local/go/bin/"},
                               .completionLine = "Go", .logTag = "go",
                               .make = makeAdapter<GoManager>};
    return row;
}

GoManager::GoManager(CommandRunning& runner, const FileSystemManager& files) : GoManager(runner, files, Options{}) {}

GoManager::GoManager(CommandRunning& runner, const FileSystemManager& files, Options options)
    : BaseManager(source(), runner, files),
      options_(std::move(options)),
      latestCache_(LatestVersionCache::forRegistry(options_.cacheFile, kCacheFileName, options_.clock, "GoManager")) {
    if (options_.network != nullptr) setNetwork(*options_.network);
}

GoManager::~GoManager() = default;

std::string GoManager::home() const { return options_.home.value_or(paths::home()); }

std::map<std::string, std::string> GoManager::environment() const {
    return toolEnvironment({"GOPATH", "GOBIN", "GOROOT", "GOENV", "GOFLAGS", "GOPROXY", "GOCACHE", "GOMODCACHE",
                            "GOTOOLCHAIN"},
                           options_.environment);
}

bool GoManager::looksExecutable(std::string_view header) {
    if (header.size() < 4) return startsWith(header, "MZ") && header.size() >= 2;
    if (header.substr(0, 4) == std::string_view("\x7f" "ELF", 4)) return true;
    if (startsWith(header, "MZ")) return true;
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(header[i]); };
    const unsigned int magic = (byte(0) << 24) | (byte(1) << 16) | (byte(2) << 8) | byte(3);
    // Mach-O, either byte order, 32 and 64 bits, and universal binaries.
    return magic == 0xfeedfaceu || magic == 0xfeedfacfu || magic == 0xcefaedfeu || magic == 0xcffaedfeu ||
           magic == 0xcafebabeu;
}

bool GoManager::isModulePath(std::string_view path) {
    static const Regex pattern(R"(^[A-Za-z0-9][A-Za-z0-9._~+/-]*$)");
    return path.size() < 512 && pattern.fullyMatches(path) && !contains(path, "..");
}

std::string GoManager::caseEncode(std::string_view modulePath) {
    std::string encoded;
    for (char c : modulePath) {
        if (c >= 'A' && c <= 'Z') {
            encoded += '!';
            encoded += static_cast<char>(c - 'A' + 'a');
        } else {
            encoded += c;
        }
    }
    return encoded;
}

std::optional<GoManager::BuildMetadata> GoManager::parseBuildInfo(std::string_view text, const std::string& binaryName) {
    BuildMetadata metadata;
    metadata.binaryName = binaryName;
    bool hasModule = false;
    for (std::string_view raw : splitLines(text)) {
        // "\tpath\tgolang.org/x/tools/cmd/goimports", "\tmod\tgolang.org/x/tools\tv0.1.0\th1:...".
        std::vector<std::string_view> fields;
        for (std::string_view field : split(trimView(raw), '\t')) {
            if (!trimView(field).empty()) fields.push_back(trimView(field));
        }
        if (fields.size() >= 2 && fields[0] == "path") metadata.commandPath = std::string(fields[1]);
        if (fields.size() >= 3 && fields[0] == "mod" && !hasModule) {
            metadata.modulePath = std::string(fields[1]);
            metadata.moduleVersion = std::string(fields[2]);
            hasModule = true;
        }
    }
    if (!hasModule || metadata.modulePath.empty() || metadata.moduleVersion.empty()) return std::nullopt;
    if (metadata.commandPath.empty()) metadata.commandPath = metadata.modulePath;
    return metadata;
}

std::string GoManager::settingsFile() const {
    // go's settings file (`go env -w`): GOENV, else the user's configuration folder's go/env.
    const std::string xdg = variable(options_.environment, "XDG_CONFIG_HOME").value_or(home() + "/.config");
    return variable(options_.environment, "GOENV").value_or(xdg + "/go/env");
}

std::string GoManager::binaryFolder() const {
    // As `go env` would say, without starting go: the environment, then go's settings file,
    // then go's default GOPATH under the home.
    std::map<std::string, std::string> written;
    const std::string text = readFile(settingsFile()).value_or("");
    for (std::string_view line : splitLines(text)) {
        const std::size_t equals = line.find('=');
        if (equals != std::string_view::npos) written[std::string(line.substr(0, equals))] = trim(line.substr(equals + 1));
    }
    auto setting = [&](const char* name) -> std::string {
        if (auto value = variable(options_.environment, name)) return *value;
        auto found = written.find(name);
        return found == written.end() ? std::string() : found->second;
    };
    if (std::string gobin = setting("GOBIN"); !gobin.empty()) return gobin;
    std::string gopath = setting("GOPATH");
    // GOPATH is a list; go installs into the first entry.
    if (std::size_t separator = gopath.find(':'); separator != std::string::npos) gopath.resize(separator);
    return gopath.empty() ? home() + "/go/bin" : gopath + "/bin";
}

std::optional<GoManager::BuildMetadata> GoManager::readMetadata(const std::string& file, std::stop_token stop) {
    const std::string name(lastPathComponent(file));
    if (!files_.isExecutableFile(file) || !looksExecutable(fileHeader(file))) {
        logger().info(localized("log.go.no_metadata", {name}));
        return std::nullopt;
    }
    CommandRequest request;
    request.command = binaryPath();
    request.arguments = {"version", "-m", file};
    request.timeout = kMetadataTimeout;
    request.environment = environment();
    request.allowNonZeroExit = true;
    try {
        ShellCommandResult result = run(request, stop);
        std::optional<BuildMetadata> metadata =
            result.exitCode == 0 ? parseBuildInfo(result.standardOutput, name) : std::nullopt;
        if (!metadata) logger().info(localized("log.go.no_metadata", {name}));
        return metadata;
    } catch (const CommandError& error) {
        if (stop.stop_requested()) throw CancellationError();
        logger().warning(localized("log.command_error", {"go version -m " + name, error.description()}));
        return std::nullopt;
    }
}

std::vector<GoManager::BuildMetadata> GoManager::readInstalled(std::stop_token stop) {
    const std::string folder = binaryFolder();
    // No folder yet: nothing was ever installed with go install.
    if (!files_.directoryExists(folder)) return {};
    std::vector<std::string> names;
    try {
        names = files_.contentsOfDirectory(folder);
    } catch (const std::exception& error) {
        logger().warning(localized("log.folder_unreadable", {folder, error.what()}));
        return {};
    }
    std::sort(names.begin(), names.end());
    std::vector<BuildMetadata> binaries;
    for (const std::string& name : names) {
        if (stop.stop_requested()) throw CancellationError();
        if (std::optional<BuildMetadata> metadata = readMetadata(folder + "/" + name, stop)) {
            binaries.push_back(std::move(*metadata));
        }
    }
    return binaries;
}

Package GoManager::makePackage(const BuildMetadata& metadata) {
    Package package;
    package.name = metadata.binaryName;
    package.version = metadata.moduleVersion;
    package.type = PackageType::GoPackage;
    package.sourceIdentifier = metadata.commandPath;
    return package;
}

std::vector<Package> GoManager::listInstalled(std::stop_token stop) {
    return publishToolListing(
        stop,
        [&] {
            std::vector<Package> packages;
            for (const BuildMetadata& metadata : installed_.read(stop)) packages.push_back(makePackage(metadata));
            return packages;
        },
        scanError);
}

std::vector<std::string> GoManager::versionsBetween(RegistryProbe& proxy, const std::string& module,
                                                    const std::string& installed, const std::string& latest,
                                                    std::stop_token stop) {
    std::optional<std::string> list = proxy.lookupText(
        module,
        [](std::string_view path) {
            std::string route = "/";
            route += caseEncode(path);
            route += "/@v/list";
            return Endpoints::url(Service::GoProxy, route);
        },
        stop);
    std::vector<std::string> versions;
    if (!list) return versions;
    for (std::string_view line : split(*list, '\n')) {
        const std::string version = trim(line);
        // Only what a module version may be goes into an address.
        const bool plain = version.size() > 1 && version.front() == 'v' &&
                           version.find_first_not_of("0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ.+-") ==
                               std::string::npos;
        if (!plain || isPreRelease(version) || compareVersions(version, installed) != VersionOrder::Descending ||
            compareVersions(version, latest) != VersionOrder::Ascending) {
            continue;
        }
        if (std::find(versions.begin(), versions.end(), version) == versions.end()) versions.push_back(version);
    }
    std::vector<ParsedVersion> parsed;
    for (const std::string& version : versions) parsed.push_back(parseVersion(version));
    std::vector<std::string> newestFirst;
    for (std::size_t index : sortedVersionOrder(parsed, true)) {
        if (newestFirst.size() == kOlderVersionsDated) break;
        newestFirst.push_back(versions[index]);
    }
    return newestFirst;
}

std::vector<Package> GoManager::checkOutdated(std::stop_token stop) {
    LoadingScope loading(*this);
    if (!discover(stop)) {
        setErrorMessage(std::nullopt);
        return {};
    }
    std::optional<std::vector<BuildMetadata>> known =
        readOrReport(stop, [&] { return installed_.lastOrRead(stop); }, scanError);
    if (!known) return {};
    // Each module once, with the oldest version of it installed.
    std::map<std::string, std::string> modules;
    for (const BuildMetadata& metadata : *known) {
        if (metadata.moduleVersion == kDevelVersion || !isModulePath(metadata.modulePath)) continue;
        auto [found, added] = modules.try_emplace(metadata.modulePath, metadata.moduleVersion);
        if (!added && compareVersions(metadata.moduleVersion, found->second) == VersionOrder::Ascending) {
            found->second = metadata.moduleVersion;
        }
    }
    std::vector<std::string> names;
    for (const auto& [module, oldest] : modules) names.push_back(module);
    RegistryProbe proxy(network(), Service::GoProxy, "GoManager");
    const bool dated = wantsPublishTimes();
    // The name is checked as it stands; the "!" of the proxy's escaping is added after.
    const auto address = [](std::string_view suffix) {
        return [suffix](std::string_view path) {
            // Built piece by piece: GCC 12 at -O3 sees a false overlap in "/" + a temporary.
            std::string route = "/";
            route += caseEncode(path);
            route += suffix;
            return Endpoints::url(Service::GoProxy, route);
        };
    };
    // The versions dated lie between the oldest installed and the latest: a kept answer is
    // revalidated only for the same installed version.
    const auto lookup = proxy.revalidatingLookup(
        address("/@latest"), [&](const std::string& module) { return modules.at(module); },
        [&](const Json& document, const std::string& module,
            std::stop_token token) -> std::optional<LatestVersionCache::Answer> {
            if (!document.is_object()) return std::nullopt;
            std::optional<std::string> version = stringField(document, "Version");
            if (!version || version->empty()) return std::nullopt;
            LatestVersionCache::Answer answer{*version, {}, {}};
            if (dated) {
                // The latest's .info dates that version only; the proxy dates the others one
                // request each, so only those between the installed one and the latest are asked.
                answer.releases = publishtimes::fromGoInfo(document);
                for (const std::string& older : versionsBetween(proxy, module, modules.at(module), *version, token)) {
                    const std::string suffix = "/@v/" + caseEncode(older) + ".info";
                    if (std::optional<Json> info = proxy.lookup(module, address(suffix), token)) {
                        for (PublishedRelease& release : publishtimes::fromGoInfo(*info)) {
                            if (release.version == older) answer.releases.push_back(std::move(release));
                        }
                    }
                }
            }
            return answer;
        });
    const std::map<std::string, LatestVersionCache::Answer> latest =
        latestCache_.latestRevalidated(names, lookup, stop, proxy.scope() + (dated ? " dated" : ""));

    std::vector<Package> outdated;
    for (const BuildMetadata& metadata : *known) {
        auto found = latest.find(metadata.modulePath);
        if (metadata.moduleVersion == kDevelVersion || found == latest.end()) continue;
        if (!isUpdateAvailable(metadata.moduleVersion, found->second.version, false)) continue;
        Package package = makePackage(metadata);
        package.latestVersion = found->second.version;
        package.releases = releasesNewerThan(metadata.moduleVersion, found->second.releases);
        outdated.push_back(std::move(package));
    }
    setErrorMessage(proxy.wasUnreachable() ? std::optional<std::string>(proxy.unreachableMessage()) : std::nullopt);
    return outdated;
}

void GoManager::update(const Package& package, std::stop_token stop) {
    if (package.version == kDevelVersion) throw GoError::develBuild(package.name);
    const std::string target = package.sourceIdentifier.value_or("");
    const std::string version = pinnedVersion(package).value_or("latest");
    if (!isModulePath(target)) throw GoError::invalidModule(package.name);
    if (!discover(stop)) throw GoError::notInstalled();
    CommandRequest request;
    request.command = binaryPath();
    request.arguments = {"install", target + "@" + version};
    request.timeout = kInstallTimeout;
    request.environment = environment();
    // A mirror of the module proxy set in our address table is the one go fetches from too.
    if (Endpoints::entry(Service::GoProxy).overridden) request.environment["GOPROXY"] = Endpoints::base(Service::GoProxy);
    logger().info(localized("log.running", {"go install " + target + "@" + version}));
    try {
        run(request, stop);
    } catch (const CommandError& error) {
        if (stop.stop_requested()) throw CancellationError();
        throw GoError::commandFailed(excerpt(commandOutput(error), 600));
    }
    std::vector<BuildMetadata> binaries;
    try {
        binaries = installed_.read(stop);
    } catch (const CommandError& error) {
        logger().warning(localized("log.go.reread_failed", {error.description()}));
        return;
    }
    auto found = std::find_if(binaries.begin(), binaries.end(),
                              [&](const BuildMetadata& metadata) { return metadata.binaryName == package.name; });
    if (found != binaries.end() && found->moduleVersion == package.version && package.latestVersion &&
        *package.latestVersion != package.version) {
        throw GoError::versionUnchanged(package.name, found->moduleVersion);
    }
    std::vector<Package> packages;
    for (const BuildMetadata& metadata : binaries) packages.push_back(makePackage(metadata));
    publishPackages(std::move(packages));
}


std::vector<std::string> GoManager::listingInputs() {
    std::vector<std::string> paths{settingsFile()};
    addFolderAndEntries(paths, binaryFolder());
    return paths;
}

}  // namespace vt
