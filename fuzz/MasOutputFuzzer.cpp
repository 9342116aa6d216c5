// `mas list` and `mas outdated` from arbitrary bytes: every entry has an identifier and a version.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "sources/appstore/MacAppStoreManager.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    for (const auto& entry : vt::parseMasList(text)) {
        if (entry.id.empty() || entry.version.empty()) std::abort();
    }
    for (const auto& entry : vt::parseMasOutdated(text)) {
        if (entry.id.empty() || entry.version.empty()) std::abort();
    }
    return 0;
}
