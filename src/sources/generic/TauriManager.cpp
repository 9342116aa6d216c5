#include "sources/generic/TauriManager.hpp"

#include "base/Json.hpp"
#include "base/Cancellation.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Strings.hpp"
#include "sources/generic/GenericFetch.hpp"
#include "sources/generic/ManifestSupport.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger instance("TauriManager");
    return instance;
}

std::optional<std::string> textField(const Json& object, const char* key) {
    auto found = object.find(key);
    if (found == object.end() || found->is_null()) return std::nullopt;
    if (!found->is_string()) throw ManifestError(std::string("\"") + key + "\" is not a text");
    return sanitizeUtf8(found->get_ref<const std::string&>());
}

}  // namespace

TauriManifestResult parseTauriManifest(std::string_view json, std::string_view architecture) {
    if (json.size() > kMaximumManifestBytes) throw ManifestError("larger than 1024 KB");
    std::optional<Json> document = parseJson(json);
    if (!document) throw ManifestError("not JSON");
    if (!document->is_object()) throw ManifestError("not a JSON object");
    TauriManifestResult result;
    result.version = withoutVersionPrefix(textField(*document, "version").value_or(""));
    if (result.version.empty()) throw ManifestError("no \"version\"");
    result.notes = textField(*document, "notes");
    if (auto date = textField(*document, "pub_date")) result.publishDate = parseIsoDate(*date);
    auto platforms = document->find("platforms");
    if (platforms == document->end() || platforms->is_null()) {
        result.downloadURL = textField(*document, "url");
        return result;
    }
    if (!platforms->is_object()) throw ManifestError("\"platforms\" is not an object");
    std::string own = "darwin-";
    own += architecture;
    for (const std::string& key : {own, own + "-app", std::string("darwin-universal")}) {
        auto entry = platforms->find(key);
        if (entry == platforms->end()) continue;
        if (!entry->is_object()) throw ManifestError("\"" + key + "\" is not an object");
        result.downloadURL = textField(*entry, "url");
        if (result.downloadURL) return result;
    }
    std::string missing = "no entry for ";
    missing += own;
    throw ManifestError(missing);
}

TauriManager::TauriManager(NetworkClient& network, std::string architecture)
    : network_(network), architecture_(std::move(architecture)) {}

std::optional<TauriManifestResult> TauriManager::check(const std::string& endpoint, const std::string& installedVersion,
                                                       std::stop_token stop) {
    const std::string address = substitutePlaceholders(endpoint, installedVersion, architecture_);
    try {
        ManifestFetch fetch(network_, stop);
        HttpResponse response = fetch.get(address, "application/json");
        if (response.statusCode == 204) return std::nullopt;  // a dynamic server's "up to date"
        if (!response.isSuccess()) {
            std::string status = "HTTP ";
            status += std::to_string(response.statusCode);
            throw ManifestError(status);
        }
        return parseTauriManifest(response.body, architecture_);
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        logger().warning(localized("log.tauri.manifest_failed", {sanitizeUtf8(error.what())}));
        return std::nullopt;
    }
}

}  // namespace vt
