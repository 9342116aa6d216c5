#include "core/ScanResultsPersistence.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "base/Files.hpp"
#include "base/HugePages.hpp"
#include "base/Localization.hpp"
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
constexpr const char* kApplicationsFile = "applications.json";
// Ours: how the application folders were searched, for `vantreel apps --verbose`.
constexpr const char* kApplicationDiagnosticsFile = "app_scan_diagnostics.json";

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
        {PackageType::DockerImage, "docker_images.json"},
        {PackageType::AiPlugin, "ai_plugin_updates.json"},
        {PackageType::AiMarketplace, "ai_marketplace_updates.json"},
        {PackageType::AiSkill, "ai_skill_updates.json"},
        {PackageType::AppleDeveloperTool, "apple_developer_tools.json"},
    };
    return files;
}

// A saved list mapped rather than copied: its bytes are read where the page cache holds them.
// Our files are only ever replaced by a rename, never rewritten in place, so a mapping never
// sees its file shrink.
class MappedFile {
public:
    explicit MappedFile(const std::string& path) {
        // Not blocked by a FIFO put in the file's place; only a regular file within the
        // readers' limit is mapped, anything else reads as empty and so as unreadable. One
        // that is there but may not be read is unreadable too, not missing.
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) {
            exists_ = errno != ENOENT && errno != ENOTDIR;
            return;
        }
        exists_ = true;
        struct stat status {};
        if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0 &&
            static_cast<std::uint64_t>(status.st_size) <= kMaxReadFileBytes) {
            size_ = static_cast<std::size_t>(status.st_size);
            void* address = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
            if (address == MAP_FAILED) {
                size_ = 0;
                exists_ = false;
            } else {
                data_ = static_cast<const char*>(address);
            }
        }
        ::close(fd);
    }
    ~MappedFile() {
        if (data_ != nullptr) ::munmap(const_cast<char*>(data_), size_);
    }
    MappedFile(MappedFile&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)),
          exists_(std::exchange(other.exists_, false)) {}
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    MappedFile& operator=(MappedFile&&) = delete;

    bool exists() const noexcept { return exists_; }
    std::string_view text() const noexcept { return data_ == nullptr ? std::string_view() : std::string_view(data_, size_); }

private:
    const char* data_ = nullptr;
    std::size_t size_ = 0;
    bool exists_ = false;
};

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
    if (vulnerabilityCheckFailure) json["vulnerabilityCheckFailure"] = *vulnerabilityCheckFailure;
    json["messagesLanguage"] = languageCode(currentLanguage());
    Json inputs = Json::array();
    for (const SourceInputs& source : sourceInputs) {
        Json entry = {{"id", source.id}, {"inputs", source.inputs}};
        if (source.checkedAt) entry["checkedAt"] = toReferenceSeconds(*source.checkedAt);
        if (source.latestUnknown) entry["latestUnknown"] = true;
        inputs.push_back(std::move(entry));
    }
    json["sourceInputs"] = std::move(inputs);
    return json;
}

Json SourceScanState::toJson() const {
    Json json = Json::object();
    json["id"] = id;
    json["name"] = name;
    if (failure) json["failure"] = *failure;
    if (warning) json["warning"] = *warning;
    if (latestVersionsUnknown) json["latestVersionsUnknown"] = true;
    if (itemsDate) json["itemsDate"] = toReferenceSeconds(*itemsDate);
    if (durationSeconds) json["durationSeconds"] = *durationSeconds;
    if (!latestKnown) json["latestKnown"] = false;
    return json;
}

