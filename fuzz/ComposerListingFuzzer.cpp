// `composer global show|outdated --format=json` from arbitrary bytes, banners and all.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "managers/languages/ComposerManager.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    auto parsed = vt::ComposerManager::parseListing(text, text.substr(0, size / 2));
    for (const auto& entry : parsed.packages) {
        if (entry.name.empty() || entry.version.empty()) std::abort();
        (void)vt::ComposerManager::isPackageName(entry.name);
    }
    return 0;
}
