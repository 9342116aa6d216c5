#include "sources/appstore/DirectMacAppStoreChecker.hpp"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <future>
#include <mutex>

#include "base/Cancellation.hpp"
#include "base/Files.hpp"
#include "base/Json.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Paths.hpp"
#include "base/Regex.hpp"
#include "base/Strings.hpp"
#include "model/VersionRules.hpp"
#include "system/Endpoints.hpp"
#include "system/NetworkClient.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger instance("MacAppStore");
    return instance;
}

std::optional<std::string> textMember(const Json& object, const char* key) {
    auto found = object.find(key);
    if (found == object.end() || !found->is_string()) return std::nullopt;
    return found->get<std::string>();
}

std::string percentEncoded(std::string_view text) {
    static const char* kHex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

// An identifier goes into a path and a query as it is: digits only.
bool isItemIdentifier(std::string_view text) {
    return !text.empty() && text.size() <= 20 &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
}

void logCountryOnce(const std::string& country) {
    static std::once_flag once;
    std::call_once(once, [&country] { logger().info(localized("log.mas.country", {country})); });
}

}  // namespace

std::vector<ITunesApp> parseITunesResponse(std::string_view body) {
    if (trimView(body).empty()) throw ITunesResponseError("empty lookup answer");
    std::optional<Json> document = parseJson(body);
    if (!document) throw ITunesResponseError("lookup answer is not JSON: " + excerpt(sanitizeUtf8(trim(body)), 60));
    if (!document->is_object()) throw ITunesResponseError("lookup answer is not a JSON object");
    auto results = document->find("results");
    if (results == document->end() || !results->is_array()) throw ITunesResponseError("lookup answer has no results");
    auto count = document->find("resultCount");
    if (count != document->end() &&
        (!count->is_number_integer() || count->get<long long>() != static_cast<long long>(results->size()))) {
        throw ITunesResponseError("lookup answer's resultCount " + count->dump() + " disagrees with its " +
                                  std::to_string(results->size()) + " results");
    }
    std::vector<ITunesApp> apps;
    for (const Json& result : *results) {
        if (!result.is_object()) continue;
        auto trackId = result.find("trackId");
        std::optional<std::string> bundleId = textMember(result, "bundleId");
        std::optional<std::string> trackName = textMember(result, "trackName");
        std::optional<std::string> version = textMember(result, "version");
        if (trackId == result.end() || !trackId->is_number_integer() || !bundleId || !trackName || !version) continue;
        ITunesApp app;
        app.trackId = trackId->get<long long>();
        app.bundleId = std::move(*bundleId);
        app.trackName = std::move(*trackName);
        app.version = std::move(*version);
        app.sellerName = textMember(result, "sellerName");
        app.trackViewUrl = textMember(result, "trackViewUrl");
        app.artworkUrl512 = textMember(result, "artworkUrl512");
        app.primaryGenreName = textMember(result, "primaryGenreName");
        app.releaseDate = textMember(result, "releaseDate");
        app.currentVersionReleaseDate = textMember(result, "currentVersionReleaseDate");
        app.description = textMember(result, "description");
        app.kind = textMember(result, "kind");
        apps.push_back(std::move(app));
    }
    return apps;
}

bool isAcceptedKind(const std::optional<std::string>& kind, bool isIOSApp) {
    if (!kind) return false;
    if (!isIOSApp) return *kind == "mac-software";
    return *kind == "software" || *kind == "iPadSoftware";
}

bool isUsableStoreVersion(std::string_view version) {
    std::string_view text = trimView(version);
    return !text.empty() && text.size() <= 64 && std::isdigit(static_cast<unsigned char>(text.front())) != 0 &&
           !isPlaceholderVersion(text) && sanitizeUtf8(text) == text;
}

std::optional<std::string> versionFromStorePage(std::string_view html) {
    static const Regex tags("<[^>]+>");
    static const Regex version(R"(Version\s+(\d+(?:\.\d+)+|\d+)\b)", Regex::Options{.caseInsensitive = true});
    std::string text = tags.replaceAll(html, " ");
    std::string cleaned;
    cleaned.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, 6, "&nbsp;") == 0) {
            cleaned += ' ';
            i += 5;
        } else {
            cleaned += text[i];
        }
    }
    std::optional<Regex::Match> match = version.search(cleaned);
    if (!match || !match->groups[0]) return std::nullopt;
    return std::string(*match->groups[0]);
}

