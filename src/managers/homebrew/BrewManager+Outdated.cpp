// The outdated query: cache, in-flight sharing, the `brew update` throttle and the parsers.
#include "managers/homebrew/BrewManager.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>

#include "base/Cancellation.hpp"
#include "base/Files.hpp"
#include "base/Json.hpp"
#include "base/Localization.hpp"
#include "base/Paths.hpp"
#include "base/Log.hpp"
#include "base/Regex.hpp"
#include "base/Strings.hpp"
#include "model/VersionRules.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger instance("BrewManager");
    return instance;
}

std::string newestOf(const std::vector<std::string>& versions) {
    std::string newest;
    for (const std::string& version : versions) {
        if (newest.empty() || compareVersions(newest, version) == VersionOrder::Ascending) newest = version;
    }
    return newest;
}

// brew says the item is outdated but gives nothing we could compare: "latest" casks,
// an empty text, or the installed version itself.
bool isUsableLatest(const std::string& latest, const std::string& installed) {
    if (latest.empty() || equalsIgnoringCase(latest, "latest") || equalsIgnoringCase(latest, "head")) return false;
    if (isPlaceholderVersion(latest)) return false;
    return latest != installed;
}

void logWarnings(const std::vector<std::string>& warnings) {
    for (const std::string& warning : warnings) logger().warning(warning);
}

void logSourceOfTruth(const BrewManager::OutdatedResult& result) {
    logger().info(localized("log.brew.outdated_counts",
                            {std::to_string(result.formulas.size()), std::to_string(result.casks.size())}));
}

// Entries already read win; the other list adds what they lack.
void mergeMissing(std::vector<BrewManager::OutdatedInfo>& into, const std::vector<BrewManager::OutdatedInfo>& from) {
    for (const auto& info : from) {
        bool known = std::any_of(into.begin(), into.end(), [&](const auto& other) { return other.name == info.name; });
        if (!known) into.push_back(info);
    }
}

const Regex& verboseLinePattern() {
    static const Regex pattern(
        R"(^(\S+)(?:\s+\(([^)]*)\))?(?:\s+(<|!=)\s+(.+?))?(?:\s+\[pinned at ([^\]]*)\])?\s*$)");
    return pattern;
}

const Regex& trailingParenthesisPattern() {
    static const Regex pattern(R"(\(([^()]*)\)\s*$)");
    return pattern;
}

}  // namespace

std::vector<std::string> BrewManager::outdatedArguments(BrewOutdatedMode mode) {
    std::vector<std::string> arguments = {"outdated", "--json=v2"};
    // Both greedy modes ask for the casks that update themselves with a known newer
    // version; plain "--greedy" would also list every unversioned cask on every scan.
    if (mode != BrewOutdatedMode::Normal) arguments.emplace_back("--greedy-auto-updates");
    return arguments;
}

BrewManager::OutdatedResult BrewManager::fetchOutdated(std::stop_token stop) { return outdatedOutcome(stop).result; }

BrewManager::OutdatedOutcome BrewManager::outdatedOutcome(std::stop_token stop) {
    OutdatedModeProvider modeProvider;
    {
        std::scoped_lock lock(brewMutex_);
        modeProvider = outdatedMode_;
    }
    const std::vector<std::string> arguments =
        outdatedArguments(modeProvider ? modeProvider() : BrewOutdatedMode::Greedy);
    const std::string key = join(arguments, " ");

    auto cached = [&]() -> std::optional<OutdatedOutcome> {
        std::scoped_lock lock(brewMutex_);
        auto found = outdatedCache_.find(key);
        if (found == outdatedCache_.end() || clock().now() - found->second.timestamp >= kOutdatedCacheTtl) {
            return std::nullopt;
        }
        return found->second.outcome;
    };
    if (std::optional<OutdatedOutcome> hit = cached()) {
        logger().info(localized("log.brew.outdated_cache_hit"));
        return *hit;
    }
    return inFlightOutdatedTasks_.share(
        key,
        [&] {
            // A query that finished meanwhile answers as well as a new one.
            if (std::optional<OutdatedOutcome> hit = cached()) return *hit;
            OutdatedOutcome outcome = runOutdatedQuery(arguments, stop);
            std::scoped_lock lock(brewMutex_);
            if (!outcome.failed) outdatedCache_[key] = CachedOutdated{clock().now(), outcome};
            lastOutdatedWarning_ = outcome.warning;
            return outcome;
        },
        stop, [] { logger().info(localized("log.brew.outdated_shared")); });
}

