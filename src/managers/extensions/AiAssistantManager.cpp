#include "managers/extensions/AiAssistantManager.hpp"

#include <algorithm>
#include <fstream>

#include "base/Cancellation.hpp"
#include "base/Json.hpp"
#include "base/Localization.hpp"
#include "base/Strings.hpp"
#include "managers/ToolOutput.hpp"
#include "managers/extensions/AiAssistantError.hpp"
#include "managers/extensions/GitCheckout.hpp"
#include "model/VersionRules.hpp"
#include "system/Endpoints.hpp"
#include "system/FileSystemManager.hpp"
#include "system/RegistryRequest.hpp"

namespace vt {

namespace {

constexpr const char* kBinaryName = "claude";

Package itemPackage(std::string name, std::string version, PackageType type) {
    Package package;
    package.name = std::move(name);
    package.version = version.empty() ? std::string("local") : std::move(version);
    package.type = type;
    return package;
}

// A clone's commit and the newer commit of its remote's default branch.
struct CloneMove {
    std::string head, remote;
};

// nullopt for a plain folder, a clone that is not behind, or a remote that did not answer
// (which sets `unreachable`).
std::optional<CloneMove> behindRemote(const GitCheckout& checkout, bool& unreachable, std::stop_token stop) {
    if (!checkout.isClone()) return std::nullopt;
    std::optional<std::string> remote = checkout.remoteHead(stop);
    std::optional<std::string> head = checkout.head(stop);
    if (!remote || !head) {
        unreachable = unreachable || !remote;
        return std::nullopt;
    }
    if (!checkout.isBehind(*remote, stop).value_or(false)) return std::nullopt;
    return CloneMove{*head, *remote};
}

}  // namespace

const SourceRow& AiAssistantManager::source() {
    static const SourceRow row{.id = "ai-skills", .name = "Claude Code", .executables = {"claude"},
                               .types = {PackageType::AiAssistant, PackageType::AiPlugin, PackageType::AiMarketplace,
                                         PackageType::AiSkill},
                               .toggle = ManagerToggleKey::ShowAISkills,
                               .folders = {"~/.claude/local/", "~/.local/bin/"},
                               .completionLine = "AI Skills", .logTag = "ai-skills",
                               .make = makeAdapter<AiAssistantManager>};
    return row;
}

AiAssistantManager::AiAssistantManager(CommandRunning& runner, const FileSystemManager& files)
    : AiAssistantManager(runner, files, Options{}) {}

AiAssistantManager::AiAssistantManager(CommandRunning& runner, const FileSystemManager& files, Options options)
    : ToolchainManager(source(), runner, files, std::move(options), {"CLAUDE_CONFIG_DIR"}, "AiAssistantManager") {}

bool AiAssistantManager::isItemName(std::string_view name) {
    if (name.empty() || name.size() > 200 || name.front() == '-' || name.front() == '.' || name.front() == '@') {
        return false;
    }
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
               c == '-' || c == '@';
    });
}

std::optional<std::string> AiAssistantManager::parseVersion(std::string_view output) {
    std::string line = firstLine(output);
    std::vector<std::string> versions = extractVersions(line);
    if (versions.empty()) return std::nullopt;
    return versions.front();
}

std::vector<AiAssistantManager::Marketplace> AiAssistantManager::parseMarketplaces(std::string_view json) {
    std::vector<Marketplace> marketplaces;
    std::optional<Json> document = parseJson(json);
    if (!document || !document->is_object()) return marketplaces;
    for (const auto& [name, entry] : document->items()) {
        if (!entry.is_object() || !isItemName(name) || name.find('@') != std::string::npos) continue;
        marketplaces.push_back({name, stringField(entry, "installLocation").value_or("")});
    }
    return marketplaces;
}

std::vector<AiAssistantManager::Plugin> AiAssistantManager::parseInstalledPlugins(std::string_view json) {
    std::vector<Plugin> plugins;
    std::optional<Json> document = parseJson(json);
    if (!document || !document->is_object()) return plugins;
    auto entries = document->find("plugins");
    if (entries == document->end() || !entries->is_object()) return plugins;
    for (const auto& [key, value] : entries->items()) {
        const std::size_t at = key.find('@');
        if (at == std::string::npos || at == 0 || !isItemName(key)) continue;
        // One install, or a list of them (one per scope): the first that states a version.
        const Json* install = value.is_array() && !value.empty() ? &value.front() : &value;
        if (value.is_array()) {
            for (const Json& candidate : value) {
                if (candidate.is_object() && stringField(candidate, "version")) {
                    install = &candidate;
                    break;
                }
            }
        }
        if (!install->is_object()) continue;
        plugins.push_back({key.substr(0, at), key.substr(at + 1), stringField(*install, "version").value_or("")});
    }
    return plugins;
}

