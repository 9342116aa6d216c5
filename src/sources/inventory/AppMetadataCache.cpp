#include "sources/inventory/AppMetadataCache.hpp"

#include <sys/stat.h>

#include "base/Files.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Paths.hpp"
#include "model/JsonDocument.hpp"
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

namespace {

// Reads the file's entries: a cache of thousands of bundles is read on every scan, so it goes
// through the fast parser, straight into the records. Throws std::runtime_error on a value of
// the wrong type, an unknown mechanism or an entry without path or date.
std::map<std::string, AppMetadata> decodeEntries(std::string_view text) {
    JsonDocument document;
    parseJsonDocument(text, document);
    const JsonElement& root = document;
    const JsonElement* list = nullptr;
    if (root.IsObject()) {
        const auto found = root.FindMember("entries");
        if (found != root.MemberEnd() && found->value.IsArray()) list = &found->value;
    }
    if (list == nullptr) throw std::runtime_error("no list of \"entries\"");

    std::map<std::string, AppMetadata> entries;
    for (const JsonElement& item : list->GetArray()) {
        if (!item.IsObject()) throw std::runtime_error("an entry that is not an object");
        AppMetadata entry;
        bool hasDate = false;
        for (const auto& field : item.GetObject()) {
            const std::string_view key(field.name.GetString(), field.name.GetStringLength());
            auto text = [&]() -> std::string {
                if (!field.value.IsString()) throw std::runtime_error("\"" + std::string(key) + "\" is not a string");
                return std::string(field.value.GetString(), field.value.GetStringLength());
            };
            if (key == "modificationDate") {
                // Whole seconds are written as integers; any number reads as a double.
                if (!field.value.IsNumber()) throw std::runtime_error("\"modificationDate\" is not a number");
                entry.modificationDate = field.value.GetDouble();
                hasDate = true;
            } else if (key == "hasMASReceipt") {
                if (!field.value.IsBool()) throw std::runtime_error("\"hasMASReceipt\" is not a flag");
                entry.hasMASReceipt = field.value.GetBool();
            } else if (key == "path") {
                entry.path = text();
            } else if (key == "bundleVersion") {
                entry.bundleVersion = text();
            } else if (key == "bundleIdentifier") {
                entry.bundleIdentifier = text();
            } else if (key == "name") {
                entry.name = text();
            } else if (key == "shortVersion") {
                entry.shortVersion = text();
            } else if (key == "updateMechanism") {
                std::string raw = text();
                auto mechanism = updateMechanismFromRaw(raw);
                if (!mechanism) throw std::runtime_error("unknown update mechanism \"" + raw + "\"");
                entry.updateMechanism = *mechanism;
            } else if (key == "sparkleAppcastURL") {
                entry.sparkleAppcastURL = text();
            } else if (key == "executable") {
                entry.executable = text();
            } else if (key == "framework") {
                entry.framework = frameworkFromName(text());
            }
        }
        if (entry.path.empty() || !hasDate) throw std::runtime_error("an entry without path or date");
        std::string path = entry.path;
        entries.insert_or_assign(std::move(path), std::move(entry));
    }
    return entries;
}

}  // namespace

AppMetadataCache::AppMetadataCache(std::string filePath) : filePath_(std::move(filePath)) {}

AppMetadataCache::~AppMetadataCache() { waitForPendingWrite(); }

std::map<std::string, AppMetadata> AppMetadataCache::load() const {
    std::map<std::string, AppMetadata> loaded;
    std::optional<std::string> text = readFile(filePath_);
    if (!text) {
        logger().info(localized("log.app_cache.none"));
        return loaded;
    }
    try {
        loaded = decodeEntries(*text);
        logger().info(localized("log.app_cache.loaded", {std::to_string(loaded.size())}));
    } catch (const std::exception& error) {
        logger().warning(localized("log.app_cache.load_failed", {error.what()}));
        loaded.clear();
    }
    return loaded;
}

void AppMetadataCache::saveInBackground(std::map<std::string, AppMetadata> scanned,
                                        std::map<std::string, AppMetadata> earlier) {
    std::scoped_lock lock(mutex_);
    pending_ = Pending{std::move(scanned), std::move(earlier)};
    if (!thread_.joinable()) thread_ = std::jthread([this](std::stop_token stop) { writer(stop); });
    wake_.notify_all();
}

namespace {

std::string encode(std::map<std::string, AppMetadata>& scanned, std::map<std::string, AppMetadata>& earlier) {
    std::size_t stale = 0;
    for (auto& [path, entry] : earlier) {
        if (scanned.count(path)) continue;
        struct stat info {};
        if (::stat(path.c_str(), &info) == 0) {
            scanned.emplace(path, std::move(entry));
        } else {
            ++stale;
        }
    }
    if (stale > 0) logger().info(localized("log.app_cache.cleaned", {std::to_string(stale)}));
    std::string text;
    JsonWriter writer(text);
    writer.beginObject();
    writer.key("version").integer(1);
    writer.key("entries").beginArray();
    for (const auto& [path, entry] : scanned) writer.value(entry.toJson());
    writer.endArray();
    writer.endObject();
    return text;
}

}  // namespace

void AppMetadataCache::writer(std::stop_token stop) {
    std::unique_lock lock(mutex_);
    for (;;) {
        if (!wake_.wait(lock, stop, [this] { return pending_.has_value(); })) return;
        Pending save = std::move(*pending_);
        pending_.reset();
        writing_ = true;
        lock.unlock();
        try {
            std::string text = encode(save.scanned, save.earlier);
            paths::ensureFolder(std::filesystem::path(filePath_).parent_path().string());
            writeFileAtomically(filePath_, text);
            logger().info(localized("log.app_cache.saved", {std::to_string(save.scanned.size())}));
        } catch (const std::exception& error) {
            logger().warning(localized("log.app_cache.save_failed", {error.what()}));
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
