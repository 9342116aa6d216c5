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

// The saved applications are read as the parser's events, as the saved packages are: the
// list of a large machine is read at every `list`, and building a tree of it first cost as
// much again as reading it.

// What a record said of one field, as much of it as decoding asks.
struct Captured {
    enum class Kind : std::uint8_t { Absent, Null, Bool, Number, String, Object, Array };
    Kind kind = Kind::Absent;
    bool boolean = false;
    bool isInt64 = false;  // a whole number that fits
    std::int64_t integer = 0;
    double number = 0;
    std::string text;

    // Null reads as absent.
    bool present() const { return kind != Kind::Absent && kind != Kind::Null; }
};

// The fields read: the record's own, then those of the three objects inside it.
enum Field : std::uint8_t {
    Id, Name, BundlePath, Version, BuildNumber, BundleIdentifier, Mechanism, LatestVersion, ReleaseNotes,
    DownloadURL, DownloadSHA256, PublishDate, AppStoreID, SparkleAppcastURL, HomebrewCaskName, DirectDownloadConfig,
    IsIgnored, UpdateCapability, UpdatePreferences, Strategy, Confidence, ResolutionSource, ResolutionReason,
    MatchedRuleIdentifier,
    Provider, ProductCode, Channel, RequiresAdminPrivileges, SupportsAutomaticInstall,  // directDownloadConfig
    IsAutoUpdateable, RequiresAdminPassword, Limitation,                                  // updateCapability
    AllowAutoUpdate, IncludeInBatchUpdate, LastUpdateAttempt, FailedAttempts,             // updatePreferences
    kFieldCount
};

// Where each object's fields begin and end in Field, the record's first.
enum class Part : std::uint8_t { Record, Download, Capability, Preferences };
constexpr std::pair<Field, Field> kPartFields[] = {
    {Id, Provider}, {Provider, IsAutoUpdateable}, {IsAutoUpdateable, AllowAutoUpdate}, {AllowAutoUpdate, kFieldCount}};

constexpr std::array<std::string_view, kFieldCount> kFieldNames = {
    "id", "name", "bundlePath", "version", "buildNumber", "bundleIdentifier", "updateMechanism", "latestVersion",
    "releaseNotes", "downloadURL", "downloadSHA256", "publishDate", "appStoreID", "sparkleAppcastURL",
    "homebrewCaskName", "directDownloadConfig", "isIgnored", "updateCapability", "updatePreferences", "updateStrategy",
    "detectionConfidence", "resolutionSource", "resolutionReason", "matchedRuleIdentifier",
    "provider", "productCode", "channel", "requiresAdminPrivileges", "supportsAutomaticInstall",
    "isAutoUpdateable", "requiresAdminPassword", "limitation",
    "allowAutoUpdate", "includeInBatchUpdate", "lastUpdateAttempt", "failedAttempts"};

// The object a field of the record holds, for the three that hold one.
std::optional<Part> partHeldBy(std::size_t field) {
    switch (field) {
        case DirectDownloadConfig: return Part::Download;
        case UpdateCapability: return Part::Capability;
        case UpdatePreferences: return Part::Preferences;
        default: return std::nullopt;
    }
}

// One record's fields. Of a field given twice the first counts.
class Record {
public:
    void clear() {
        for (Captured& field : fields_) field.kind = Captured::Kind::Absent;
        capabilityMembers = 0;
    }
    // kFieldCount for a name nobody reads.
    static std::size_t find(Part part, std::string_view name) {
        const auto [first, end] = kPartFields[static_cast<std::size_t>(part)];
        for (std::size_t i = first; i < end; ++i) {
            if (kFieldNames[i] == name) return i;
        }
        return kFieldCount;
    }
    Captured& operator[](std::size_t field) { return fields_[field]; }

    // How many members the updateCapability object has, whatever their names: one without any
    // keeps the default limitation.
    std::size_t capabilityMembers = 0;

private:
    std::array<Captured, kFieldCount> fields_;
};

std::string requiredString(Captured& field, const char* key) {
    if (!field.present()) fail(std::string("missing ") + key);
    if (field.kind != Captured::Kind::String) fail(std::string(key) + " is not a string");
    return std::move(field.text);
}

std::optional<std::string> optionalString(Captured& field, const char* key) {
    if (!field.present()) return std::nullopt;
    if (field.kind != Captured::Kind::String) fail(std::string(key) + " is not a string");
    return std::move(field.text);
}

bool flag(const Captured& field, const char* key, bool fallback) {
    if (!field.present()) return fallback;
    if (field.kind != Captured::Kind::Bool) fail(std::string(key) + " is not a boolean");
    return field.boolean;
}

std::optional<Clock::TimePoint> optionalDate(const Captured& field, const char* key) {
    if (!field.present()) return std::nullopt;
    if (field.kind != Captured::Kind::Number) fail(std::string(key) + " is not a number");
    return fromReferenceSeconds(field.number);
}