std::map<std::string, std::string> AiAssistantManager::parseCatalog(std::string_view json) {
    std::map<std::string, std::string> versions;
    std::optional<Json> document = parseJson(json);
    if (!document || !document->is_object()) return versions;
    auto plugins = document->find("plugins");
    if (plugins == document->end() || !plugins->is_array()) return versions;
    for (const Json& plugin : *plugins) {
        if (!plugin.is_object()) continue;
        std::optional<std::string> name = stringField(plugin, "name");
        std::optional<std::string> version = stringField(plugin, "version");
        if (name && version && !version->empty()) versions[*name] = *version;
    }
    return versions;
}

std::optional<std::string> AiAssistantManager::skillVersion(std::string_view skillFile) {
    std::vector<std::string_view> lines = splitLines(skillFile);
    if (lines.empty() || trimView(lines.front()) != "---") return std::nullopt;
    for (std::size_t i = 1; i < lines.size() && i < 200; ++i) {
        std::string_view line = trimView(lines[i]);
        if (line == "---") break;
        if (!line.starts_with("version:")) continue;
        std::string value = trim(line.substr(8));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
            value = value.substr(1, value.size() - 2);
        }
        if (!value.empty()) return value;
    }
    return std::nullopt;
}

std::string AiAssistantManager::settingsFolder() const {
    const std::map<std::string, std::string> variables = environment();
    auto configured = variables.find("CLAUDE_CONFIG_DIR");
    if (configured != variables.end() && !trim(configured->second).empty()) return trim(configured->second);
    return home() + "/.claude";
}

std::string AiAssistantManager::readSettingsFile(const std::string& path) const {
    std::ifstream stream(path, std::ios::binary);
    if (!stream) return {};
    std::string text(kMaxSettingsFileBytes + 1, '\0');
    stream.read(text.data(), static_cast<std::streamsize>(text.size()));
    const auto length = static_cast<std::size_t>(std::max<std::streamsize>(stream.gcount(), 0));
    if (length > kMaxSettingsFileBytes) {
        log().warning(localized("log.ai.settings_too_large", {path}));
        return {};
    }
    text.resize(length);
    return text;
}

std::vector<AiAssistantManager::Marketplace> AiAssistantManager::marketplaces() const {
    std::vector<Marketplace> found =
        parseMarketplaces(readSettingsFile(settingsFolder() + "/plugins/known_marketplaces.json"));
    for (Marketplace& marketplace : found) {
        if (marketplace.folder.empty()) marketplace.folder = settingsFolder() + "/plugins/marketplaces/" + marketplace.name;
    }
    return found;
}

