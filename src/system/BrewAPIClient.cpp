#include "system/BrewAPIClient.hpp"

#include "base/Files.hpp"
#include "base/Json.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Paths.hpp"
#include "base/Strings.hpp"
#include "system/Endpoints.hpp"
#include "system/NetworkClient.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger instance("BrewAPIClient");
    return instance;
}

constexpr const char* kExpirationFile = "homebrew_cache_expiration.json";
constexpr const char* kSchemaFile = "homebrew_cache_schema_version.json";

std::string lastComponent(const std::string& path) {
    std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::vector<std::string> stringsIn(const Json& value) {
    std::vector<std::string> strings;
    if (value.is_string()) strings.push_back(value.get<std::string>());
    if (!value.is_array()) return strings;
    for (const Json& item : value) {
        if (item.is_string()) strings.push_back(item.get<std::string>());
    }
    return strings;
}

// What adoption matches bundles against. An "app" artifact is ["Foo.app"] or
// ["Foo.app", {"target": "Bar.app"}]; some documents put the target beside the list.
void readAdoptionFields(const Json& item, BrewAPIClient::CaskEntry& entry) {
    if (auto names = item.find("name"); names != item.end()) entry.names = stringsIn(*names);
    if (auto conflicts = item.find("conflicts_with"); conflicts != item.end() && conflicts->is_object()) {
        if (auto casks = conflicts->find("cask"); casks != conflicts->end()) entry.conflictsWithCasks = stringsIn(*casks);
    }
    auto artifacts = item.find("artifacts");
    if (artifacts == item.end() || !artifacts->is_array()) return;
    for (const Json& artifact : *artifacts) {
        // The older documents write an app artifact as a bare list: ["Foo.app"].
        if (artifact.is_array() && !artifact.empty() && artifact.front().is_string() &&
            endsWith(artifact.front().get<std::string>(), ".app")) {
            entry.appArtifacts.push_back(lastComponent(artifact.front().get<std::string>()));
            continue;
        }
        if (!artifact.is_object()) continue;
        auto app = artifact.find("app");
        if (app == artifact.end() || !app->is_array()) continue;
        std::optional<std::string> target = stringField(artifact, "target");
        for (const Json& part : *app) {
            if (part.is_string()) entry.appArtifacts.push_back(lastComponent(part.get<std::string>()));
            if (part.is_object() && !target) target = stringField(part, "target");
        }
        if (target && !entry.appArtifacts.empty() && lastComponent(*target) != entry.appArtifacts.back()) {
            entry.renamesApp = true;
        }
    }
}

std::optional<Json> parseArray(std::string_view body) {
    std::optional<Json> json = parseJson(body);
    if (!json || !json->is_array()) return std::nullopt;
    return json;
}

constexpr const char* kBodyFile = "homebrew_casks.json";
constexpr const char* kETagKey = "caskETag";

}  // namespace

BrewAPIClient::BrewAPIClient(NetworkClient& network) : BrewAPIClient(network, Options{}) {}

BrewAPIClient::BrewAPIClient(NetworkClient& network, Options options)
    : network_(network), options_(std::move(options)) {}

BrewAPIClient::CaskIndex BrewAPIClient::parseCaskIndex(std::string_view body, std::size_t* skipped) {
    std::optional<Json> json = parseArray(body);
    if (!json) throw NetworkError::decodingFailed("the Homebrew cask index is not a JSON array");
    CaskIndex index;
    std::size_t bad = 0;
    for (const Json& item : *json) {
        std::optional<std::string> token = item.is_object() ? stringField(item, "token") : std::nullopt;
        if (!token || token->empty()) {
            ++bad;
            continue;
        }
        CaskEntry entry;
        entry.token = *token;
        entry.version = stringField(item, "version").value_or("");
        entry.deprecated = boolField(item, "deprecated").value_or(false);
        entry.disabled = boolField(item, "disabled").value_or(false);
        entry.autoUpdates = boolField(item, "auto_updates").value_or(false);
        readAdoptionFields(item, entry);
        index.insert_or_assign(entry.token, std::move(entry));
    }
    if (skipped != nullptr) *skipped = bad;
    return index;
}