template <typename Enum, std::size_t N>
std::optional<Enum> optionalEnum(Captured& field, const char* key, const RawTable<Enum, N>& table) {
    auto raw = optionalString(field, key);
    if (!raw) return std::nullopt;
    auto value = parse(table, *raw);
    if (!value) fail(std::string("unknown ") + key + " \"" + *raw + "\"");
    return value;
}

// Whether the record holds the object `key` (an absent one reads as an empty one).
bool holdsObject(const Captured& field, const char* key) {
    if (!field.present()) return false;
    if (field.kind != Captured::Kind::Object) fail(std::string(key) + " is not an object");
    return true;
}

Application decode(Record& field) {
    Application app;
    app.id = requiredString(field[Id], "id");
    app.name = requiredString(field[Name], "name");
    app.bundlePath = requiredString(field[BundlePath], "bundlePath");
    app.version = optionalString(field[Version], "version").value_or("");
    app.buildNumber = optionalString(field[BuildNumber], "buildNumber");
    app.bundleIdentifier = optionalString(field[BundleIdentifier], "bundleIdentifier").value_or("");
    app.updateMechanism = optionalEnum(field[Mechanism], "updateMechanism", mechanismRaw).value_or(UpdateMechanism::Unknown);
    app.latestVersion = optionalString(field[LatestVersion], "latestVersion");
    app.releaseNotes = optionalString(field[ReleaseNotes], "releaseNotes");
    app.downloadURL = optionalString(field[DownloadURL], "downloadURL");
    app.downloadSHA256 = optionalString(field[DownloadSHA256], "downloadSHA256");
    app.publishDate = optionalDate(field[PublishDate], "publishDate");
    app.appStoreID = optionalString(field[AppStoreID], "appStoreID");
    app.sparkleAppcastURL = optionalString(field[SparkleAppcastURL], "sparkleAppcastURL");
    app.homebrewCaskName = optionalString(field[HomebrewCaskName], "homebrewCaskName");
    if (holdsObject(field[DirectDownloadConfig], "directDownloadConfig")) {
        DirectDownloadRuleConfig config;
        config.provider = optionalEnum(field[Provider], "provider", providerRaw).value_or(DirectDownloadProvider::HomebrewCask);
        config.productCode = optionalString(field[ProductCode], "productCode").value_or("");
        config.channel = optionalString(field[Channel], "channel").value_or("");
        config.requiresAdminPrivileges = flag(field[RequiresAdminPrivileges], "requiresAdminPrivileges", false);
        if (field[SupportsAutomaticInstall].present()) {
            config.supportsAutomaticInstall = flag(field[SupportsAutomaticInstall], "supportsAutomaticInstall", false);
        }
        app.directDownloadConfig = std::move(config);
    }
    app.isIgnored = flag(field[IsIgnored], "isIgnored", false);
    holdsObject(field[UpdateCapability], "updateCapability");
    app.updateCapability.isAutoUpdateable = flag(field[IsAutoUpdateable], "isAutoUpdateable", false);
    app.updateCapability.requiresAdminPassword = flag(field[RequiresAdminPassword], "requiresAdminPassword", false);
    if (field.capabilityMembers > 0) app.updateCapability.limitation = optionalString(field[Limitation], "limitation");
    holdsObject(field[UpdatePreferences], "updatePreferences");
    app.updatePreferences.allowAutoUpdate = flag(field[AllowAutoUpdate], "allowAutoUpdate", true);
    app.updatePreferences.includeInBatchUpdate = flag(field[IncludeInBatchUpdate], "includeInBatchUpdate", true);
    app.updatePreferences.lastUpdateAttempt = optionalDate(field[LastUpdateAttempt], "lastUpdateAttempt");
    if (const Captured& attempts = field[FailedAttempts]; attempts.present()) {
        if (attempts.kind != Captured::Kind::Number || !attempts.isInt64 || attempts.integer < INT_MIN ||
            attempts.integer > INT_MAX) {
            fail("failedAttempts is not an integer");
        }
        app.updatePreferences.failedAttempts = static_cast<int>(attempts.integer);
    }
    app.updateStrategy = optionalEnum(field[Strategy], "updateStrategy", strategyRaw).value_or(UpdateStrategy::NotSupported);
    app.detectionConfidence = optionalEnum(field[Confidence], "detectionConfidence", confidenceRaw);
    app.resolutionSource = optionalEnum(field[ResolutionSource], "resolutionSource", primarySourceRaw);
    app.resolutionReason = optionalString(field[ResolutionReason], "resolutionReason");
    app.matchedRuleIdentifier = optionalString(field[MatchedRuleIdentifier], "matchedRuleIdentifier");
    return app;
}

// The parser's events, each record's fields captured, then decoded as a whole at its end.
// Values nobody reads (unknown fields, what nests deeper) are passed over.
class ApplicationEvents {
public:
    enum class Top { Array, Object };
    ApplicationEvents(Top top, std::vector<Application>& out) : top_(top), out_(out) {}

