#include "managers/python/UvManager.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <thread>

#include "base/Cancellation.hpp"
#include "base/Files.hpp"
#include "base/Json.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Paths.hpp"
#include "base/Regex.hpp"
#include "base/Strings.hpp"
#include "managers/ExecutableLocator.hpp"
#include "managers/ToolOutput.hpp"
#include "managers/javascript/ToolReleaseAges.hpp"
#include "managers/python/PipxManager.hpp"
#include "managers/python/UvError.hpp"
#include "model/VersionRules.hpp"
#include "managers/PublishTimes.hpp"
#include "managers/RegistryProbe.hpp"
#include "system/Endpoints.hpp"
#include "system/FileSystemManager.hpp"
#include "system/NetworkClient.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger instance("UvManager");
    return instance;
}

std::string failureDetail(const std::exception& error) {
    if (const auto* command = dynamic_cast<const CommandError*>(&error)) {
        std::string detail = trim(command->detail());
        return detail.empty() ? command->description() : detail;
    }
    return error.what();
}

}  // namespace

const SourceRow& UvManager::source() {
    static const SourceRow row{.id = "uv", .name = "uv", .executables = {"uv"}, .types = {PackageType::UvTool},
                               .toggle = ManagerToggleKey::ShowUv, .completionLine = "uv",
                               .logTag = "uv", .make = makeAdapter<UvManager>};
    return row;
}

UvManager::UvManager(CommandRunning& runner, const FileSystemManager& files) : UvManager(runner, files, Options{}) {}

UvManager::UvManager(CommandRunning& runner, const FileSystemManager& files, Options options)
    : BaseManager(source(), runner, files),
      options_(std::move(options)),
      latestCache_(LatestVersionCache::forRegistry(options_.cacheFile, kCacheFileName, options_.clock, "UvManager")) {
    if (options_.network != nullptr) setNetwork(*options_.network);
}

UvManager::~UvManager() = default;

Clock& UvManager::clock() const {
    return options_.clock != nullptr ? *options_.clock : Clock::shared();
}

std::string UvManager::home() const {
    return options_.home ? *options_.home : paths::home();
}

std::string UvManager::receiptPath(const std::string& tool) const {
    return home() + "/" + ".local/share/uv/tools" + "/" + tool + "/uv-receipt.toml";
}

std::vector<std::string> UvManager::executableCandidates(const std::string& home) {
    return {"/opt/homebrew/bin/uv", "/usr/local/bin/uv", home + "/.local/bin/uv", home + "/.cargo/bin/uv"};
}

std::optional<std::string> UvManager::locateExecutable(std::stop_token stop) {
    const std::vector<std::string> candidates =
        options_.candidates ? *options_.candidates : executableCandidates(home());
    return ExecutableLocator(files_).locate(identity().executables, stop, candidates);
}

std::optional<std::string> UvManager::sourceNote(const std::string& name, UvReceipt::SourceKind kind) {
    switch (kind) {
        case UvReceipt::SourceKind::Registry: return std::nullopt;
        case UvReceipt::SourceKind::Git: return localized("uv.source.git", {name});
        case UvReceipt::SourceKind::LocalPath: return localized("uv.source.local", {name});
        case UvReceipt::SourceKind::DirectURL: return localized("uv.source.url", {name});
    }
    return std::nullopt;
}

std::vector<UvManager::Tool> UvManager::parseToolList(std::string_view text) {
    static const Regex line(R"(^(\S+)\s+v([\d.]+(?:[a-zA-Z0-9._-]*)?))");
    std::vector<Tool> tools;
    for (std::string_view raw : splitLines(text)) {
        // Executables are listed under their tool as "- name"; with --show-paths, indented.
        if (raw.empty() || startsWith(raw, "-") || isBlank(raw.front())) continue;
        std::optional<Regex::Match> match = line.search(raw);
        if (!match || !match->groups[0] || !match->groups[1]) continue;
        std::string name(*match->groups[0]);
        if (std::any_of(tools.begin(), tools.end(), [&](const Tool& tool) { return tool.name == name; })) continue;
        tools.push_back({std::move(name), std::string(*match->groups[1])});
    }
    return tools;
}

