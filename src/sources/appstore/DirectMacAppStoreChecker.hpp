#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "base/Clock.hpp"

namespace vt {

class NetworkClient;

// One result of the iTunes lookup and search services. The first four fields are required;
// a result without them is skipped.
struct ITunesApp {
    long long trackId = 0;
    std::string bundleId;
    std::string trackName;
    std::string version;
    std::optional<std::string> sellerName;
    std::optional<std::string> trackViewUrl;
    std::optional<std::string> artworkUrl512;
    std::optional<std::string> primaryGenreName;
    std::optional<std::string> releaseDate;
    std::optional<std::string> currentVersionReleaseDate;
    std::optional<std::string> description;
    std::optional<std::string> kind;
};

// A body that is not a lookup answer: not JSON (an HTML error page), empty, without a
// `results` array, or whose `resultCount` disagrees with it.
class ITunesResponseError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Throws ITunesResponseError.
std::vector<ITunesApp> parseITunesResponse(std::string_view body);

// Kinds a result may have to describe the installed application. A Mac app is only ever
// "mac-software"; an iPhone/iPad app running on a Mac is the store's "software" (iPhone or
// universal) or "iPadSoftware" item, never its separate Mac edition.
bool isAcceptedKind(const std::optional<std::string>& kind, bool isIOSApp);

// A store version we can compare: begins with a digit, no placeholder, of sane length.
bool isUsableStoreVersion(std::string_view version);

// The version shown on an App Store web page: tags and "&nbsp;" removed, then the first
// "Version N.N" of the text.
std::optional<std::string> versionFromStorePage(std::string_view html);

// Two-letter store country from the locale (LC_ALL, else LC_MESSAGES, else LANG: the region
// of "fr_CA.UTF-8" is "ca"); "us" when none names a region.
std::string storeCountryFromLocale();

struct CachedMacAppStoreVersion {
    std::string version;
    Clock::TimePoint timestamp;
};

// The lookup cache ("mas_cache.json"), keyed by item identifier + "-mac" or "-ios". Entries
// written before the kind check had bare identifiers as keys; such a file is discarded on
// load. Thread-safe; saved atomically by save().
class MacAppStoreCacheActor {
public:
    static constexpr double kCacheDuration = 14400;  // seconds

    MacAppStoreCacheActor(std::string path, Clock& clock);
    static std::string key(const std::string& itemIdentifier, bool isIOSApp);

    std::optional<CachedMacAppStoreVersion> entry(const std::string& key) const;
    void store(const std::string& key, std::string version);
    bool isFresh(const CachedMacAppStoreVersion& entry) const;
    void save() const;

private:
    void load();

    std::string path_;
    Clock& clock_;
    mutable std::mutex mutex_;
    std::map<std::string, CachedMacAppStoreVersion> cache_;
    bool dirty_ = false;
};

// Cached lookups by item identifier against the iTunes Search API, with the item's App
// Store web page as a second source and the stale cache as the last. Thread-safe.
class DirectMacAppStoreChecker {
public:
    // One lookup's parallel requests. Apple's service throttles clients that open many
    // connections at once; twenty answers quickly without tripping it.
    static constexpr std::size_t kBatchSize = 20;
    static constexpr double kRequestTimeout = 5.0;

    struct Item {
        std::string itemIdentifier;
        std::string installedVersion;
        bool isIOSApp = false;
    };
    struct Result {
        std::optional<std::string> version;
        std::string source;  // "cache", "lookup", "page", "stale"; empty when nothing was found
        std::optional<std::string> error;  // why the network gave nothing
        std::string itemIdentifier;
        std::string cacheKey;
    };

    struct Options {
        std::string cachePath;  // "mas_cache.json" in the support folder
        std::optional<std::string> countryCode;  // the locale's when absent
        Clock* clock = nullptr;                  // Clock::shared() when null
    };

    DirectMacAppStoreChecker(NetworkClient& network, Options options);

    // The latest version per item identifier. One item's failure leaves only its own result
    // empty.
    std::map<std::string, Result> latestVersions(const std::vector<Item>& items, std::stop_token stop = {});

    // The first "mac-software" result whose bundleId equals the one asked for. Throws
    // NetworkError or ITunesResponseError.
    std::optional<ITunesApp> lookupBundleIdentifier(const std::string& bundleIdentifier, std::stop_token stop = {});
    // Every result of that lookup, unfiltered. Throws as above.
    std::vector<ITunesApp> bundleIdentifierResults(const std::string& bundleIdentifier, std::stop_token stop = {});
    // Every result of a name search; empty (and logged) when the search fails.
    std::vector<ITunesApp> searchByName(const std::string& name, std::stop_token stop = {});
    // The item identifier of a bundle: by bundle identifier, else by a name search whose
    // result has the same bundle identifier.
    std::optional<std::string> resolveItemIdentifier(const std::string& bundleIdentifier, const std::string& name,
                                                     std::stop_token stop = {});

    const std::string& countryCode() const noexcept { return country_; }

private:
    Result fetch(const Item& item, std::stop_token stop);
    // The result, or the cached version of any age when it has none.
    Result staleOr(Result result) const;
    std::string get(const std::string& url, std::stop_token stop);

    NetworkClient& network_;
    std::string country_;
    Clock& clock_;
    MacAppStoreCacheActor cache_;
};

}  // namespace vt