std::string storeCountryFromLocale() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value == nullptr || *value == '\0') continue;
        std::string_view locale = value;
        std::size_t underscore = locale.find('_');
        if (underscore == std::string_view::npos || underscore + 3 > locale.size()) return "us";
        std::string region = toLower(locale.substr(underscore + 1, 2));
        bool letters = std::all_of(region.begin(), region.end(), [](unsigned char c) { return std::isalpha(c) != 0; });
        return letters ? region : "us";
    }
    return "us";
}

// ---- MacAppStoreCacheActor ----

MacAppStoreCacheActor::MacAppStoreCacheActor(std::string path, Clock& clock) : path_(std::move(path)), clock_(clock) {
    load();
}

std::string MacAppStoreCacheActor::key(const std::string& itemIdentifier, bool isIOSApp) {
    return itemIdentifier + (isIOSApp ? "-ios" : "-mac");
}

void MacAppStoreCacheActor::load() {
    if (path_.empty()) return;
    std::optional<std::string> text = readFile(path_);
    if (!text) return;
    std::optional<Json> document = parseJson(*text);
    if (!document || !document->is_object()) {
        logger().warning(localized("log.mas.cache_unreadable"));
        return;
    }
    bool legacy = false;
    for (const auto& [key, value] : document->items()) {
        if (!endsWith(key, "-mac") && !endsWith(key, "-ios")) {
            legacy = true;
            break;
        }
        if (!value.is_object()) continue;
        std::optional<std::string> version = textMember(value, "version");
        auto timestamp = value.find("timestamp");
        if (!version || timestamp == value.end() || !timestamp->is_number()) continue;
        cache_[key] = {*version, fromReferenceSeconds(timestamp->get<double>())};
    }
    if (legacy) {
        logger().info(localized("log.mas.cache_legacy"));
        cache_.clear();
        dirty_ = true;
        save();
        logger().info(localized("log.mas.cache_legacy_cleared"));
    }
}

std::optional<CachedMacAppStoreVersion> MacAppStoreCacheActor::entry(const std::string& key) const {
    std::scoped_lock lock(mutex_);
    auto found = cache_.find(key);
    if (found == cache_.end()) return std::nullopt;
    return found->second;
}

void MacAppStoreCacheActor::store(const std::string& key, std::string version) {
    std::scoped_lock lock(mutex_);
    cache_[key] = {std::move(version), clock_.now()};
    dirty_ = true;
}

bool MacAppStoreCacheActor::isFresh(const CachedMacAppStoreVersion& entry) const {
    return std::chrono::duration<double>(clock_.now() - entry.timestamp).count() < kCacheDuration;
}

void MacAppStoreCacheActor::save() const {
    if (path_.empty()) return;
    std::string text;
    {
        std::scoped_lock lock(mutex_);
        Json document = Json::object();
        for (const auto& [key, entry] : cache_) {
            document[key] = Json{{"version", entry.version}, {"timestamp", toReferenceSeconds(entry.timestamp)}};
        }
        text = dumpJson(document);
    }
    try {
        paths::ensureFolder(std::string(std::string_view(path_).substr(0, path_.rfind('/'))));
        writeFileAtomically(path_, text);
    } catch (const std::exception& error) {
        logger().warning(localized("log.mas.cache_not_saved", {error.what()}));
    }
}

// ---- DirectMacAppStoreChecker ----

DirectMacAppStoreChecker::DirectMacAppStoreChecker(NetworkClient& network, Options options)
    : network_(network),
      country_(options.countryCode.value_or(storeCountryFromLocale())),
      clock_(options.clock != nullptr ? *options.clock : Clock::shared()),
      cache_(options.cachePath, clock_) {}

