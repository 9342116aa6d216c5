#include "settings/ManagerCatalog.hpp"

#include <algorithm>

#include "base/Strings.hpp"

namespace vt {

namespace {

using K = ManagerToggleKey;

// Package managers and toolchains count among the detected and active managers;
// application sources do not.
ManagerCatalogEntry tool(std::string id, std::string name, K toggle, std::vector<std::string> executables) {
    return {std::move(id), std::move(name), toggle, true, true, std::move(executables)};
}

ManagerCatalogEntry source(std::string id, std::string name, K toggle) {
    return {std::move(id), std::move(name), toggle, false, false, {}};
}

std::vector<ManagerCatalogEntry> makeCatalog() {
    std::vector<ManagerCatalogEntry> rows = {
        source("apps", "Applications", K::ShowInstalledApplications),
        source("app-store", "Mac App Store", K::ShowMacAppStore),
        source("apple-tools", "Apple Developer Tools", K::ShowAppleTools),
        source("sparkle", "Sparkle", K::ShowSparkle),
        source("tauri", "Tauri", K::ShowTauri),
        source("electron", "Electron", K::ShowElectron),
        source("generic-updater", "Generic Updater", K::ShowGenericUpdater),
        source("github", "GitHub Releases", K::ShowGitHub),
        source("software-update", "macOS Updates", K::ShowSoftwareUpdate),
        source("sofa", "macOS Security", K::CheckMacOSSecurity),
        source("system-extensions", "System Extensions", K::ShowSystemExtensions),
        tool("homebrew", "Homebrew", K::ShowHomebrew, {"brew"}),
        tool("casks", "Homebrew Casks", K::ShowCasks, {"brew"}),
        tool("npm", "npm", K::ShowNpm, {"npm"}),
        tool("yarn", "Yarn", K::ShowYarn, {"yarn"}),
        tool("pnpm", "pnpm", K::ShowPnpm, {"pnpm"}),
        tool("bun", "Bun", K::ShowBun, {"bun"}),
        tool("deno", "Deno", K::ShowDeno, {"deno"}),
        tool("pip", "pip", K::ShowPip, {"pip", "pip3"}),
        tool("pipx", "pipx", K::ShowPipx, {"pipx"}),
        tool("uv", "uv", K::ShowUv, {"uv"}),
        tool("conda", "Conda", K::ShowConda, {"conda", "mamba", "micromamba"}),
        tool("gems", "RubyGems", K::ShowGems, {"gem"}),
        tool("cargo", "Cargo", K::ShowCargo, {"cargo"}),
        tool("composer", "Composer", K::ShowComposer, {"composer"}),
        tool("go", "Go", K::ShowGo, {"go"}),
        tool("rustup", "rustup", K::ShowRustup, {"rustup"}),
        tool("sdkman", "SDKMAN", K::ShowSdkman, {"sdk"}),
        tool("mise", "mise", K::ShowMise, {"mise"}),
        tool("nix", "Nix", K::ShowNix, {"nix", "nix-env"}),
        tool("macports", "MacPorts", K::ShowMacPorts, {"port"}),
        tool("tex-live", "TeX Live", K::ShowTlmgr, {"tlmgr"}),
        tool("flutter", "Flutter", K::ShowFlutter, {"flutter"}),
        tool("qt", "Qt", K::ShowQt, {}),
        tool("android-sdk", "Android SDK", K::ShowAndroidSDK, {"sdkmanager"}),
        tool("adobe-cc", "Adobe Creative Cloud", K::ShowAdobeCC, {}),
        tool("ms-office", "Microsoft Office", K::ShowMicrosoftOffice, {}),
        tool("docker", "Docker", K::ShowDocker, {"docker", "podman"}),
        tool("ollama", "Ollama", K::ShowOllama, {"ollama"}),
        tool("gh-extensions", "GitHub CLI Extensions", K::ShowGhExtensions, {"gh"}),
        tool("ai-skills", "AI Skills", K::ShowAISkills, {}),
        tool("vscode", "VS Code", K::ShowVSCode, {"code"}),
        tool("vscode-insiders", "VS Code Insiders", K::ShowVSCodeInsiders, {"code-insiders"}),
        tool("vscodium", "VSCodium", K::ShowVSCodium, {"codium"}),
        tool("cursor", "Cursor", K::ShowCursor, {"cursor"}),
        tool("windsurf", "Windsurf", K::ShowWindsurf, {"windsurf"}),
    };
    std::stable_sort(rows.begin(), rows.end(), [](const ManagerCatalogEntry& a, const ManagerCatalogEntry& b) {
        return toLower(a.name) < toLower(b.name);
    });
    return rows;
}

}  // namespace

const std::vector<ManagerCatalogEntry>& managerCatalog() {
    static const std::vector<ManagerCatalogEntry> catalog = makeCatalog();
    return catalog;
}

const ManagerCatalogEntry* findCatalogEntry(std::string_view id) {
    for (const auto& entry : managerCatalog()) {
        if (entry.id == id) return &entry;
    }
    return nullptr;
}

}  // namespace vt
