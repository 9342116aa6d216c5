#include "settings/SettingsManager.hpp"

#include <algorithm>
#include <charconv>

#include "base/Localization.hpp"
#include "base/Strings.hpp"

namespace vt {

namespace {

// The scan searches absolute folders only; another would be kept and never used.
void checkListItem(std::string_view key, const std::string& item) {
    if (key == "AdditionalApplicationFolders" && !startsWith(item, "/")) {
        throw SettingsError(localized("settings.folder_not_absolute", {item}));
    }
}

constexpr std::string_view kDidApplyFirstLaunchDefaults = "DidApplyFirstLaunchDefaults";
constexpr std::string_view kLegacyKeys[] = {"ShowMenuBarIcon", "AutoUpdateApps"};

bool isStringMap(const Json& value) {
    return value.is_object() &&
           std::all_of(value.begin(), value.end(), [](const Json& item) { return item.is_string(); });
}

bool isStringList(const Json& value) {
    return value.is_array() &&
           std::all_of(value.begin(), value.end(), [](const Json& item) { return item.is_string(); });
}

bool fitsKind(const SettingDefinition& definition, const Json& value) {
    switch (definition.kind) {
        case SettingKind::Bool: return value.is_boolean();
        case SettingKind::Integer: return value.is_number_integer();
        case SettingKind::Choice: return value.is_string();
        case SettingKind::Data: return value.is_string();  // base64 text
        case SettingKind::StringList: return isStringList(value);
        case SettingKind::StringMap: return isStringMap(value);
        case SettingKind::Dictionary: return value.is_object();
        case SettingKind::Folder: {
            if (!value.is_string()) return false;
            const std::string& path = value.get_ref<const std::string&>();
            return path.empty() || path.front() == '/';
        }
    }
    return false;
}

std::string allowedText(const SettingDefinition& definition) {
    switch (definition.kind) {
        case SettingKind::Bool: return localized("settings.allowed.bool");
        case SettingKind::Integer: return localized("settings.allowed.integer");
        case SettingKind::Choice: {
            std::vector<std::string> choices(definition.choices.begin(), definition.choices.end());
            return localized("settings.allowed.choice", {join(choices, ", ")});
        }
        case SettingKind::Folder: return localized("settings.allowed.folder");
        default: return localized("settings.allowed.own_command");
    }
}

std::string kindName(SettingKind kind) {
    switch (kind) {
        case SettingKind::Data: return localized("settings.kind.data");
        case SettingKind::StringList: return localized("settings.kind.list");
        default: return localized("settings.kind.dictionary");
    }
}

Clock::TimePoint dateField(const Json& json, const char* key) {
    auto seconds = numberField(json, key);
    return seconds ? fromReferenceSeconds(*seconds) : Clock::TimePoint{};
}

}  // namespace

const std::vector<SettingDefinition>& settingDefinitions() {
    static const std::vector<SettingDefinition> definitions = {
        {"AppTheme", SettingKind::Choice, "system", {"system", "light", "dark"}, kAppAppearanceDidChange},
        {"ScanOnLaunch", SettingKind::Bool, false, {}, {}},
        {"NotifyUpdates", SettingKind::Bool, false, {}, {}},
        {"NotifyInstalls", SettingKind::Bool, false, {}, {}},
        {"AutoCheckUpdates", SettingKind::Bool, false, {}, {}},
        {"BackgroundScanEnabled", SettingKind::Bool, false, {}, {}},
        {"VerboseMode", SettingKind::Bool, false, {}, {}},
        {"CheckInterval", SettingKind::Integer, 24, {}, kCheckIntervalDidChange},
        // The largest file an update may download, in MB: a feed's word is never the only bound.
        {"MaxDownloadSizeMB", SettingKind::Integer, 8192, {}, {}},
        {"ShowSystemApps", SettingKind::Bool, true, {}, {}},
        {"CacheTTLUnit", SettingKind::Choice, "hours", {"minutes", "hours", "days"}, kCacheTTLSettingsDidChange},
        {"CacheTTLValue", SettingKind::Integer, 1, {}, kCacheTTLSettingsDidChange},
        {"ConfirmBeforeUpdateAll", SettingKind::Bool, true, {}, {}},
        {"ExcludeRiskyAppsFromBatchUpdate", SettingKind::Bool, true, {}, kUpdateExceptionSettingsDidChange},
        {"Exclude_RunningApps", SettingKind::Bool, true, {}, kUpdateExceptionSettingsDidChange},
        {"Exclude_MajorUpgrades", SettingKind::Bool, true, {}, kUpdateExceptionSettingsDidChange},
        {"Exclude_CaskAutoUpdates", SettingKind::Bool, true, {}, kUpdateExceptionSettingsDidChange},
        {"Exclude_SourceMismatch", SettingKind::Bool, true, {}, kUpdateExceptionSettingsDidChange},
        {"Exclude_RequiresUserChoice", SettingKind::Bool, true, {}, kUpdateExceptionSettingsDidChange},
        {"Exclude_KnownProblematic", SettingKind::Bool, true, {}, kUpdateExceptionSettingsDidChange},
        {"ShowHomebrew", SettingKind::Bool, true, {}, kManagerToggleDidChange},
        {"ShowCasks", SettingKind::Bool, true, {}, kManagerToggleDidChange},
        {"ShowInstalledApplications", SettingKind::Bool, true, {}, kManagerToggleDidChange},
        {"ShowMacAppStore", SettingKind::Bool, true, {}, kManagerToggleDidChange},
        {"ShowSparkle", SettingKind::Bool, true, {}, kManagerToggleDidChange},
        {"ShowTauri", SettingKind::Bool, true, {}, kManagerToggleDidChange},
        {"ShowElectron", SettingKind::Bool, true, {}, kManagerToggleDidChange},
        {"ShowSoftwareUpdate", SettingKind::Bool, true, {}, kManagerToggleDidChange},
        {"ShowAppleTools", SettingKind::Bool, true, {}, kManagerToggleDidChange},
        {"ShowAppleBetaUpdates", SettingKind::Bool, false, {}, {}},
        {"ShowAISkills", SettingKind::Bool, true, {}, kManagerToggleDidChange},
        {"ShowNpm", SettingKind::Bool, true, {}, kManagerToggleDidChange},
        {"ShowPip", SettingKind::Bool, true, {}, kManagerToggleDidChange},
        {"ShowGems", SettingKind::Bool, true, {}, kManagerToggleDidChange},
        {"ShowYarn", SettingKind::Bool, true, {}, kManagerToggleDidChange},
        {"ShowGitHub", SettingKind::Bool, true, {}, kManagerToggleDidChange},
        {"ShowGenericUpdater", SettingKind::Bool, true, {}, kManagerToggleDidChange},
        {"ShowCargo", SettingKind::Bool, true, {}, kManagerToggleDidChange},
        {"ShowVSCode", SettingKind::Bool, true, {}, kManagerToggleDidChange},
        {"ShowCursor", SettingKind::Bool, true, {}, kManagerToggleDidChange},
        {"ShowUv", SettingKind::Bool, true, {}, kManagerToggleDidChange},
        {"ShowTlmgr", SettingKind::Bool, true, {}, kManagerToggleDidChange},
        {"ShowPipx", SettingKind::Bool, true, {}, kManagerToggleDidChange},
        {"ShowPnpm", SettingKind::Bool, true, {}, kManagerToggleDidChange},
        {"ShowBun", SettingKind::Bool, true, {}, kManagerToggleDidChange},
        {"ShowGhExtensions", SettingKind::Bool, true, {}, kManagerToggleDidChange},
        {"ShowDeno", SettingKind::Bool, true, {}, kManagerToggleDidChange},
        {"ShowSdkman", SettingKind::Bool, true, {}, kManagerToggleDidChange},
        {"ShowDocker", SettingKind::Bool, true, {}, kManagerToggleDidChange},
        {"ShowOllama", SettingKind::Bool, true, {}, kManagerToggleDidChange},
        {"ShowComposer", SettingKind::Bool, true, {}, kManagerToggleDidChange},
        {"ShowConda", SettingKind::Bool, false, {}, kManagerToggleDidChange},
        {"ShowGo", SettingKind::Bool, true, {}, kManagerToggleDidChange},
        {"ShowMacPorts", SettingKind::Bool, true, {}, kManagerToggleDidChange},
        {"ShowNix", SettingKind::Bool, true, {}, kManagerToggleDidChange},
        {"ShowMise", SettingKind::Bool, true, {}, kManagerToggleDidChange},
        {"ShowRustup", SettingKind::Bool, true, {}, kManagerToggleDidChange},
        {"ShowFlutter", SettingKind::Bool, true, {}, kManagerToggleDidChange},
        {"ShowQt", SettingKind::Bool, true, {}, kManagerToggleDidChange},
        {"ShowAndroidSDK", SettingKind::Bool, true, {}, kManagerToggleDidChange},
        {"ShowAdobeCC", SettingKind::Bool, true, {}, kManagerToggleDidChange},
        {"ShowVSCodeInsiders", SettingKind::Bool, true, {}, kManagerToggleDidChange},
        {"ShowVSCodium", SettingKind::Bool, true, {}, kManagerToggleDidChange},
        {"ShowWindsurf", SettingKind::Bool, true, {}, kManagerToggleDidChange},
        {"ShowMicrosoftOffice", SettingKind::Bool, true, {}, kManagerToggleDidChange},
        {"ShowDockBadge", SettingKind::Bool, true, {}, {}},
        {"ShowDebug", SettingKind::Bool, false, {}, {}},
        {"CheckMacOSSecurity", SettingKind::Bool, true, {}, kManagerToggleDidChange},
        {"ShowApt", SettingKind::Bool, true, {}, kManagerToggleDidChange},
        {"ShowFlatpak", SettingKind::Bool, true, {}, kManagerToggleDidChange},
        {"ShowSnap", SettingKind::Bool, true, {}, kManagerToggleDidChange},
        {"ShowAppImages", SettingKind::Bool, true, {}, kManagerToggleDidChange},
        {"ShowFirmware", SettingKind::Bool, true, {}, kManagerToggleDidChange},
        {"ShowPreReleaseUpdates", SettingKind::Bool, false, {}, {}},
        // Which update sources may resolve an application (every one unless turned off).
        {"AppSource_MacAppStore", SettingKind::Bool, true, {}, {}},
        {"AppSource_Sparkle", SettingKind::Bool, true, {}, {}},
        {"AppSource_HomebrewCask", SettingKind::Bool, true, {}, {}},
        {"AppSource_GitHub", SettingKind::Bool, true, {}, {}},
        {"AppSource_Electron", SettingKind::Bool, true, {}, {}},
        {"AppSource_GenericUpdater", SettingKind::Bool, true, {}, {}},
        {"AppSource_DirectDownload", SettingKind::Bool, true, {}, {}},
        {"HideIncompatibleMacOSUpdates", SettingKind::Bool, true, {}, {}},
        {"BrewOutdatedMode", SettingKind::Choice, "greedy", {"greedy", "greedy-auto-updates", "normal"}, {}},
        {"ManualUpdateMode", SettingKind::Choice, "downloadOnly", {"downloadOnly", "downloadAndInstall"}, {}},
        {"ManualUpdateFolderBookmark", SettingKind::Data, nullptr, {}, {}},
        {"SkippedVersions", SettingKind::StringMap, Json::object(), {}, {}},
        {"ExcludedAdoptableApps", SettingKind::StringList, Json::array(), {}, {}},
        // Folders searched for application bundles beyond the standard ones.
        {"AdditionalApplicationFolders", SettingKind::StringList, Json::array(), {}, {}},
        {"SnoozedApps", SettingKind::Dictionary, Json::object(), {}, {}},
        {"AutoDeferredUpdates", SettingKind::Dictionary, Json::object(), {}, {}},
        {"AutoUpdateFailureRecords", SettingKind::Dictionary, Json::object(), {}, {}},
        {"SidebarOrders", SettingKind::Dictionary, Json::object(), {}, {}},
        // Offers the newest version at least this many days old instead of a younger latest one.
        {"MinimumReleaseAgeDays", SettingKind::Integer, 0, {}, {}},
        // The same per source id ({"npm": "3", "pipx": "0"}), in place of the one above.
        {"MinimumReleaseAgeDaysBySource", SettingKind::StringMap, Json::object(), {}, {}},
        // Whether a version whose source gives no publish time waits (else it is offered, marked).
        {"HoldBackUnknownReleaseAge", SettingKind::Bool, false, {}, {}},
        // Whether each scan asks the vulnerability service which updates fix known vulnerabilities.
        {"CheckVulnerabilities", SettingKind::Bool, true, {}, {}},
        // A node exporter's textfile folder: every scan writes its metrics there once saved.
        {"PrometheusTextfileDirectory", SettingKind::Folder, "", {}, {}},
    };
    return definitions;
}

const SettingDefinition* findSetting(std::string_view key) {
    for (const auto& definition : settingDefinitions()) {
        if (definition.key == key) return &definition;
    }
    return nullptr;
}

Json AutoUpdateFailureRecord::toJson() const {
    Json json = Json::object();
    json["identifier"] = identifier;
    json["version"] = version;
    json["name"] = name;
    json["source"] = source;
    json["signature"] = signature;
    json["failureCount"] = failureCount;
    json["firstFailureAt"] = toReferenceSeconds(firstFailureAt);
    json["lastFailureAt"] = toReferenceSeconds(lastFailureAt);
    return json;
}

std::optional<AutoUpdateFailureRecord> AutoUpdateFailureRecord::fromJson(const Json& json) {
    auto identifier = stringField(json, "identifier");
    if (!identifier) return std::nullopt;
    AutoUpdateFailureRecord record;
    record.identifier = *identifier;
    record.version = stringField(json, "version").value_or("");
    record.name = stringField(json, "name").value_or("");
    record.source = stringField(json, "source").value_or("");
    record.signature = stringField(json, "signature").value_or("");
    record.failureCount = integerField(json, "failureCount").value_or(0);
    record.firstFailureAt = dateField(json, "firstFailureAt");
    record.lastFailureAt = dateField(json, "lastFailureAt");
    return record;
}

Json AutoDeferredUpdate::toJson() const {
    Json json = otherFields.is_object() ? otherFields : Json::object();
    json["identifier"] = identifier;
    json["version"] = version;
    json["name"] = name;
    json["source"] = source;
    json["reason"] = reason;
    json["kind"] = kind;
    json["failureCount"] = failureCount;
    json["firstFailureAt"] = toReferenceSeconds(firstFailureAt);
    return json;
}

std::optional<AutoDeferredUpdate> AutoDeferredUpdate::fromJson(const Json& json) {
    auto identifier = stringField(json, "identifier");
    if (!identifier) return std::nullopt;
    AutoDeferredUpdate update;
    update.identifier = *identifier;
    update.version = stringField(json, "version").value_or("");
    update.name = stringField(json, "name").value_or("");
    update.source = stringField(json, "source").value_or("");
    update.reason = stringField(json, "reason").value_or("");
    update.kind = stringField(json, "kind").value_or("");
    update.failureCount = integerField(json, "failureCount").value_or(0);
    update.firstFailureAt = dateField(json, "firstFailureAt");
    update.otherFields = json;
    for (const char* known : {"identifier", "version", "name", "source", "reason", "kind", "failureCount",
                              "firstFailureAt"}) {
        update.otherFields.erase(known);
    }
    return update;
}

SettingsManager::SettingsManager(DefaultsStore& store, NotificationCenter& notifications)
    : store_(store), notifications_(notifications) {
    Json stored = store_.snapshot();
    bool hasLegacy = false;
    for (auto legacy : kLegacyKeys) hasLegacy = hasLegacy || stored.contains(std::string(legacy));
    // Dropped with the next write: reading the settings changes no file.
    if (hasLegacy) {
        store_.deferUntilNextWrite([](Json& object) {
            for (auto legacy : kLegacyKeys) object.erase(std::string(legacy));
        });
    }
    for (const auto& definition : settingDefinitions()) {
        std::string key(definition.key);
        std::optional<Json> value;
        if (auto it = stored.find(key); it != stored.end()) value = *it;
        values_[key] = effectiveValue(definition, value);
        if (value && values_[key] != *value) unusableKeys_.push_back(key);
    }
}

Json SettingsManager::effectiveValue(const SettingDefinition& definition, const std::optional<Json>& stored) const {
    if (!stored || !fitsKind(definition, *stored)) return definition.defaultValue;
    if (definition.kind == SettingKind::Choice) {
        const std::string text = stored->get<std::string>();
        bool known = std::find(definition.choices.begin(), definition.choices.end(), text) != definition.choices.end();
        return known ? *stored : definition.defaultValue;
    }
    return *stored;
}

Json SettingsManager::value(std::string_view key) const {
    std::scoped_lock lock(mutex_);
    auto it = values_.find(key);
    return it == values_.end() ? Json() : it->second;
}

bool SettingsManager::boolValue(std::string_view key) const {
    Json v = value(key);
    return v.is_boolean() && v.get<bool>();
}

long long SettingsManager::integerValue(std::string_view key) const {
    Json v = value(key);
    return v.is_number_integer() ? v.get<long long>() : 0;
}

std::string SettingsManager::stringValue(std::string_view key) const {
    Json v = value(key);
    return v.is_string() ? v.get<std::string>() : std::string();
}

bool SettingsManager::isStored(std::string_view key) const { return store_.contains(key); }

void SettingsManager::write(const SettingDefinition& definition, std::optional<Json> stored) {
    Json effective = effectiveValue(definition, stored);
    bool changed;
    {
        std::scoped_lock lock(mutex_);
        Json& current = values_[std::string(definition.key)];
        changed = current != effective;
        current = effective;
    }
    if (stored) {
        store_.set(definition.key, *stored);
    } else {
        store_.remove(definition.key);
    }
    if (changed && !definition.broadcast.empty()) notify(definition.broadcast);
}

void SettingsManager::setValue(std::string_view key, const Json& value) {
    Json checked = checkedValue(key, value);  // throws for an unknown key
    write(*findSetting(key), checked);
}

Json SettingsManager::checkedValue(std::string_view key, const Json& value) const {
    const SettingDefinition* definition = findSetting(key);
    if (definition == nullptr) throw SettingsError(localized("settings.unknown", {std::string(key)}));
    bool valid = fitsKind(*definition, value);
    if (valid && definition->kind == SettingKind::Choice) {
        valid = std::find(definition->choices.begin(), definition->choices.end(), value.get<std::string>()) !=
                definition->choices.end();
    }
    if (valid && definition->kind == SettingKind::Integer) valid = value.get<long long>() >= 0;
    if (!valid) {
        throw SettingsError(localized("settings.invalid", {std::string(key), allowedText(*definition)}));
    }
    return value;
}

void SettingsManager::setFromText(std::string_view key, std::string_view text) { setValue(key, valueFromText(key, text)); }

Json SettingsManager::valueFromText(std::string_view key, std::string_view text) const {
    const SettingDefinition* definition = findSetting(key);
    if (definition == nullptr) throw SettingsError(localized("settings.unknown", {std::string(key)}));
    std::string lower = toLower(trimView(text));
    switch (definition->kind) {
        case SettingKind::Bool:
            if (lower == "true" || lower == "yes" || lower == "on" || lower == "1") return checkedValue(key, true);
            if (lower == "false" || lower == "no" || lower == "off" || lower == "0") return checkedValue(key, false);
            break;
        case SettingKind::Integer: {
            long long number = 0;
            auto [end, error] = std::from_chars(lower.data(), lower.data() + lower.size(), number);
            if (error == std::errc() && end == lower.data() + lower.size() && !lower.empty()) {
                return checkedValue(key, number);
            }
            break;
        }
        case SettingKind::Choice:
        case SettingKind::Folder: return checkedValue(key, std::string(trimView(text)));
        case SettingKind::StringList: {
            std::optional<Json> list = parseJson(text);
            if (list && isStringList(*list)) {
                for (const Json& item : *list) checkListItem(key, item.get<std::string>());
                return checkedValue(key, *list);
            }
            throw SettingsError(localized("settings.invalid", {std::string(key), localized("settings.allowed.list")}));
        }
        case SettingKind::StringMap:
            // Skipped versions have commands of their own (skip, unskip); other maps are set whole.
            if (key != "SkippedVersions") {
                std::optional<Json> map = parseJson(text);
                if (map && isStringMap(*map)) return checkedValue(key, *map);
                throw SettingsError("Invalid value for " + std::string(key) +
                                    ": expected a JSON object of texts, like {\"npm\":\"3\"}");
            }
            [[fallthrough]];
        default:
            throw SettingsError(localized("settings.own_command", {std::string(key), kindName(definition->kind)}));
    }
    throw SettingsError(localized("settings.invalid", {std::string(key), allowedText(*definition)}));
}

void SettingsManager::reset(std::string_view key) {
    const SettingDefinition* definition = findSetting(key);
    if (definition == nullptr) throw SettingsError(localized("settings.unknown", {std::string(key)}));
    write(*definition, std::nullopt);
}

void SettingsManager::resetAll() {
    batch([this] {
        for (const auto& definition : settingDefinitions()) write(definition, std::nullopt);
    });
}

void SettingsManager::notify(std::string_view name) {
    {
        std::scoped_lock lock(mutex_);
        if (batchDepth_ > 0) {
            pendingNotifications_.insert(std::string(name));
            return;
        }
    }
    notifications_.post(name);
}

void SettingsManager::batch(const std::function<void()>& changes) {
    {
        std::scoped_lock lock(mutex_);
        ++batchDepth_;
    }
    auto finish = [this] {
        std::set<std::string> pending;
        {
            std::scoped_lock lock(mutex_);
            if (--batchDepth_ > 0) return;
            pending.swap(pendingNotifications_);
        }
        for (const auto& name : pending) notifications_.post(name);
    };
    try {
        changes();
    } catch (...) {
        finish();
        throw;
    }
    finish();
}

AppTheme SettingsManager::theme() const {
    std::string text = stringValue("AppTheme");
    return text == "light" ? AppTheme::Light : text == "dark" ? AppTheme::Dark : AppTheme::System;
}

CacheTTLUnit SettingsManager::cacheTTLUnit() const {
    std::string text = stringValue("CacheTTLUnit");
    return text == "minutes" ? CacheTTLUnit::Minutes : text == "days" ? CacheTTLUnit::Days : CacheTTLUnit::Hours;
}

std::chrono::seconds SettingsManager::cacheLifetime() const {
    long long value = integerValue("CacheTTLValue");
    switch (cacheTTLUnit()) {
        case CacheTTLUnit::Minutes: return std::chrono::seconds(value * 60);
        case CacheTTLUnit::Hours: return std::chrono::seconds(value * 3600);
        case CacheTTLUnit::Days: return std::chrono::seconds(value * 86400);
    }
    return std::chrono::seconds(3600);
}

std::uint64_t SettingsManager::maxDownloadBytes() const {
    const long long megabytes = std::clamp<long long>(integerValue("MaxDownloadSizeMB"), 1, 1'000'000);
    return static_cast<std::uint64_t>(megabytes) * 1024 * 1024;
}

int SettingsManager::checkIntervalHours() const {
    return static_cast<int>(std::clamp<long long>(integerValue("CheckInterval"), -1'000'000, 1'000'000));
}

BrewOutdatedMode SettingsManager::brewOutdatedMode() const {
    std::string text = stringValue("BrewOutdatedMode");
    return text == "normal"                ? BrewOutdatedMode::Normal
           : text == "greedy-auto-updates" ? BrewOutdatedMode::GreedyAutoUpdates
                                           : BrewOutdatedMode::Greedy;
}

ManualUpdateMode SettingsManager::manualUpdateMode() const {
    return stringValue("ManualUpdateMode") == "downloadAndInstall" ? ManualUpdateMode::DownloadAndInstall
                                                                   : ManualUpdateMode::DownloadOnly;
}

bool SettingsManager::showPreReleaseUpdates() const { return boolValue("ShowPreReleaseUpdates"); }

bool SettingsManager::isVisible(ManagerToggleKey key) const {
    std::string_view stored = storageKey(key);
    return !stored.empty() && boolValue(stored);
}

void SettingsManager::setVisible(ManagerToggleKey key, bool visible) {
    std::string_view stored = storageKey(key);
    if (stored.empty()) throw SettingsError(localized("settings.no_system_extensions"));
    setValue(stored, visible);
}

std::map<std::string, std::string> SettingsManager::skippedVersions() const {
    std::map<std::string, std::string> result;
    const Json stored = value("SkippedVersions");
    for (const auto& [item, version] : stored.items()) result[item] = version.get<std::string>();
    return result;
}

void SettingsManager::setSkippedVersions(const std::map<std::string, std::string>& versions) {
    Json json = Json::object();
    for (const auto& [item, version] : versions) json[item] = version;
    setValue("SkippedVersions", json);
}

namespace {

const SettingDefinition& listSetting(std::string_view key) {
    const SettingDefinition* definition = findSetting(key);
    if (definition == nullptr) throw SettingsError(localized("settings.unknown", {std::string(key)}));
    if (definition->kind != SettingKind::StringList) throw SettingsError(localized("settings.not_a_list", {std::string(key)}));
    return *definition;
}

}  // namespace

void SettingsManager::addToList(std::string_view key, const std::vector<std::string>& values) {
    setValue(key, listWith(key, values, true));
}

void SettingsManager::removeFromList(std::string_view key, const std::vector<std::string>& values) {
    setValue(key, listWith(key, values, false));
}

Json SettingsManager::listWith(std::string_view key, const std::vector<std::string>& values, bool adding) const {
    listSetting(key);
    Json list = value(key);
    if (adding) {
        for (const std::string& item : values) {
            checkListItem(key, item);
            if (std::find(list.begin(), list.end(), Json(item)) == list.end()) list.push_back(item);
        }
        return list;
    }
    Json kept = Json::array();
    for (const Json& item : list) {
        if (std::find(values.begin(), values.end(), item.get<std::string>()) == values.end()) kept.push_back(item);
    }
    return kept;
}

std::vector<std::string> SettingsManager::additionalApplicationFolders() const {
    std::vector<std::string> folders;
    for (const auto& folder : value("AdditionalApplicationFolders")) folders.push_back(folder.get<std::string>());
    return folders;
}

std::vector<std::string> SettingsManager::excludedAdoptableApps() const {
    std::vector<std::string> apps;
    for (const auto& app : value("ExcludedAdoptableApps")) apps.push_back(app.get<std::string>());
    return apps;
}

void SettingsManager::setExcludedAdoptableApps(const std::vector<std::string>& apps) {
    setValue("ExcludedAdoptableApps", Json(apps));
}

std::map<std::string, AutoUpdateFailureRecord> SettingsManager::autoUpdateFailureRecords() const {
    std::map<std::string, AutoUpdateFailureRecord> records;
    const Json stored = value("AutoUpdateFailureRecords");
    for (const auto& [key, json] : stored.items()) {
        if (auto record = AutoUpdateFailureRecord::fromJson(json)) records[key] = *record;
    }
    return records;
}

void SettingsManager::setAutoUpdateFailureRecords(const std::map<std::string, AutoUpdateFailureRecord>& records) {
    Json json = Json::object();
    for (const auto& [key, record] : records) json[key] = record.toJson();
    setValue("AutoUpdateFailureRecords", json);
}

std::map<std::string, AutoDeferredUpdate> SettingsManager::autoDeferredUpdates() const {
    std::map<std::string, AutoDeferredUpdate> updates;
    const Json stored = value("AutoDeferredUpdates");
    for (const auto& [key, json] : stored.items()) {
        if (auto update = AutoDeferredUpdate::fromJson(json)) updates[key] = *update;
    }
    return updates;
}

void SettingsManager::setAutoDeferredUpdates(const std::map<std::string, AutoDeferredUpdate>& updates) {
    Json json = Json::object();
    for (const auto& [key, update] : updates) json[key] = update.toJson();
    setValue("AutoDeferredUpdates", json);
}

void SettingsManager::applyFirstLaunchDefaults(const Detection& detect) {
    if (store_.boolValue(kDidApplyFirstLaunchDefaults).value_or(false)) return;
    std::map<std::string, bool> visible;
    for (const auto& [toggle, found] : detect()) {
        if (std::string_view key = storageKey(toggle); !key.empty()) visible[std::string(key)] = found;
    }
    // Seen by this run at once, saved with the first real write: a run that only reads (a dry
    // run, a refusal) leaves the disk as it was, and detects again next time. Another process
    // that saved its own first choices meanwhile keeps them.
    store_.deferUntilNextWrite([visible](Json& object) {
        auto done = object.find(std::string(kDidApplyFirstLaunchDefaults));
        if (done != object.end() && done->is_boolean() && done->get<bool>()) return;
        for (const auto& [key, found] : visible) object[key] = found;
        object[std::string(kDidApplyFirstLaunchDefaults)] = true;
    });
    const Json stored = store_.snapshot();
    batch([&] {
        for (const auto& [key, found] : visible) {
            const SettingDefinition* definition = findSetting(key);
            if (definition == nullptr) continue;
            std::optional<Json> value;
            if (auto it = stored.find(key); it != stored.end()) value = *it;
            Json effective = effectiveValue(*definition, value);
            bool changed;
            {
                std::scoped_lock lock(mutex_);
                Json& current = values_[key];
                changed = current != effective;
                current = std::move(effective);
            }
            if (changed && !definition->broadcast.empty()) notify(definition->broadcast);
        }
    });
}

}  // namespace vt