std::string BrewManager::updateTimeFile() const {
    return options_.updateTimeFile.value_or(paths::cacheFolder() + "/brew-update-time");
}

std::optional<Clock::TimePoint> BrewManager::loadUpdateTime() const {
    const std::string path = updateTimeFile();
    if (path.empty()) return std::nullopt;
    std::optional<std::string> text = readFile(path);
    if (!text) return std::nullopt;
    char* end = nullptr;
    const double seconds = std::strtod(text->c_str(), &end);
    if (end == text->c_str()) return std::nullopt;
    return fromReferenceSeconds(seconds);
}

void BrewManager::saveUpdateTime(std::optional<Clock::TimePoint> time) const {
    const std::string path = updateTimeFile();
    if (path.empty()) return;
    try {
        if (!time) {
            std::error_code ignored;
            std::filesystem::remove(path, ignored);
            return;
        }
        paths::ensureFolder(std::filesystem::path(path).parent_path().string());
        // Whole seconds, rounded down: the interval is never cut short by rounding.
        const auto seconds = static_cast<long long>(std::floor(toReferenceSeconds(*time)));
        writeFileAtomically(path, std::to_string(seconds) + "\n");
    } catch (const std::exception& error) {
        logger().warning(localized("log.brew.update_time_failed", {error.what()}));
    }
}

void BrewManager::refreshIndexIfDue(std::stop_token stop) {
    // Another run of the program may have refreshed the index: its time is on disk.
    std::optional<Clock::TimePoint> recorded = loadUpdateTime();
    std::optional<long long> secondsSinceLastRun;
    Clock::TimePoint now;
    {
        std::scoped_lock lock(brewMutex_);
        now = clock().now();
        if (recorded && (!lastBrewUpdateTime_ || *recorded > *lastBrewUpdateTime_) && *recorded <= now) {
            lastBrewUpdateTime_ = recorded;
        }
        if (lastBrewUpdateTime_ && now - *lastBrewUpdateTime_ < kBrewUpdateInterval) {
            secondsSinceLastRun =
                std::chrono::duration_cast<std::chrono::seconds>(now - *lastBrewUpdateTime_).count();
        } else {
            // Taken now, so a concurrent query does not start a second update.
            lastBrewUpdateTime_ = now;
        }
    }
    if (secondsSinceLastRun) {
        logger().info(localized("log.brew.update_skipped", {std::to_string(*secondsSinceLastRun)}));
        return;
    }
    saveUpdateTime(now);
    logger().info(localized("log.brew.update_running"));
    try {
        runBrew({"update"}, kBrewUpdateTimeout, stop);
        invalidateListings();
        logger().info(localized("log.brew.update_done"));
    } catch (const CancellationError&) {
        {
            std::scoped_lock lock(brewMutex_);
            lastBrewUpdateTime_.reset();
        }
        saveUpdateTime(recorded);
        throw;
    } catch (const std::exception& error) {
        logger().warning(localized("log.brew.update_failed", {error.what()}));
    }
}

BrewManager::OutdatedOutcome BrewManager::runOutdatedQuery(const std::vector<std::string>& arguments,
                                                           std::stop_token stop) {
    refreshIndexIfDue(stop);
    std::vector<std::string> warnings;
    std::string error;
    OutdatedResult salvaged;
    try {
        // brew exits 1 when named items are outdated; the JSON on standard output decides.
        ShellCommandResult result = runBrew(arguments, kOutdatedTimeout, stop, true);
        {
            std::scoped_lock lock(brewMutex_);
            cachedBrewOutdatedJSONByArguments_[join(arguments, " ")] = result.standardOutput;
        }
        if (result.exitCode != 0 && trimView(result.standardOutput).empty()) {
            error = "exit code " + std::to_string(result.exitCode) + ": " + trim(result.standardError);
        } else if (std::optional<OutdatedResult> parsed = parseOutdatedJson(result.standardOutput, warnings)) {
            logWarnings(warnings);
            logSourceOfTruth(*parsed);
            return OutdatedOutcome{std::move(*parsed), false, std::nullopt};
        } else {
            salvaged = salvageOutdatedJson(result.standardOutput, warnings);
            error = "unreadable JSON output";
        }
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception& failure) {
        error = failure.what();
    }
    logWarnings(warnings);

    std::string warning = "Homebrew outdated query failed: " + error;
    std::string fallbackError;
    if (std::optional<OutdatedResult> fallback = runOutdatedFallback(fallbackError, stop)) {
        mergeMissing(salvaged.formulas, fallback->formulas);
        mergeMissing(salvaged.casks, fallback->casks);
        warning += "; used the normal Homebrew outdated listing instead";
        logger().warning(warning);
        logSourceOfTruth(salvaged);
        return OutdatedOutcome{std::move(salvaged), false, warning};
    }
    logger().debug(localized("log.brew.outdated_fallback", {fallbackError}));
    warning += ". Fallback to normal Homebrew outdated mode also failed.";
    logger().warning(warning);
    return OutdatedOutcome{std::move(salvaged), true, warning};
}

