#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace vt {

class NetworkClient;

// The cask index of Homebrew's public JSON API (the HomebrewApi endpoint), which adoption and
// the application sources match bundles against. Each refresh is a conditional request
// carrying the stored ETag, so an unchanged index costs one 304. With a cache folder, the
// last body and its ETag are kept on disk ("homebrew_casks.json",
// "homebrew_cache_expiration.json", "homebrew_cache_schema_version.json") and a new process
// starts from them. Thread-safe; no lock is held during a request. A failed refresh throws
// NetworkError and keeps the previous index.
class BrewAPIClient {
public:
    struct CaskEntry {
        std::string token;
        std::string version;
        bool deprecated = false;
        bool disabled = false;
        bool autoUpdates = false;
        std::vector<std::string> names;         // display names ("name")
        std::vector<std::string> appArtifacts;  // bundle file names the cask installs ("Foo.app")
        bool renamesApp = false;                // an app artifact is installed under another name
        std::vector<std::string> conflictsWithCasks;
        friend bool operator==(const CaskEntry&, const CaskEntry&) = default;
    };
    using CaskIndex = std::map<std::string, CaskEntry, std::less<>>;

    static constexpr int kCacheSchemaVersion = 1;
    // The cask index is about 15 MB today.
    static constexpr std::uint64_t kMaxIndexBytes = 256ull * 1024 * 1024;

    struct Options {
        std::optional<std::string> cacheFolder;
    };

    explicit BrewAPIClient(NetworkClient& network);
    BrewAPIClient(NetworkClient& network, Options options);

    // true when a new index arrived, false when the server said it is unchanged.
    bool refreshCaskIndex(std::stop_token stop = {});

    // Empty until a refresh (or the disk cache) provided one.
    std::shared_ptr<const CaskIndex> caskIndex() const;
    std::optional<std::string> caskETag() const;

    std::optional<CaskEntry> cask(std::string_view token) const;

    // Entries that are not objects or lack their name are skipped and counted.
    static CaskIndex parseCaskIndex(std::string_view body, std::size_t* skipped = nullptr);

private:
    void loadFromDiskIfNeeded();
    void storeOnDisk(const std::string& body, const std::optional<std::string>& etag) const;

    NetworkClient& network_;
    Options options_;
    mutable std::mutex mutex_;
    mutable std::mutex diskMutex_;  // the ETag file is read, changed and written back
    std::shared_ptr<const CaskIndex> caskIndex_;
    std::optional<std::string> caskETag_;
    bool triedDisk_ = false;
};

}  // namespace vt
