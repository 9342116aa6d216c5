#include "core/ScanResultsPersistence.hpp"

#include <filesystem>
#include <map>
#include <stdexcept>

#include "base/Files.hpp"
#include "base/Log.hpp"
#include "base/Paths.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger log("ScanResultsPersistence");
    return log;
}

constexpr const char* kMetadataFile = "scan_metadata.json";
constexpr const char* kPackagesFile = "packages.json";
constexpr const char* kFrameworksFile = "framework_classification.json";
constexpr const char* kAdoptableFile = "adoptable_apps.json";

// Kinds whose records have a file of their own; every other kind goes to packages.json.
// One line per source.
const std::map<PackageType, std::string>& dedicatedFiles() {
    static const std::map<PackageType, std::string> files = {
        {PackageType::UvTool, "uv_tools.json"},
        {PackageType::RubyGem, "gems.json"},
        {PackageType::CargoPackage, "cargo_crates.json"},
        {PackageType::VscodeExtension, "vscode_extensions.json"},
        {PackageType::CursorExtension, "cursor_extensions.json"},
        {PackageType::VscodeInsidersExtension, "vscode_insiders_extensions.json"},
        {PackageType::VscodiumExtension, "vscodium_extensions.json"},
        {PackageType::WindsurfExtension, "windsurf_extensions.json"},
        {PackageType::YarnGlobal, "yarn_packages.json"},
        {PackageType::TlmgrPackage, "tlmgr_packages.json"},
        {PackageType::SdkmanCandidate, "sdkman_candidates.json"},
        {PackageType::ComposerPackage, "composer_packages.json"},
        {PackageType::CondaPackage, "conda_packages.json"},
        {PackageType::GoPackage, "go_packages.json"},
        {PackageType::MacPorts, "macports_packages.json"},
        {PackageType::NixPackage, "nix_packages.json"},
        {PackageType::RustupToolchain, "rustup_toolchains.json"},
        {PackageType::OllamaModel, "ollama_models.json"},
        {PackageType::FlutterSDK, "flutter_sdk.json"},
        {PackageType::AdobeCCApp, "adobe_cc_packages.json"},
        {PackageType::QtPackage, "qt_packages.json"},
        {PackageType::AndroidSDKPackage, "android_sdk_packages.json"},
        {PackageType::MsOfficeApp, "msoffice_packages.json"},
    };
    return files;
}

long long integer(const Json& json, const char* key) {
    auto value = integerField(json, key);
    if (!value) throw std::invalid_argument(std::string("missing \"") + key + "\"");
    return *value;
}

std::vector<std::string> strings(const Json& json, const char* key) {
    std::vector<std::string> values;
    if (json.is_object() && json.contains(key) && json[key].is_array()) {
        for (const auto& item : json[key]) {
            if (item.is_string()) values.push_back(item.get<std::string>());
        }
    }
    return values;
}

}  // namespace

Json ScanMetadata::toJson() const {
    Json json = Json::object();
    json["lastScanDate"] = toReferenceSeconds(lastScanDate);
    json["packagesCount"] = packagesCount;
    json["applicationsCount"] = applicationsCount;
    json["macAppStoreAppsCount"] = macAppStoreAppsCount;
    json["sparkleAppsCount"] = sparkleAppsCount;
    json["systemExtensionsCount"] = systemExtensionsCount;
    json["filesScannedCount"] = filesScannedCount;
    json["sourcesScannedCount"] = sourcesScannedCount;
    json["homebrewTapsCount"] = homebrewTapsCount;
    json["homebrewLeavesCount"] = homebrewLeavesCount;
    json["wasCleanExit"] = wasCleanExit;
    json["generation"] = generation;
    Json states = Json::array();
    for (const auto& source : sources) states.push_back(source.toJson());
    json["sources"] = std::move(states);
    if (lastFullScanDate) json["lastFullScanDate"] = toReferenceSeconds(*lastFullScanDate);
    json["fullScanSourceIds"] = fullScanSourceIds;
    return json;
}