std::optional<BrewManager::OutdatedResult> BrewManager::runOutdatedFallback(std::string& error, std::stop_token stop) {
    try {
        // Without a greedy flag: a brew too old for one still answers this.
        ShellCommandResult result = runBrew({"outdated", "--verbose"}, kOutdatedTimeout, stop, true);
        if (result.exitCode != 0 && trimView(result.standardOutput).empty()) {
            error = "exit code " + std::to_string(result.exitCode) + ": " + trim(result.standardError);
            return std::nullopt;
        }
        std::vector<std::string> warnings;
        OutdatedResult parsed = parseOutdatedText(result.standardOutput, warnings);
        logWarnings(warnings);
        return parsed;
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception& failure) {
        error = failure.what();
        return std::nullopt;
    }
}

std::optional<BrewManager::OutdatedInfo> BrewManager::outdatedEntry(const Json& item, std::vector<std::string>& warnings) {
    if (!item.is_object()) {
        warnings.push_back(localized("log.brew.outdated_entry_not_object"));
        return std::nullopt;
    }
    std::optional<std::string> fullName = stringField(item, "name");
    if (!fullName || trim(*fullName).empty()) {
        warnings.push_back(localized("log.brew.outdated_entry_no_name"));
        return std::nullopt;
    }
    OutdatedInfo info;
    info.name = trim(*fullName);
    if (auto slash = info.name.rfind('/'); slash != std::string::npos) {
        info.commandName = info.name;
        info.name = info.name.substr(slash + 1);
    }
    if (info.name.empty()) {
        warnings.push_back(localized("log.brew.outdated_entry_named", {*fullName}));
        return std::nullopt;
    }
    if (auto installed = item.find("installed_versions"); installed != item.end()) {
        if (installed->is_array()) {
            for (const Json& version : *installed) {
                if (!version.is_string()) {
                    warnings.push_back(localized("log.brew.installed_version_not_text", {info.name}));
                    continue;
                }
                if (std::string text = trim(version.get<std::string>()); !text.empty()) {
                    info.installedVersions.push_back(std::move(text));
                }
            }
        } else if (installed->is_string()) {
            const std::string versions = installed->get<std::string>();
            for (std::string_view part : split(versions, ' ')) {
                if (std::string text = trim(part); !text.empty()) info.installedVersions.push_back(std::move(text));
            }
        } else if (!installed->is_null()) {
            warnings.push_back(localized("log.brew.field_not_list", {"installed_versions", info.name}));
        }
    }
    info.currentVersion = newestOf(info.installedVersions);
    std::optional<std::string> latest = stringField(item, "current_version");
    if (!latest && item.contains("current_version") && !item["current_version"].is_null()) {
        warnings.push_back(localized("log.brew.field_not_text", {"current_version", info.name}));
    }
    std::string latestText = trim(latest.value_or(""));
    info.latestVersion = isUsableLatest(latestText, info.currentVersion) ? latestText
                                                                         : std::string(kUpdateAvailableSentinel);
    if (std::optional<bool> pinned = boolField(item, "pinned")) {
        info.isPinned = *pinned;
    } else if (item.contains("pinned") && !item["pinned"].is_null()) {
        warnings.push_back(localized("log.brew.field_not_boolean", {"pinned", info.name}));
    }
    return info;
}

std::optional<BrewManager::OutdatedResult> BrewManager::parseOutdatedJson(std::string_view text,
                                                                          std::vector<std::string>& warnings) {
    std::optional<Json> json = parseJson(text);
    if (!json || !json->is_object()) return std::nullopt;
    OutdatedResult result;
    for (const auto& [section, target] : {std::pair{"formulae", &result.formulas}, std::pair{"casks", &result.casks}}) {
        auto found = json->find(section);
        if (found == json->end()) {
            warnings.push_back(localized("log.brew.outdated_no_section", {section}));
            continue;
        }
        if (!found->is_array()) {
            warnings.push_back(localized("log.brew.outdated_section_not_list", {section}));
            continue;
        }
        for (const Json& item : *found) {
            if (std::optional<OutdatedInfo> info = outdatedEntry(item, warnings)) target->push_back(std::move(*info));
        }
    }
    return result;
}

