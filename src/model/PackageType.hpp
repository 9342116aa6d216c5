#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace vt {

// The kind of a tracked package. The raw value is also its display name and its JSON form.
enum class PackageType {
    BrewFormula,
    BrewCask,
    NpmGlobal,
    YarnGlobal,
    PnpmGlobal,
    BunGlobal,
    PipPackage,
    PipxPackage,
    CondaPackage,
    RubyGem,
    CargoPackage,
    VscodeExtension,
    CursorExtension,
    TlmgrPackage,
    GhExtension,
    DenoPackage,
    UvTool,
    MiseRuntime,
    NixPackage,
    XcodesVersion,
    ChezmoiConfig,
    GoPackage,
    RustupToolchain,
    ComposerPackage,
    FlutterSDK,
    QtPackage,
    AndroidSDKPackage,
    AdobeCCApp,
    MacPorts,
    GcloudComponent,
    VscodiumExtension,
    VscodeInsidersExtension,
    WindsurfExtension,
    MsOfficeApp,
    SdkmanCandidate,
    OllamaModel,
    AptPackage,
    FlatpakApp,
    SnapPackage,
    DockerImage,
    AiPlugin,
    AiMarketplace,
    AiSkill,
    AiAssistant,
    AppleDeveloperTool,
    AppImage,
    Firmware,
    Generic,
};

inline constexpr std::size_t kPackageTypeCount = 48;

// Every case, in declaration order.
const std::array<PackageType, kPackageTypeCount>& allPackageTypes();

std::string_view rawValue(PackageType type);
std::optional<PackageType> packageTypeFromRawValue(std::string_view raw);
// The localized name where the type has one, else the raw value.
std::string displayName(PackageType type);

// Where an application's update comes from. Ordered by priority: unknown is the least,
// macAppStore the greatest, so the maximum of several picks the most trusted.
enum class UpdateSource {
    MacAppStore,
    Sparkle,
    Electron,
    Github,
    HomebrewCask,
    Homebrew,
    GenericUpdater,
    Manual,
    Unknown,
};

inline constexpr std::size_t kUpdateSourceCount = 9;

const std::array<UpdateSource, kUpdateSourceCount>& allUpdateSources();
std::string_view rawValue(UpdateSource source);
std::optional<UpdateSource> updateSourceFromRawValue(std::string_view raw);
int priority(UpdateSource source);

// Compares by priority, not by declaration order.
inline bool operator<(UpdateSource a, UpdateSource b) { return priority(a) < priority(b); }
inline bool operator>(UpdateSource a, UpdateSource b) { return b < a; }
inline bool operator<=(UpdateSource a, UpdateSource b) { return !(b < a); }
inline bool operator>=(UpdateSource a, UpdateSource b) { return !(a < b); }

}  // namespace vt
