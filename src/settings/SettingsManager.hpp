#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "base/Clock.hpp"
#include "base/Json.hpp"
#include "base/NotificationCenter.hpp"
#include "settings/DefaultsStore.hpp"
#include "settings/ManagerToggleKey.hpp"

namespace vt {

enum class AppTheme { System, Light, Dark };
enum class CacheTTLUnit { Minutes, Hours, Days };
enum class BrewOutdatedMode { Greedy, GreedyAutoUpdates, Normal };
enum class ManualUpdateMode { DownloadOnly, DownloadAndInstall };

inline constexpr std::string_view kManagerToggleDidChange = "Vantreel.ManagerToggleDidChange";
inline constexpr std::string_view kUpdateExceptionSettingsDidChange = "Vantreel.UpdateExceptionSettingsDidChange";
inline constexpr std::string_view kAppAppearanceDidChange = "Vantreel.AppAppearanceDidChange";
inline constexpr std::string_view kCacheTTLSettingsDidChange = "Vantreel.CacheTTLSettingsDidChange";
// The in-app scan timer re-arms on it.
inline constexpr std::string_view kCheckIntervalDidChange = "Vantreel.CheckIntervalDidChange";

// The failure history of one item that updates automatically.
struct AutoUpdateFailureRecord {
    std::string identifier, version, name, source, signature;
    long long failureCount = 0;
    Clock::TimePoint firstFailureAt{}, lastFailureAt{};

    Json toJson() const;
    static std::optional<AutoUpdateFailureRecord> fromJson(const Json& json);
};

// An update put off after repeated failures. Fields this layer does not know are kept as
// they were stored.
struct AutoDeferredUpdate {
    std::string identifier, version, name, source, reason, kind;
    long long failureCount = 0;
    Clock::TimePoint firstFailureAt{};
    Json otherFields = Json::object();

    Json toJson() const;
    static std::optional<AutoDeferredUpdate> fromJson(const Json& json);
};

// What a stored value is; decides validation and fallback.
// Folder: an absolute path, or empty for none (a relative one would depend on where each
// process that reads it was started).
enum class SettingKind { Bool, Integer, Choice, Data, StringList, StringMap, Dictionary, Folder };

struct SettingDefinition {
    std::string_view key;
    SettingKind kind;
    Json defaultValue;
    std::vector<std::string_view> choices;  // allowed strings of a Choice
    std::string_view broadcast;             // posted when it changes; empty for none
};

// Every stored preference, in load order.
const std::vector<SettingDefinition>& settingDefinitions();
const SettingDefinition* findSetting(std::string_view key);

class SettingsError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// Every user preference, read once from the defaults store at creation (a missing or
// wrongly typed value falls back to its default, silently) and written back on change.
// Changes that others react to are posted on the notification center; inside batch(),
// each notification is posted once at the end. Thread-safe.
class SettingsManager {
public:
    explicit SettingsManager(DefaultsStore& store, NotificationCenter& notifications = NotificationCenter::shared());

    // The effective value of a key (the default when the stored one is absent or unusable).
    Json value(std::string_view key) const;
    bool boolValue(std::string_view key) const;
    long long integerValue(std::string_view key) const;
    std::string stringValue(std::string_view key) const;
    bool isStored(std::string_view key) const;
    // The keys whose saved value, when the settings were read, was of the wrong kind or not
    // one of its choices: their defaults are in effect.
    const std::vector<std::string>& unusableKeys() const { return unusableKeys_; }

    // Validated writes. Throws SettingsError naming what is allowed.
    void setValue(std::string_view key, const Json& value);
    // Parses a command-line text for the key's kind ("true", "24", "dark", a JSON array of
    // texts for a list). Dictionaries and data are refused: they have commands of their own.
    void setFromText(std::string_view key, std::string_view text);
    // What setValue() and setFromText() would store, validated, without storing it.
    Json checkedValue(std::string_view key, const Json& value) const;
    Json valueFromText(std::string_view key, std::string_view text) const;
    // Adds the values missing from a list setting, in order; removes values from one.
    // Throws SettingsError when the key is not a list.
    void addToList(std::string_view key, const std::vector<std::string>& values);
    void removeFromList(std::string_view key, const std::vector<std::string>& values);
    // The list these would store, without storing it.
    Json listWith(std::string_view key, const std::vector<std::string>& values, bool adding) const;
    void reset(std::string_view key);
    void resetAll();

    // Runs the changes and posts each notification they caused once, at the end.
    void batch(const std::function<void()>& changes);

    AppTheme theme() const;
    CacheTTLUnit cacheTTLUnit() const;
    std::chrono::seconds cacheLifetime() const;
    int checkIntervalHours() const;
    // "MaxDownloadSizeMB" in bytes, at least 1 MB.
    std::uint64_t maxDownloadBytes() const;
    BrewOutdatedMode brewOutdatedMode() const;
    ManualUpdateMode manualUpdateMode() const;
    bool showPreReleaseUpdates() const;

    bool isVisible(ManagerToggleKey key) const;
    void setVisible(ManagerToggleKey key, bool visible);

    std::map<std::string, std::string> skippedVersions() const;
    void setSkippedVersions(const std::map<std::string, std::string>& versions);
    std::vector<std::string> additionalApplicationFolders() const;
    std::vector<std::string> excludedAdoptableApps() const;
    void setExcludedAdoptableApps(const std::vector<std::string>& apps);
    std::map<std::string, AutoUpdateFailureRecord> autoUpdateFailureRecords() const;
    void setAutoUpdateFailureRecords(const std::map<std::string, AutoUpdateFailureRecord>& records);
    std::map<std::string, AutoDeferredUpdate> autoDeferredUpdates() const;
    void setAutoDeferredUpdates(const std::map<std::string, AutoDeferredUpdate>& updates);

    // Once per user: each source's visibility follows whether its tool is here. `detect` is
    // asked only then, and answers for each setting it knows (the others keep their default).
    using Detection = std::function<std::map<ManagerToggleKey, bool>()>;
    void applyFirstLaunchDefaults(const Detection& detect);

    DefaultsStore& store() noexcept { return store_; }

private:
    Json effectiveValue(const SettingDefinition& definition, const std::optional<Json>& stored) const;
    void write(const SettingDefinition& definition, std::optional<Json> value);
    void notify(std::string_view name);

    DefaultsStore& store_;
    NotificationCenter& notifications_;
    mutable std::mutex mutex_;
    std::map<std::string, Json, std::less<>> values_;
    int batchDepth_ = 0;
    std::set<std::string> pendingNotifications_;
    std::vector<std::string> unusableKeys_;
};

}  // namespace vt
