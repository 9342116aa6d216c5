// What Homebrew has installed: formulae, casks (with the Cellar and Caskroom recoveries),
// cask details, taps and leaves.
#include "managers/homebrew/BrewManager.hpp"

#include <algorithm>

#include "base/Cancellation.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Regex.hpp"
#include "base/Strings.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger instance("BrewManager");
    return instance;
}

constexpr std::string_view kUpgradingSuffix = ".upgrading";

void logWarnings(const std::vector<std::string>& warnings) {
    for (const std::string& warning : warnings) logger().warning(warning);
}

std::vector<std::string> nonEmptyLines(std::string_view text) {
    std::vector<std::string> lines;
    for (std::string_view line : splitLines(text)) {
        if (std::string trimmed = trim(line); !trimmed.empty()) lines.push_back(std::move(trimmed));
    }
    return lines;
}

std::vector<std::string> stringsOf(const Json& object, const char* key) {
    std::vector<std::string> values;
    auto found = object.find(key);
    if (found == object.end() || !found->is_array()) return values;
    for (const Json& value : *found) {
        if (value.is_string()) values.push_back(value.get<std::string>());
    }
    return values;
}

bool isHidden(const std::string& name) { return name.empty() || name.front() == '.'; }

}  // namespace

std::vector<BrewManager::InstalledItem> BrewManager::parseVersionListing(std::string_view text,
                                                                         std::vector<std::string>& warnings) {
    std::vector<InstalledItem> items;
    for (std::string_view line : splitLines(text)) {
        std::vector<std::string> fields;
        std::size_t start = std::string_view::npos;
        for (std::size_t i = 0; i <= line.size(); ++i) {
            const bool blank = i == line.size() || isBlank(line[i]);
            if (!blank && start == std::string_view::npos) start = i;
            if (blank && start != std::string_view::npos) {
                fields.emplace_back(line.substr(start, i - start));
                start = std::string_view::npos;
            }
        }
        if (fields.empty()) continue;
        if (fields.size() == 1) {
            warnings.push_back(localized("log.brew.list_line_no_version", {fields.front().substr(0, 200)}));
            continue;
        }
        InstalledItem item;
        item.name = std::move(fields.front());
        item.versions.assign(std::make_move_iterator(fields.begin() + 1), std::make_move_iterator(fields.end()));
        items.push_back(std::move(item));
    }
    return items;
}

std::vector<BrewManager::InstalledItem> BrewManager::listInstalledFormulae(std::stop_token stop) {
    return listFormulae(stop).items;
}

std::vector<BrewManager::InstalledItem> BrewManager::listInstalledCasks(std::stop_token stop) {
    return listCasks(stop).items;
}

BrewManager::Listing BrewManager::listFormulae(std::stop_token stop) {
    FormulaDiagnostics diagnostics;
    diagnostics.startedAt = clock().now();
    Listing listing;
    std::vector<std::string> warnings;
    try {
        ShellCommandResult result = runBrew({"list", "--formula", "--versions"}, kBrewListTimeout, stop);
        logger().info(localized("log.brew.formula_output_length", {std::to_string(result.standardOutput.size())}));
        listing.items = parseVersionListing(result.standardOutput, warnings);
        diagnostics.sourceSummaries.push_back({"brew list --formula --versions", static_cast<int>(listing.items.size())});
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        listing.failure = error.what();
        logger().warning(localized("log.command_failed", {"brew list --formula --versions", error.what()}));
        listing.items = recoverFromCellar();
        logger().info(localized("log.brew.formulas_recovered", {std::to_string(listing.items.size())}));
        diagnostics.sourceSummaries.push_back({"Cellar", static_cast<int>(listing.items.size())});
        for (const InstalledItem& item : listing.items) diagnostics.recoveredFromCellar.push_back(item.name);
    }
    logWarnings(warnings);

    std::vector<InstalledItem> unique;
    for (InstalledItem& item : listing.items) {
        bool seen = std::any_of(unique.begin(), unique.end(), [&](const auto& other) { return other.name == item.name; });
        if (seen) {
            ++diagnostics.duplicatesRemoved;
        } else {
            unique.push_back(std::move(item));
        }
    }
    listing.items = std::move(unique);
    logger().info(localized("log.brew.formulas_total", {std::to_string(listing.items.size())}));
    diagnostics.totalUniqueFormulas = static_cast<int>(listing.items.size());
    diagnostics.finishedAt = clock().now();
    std::scoped_lock lock(brewMutex_);
    formulaDiagnostics_ = std::move(diagnostics);
    return listing;
}

