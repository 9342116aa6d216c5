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

namespace {

// Reads the file's entries as the parser meets them, without building the document first: a
// cache of thousands of bundles is read on every scan. Throws std::runtime_error on a value
// of the wrong type, an unknown mechanism or an entry without path or date.
class EntriesReader : public nlohmann::json_sax<nlohmann::json> {
public:
    explicit EntriesReader(std::map<std::string, AppMetadata>& entries) : entries_(entries) {}

    bool null() override { return value("null"); }
    bool boolean(bool flag) override {
        if (inEntry() && key_ == "hasMASReceipt") {
            entry_.hasMASReceipt = flag;
            return true;
        }
        return value("a flag");
    }
    bool number_integer(number_integer_t number) override { return number_float(static_cast<double>(number), {}); }
    bool number_unsigned(number_unsigned_t number) override { return number_float(static_cast<double>(number), {}); }
    bool number_float(number_float_t number, const string_t&) override {
        if (inEntry() && key_ == "modificationDate") {
            entry_.modificationDate = number;
            hasDate_ = true;
            return true;
        }
        return value("a number");
    }
    bool string(string_t& text) override {
        if (!inEntry()) return value("a string");
        if (key_ == "path") {
            entry_.path = std::move(text);
        } else if (key_ == "bundleVersion") {
            entry_.bundleVersion = std::move(text);
        } else if (key_ == "bundleIdentifier") {
            entry_.bundleIdentifier = std::move(text);
        } else if (key_ == "name") {
            entry_.name = std::move(text);
        } else if (key_ == "shortVersion") {
            entry_.shortVersion = std::move(text);
        } else if (key_ == "updateMechanism") {
            auto mechanism = updateMechanismFromRaw(text);
            if (!mechanism) throw std::runtime_error("unknown update mechanism \"" + text + "\"");
            entry_.updateMechanism = *mechanism;
        } else if (key_ == "sparkleAppcastURL") {
            entry_.sparkleAppcastURL = std::move(text);
        } else if (key_ == "executable") {
            entry_.executable = std::move(text);
        } else if (key_ == "framework") {
            entry_.framework = frameworkFromName(text);
        } else {
            return value("a string");
        }
        return true;
    }
    bool binary(binary_t&) override { return value("binary data"); }
    bool start_object(std::size_t) override {
        ++depth_;
        if (depth_ == 2) {
            if (!inEntries_) throw std::runtime_error("an object outside \"entries\"");
            entry_ = AppMetadata{};
            hasDate_ = false;
        }
        if (depth_ > 2) throw std::runtime_error("an entry holds an object");
        return true;
    }
    bool key(string_t& name) override {
        key_ = std::move(name);
        return true;
    }
    bool end_object() override {
        if (depth_ == 2) {
            if (entry_.path.empty() || !hasDate_) throw std::runtime_error("an entry without path or date");
            std::string path = entry_.path;
            entries_.insert_or_assign(std::move(path), std::move(entry_));
        }
        --depth_;
        return true;
    }
    bool start_array(std::size_t) override {
        if (depth_ != 1 || key_ != "entries" || inEntries_) throw std::runtime_error("an unexpected list");
        inEntries_ = true;
        return true;
    }
    bool end_array() override {
        inEntries_ = false;
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& error) override {
        throw std::runtime_error(error.what());
    }

private:
    bool inEntry() const { return depth_ == 2; }
    // A value no field takes: allowed at the top ("version"), an error inside an entry.
    bool value(const char* kind) {
        if (inEntry()) throw std::runtime_error("\"" + key_ + "\" holds " + kind);
        return true;
    }

    std::map<std::string, AppMetadata>& entries_;
    AppMetadata entry_;
    std::string key_;
    int depth_ = 0;
    bool inEntries_ = false;
    bool hasDate_ = false;
};

}  // namespace

AppMetadataCache::AppMetadataCache(std::string filePath) : filePath_(std::move(filePath)) {}

AppMetadataCache::~AppMetadataCache() { waitForPendingWrite(); }

std::map<std::string, AppMetadata> AppMetadataCache::load() const {
    std::map<std::string, AppMetadata> loaded;
    std::optional<std::string> text = readFile(filePath_);
    if (!text) {
        logger().info("No app metadata cache found - will perform full scan");
        return loaded;
    }
    try {
        EntriesReader reader(loaded);
        nlohmann::json::sax_parse(*text, &reader);
        logger().info("Loaded app metadata cache: " + std::to_string(loaded.size()) + " entries");
    } catch (const std::exception& error) {
        logger().warning(std::string("Failed to load app metadata cache: ") + error.what());
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
    if (stale > 0) logger().info("Cleaned " + std::to_string(stale) + " stale cache entries");
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
            logger().info("Saved app metadata cache: " + std::to_string(save.scanned.size()) + " entries");
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
