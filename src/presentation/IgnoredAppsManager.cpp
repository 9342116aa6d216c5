#include "presentation/IgnoredAppsManager.hpp"

#include <filesystem>

#include "base/Files.hpp"
#include "base/Json.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "settings/DefaultsStore.hpp"
#include "sources/inventory/PropertyList.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger log("IgnoredAppsManager");
    return log;
}

constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64Encode(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        std::uint32_t chunk = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) chunk |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size()) chunk |= static_cast<unsigned char>(bytes[i + 2]);
        out += kAlphabet[(chunk >> 18) & 63];
        out += kAlphabet[(chunk >> 12) & 63];
        out += i + 1 < bytes.size() ? kAlphabet[(chunk >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? kAlphabet[chunk & 63] : '=';
    }
    return out;
}

std::optional<std::string> base64Decode(std::string_view text) {
    std::string out;
    std::uint32_t chunk = 0;
    int bits = 0;
    for (char c : text) {
        if (c == '=') break;
        std::size_t value = kAlphabet.find(c);
        if (value == std::string_view::npos) return std::nullopt;
        chunk = (chunk << 6) | static_cast<std::uint32_t>(value);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((chunk >> bits) & 0xFF);
        }
    }
    return out;
}

std::optional<std::string> bundleIdentifier(const std::filesystem::path& bundle) {
    std::optional<std::string> bytes = readFile((bundle / "Contents/Info.plist").string());
    if (!bytes) return std::nullopt;
    std::optional<PropertyList> plist = PropertyList::parse(*bytes);
    if (!plist) return std::nullopt;
    std::optional<PropertyList::Node> identifier = plist->root().member("CFBundleIdentifier");
    return identifier ? identifier->text() : std::nullopt;
}

}  // namespace

IgnoredAppsManager::IgnoredAppsManager(DefaultsStore& store) : store_(store) { load(); }

void IgnoredAppsManager::load() {
    ignored_.clear();
    std::optional<std::string> data = store_.stringValue(kUserDefaultsKey);
    std::optional<std::string> text = data ? base64Decode(*data) : std::nullopt;
    std::optional<Json> list = text ? parseJson(*text) : std::nullopt;
    if (list && list->is_array()) {
        for (const Json& item : *list) {
            if (item.is_string() && !item.get<std::string>().empty()) ignored_.insert(item.get<std::string>());
        }
    }
    ++revision_;
    logger().info(localized("log.ignored.loaded", {std::to_string(ignored_.size())}));
}

void IgnoredAppsManager::save() {
    Json list = Json::array();
    for (const std::string& id : ignored_) list.push_back(id);
    const std::string encoded = base64Encode(dumpJson(list));
    // A list this version saves holds no legacy ignores: the cleanup must never touch it.
    store_.update([&encoded](Json& object) {
        object[std::string(kUserDefaultsKey)] = encoded;
        object[std::string(kLegacyMacAppStoreCleanupKey)] = true;
    });
    ++revision_;
    logger().info(localized("log.ignored.saved", {std::to_string(ignored_.size())}));
}

bool IgnoredAppsManager::ignore(const std::string& bundleId) {
    if (bundleId.empty() || !ignored_.insert(bundleId).second) return false;
    save();
    logger().info(localized("log.ignored.added", {bundleId}));
    return true;
}

bool IgnoredAppsManager::unignore(const std::string& bundleId) {
    if (ignored_.erase(bundleId) == 0) return false;
    save();
    logger().info(localized("log.ignored.removed", {bundleId}));
    return true;
}

std::size_t IgnoredAppsManager::ignoreSeveral(const std::vector<std::string>& bundleIds) {
    std::size_t added = 0;
    for (const std::string& id : bundleIds) added += !id.empty() && ignored_.insert(id).second ? 1 : 0;
    if (added == 0) return 0;
    save();
    for (const std::string& id : bundleIds) logger().info(localized("log.ignored.added", {id}));
    return added;
}

std::size_t IgnoredAppsManager::unignoreSeveral(const std::vector<std::string>& bundleIds) {
    std::size_t removed = 0;
    for (const std::string& id : bundleIds) removed += ignored_.erase(id);
    if (removed == 0) return 0;
    save();
    logger().info(localized("log.ignored.removed_count", {std::to_string(removed)}));
    return removed;
}

void IgnoredAppsManager::runLegacyCleanup(const std::vector<std::string>& applicationFolders) {
    if (store_.boolValue(kLegacyMacAppStoreCleanupKey).value_or(false)) return;
    // Nothing ignored, nothing legacy: no write. The first list saved marks the cleanup done.
    if (ignored_.empty()) return;
    std::size_t removed = 0;
    for (const std::string& folder : applicationFolders) {
        std::error_code error;
        try {
            for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
                if (entry.path().extension() != ".app") continue;
                if (!std::filesystem::exists(entry.path() / "Contents/_MASReceipt/receipt", error)) continue;
                if (auto identifier = bundleIdentifier(entry.path())) removed += ignored_.erase(*identifier);
            }
        } catch (const std::filesystem::filesystem_error&) {
            // A folder that cannot be read to the end: what was read counts.
        }
    }
    if (removed > 0) {
        save();
        logger().info(localized("log.ignored.legacy_removed", {std::to_string(removed)}));
    } else {
        store_.set(kLegacyMacAppStoreCleanupKey, true);
    }
}

}  // namespace vt
