#include "sources/macos/SoftwareUpdateManager.hpp"

#include <algorithm>
#include <charconv>
#include <filesystem>

#include <unistd.h>

#include "base/Cancellation.hpp"
#include "base/Files.hpp"
#include "base/Json.hpp"
#include "base/Log.hpp"
#include "base/Paths.hpp"
#include "base/Regex.hpp"
#include "base/Strings.hpp"
#include "sources/inventory/PropertyList.hpp"
#include "system/AdminPrompt.hpp"
#include "system/CommandRunning.hpp"
#include "system/FileSystemManager.hpp"
#include "base/Localization.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger instance("SoftwareUpdateManager");
    return instance;
}

// Finding updates contacts Apple's catalog; a slow network makes it take minutes.
constexpr double kListTimeout = 300;
constexpr double kInstallTimeout = 3 * 3600;

const Regex& sizePattern() {
    static const Regex pattern(R"(\d+[.,]?\d*\s*(KiB|MiB|GiB|KB|MB|GB|K|M|G))");
    return pattern;
}

const Regex& versionPattern() {
    static const Regex pattern(R"(\d+(?:\.\d+){1,3})");
    return pattern;
}

// softwareupdate's own log lines ("2024-09-09 11:07:46.969 softwareupdate[…] …").
const Regex& logLinePattern() {
    static const Regex pattern(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2})");
    return pattern;
}

const Regex& percentPattern() {
    static const Regex pattern(R"(([0-9]{1,3}(?:[.,][0-9]+)?)\s*%)");
    return pattern;
}

bool containsAny(std::string_view text, std::initializer_list<std::string_view> words) {
    for (std::string_view word : words) {
        if (text.find(word) != std::string_view::npos) return true;
    }
    return false;
}

// The value of "Key: value," in the current title line.
std::optional<std::string> field(std::string_view line, std::string_view key) {
    const std::size_t at = line.find(key);
    if (at == std::string_view::npos) return std::nullopt;
    std::string_view rest = line.substr(at + key.size());
    return trim(rest.substr(0, rest.find(',')));
}

void readTitleLine(std::string_view line, SoftwareUpdate& update) {
    const std::string lower = toLower(line);
    if (std::optional<std::string> title = field(line, "Title:")) {
        update.name = *title;
        update.version = field(line, "Version:").value_or("");
    } else {
        // The older form: "Name (1.0), 3817K [recommended]".
        const std::size_t open = line.rfind(" (");
        update.name = trim(open == std::string_view::npos ? line.substr(0, line.find(',')) : line.substr(0, open));
        if (open != std::string_view::npos) {
            if (auto match = versionPattern().search(line.substr(open))) update.version = std::string(match->text);
        }
    }
    if (update.version.empty()) {
        if (auto match = versionPattern().search(line)) update.version = std::string(match->text);
    }
    if (auto match = sizePattern().search(line)) update.size = std::string(match->text);
    update.isRecommended = containsAny(lower, {"recommended: yes", "[recommended]"});
    update.isRestart = containsAny(lower, {"action: restart", "[restart]"});
    update.isShutdown = containsAny(lower, {"action: shutdown", "[shutdown]"});
    update.displayName = update.name;
}

std::optional<std::string> firstText(const PropertyList::Node& node, std::initializer_list<const char*> keys) {
    for (const char* key : keys) {
        if (auto value = node.member(key)) {
            if (auto text = value->text()) return text;
            if (auto number = value->integer()) return std::to_string(*number);
        }
    }
    return std::nullopt;
}

Json updateJson(const SoftwareUpdate& update) {
    auto optional = [](const std::optional<std::string>& text) { return text ? Json(*text) : Json(nullptr); };
    return Json{{"id", update.id},
                {"name", update.name},
                {"version", update.version},
                {"displayName", update.displayName},
                {"size", optional(update.size)},
                {"isRecommended", update.isRecommended},
                {"isRestart", update.isRestart},
                {"isShutdown", update.isShutdown},
                {"isCritical", update.isCritical}};
}

}  // namespace

