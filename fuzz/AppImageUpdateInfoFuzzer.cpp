// An AppImage's ".upd_info" text and release asset patterns from arbitrary bytes: never a crash.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "sources/appimage/AppImageUpdateInformation.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    if (auto info = vt::parseAppImageUpdateInformation(text)) {
        (void)vt::matchesAssetPattern(info->pattern, "App-1.2.3-x86_64.AppImage.zsync");
    }
    // The first half as a pattern, the rest as a name.
    (void)vt::matchesAssetPattern(text.substr(0, size / 2), text.substr(size / 2));
    return 0;
}
