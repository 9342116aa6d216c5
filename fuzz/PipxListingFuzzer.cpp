// `pipx list --json` from arbitrary bytes: applications or a reason, never a crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "managers/python/PipxManager.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    auto parsed = vt::PipxManager::parseList(text);
    for (const auto& application : parsed.applications) {
        if (application.package.empty()) std::abort();
        (void)vt::PipxManager::isFromRegistry(application);
    }
    return 0;
}
