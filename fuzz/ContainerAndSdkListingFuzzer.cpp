// The readers of the container engines, registries, GitHub CLI extensions, the Android SDK,
// Qt, the AI assistant's settings and the vendors' bundles from arbitrary bytes: no crash,
// and no name that could reach a command as an option.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "managers/containers/ContainerImageManager.hpp"
#include "managers/containers/ImageReference.hpp"
#include "managers/containers/OllamaManager.hpp"
#include "managers/containers/RegistryClient.hpp"
#include "managers/extensions/AiAssistantManager.hpp"
#include "managers/extensions/GhExtensionManager.hpp"
#include "managers/sdks/AndroidSdkManager.hpp"
#include "managers/sdks/QtManager.hpp"
#include "managers/vendors/VendorAppsManager.hpp"

namespace {

void requireNoOption(const std::string& name) {
    if (!name.empty() && name.front() == '-') std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    for (const auto& image : vt::ContainerImageManager::parseDockerListing(text)) {
        if (auto reference = vt::ImageReference::parse(image.name)) requireNoOption(reference->name);
    }
    if (auto images = vt::ContainerImageManager::parsePodmanListing(text)) {
        for (const auto& image : *images) {
            if (auto reference = vt::ImageReference::parse(image.name)) requireNoOption(reference->name);
        }
    }
    if (auto reference = vt::ImageReference::parse(text)) {
        requireNoOption(reference->name);
        (void)reference->apiBase();
        (void)vt::newestTagOfSameShape(reference->tag, {"1.2", "1.10", "latest", std::string(text)});
    }
    (void)vt::RegistryClient::parseChallenge(text);
    (void)vt::RegistryClient::nextPage(text, "https://registry.example.com");
    (void)vt::OllamaManager::manifestSize(text);
    for (const auto& extension : vt::GhExtensionManager::parseList(text)) {
        if (!vt::GhExtensionManager::isExtensionName(extension.name)) std::abort();
    }
    (void)vt::GhExtensionManager::parseManifest(text);
    for (const char* heading : {"Installed packages:", "Available Updates:"}) {
        for (const auto& row : vt::AndroidSdkManager::parseSection(text, heading)) {
            if (!vt::AndroidSdkManager::isPackagePath(row.path)) std::abort();
        }
    }
    for (const char* element : {"package", "update"}) {
        for (const auto& component : vt::QtManager::parseComponents(text, element)) {
            if (!vt::QtManager::isComponentName(component.name)) std::abort();
        }
    }
    for (const auto& marketplace : vt::AiAssistantManager::parseMarketplaces(text)) requireNoOption(marketplace.name);
    for (const auto& plugin : vt::AiAssistantManager::parseInstalledPlugins(text)) requireNoOption(plugin.name);
    (void)vt::AiAssistantManager::parseCatalog(text);
    (void)vt::AiAssistantManager::skillVersion(text);
    (void)vt::VendorAppsManager::plistVersion(text);
    (void)vt::VendorAppsManager::commandLineToolsUpdate(text);
    return 0;
}
