#include "settings/ManagerToggleKey.hpp"

namespace vt {

namespace {

struct ToggleRow {
    std::string_view caseName;
    std::string_view storageKey;
    std::string_view descriptionKey;
};

constexpr std::array<ToggleRow, kManagerToggleKeyCount> kRows{{
    {"showHomebrew", "ShowHomebrew", "settings.show_homebrew_desc"},
    {"showCasks", "ShowCasks", "settings.show_casks_desc"},
    {"showInstalledApplications", "ShowInstalledApplications", "settings.show_installed_applications_desc"},
    {"showMacAppStore", "ShowMacAppStore", "settings.show_mac_app_store_desc"},
    {"showSparkle", "ShowSparkle", "settings.show_sparkle_desc"},
    {"showTauri", "ShowTauri", "settings.show_tauri_desc"},
    {"showElectron", "ShowElectron", "settings.show_electron_desc"},
    {"showSoftwareUpdate", "ShowSoftwareUpdate", "settings.show_software_update_desc"},
    {"showAppleTools", "ShowAppleTools", "settings.show_apple_tools_desc"},
    {"showSystemExtensions", "", "settings.show_system_extensions_desc"},
    {"showAISkills", "ShowAISkills", "settings.show_ai_skills_desc"},
    {"showNpm", "ShowNpm", "settings.show_npm_desc"},
    {"showPip", "ShowPip", "settings.show_pip_desc"},
    {"showGems", "ShowGems", "settings.show_gems_desc"},
    {"showYarn", "ShowYarn", "settings.show_yarn_desc"},
    {"showGitHub", "ShowGitHub", "settings.show_github_desc"},
    {"showGenericUpdater", "ShowGenericUpdater", "settings.show_generic_updater_desc"},
    {"showCargo", "ShowCargo", "settings.show_cargo_desc"},
    {"showVSCode", "ShowVSCode", "settings.show_vscode_desc"},
    {"showCursor", "ShowCursor", "settings.show_cursor_desc"},
    {"showUv", "ShowUv", "settings.show_uv_desc"},
    {"showTlmgr", "ShowTlmgr", "settings.show_tlmgr_desc"},
    {"showPipx", "ShowPipx", "settings.show_pipx_desc"},
    {"showConda", "ShowConda", "settings.show_conda_desc"},
    {"showPnpm", "ShowPnpm", "settings.show_pnpm_desc"},
    {"showBun", "ShowBun", "settings.show_bun_desc"},
    {"showGhExtensions", "ShowGhExtensions", "settings.show_gh_extensions_desc"},
    {"showDeno", "ShowDeno", "settings.show_deno_desc"},
    {"showSdkman", "ShowSdkman", "settings.show_sdkman_desc"},
    {"showDocker", "ShowDocker", "settings.show_docker_desc"},
    {"showOllama", "ShowOllama", "settings.show_ollama_desc"},
    {"showComposer", "ShowComposer", "settings.show_composer_desc"},
    {"showGo", "ShowGo", "settings.show_go_desc"},
    {"showMacPorts", "ShowMacPorts", "settings.show_macports_desc"},
    {"showNix", "ShowNix", "settings.show_nix_desc"},
    {"showMise", "ShowMise", "settings.show_mise_desc"},
    {"showRustup", "ShowRustup", "settings.show_rustup_desc"},
    {"showFlutter", "ShowFlutter", "settings.show_flutter_desc"},
    {"showQt", "ShowQt", "settings.show_qt_desc"},
    {"showAndroidSDK", "ShowAndroidSDK", "settings.show_android_sdk_desc"},
    {"showAdobeCC", "ShowAdobeCC", "settings.show_adobe_cc_desc"},
    {"showVSCodeInsiders", "ShowVSCodeInsiders", "settings.show_vscode_insiders_desc"},
    {"showVSCodium", "ShowVSCodium", "settings.show_vscodium_desc"},
    {"showWindsurf", "ShowWindsurf", "settings.show_windsurf_desc"},
    {"showMicrosoftOffice", "ShowMicrosoftOffice", "settings.show_microsoft_office_desc"},
    {"checkMacOSSecurity", "CheckMacOSSecurity", "settings.check_macos_security_desc"},
    {"showApt", "ShowApt", "settings.show_apt_desc"},
    {"showFlatpak", "ShowFlatpak", "settings.show_flatpak_desc"},
    {"showSnap", "ShowSnap", "settings.show_snap_desc"},
    {"showAppImages", "ShowAppImages", "settings.show_appimages_desc"},
    {"showFirmware", "ShowFirmware", "settings.show_firmware_desc"},
}};

}  // namespace

const std::array<ManagerToggleKey, kManagerToggleKeyCount>& allManagerToggleKeys() {
    static const auto all = [] {
        std::array<ManagerToggleKey, kManagerToggleKeyCount> keys{};
        for (std::size_t i = 0; i < kManagerToggleKeyCount; ++i) keys[i] = static_cast<ManagerToggleKey>(i);
        return keys;
    }();
    return all;
}

std::string_view caseName(ManagerToggleKey key) { return kRows[static_cast<std::size_t>(key)].caseName; }
std::string_view storageKey(ManagerToggleKey key) { return kRows[static_cast<std::size_t>(key)].storageKey; }
std::string_view descriptionKey(ManagerToggleKey key) { return kRows[static_cast<std::size_t>(key)].descriptionKey; }

std::optional<ManagerToggleKey> managerToggleKeyFromStorageKey(std::string_view key) {
    for (std::size_t i = 0; i < kManagerToggleKeyCount; ++i) {
        if (!key.empty() && kRows[i].storageKey == key) return static_cast<ManagerToggleKey>(i);
    }
    return std::nullopt;
}

}  // namespace vt
