#include "settings/ManagerCatalog.hpp"

namespace vt {

const std::vector<ManagerCatalogEntry>& managerCatalog() {
    using K = ManagerToggleKey;
    static const std::vector<ManagerCatalogEntry> catalog = {
        {"rustup", K::ShowRustup, {"rustup"}, ""},
        {"tex-live", K::ShowTlmgr, {"tlmgr"}, ""},
        {"mise", K::ShowMise, {"mise"}, ""},
        {"nix", K::ShowNix, {"nix", "nix-env"}, ""},
        {"docker", K::ShowDocker, {"docker", "podman"}, ""},
        {"ollama", K::ShowOllama, {"ollama"}, ""},
        {"flutter", K::ShowFlutter, {"flutter"}, ""},
        {"gh-extensions", K::ShowGhExtensions, {"gh"}, ""},
        {"sdkman", K::ShowSdkman, {"sdk"}, ""},
        {"macports", K::ShowMacPorts, {"port"}, ""},
        // Editors: the application, or on Linux (no bundles) the command it installs.
        {"vscode", K::ShowVSCode, {"code"}, "Code"},
        {"vscode-insiders", K::ShowVSCodeInsiders, {"code-insiders"}, "Code - Insiders"},
        {"vscodium", K::ShowVSCodium, {"codium"}, "VSCodium"},
        {"cursor", K::ShowCursor, {"cursor"}, "Cursor"},
        {"windsurf", K::ShowWindsurf, {"windsurf"}, "Windsurf"},
    };
    return catalog;
}

}  // namespace vt
