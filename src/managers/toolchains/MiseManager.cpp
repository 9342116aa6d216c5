#include "managers/toolchains/MiseManager.hpp"

#include "base/Cancellation.hpp"
#include "base/Localization.hpp"
#include "base/Paths.hpp"
#include "base/Regex.hpp"
#include "base/Strings.hpp"
#include "managers/ToolOutput.hpp"
#include "managers/toolchains/ToolchainError.hpp"
#include "model/VersionRules.hpp"
#include "system/Endpoints.hpp"
#include "system/NetworkClient.hpp"

namespace vt {

namespace {

Package toolPackage(const MiseManager::Tool& tool) {
    Package package;
    package.name = tool.name;
    package.version = tool.version;
    package.latestVersion = tool.latest;
    package.type = PackageType::MiseRuntime;
    package.installLocationOverride = tool.installPath;
    return package;
}

}  // namespace

const SourceRow& MiseManager::source() {
    static const SourceRow row{.id = "mise", .name = "mise", .executables = {"mise"},
                               .types = {PackageType::MiseRuntime}, .toggle = ManagerToggleKey::ShowMise,
                               .folders = {"~/.local/share/mise/bin/", "~/.local/share/mise/"},
                               .completionLine = "Mise", .logTag = "mise",
                               .make = makeAdapter<MiseManager>};
    return row;
}

MiseManager::MiseManager(CommandRunning& runner, const FileSystemManager& files)
    : MiseManager(runner, files, Options{}) {}

MiseManager::MiseManager(CommandRunning& runner, const FileSystemManager& files, Options options)
    : ToolchainManager(source(), runner, files, std::move(options),
                       {"MISE_DATA_DIR", "MISE_CONFIG_DIR", "MISE_CACHE_DIR", "MISE_GLOBAL_CONFIG_FILE",
                        "MISE_CONFIG_FILE", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"},
                       "MiseManager") {}

std::vector<MiseManager::Tool> MiseManager::parseList(std::string_view output) {
    std::vector<Tool> tools;
    std::optional<Json> json = jsonAfterBanner(output);
    if (!json || !json->is_object()) return tools;
    for (const auto& [name, versions] : json->items()) {
        if (!versions.is_array() || !isSafeArgument(name)) continue;
        std::optional<Tool> active;
        std::optional<Tool> newest;
        for (const Json& entry : versions) {
            if (!entry.is_object() || boolField(entry, "installed") == false) continue;
            std::optional<std::string> version = stringField(entry, "version");
            if (!version || version->empty()) continue;
            Tool tool{.name = name, .version = *version, .installPath = stringField(entry, "install_path")};
            if (boolField(entry, "active").value_or(false)) {
                active = std::move(tool);
                break;
            }
            if (!newest || isUpdateAvailable(newest->version, tool.version, true)) newest = std::move(tool);
        }
        std::optional<Tool> chosen = active ? active : newest;
        if (!chosen) continue;
        tools.push_back(std::move(*chosen));
    }
    return tools;
}

std::vector<MiseManager::Tool> MiseManager::parseOutdated(std::string_view output) {
    std::vector<Tool> tools;
    std::optional<Json> json = jsonAfterBanner(output);
    if (!json || !(json->is_object() || json->is_array())) return tools;
    // Keyed by tool name in current releases; a list of the same entries in older ones.
    for (const auto& [key, entry] : json->items()) {
        if (!entry.is_object()) continue;
        std::string name = stringField(entry, "name").value_or(json->is_object() ? key : "");
        std::optional<std::string> current = stringField(entry, "current");
        std::optional<std::string> latest = stringField(entry, "latest");
        if (!isSafeArgument(name) || !current || current->empty() || !latest || latest->empty()) continue;
        tools.push_back(Tool{.name = name, .version = *current, .latest = *latest});
    }
    return tools;
}

std::optional<std::string> MiseManager::parseSelfVersion(std::string_view output) {
    static const Regex version(R"((?:^|\s)v?(\d{4}\.\d+\.\d+)(?=\s|$))");
    std::optional<Regex::Match> match = version.search(output);
    if (!match || !match->groups[0]) return std::nullopt;
    return std::string(*match->groups[0]);
}

std::optional<std::string> MiseManager::selfVersion(std::stop_token stop) const {
    ShellCommandResult result = tool({"--version"}, kListTimeout, stop);
    return parseSelfVersion(result.standardOutput);
}

std::vector<Package> MiseManager::readInstalled(std::stop_token stop, std::optional<std::string>& message) {
    ShellCommandResult result = tool({"ls", "--json"}, kListTimeout, stop);
    std::vector<Package> packages;
    for (const Tool& entry : parseList(result.standardOutput)) packages.push_back(toolPackage(entry));
    if (result.exitCode != 0 && packages.empty()) {
        message = localized("mise.command_failed", {excerpt(trim(result.standardError), 300)});
    }
    if (std::optional<std::string> version = selfVersion(stop)) {
        packages.push_back(toolPackage(Tool{.name = kSelf, .version = *version, .installPath = binaryPath()}));
    }
    return packages;
}

std::optional<std::string> MiseManager::latestRelease(std::stop_token stop, std::optional<std::string>& message) {
    HttpRequest request;
    request.url = Endpoints::url(Service::GitHubApi, kReleasePath);
    request.headers.set("User-Agent", kUserAgent);
    request.headers.set("Accept", "application/vnd.github+json");
    std::optional<std::string> token = options_.environment.contains("GITHUB_API_TOKEN")
                                           ? std::optional<std::string>(options_.environment.at("GITHUB_API_TOKEN"))
                                           : paths::environmentValue("GITHUB_API_TOKEN");
    if (token && !trim(*token).empty()) {
        std::string authorization = "Bearer ";
        authorization += trim(*token);
        request.headers.set("Authorization", authorization);
    }
    request.maxBodyBytes = 4u * 1024u * 1024u;
    try {
        HttpResponse response = network().send(request, stop);
        if (response.statusCode == 403) {
            message = localized("mise.github_forbidden");
            return std::nullopt;
        }
        if (!response.isSuccess()) {
            std::string line = "⚠️ GitHub answered ";
            line += std::to_string(response.statusCode);
            line += " for mise's latest release";
            log().warning(line);
            return std::nullopt;
        }
        std::optional<Json> json = parseJson(response.body);
        std::optional<std::string> tag = json && json->is_object() ? stringField(*json, "tag_name") : std::nullopt;
        if (!tag) return std::nullopt;
        std::string version = startsWith(*tag, "v") ? tag->substr(1) : *tag;
        return isSafeArgument(version) ? std::optional<std::string>(version) : std::nullopt;
    } catch (const NetworkError& error) {
        log().warning(localized("log.mise.latest_failed", {error.description()}));
        return std::nullopt;
    }
}

std::vector<Package> MiseManager::readOutdated(std::stop_token stop, std::optional<std::string>& message) {
    ShellCommandResult result = tool({"outdated", "--json"}, kOutdatedTimeout, stop);
    std::vector<Package> rows;
    for (const Tool& entry : parseOutdated(result.standardOutput)) {
        if (entry.latest && *entry.latest != entry.version) rows.push_back(toolPackage(entry));
    }
    if (result.exitCode != 0 && rows.empty()) {
        message = localized("mise.command_failed", {excerpt(trim(result.standardError), 300)});
    }
    rows = overListing(std::move(rows));
    if (std::optional<std::string> installed = selfVersion(stop)) {
        std::optional<std::string> latest = latestRelease(stop, message);
        if (latest && isUpdateAvailable(*installed, *latest, false)) {
            Package self = toolPackage(Tool{.name = kSelf, .version = *installed, .latest = *latest,
                                            .installPath = binaryPath()});
            rows.push_back(std::move(self));
        }
    }
    return rows;
}

void MiseManager::updateSelf(const Package& package, std::stop_token stop) {
    const std::string failure = localized("mise.update_failed", {kSelf});
    if (std::optional<std::string> brew = owningBrew()) {
        runUpdate({"upgrade", "mise"}, kUpgradeTimeout, stop, failure, *brew);
    } else {
        runUpdate({"self-update", "--yes"}, kUpgradeTimeout, stop, failure);
    }
    const std::string after = selfVersion(stop).value_or(package.version);
    if (package.latestVersion && after != *package.latestVersion && !isUpdateAvailable(package.version, after, true)) {
        std::string text = localized("mise.version_unchanged", {after});
        text += localized("mise.version_requested", {*package.latestVersion});
        throw ToolchainError::versionUnchanged(text);
    }
}

void MiseManager::update(const Package& package, std::stop_token stop) {
    requireSafe(package.name);
    requireTool(stop);
    if (package.name == kSelf) {
        updateSelf(package, stop);
        return;
    }
    runUpdate({"upgrade", package.name}, kUpgradeTimeout, stop, localized("mise.update_failed", {package.name}));
}

}  // namespace vt
