#include "managers/extensions/GhExtensionManager.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "base/Cancellation.hpp"
#include "base/Localization.hpp"
#include "base/Paths.hpp"
#include "base/Strings.hpp"
#include "managers/ToolOutput.hpp"
#include "managers/extensions/GhExtensionError.hpp"
#include "managers/extensions/GitCheckout.hpp"
#include "model/VersionRules.hpp"
#include "system/Endpoints.hpp"
#include "system/FileSystemManager.hpp"
#include "system/RegistryRequest.hpp"
#include "system/SecretStore.hpp"

namespace vt {

namespace {

std::string readSmall(const std::string& path) {
    std::ifstream stream(path, std::ios::binary);
    std::string text(64 * 1024, '\0');
    stream.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(std::max<std::streamsize>(stream.gcount(), 0)));
    return text;
}

std::optional<std::string> gitHubToken() {
    for (const char* variable : {"GITHUB_TOKEN", "GH_TOKEN"}) {
        if (auto value = paths::environmentValue(variable); value && !trimView(*value).empty()) return trim(*value);
    }
    return SecretStore().read("github-token");
}

}  // namespace

const SourceRow& GhExtensionManager::source() {
    static const SourceRow row{.id = "gh-extensions", .name = "GitHub CLI", .executables = {"gh"},
                               .types = {PackageType::GhExtension}, .toggle = ManagerToggleKey::ShowGhExtensions,
                               .completionLine = "GitHub Extensions", .logTag = "gh-extensions",
                               .make = makeAdapter<GhExtensionManager>};
    return row;
}

GhExtensionManager::GhExtensionManager(CommandRunning& runner, const FileSystemManager& files)
    : GhExtensionManager(runner, files, Options{}) {}

GhExtensionManager::GhExtensionManager(CommandRunning& runner, const FileSystemManager& files, Options options)
    : ToolchainManager(source(), runner, files, std::move(options),
                       {"GH_CONFIG_DIR", "GH_HOST", "GH_TOKEN", "GITHUB_TOKEN", "GH_ENTERPRISE_TOKEN", "XDG_DATA_HOME",
                        "XDG_CONFIG_HOME", "XDG_STATE_HOME"},
                       "GhExtensionManager") {}

bool GhExtensionManager::isExtensionName(std::string_view name) {
    if (name.empty() || name.size() > 100 || name.front() == '-' || name.front() == '.') return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
               c == '-';
    });
}

std::vector<GhExtensionManager::Extension> GhExtensionManager::parseList(std::string_view text) {
    std::vector<Extension> extensions;
    for (std::string_view line : splitLines(text)) {
        std::vector<std::string_view> fields = split(line, '\t');
        if (fields.empty()) continue;
        std::string_view command = trimView(fields[0]);
        if (!command.starts_with("gh ")) continue;
        Extension extension;
        extension.name = trim(command.substr(3));
        if (!isExtensionName(extension.name)) continue;
        if (fields.size() > 1) extension.repository = trim(fields[1]);
        if (fields.size() > 2) extension.version = trim(fields[2]);
        extensions.push_back(std::move(extension));
    }
    return extensions;
}

std::map<std::string, std::string> GhExtensionManager::parseManifest(std::string_view text) {
    std::map<std::string, std::string> fields;
    for (std::string_view line : splitLines(text)) {
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos || line.starts_with(" ") || line.starts_with("#")) continue;
        std::string value = trim(line.substr(colon + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
            value = value.substr(1, value.size() - 2);
        }
        fields[trim(line.substr(0, colon))] = value;
    }
    return fields;
}

std::string GhExtensionManager::extensionsFolder() const {
    const std::map<std::string, std::string> variables = environment();
    auto data = variables.find("XDG_DATA_HOME");
    const std::string root = data != variables.end() && !data->second.empty() ? data->second : home() + "/.local/share";
    return root + "/gh/extensions";
}

bool GhExtensionManager::hasExtensionFolders() const {
    std::error_code error;
    for (std::filesystem::directory_iterator entry(extensionsFolder(), error), end; !error && entry != end;
         entry.increment(error)) {
        if (startsWith(entry->path().filename().string(), "gh-")) return true;
    }
    return false;
}

void GhExtensionManager::describeFolder(Extension& extension) const {
    extension.folder = extensionsFolder() + "/gh-" + extension.name;
    std::error_code error;
    if (std::filesystem::is_symlink(extension.folder, error)) {
        extension.kind = Kind::Local;
        return;
    }
    if (files_.fileExists(extension.folder + "/manifest.yml")) {
        extension.kind = Kind::Binary;
        const std::map<std::string, std::string> manifest = parseManifest(readSmall(extension.folder + "/manifest.yml"));
        auto field = [&](const char* key) {
            auto found = manifest.find(key);
            return found == manifest.end() ? std::string() : found->second;
        };
        extension.owner = field("owner");
        extension.repositoryName = field("name");
        extension.pinned = toLower(field("ispinned")) == "true";
        if (extension.version.empty()) extension.version = field("tag");
        return;
    }
    if (files_.directoryExists(extension.folder + "/.git")) {
        extension.kind = Kind::Git;
        try {
            for (const std::string& entry : files_.contentsOfDirectory(extension.folder)) {
                if (startsWith(entry, ".pin-")) extension.pinned = true;
            }
        } catch (const std::exception&) {
            // An unreadable folder is taken as unpinned: gh itself would fail on it first.
        }
        return;
    }
    extension.kind = Kind::Local;
}

