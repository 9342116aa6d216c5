#include "model/Package.hpp"

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <utility>

#include "base/Paths.hpp"
#include "base/Strings.hpp"
#include "model/JsonDocument.hpp"
#include "model/VersionRules.hpp"

namespace vt {

namespace {

// Ollama's default registry host, as Ollama itself names the folder of its manifests.
constexpr const char* kOllamaRegistryFolder = "registry.ollama.ai";

[[noreturn]] void failDecode(const std::string& why) { throw PackageDecodingError("Cannot decode package: " + why); }

// The keys of the JSON form, in their order.
enum class Field {
    Id, Name, Version, Type, LatestVersion, Description, Homepage, Dependencies, Conflicts, InstallDate, Size,
    License, Tap, Analytics, IsPinned, RequiresManualInstaller, AutoUpdates, IsSecurityUpdate, ReleaseNotes, SourceIdentifier,
    Releases, ToolReleaseAgeSeconds, ToolReleaseAgeSetting, FixedVulnerabilities, LatestVulnerabilities,
    AttestedVersions, Unknown
};

constexpr std::pair<std::string_view, Field> kFields[] = {
    {"id", Field::Id},
    {"name", Field::Name},
    {"version", Field::Version},
    {"type", Field::Type},
    {"latestVersion", Field::LatestVersion},
    {"description", Field::Description},
    {"homepage", Field::Homepage},
    {"dependencies", Field::Dependencies},
    {"conflicts", Field::Conflicts},
    {"installDate", Field::InstallDate},
    {"size", Field::Size},
    {"license", Field::License},
    {"tap", Field::Tap},
    {"analytics", Field::Analytics},
    {"isPinned", Field::IsPinned},
    {"requiresManualInstaller", Field::RequiresManualInstaller},
    {"autoUpdates", Field::AutoUpdates},
    {"isSecurityUpdate", Field::IsSecurityUpdate},
    {"releaseNotes", Field::ReleaseNotes},
    {"sourceIdentifier", Field::SourceIdentifier},
    {"releases", Field::Releases},
    {"toolMinimumReleaseAge", Field::ToolReleaseAgeSeconds},
    {"toolReleaseAgeSetting", Field::ToolReleaseAgeSetting},
    {"fixedVulnerabilities", Field::FixedVulnerabilities},
    {"latestVulnerabilities", Field::LatestVulnerabilities},
    {"attestedVersions", Field::AttestedVersions},
};

constexpr std::string_view kAnalyticsKeys[] = {"downloads30d", "downloads90d", "downloads365d"};

// Decodes packages from a parse's events, straight into records: the strict typed
// decoding of the JSON form without a tree of values. Each event either fits the
// record being read or ends the decoding with a PackageDecodingError.
class PackageReader {
public:
    enum class Top { Array, Object };

    PackageReader(Top top, std::vector<Package>& out) : top_(top), out_(out) {}

    bool null() {
        if (skipping()) return true;
        if (place_ == Place::Package) {
            clear(field_);
        } else if (place_ == Place::Analytics) {
            if (analyticsField_) setAnalytics(std::nullopt);
        } else {
            scalarOutsideRecord();
        }
        return true;
    }

    bool boolean(bool value) {
        if (skipping()) return true;
        if (place_ == Place::Package) {
            if (field_ == Field::IsPinned) {
                current().isPinned = value;
            } else if (field_ == Field::RequiresManualInstaller) {
                current().requiresManualInstaller = value;
            } else if (field_ == Field::AutoUpdates) {
                current().autoUpdates = value;
            } else if (field_ == Field::IsSecurityUpdate) {
                current().isSecurityUpdate = value;
            } else if (field_ != Field::Unknown) {
                wrongType();
            }
        } else if (place_ == Place::Analytics) {
            if (analyticsField_) notAnInteger();
        } else {
            scalarOutsideRecord();
        }
        return true;
    }

