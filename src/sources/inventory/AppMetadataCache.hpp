#pragma once

#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "model/Application.hpp"
#include "sources/inventory/FrameworkClassifier.hpp"

namespace vt {

// What was read of one bundle, keyed by its path, kept between scans so that a bundle whose
// modification date did not change is not read again. Beyond the path, the date, the build
// and the identifier, an entry keeps what the inventory shows (name, version, mechanism,
// feed, framework), so that reusing it needs no read at all.
struct AppMetadata {
    std::string path;
    double modificationDate = 0;  // reference-date seconds of the date compared
    std::optional<std::string> bundleVersion;
    std::string bundleIdentifier;
    std::string name;
    std::string shortVersion;
    UpdateMechanism updateMechanism = UpdateMechanism::Unknown;
    std::optional<std::string> sparkleAppcastURL;
    bool hasMASReceipt = false;
    std::string executable;
    AppFramework framework = AppFramework::Other;

    Json toJson() const;
};

// The metadata cache ("app_metadata_cache.json"). Written in the background, one write at a
// time: a save asked for while one runs replaces the one waiting, so only the latest state
// is written after it; encoding and writing happen on the writer's thread. Thread-safe.
class AppMetadataCache {
public:
    explicit AppMetadataCache(std::string filePath);
    ~AppMetadataCache();  // finishes the pending write
    AppMetadataCache(const AppMetadataCache&) = delete;
    AppMetadataCache& operator=(const AppMetadataCache&) = delete;

    // The entries of the file; none when it is missing or unreadable.
    std::map<std::string, AppMetadata> load() const;
    // Saves the entries of a scan; earlier entries it did not see are kept while their path
    // exists, and dropped otherwise.
    void saveInBackground(std::map<std::string, AppMetadata> scanned, std::map<std::string, AppMetadata> earlier);
    // Returns once the write asked for so far has ended.
    void waitForPendingWrite();

    const std::string& filePath() const noexcept { return filePath_; }

private:
    void writer(std::stop_token stop);

    std::string filePath_;
    mutable std::mutex mutex_;
    std::condition_variable_any wake_;
    struct Pending {
        std::map<std::string, AppMetadata> scanned, earlier;
    };
    std::optional<Pending> pending_;  // the save waiting to be written
    bool writing_ = false;
    std::jthread thread_;
};

}  // namespace vt
