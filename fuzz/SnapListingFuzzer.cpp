// `snap list` and `snap refresh --list` from arbitrary bytes: every entry has a name.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "managers/system/SnapManager.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    for (const auto& entry : vt::SnapManager::parseList(text)) {
        if (entry.name.empty()) std::abort();
    }
    for (const auto& entry : vt::SnapManager::parseRefreshList(text)) {
        if (entry.name.empty()) std::abort();
    }
    return 0;
}
