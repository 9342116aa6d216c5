// `yarn global list` (tree lines, "has binaries" lines, --json lines) and a global
// package.json from arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "managers/javascript/YarnManager.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    for (const auto& entry : vt::YarnManager::parseGlobalList(text)) {
        if (entry.name.empty() || entry.version.empty()) std::abort();
    }
    if (auto entry = vt::YarnManager::splitNameAndVersion(text)) {
        if (entry->name.empty()) std::abort();
    }
    (void)vt::YarnManager::parseManifestDependencies(text);
    return 0;
}