SoftwareUpdateCategory categoryOf(std::string_view name) {
    const std::string lower = toLower(name);
    if (containsAny(lower, {"security", "xprotect"})) return SoftwareUpdateCategory::Security;
    if (containsAny(lower, {"safari"})) return SoftwareUpdateCategory::Safari;
    if (containsAny(lower, {"macos"})) return SoftwareUpdateCategory::MacOS;
    if (containsAny(lower, {"firmware"})) return SoftwareUpdateCategory::Firmware;
    if (containsAny(lower, {"command line", "xcode"})) return SoftwareUpdateCategory::DeveloperTools;
    return SoftwareUpdateCategory::Other;
}

std::string_view labelKey(SoftwareUpdateCategory category) {
    switch (category) {
        case SoftwareUpdateCategory::Security: return "enum.software_update_category.security";
        case SoftwareUpdateCategory::Safari: return "enum.software_update_category.safari";
        case SoftwareUpdateCategory::MacOS: return "enum.software_update_category.macos";
        case SoftwareUpdateCategory::Firmware: return "enum.software_update_category.firmware";
        case SoftwareUpdateCategory::DeveloperTools: return "enum.software_update_category.developer_tools";
        case SoftwareUpdateCategory::Other: break;
    }
    return "enum.software_update_category.other";
}

std::vector<SoftwareUpdate> parseSoftwareUpdateList(std::string_view output) {
    std::vector<SoftwareUpdate> updates;
    bool awaitingTitle = false;
    for (std::string_view raw : splitLines(output)) {
        std::string_view line = trimView(raw);
        if (line.empty() || logLinePattern().matches(line)) continue;
        std::string_view entry = line;
        const bool marked = entry.front() == '*' || entry.front() == '-';
        if (marked) entry = trimView(entry.substr(1));
        const bool labelled = startsWith(entry, "Label:");
        if (labelled || marked) {
            SoftwareUpdate& update = updates.emplace_back();
            update.id = trim(labelled ? entry.substr(6) : entry);
            update.name = update.displayName = update.id;
            awaitingTitle = true;
            continue;
        }
        if (awaitingTitle) {
            readTitleLine(line, updates.back());
            awaitingTitle = false;
        }
    }
    std::erase_if(updates, [](const SoftwareUpdate& update) { return update.id.empty(); });
    return updates;
}

std::vector<SoftwareUpdate> parseRecommendedUpdates(std::string_view plistBytes) {
    std::vector<SoftwareUpdate> updates;
    std::optional<PropertyList> list = PropertyList::parse(plistBytes);
    if (!list) return updates;
    std::optional<PropertyList::Node> recommended = list->root().member("RecommendedUpdates");
    if (!recommended) return updates;
    for (const PropertyList::Node& item : recommended->items()) {
        SoftwareUpdate update;
        update.id = firstText(item, {"Identifier", "Product Key", "ProductKey"}).value_or("");
        update.name = firstText(item, {"Display Name", "DisplayName"}).value_or(update.id);
        update.version = firstText(item, {"DisplayVersion"}).value_or("");
        update.size = firstText(item, {"Size", "DisplaySize"});
        update.displayName = update.name;
        update.isRecommended = true;
        if (!update.id.empty()) updates.push_back(std::move(update));
    }
    return updates;
}

void SoftwareUpdateInstallProgress::consume(std::string_view chunk) {
    pending_ += chunk;
    std::size_t end = 0;
    // The tool rewrites its progress with carriage returns as well as new lines.
    while ((end = pending_.find_first_of("\r\n")) != std::string::npos) {
        line(std::string_view(pending_).substr(0, end));
        pending_.erase(0, end + 1);
    }
}

void SoftwareUpdateInstallProgress::line(std::string_view text) {
    if (auto match = percentPattern().search(text); match && match->groups[0]) {
        std::string number(*match->groups[0]);
        for (char& c : number) c = c == ',' ? '.' : c;
        double percent = 0;
        // from_chars reads "45.5" whatever the process's locale.
        if (std::from_chars(number.data(), number.data() + number.size(), percent).ec == std::errc()) {
            progress_ = std::clamp(percent / 100.0, 0.0, 1.0);
        }
    }
    const std::string lower = toLower(text);
    if (containsAny(lower, {"download", "telecharg"})) {
        status_ = localized("software_update.phase.downloading");
    } else if (containsAny(lower, {"prepar", "install", "configur"})) {
        status_ = localized("software_update.phase.configuring");
    } else if (containsAny(lower, {"verify", "verif", "validat"})) {
        status_ = localized("software_update.phase.verifying");
    }
    if (containsAny(lower, {"done", "complete", "finish"})) finished_ = true;
}

