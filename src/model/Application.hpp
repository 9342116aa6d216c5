#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "base/Clock.hpp"
#include "base/Json.hpp"

namespace vt {

// How an installed application is updated. Raw values are the case names.
enum class UpdateMechanism { MacAppStore, Sparkle, HomebrewCask, DirectDownload, CaskReference, Unknown };

enum class UpdateStrategy {
    AutoCLI,
    AutoInApp,
    AutoDownload,
    MacAppStore,
    ManualDownload,
    RequiresInstaller,
    MajorUpgrade,
    NotSupported,
};

enum class DetectionConfidence { High, BestEffort, Manual };

// The source a rule or the resolver chose; also the kind of evidence behind a resolution.
enum class AppRulePrimarySource {
    MacAppStore,
    Sparkle,
    HomebrewCask,
    GitHub,
    Electron,
    GenericUpdater,
    DirectDownload,
    Manual,
};

enum class GenericUpdateMechanism { Electron, Squirrel, Mozilla, Tauri, Raycast, Custom };

enum class DirectDownloadProvider { JetBrains, GoogleStudio, HomebrewCask };

std::string_view rawValue(UpdateMechanism mechanism);
std::string_view displayName(UpdateMechanism mechanism);
std::optional<UpdateMechanism> updateMechanismFromRaw(std::string_view raw);
std::string_view rawValue(UpdateStrategy strategy);
std::optional<UpdateStrategy> updateStrategyFromRaw(std::string_view raw);
std::string_view rawValue(DetectionConfidence confidence);
std::optional<DetectionConfidence> detectionConfidenceFromRaw(std::string_view raw);
std::string_view rawValue(AppRulePrimarySource source);
std::optional<AppRulePrimarySource> appRulePrimarySourceFromRaw(std::string_view raw);
std::string_view rawValue(GenericUpdateMechanism mechanism);
std::optional<GenericUpdateMechanism> genericUpdateMechanismFromRaw(std::string_view raw);
std::string_view rawValue(DirectDownloadProvider provider);
std::optional<DirectDownloadProvider> directDownloadProviderFromRaw(std::string_view raw);

struct DirectDownloadRuleConfig {
    DirectDownloadProvider provider = DirectDownloadProvider::HomebrewCask;
    std::string productCode;
    std::string channel;
    bool requiresAdminPrivileges = false;
    std::optional<bool> supportsAutomaticInstall;

    friend bool operator==(const DirectDownloadRuleConfig&, const DirectDownloadRuleConfig&) = default;
};

struct UpdateCapability {
    bool isAutoUpdateable = false;
    bool requiresAdminPassword = false;
    std::optional<std::string> limitation = std::string("No automated update mechanism detected");

    friend bool operator==(const UpdateCapability&, const UpdateCapability&) = default;
};

struct UpdatePreferences {
    bool allowAutoUpdate = true;
    bool includeInBatchUpdate = true;
    std::optional<Clock::TimePoint> lastUpdateAttempt;
    int failedAttempts = 0;

    friend bool operator==(const UpdatePreferences&, const UpdatePreferences&) = default;
};

// One installed application bundle. Keys of the saved form are the field names.
struct Application {
    std::string id;
    std::string name;
    std::string bundlePath;
    std::string version;
    std::optional<std::string> buildNumber;
    std::string bundleIdentifier;
    UpdateMechanism updateMechanism = UpdateMechanism::Unknown;
    std::optional<std::string> latestVersion;
    std::optional<std::string> latestBuildNumber;  // never persisted
    std::optional<std::string> releaseNotes;
    std::optional<std::string> downloadURL;
    // The SHA-256 its source publishes for that download (lower-case hex): the file must match it.
    std::optional<std::string> downloadSHA256;
    std::optional<Clock::TimePoint> publishDate;
    std::optional<std::string> appStoreID;
    std::optional<std::string> sparkleAppcastURL;
    std::optional<std::string> homebrewCaskName;
    std::optional<DirectDownloadRuleConfig> directDownloadConfig;
    bool isIgnored = false;
    UpdateCapability updateCapability;
    UpdatePreferences updatePreferences;
    UpdateStrategy updateStrategy = UpdateStrategy::NotSupported;
    std::optional<DetectionConfidence> detectionConfidence;
    std::optional<AppRulePrimarySource> resolutionSource;
    std::optional<std::string> resolutionReason;
    std::optional<std::string> matchedRuleIdentifier;

    friend bool operator==(const Application&, const Application&) = default;
};

class ApplicationDecodingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Keys in declaration order; optional fields only when they have a value.
Json toJson(const Application& application);
// Throws ApplicationDecodingError when a required field is missing, a field has the wrong
// type or an enumeration has an unknown raw value. Unknown keys are ignored.
Application applicationFromJson(const Json& json);
// A saved list of applications; throws JsonSyntaxError for text that is not JSON and
// ApplicationDecodingError as above, or when it is not a list.
std::vector<Application> applicationsFromJsonText(std::string_view text);

}  // namespace vt