    bool number_integer(Json::number_integer_t value) { return integralNumber(static_cast<long long>(value)); }
    bool number_unsigned(Json::number_unsigned_t value) { return integralNumber(static_cast<long long>(value)); }

    bool number_float(Json::number_float_t value, const Json::string_t& /*text*/) {
        if (skipping()) return true;
        if (place_ == Place::Analytics) {
            if (!analyticsField_) return true;
            if (value != static_cast<double>(static_cast<long long>(value))) notAnInteger();
            setAnalytics(static_cast<long long>(value));
            return true;
        }
        return number(value);
    }

    bool string(std::string_view value) {
        if (skipping()) return true;
        switch (place_) {
            case Place::Package: setString(value); break;
            case Place::Strings: strings_.emplace_back(value); break;
            case Place::Analytics:
                if (analyticsField_) notAnInteger();
                break;
            default: scalarOutsideRecord();
        }
        return true;
    }


    bool start_object(std::size_t /*size*/) {
        if (skipping()) return ++skip_, true;
        switch (place_) {
            case Place::Top:
                if (top_ == Top::Array) failDecode("not an array");
                beginPackage();
                break;
            case Place::List: beginPackage(); break;
            case Place::Package:
                if (field_ == Field::Analytics) {
                    analytics_ = BrewAnalytics{};
                    analyticsField_ = nullptr;
                    place_ = Place::Analytics;
                } else if (field_ == Field::Unknown) {
                    skip_ = 1;
                } else {
                    wrongType();
                }
                break;
            case Place::Strings: failDecode("\"" + key_ + "\" holds a non-string");
            case Place::Analytics:
                if (analyticsField_) notAnInteger();
                skip_ = 1;
                break;
            case Place::Done: break;
        }
        return true;
    }

    bool end_object() {
        if (skipping()) return --skip_, true;
        if (place_ == Place::Analytics) {
            current().analytics = analytics_;
            place_ = Place::Package;
        } else if (place_ == Place::Package) {
            endPackage();
        }
        return true;
    }

    bool start_array(std::size_t /*size*/) {
        if (skipping()) return ++skip_, true;
        switch (place_) {
            case Place::Top:
                if (top_ == Top::Object) failDecode("not an object");
                place_ = Place::List;
                break;
            case Place::List: failDecode("not an object");
            case Place::Package:
                if (field_ == Field::Dependencies || field_ == Field::Conflicts || field_ == Field::Releases ||
                    field_ == Field::FixedVulnerabilities || field_ == Field::LatestVulnerabilities ||
                    field_ == Field::AttestedVersions) {
                    strings_.clear();
                    place_ = Place::Strings;
                } else if (field_ == Field::Unknown) {
                    skip_ = 1;
                } else {
                    wrongType();
                }
                break;
            case Place::Strings: failDecode("\"" + key_ + "\" holds a non-string");
            case Place::Analytics:
                if (analyticsField_) notAnInteger();
                skip_ = 1;
                break;
            case Place::Done: break;
        }
        return true;
    }

    bool end_array() {
        if (skipping()) return --skip_, true;
        if (place_ == Place::Strings && field_ == Field::Releases) {
            for (const std::string& text : strings_) {
                std::optional<PublishedRelease> release = releaseFromSavedForm(text);
                if (!release) failDecode("\"releases\" holds \"" + text + "\"");
                current().releases.push_back(std::move(*release));
            }
            strings_ = {};
            place_ = Place::Package;
        } else if (place_ == Place::Strings &&
                   (field_ == Field::FixedVulnerabilities || field_ == Field::LatestVulnerabilities)) {
            (field_ == Field::FixedVulnerabilities ? current().fixedVulnerabilities : current().latestVulnerabilities) =
                std::move(strings_);
            strings_ = {};
            place_ = Place::Package;
        } else if (place_ == Place::Strings && field_ == Field::AttestedVersions) {
            current().attestedVersions = std::move(strings_);
            strings_ = {};
            place_ = Place::Package;
        } else if (place_ == Place::Strings) {
            (field_ == Field::Dependencies ? current().dependencies : current().conflicts) = std::move(strings_);
            strings_ = {};
            place_ = Place::Package;
        } else if (place_ == Place::List) {
            place_ = Place::Done;
        }
        return true;
    }

