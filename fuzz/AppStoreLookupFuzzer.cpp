// The store's lookup answer from arbitrary bytes: read, or refused with ITunesResponseError.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "sources/appstore/DirectMacAppStoreChecker.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        for (const auto& app : vt::parseITunesResponse(text)) (void)app;
    } catch (const vt::ITunesResponseError&) {
    }
    return 0;
}