bool BrewAPIClient::refreshCaskIndex(std::stop_token stop) {
    loadFromDiskIfNeeded();
    HttpRequest request;
    request.url = Endpoints::url(Service::HomebrewApi, "/cask.json");
    request.maxBodyBytes = kMaxIndexBytes;
    {
        std::scoped_lock lock(mutex_);
        // Without an index in memory, a 304 would leave us with nothing.
        if (caskIndex_ != nullptr) request.ifNoneMatch = caskETag_;
    }
    HttpResponse response = network_.send(request, stop);
    if (response.isNotModified() && request.ifNoneMatch) {
        logger().debug(localized("log.brew_api.unchanged"));
        return false;
    }
    std::string body = NetworkClient::successfulBody(response);
    std::size_t skipped = 0;
    std::optional<std::string> etag = response.etag();
    auto index = std::make_shared<const CaskIndex>(parseCaskIndex(body, &skipped));
    {
        std::scoped_lock lock(mutex_);
        caskIndex_ = std::move(index);
        caskETag_ = etag;
    }
    if (skipped > 0) logger().warning(localized("log.brew_api.malformed", {std::to_string(skipped)}));
    storeOnDisk(body, etag);
    return true;
}

void BrewAPIClient::loadFromDiskIfNeeded() {
    {
        std::scoped_lock lock(mutex_);
        if (triedDisk_ || !options_.cacheFolder) return;
        triedDisk_ = true;
    }
    const std::string folder = *options_.cacheFolder;
    std::optional<Json> schema = parseJson(readFile(folder + "/" + kSchemaFile).value_or(""));
    if (!schema || !schema->is_object() || integerField(*schema, "schemaVersion") != kCacheSchemaVersion) return;
    std::optional<std::string> body = readFile(folder + "/" + kBodyFile);
    if (!body) return;
    std::optional<Json> expiration = parseJson(readFile(folder + "/" + kExpirationFile).value_or(""));
    std::optional<std::string> etag =
        expiration && expiration->is_object() ? stringField(*expiration, kETagKey) : std::nullopt;
    try {
        auto index = std::make_shared<const CaskIndex>(parseCaskIndex(*body));
        std::scoped_lock lock(mutex_);
        if (!caskIndex_) {
            caskIndex_ = std::move(index);
            caskETag_ = etag;
        }
    } catch (const NetworkError&) {
        logger().warning(localized("log.brew_api.cache_unreadable", {kBodyFile}));
    }
}

void BrewAPIClient::storeOnDisk(const std::string& body, const std::optional<std::string>& etag) const {
    if (!options_.cacheFolder) return;
    const std::string folder = *options_.cacheFolder;
    std::scoped_lock lock(diskMutex_);
    if (!paths::ensureFolder(folder)) return;
    try {
        std::optional<Json> expiration = parseJson(readFile(folder + "/" + kExpirationFile).value_or(""));
        Json record = expiration && expiration->is_object() ? *expiration : Json::object();
        if (etag) {
            record[kETagKey] = *etag;
        } else {
            record.erase(kETagKey);
        }
        writeFileAtomically(folder + "/" + kBodyFile, body);
        writeFileAtomically(folder + "/" + kExpirationFile, dumpJson(record));
        writeFileAtomically(folder + "/" + kSchemaFile, dumpJson(Json{{"schemaVersion", kCacheSchemaVersion}}));
    } catch (const FileWriteError& error) {
        logger().warning(localized("log.brew_api.cache_failed", {error.what()}));
    }
}

std::shared_ptr<const BrewAPIClient::CaskIndex> BrewAPIClient::caskIndex() const {
    std::scoped_lock lock(mutex_);
    return caskIndex_;
}

std::optional<std::string> BrewAPIClient::caskETag() const {
    std::scoped_lock lock(mutex_);
    return caskETag_;
}

std::optional<BrewAPIClient::CaskEntry> BrewAPIClient::cask(std::string_view token) const {
    auto index = caskIndex();
    if (!index) return std::nullopt;
    auto found = index->find(token);
    if (found == index->end()) return std::nullopt;
    return found->second;
}

}  // namespace vt
