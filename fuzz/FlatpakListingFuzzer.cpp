// `flatpak list` and `flatpak remote-ls --updates` from arbitrary bytes: never a crash.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "managers/system/FlatpakManager.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    (void)vt::FlatpakManager::parseList(text);
    (void)vt::FlatpakManager::parseUpdates(text, "user");
    (void)vt::FlatpakManager::parseUpdates(text, "system");
    return 0;
}