SoftwareUpdateError SoftwareUpdateError::fromInstallOutput(std::string_view output, const std::string& updateName) {
    const std::string lower = toLower(output);
    if (containsAny(lower, {"user canceled", "cancelled", "canceled", "annule", "annulation"})) {
        return {Kind::Cancelled, localized("software_update.cancelled", {updateName})};
    }
    if (containsAny(lower, {"not authorized", "authorization", "administrator", "must be root",
                            "operation not permitted", "permission denied"})) {
        return {Kind::MissingRights,
                localized("software_update.missing_rights", {updateName, SoftwareUpdateManager::kSettingsAddress})};
    }
    return {Kind::InstallFailed, localized("software_update.install_failed", {updateName})};
}

SoftwareUpdateManager::SoftwareUpdateManager(CommandRunning& runner, const FileSystemManager& files,
                                             AdminPrompt& prompt)
    : SoftwareUpdateManager(runner, files, prompt, Options{}) {}

SoftwareUpdateManager::SoftwareUpdateManager(CommandRunning& runner, const FileSystemManager& files,
                                             AdminPrompt& prompt, Options options)
    : runner_(runner),
      files_(files),
      prompt_(prompt),
      options_(std::move(options)),
      cacheFile_(options_.cacheFile.value_or(paths::cacheFolder() + "/software_updates_cache.json")) {}

bool SoftwareUpdateManager::isAvailable() const { return files_.isExecutableFile(options_.tool); }

std::vector<SoftwareUpdate> SoftwareUpdateManager::checkForUpdates(std::stop_token stop) {
    if (!isAvailable()) {
        std::scoped_lock lock(mutex_);
        updates_.clear();
        errorMessage_.reset();
        return {};
    }
    std::vector<SoftwareUpdate> found;
    try {
        ShellCommandResult result = runner_.execute(
            CommandRequest{.command = options_.tool, .arguments = {"--list"}, .timeout = kListTimeout}, stop);
        found = parseSoftwareUpdateList(result.standardOutput + "\n" + result.standardError);
    } catch (const CommandError& error) {
        if (stop.stop_requested() || error.kind() == CommandError::Kind::Cancelled) throw CancellationError();
        std::string message = localized("software_update.check_failed", {error.description()});
        logger().error(message);
        std::scoped_lock lock(mutex_);
        errorMessage_ = message;
        return updates_;
    }
    // The background check's recommendations may name an update the list no longer shows.
    if (files_.fileExists(options_.preferences)) {
        try {
            for (SoftwareUpdate& recommended : parseRecommendedUpdates(files_.readFile(options_.preferences))) {
                bool listed = false;
                for (SoftwareUpdate& update : found) {
                    if (update.name == recommended.name || update.id == recommended.id) {
                        update.isRecommended = true;
                        listed = true;
                    }
                }
                if (!listed) found.push_back(std::move(recommended));
            }
        } catch (const std::exception& error) {
            logger().warning(localized("log.software_update.prefs_unreadable", {error.what()}));
        }
    }
    logger().info(localized("log.software_update.found", {std::to_string(found.size())}));
    saveCache(found);
    std::scoped_lock lock(mutex_);
    updates_ = found;
    errorMessage_.reset();
    return found;
}

std::vector<SoftwareUpdate> SoftwareUpdateManager::updates() const {
    std::scoped_lock lock(mutex_);
    return updates_;
}

std::optional<std::string> SoftwareUpdateManager::errorMessage() const {
    std::scoped_lock lock(mutex_);
    return errorMessage_;
}

