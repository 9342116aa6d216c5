#include "model/Application.hpp"

#include <array>
#include <climits>
#include <cstdint>
#include <utility>

#include "model/JsonDocument.hpp"

namespace vt {

namespace {

template <typename Enum, std::size_t N>
using RawTable = std::array<std::pair<Enum, std::string_view>, N>;

constexpr RawTable<UpdateMechanism, 6> mechanismRaw{{
    {UpdateMechanism::MacAppStore, "macAppStore"},
    {UpdateMechanism::Sparkle, "sparkle"},
    {UpdateMechanism::HomebrewCask, "homebrewCask"},
    {UpdateMechanism::DirectDownload, "directDownload"},
    {UpdateMechanism::CaskReference, "caskReference"},
    {UpdateMechanism::Unknown, "unknown"},
}};

constexpr RawTable<UpdateMechanism, 6> mechanismDisplay{{
    {UpdateMechanism::MacAppStore, "Mac App Store"},
    {UpdateMechanism::Sparkle, "Sparkle"},
    {UpdateMechanism::HomebrewCask, "Homebrew Cask"},
    {UpdateMechanism::DirectDownload, "Direct Download"},
    {UpdateMechanism::CaskReference, "Cask Reference"},
    {UpdateMechanism::Unknown, "Unknown"},
}};

constexpr RawTable<UpdateStrategy, 8> strategyRaw{{
    {UpdateStrategy::AutoCLI, "autoCLI"},
    {UpdateStrategy::AutoInApp, "autoInApp"},
    {UpdateStrategy::AutoDownload, "autoDownload"},
    {UpdateStrategy::MacAppStore, "macAppStore"},
    {UpdateStrategy::ManualDownload, "manualDownload"},
    {UpdateStrategy::RequiresInstaller, "requiresInstaller"},
    {UpdateStrategy::MajorUpgrade, "majorUpgrade"},
    {UpdateStrategy::NotSupported, "notSupported"},
}};

constexpr RawTable<DetectionConfidence, 3> confidenceRaw{{
    {DetectionConfidence::High, "high"},
    {DetectionConfidence::BestEffort, "bestEffort"},
    {DetectionConfidence::Manual, "manual"},
}};

constexpr RawTable<AppRulePrimarySource, 8> primarySourceRaw{{
    {AppRulePrimarySource::MacAppStore, "macAppStore"},
    {AppRulePrimarySource::Sparkle, "sparkle"},
    {AppRulePrimarySource::HomebrewCask, "homebrewCask"},
    {AppRulePrimarySource::GitHub, "github"},
    {AppRulePrimarySource::Electron, "electron"},
    {AppRulePrimarySource::GenericUpdater, "genericUpdater"},
    {AppRulePrimarySource::DirectDownload, "directDownload"},
    {AppRulePrimarySource::Manual, "manual"},
}};

constexpr RawTable<GenericUpdateMechanism, 6> genericRaw{{
    {GenericUpdateMechanism::Electron, "electron"},
    {GenericUpdateMechanism::Squirrel, "squirrel"},
    {GenericUpdateMechanism::Mozilla, "mozilla"},
    {GenericUpdateMechanism::Tauri, "tauri"},
    {GenericUpdateMechanism::Raycast, "raycast"},
    {GenericUpdateMechanism::Custom, "custom"},
}};

constexpr RawTable<DirectDownloadProvider, 3> providerRaw{{
    {DirectDownloadProvider::JetBrains, "jetBrains"},
    {DirectDownloadProvider::GoogleStudio, "googleStudio"},
    {DirectDownloadProvider::HomebrewCask, "homebrewCask"},
}};

template <typename Enum, std::size_t N>
std::string_view lookUp(const RawTable<Enum, N>& table, Enum value) {
    for (const auto& [key, text] : table)
        if (key == value) return text;
    return {};
}

template <typename Enum, std::size_t N>
std::optional<Enum> parse(const RawTable<Enum, N>& table, std::string_view raw) {
    for (const auto& [key, text] : table)
        if (text == raw) return key;
    return std::nullopt;
}

[[noreturn]] void fail(const std::string& what) { throw ApplicationDecodingError("Application: " + what); }

// The saved applications are read with the same parser as the saved packages: the list of a
// large machine is read at every `list`, and a tree of nlohmann nodes cost four times as much.
using Element = JsonElement;
using Object = const JsonElement&;

// A member that is there and not null.
const JsonElement* field(Object json, const char* key) {
    const auto found = json.FindMember(key);
    if (found == json.MemberEnd() || found->value.IsNull()) return nullptr;
    return &found->value;
}

std::string requiredString(Object json, const char* key) {
    const JsonElement* value = field(json, key);
    if (!value) fail(std::string("missing ") + key);
    if (!value->IsString()) fail(std::string(key) + " is not a string");
    return std::string(value->GetString(), value->GetStringLength());
}

std::optional<std::string> optionalString(Object json, const char* key) {
    const JsonElement* value = field(json, key);
    if (!value) return std::nullopt;
    if (!value->IsString()) fail(std::string(key) + " is not a string");
    return std::string(value->GetString(), value->GetStringLength());
}

bool flag(Object json, const char* key, bool fallback) {
    const JsonElement* value = field(json, key);
    if (!value) return fallback;
    if (!value->IsBool()) fail(std::string(key) + " is not a boolean");
    return value->GetBool();
}

std::optional<Clock::TimePoint> optionalDate(Object json, const char* key) {
    const JsonElement* value = field(json, key);
    if (!value) return std::nullopt;
    if (!value->IsNumber()) fail(std::string(key) + " is not a number");
    return fromReferenceSeconds(value->GetDouble());
}

template <typename Enum, std::size_t N>
std::optional<Enum> optionalEnum(Object json, const char* key, const RawTable<Enum, N>& table) {
    auto raw = optionalString(json, key);
    if (!raw) return std::nullopt;
    auto value = parse(table, *raw);
    if (!value) fail(std::string("unknown ") + key + " \"" + *raw + "\"");
    return value;
}

Object emptyObject() {
    static const JsonElement empty(rapidjson::kObjectType);
    return empty;
}

// An absent object reads as an empty one.
Object object(Object json, const char* key) {
    const JsonElement* value = field(json, key);
    if (!value) return emptyObject();
    if (!value->IsObject()) fail(std::string(key) + " is not an object");
    return *value;
}

Application decodeApplication(const Element& element) {
    if (!element.IsObject()) fail("not an object");
    Object json = element;
    Application app;
    app.id = requiredString(json, "id");
    app.name = requiredString(json, "name");
    app.bundlePath = requiredString(json, "bundlePath");
    app.version = optionalString(json, "version").value_or("");
    app.buildNumber = optionalString(json, "buildNumber");
    app.bundleIdentifier = optionalString(json, "bundleIdentifier").value_or("");
    app.updateMechanism = optionalEnum(json, "updateMechanism", mechanismRaw).value_or(UpdateMechanism::Unknown);
    app.latestVersion = optionalString(json, "latestVersion");
    app.releaseNotes = optionalString(json, "releaseNotes");
    app.downloadURL = optionalString(json, "downloadURL");
    app.downloadSHA256 = optionalString(json, "downloadSHA256");
    app.publishDate = optionalDate(json, "publishDate");
    app.appStoreID = optionalString(json, "appStoreID");
    app.sparkleAppcastURL = optionalString(json, "sparkleAppcastURL");
    app.homebrewCaskName = optionalString(json, "homebrewCaskName");
    if (field(json, "directDownloadConfig")) {
        Object config = object(json, "directDownloadConfig");
        DirectDownloadRuleConfig out;
        out.provider = optionalEnum(config, "provider", providerRaw).value_or(DirectDownloadProvider::HomebrewCask);
        out.productCode = optionalString(config, "productCode").value_or("");
        out.channel = optionalString(config, "channel").value_or("");
        out.requiresAdminPrivileges = flag(config, "requiresAdminPrivileges", false);
        if (field(config, "supportsAutomaticInstall"))
            out.supportsAutomaticInstall = flag(config, "supportsAutomaticInstall", false);
        app.directDownloadConfig = std::move(out);
    }
    app.isIgnored = flag(json, "isIgnored", false);
    Object capability = object(json, "updateCapability");
    app.updateCapability.isAutoUpdateable = flag(capability, "isAutoUpdateable", false);
    app.updateCapability.requiresAdminPassword = flag(capability, "requiresAdminPassword", false);
    if (capability.MemberCount() > 0) app.updateCapability.limitation = optionalString(capability, "limitation");
    Object preferences = object(json, "updatePreferences");
    app.updatePreferences.allowAutoUpdate = flag(preferences, "allowAutoUpdate", true);
    app.updatePreferences.includeInBatchUpdate = flag(preferences, "includeInBatchUpdate", true);
    app.updatePreferences.lastUpdateAttempt = optionalDate(preferences, "lastUpdateAttempt");
    if (const JsonElement* attempts = field(preferences, "failedAttempts")) {
        if (!attempts->IsInt64() || attempts->GetInt64() < INT_MIN || attempts->GetInt64() > INT_MAX) {
            fail("failedAttempts is not an integer");
        }
        app.updatePreferences.failedAttempts = static_cast<int>(attempts->GetInt64());
    }
    app.updateStrategy = optionalEnum(json, "updateStrategy", strategyRaw).value_or(UpdateStrategy::NotSupported);
    app.detectionConfidence = optionalEnum(json, "detectionConfidence", confidenceRaw);
    app.resolutionSource = optionalEnum(json, "resolutionSource", primarySourceRaw);
    app.resolutionReason = optionalString(json, "resolutionReason");
    app.matchedRuleIdentifier = optionalString(json, "matchedRuleIdentifier");
    return app;
}


void put(Json& json, const char* key, const std::optional<std::string>& value) {
    if (value) json[key] = *value;
}

}  // namespace

std::string_view rawValue(UpdateMechanism mechanism) { return lookUp(mechanismRaw, mechanism); }
std::string_view displayName(UpdateMechanism mechanism) { return lookUp(mechanismDisplay, mechanism); }
std::optional<UpdateMechanism> updateMechanismFromRaw(std::string_view raw) { return parse(mechanismRaw, raw); }
std::string_view rawValue(UpdateStrategy strategy) { return lookUp(strategyRaw, strategy); }
std::optional<UpdateStrategy> updateStrategyFromRaw(std::string_view raw) { return parse(strategyRaw, raw); }
std::string_view rawValue(DetectionConfidence confidence) { return lookUp(confidenceRaw, confidence); }
std::optional<DetectionConfidence> detectionConfidenceFromRaw(std::string_view raw) { return parse(confidenceRaw, raw); }
std::string_view rawValue(AppRulePrimarySource source) { return lookUp(primarySourceRaw, source); }
std::optional<AppRulePrimarySource> appRulePrimarySourceFromRaw(std::string_view raw) {
    return parse(primarySourceRaw, raw);
}
std::string_view rawValue(GenericUpdateMechanism mechanism) { return lookUp(genericRaw, mechanism); }
std::optional<GenericUpdateMechanism> genericUpdateMechanismFromRaw(std::string_view raw) {
    return parse(genericRaw, raw);
}
std::string_view rawValue(DirectDownloadProvider provider) { return lookUp(providerRaw, provider); }
std::optional<DirectDownloadProvider> directDownloadProviderFromRaw(std::string_view raw) {
    return parse(providerRaw, raw);
}

Json toJson(const Application& app) {
    Json json = Json::object();
    json["id"] = app.id;
    json["name"] = app.name;
    json["bundlePath"] = app.bundlePath;
    json["version"] = app.version;
    put(json, "buildNumber", app.buildNumber);
    json["bundleIdentifier"] = app.bundleIdentifier;
    json["updateMechanism"] = rawValue(app.updateMechanism);
    put(json, "latestVersion", app.latestVersion);
    put(json, "releaseNotes", app.releaseNotes);
    put(json, "downloadURL", app.downloadURL);
    put(json, "downloadSHA256", app.downloadSHA256);
    if (app.publishDate) json["publishDate"] = toReferenceSeconds(*app.publishDate);
    put(json, "appStoreID", app.appStoreID);
    put(json, "sparkleAppcastURL", app.sparkleAppcastURL);
    put(json, "homebrewCaskName", app.homebrewCaskName);
    if (const auto& config = app.directDownloadConfig) {
        Json out = Json::object();
        out["provider"] = rawValue(config->provider);
        out["productCode"] = config->productCode;
        out["channel"] = config->channel;
        out["requiresAdminPrivileges"] = config->requiresAdminPrivileges;
        if (config->supportsAutomaticInstall) out["supportsAutomaticInstall"] = *config->supportsAutomaticInstall;
        json["directDownloadConfig"] = std::move(out);
    }
    json["isIgnored"] = app.isIgnored;
    Json capability = Json::object();
    capability["isAutoUpdateable"] = app.updateCapability.isAutoUpdateable;
    capability["requiresAdminPassword"] = app.updateCapability.requiresAdminPassword;
    put(capability, "limitation", app.updateCapability.limitation);
    json["updateCapability"] = std::move(capability);
    Json preferences = Json::object();
    preferences["allowAutoUpdate"] = app.updatePreferences.allowAutoUpdate;
    preferences["includeInBatchUpdate"] = app.updatePreferences.includeInBatchUpdate;
    if (app.updatePreferences.lastUpdateAttempt)
        preferences["lastUpdateAttempt"] = toReferenceSeconds(*app.updatePreferences.lastUpdateAttempt);
    preferences["failedAttempts"] = app.updatePreferences.failedAttempts;
    json["updatePreferences"] = std::move(preferences);
    json["updateStrategy"] = rawValue(app.updateStrategy);
    if (app.detectionConfidence) json["detectionConfidence"] = rawValue(*app.detectionConfidence);
    if (app.resolutionSource) json["resolutionSource"] = rawValue(*app.resolutionSource);
    put(json, "resolutionReason", app.resolutionReason);
    put(json, "matchedRuleIdentifier", app.matchedRuleIdentifier);
    return json;
}

Application applicationFromJson(const Json& json) {
    JsonDocument document;
    parseJsonDocument(dumpJson(json), document);
    return decodeApplication(document);
}

std::vector<Application> applicationsFromJsonText(std::string_view text) {
    JsonDocument document;
    parseJsonDocument(text, document);
    if (!document.IsArray()) fail("not a list");
    std::vector<Application> applications;
    applications.reserve(document.Size());
    for (const JsonElement& item : document.GetArray()) applications.push_back(decodeApplication(item));
    return applications;
}

}  // namespace vt