std::vector<GhExtensionManager::Extension> GhExtensionManager::readExtensions(std::stop_token stop) {
    // gh installs extensions only in its folder; without one there is nothing to ask it, and a gh
    // that was never logged in would answer "gh auth login" instead of an empty list.
    if (!hasExtensionFolders()) return {};
    ShellCommandResult result = tool({"extension", "list"}, kListTimeout, stop);
    if (result.exitCode != 0) {
        throw CommandError::executionFailed(result.exitCode, firstLine(result.standardError.empty()
                                                                           ? result.standardOutput
                                                                           : result.standardError));
    }
    std::vector<Extension> extensions = parseList(result.standardOutput);
    for (Extension& extension : extensions) describeFolder(extension);
    return extensions;
}

Package GhExtensionManager::makePackage(const Extension& extension) {
    Package package;
    package.name = extension.name;
    package.version = extension.version.empty() ? std::string("local") : extension.version;
    package.type = PackageType::GhExtension;
    package.isPinned = extension.pinned;
    if (!extension.repository.empty()) {
        package.sourceIdentifier = extension.repository;
        package.homepage = Endpoints::url(Service::GitHubWeb, "/" + extension.repository);
    }
    return package;
}

std::vector<Package> GhExtensionManager::readInstalled(std::stop_token stop, std::optional<std::string>& message) {
    std::vector<Package> packages;
    try {
        for (const Extension& extension : readExtensions(stop)) packages.push_back(makePackage(extension));
    } catch (const CommandError& error) {
        if (stop.stop_requested()) throw CancellationError();
        message = localized("gh_extension.scan_error", {commandOutput(error)});
    }
    return packages;
}

std::vector<Package> GhExtensionManager::readOutdated(std::stop_token stop, std::optional<std::string>& message) {
    std::vector<Extension> extensions;
    try {
        extensions = readExtensions(stop);
    } catch (const CommandError& error) {
        if (stop.stop_requested()) throw CancellationError();
        message = localized("gh_extension.scan_error", {commandOutput(error)});
        return {};
    }
    RegistryRequest github(network(), "GhExtensionManager");
    const std::optional<std::string> token = gitHubToken();
    bool unreachable = false;
    std::vector<Package> outdated;
    for (const Extension& extension : extensions) {
        if (stop.stop_requested()) throw CancellationError();
        if (extension.pinned || extension.kind == Kind::Local) continue;
        std::optional<std::string> latest;
        if (extension.kind == Kind::Git) {
            GitCheckout checkout(runner_, files_, extension.folder);
            std::optional<std::string> remote = checkout.remoteHead(stop);
            if (!remote) {
                unreachable = true;
                continue;
            }
            if (checkout.isBehind(*remote, stop).value_or(false)) latest = shortCommit(*remote);
        } else if (isExtensionName(extension.owner) && isExtensionName(extension.repositoryName)) {
            const std::string url = Endpoints::url(
                Service::GitHubApi, "/repos/" + extension.owner + "/" + extension.repositoryName + "/releases/latest");
            std::optional<Json> release = github.fetchJson(RegistryRequest::gitHubGet(url, token), stop);
            std::optional<std::string> tag = release ? stringField(*release, "tag_name") : std::nullopt;
            if (!tag) {
                unreachable = true;
                continue;
            }
            if (isUpdateAvailable(extension.version, *tag, false)) latest = *tag;
        }
        if (!latest) continue;
        Package package = makePackage(extension);
        package.latestVersion = latest;
        outdated.push_back(std::move(package));
    }
    if (unreachable) message = localized("gh_extension.remote_unreachable");
    return outdated;
}

void GhExtensionManager::update(const Package& package, std::stop_token stop) {
    if (!isExtensionName(package.name)) throw GhExtensionError::invalidName(package.name);
    if (package.isPinned) throw GhExtensionError::pinned(package.name);
    if (!discover(stop)) throw GhExtensionError::notInstalled();
    Extension current;
    current.name = package.name;
    describeFolder(current);
    if (current.kind == Kind::Local) throw GhExtensionError::localExtension(package.name);
    if (current.pinned) throw GhExtensionError::pinned(package.name);
    runUpdate({"extension", "upgrade", package.name}, kUpgradeTimeout, stop,
              [](const std::string& output) { throw GhExtensionError::commandFailed(output); });
    std::vector<Extension> extensions;
    try {
        extensions = readExtensions(stop);
    } catch (const CommandError& error) {
        log().warning(localized("log.gh.relist_failed", {error.description()}));
        return;
    }
    auto found = std::find_if(extensions.begin(), extensions.end(),
                              [&](const Extension& extension) { return extension.name == package.name; });
    if (found != extensions.end() && found->version == package.version && package.latestVersion &&
        *package.latestVersion != package.version) {
        throw GhExtensionError::versionUnchanged(package.name, found->version);
    }
    std::vector<Package> packages;
    for (const Extension& extension : extensions) packages.push_back(makePackage(extension));
    publishPackages(std::move(packages));
}

}  // namespace vt
