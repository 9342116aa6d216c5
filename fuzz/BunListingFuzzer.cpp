// `bun pm ls -g` tree lines, `bun outdated` table rows and bun's error lines from arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "managers/javascript/BunManager.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    for (const auto& entry : vt::BunManager::parseInstalled(text).entries) {
        if (entry.name.empty()) std::abort();
    }
    for (const auto& entry : vt::BunManager::parseOutdated(text)) {
        if (entry.name.empty()) std::abort();
    }
    (void)vt::BunManager::bunError(text);
    return 0;
}