std::vector<std::string> AiAssistantManager::skillFolders() const {
    std::vector<std::string> names;
    const std::string root = settingsFolder() + "/skills";
    if (!files_.directoryExists(root)) return names;
    try {
        for (const std::string& name : files_.contentsOfDirectory(root)) {
            if (isItemName(name) && name.find('@') == std::string::npos && files_.fileExists(root + "/" + name + "/SKILL.md")) {
                names.push_back(name);
            }
        }
    } catch (const std::exception& error) {
        log().warning(localized("log.command_error", {root, error.what()}));
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::optional<std::string> AiAssistantManager::installedVersion(std::stop_token stop) {
    ShellCommandResult result = tool({"--version"}, kVersionTimeout, stop);
    if (result.exitCode != 0) return std::nullopt;
    return parseVersion(result.standardOutput);
}

std::vector<Package> AiAssistantManager::readInstalled(std::stop_token stop, std::optional<std::string>& message) {
    std::vector<Package> packages;
    try {
        if (std::optional<std::string> version = installedVersion(stop)) {
            packages.push_back(itemPackage(kBinaryName, *version, PackageType::AiAssistant));
        }
    } catch (const CommandError& error) {
        if (stop.stop_requested()) throw CancellationError();
        message = localized("ai.scan_error", {error.description()});
    }
    for (const Marketplace& marketplace : marketplaces()) {
        GitCheckout checkout(runner_, files_, marketplace.folder);
        std::optional<std::string> head = checkout.isClone() ? checkout.head(stop) : std::nullopt;
        Package package = itemPackage(marketplace.name, head ? shortCommit(*head) : "", PackageType::AiMarketplace);
        package.sourceIdentifier = marketplace.folder;
        packages.push_back(std::move(package));
    }
    for (const Plugin& plugin : parseInstalledPlugins(readSettingsFile(settingsFolder() + "/plugins/installed_plugins.json"))) {
        packages.push_back(itemPackage(plugin.name + "@" + plugin.marketplace, plugin.version, PackageType::AiPlugin));
    }
    for (const std::string& skill : skillFolders()) {
        const std::string folder = settingsFolder() + "/skills/" + skill;
        std::optional<std::string> version = skillVersion(readSettingsFile(folder + "/SKILL.md"));
        GitCheckout checkout(runner_, files_, folder);
        if (!version && checkout.isClone()) {
            if (auto head = checkout.head(stop)) version = shortCommit(*head);
        }
        Package package = itemPackage(skill, version.value_or(""), PackageType::AiSkill);
        package.sourceIdentifier = folder;
        packages.push_back(std::move(package));
    }
    return packages;
}

std::vector<Package> AiAssistantManager::readOutdated(std::stop_token stop, std::optional<std::string>& message) {
    std::vector<Package> outdated;
    bool unreachable = false;
    // The binary, against its release channel.
    try {
        std::optional<std::string> installed = installedVersion(stop);
        HttpRequest request = RegistryRequest::get(Endpoints::url(Service::ClaudeReleases, "/stable"));
        std::optional<std::string> latest;
        try {
            HttpResponse response = network().send(request, stop);
            if (response.isSuccess()) latest = parseVersion(response.body);
        } catch (const NetworkError&) {
            if (stop.stop_requested()) throw CancellationError();
            unreachable = true;
        }
        if (installed && latest && isUpdateAvailable(*installed, *latest, false)) {
            Package package = itemPackage(kBinaryName, *installed, PackageType::AiAssistant);
            package.latestVersion = latest;
            outdated.push_back(std::move(package));
        }
    } catch (const CommandError& error) {
        if (stop.stop_requested()) throw CancellationError();
        message = localized("ai.scan_error", {error.description()});
    }
    // Marketplaces, and the plugins their catalogs list newer.
    std::map<std::string, std::map<std::string, std::string>> catalogs;
    for (const Marketplace& marketplace : marketplaces()) {
        catalogs[marketplace.name] = parseCatalog(readSettingsFile(marketplace.folder + "/.claude-plugin/marketplace.json"));
        std::optional<CloneMove> move =
            behindRemote(GitCheckout(runner_, files_, marketplace.folder), unreachable, stop);
        if (!move) continue;
        Package package = itemPackage(marketplace.name, shortCommit(move->head), PackageType::AiMarketplace);
        package.sourceIdentifier = marketplace.folder;
        package.latestVersion = shortCommit(move->remote);
        outdated.push_back(std::move(package));
    }
    for (const Plugin& plugin : parseInstalledPlugins(readSettingsFile(settingsFolder() + "/plugins/installed_plugins.json"))) {
        auto catalog = catalogs.find(plugin.marketplace);
        if (catalog == catalogs.end()) continue;
        auto listed = catalog->second.find(plugin.name);
        if (listed == catalog->second.end() || !isUpdateAvailable(plugin.version, listed->second, false)) continue;
        Package package = itemPackage(plugin.name + "@" + plugin.marketplace, plugin.version, PackageType::AiPlugin);
        package.latestVersion = listed->second;
        outdated.push_back(std::move(package));
    }
    // Skills kept as clones.
    for (const std::string& skill : skillFolders()) {
        const std::string folder = settingsFolder() + "/skills/" + skill;
        std::optional<CloneMove> move = behindRemote(GitCheckout(runner_, files_, folder), unreachable, stop);
        if (!move) continue;
        // Whatever version a skill states, the commits are what is known to move.
        Package package = itemPackage(skill, shortCommit(move->head), PackageType::AiSkill);
        package.sourceIdentifier = folder;
        package.latestVersion = shortCommit(move->remote);
        outdated.push_back(std::move(package));
    }
    if (unreachable && !message) message = localized("ai.remote_unreachable");
    return outdated;
}

void AiAssistantManager::runAssistant(const std::vector<std::string>& arguments, std::stop_token stop) {
    if (!discover(stop)) throw AiAssistantError::notInstalled();
    runUpdate(arguments, kUpdateTimeout, stop,
              [](const std::string& output) { throw AiAssistantError::commandFailed(output); });
}

void AiAssistantManager::update(const Package& package, std::stop_token stop) {
    if (!isItemName(package.name)) throw AiAssistantError::invalidName(package.name);
    switch (package.type) {
        case PackageType::AiAssistant:
            runAssistant({"update"}, stop);
            if (std::optional<std::string> now = installedVersion(stop); now && *now == package.version &&
                                                                         package.latestVersion &&
                                                                         *package.latestVersion != package.version) {
                throw AiAssistantError::versionUnchanged(package.name, *now);
            }
            return;
        case PackageType::AiMarketplace:
            if (package.name.find('@') != std::string::npos) throw AiAssistantError::invalidName(package.name);
            runAssistant({"plugin", "marketplace", "update", package.name}, stop);
            return;
        case PackageType::AiPlugin:
            if (package.name.find('@') == std::string::npos) throw AiAssistantError::invalidName(package.name);
            runAssistant({"plugin", "update", package.name}, stop);
            return;
        case PackageType::AiSkill: {
            if (package.name.find('@') != std::string::npos) throw AiAssistantError::invalidName(package.name);
            GitCheckout checkout(runner_, files_, settingsFolder() + "/skills/" + package.name);
            if (!checkout.isClone()) throw AiAssistantError::notAClone(package.name);
            log().info(localized("log.ai.skill_pull", {package.name}));
            try {
                checkout.pullFastForward(stop);
            } catch (const CommandError& error) {
                if (stop.stop_requested()) throw CancellationError();
                throw AiAssistantError::commandFailed(commandOutput(error));
            }
            return;
        }
        default: throw AiAssistantError::invalidName(package.name);
    }
}

}  // namespace vt