    bool key(std::string_view name) {
        if (skipping()) return true;
        if (place_ == Place::Package) {
            field_ = Field::Unknown;
            key_ = name;
            for (const auto& [fieldName, field] : kFields) {
                if (fieldName == name) {
                    field_ = field;
                    break;
                }
            }
        } else if (place_ == Place::Analytics) {
            analyticsField_ = nullptr;
            if (name == kAnalyticsKeys[0]) analyticsField_ = &analytics_.downloads30d;
            if (name == kAnalyticsKeys[1]) analyticsField_ = &analytics_.downloads90d;
            if (name == kAnalyticsKeys[2]) analyticsField_ = &analytics_.downloads365d;
            if (analyticsField_) analyticsKey_ = name;
        }
        return true;
    }


private:
    enum class Place { Top, List, Package, Strings, Analytics, Done };

    bool skipping() const noexcept { return skip_ > 0; }
    // Records are built where they stay, in the output list.
    Package& current() { return out_.back(); }

    [[noreturn]] void wrongType() const {
        const char* kind = "a string";
        switch (field_) {
            case Field::Dependencies:
            case Field::Conflicts:
            case Field::Releases:
            case Field::FixedVulnerabilities:
            case Field::LatestVulnerabilities:
            case Field::AttestedVersions: kind = "an array"; break;
            case Field::InstallDate:
            case Field::ToolReleaseAgeSeconds: kind = "a number"; break;
            case Field::Analytics: kind = "an object"; break;
            case Field::IsPinned:
            case Field::RequiresManualInstaller:
            case Field::AutoUpdates:
            case Field::IsSecurityUpdate: kind = "a boolean"; break;
            default: break;
        }
        failDecode("\"" + key_ + "\" is not " + kind);
    }

    [[noreturn]] void notAnInteger() const { failDecode("\"" + analyticsKey_ + "\" is not an integer"); }

    void scalarOutsideRecord() const {
        if (place_ == Place::Strings) failDecode("\"" + key_ + "\" holds a non-string");
        if (place_ == Place::Done) return;
        failDecode(place_ == Place::Top && top_ == Top::Array ? "not an array" : "not an object");
    }

    void beginPackage() {
        out_.emplace_back();
        toolSeconds_.reset();
        toolSetting_.reset();
        id_.reset();
        name_.reset();
        version_.reset();
        type_.reset();
        field_ = Field::Unknown;
        place_ = Place::Package;
    }

    void endPackage() {
        if (id_) {
            auto parsed = Uuid::parse(*id_);
            if (!parsed) failDecode("\"id\" is not a UUID");
            current().id = *parsed;
        }
        if (!name_) failDecode("missing \"name\"");
        if (!version_) failDecode("missing \"version\"");
        if (!type_) failDecode("missing \"type\"");
        auto parsedType = packageTypeFromRawValue(*type_);
        if (!parsedType) failDecode("unknown type \"" + *type_ + "\"");
        current().name = std::move(*name_);
        current().version = std::move(*version_);
        current().type = *parsedType;
        if (toolSeconds_) current().toolReleaseAge = ToolReleaseAge{std::chrono::seconds(*toolSeconds_), toolSetting_.value_or("")};
        place_ = top_ == Top::Array ? Place::List : Place::Done;
    }

