#include "sources/inventory/SystemExtensionManager.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <filesystem>
#include <system_error>
#include <utility>

#include "base/Files.hpp"
#include "base/Paths.hpp"
#include "base/Strings.hpp"
#include "sources/inventory/AppBundleReader.hpp"

namespace vt {

namespace fs = std::filesystem;

namespace {

struct Location {
    SystemExtensionType type;
    const char* folder;     // under a Library folder
    const char* extension;  // of the bundles (or files) it holds
};

constexpr std::array kLocations{
    Location{SystemExtensionType::PreferencePane, "PreferencePanes", ".prefPane"},
    Location{SystemExtensionType::QuickLook, "QuickLook", ".qlgenerator"},
    Location{SystemExtensionType::ScreenSaver, "Screen Savers", ".saver"},
    Location{SystemExtensionType::InputMethod, "Input Methods", ".app"},
    Location{SystemExtensionType::AudioUnit, "Audio/Plug-Ins/Components", ".component"},
    Location{SystemExtensionType::SpotlightImporter, "Spotlight", ".mdimporter"},
    Location{SystemExtensionType::SafariExtension, "Safari/Extensions", ".safariextz"},
};

// A plug-in bundle can hold thousands of files; its size is a sum over all of them, bounded
// so that one huge or looping folder cannot stall the listing.
std::uint64_t sizeOf(const fs::path& path) {
    std::error_code error;
    if (!fs::is_directory(path, error)) {
        std::uintmax_t size = fs::file_size(path, error);
        return error ? 0 : static_cast<std::uint64_t>(size);
    }
    constexpr int kMaximumEntries = 20'000;
    std::uint64_t total = 0;
    int seen = 0;
    fs::recursive_directory_iterator it(path, fs::directory_options::skip_permission_denied, error);
    for (; !error && it != fs::recursive_directory_iterator() && seen < kMaximumEntries; it.increment(error), ++seen) {
        std::error_code entryError;
        if (it->is_regular_file(entryError)) {
            std::uintmax_t size = it->file_size(entryError);
            if (!entryError) total += size;
        }
    }
    return total;
}

std::optional<Clock::TimePoint> modificationDate(const fs::path& path) {
    std::error_code error;
    fs::file_time_type written = fs::last_write_time(path, error);
    if (error) return std::nullopt;
    return std::chrono::time_point_cast<Clock::Duration>(std::chrono::file_clock::to_sys(written));
}

std::optional<std::string> vendorOf(const std::string& identifier) {
    std::vector<std::string_view> parts = split(identifier, '.');
    if (parts.size() < 3 || parts[1].empty()) return std::nullopt;
    return std::string(parts[1]);
}

SystemExtension read(const fs::path& path, SystemExtensionType type, bool isSystem) {
    SystemExtension extension;
    extension.id = extension.path = path.string();
    extension.type = type;
    extension.name = path.stem().string();
    extension.isSystemExtension = isSystem;
    extension.installDate = modificationDate(path);
    extension.fileSize = sizeOf(path);
    const std::optional<std::string> plist = readFile((path / "Contents" / "Info.plist").string(), kMaximumInfoPlistBytes);
    if (plist) {
        if (std::optional<InfoPlistFields> fields = readInfoPlist(*plist)) {
            if (!fields->displayName.empty()) extension.name = fields->displayName;
            if (!fields->shortVersion.empty()) extension.version = fields->shortVersion;
            else if (fields->buildNumber) extension.version = fields->buildNumber;
            if (!fields->bundleIdentifier.empty()) {
                extension.bundleIdentifier = fields->bundleIdentifier;
                extension.vendor = vendorOf(fields->bundleIdentifier);
            }
        }
    }
    return extension;
}

Json optionalJson(const std::optional<std::string>& text) { return text ? Json(*text) : Json(nullptr); }

}  // namespace

std::string_view displayName(SystemExtensionType type) {
    switch (type) {
        case SystemExtensionType::SafariExtension: return "Safari Extension";
        case SystemExtensionType::PreferencePane: return "Preference Pane";
        case SystemExtensionType::QuickLook: return "QuickLook Plugin";
        case SystemExtensionType::ScreenSaver: return "Screen Saver";
        case SystemExtensionType::InputMethod: return "Input Method";
        case SystemExtensionType::AudioUnit: return "Audio Unit";
        case SystemExtensionType::SpotlightImporter: return "Spotlight Importer";
    }
    return "Plug-in";
}

Json SystemExtension::toJson() const {
    Json json = Json::object();
    json["id"] = id;
    json["name"] = name;
    json["type"] = std::string(displayName(type));
    json["path"] = path;
    json["version"] = optionalJson(version);
    json["bundleIdentifier"] = optionalJson(bundleIdentifier);
    json["description"] = optionalJson(description);
    json["vendor"] = optionalJson(vendor);
    json["installDate"] = installDate ? Json(toReferenceSeconds(*installDate)) : Json(nullptr);
    json["fileSize"] = fileSize;
    json["isSystemExtension"] = isSystemExtension;
    return json;
}

SystemExtensionManager::SystemExtensionManager() : SystemExtensionManager(Options{}) {}

SystemExtensionManager::SystemExtensionManager(Options options) : options_(std::move(options)) {
    if (options_.home.empty()) options_.home = paths::home();
}

std::vector<SystemExtension> SystemExtensionManager::list() const {
    std::vector<SystemExtension> found;
    const std::array<std::pair<fs::path, bool>, 2> libraries{
        std::pair{fs::path(options_.home) / "Library", false}, std::pair{fs::path(options_.systemLibrary), true}};
    for (const auto& [library, isSystem] : libraries) {
        for (const Location& location : kLocations) {
            std::error_code error;
            fs::directory_iterator it(library / location.folder, fs::directory_options::skip_permission_denied, error);
            for (; !error && it != fs::directory_iterator(); it.increment(error)) {
                if (it->path().extension() != location.extension) continue;
                found.push_back(read(it->path(), location.type, isSystem));
            }
        }
    }
    std::sort(found.begin(), found.end(), [](const SystemExtension& a, const SystemExtension& b) {
        if (a.type != b.type) return a.type < b.type;
        return toLower(a.name) != toLower(b.name) ? toLower(a.name) < toLower(b.name) : a.path < b.path;
    });
    return found;
}

}  // namespace vt