SourceScanState SourceScanState::fromJson(const Json& json) {
    auto id = stringField(json, "id");
    if (!id) throw std::invalid_argument("missing \"id\"");
    SourceScanState state;
    state.id = *id;
    state.name = stringField(json, "name").value_or(*id);
    state.failure = stringField(json, "failure");
    state.warning = stringField(json, "warning");
    state.latestVersionsUnknown = boolField(json, "latestVersionsUnknown").value_or(false);
    if (auto date = numberField(json, "itemsDate")) state.itemsDate = fromReferenceSeconds(*date);
    state.durationSeconds = numberField(json, "durationSeconds");
    // Absent from the files of earlier versions, which knew only failures.
    state.latestKnown = boolField(json, "latestKnown").value_or(!state.failure);
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
    metadata.vulnerabilityCheckFailure = stringField(json, "vulnerabilityCheckFailure");
    // Why a source failed is saved as the text the scan showed, in its language. Read under
    // another language it would mix two on one screen: a sentence of this language stands in,
    // and the next scan says why again.
    if (auto language = stringField(json, "messagesLanguage"); language && *language != languageCode(currentLanguage())) {
        for (SourceScanState& state : metadata.sources) {
            if (state.failure) state.failure = localized("scan.source.failure_in_other_language");
            if (state.warning) state.warning = localized("scan.source.warning_in_other_language");
        }
        if (metadata.vulnerabilityCheckFailure) {
            metadata.vulnerabilityCheckFailure = localized("scan.source.reason_in_other_language");
        }
    }
    if (json.contains("sourceInputs") && json["sourceInputs"].is_array()) {
        for (const auto& entry : json["sourceInputs"]) {
            auto id = entry.is_object() ? stringField(entry, "id") : std::nullopt;
            auto inputs = id ? stringField(entry, "inputs") : std::nullopt;
            if (!inputs) continue;  // an entry of no use is dropped: that source lists again
            SourceInputs source{*id, *inputs, std::nullopt};
            if (auto checked = numberField(entry, "checkedAt")) source.checkedAt = fromReferenceSeconds(*checked);
            source.latestUnknown = boolField(entry, "latestUnknown").value_or(false);
            metadata.sourceInputs.push_back(std::move(source));
        }
    }
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

namespace {

std::string adoptableText(const std::vector<PersistedAdoptableApp>& apps) {
    Json adoptable = Json::array();
    for (const auto& app : apps) adoptable.push_back(app.toJson());
    return dumpJson(adoptable);
}

std::string applicationsText(const std::vector<Application>& applications) {
    std::string text;
    JsonWriter writer(text);
    writer.beginArray();
    for (const Application& application : applications) writer.value(toJson(application));
    writer.endArray();
    return text;
}

}  // namespace

// The folder is made by the first save: reading makes nothing.
ScanResultsPersistence::ScanResultsPersistence(std::string folder) : folder_(std::move(folder)) {
    removeStaleTemporaries(folder_);
}

std::string ScanResultsPersistence::defaultFolder() { return paths::supportFolder() + "/ScanResults"; }

std::string ScanResultsPersistence::fileFor(PackageType type) {
    auto it = dedicatedFiles().find(type);
    return it == dedicatedFiles().end() ? kPackagesFile : it->second;
}

bool ScanResultsPersistence::write(const std::string& fileName, const std::string& text) const {
    try {
        paths::ensureFolder(folder_);
        writeFileAtomically(folder_ + "/" + fileName, text, 0644, Durability::Unflushed);
        return true;
    } catch (const std::exception& error) {
        logger().error(localized("log.persistence.save_failed", {fileName, error.what()}));
        return false;
    }
}

std::vector<std::string> ScanResultsPersistence::save(const PersistedScanResults& results) const {
    std::map<std::string, std::vector<const Package*>> packageFiles;
    packageFiles[kPackagesFile];
    for (const auto& [type, file] : dedicatedFiles()) packageFiles[file];
    for (const Package& package : results.packages) packageFiles[fileFor(package.type)].push_back(&package);

    std::map<std::string, std::string> files;
    for (const auto& [name, packages] : packageFiles) {
        // A source that never had items leaves no file; one that had some gets its empty list.
        bool known = name == kPackagesFile || !packages.empty() || std::filesystem::exists(folder_ + "/" + name);
        if (!known) continue;
        std::string& text = files[name];
        JsonWriter writer(text);
        writer.beginArray();
        for (const Package* package : packages) writeJson(writer, *package);
        writer.endArray();
    }
    if (results.frameworks) files[kFrameworksFile] = dumpJson(results.frameworks->toJson());
    if (results.adoptableApps) files[kAdoptableFile] = adoptableText(*results.adoptableApps);
    // Like a source's list: none saved yet and none found leaves no file.
    if (results.applications &&
        (!results.applications->empty() || std::filesystem::exists(folder_ + "/" + kApplicationsFile))) {
        files[kApplicationsFile] = applicationsText(*results.applications);
    }
    if (results.applicationDiagnostics) {
        files[kApplicationDiagnosticsFile] = dumpJson(results.applicationDiagnostics->toJson());
    }

    std::vector<FileToWrite> writes;
    std::vector<std::string> names;
    for (const auto& [name, text] : files) {
        writes.push_back({folder_ + "/" + name, text});
        names.push_back(name);
    }
    // The metadata goes last: it says the rest is complete.
    std::string metadata;
    if (results.metadata) {
        metadata = dumpJson(results.metadata->toJson());
        writes.push_back({folder_ + "/" + kMetadataFile, metadata});
        names.push_back(kMetadataFile);
    }
    std::vector<std::string> failed;
    auto fail = [&failed](const std::string& what, const std::string& why) {
        failed.push_back(localized("log.persistence.save_failed", {what, why}));
        logger().error(failed.back());
    };
    std::error_code folderError;
    std::filesystem::create_directories(folder_, folderError);
    if (!folderError && !std::filesystem::is_directory(folder_, folderError)) {
        folderError = std::make_error_code(std::errc::not_a_directory);
    }
    if (folderError) {
        fail(folder_, folderError.message());
        return failed;
    }
    std::vector<std::optional<std::string>> errors = writeFilesAtomically(writes);
    for (std::size_t i = 0; i < errors.size(); ++i) {
        if (errors[i]) fail(names[i], *errors[i]);
    }
    return failed;
}

std::optional<Json> ScanResultsPersistence::read(const std::string& fileName, const char* failureKey) const {
    auto contents = readFile(folder_ + "/" + fileName);
    if (!contents) return std::nullopt;
    auto json = parseJson(*contents);
    if (!json) {
        logger().warning(localized(failureKey, {localized("log.persistence.invalid_json", {fileName})}));
        return std::nullopt;
    }
    return json;
}

std::optional<ScanMetadata> ScanResultsPersistence::loadMetadata() const {
    if (auto json = read(kMetadataFile, "log.persistence.metadata_unreadable")) {
        try {
            return ScanMetadata::fromJson(*json);
        } catch (const std::exception& error) {
            logger().warning(localized("log.persistence.metadata_unreadable", {error.what()}));
        }
    }
    return std::nullopt;
}

PersistedApplications ScanResultsPersistence::loadApplications() const {
    PersistedApplications saved;
    const char* failureKey = "log.persistence.applications_unreadable";
    if (MappedFile mapped(folder_ + "/" + kApplicationsFile); mapped.exists()) {
        try {
            saved.applications = applicationsFromJsonText(mapped.text());
        } catch (const JsonSyntaxError&) {
            logger().warning(localized(failureKey, {localized("log.persistence.invalid_json", {kApplicationsFile})}));
        } catch (const std::exception& error) {
            logger().warning(localized(failureKey, {error.what()}));
        }
    }
    if (auto json = read(kApplicationDiagnosticsFile, failureKey)) {
        try {
            saved.diagnostics = ScanDiagnostics::fromJson(*json);
        } catch (const std::exception& error) {
            logger().warning(localized(failureKey, {error.what()}));
        }
    }
    return saved;
}

PersistedScanResults ScanResultsPersistence::load() const {
    PersistedScanResults results;
    results.metadata = loadMetadata();
    std::vector<std::string> packageFiles = {kPackagesFile};
    for (const auto& [type, file] : dedicatedFiles()) packageFiles.push_back(file);
    const char* failureKey = "log.persistence.packages_unreadable";
    std::vector<std::pair<std::string, MappedFile>> contents;
    std::size_t bytes = 0;
    for (const auto& file : packageFiles) {
        MappedFile mapped(folder_ + "/" + file);
        if (!mapped.exists()) continue;
        bytes += mapped.text().size();
        contents.emplace_back(file, std::move(mapped));
    }
    // Room for every record at once (a record takes a hundred bytes of text or more), so
    // that none is moved while the lists are read.
    results.packages.reserve(bytes / 100);
    inHugePages(results.packages.data(), results.packages.capacity() * sizeof(Package));
    for (const auto& [file, mapped] : contents) {
        // A file with nothing in it (or that is no file at all) holds no list.
        if (mapped.text().empty()) {
            logger().warning(localized(failureKey, {localized("log.persistence.nothing_readable", {file})}));
            results.unreadableFiles.push_back(file);
            continue;
        }
        // Decoded straight into records; one bad record makes the whole file unreadable, as
        // a strict decoder would, and leaves the other files alone.
        try {
            appendPackagesFromJsonText(mapped.text(), results.packages);
        } catch (const JsonSyntaxError&) {
            logger().warning(localized(failureKey, {localized("log.persistence.invalid_json", {file})}));
            results.unreadableFiles.push_back(file);
        } catch (const std::exception& error) {
            logger().warning(localized(failureKey, {localized("log.source_failed", {file, error.what()})}));
            results.unreadableFiles.push_back(file);
        }
    }
    if (auto json = read(kFrameworksFile, "log.persistence.frameworks_unreadable")) {
        results.frameworks = FrameworkClassification::fromJson(*json);
    }
    results.adoptableApps = loadAdoptableApps();
    return results;
}

bool ScanResultsPersistence::saveApplications(const std::vector<Application>& applications) const {
    return write(kApplicationsFile, applicationsText(applications));
}

bool ScanResultsPersistence::saveAdoptableApps(const std::vector<PersistedAdoptableApp>& apps) const {
    return write(kAdoptableFile, adoptableText(apps));
}

std::vector<PersistedAdoptableApp> ScanResultsPersistence::loadAdoptableApps() const {
    std::vector<PersistedAdoptableApp> apps;
    if (auto json = read(kAdoptableFile, "log.persistence.adoptable_unreadable")) {
        try {
            if (json->is_array()) {
                for (const auto& item : *json) apps.push_back(PersistedAdoptableApp::fromJson(item));
            }
        } catch (const std::exception& error) {
            apps.clear();
            logger().warning(localized("log.persistence.adoptable_unreadable", {error.what()}));
        }
    }
    return apps;
}

}  // namespace vt
