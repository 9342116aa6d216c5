#include "sources/generic/GenericVersionReleaseManifest.hpp"

#include "base/Strings.hpp"
#include "sources/generic/ManifestSupport.hpp"

namespace vt {

namespace {

std::optional<std::string> firstText(const Json& object, std::initializer_list<const char*> keys) {
    for (const char* key : keys) {
        auto found = object.find(key);
        if (found == object.end()) continue;
        if (found->is_string() && !trimView(found->get_ref<const std::string&>()).empty()) {
            return sanitizeUtf8(trimView(found->get_ref<const std::string&>()));
        }
        if (found->is_number()) return found->dump();
    }
    return std::nullopt;
}

// One level of the lenient reading; nested entries are looked at once, not recursively.
GenericVersionReleaseManifest entryOf(const Json& object) {
    GenericVersionReleaseManifest entry;
    if (auto version = firstText(object, {"version", "name", "tagName"})) entry.version = withoutVersionPrefix(*version);
    entry.downloadURL = firstText(object, {"url", "downloadURL", "downloadUrl", "browserDownloadURL"});
    return entry;
}

}  // namespace

std::optional<GenericVersionReleaseManifest> GenericVersionReleaseManifest::read(std::string_view json) {
    if (json.size() > kMaximumManifestBytes) return std::nullopt;
    std::optional<Json> document = parseJson(json);
    if (!document) return std::nullopt;
    return fromJson(*document);
}

std::optional<GenericVersionReleaseManifest> GenericVersionReleaseManifest::fromJson(const Json& json) {
    if (!json.is_object()) return std::nullopt;
    GenericVersionReleaseManifest manifest = entryOf(json);
    for (const char* key : {"latest", "latestVersion", "versions"}) {
        if (manifest.version && manifest.downloadURL) break;
        auto found = json.find(key);
        if (found == json.end()) continue;
        const Json* nested = &*found;
        if (nested->is_array()) {
            if (nested->empty()) continue;
            nested = &nested->front();
        }
        if (!nested->is_object()) continue;
        GenericVersionReleaseManifest inner = entryOf(*nested);
        if (!manifest.version) manifest.version = inner.version;
        if (!manifest.downloadURL && inner.version) manifest.downloadURL = inner.downloadURL;
    }
    if (!manifest.version) return std::nullopt;
    return manifest;
}

}  // namespace vt