    bool Null() { return scalar([](Captured& field) { field.kind = Captured::Kind::Null; }); }
    bool Bool(bool value) {
        return scalar([value](Captured& field) {
            field.kind = Captured::Kind::Bool;
            field.boolean = value;
        });
    }
    bool Int(int value) { return integer(value); }
    bool Uint(unsigned value) { return integer(value); }
    bool Int64(std::int64_t value) { return integer(value); }
    bool Uint64(std::uint64_t value) {
        if (value <= static_cast<std::uint64_t>(INT64_MAX)) return integer(static_cast<std::int64_t>(value));
        return scalar([value](Captured& field) { setNumber(field, static_cast<double>(value), false, 0); });
    }
    bool Double(double value) {
        return scalar([value](Captured& field) { setNumber(field, value, false, 0); });
    }
    bool RawNumber(const char*, rapidjson::SizeType, bool) { return false; }  // asked only with a flag we do not give
    bool String(const char* text, rapidjson::SizeType length, bool) {
        return scalar([text, length](Captured& field) {
            field.kind = Captured::Kind::String;
            field.text.assign(text, length);
        });
    }
    bool Key(const char* text, rapidjson::SizeType length, bool) {
        if (skip_ > 0) return true;
        if (part_ == Part::Capability) ++record_.capabilityMembers;
        target_ = Record::find(part_, std::string_view(text, length));
        return true;
    }
    bool StartObject() {
        if (skip_ > 0) return ++skip_, true;
        if (depth_ == 0 || (depth_ == 1 && top_ == Top::Array)) {
            if (depth_ == 0 && top_ == Top::Array) fail("not a list");
            record_.clear();
            part_ = Part::Record;
            ++depth_;
            return true;
        }
        const std::size_t target = target_;
        Captured* field = take();
        if (field != nullptr) field->kind = Captured::Kind::Object;
        // The three objects of a record are read; anything else that nests is passed over.
        if (field != nullptr && part_ == Part::Record) {
            if (const std::optional<Part> held = partHeldBy(target)) {
                part_ = *held;
                ++depth_;
                return true;
            }
        }
        skip_ = 1;
        return true;
    }
    bool EndObject(rapidjson::SizeType) {
        if (skip_ > 0) return --skip_, true;
        --depth_;
        if (part_ != Part::Record) {
            part_ = Part::Record;
            return true;
        }
        out_.push_back(decode(record_));
        return true;
    }
    bool StartArray() {
        if (skip_ > 0) return ++skip_, true;
        if (depth_ == 0 && top_ == Top::Array) {
            depth_ = 1;
            return true;
        }
        if (depth_ == 0 || (depth_ == 1 && top_ == Top::Array)) fail("not an object");
        if (Captured* field = take()) field->kind = Captured::Kind::Array;
        skip_ = 1;
        return true;
    }
    bool EndArray(rapidjson::SizeType) {
        if (skip_ > 0) return --skip_, true;
        depth_ = 0;  // the end of the list
        return true;
    }

private:
    static void setNumber(Captured& field, double number, bool isInt64, std::int64_t integer) {
        field.kind = Captured::Kind::Number;
        field.number = number;
        field.isInt64 = isInt64;
        field.integer = integer;
    }

    bool integer(std::int64_t value) {
        return scalar([value](Captured& field) { setNumber(field, static_cast<double>(value), true, value); });
    }

    // The field the value just read belongs to: none when nobody reads it or when an earlier
    // value of the same name already counts.
    Captured* take() {
        const std::size_t target = target_;
        target_ = kFieldCount;
        if (target == kFieldCount || record_[target].kind != Captured::Kind::Absent) return nullptr;
        return &record_[target];
    }

    template <typename Set>
    bool scalar(Set&& set) {
        if (skip_ > 0) return true;
        if (depth_ == 0) fail(top_ == Top::Array ? "not a list" : "not an object");
        if (depth_ == 1 && top_ == Top::Array) fail("not an object");
        if (Captured* field = take()) set(*field);
        return true;
    }

    Top top_;
    std::vector<Application>& out_;
    Record record_;
    Part part_ = Part::Record;
    std::size_t target_ = kFieldCount;  // the field of the key just read
    int depth_ = 0;  // 1 in the list, then 1 more in a record, 1 more in one of its objects
    int skip_ = 0;   // depth inside a value nobody reads
};

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
    std::vector<Application> decoded;
    ApplicationEvents events(ApplicationEvents::Top::Object, decoded);
    parseJsonEvents(dumpJson(json), events);
    if (decoded.size() != 1) fail("not an object");
    return std::move(decoded.front());
}

std::vector<Application> applicationsFromJsonText(std::string_view text) {
    std::vector<Application> applications;
    ApplicationEvents events(ApplicationEvents::Top::Array, applications);
    parseJsonEvents(text, events);
    return applications;
}

}  // namespace vt
