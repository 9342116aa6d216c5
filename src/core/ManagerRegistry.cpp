#include "core/ManagerRegistry.hpp"

#include "managers/containers/ContainerImageManager.hpp"
#include "managers/containers/OllamaManager.hpp"
#include "managers/editors/IDEExtensionManager.hpp"
#include "managers/extensions/AiAssistantManager.hpp"
#include "managers/extensions/GhExtensionManager.hpp"
#include "managers/homebrew/BrewManager.hpp"
#include "managers/javascript/BunManager.hpp"
#include "managers/javascript/DenoManager.hpp"
#include "managers/javascript/NpmManager.hpp"
#include "managers/javascript/PnpmManager.hpp"
#include "managers/javascript/YarnManager.hpp"
#include "managers/languages/CargoManager.hpp"
#include "managers/languages/ComposerManager.hpp"
#include "managers/languages/GemManager.hpp"
#include "managers/languages/GoManager.hpp"
#include "managers/python/CondaManager.hpp"
#include "managers/sdks/AndroidSdkManager.hpp"
#include "managers/sdks/QtManager.hpp"
#include "managers/python/PipManager.hpp"
#include "managers/python/PipxManager.hpp"
#include "managers/python/UvManager.hpp"
#include "managers/system/AptManager.hpp"
#include "managers/system/FirmwareManager.hpp"
#include "managers/system/FlatpakManager.hpp"
#include "managers/system/SnapManager.hpp"
#include "managers/toolchains/FlutterManager.hpp"
#include "managers/toolchains/MacPortsManager.hpp"
#include "managers/toolchains/MiseManager.hpp"
#include "managers/toolchains/NixManager.hpp"
#include "managers/toolchains/RustupManager.hpp"
#include "managers/toolchains/SdkmanManager.hpp"
#include "managers/toolchains/TlmgrManager.hpp"
#include "managers/vendors/VendorAppsManager.hpp"
#include "updates/appimage/AppImageManager.hpp"

namespace vt {

const std::vector<SourceRow>& ManagerRegistry::sources() {
    static const std::vector<SourceRow> rows = {
        BrewManager::source(), NpmManager::source(),   PnpmManager::source(), YarnManager::source(),
        BunManager::source(),  DenoManager::source(),  UvManager::source(),   CondaManager::source(),
        PipManager::source(),  PipxManager::source(),  GemManager::source(),  CargoManager::source(),
        GoManager::source(),   ComposerManager::source(),
        AptManager::source(),  FlatpakManager::source(), SnapManager::source(), AppImageManager::source(),
        FirmwareManager::source(),
        RustupManager::source(), SdkmanManager::source(), MiseManager::source(), NixManager::source(),
        MacPortsManager::source(), TlmgrManager::source(), FlutterManager::source(),
        IDEExtensionManager::source(IDEType::VSCode), IDEExtensionManager::source(IDEType::VSCodeInsiders),
        IDEExtensionManager::source(IDEType::VSCodium), IDEExtensionManager::source(IDEType::Cursor),
        IDEExtensionManager::source(IDEType::Windsurf),
        ContainerImageManager::source(), OllamaManager::source(), GhExtensionManager::source(),
        AndroidSdkManager::source(), QtManager::source(), AiAssistantManager::source(),
        VendorAppsManager::source(VendorAppsManager::Vendor::AppleDeveloperTools),
        VendorAppsManager::source(VendorAppsManager::Vendor::AdobeCreativeCloud),
        VendorAppsManager::source(VendorAppsManager::Vendor::MicrosoftOffice),
    };
    return rows;
}

const SourceRow* ManagerRegistry::find(std::string_view id) {
    for (const SourceRow& row : sources()) {
        if (row.id == id) return &row;
    }
    return nullptr;
}

ManagerRegistry& ManagerRegistry::shared() {
    static ManagerRegistry registry;
    return registry;
}

}  // namespace vt
