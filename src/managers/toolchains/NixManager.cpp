#include "managers/toolchains/NixManager.hpp"

#include <cctype>

#include "base/Localization.hpp"
#include "base/Regex.hpp"
#include "base/Strings.hpp"
#include "managers/ToolOutput.hpp"
#include "model/VersionRules.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {

namespace {

Package nixPackage(const NixManager::Derivation& derivation) {
    Package package;
    package.name = derivation.name;
    package.version = derivation.version.empty() ? "unknown" : derivation.version;
    package.type = PackageType::NixPackage;
    return package;
}

}  // namespace

const SourceRow& NixManager::source() {
    static const SourceRow row{.id = "nix", .name = "Nix", .executables = {"nix", "nix-env"},
                               .types = {PackageType::NixPackage}, .toggle = ManagerToggleKey::ShowNix,
                               .folders = {"~/.nix-profile/bin/", "/nix/var/nix/profiles/default/bin/"},
                               .completionLine = "Nix", .logTag = "nix",
                               .timeout = std::chrono::seconds(360), .make = makeAdapter<NixManager>};
    return row;
}

NixManager::NixManager(CommandRunning& runner, const FileSystemManager& files) : NixManager(runner, files, Options{}) {}

NixManager::NixManager(CommandRunning& runner, const FileSystemManager& files, Options options)
    : ToolchainManager(source(), runner, files, std::move(options),
                       {"NIX_PATH", "NIX_REMOTE", "NIX_CONF_DIR", "NIX_STORE_DIR", "NIX_STATE_DIR", "NIX_LOG_DIR",
                        "NIX_USER_PROFILE_DIR", "NIX_SSL_CERT_FILE", "XDG_STATE_HOME"},
                       "NixManager") {}

std::optional<std::string> NixManager::locateExecutable(std::stop_token stop) {
    // Either name finds the installation; the profile commands are nix-env's, beside it.
    std::optional<std::string> found = locateDeclared(stop, home());
    if (!found) return std::nullopt;
    if (endsWith(*found, "/nix-env")) return found;
    std::string sibling = found->substr(0, found->size() - 3) + "nix-env";
    return files_.isExecutableFile(sibling) ? std::optional<std::string>(sibling) : std::nullopt;
}

NixManager::Derivation NixManager::splitName(std::string_view name) {
    name = trimView(name);
    for (std::size_t i = 0; i + 1 < name.size(); ++i) {
        if (name[i] == '-' && !std::isalpha(static_cast<unsigned char>(name[i + 1]))) {
            return {std::string(name.substr(0, i)), std::string(name.substr(i + 1))};
        }
    }
    return {std::string(name), ""};
}

std::vector<NixManager::Derivation> NixManager::parseQuery(std::string_view output) {
    std::vector<Derivation> derivations;
    for (std::string_view line : splitLines(output)) {
        line = trimView(line);
        // Warnings and notes are sentences; a derivation name is one word.
        if (line.empty() || line.find(' ') != std::string_view::npos || startsWith(line, "-")) continue;
        Derivation derivation = splitName(line);
        if (isSafeArgument(derivation.name)) derivations.push_back(std::move(derivation));
    }
    return derivations;
}

std::vector<NixManager::Derivation> NixManager::parseQueryJson(std::string_view output) {
    std::vector<Derivation> derivations;
    std::optional<Json> json = jsonAfterBanner(output);
    if (!json || !json->is_object()) return derivations;
    for (const auto& [key, entry] : json->items()) {
        if (!entry.is_object()) continue;
        Derivation derivation = splitName(stringField(entry, "name").value_or(key));
        if (std::optional<std::string> pname = stringField(entry, "pname"); pname && !pname->empty()) {
            derivation.name = *pname;
            derivation.version = stringField(entry, "version").value_or(derivation.version);
        }
        if (isSafeArgument(derivation.name)) derivations.push_back(std::move(derivation));
    }
    return derivations;
}

std::vector<NixManager::Upgrade> NixManager::parseDryRun(std::string_view output) {
    static const Regex upgrading("upgrading '([^']+)' to '([^']+)'");
    std::vector<Upgrade> upgrades;
    for (const Regex::Match& match : upgrading.findAll(output)) {
        if (!match.groups[0] || !match.groups[1]) continue;
        Upgrade upgrade{splitName(*match.groups[0]), splitName(*match.groups[1])};
        if (isSafeArgument(upgrade.from.name)) upgrades.push_back(std::move(upgrade));
    }
    return upgrades;
}

std::vector<Package> NixManager::readInstalled(std::stop_token stop, std::optional<std::string>& message) {
    ShellCommandResult result = tool({"-q", "--json"}, kQueryTimeout, stop);
    std::vector<Derivation> derivations;
    if (result.exitCode == 0) derivations = parseQueryJson(result.standardOutput);
    if (result.exitCode != 0 || (derivations.empty() && !contains(result.standardOutput, "{"))) {
        // Old nix-env without --json, or a profile the JSON form cannot read.
        result = tool({"-q"}, kQueryTimeout, stop);
        derivations = parseQuery(result.standardOutput);
    }
    if (result.exitCode != 0) message = localized("nix.command_failed", {excerpt(trim(result.standardError), 300)});
    std::vector<Package> packages;
    for (const Derivation& derivation : derivations) packages.push_back(nixPackage(derivation));
    return packages;
}

std::vector<Package> NixManager::readOutdated(std::stop_token stop, std::optional<std::string>& message) {
    ShellCommandResult result = tool({"-u", "--dry-run"}, kDryRunTimeout, stop);
    // nix-env writes what it would do on standard error.
    std::vector<Upgrade> upgrades = parseDryRun(result.standardError + "\n" + result.standardOutput);
    if (result.exitCode != 0 && upgrades.empty()) {
        message = localized("nix.command_failed", {excerpt(trim(result.standardError), 300)});
    }
    std::vector<Package> rows;
    for (const Upgrade& upgrade : upgrades) {
        Package package = nixPackage(upgrade.from);
        package.latestVersion = upgrade.to.version.empty() ? std::string(kUpdateAvailableSentinel) : upgrade.to.version;
        rows.push_back(std::move(package));
    }
    return overListing(std::move(rows));
}

void NixManager::update(const Package& package, std::stop_token stop) {
    requireSafe(package.name);
    requireTool(stop);
    runUpdate({"-u", package.name}, kUpgradeTimeout, stop, localized("nix.update_failed", {package.name}));
}

void NixManager::updateAll(std::stop_token stop) {
    requireTool(stop);
    runUpdate({"-u"}, kUpgradeTimeout, stop, localized("nix.update_failed", {"Nix"}));
}

}  // namespace vt
