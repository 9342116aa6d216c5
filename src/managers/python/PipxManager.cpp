#include "managers/python/PipxManager.hpp"

#include <algorithm>
#include <atomic>
#include <thread>

#include "base/Localization.hpp"
#include "base/Paths.hpp"
#include "base/Cancellation.hpp"
#include "base/Log.hpp"
#include "base/Strings.hpp"
#include "managers/LatestVersionCache.hpp"
#include "managers/python/PipError.hpp"
#include "managers/python/PipManager.hpp"
#include "model/VersionRules.hpp"
#include "system/CommandRunner.hpp"
#include "managers/PublishTimes.hpp"
#include "system/Endpoints.hpp"
#include "system/FileSystemManager.hpp"
#include "system/NetworkClient.hpp"
#include "system/RegistryRequest.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger instance("PipxManager");
    return instance;
}

std::string pypiURL(std::string_view name) {
    return Endpoints::url(Service::PyPI, "/pypi/" + std::string(name) + "/json");
}

}  // namespace

const SourceRow& PipxManager::source() {
    static const SourceRow row{.id = "pipx", .name = "pipx", .executables = {"pipx"},
                               .types = {PackageType::PipxPackage}, .toggle = ManagerToggleKey::ShowPipx,
                               .completionLine = "Pipx", .logTag = "pipx",
                               .make = makeAdapter<PipxManager>};
    return row;
}

PipxManager::PipxManager(CommandRunning& runner, const FileSystemManager& files)
    : PipxManager(runner, files, Options{}) {}

PipxManager::PipxManager(CommandRunning& runner, const FileSystemManager& files, Options options)
    : BaseManager(source(), runner, files), options_(std::move(options)) {
    if (options_.network != nullptr) setNetwork(*options_.network);
    if (!options_.invalidateListings) options_.invalidateListings = [&runner] { runner.invalidateCache("pipx"); };
}

PipxManager::~PipxManager() = default;

PipxManager::Parsed PipxManager::parseList(std::string_view text) {
    Parsed parsed;
    std::optional<Json> json = parseJson(text);
    if (!json || !json->is_object() || !json->contains("venvs") || !(*json)["venvs"].is_object()) {
        parsed.error = "Failed to parse pipx list JSON: " + std::string(trimView(text).substr(0, 200));
        return parsed;
    }
    for (const auto& [venv, entry] : (*json)["venvs"].items()) {
        if (!entry.is_object() || !entry.contains("metadata") || !entry["metadata"].is_object()) continue;
        const Json& metadata = entry["metadata"];
        if (!metadata.contains("main_package") || !metadata["main_package"].is_object()) continue;
        const Json& main = metadata["main_package"];
        Application application;
        application.venv = venv;
        application.package = stringField(main, "package").value_or(venv);
        application.version = stringField(main, "package_version").value_or("");
        application.source = stringField(main, "package_or_url").value_or(application.package);
        if (application.package.empty() || application.version.empty()) continue;
        parsed.applications.push_back(std::move(application));
    }
    return parsed;
}

bool PipxManager::isFromRegistry(const Application& application) {
    const std::string_view source = trimView(application.source);
    if (source.empty()) return true;
    // "black", "black==24.1", "black[d]>=23": a requirement; anything with a path separator,
    // a scheme or an archive name is a place PyPI knows nothing about.
    if (contains(source, "/") || contains(source, "\\") || contains(source, ":") || contains(source, "@")) return false;
    return !(endsWith(source, ".whl") || endsWith(source, ".zip") || endsWith(source, ".tar.gz"));
}

std::optional<std::string> PipxManager::latestVersionOf(const Json& document) {
    if (!document.is_object() || !document.contains("info") || !document["info"].is_object()) return std::nullopt;
    std::optional<std::string> version = stringField(document["info"], "version");
    if (!version || trimView(*version).empty()) return std::nullopt;
    return trim(*version);
}

bool PipxManager::hasApplications() const {
    for (const std::string& folder : pipxHomes()) {
        const std::string venvs = folder + "/venvs";
        try {
            if (files_.directoryExists(venvs) && !files_.contentsOfDirectory(venvs).empty()) return true;
        } catch (const std::exception&) {
            return true;  // unreadable here: pipx itself says what it can
        }
    }
    return false;
}

PipxManager::Parsed PipxManager::runList(std::stop_token stop) {
    // No application folder in any of pipx's homes: nothing was ever installed, and pipx (a
    // Python start) would only say so.
    if (!hasApplications()) return {};
    CommandRequest request;
    request.command = binaryPath();
    request.arguments = {"list", "--json"};
    request.timeout = kListTimeout;
    request.allowNonZeroExit = true;
    try {
        ShellCommandResult result = run(request, stop);
        if (result.exitCode != 0) {
            Parsed failed;
            failed.error = "pipx list failed with exit code " + std::to_string(result.exitCode) + ": " +
                           trim(result.standardError);
            return failed;
        }
        return parseList(result.standardOutput);
    } catch (const CommandError& error) {
        Parsed failed;
        failed.error = "pipx list failed: " + error.description();
        return failed;
    }
}