ShellCommandResult UvManager::runUv(const std::string& uv, std::vector<std::string> arguments, double timeout,
                                    std::stop_token stop) {
    CommandRequest request;
    request.command = uv;
    request.arguments = std::move(arguments);
    request.timeout = timeout;
    // Plain text without colour codes, whatever the user's uv settings say.
    request.environment = {{"NO_COLOR", "1"}};
    return run(request, stop);
}

UvReceipt UvManager::readReceipt(const std::string& tool) const {
    const std::string path = receiptPath(tool);
    try {
        return UvReceipt::parse(files_.readFile(path));
    } catch (const std::exception& error) {
        // Without a receipt the tool is taken for a registry install of its own name.
        logger().debug(localized("log.uv.no_receipt", {tool, error.what()}));
        return {};
    }
}

std::vector<UvManager::Installed> UvManager::readInstalled(const std::string& uv, std::stop_token stop) {
    ShellCommandResult result = runUv(uv, {"tool", "list"}, kListTimeout, stop);
    std::vector<Installed> installed;
    for (Tool& tool : parseToolList(result.standardOutput)) {
        UvReceipt receipt = readReceipt(tool.name);
        installed.push_back({std::move(tool), std::move(receipt)});
    }
    return installed;
}

Package UvManager::makePackage(const Installed& installed) const {
    Package package;
    package.name = installed.tool.name;
    package.version = installed.tool.version;
    package.type = PackageType::UvTool;
    package.sourceIdentifier = installed.receipt.sourceIdentifier();
    package.description = sourceNote(installed.tool.name, installed.receipt.sourceKind);
    return package;
}

std::vector<Package> UvManager::publishInstalled(std::vector<Installed> installed) {
    std::vector<Package> packages;
    packages.reserve(installed.size());
    for (const Installed& item : installed) packages.push_back(makePackage(item));
    {
        std::scoped_lock lock(uvMutex_);
        installed_ = std::move(installed);
    }
    publishPackages(packages);
    return packages;
}

std::vector<Package> UvManager::listInstalled(std::stop_token stop) {
    LoadingScope loading(*this);
    if (!discover(stop)) return publishEmptyListing();
    std::vector<Installed> installed;
    try {
        installed = readInstalled(binaryPath(), stop);
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        if (stop.stop_requested()) throw CancellationError();
        logger().warning(localized("log.command_failed", {"uv tool list", error.what()}));
        return publishEmptyListing(localized("uv_scan_error", {firstLine(failureDetail(error))}));
    }
    setErrorMessage(std::nullopt);
    return publishInstalled(std::move(installed));
}

