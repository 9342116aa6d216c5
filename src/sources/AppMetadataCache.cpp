#include "sources/AppMetadataCache.hpp"

#include <sys/stat.h>

#include "base/Files.hpp"
#include "base/Log.hpp"
#include "base/Paths.hpp"
#include <filesystem>

namespace vt {

namespace {

const Logger& logger() {
    static const Logger instance("ApplicationManager");
    return instance;
}

std::string_view frameworkName(AppFramework framework) {
    switch (framework) {
        case AppFramework::Tauri: return "tauri";
        case AppFramework::Electron: return "electron";
        case AppFramework::Other: break;
    }
    return "other";
}

AppFramework frameworkFromName(std::string_view name) {
    if (name == "tauri") return AppFramework::Tauri;
    if (name == "electron") return AppFramework::Electron;
    return AppFramework::Other;
}

}  // namespace

Json AppMetadata::toJson() const {
    Json json = Json::object();
    json["path"] = path;
    json["modificationDate"] = modificationDate;
    if (bundleVersion) json["bundleVersion"] = *bundleVersion;
    json["bundleIdentifier"] = bundleIdentifier;
    json["name"] = name;
    json["shortVersion"] = shortVersion;
    json["updateMechanism"] = std::string(rawValue(updateMechanism));
    if (sparkleAppcastURL) json["sparkleAppcastURL"] = *sparkleAppcastURL;
    json["hasMASReceipt"] = hasMASReceipt;
    json["executable"] = executable;
    json["framework"] = std::string(frameworkName(framework));
    return json;
}

AppMetadata AppMetadata::fromJson(const Json& json) {
    AppMetadata entry;
    entry.path = json.at("path").get<std::string>();
    entry.modificationDate = json.at("modificationDate").get<double>();
    if (json.contains("bundleVersion")) entry.bundleVersion = json.at("bundleVersion").get<std::string>();
    entry.bundleIdentifier = json.at("bundleIdentifier").get<std::string>();
    entry.name = json.at("name").get<std::string>();
    entry.shortVersion = json.at("shortVersion").get<std::string>();
    auto mechanism = updateMechanismFromRaw(json.at("updateMechanism").get<std::string>());
    if (!mechanism) throw std::invalid_argument("unknown update mechanism");
    entry.updateMechanism = *mechanism;
    if (json.contains("sparkleAppcastURL")) entry.sparkleAppcastURL = json.at("sparkleAppcastURL").get<std::string>();
    entry.hasMASReceipt = json.at("hasMASReceipt").get<bool>();
    entry.executable = json.at("executable").get<std::string>();
    entry.framework = frameworkFromName(json.at("framework").get<std::string>());
    return entry;
}

AppMetadataCache::AppMetadataCache(std::string filePath) : filePath_(std::move(filePath)) {}

AppMetadataCache::~AppMetadataCache() { waitForPendingWrite(); }

void AppMetadataCache::load() {
    std::map<std::string, AppMetadata> loaded;
    std::optional<std::string> text = readFile(filePath_);
    if (!text) {
        logger().info("No app metadata cache found - will perform full scan");
    } else {
        try {
            Json json = Json::parse(*text);
            for (const Json& item : json.at("entries")) {
                AppMetadata entry = AppMetadata::fromJson(item);
                std::string path = entry.path;
                loaded.emplace(std::move(path), std::move(entry));
            }
            logger().info("Loaded app metadata cache: " + std::to_string(loaded.size()) + " entries");
        } catch (const std::exception& error) {
            logger().warning(std::string("Failed to load app metadata cache: ") + error.what());
            loaded.clear();
        }
    }
    std::scoped_lock lock(mutex_);
    entries_ = std::move(loaded);
}

std::map<std::string, AppMetadata> AppMetadataCache::entries() const {
    std::scoped_lock lock(mutex_);
    return entries_;
}

void AppMetadataCache::update(std::map<std::string, AppMetadata> scanned) {
    std::map<std::string, AppMetadata> previous;
    {
        std::scoped_lock lock(mutex_);
        previous = std::move(entries_);
    }
    std::size_t stale = 0;
    for (auto& [path, entry] : previous) {
        if (scanned.count(path)) continue;
        struct stat info {};
        if (::stat(path.c_str(), &info) == 0) {
            scanned.emplace(path, std::move(entry));
        } else {
            ++stale;
        }
    }
    if (stale > 0) logger().info("Cleaned " + std::to_string(stale) + " stale cache entries");
    std::scoped_lock lock(mutex_);
    entries_ = std::move(scanned);
}

void AppMetadataCache::saveInBackground() {
    std::map<std::string, AppMetadata> snapshot = entries();
    Json json = Json::object();
    json["version"] = 1;
    Json& list = json["entries"] = Json::array();
    for (const auto& [path, entry] : snapshot) list.push_back(entry.toJson());
    std::string text = dumpJson(json);
    std::scoped_lock lock(mutex_);
    pending_ = std::move(text);
    pendingCount_ = snapshot.size();
    if (!thread_.joinable()) thread_ = std::jthread([this](std::stop_token stop) { writer(stop); });
    wake_.notify_all();
}

void AppMetadataCache::writer(std::stop_token stop) {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (!wake_.wait(lock, stop, [this] { return pending_.has_value(); })) return;
        std::string text = std::move(*pending_);
        std::size_t count = pendingCount_;
        pending_.reset();
        writing_ = true;
        lock.unlock();
        try {
            paths::ensureFolder(std::filesystem::path(filePath_).parent_path().string());
            writeFileAtomically(filePath_, text);
            logger().info("Saved app metadata cache: " + std::to_string(count) + " entries");
        } catch (const std::exception& error) {
            logger().warning(std::string("Failed to save app metadata cache: ") + error.what());
        }
        lock.lock();
        writing_ = false;
        wake_.notify_all();
    }
}

void AppMetadataCache::waitForPendingWrite() {
    std::unique_lock lock(mutex_);
    wake_.wait(lock, [this] { return !pending_ && !writing_; });
}

}  // namespace vt