std::string DirectMacAppStoreChecker::get(const std::string& url, std::stop_token stop) {
    HttpRequest request;
    request.url = url;
    request.timeoutSeconds = kRequestTimeout;
    request.headers.set("Cache-Control", "no-cache");  // the local cache is ours, not the transport's
    request.maxBodyBytes = 8ull * 1024 * 1024;
    return NetworkClient::successfulBody(network_.send(request, stop));
}

DirectMacAppStoreChecker::Result DirectMacAppStoreChecker::staleOr(Result result) const {
    std::string itemIdentifier = result.itemIdentifier;
    if (std::optional<CachedMacAppStoreVersion> stale = cache_.entry(result.cacheKey)) {
        logger().info(localized("log.mas.cache_stale", {itemIdentifier}));
        result.version = stale->version;
        result.source = "stale";
    }
    return result;
}

DirectMacAppStoreChecker::Result DirectMacAppStoreChecker::fetch(const Item& item, std::stop_token stop) {
    Result result;
    const std::string key = MacAppStoreCacheActor::key(item.itemIdentifier, item.isIOSApp);
    result.itemIdentifier = item.itemIdentifier;
    result.cacheKey = key;
    try {
        std::string url = Endpoints::url(Service::ITunes, "/lookup?id=" + item.itemIdentifier + "&country=" + country_ +
                                                              "&entity=desktopSoftware");
        logger().debug(localized("log.mas.fetching", {url}));
        std::vector<ITunesApp> apps = parseITunesResponse(get(url, stop));
        std::vector<std::string> kinds;
        for (const ITunesApp& app : apps) {
            if (!isAcceptedKind(app.kind, item.isIOSApp)) {
                kinds.push_back(app.kind.value_or("none"));
                continue;
            }
            if (!isUsableStoreVersion(app.version)) {
                result.error = "lookup version \"" + excerpt(sanitizeUtf8(app.version), 40) + "\" is not a version";
                continue;
            }
            result.version = trim(app.version);
            result.source = "lookup";
            break;
        }
        if (result.version) {
            logger().info(localized("log.mas.version_found", {item.itemIdentifier, country_, *result.version}));
            cache_.store(key, *result.version);
            return result;
        }
        if (!kinds.empty() && !result.error) {
            std::string error = "lookup ";
            error += item.itemIdentifier + " returned " + std::to_string(apps.size()) +
                     " result(s) but none matched forMac=" + (item.isIOSApp ? "false" : "true") + " (kinds: " +
                     join(kinds, ", ") + ")";
            logger().info(error);
            result.error = std::move(error);
            // The item is another edition than the one installed: its page would show that
            // edition's version too.
            return staleOr(std::move(result));
        }
        if (!result.error) result.error = "lookup " + item.itemIdentifier + " returned no result";
        logger().info(*result.error);
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        result.error = error.what();
        logger().warning(localized("log.mas.lookup_failed", {item.itemIdentifier, error.what()}));
    }
    // The web page, when the lookup service gave nothing usable.
    try {
        std::string page = get(Endpoints::url(Service::AppStoreWeb, "/" + country_ + "/app/id" + item.itemIdentifier),
                               stop);
        if (std::optional<std::string> version = versionFromStorePage(page); version && isUsableStoreVersion(*version)) {
            logger().info(localized("log.mas.page_version_found", {item.itemIdentifier, country_, *version}));
            cache_.store(key, *version);
            result.version = std::move(version);
            result.source = "page";
            return result;
        }
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        logger().debug(localized("log.mas.page_error", {item.itemIdentifier, error.what()}));
    }
    return staleOr(std::move(result));
}

