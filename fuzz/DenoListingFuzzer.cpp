// `deno --version`, `deno upgrade --dry-run` (both streams, colour codes) and
// `brew info --json=v2 deno` from arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "managers/javascript/DenoManager.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    if (auto version = vt::DenoManager::parseVersion(text)) {
        if (version->empty()) std::abort();
    }
    auto check = vt::DenoManager::parseUpgradeCheck(text);
    if (check.latestVersion && check.latestVersion->empty()) std::abort();
    (void)vt::DenoManager::parseBrewStableVersion(text);
    return 0;
}
