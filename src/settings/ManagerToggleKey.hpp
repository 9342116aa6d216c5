#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace vt {

// One visibility setting per source: a source whose toggle is off is neither scanned nor shown.
enum class ManagerToggleKey {
    ShowHomebrew,
    ShowCasks,
    ShowInstalledApplications,
    ShowMacAppStore,
    ShowSparkle,
    ShowTauri,
    ShowElectron,
    ShowSoftwareUpdate,
    ShowAppleTools,
    ShowSystemExtensions,
    ShowAISkills,
    ShowNpm,
    ShowPip,
    ShowGems,
    ShowYarn,
    ShowGitHub,
    ShowGenericUpdater,
    ShowCargo,
    ShowVSCode,
    ShowCursor,
    ShowUv,
    ShowTlmgr,
    ShowPipx,
    ShowConda,
    ShowPnpm,
    ShowBun,
    ShowGhExtensions,
    ShowDeno,
    ShowSdkman,
    ShowDocker,
    ShowOllama,
    ShowComposer,
    ShowGo,
    ShowMacPorts,
    ShowNix,
    ShowMise,
    ShowRustup,
    ShowFlutter,
    ShowQt,
    ShowAndroidSDK,
    ShowAdobeCC,
    ShowVSCodeInsiders,
    ShowVSCodium,
    ShowWindsurf,
    ShowMicrosoftOffice,
    CheckMacOSSecurity,
    ShowApt,
    ShowFlatpak,
    ShowSnap,
    ShowAppImages,
    ShowFirmware,
};

inline constexpr std::size_t kManagerToggleKeyCount = 51;

const std::array<ManagerToggleKey, kManagerToggleKeyCount>& allManagerToggleKeys();
// The case name as the interface knows it ("showHomebrew").
std::string_view caseName(ManagerToggleKey key);
// The preference key it is stored under ("ShowHomebrew"); empty for the system-extensions
// toggle, which is not stored.
std::string_view storageKey(ManagerToggleKey key);
std::optional<ManagerToggleKey> managerToggleKeyFromStorageKey(std::string_view key);
// "settings.show_homebrew_desc" and the like.
std::string_view descriptionKey(ManagerToggleKey key);

}  // namespace vt