std::map<std::string, DirectMacAppStoreChecker::Result> DirectMacAppStoreChecker::latestVersions(
    const std::vector<Item>& items, std::stop_token stop) {
    logCountryOnce(country_);
    std::map<std::string, Result> results;
    std::vector<Item> pending;
    for (const Item& item : items) {
        if (!isItemIdentifier(item.itemIdentifier)) {
            results[item.itemIdentifier].error = "not an App Store item identifier";
            continue;
        }
        std::optional<CachedMacAppStoreVersion> cached =
            cache_.entry(MacAppStoreCacheActor::key(item.itemIdentifier, item.isIOSApp));
        if (cached && cache_.isFresh(*cached)) {
            if (!item.installedVersion.empty() &&
                compareVersions(cached->version, item.installedVersion) == VersionOrder::Ascending) {
                logger().info(localized("log.mas.cache_hit_older",
                                        {item.itemIdentifier, cached->version, item.installedVersion}));
            } else {
                logger().debug(localized("log.mas.cache_hit", {item.itemIdentifier}));
                results[item.itemIdentifier] = Result{cached->version, "cache", std::nullopt};
                continue;
            }
        }
        pending.push_back(item);
    }
    if (pending.empty()) {
        logger().info(localized("log.mas.all_cached"));
        return results;
    }
    logger().info(localized("log.mas.to_check", {std::to_string(pending.size()), std::to_string(items.size())}));
    std::size_t retrieved = 0;
    for (std::size_t start = 0, batch = 1; start < pending.size(); start += kBatchSize, ++batch) {
        if (stop.stop_requested()) break;
        std::size_t end = std::min(pending.size(), start + kBatchSize);
        logger().debug(localized("log.mas.batch_start", {std::to_string(batch), std::to_string(end - start)}));
        std::vector<std::future<Result>> running;
        for (std::size_t i = start; i < end; ++i) {
            running.push_back(std::async(std::launch::async, [this, &pending, i, stop] {
                try {
                    return fetch(pending[i], stop);
                } catch (const std::exception& error) {
                    return Result{std::nullopt, "", std::string(error.what())};
                }
            }));
        }
        std::size_t successes = 0;
        for (std::size_t i = start; i < end; ++i) {
            Result result = running[i - start].get();
            successes += result.version ? 1 : 0;
            results[pending[i].itemIdentifier] = std::move(result);
        }
        retrieved += successes;
        logger().debug(localized("log.mas.batch_done", {std::to_string(batch), std::to_string(successes)}));
    }
    cache_.save();
    logger().info(localized("log.mas.check_done", {std::to_string(retrieved)}));
    return results;
}

std::vector<ITunesApp> DirectMacAppStoreChecker::bundleIdentifierResults(const std::string& bundleIdentifier,
                                                                        std::stop_token stop) {
    logCountryOnce(country_);
    std::string url = Endpoints::url(Service::ITunes, "/lookup?bundleId=" + percentEncoded(bundleIdentifier) +
                                                          "&country=" + country_ + "&entity=desktopSoftware");
    return parseITunesResponse(get(url, stop));
}

std::optional<ITunesApp> DirectMacAppStoreChecker::lookupBundleIdentifier(const std::string& bundleIdentifier,
                                                                          std::stop_token stop) {
    for (ITunesApp& app : bundleIdentifierResults(bundleIdentifier, stop)) {
        if (app.kind == std::optional<std::string>("mac-software") && app.bundleId == bundleIdentifier) return app;
    }
    return std::nullopt;
}

std::vector<ITunesApp> DirectMacAppStoreChecker::searchByName(const std::string& name, std::stop_token stop) {
    logCountryOnce(country_);
    try {
        std::string url = Endpoints::url(Service::ITunes, "/search?term=" + percentEncoded(name) +
                                                              "&country=" + country_ + "&entity=desktopSoftware");
        return parseITunesResponse(get(url, stop));
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        logger().warning(localized("log.mas.name_search_failed", {sanitizeUtf8(name), error.what()}));
        return {};
    }
}

std::optional<std::string> DirectMacAppStoreChecker::resolveItemIdentifier(const std::string& bundleIdentifier,
                                                                           const std::string& name,
                                                                           std::stop_token stop) {
    try {
        if (std::optional<ITunesApp> app = lookupBundleIdentifier(bundleIdentifier, stop)) {
            return std::to_string(app->trackId);
        }
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        logger().warning(localized("log.mas.itunes_lookup_failed", {bundleIdentifier, error.what()}));
    }
    if (name.empty()) return std::nullopt;
    for (const ITunesApp& app : searchByName(name, stop)) {
        if (app.bundleId == bundleIdentifier && app.kind == std::optional<std::string>("mac-software")) {
            return std::to_string(app.trackId);
        }
    }
    return std::nullopt;
}

}  // namespace vt
