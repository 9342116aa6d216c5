// pnpm's global listing and outdated report (arrays, older objects, errors) from arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "managers/javascript/PnpmManager.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    for (const auto& entry : vt::PnpmManager::parseInstalled(text).entries) {
        if (entry.name.empty()) std::abort();
    }
    for (const auto& entry : vt::PnpmManager::parseOutdated(text).entries) {
        if (entry.name.empty()) std::abort();
    }
    (void)vt::PnpmManager::pnpmError(text);
    return 0;
}
