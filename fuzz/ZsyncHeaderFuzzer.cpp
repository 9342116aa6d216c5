// A zsync control file's header, and the addresses and versions read from it, from arbitrary
// bytes: a header or ZsyncHeaderError, never a crash.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "sources/appimage/AppImageUpdateInformation.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        vt::ZsyncHeader header = vt::parseZsyncHeader(text);
        (void)vt::resolveRelativeAddress("https://example.org/dl/App.AppImage.zsync", header.url.value_or(header.filename));
        (void)vt::versionFromFileName(header.filename);
    } catch (const vt::ZsyncHeaderError&) {
    }
    (void)vt::resolveRelativeAddress(text, text.substr(size / 2));
    return 0;
}
