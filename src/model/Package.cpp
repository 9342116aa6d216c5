#include "model/Package.hpp"

#include "base/Paths.hpp"
#include "base/Strings.hpp"

namespace vt {

namespace {

// Ollama's default registry host, as Ollama itself names the folder of its manifests.
constexpr const char* kOllamaRegistryFolder = "registry.ollama.ai";

[[noreturn]] void failDecode(const std::string& why) { throw PackageDecodingError("Cannot decode package: " + why); }

const Json* member(const Json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) return nullptr;
    return &*it;
}

std::string requiredString(const Json& object, const char* key) {
    const Json* value = member(object, key);
    if (value == nullptr) failDecode(std::string("missing \"") + key + "\"");
    if (!value->is_string()) failDecode(std::string("\"") + key + "\" is not a string");
    return value->get<std::string>();
}

std::optional<std::string> optionalString(const Json& object, const char* key) {
    const Json* value = member(object, key);
    if (value == nullptr) return std::nullopt;
    if (!value->is_string()) failDecode(std::string("\"") + key + "\" is not a string");
    return value->get<std::string>();
}

bool optionalBool(const Json& object, const char* key) {
    const Json* value = member(object, key);
    if (value == nullptr) return false;
    if (!value->is_boolean()) failDecode(std::string("\"") + key + "\" is not a boolean");
    return value->get<bool>();
}

std::optional<std::vector<std::string>> optionalStrings(const Json& object, const char* key) {
    const Json* value = member(object, key);
    if (value == nullptr) return std::nullopt;
    if (!value->is_array()) failDecode(std::string("\"") + key + "\" is not an array");
    std::vector<std::string> items;
    for (const Json& item : *value) {
        if (!item.is_string()) failDecode(std::string("\"") + key + "\" holds a non-string");
        items.push_back(item.get<std::string>());
    }
    return items;
}

std::optional<long long> optionalInteger(const Json& object, const char* key) {
    const Json* value = member(object, key);
    if (value == nullptr) return std::nullopt;
    if (value->is_number_integer()) return value->get<long long>();
    if (value->is_number_float()) {
        double number = value->get<double>();
        if (number == static_cast<double>(static_cast<long long>(number))) return static_cast<long long>(number);
    }
    failDecode(std::string("\"") + key + "\" is not an integer");
}

template <typename T>
void putOptional(Json& json, const char* key, const std::optional<T>& value) {
    if (value) json[key] = *value;
}

}  // namespace

Json toJson(const BrewAnalytics& analytics) {
    Json json = Json::object();
    putOptional(json, "downloads30d", analytics.downloads30d);
    putOptional(json, "downloads90d", analytics.downloads90d);
    putOptional(json, "downloads365d", analytics.downloads365d);
    return json;
}

Json toJson(const Package& package) {
    Json json = Json::object();
    json["id"] = package.id.toString();
    json["name"] = package.name;
    json["version"] = package.version;
    json["type"] = std::string(rawValue(package.type));
    putOptional(json, "latestVersion", package.latestVersion);
    putOptional(json, "description", package.description);
    putOptional(json, "homepage", package.homepage);
    putOptional(json, "dependencies", package.dependencies);
    putOptional(json, "conflicts", package.conflicts);
    if (package.installDate) json["installDate"] = toReferenceSeconds(*package.installDate);
    putOptional(json, "size", package.size);
    putOptional(json, "license", package.license);
    putOptional(json, "tap", package.tap);
    if (package.analytics) json["analytics"] = toJson(*package.analytics);
    json["isPinned"] = package.isPinned;
    json["requiresManualInstaller"] = package.requiresManualInstaller;
    if (package.autoUpdates) json["autoUpdates"] = true;
    putOptional(json, "releaseNotes", package.releaseNotes);
    putOptional(json, "sourceIdentifier", package.sourceIdentifier);
    return json;
}

Package packageFromJson(const Json& json) {
    if (!json.is_object()) failDecode("not an object");
    Package package;
    if (auto id = optionalString(json, "id")) {
        auto parsed = Uuid::parse(*id);
        if (!parsed) failDecode("\"id\" is not a UUID");
        package.id = *parsed;
    }
    package.name = requiredString(json, "name");
    package.version = requiredString(json, "version");
    std::string type = requiredString(json, "type");
    auto parsedType = packageTypeFromRawValue(type);
    if (!parsedType) failDecode("unknown type \"" + type + "\"");
    package.type = *parsedType;
    package.latestVersion = optionalString(json, "latestVersion");
    package.description = optionalString(json, "description");
    package.homepage = optionalString(json, "homepage");
    package.dependencies = optionalStrings(json, "dependencies");
    package.conflicts = optionalStrings(json, "conflicts");
    if (const Json* date = member(json, "installDate")) {
        if (!date->is_number()) failDecode("\"installDate\" is not a number");
        package.installDate = fromReferenceSeconds(date->get<double>());
    }
    package.size = optionalString(json, "size");
    package.license = optionalString(json, "license");
    package.tap = optionalString(json, "tap");
    if (const Json* analytics = member(json, "analytics")) {
        if (!analytics->is_object()) failDecode("\"analytics\" is not an object");
        package.analytics = BrewAnalytics{optionalInteger(*analytics, "downloads30d"),
                                          optionalInteger(*analytics, "downloads90d"),
                                          optionalInteger(*analytics, "downloads365d")};
    }
    package.isPinned = optionalBool(json, "isPinned");
    package.requiresManualInstaller = optionalBool(json, "requiresManualInstaller");
    package.autoUpdates = optionalBool(json, "autoUpdates");
    package.releaseNotes = optionalString(json, "releaseNotes");
    package.sourceIdentifier = optionalString(json, "sourceIdentifier");
    return package;
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

std::string stableKey(const Package& package) {
    const std::string& base = package.tap ? *package.tap : package.name;
    const bool hasSource = package.sourceIdentifier && !package.sourceIdentifier->empty();
    switch (package.type) {
        case PackageType::PipPackage:
            return toLower(hasSource ? "package:python (pip):" + *package.sourceIdentifier + ":" + package.name
                                     : "package:python (pip):" + package.name);
        case PackageType::CondaPackage:
            return toLower(hasSource ? "package:conda:" + *package.sourceIdentifier + ":" + package.name
                                     : "package:conda:" + package.id.toString());
        case PackageType::VscodeExtension: return toLower("vscode:" + base);
        case PackageType::CursorExtension: return toLower("cursor:" + base);
        case PackageType::VscodiumExtension: return toLower("vscodium:" + base);
        case PackageType::VscodeInsidersExtension: return toLower("vscode-insiders:" + base);
        case PackageType::WindsurfExtension: return toLower("windsurf:" + base);
        default: return toLower("package:" + std::string(rawValue(package.type)) + ":" + package.name);
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
    mix(package.autoUpdates);
    return h;
}