BrewManager::OutdatedResult BrewManager::salvageOutdatedJson(std::string_view text,
                                                             std::vector<std::string>& warnings) {
    OutdatedResult result;
    forEachArrayObject(text, [&](std::string_view key, std::string_view object) {
        auto* target = key == "formulae" ? &result.formulas : key == "casks" ? &result.casks : nullptr;
        if (target == nullptr) return;
        std::optional<Json> item = parseJson(object);
        if (!item) return;
        if (std::optional<OutdatedInfo> info = outdatedEntry(*item, warnings)) target->push_back(std::move(*info));
    });
    warnings.push_back(localized("log.brew.outdated_invalid_json",
                                 {std::to_string(text.size()),
                                  std::to_string(result.formulas.size() + result.casks.size())}));
    return result;
}

BrewManager::OutdatedResult BrewManager::parseOutdatedText(std::string_view text, std::vector<std::string>& warnings) {
    OutdatedResult result;
    for (std::string_view rawLine : splitLines(text)) {
        std::string_view line = trimView(rawLine);
        if (line.empty() || startsWith(line, "==>") || startsWith(line, "Warning:") || startsWith(line, "Error:")) {
            continue;
        }
        std::optional<Regex::Match> match = verboseLinePattern().search(line);
        if (!match || match->groups.size() < 5 || !match->groups[0]) {
            warnings.push_back(localized("log.brew.outdated_line_unreadable", {std::string(line.substr(0, 200))}));
            continue;
        }
        OutdatedInfo info;
        info.name = std::string(*match->groups[0]);
        if (auto slash = info.name.rfind('/'); slash != std::string::npos) {
            info.commandName = info.name;
            info.name = info.name.substr(slash + 1);
        }
        if (info.name.empty()) {
            warnings.push_back(localized("log.brew.outdated_line_unreadable", {std::string(line.substr(0, 200))}));
            continue;
        }
        if (match->groups[1]) {
            for (std::string_view part : split(*match->groups[1], ',')) {
                if (std::string version = trim(part); !version.empty()) info.installedVersions.push_back(version);
            }
        }
        info.currentVersion = newestOf(info.installedVersions);
        std::string latest = match->groups[3] ? trim(*match->groups[3]) : "";
        // A renamed formula prints "< newname (1.2)".
        if (auto inner = trailingParenthesisPattern().search(latest); inner && inner->groups.at(0)) {
            latest = trim(*inner->groups[0]);
        }
        if (latest.find(' ') != std::string::npos) latest.clear();  // "latest HEAD"
        info.latestVersion = isUsableLatest(latest, info.currentVersion) ? latest
                                                                         : std::string(kUpdateAvailableSentinel);
        info.isPinned = match->groups[4].has_value();
        const bool isCask = match->groups[2] && *match->groups[2] == "!=";
        (isCask ? result.casks : result.formulas).push_back(std::move(info));
    }
    return result;
}

void BrewManager::forEachArrayObject(std::string_view text,
                                     const std::function<void(std::string_view, std::string_view)>& onObject) {
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    std::size_t stringStart = 0;
    std::string_view lastKey;
    std::string_view arrayKey;
    std::size_t objectStart = std::string_view::npos;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
                if (depth == 1) lastKey = text.substr(stringStart, i - stringStart);
            }
            continue;
        }
        switch (c) {
            case '"':
                inString = true;
                stringStart = i + 1;
                break;
            case '[':
            case '{':
                if (depth == 1 && c == '[') arrayKey = lastKey;
                if (depth == 2 && c == '{' && !arrayKey.empty()) objectStart = i;
                ++depth;
                break;
            case ']':
            case '}':
                --depth;
                if (depth < 0) return;  // more closing than opening: nothing sensible follows
                if (depth == 2 && c == '}' && objectStart != std::string_view::npos) {
                    onObject(arrayKey, text.substr(objectStart, i - objectStart + 1));
                    objectStart = std::string_view::npos;
                }
                if (depth == 1) arrayKey = {};
                break;
            default:
                break;
        }
    }
}

}  // namespace vt