Json SourceScanState::toJson() const {
    Json json = Json::object();
    json["id"] = id;
    json["name"] = name;
    if (failure) json["failure"] = *failure;
    if (itemsDate) json["itemsDate"] = toReferenceSeconds(*itemsDate);
    return json;
}

SourceScanState SourceScanState::fromJson(const Json& json) {
    auto id = stringField(json, "id");
    if (!id) throw std::invalid_argument("missing \"id\"");
    SourceScanState state;
    state.id = *id;
    state.name = stringField(json, "name").value_or(*id);
    state.failure = stringField(json, "failure");
    if (auto date = numberField(json, "itemsDate")) state.itemsDate = fromReferenceSeconds(*date);
    return state;
}

ScanMetadata ScanMetadata::fromJson(const Json& json) {
    auto date = numberField(json, "lastScanDate");
    auto clean = boolField(json, "wasCleanExit");
    if (!date || !clean) throw std::invalid_argument("missing \"lastScanDate\" or \"wasCleanExit\"");
    ScanMetadata metadata;
    metadata.lastScanDate = fromReferenceSeconds(*date);
    metadata.packagesCount = integer(json, "packagesCount");
    metadata.applicationsCount = integer(json, "applicationsCount");
    metadata.macAppStoreAppsCount = integer(json, "macAppStoreAppsCount");
    metadata.sparkleAppsCount = integer(json, "sparkleAppsCount");
    metadata.systemExtensionsCount = integer(json, "systemExtensionsCount");
    metadata.filesScannedCount = integer(json, "filesScannedCount");
    metadata.sourcesScannedCount = integer(json, "sourcesScannedCount");
    metadata.homebrewTapsCount = integer(json, "homebrewTapsCount");
    metadata.homebrewLeavesCount = integer(json, "homebrewLeavesCount");
    metadata.wasCleanExit = *clean;
    // Absent from the files of earlier versions.
    metadata.generation = integerField(json, "generation").value_or(0);
    if (json.contains("sources") && json["sources"].is_array()) {
        for (const auto& source : json["sources"]) metadata.sources.push_back(SourceScanState::fromJson(source));
    }
    if (auto date = numberField(json, "lastFullScanDate")) metadata.lastFullScanDate = fromReferenceSeconds(*date);
    metadata.fullScanSourceIds = strings(json, "fullScanSourceIds");
    return metadata;
}

Json FrameworkClassification::toJson() const {
    Json json = Json::object();
    json["tauri"] = tauri;
    json["electron"] = electron;
    return json;
}

FrameworkClassification FrameworkClassification::fromJson(const Json& json) {
    return {strings(json, "tauri"), strings(json, "electron")};
}

Json PersistedAdoptableApp::toJson() const {
    Json json = Json::object();
    json["id"] = id;
    json["name"] = name;
    json["path"] = path;
    json["caskToken"] = caskToken;
    json["caskVersion"] = caskVersion;
    json["installedVersion"] = installedVersion;
    json["sourceKindRawValue"] = sourceKindRawValue;
    json["matchConfidenceRawValue"] = matchConfidenceRawValue;
    return json;
}

PersistedAdoptableApp PersistedAdoptableApp::fromJson(const Json& json) {
    auto field = [&](const char* key) {
        auto value = stringField(json, key);
        if (!value) throw std::invalid_argument(std::string("missing \"") + key + "\"");
        return *value;
    };
    return {field("id"),          field("name"),           field("path"),
            field("caskToken"),   field("caskVersion"),    field("installedVersion"),
            field("sourceKindRawValue"), field("matchConfidenceRawValue")};
}

ScanResultsPersistence::ScanResultsPersistence(std::string folder) : folder_(std::move(folder)) {
    paths::ensureFolder(folder_);
    removeStaleTemporaries(folder_);
}

std::string ScanResultsPersistence::defaultFolder() { return paths::supportFolder() + "/ScanResults"; }

std::string ScanResultsPersistence::fileFor(PackageType type) {
    auto it = dedicatedFiles().find(type);
    return it == dedicatedFiles().end() ? kPackagesFile : it->second;
}

