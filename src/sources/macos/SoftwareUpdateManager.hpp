#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "base/Clock.hpp"

namespace vt {

class AdminPrompt;
class CommandRunning;
class FileSystemManager;

// One update the operating system offers.
struct SoftwareUpdate {
    enum class Origin { SoftwareUpdate, AppleDeveloperRelease };

    std::string id;  // the tool's label, which installs it
    std::string name;
    std::string version;
    std::string displayName;
    std::optional<std::string> size;
    bool isRecommended = false;
    bool isRestart = false;
    bool isShutdown = false;
    bool isCritical = false;
    std::optional<Origin> origin;
    std::optional<std::string> releaseNotesURL;
    std::optional<std::string> releaseType;
    std::optional<std::string> buildNumber;
};

enum class SoftwareUpdateCategory { Security, Safari, MacOS, Firmware, DeveloperTools, Other };
SoftwareUpdateCategory categoryOf(std::string_view name);
std::string_view labelKey(SoftwareUpdateCategory category);

// The updates in the tool's list output: the current form ("* Label: L" then "Title: T,
// Version: V, Size: S, Recommended: YES, Action: restart,") and the older one ("* L" then
// "Name (V), 3817K [recommended] [restart]"). Log lines mixed into the output are skipped.
std::vector<SoftwareUpdate> parseSoftwareUpdateList(std::string_view output);

// The "RecommendedUpdates" of the system's update preferences (a property list, XML or binary).
std::vector<SoftwareUpdate> parseRecommendedUpdates(std::string_view plistBytes);

// Follows the tool's verbose output while it installs: the last percentage, the status text
// its keywords give, and whether it said it finished.
class SoftwareUpdateInstallProgress {
public:
    void consume(std::string_view chunk);
    double progress() const noexcept { return progress_; }
    const std::string& status() const noexcept { return status_; }
    bool finished() const noexcept { return finished_; }

private:
    void line(std::string_view text);
    std::string pending_;
    double progress_ = 0;
    std::string status_;
    bool finished_ = false;
};

class SoftwareUpdateError : public std::runtime_error {
public:
    enum class Kind { Unavailable, Cancelled, MissingRights, InstallFailed, CheckFailed };
    SoftwareUpdateError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
    Kind kind() const noexcept { return kind_; }

    // What a failed install's output means: the user cancelled, rights were missing, or another failure.
    static SoftwareUpdateError fromInstallOutput(std::string_view output, const std::string& updateName);

private:
    Kind kind_;
};

// Lists and installs the operating system's updates through its own tool. Where the tool is
// absent (any system but macOS) the source is simply not there: no update, no error.
class SoftwareUpdateManager {
public:
    static constexpr const char* kTool = "/usr/sbin/softwareupdate";
    static constexpr const char* kPreferences = "/Library/Preferences/com.apple.SoftwareUpdate.plist";
    // Where the user grants rights or installs by hand when we may not.
    static constexpr const char* kSettingsAddress = "x-apple.systempreferences:com.apple.preferences.softwareupdate";

    struct Options {
        std::optional<std::string> cacheFile;  // default: "software_updates_cache.json" in the cache folder
        std::string tool = kTool;
        std::string preferences = kPreferences;
        const Clock* clock = nullptr;
    };
    using ProgressHandler = std::function<void(double progress, const std::string& status)>;

    SoftwareUpdateManager(CommandRunning& runner, const FileSystemManager& files, AdminPrompt& prompt);
    SoftwareUpdateManager(CommandRunning& runner, const FileSystemManager& files, AdminPrompt& prompt,
                          Options options);

    bool isAvailable() const;
    // Refreshes the list from the tool and the preferences, and caches it. A failure keeps the
    // previous list and is kept as errorMessage(), the check's failure message.
    std::vector<SoftwareUpdate> checkForUpdates(std::stop_token stop = {});
    std::vector<SoftwareUpdate> updates() const;
    std::optional<std::string> errorMessage() const;
    // The list saved by the last check, for a start without a check.
    std::vector<SoftwareUpdate> cachedUpdates() const;

    // Installs one update with administrator rights. Throws SoftwareUpdateError.
    void install(const SoftwareUpdate& update, const ProgressHandler& onProgress, std::stop_token stop = {});

private:
    void saveCache(const std::vector<SoftwareUpdate>& updates) const;

    CommandRunning& runner_;
    const FileSystemManager& files_;
    AdminPrompt& prompt_;
    Options options_;
    std::string cacheFile_;
    mutable std::mutex mutex_;
    std::vector<SoftwareUpdate> updates_;
    std::optional<std::string> errorMessage_;
};

}  // namespace vt