    std::optional<std::string>* stringField() {
        switch (field_) {
            case Field::Id: return &id_;
            case Field::Name: return &name_;
            case Field::Version: return &version_;
            case Field::Type: return &type_;
            case Field::LatestVersion: return &current().latestVersion;
            case Field::Description: return &current().description;
            case Field::Homepage: return &current().homepage;
            case Field::Size: return &current().size;
            case Field::License: return &current().license;
            case Field::Tap: return &current().tap;
            case Field::ReleaseNotes: return &current().releaseNotes;
            case Field::SourceIdentifier: return &current().sourceIdentifier;
            case Field::ToolReleaseAgeSetting: return &toolSetting_;
            default: return nullptr;
        }
    }

    void setString(std::string_view value) {
        if (field_ == Field::Unknown) return;
        std::optional<std::string>* target = stringField();
        if (target == nullptr) wrongType();
        if (*target) {
            (*target)->assign(value);
        } else {
            target->emplace(value);
        }
    }

    // A null value: the field is absent.
    void clear(Field field) {
        if (auto* target = stringField()) {
            target->reset();
            return;
        }
        switch (field) {
            case Field::Dependencies: current().dependencies.reset(); break;
            case Field::Conflicts: current().conflicts.reset(); break;
            case Field::InstallDate: current().installDate.reset(); break;
            case Field::Analytics: current().analytics.reset(); break;
            case Field::IsPinned: current().isPinned = false; break;
            case Field::RequiresManualInstaller: current().requiresManualInstaller = false; break;
            case Field::AutoUpdates: current().autoUpdates = false; break;
            case Field::IsSecurityUpdate: current().isSecurityUpdate = false; break;
            case Field::Releases: current().releases.clear(); break;
            case Field::FixedVulnerabilities: current().fixedVulnerabilities.clear(); break;
            case Field::LatestVulnerabilities: current().latestVulnerabilities.clear(); break;
            case Field::AttestedVersions: current().attestedVersions.reset(); break;
            case Field::ToolReleaseAgeSeconds: toolSeconds_.reset(); break;
            default: break;
        }
    }

    bool number(double value) {
        if (place_ == Place::Package) {
            if (field_ == Field::InstallDate) {
                current().installDate = fromReferenceSeconds(value);
            } else if (field_ == Field::ToolReleaseAgeSeconds) {
                if (!(value >= 0 && value < 1e12)) failDecode("\"toolMinimumReleaseAge\" is out of range");
                toolSeconds_ = static_cast<long long>(value);
            } else if (field_ != Field::Unknown) {
                wrongType();
            }
        } else {
            scalarOutsideRecord();
        }
        return true;
    }

    bool integralNumber(long long value) {
        if (skipping()) return true;
        if (place_ == Place::Analytics) {
            if (analyticsField_) setAnalytics(value);
            return true;
        }
        return number(static_cast<double>(value));
    }

    void setAnalytics(std::optional<long long> value) { *analyticsField_ = value; }

    Top top_;
    std::vector<Package>& out_;
    Place place_ = Place::Top;
    int skip_ = 0;  // depth inside a value nobody reads
    Field field_ = Field::Unknown;
    std::string key_;
    std::optional<std::string> id_, name_, version_, type_, toolSetting_;
    std::optional<long long> toolSeconds_;
    std::vector<std::string> strings_;
    BrewAnalytics analytics_;
    std::optional<long long>* analyticsField_ = nullptr;
    std::string analyticsKey_;
};

// Hands the parser's events to the reader in the form it takes them. Integers are told
// apart as the saved form writes them: signed where they fit, unsigned beyond.
class PackageEvents {
public:
    explicit PackageEvents(PackageReader& reader) : reader_(reader) {}