std::vector<BrewManager::InstalledItem> BrewManager::recoverFromCellar() {
    std::vector<InstalledItem> items;
    std::optional<std::string> cellar = existingPrefixFolder("Cellar");
    if (!cellar) return items;
    try {
        for (const std::string& name : files_.contentsOfDirectory(*cellar)) {
            const std::string folder = *cellar + "/" + name;
            if (isHidden(name) || !files_.directoryExists(folder)) continue;
            InstalledItem item{name, {}};
            for (const std::string& version : files_.contentsOfDirectory(folder)) {
                if (!isHidden(version) && files_.directoryExists(folder + "/" + version)) item.versions.push_back(version);
            }
            if (!item.versions.empty()) items.push_back(std::move(item));
        }
    } catch (const FileSystemError& error) {
        logger().warning(localized("log.brew.cellar_unreadable", {error.what()}));
    }
    return items;
}

BrewManager::Listing BrewManager::listCasks(std::stop_token stop) {
    Listing listing;
    std::vector<std::string> warnings;
    try {
        ShellCommandResult result = runBrew({"list", "--cask", "--versions"}, kBrewListTimeout, stop);
        listing.items = parseVersionListing(result.standardOutput, warnings);
        logger().info(localized("log.brew.casks_from_cli", {std::to_string(listing.items.size())}));
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        listing.failure = error.what();
        logger().warning(localized("log.command_failed", {"brew list --cask --versions", error.what()}));
        listing.items = listCaskTokens(stop);
    }
    logWarnings(warnings);
    listing.items = scanCaskroom(std::move(listing.items), listing.failure.has_value());
    return listing;
}

// The plain token listing, when the one with versions failed; versions come from the
// Caskroom folders.
std::vector<BrewManager::InstalledItem> BrewManager::listCaskTokens(std::stop_token stop) {
    std::vector<InstalledItem> items;
    try {
        ShellCommandResult result = runBrew({"list", "--cask"}, kBrewListTimeout, stop);
        for (std::string& token : nonEmptyLines(result.standardOutput)) items.push_back({std::move(token), {}});
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        logger().warning(localized("log.command_failed", {"brew list --cask", error.what()}));
    }
    return items;
}

std::vector<BrewManager::InstalledItem> BrewManager::scanCaskroom(std::vector<InstalledItem> listed,
                                                                  bool listingFailed) {
    std::optional<std::string> caskroom = existingPrefixFolder("Caskroom");
    if (!caskroom) return listed;
    bool upgrading = false;
    {
        std::scoped_lock lock(brewMutex_);
        upgrading = upgradesRunning_ > 0;
    }
    // Our own upgrade may be using its .upgrading folder right now.
    auto removeStale = [&](const std::string& path) {
        if (upgrading) return;
        try {
            options_.removeItem(path);
            logger().info(localized("log.brew.stale_upgrading_removed", {path}));
        } catch (const std::exception& error) {
            logger().warning(localized("log.cannot_remove", {path, error.what()}));
        }
    };

    std::map<std::string, std::vector<std::string>> onDisk;
    std::set<std::string> ghosts;
    try {
        for (const std::string& token : files_.contentsOfDirectory(*caskroom)) {
            const std::string folder = *caskroom + "/" + token;
            if (isHidden(token)) continue;
            if (endsWith(token, kUpgradingSuffix)) {
                removeStale(folder);
                continue;
            }
            if (!files_.directoryExists(folder)) continue;
            if (!files_.directoryExists(folder + "/.metadata")) {
                ghosts.insert(token);
                continue;
            }
            std::vector<std::string>& versions = onDisk[token];
            for (const std::string& version : files_.contentsOfDirectory(folder)) {
                if (isHidden(version) || !files_.directoryExists(folder + "/" + version)) continue;
                if (endsWith(version, kUpgradingSuffix)) {
                    removeStale(folder + "/" + version);
                    continue;
                }
                versions.push_back(version);
            }
        }
    } catch (const FileSystemError& error) {
        logger().warning(localized("log.brew.caskroom_unreadable", {error.what()}));
        return listed;
    }

    std::vector<InstalledItem> items;
    for (InstalledItem& item : listed) {
        if (ghosts.count(item.name) != 0) {
            logger().info(localized("log.brew.caskroom_no_metadata", {item.name}));
            continue;
        }
        if (item.versions.empty()) {
            if (auto found = onDisk.find(item.name); found != onDisk.end()) item.versions = found->second;
        }
        if (item.versions.empty()) continue;
        items.push_back(std::move(item));
    }
    std::vector<std::string> added;
    for (const auto& [token, versions] : onDisk) {
        // A structured binding cannot be captured under clang 14; a plain reference can.
        const std::string& name = token;
        bool known = std::any_of(items.begin(), items.end(), [&](const auto& item) { return item.name == name; });
        if (known || versions.empty()) continue;
        items.push_back({token, versions});
        added.push_back(token);
    }
    if (listingFailed) {
        logger().info(localized("log.brew.casks_from_caskroom", {std::to_string(added.size())}));
    } else if (!added.empty()) {
        logger().info(localized("log.brew.casks_not_in_versions", {std::to_string(added.size()), join(added, ", ")}));
    }
    return items;
}

