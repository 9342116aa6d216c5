// npm's global listing and outdated report (JSON, damaged JSON, error objects, banners) from
// arbitrary bytes: a listing or a reason, never a crash or a hang.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "managers/javascript/NpmManager.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    auto installed = vt::NpmManager::parseInstalled(text);
    for (const auto& entry : installed.entries) {
        if (entry.name.empty() || entry.version.empty()) std::abort();
    }
    auto outdated = vt::NpmManager::parseOutdated(text);
    for (const auto& entry : outdated.entries) {
        if (entry.name.empty()) std::abort();
    }
    (void)vt::NpmManager::nativePackageMentioned(text);
    (void)vt::NpmManager::isInstallableName(text);
    return 0;
}