std::vector<Package> PipxManager::listInstalled(std::stop_token stop) {
    LoadingScope loading(*this);
    if (!discover(stop)) return publishEmptyListing();
    Parsed parsed = runList(stop);
    if (parsed.error) logger().warning(*parsed.error);
    std::vector<Package> packages;
    for (const Application& application : parsed.applications) {
        Package package;
        package.name = application.package;
        package.version = application.version;
        package.type = PackageType::PipxPackage;
        if (application.venv != application.package) package.sourceIdentifier = application.venv;
        packages.push_back(std::move(package));
    }
    {
        std::scoped_lock lock(pipxMutex_);
        lastApplications_ = parsed.applications;
    }
    setErrorMessage(parsed.error);
    publishPackages(packages);
    return packages;
}

std::optional<PipxManager::Latest> PipxManager::latestVersion(const std::string& package, std::stop_token stop) {
    RegistryRequest registry(network(), "PipxManager");
    std::optional<Json> document = registry.lookup(package, pypiURL, stop);
    std::optional<std::string> version = document ? latestVersionOf(*document) : std::nullopt;
    if (!version) return std::nullopt;
    // The same document dates every release: no request more.
    return Latest{*version, wantsPublishTimes() ? publishtimes::fromPyPIDocument(*document) : std::vector<PublishedRelease>{}};
}

std::vector<Package> PipxManager::checkOutdated(std::stop_token stop) {
    LoadingScope loading(*this);
    if (!discover(stop)) return nothingFound();
    std::vector<Application> applications;
    {
        std::scoped_lock lock(pipxMutex_);
        applications = lastApplications_;
    }
    std::optional<std::string> error;
    if (applications.empty()) {
        Parsed parsed = runList(stop);
        applications = std::move(parsed.applications);
        error = std::move(parsed.error);
    }
    std::vector<const Application*> asked;
    for (const Application& application : applications) {
        if (isFromRegistry(application)) {
            asked.push_back(&application);
        } else {
            logger().info(localized("log.pipx.not_compared", {application.venv, application.source}));
        }
    }
    std::vector<std::optional<Latest>> latest(asked.size());
    LatestVersionCache::forEachConcurrently(
        asked.size(), kConcurrentLookups, [&](std::size_t i) { latest[i] = latestVersion(asked[i]->package, stop); },
        stop);

    std::vector<Package> packages;
    for (std::size_t i = 0; i < asked.size(); ++i) {
        const Application& application = *asked[i];
        if (!latest[i] || compareVersions(application.version, latest[i]->version) != VersionOrder::Ascending) continue;
        Package package;
        package.name = application.package;
        package.version = application.version;
        package.latestVersion = latest[i]->version;
        package.releases = releasesNewerThan(application.version, latest[i]->releases);
        package.type = PackageType::PipxPackage;
        if (application.venv != application.package) package.sourceIdentifier = application.venv;
        packages.push_back(std::move(package));
    }
    logger().info(localized("log.manager.outdated_done", {"pipx", std::to_string(packages.size())}));
    setErrorMessage(error);
    return packages;
}

void PipxManager::update(const Package& package, std::stop_token stop) {
    const std::string venv =
        package.sourceIdentifier && !package.sourceIdentifier->empty() ? *package.sourceIdentifier : package.name;
    if (!PipManager::isProjectName(venv)) throw PipError::invalidPackageName(venv);
    if (!discover(stop)) throw CommandError::invalidCommand("pipx");
    logger().info(localized("log.manager.updating_application", {"pipx", venv}));
    CommandRequest request;
    request.command = binaryPath();
    request.arguments = {"upgrade", venv};
    request.environment = {{"PIP_RETRIES", PipManager::kIndexRetries},
                           {"PIP_TIMEOUT", PipManager::kIndexTimeoutSeconds}};
    request.timeout = kUpgradeTimeout;
    run(request, stop);
    if (options_.invalidateListings) options_.invalidateListings();
    std::scoped_lock lock(pipxMutex_);
    lastApplications_.clear();
}


std::vector<std::string> PipxManager::pipxHomes() {
    std::vector<std::string> homes;
    if (auto configured = paths::environmentValue("PIPX_HOME")) homes.push_back(*configured);
    homes.push_back(paths::environmentValue("XDG_DATA_HOME").value_or(paths::home() + "/.local/share") + "/pipx");
    homes.push_back(paths::home() + "/.local/pipx");
    return homes;
}

std::vector<std::string> PipxManager::listingInputs() {
    std::vector<std::string> paths;
    for (const std::string& folder : pipxHomes()) {
        const std::size_t first = paths.size();
        addFolderAndEntries(paths, folder + "/venvs");
        const std::size_t last = paths.size();
        for (std::size_t i = first + 1; i < last; ++i) paths.push_back(paths[i] + "/pipx_metadata.json");
    }
    return paths;
}

}  // namespace vt