void SoftwareUpdateManager::saveCache(const std::vector<SoftwareUpdate>& updates) const {
    Json list = Json::array();
    for (const SoftwareUpdate& update : updates) list.push_back(updateJson(update));
    const Clock& clock = options_.clock ? *options_.clock : Clock::shared();
    try {
        paths::ensureFolder(std::filesystem::path(cacheFile_).parent_path().string());
        writeFileAtomically(cacheFile_,
                            dumpJson(Json{{"updates", std::move(list)}, {"timestamp", toReferenceSeconds(clock.now())}}));
    } catch (const std::exception& error) {
        logger().warning(localized("log.software_update.cache_not_written", {error.what()}));
    }
}

std::vector<SoftwareUpdate> SoftwareUpdateManager::cachedUpdates() const {
    std::vector<SoftwareUpdate> updates;
    std::optional<Json> document;
    if (std::optional<std::string> contents = readFile(cacheFile_)) document = parseJson(*contents);
    if (!document || !document->is_object() || !(*document)["updates"].is_array()) return updates;
    for (const Json& item : (*document)["updates"]) {
        if (!item.is_object() || !item.value("id", Json()).is_string()) continue;
        SoftwareUpdate update;
        update.id = item["id"].get<std::string>();
        auto textOf = [&item](const char* key) {
            return item.contains(key) && item[key].is_string() ? item[key].get<std::string>() : std::string();
        };
        update.name = textOf("name");
        update.version = textOf("version");
        update.displayName = textOf("displayName");
        if (!textOf("size").empty()) update.size = textOf("size");
        auto flag = [&item](const char* key) { return item.contains(key) && item[key].is_boolean() && item[key].get<bool>(); };
        update.isRecommended = flag("isRecommended");
        update.isRestart = flag("isRestart");
        update.isShutdown = flag("isShutdown");
        update.isCritical = flag("isCritical");
        updates.push_back(std::move(update));
    }
    return updates;
}

void SoftwareUpdateManager::install(const SoftwareUpdate& update, const ProgressHandler& onProgress,
                                    std::stop_token stop) {
    if (!isAvailable()) {
        throw SoftwareUpdateError(SoftwareUpdateError::Kind::Unavailable,
                                  localized("software_update.install_failed", {update.name}));
    }
    SoftwareUpdateInstallProgress progress;
    std::string output;
    auto follow = [&](std::string_view chunk) {
        output += chunk;
        progress.consume(chunk);
        if (onProgress) onProgress(progress.progress(), progress.status());
    };
    try {
        if (geteuid() == 0) {
            // Already root: run it here, so its progress is seen as it comes.
            ShellCommandResult result = runner_.executeStreaming(
                CommandRequest{.command = options_.tool,
                               .arguments = {"-i", update.id, "--verbose"},
                               .timeout = kInstallTimeout,
                               .allowNonZeroExit = true},
                follow, follow, stop);
            logger().info(localized("log.software_update.exit", {std::to_string(result.exitCode)}));
            if (result.exitCode != 0) throw SoftwareUpdateError::fromInstallOutput(output, update.name);
        } else {
            if (onProgress) onProgress(0, localized("software_update.phase.waiting_authorization"));
            prompt_.run(PrivilegedCommand{.prompt = localized("software_update.admin_prompt", {update.name}),
                                          .command = options_.tool,
                                          .arguments = {"-i", update.id, "--verbose"},
                                          .timeoutSeconds = kInstallTimeout},
                        stop);
        }
    } catch (const SoftwareUpdateError&) {
        throw;
    } catch (const CancellationError&) {
        throw;
    } catch (const AdminPromptError& error) {
        if (error.kind() == AdminPromptError::Kind::Denied) {
            throw SoftwareUpdateError(SoftwareUpdateError::Kind::Cancelled, localized("software_update.cancelled", {update.name}));
        }
        throw SoftwareUpdateError::fromInstallOutput(error.description(), update.name);
    } catch (const CommandError& error) {
        if (stop.stop_requested() || error.kind() == CommandError::Kind::Cancelled) throw CancellationError();
        throw SoftwareUpdateError::fromInstallOutput(output + error.detail(), update.name);
    }
    if (onProgress) onProgress(1, progress.status());
    std::scoped_lock lock(mutex_);
    std::erase_if(updates_, [&update](const SoftwareUpdate& listed) { return listed.id == update.id; });
}

}  // namespace vt