bool ScanResultsPersistence::write(const std::string& fileName, const Json& json) const {
    try {
        paths::ensureFolder(folder_);
        writeFileAtomically(folder_ + "/" + fileName, dumpJson(json));
        return true;
    } catch (const std::exception& error) {
        logger().error("[ScanPersistence] Erreur sauvegarde " + fileName + ": " + error.what());
        return false;
    }
}

std::vector<std::string> ScanResultsPersistence::save(const PersistedScanResults& results) const {
    std::map<std::string, Json> files;
    files[kPackagesFile] = Json::array();
    for (const auto& [type, file] : dedicatedFiles()) files[file] = Json::array();
    for (const Package& package : results.packages) files[fileFor(package.type)].push_back(toJson(package));
    if (results.metadata) files[kMetadataFile] = results.metadata->toJson();
    if (results.frameworks) files[kFrameworksFile] = results.frameworks->toJson();
    Json adoptable = Json::array();
    for (const auto& app : results.adoptableApps) adoptable.push_back(app.toJson());
    files[kAdoptableFile] = std::move(adoptable);

    std::vector<std::string> failed;
    // The metadata goes last: it says the rest is complete.
    for (const auto& [name, json] : files) {
        if (name == kMetadataFile) continue;
        // A source that never had items leaves no file; one that had some gets its empty list.
        bool known = name == kPackagesFile || name == kAdoptableFile || !json.empty() ||
                     std::filesystem::exists(folder_ + "/" + name);
        if (known && !write(name, json)) failed.push_back(name);
    }
    if (files.count(kMetadataFile) && !write(kMetadataFile, files[kMetadataFile])) failed.push_back(kMetadataFile);
    return failed;
}

std::optional<Json> ScanResultsPersistence::read(const std::string& fileName, const char* failureLine) const {
    auto contents = readFile(folder_ + "/" + fileName);
    if (!contents) return std::nullopt;
    auto json = parseJson(*contents);
    if (!json) {
        logger().warning(std::string(failureLine) + "invalid JSON in " + fileName);
        return std::nullopt;
    }
    return json;
}

std::optional<ScanMetadata> ScanResultsPersistence::loadMetadata() const {
    if (auto json = read(kMetadataFile, "⚠️ [ScanPersistence] Erreur chargement metadata: ")) {
        try {
            return ScanMetadata::fromJson(*json);
        } catch (const std::exception& error) {
            logger().warning(std::string("⚠️ [ScanPersistence] Erreur chargement metadata: ") + error.what());
        }
    }
    return std::nullopt;
}

PersistedScanResults ScanResultsPersistence::load() const {
    paths::ensureFolder(folder_);
    PersistedScanResults results;
    results.metadata = loadMetadata();
    std::vector<std::string> packageFiles = {kPackagesFile};
    for (const auto& [type, file] : dedicatedFiles()) packageFiles.push_back(file);
    for (const auto& file : packageFiles) {
        auto json = read(file, "⚠️ [ScanPersistence] Erreur chargement packages: ");
        if (!json) continue;
        // One bad record makes the whole file unreadable, as a strict decoder would.
        try {
            if (!json->is_array()) throw PackageDecodingError("not an array");
            std::vector<Package> decoded;
            for (const auto& item : *json) decoded.push_back(packageFromJson(item));
            results.packages.insert(results.packages.end(), decoded.begin(), decoded.end());
        } catch (const std::exception& error) {
            logger().warning(std::string("⚠️ [ScanPersistence] Erreur chargement packages: ") + file + ": " +
                             error.what());
        }
    }
    if (auto json = read(kFrameworksFile, "⚠️ [ScanPersistence] Erreur chargement frameworks: ")) {
        results.frameworks = FrameworkClassification::fromJson(*json);
    }
    if (auto json = read(kAdoptableFile, "⚠️ [ScanPersistence] Erreur chargement adoptable apps: ")) {
        try {
            if (json->is_array()) {
                for (const auto& item : *json) results.adoptableApps.push_back(PersistedAdoptableApp::fromJson(item));
            }
        } catch (const std::exception& error) {
            results.adoptableApps.clear();
            logger().warning(std::string("⚠️ [ScanPersistence] Erreur chargement adoptable apps: ") + error.what());
        }
    }
    return results;
}

}  // namespace vt
