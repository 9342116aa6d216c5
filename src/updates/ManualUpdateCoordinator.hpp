#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <stop_token>
#include <string>

#include "base/Json.hpp"

namespace vt {

class NetworkClient;
class DefaultsStore;
class CommandRunning;

struct ManualUpdateProgress {
    std::string phase;  // a localisation key
    std::optional<double> percent;  // 0…1
    std::optional<std::uint64_t> sizeBytes;

    friend bool operator==(const ManualUpdateProgress&, const ManualUpdateProgress&) = default;
};

struct CompletedManualDownload {
    std::string fileURL;  // "file://" and the percent-encoded path
    std::optional<std::string> version;
    std::optional<int> updateViewGeneration;

    std::string path() const;
    static std::string fileURLFor(const std::string& path);

    friend bool operator==(const CompletedManualDownload&, const CompletedManualDownload&) = default;
};

// What is downloaded by hand: an application or package row of the table.
struct ManualUpdateItem {
    std::string name;
    std::optional<std::string> latestVersion;
    std::optional<std::string> downloadURL;
    // Where the item is installed when the user chose the place.
    std::optional<std::string> installLocationOverride;
    // The SHA-256 its source publishes (lower-case hex): a file that does not match is not kept.
    std::optional<std::string> expectedSHA256 = std::nullopt;
};

class ManualUpdateError : public std::runtime_error {
public:
    enum class Kind { HttpError, NoFolder };
    static ManualUpdateError httpError(int statusCode);
    static ManualUpdateError noFolder(const std::string& folder);
    Kind kind() const noexcept { return kind_; }
    int statusCode() const noexcept { return statusCode_; }

private:
    ManualUpdateError(Kind kind, int statusCode, const std::string& description);
    Kind kind_;
    int statusCode_;
};

// Downloads the update file of an item the user updates by hand into the download folder,
// remembers finished downloads across runs (a file still there is not fetched again) and
// reports phases and percentages. Thread-safe; its lock is never held across a request or a
// callback.
class ManualUpdateCoordinator {
public:
    static constexpr const char* kCompletedDownloadsKey = "ManualUpdateCoordinator.CompletedDownloads.v1";
    // A download fails only when no byte arrives for this long: a large image over a slow
    // line must finish.
    static constexpr double kStallTimeoutSeconds = 60;

    struct Options {
        NetworkClient* network = nullptr;
        DefaultsStore* defaults = nullptr;
        // Runs `xdg-user-dir` to find the download folder; none: the home's "Downloads".
        CommandRunning* runner = nullptr;
        std::optional<std::string> downloadFolder;  // replaces the user's download folder
        std::function<std::optional<int>()> updateViewGeneration;
        double stallTimeoutSeconds = kStallTimeoutSeconds;
    };
    using ProgressHandler = std::function<void(const ManualUpdateProgress&)>;

    explicit ManualUpdateCoordinator(Options options);

    // "path:" and the install path when the user chose it, else "url:" and the download
    // address, else "name:" and the lower-cased name; then "|version:" and the latest version.
    static std::string itemKey(const ManualUpdateItem& item);
    // The user's download folder: on Linux `xdg-user-dir DOWNLOAD` when it names a folder
    // other than home, else ~/Downloads.
    static std::string userDownloadFolder(CommandRunning* runner);

    // Downloads the item's file and records it; a file the item downloaded before that is
    // still there (and matches its checksum) is given again without a transfer. A download
    // whose checksum does not match is removed (DirectDownloadError::checksumMismatch).
    // Blocks; onProgress is called on this thread. Throws ManualUpdateError, NetworkError,
    // FileWriteError, DirectDownloadError, or CancellationError after a stop of `stop`.
    CompletedManualDownload download(const ManualUpdateItem& item, const ProgressHandler& onProgress = {},
                                     std::stop_token stop = {});

private:
    // The item's earlier download when its file is still there and, when the item has a
    // checksum, matches it; otherwise it is forgotten.
    std::optional<CompletedManualDownload> reusableDownload(const std::string& key, const ManualUpdateItem& item);
    void persistCompletedDownloads(std::map<std::string, CompletedManualDownload> downloads) const;

    Options options_;
    mutable std::mutex mutex_;
    std::set<std::string> inFlight_;
    std::map<std::string, CompletedManualDownload> completedDownloads_;
};

Json toJson(const CompletedManualDownload& download);

}  // namespace vt