    bool Null() { return reader_.null(); }
    bool Bool(bool value) { return reader_.boolean(value); }
    bool Int(int value) { return reader_.number_integer(value); }
    bool Uint(unsigned value) { return reader_.number_integer(value); }
    bool Int64(std::int64_t value) { return reader_.number_integer(value); }
    bool Uint64(std::uint64_t value) {
        return value <= static_cast<std::uint64_t>(INT64_MAX) ? reader_.number_integer(static_cast<std::int64_t>(value))
                                                              : reader_.number_unsigned(value);
    }
    bool Double(double value) { return reader_.number_float(value, std::string()); }
    bool RawNumber(const char*, rapidjson::SizeType, bool) { return false; }  // asked only with a flag we do not give
    bool String(const char* text, rapidjson::SizeType length, bool) { return reader_.string({text, length}); }
    bool Key(const char* text, rapidjson::SizeType length, bool) { return reader_.key({text, length}); }
    bool StartObject() { return reader_.start_object(0); }
    bool EndObject(rapidjson::SizeType) { return reader_.end_object(); }
    bool StartArray() { return reader_.start_array(0); }
    bool EndArray(rapidjson::SizeType) { return reader_.end_array(); }

private:
    PackageReader& reader_;
};

void decode(std::string_view text, PackageReader& reader) {
    PackageEvents events(reader);
    parseJsonEvents(text, events);
}

template <typename T>
void writeOptional(JsonWriter& writer, const char* key, const std::optional<T>& value);

template <>
void writeOptional(JsonWriter& writer, const char* key, const std::optional<std::string>& value) {
    if (value) writer.key(key).string(*value);
}

template <>
void writeOptional(JsonWriter& writer, const char* key, const std::optional<long long>& value) {
    if (value) writer.key(key).integer(*value);
}

template <>
void writeOptional(JsonWriter& writer, const char* key, const std::optional<std::vector<std::string>>& value) {
    if (!value) return;
    writer.key(key).beginArray();
    for (const std::string& item : *value) writer.string(item);
    writer.endArray();
}

void writeJson(JsonWriter& writer, const BrewAnalytics& analytics) {
    writer.beginObject();
    writeOptional(writer, "downloads30d", analytics.downloads30d);
    writeOptional(writer, "downloads90d", analytics.downloads90d);
    writeOptional(writer, "downloads365d", analytics.downloads365d);
    writer.endObject();
}

}  // namespace

Json toJson(const BrewAnalytics& analytics) {
    std::string text;
    JsonWriter writer(text);
    writeJson(writer, analytics);
    return Json::parse(text);
}

void writeJson(JsonWriter& writer, const Package& package) {
    writer.beginObject();
    writer.key("id").string(package.id.toString());
    writer.key("name").string(package.name);
    writer.key("version").string(package.version);
    writer.key("type").string(rawValue(package.type));
    writeOptional(writer, "latestVersion", package.latestVersion);
    writeOptional(writer, "description", package.description);
    writeOptional(writer, "homepage", package.homepage);
    writeOptional(writer, "dependencies", package.dependencies);
    writeOptional(writer, "conflicts", package.conflicts);
    if (package.installDate) writer.key("installDate").number(toReferenceSeconds(*package.installDate));
    writeOptional(writer, "size", package.size);
    writeOptional(writer, "license", package.license);
    writeOptional(writer, "tap", package.tap);
    if (package.analytics) {
        writer.key("analytics");
        writeJson(writer, *package.analytics);
    }
    writer.key("isPinned").boolean(package.isPinned);
    writer.key("requiresManualInstaller").boolean(package.requiresManualInstaller);
    if (package.autoUpdates) writer.key("autoUpdates").boolean(true);
    if (package.isSecurityUpdate) writer.key("isSecurityUpdate").boolean(true);
    if (!package.releases.empty()) {
        writer.key("releases").beginArray();
        for (const PublishedRelease& release : package.releases) writer.string(savedForm(release));
        writer.endArray();
    }
    if (package.toolReleaseAge) {
        writer.key("toolMinimumReleaseAge").integer(package.toolReleaseAge->minimum.count());
        writer.key("toolReleaseAgeSetting").string(package.toolReleaseAge->setting);
    }
    for (const auto& [key, ids] : {std::pair{"fixedVulnerabilities", &package.fixedVulnerabilities},
                                   std::pair{"latestVulnerabilities", &package.latestVulnerabilities}}) {
        if (ids->empty()) continue;
        writer.key(key).beginArray();
        for (const std::string& id : *ids) writer.string(id);
        writer.endArray();
    }
    if (package.attestedVersions) {
        writer.key("attestedVersions").beginArray();
        for (const std::string& version : *package.attestedVersions) writer.string(version);
        writer.endArray();
    }
    writeOptional(writer, "releaseNotes", package.releaseNotes);
    writeOptional(writer, "sourceIdentifier", package.sourceIdentifier);
    writer.endObject();
}

Json toJson(const Package& package) {
    std::string text;
    JsonWriter writer(text);
    writeJson(writer, package);
    return Json::parse(text);
}

Package packageFromJson(const Json& json) {
    std::vector<Package> decoded;
    PackageReader reader(PackageReader::Top::Object, decoded);
    decode(dumpJson(json), reader);
    if (decoded.size() != 1) failDecode("not an object");
    return std::move(decoded.front());
}

void appendPackagesFromJsonText(std::string_view text, std::vector<Package>& packages) {
    const std::size_t before = packages.size();
    try {
        PackageReader reader(PackageReader::Top::Array, packages);
        decode(text, reader);
    } catch (...) {
        packages.erase(packages.begin() + static_cast<std::ptrdiff_t>(before), packages.end());
        throw;
    }
}

std::string ollamaModelsRoot(const std::string& home) {
    if (auto value = paths::environmentValue("OLLAMA_MODELS")) {
        std::string trimmed = trim(*value);
        if (!trimmed.empty()) return trimmed;
    }
    return home + "/.ollama/models";
}

std::string ollamaManifestPath(const std::string& modelName, const std::string& modelsRoot) {
    std::string model = modelName;
    std::string tag = "latest";
    if (auto colon = modelName.find(':'); colon != std::string::npos) {
        model = modelName.substr(0, colon);
        tag = modelName.substr(colon + 1);
    }
    std::string space = "library";
    if (auto slash = model.find('/'); slash != std::string::npos) {
        space = model.substr(0, slash);
        model = model.substr(slash + 1);
    }
    return modelsRoot + "/manifests/" + kOllamaRegistryFolder + "/" + space + "/" + model + "/" + tag;
}

std::optional<std::string> installLocation(const Package& package) { return installLocation(package, paths::home()); }

std::optional<std::string> installLocation(const Package& package, const std::string& home) {
    if (package.installLocationOverride && !package.installLocationOverride->empty()) {
        return package.installLocationOverride;
    }
    const std::string& name = package.name;
    switch (package.type) {
        case PackageType::BrewFormula: return "/opt/homebrew/Cellar/" + name;
        case PackageType::BrewCask: return "/opt/homebrew/Caskroom/" + name;
        case PackageType::NpmGlobal: return "/opt/homebrew/lib/node_modules/" + name;
        case PackageType::YarnGlobal: return home + "/.config/yarn/global/node_modules/" + name;
        case PackageType::CargoPackage: return home + "/.cargo/bin/" + name;
        case PackageType::UvTool: return home + "/.local/bin/" + name;
        case PackageType::MiseRuntime: return home + "/.local/share/mise/installs/" + name;
        case PackageType::NixPackage: return home + "/.nix-profile/bin/" + name;
        case PackageType::GoPackage: return home + "/go/bin/" + name;
        case PackageType::MacPorts: return "/opt/local/bin/" + name;
        case PackageType::SdkmanCandidate: return home + "/.sdkman/candidates/" + name;
        case PackageType::OllamaModel: return ollamaManifestPath(name, ollamaModelsRoot(home));
        default: return std::nullopt;
    }
}

void takeCheckResult(Package& installed, const Package& checked) {
    installed.latestVersion = checked.latestVersion;
    installed.releases = checked.releases;
    installed.toolReleaseAge = checked.toolReleaseAge;
    installed.attestedVersions = checked.attestedVersions;
    // What only the check knows: a security fix, and the release's details.
    installed.isSecurityUpdate = installed.isSecurityUpdate || checked.isSecurityUpdate;
    if (!installed.description) installed.description = checked.description;
    if (!installed.releaseNotes) installed.releaseNotes = checked.releaseNotes;
}

void applyReleaseAge(Package& package, const ReleaseAgeRule& rule, Clock::TimePoint now) {
    if (!rule.limits() || !package.latestVersion) return;
    if (compareVersions(package.version, *package.latestVersion) != VersionOrder::Ascending) return;
    ReleaseAgeDecision decision = decideReleaseAge(package.version, package.latestVersion, package.releases, rule, now);
    if (decision.verdict == ReleaseAgeVerdict::Fallback) package.latestVersion = decision.offered;
    package.releaseAge = std::move(decision);
}

bool provenanceLost(const Package& package) {
    if (!package.attestedVersions || !package.latestVersion) return false;
    const std::vector<std::string>& attested = *package.attestedVersions;
    auto has = [&attested](const std::string& version) {
        return std::find(attested.begin(), attested.end(), version) != attested.end();
    };
    return has(package.version) && !has(*package.latestVersion);
}

namespace {

// The texts joined and lower-cased, in one allocation: a key is made for every item of a list.
std::string lowerJoined(std::initializer_list<std::string_view> parts) {
    std::size_t size = 0;
    for (std::string_view part : parts) size += part.size();
    std::string text;
    text.reserve(size);
    for (std::string_view part : parts) text.append(part);
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

}  // namespace

std::string stableKey(const Package& package) {
    const std::string& base = package.tap ? *package.tap : package.name;
    const bool hasSource = package.sourceIdentifier && !package.sourceIdentifier->empty();
    switch (package.type) {
        case PackageType::PipPackage:
            return hasSource ? lowerJoined({"package:python (pip):", *package.sourceIdentifier, ":", package.name})
                             : lowerJoined({"package:python (pip):", package.name});
        case PackageType::CondaPackage:
            return hasSource ? lowerJoined({"package:conda:", *package.sourceIdentifier, ":", package.name})
                             : lowerJoined({"package:conda:", package.id.toString()});
        // Two copies of one AppImage, or two docks of one model, are two items.
        case PackageType::AppImage:
            return hasSource ? "package:appimage:" + *package.sourceIdentifier : lowerJoined({"package:appimage:", package.name});
        case PackageType::Firmware:
            return hasSource ? lowerJoined({"package:firmware:", *package.sourceIdentifier})
                             : lowerJoined({"package:firmware:", package.name});
        case PackageType::VscodeExtension: return lowerJoined({"vscode:", base});
        case PackageType::CursorExtension: return lowerJoined({"cursor:", base});
        case PackageType::VscodiumExtension: return lowerJoined({"vscodium:", base});
        case PackageType::VscodeInsidersExtension: return lowerJoined({"vscode-insiders:", base});
        case PackageType::WindsurfExtension: return lowerJoined({"windsurf:", base});
        default: return lowerJoined({"package:", rawValue(package.type), ":", package.name});
    }
}

}  // namespace vt

std::size_t std::hash<vt::Package>::operator()(const vt::Package& package) const noexcept {
    std::size_t h = std::hash<vt::Uuid>{}(package.id);
    auto mix = [&h](std::size_t value) { h ^= value + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2); };
    mix(std::hash<std::string>{}(package.name));
    mix(std::hash<std::string>{}(package.version));
    mix(static_cast<std::size_t>(package.type));
    if (package.latestVersion) mix(std::hash<std::string>{}(*package.latestVersion));
    if (package.sourceIdentifier) mix(std::hash<std::string>{}(*package.sourceIdentifier));
    mix(package.isPinned);
    mix(package.requiresManualInstaller);
    return h;
}