std::optional<BrewManager::CaskDetails> BrewManager::caskDetailsEntry(const Json& item,
                                                                     std::vector<std::string>& warnings) {
    if (!item.is_object()) {
        warnings.push_back(localized("log.brew.cask_entry_not_object"));
        return std::nullopt;
    }
    std::optional<std::string> token = stringField(item, "token");
    if (!token || token->empty()) {
        warnings.push_back(localized("log.brew.cask_entry_no_token"));
        return std::nullopt;
    }
    CaskDetails details;
    details.token = *token;
    details.fullToken = stringField(item, "full_token").value_or(*token);
    if (std::optional<std::string> fullName = stringField(item, "full_name")) {
        details.fullName = *fullName;
    } else if (std::vector<std::string> names = stringsOf(item, "name"); !names.empty()) {
        details.fullName = names.front();
    } else {
        details.fullName = *token;
    }
    details.autoUpdates = boolField(item, "auto_updates").value_or(false);
    if (auto artifacts = item.find("artifacts"); artifacts != item.end() && artifacts->is_array()) {
        for (const Json& artifact : *artifacts) {
            if (!artifact.is_object()) continue;
            auto installer = artifact.find("installer");
            if (installer == artifact.end() || !installer->is_array()) continue;
            for (const Json& step : *installer) {
                if (step.is_object() && step.contains("manual")) details.manualInstaller = true;
            }
        }
    }
    return details;
}

std::map<std::string, BrewManager::CaskDetails> BrewManager::parseCaskDetails(std::string_view text,
                                                                               std::vector<std::string>& warnings) {
    std::map<std::string, CaskDetails> result;
    auto add = [&](const Json& item) {
        if (std::optional<CaskDetails> details = caskDetailsEntry(item, warnings)) {
            std::string token = details->token;
            result.insert_or_assign(std::move(token), std::move(*details));
        }
    };
    if (text.size() <= kMaxCaskDetailsBytes) {
        if (std::optional<Json> json = parseJson(text); json && json->is_object()) {
            auto casks = json->find("casks");
            if (casks == json->end() || !casks->is_array()) {
                warnings.push_back(localized("log.brew.cask_details_no_list"));
                return result;
            }
            for (const Json& item : *casks) add(item);
            return result;
        }
        warnings.push_back(localized("log.brew.cask_details_invalid"));
    } else {
        warnings.push_back(localized("log.brew.cask_details_large", {std::to_string(text.size())}));
    }
    forEachArrayObject(text, [&](std::string_view key, std::string_view object) {
        if (key != "casks") return;
        if (object.size() > kMaxCaskEntryBytes) {
            warnings.push_back(localized("log.brew.cask_entry_size", {std::to_string(object.size())}));
            return;
        }
        if (std::optional<Json> item = parseJson(object)) add(*item);
    });
    return result;
}

std::map<std::string, BrewManager::CaskDetails> BrewManager::fetchCaskDetails(std::stop_token stop) {
    ShellCommandResult result;
    try {
        result = runBrew({"info", "--json=v2", "--installed", "--cask"}, kBrewListTimeout, stop);
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        logger().warning(localized("log.command_failed", {"brew info --json=v2 --installed --cask", error.what()}));
        return {};
    }
    std::vector<std::string> warnings;
    std::map<std::string, CaskDetails> details = parseCaskDetails(result.standardOutput, warnings);
    logWarnings(warnings);
    std::scoped_lock lock(brewMutex_);
    caskDetails_ = details;
    return details;
}

}  // namespace vt
