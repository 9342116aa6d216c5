// Marketplace answers (gallery extension queries, Open VSX documents) and the editors'
// extension lists from arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "managers/editors/ExtensionMarketplace.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using vt::ExtensionMarketplace;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    const vt::VersionFilter filter{.platform = ExtensionMarketplace::machinePlatform(), .editorVersion = "1.90.0"};
    for (const auto& version : ExtensionMarketplace::parseGalleryVersions(text, "redhat.vscode-yaml")) {
        if (version.version.empty() || version.platforms.empty()) std::abort();
        (void)ExtensionMarketplace::skipReason(version, filter);
    }
    if (auto json = vt::parseJson(text)) {
        if (auto version = ExtensionMarketplace::parseOpenVsxVersion(*json)) {
            (void)ExtensionMarketplace::skipReason(*version, filter);
            (void)ExtensionMarketplace::openVsxOlderVersions(*json, version->version);
        }
    }
    for (const auto& extension : ExtensionMarketplace::parseExtensionList(text)) {
        if (!ExtensionMarketplace::isIdentifier(extension.identifier) || extension.version.empty()) std::abort();
    }
    (void)ExtensionMarketplace::reportsFailure(text);
    return 0;
}