std::vector<Package> UvManager::checkOutdated(std::stop_token stop) {
    LoadingScope loading(*this);
    if (!discover(stop)) return nothingFound();
    std::optional<std::vector<Installed>> known;
    {
        std::scoped_lock lock(uvMutex_);
        known = installed_;
    }
    if (!known) {
        try {
            known = readInstalled(binaryPath(), stop);
        } catch (const CancellationError&) {
            throw;
        } catch (const std::exception& error) {
            if (stop.stop_requested()) throw CancellationError();
            setErrorMessage(localized("uv_scan_error", {firstLine(failureDetail(error))}));
            return {};
        }
    }
    std::vector<const Installed*> registry;
    for (const Installed& item : *known) {
        if (item.receipt.sourceKind == UvReceipt::SourceKind::Registry) registry.push_back(&item);
    }

    std::vector<std::string> names;
    for (const Installed* item : registry) names.push_back(item->receipt.requirementName.value_or(item->tool.name));
    // uv's own limit, from the configuration `uv tool` reads (~/.config/uv on macOS too).
    const std::string uvConfig = paths::environmentValue("XDG_CONFIG_HOME").value_or(home() + "/.config") + "/uv";
    const std::optional<ToolReleaseAge> toolLimit = toolages::uvLimit(uvConfig, clock().now());
    const bool dated = wantsPublishTimes() || toolLimit.has_value();
    RegistryProbe pypi(network(), Service::PyPI, "UvManager");
    const auto lookup = pypi.revalidatingLookup(
        [](std::string_view name) { return Endpoints::url(Service::PyPI, "/pypi/" + std::string(name) + "/json"); },
        [](const std::string&) { return std::string(); },  // the same answer whatever is installed
        [dated](const Json& document, const std::string& name, std::stop_token) {
            return answerOf(document, name, dated);
        });
    const std::map<std::string, LatestVersionCache::Answer> versions =
        latestCache_.latestRevalidated(names, lookup, stop, pypi.scope() + (dated ? " dated" : ""));
    std::vector<std::optional<LatestVersionCache::Answer>> latest(registry.size());
    for (std::size_t i = 0; i < registry.size(); ++i) {
        if (auto found = versions.find(names[i]); found != versions.end()) latest[i] = found->second;
    }

    std::vector<Package> outdated;
    for (std::size_t i = 0; i < registry.size(); ++i) {
        const Installed& item = *registry[i];
        if (!latest[i] || !isUpdateAvailable(item.tool.version, latest[i]->version, true)) continue;
        Package package = makePackage(item);
        package.latestVersion = latest[i]->version;
        package.releases = releasesNewerThan(item.tool.version, latest[i]->releases);
        package.toolReleaseAge = toolLimit;
        outdated.push_back(std::move(package));
    }
    setErrorMessage(pypi.wasUnreachable() ? std::optional<std::string>(pypi.unreachableMessage()) : std::nullopt);
    markLatestVersionsUnknown(pypi.wasUnreachable());
    return outdated;
}

std::optional<LatestVersionCache::Answer> UvManager::answerOf(const Json& document, const std::string& name, bool dated) {
    // The same reading of a PyPI document as for pipx applications.
    std::optional<std::string> version = PipxManager::latestVersionOf(document);
    if (!version || isPlaceholderVersion(*version)) {
        logger().warning(localized("log.uv.refresh_version_failed", {name}));
        return std::nullopt;
    }
    LatestVersionCache::Answer answer{*version, {}};
    if (dated) answer.releases = publishtimes::fromPyPIDocument(document);
    return answer;
}

void UvManager::update(const Package& package, std::stop_token stop) {
    if (!discover(stop)) throw UvError::notFound();
    const std::string uv = binaryPath();
    const UvReceipt receipt = readReceipt(package.name);
    if (std::optional<std::string> note = sourceNote(package.name, receipt.sourceKind)) {
        // uv would only reinstall from the same pinned source; nothing newer can come of it.
        throw PackageManualUpdateRequiredError(package.name, "uv tool install --force " + receipt.sourceIdentifier(),
                                               *note);
    }
    logger().info(localized("log.uv.upgrade_start", {package.name}));
    try {
        runUv(uv, {"tool", "upgrade", package.name}, kUpgradeTimeout, stop);
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        if (stop.stop_requested()) throw CancellationError();
        throw UvError::commandFailed(firstLine(failureDetail(error)));
    }

    std::vector<Installed> installed;
    try {
        installed = readInstalled(uv, stop);
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        logger().warning(localized("log.uv.list_after_upgrade_failed", {error.what()}));
        return;
    }
    auto found = std::find_if(installed.begin(), installed.end(),
                              [&](const Installed& item) { return item.tool.name == package.name; });
    const std::optional<std::string> current =
        found == installed.end() ? std::nullopt : std::optional<std::string>(found->tool.version);
    publishInstalled(std::move(installed));
    // An up-to-date tool that stays where it is was not an update that failed.
    const bool wasBehind = !package.latestVersion || isUpdateAvailable(package.version, *package.latestVersion, true);
    if (current && *current == package.version && wasBehind) {
        const std::string target = package.latestVersion ? package.name + " " + *package.latestVersion : package.name;
        throw UvError::versionUnchanged(target, *current);
    }
}

}  // namespace vt
