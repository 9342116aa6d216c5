// The SOFA macOS feed from arbitrary bytes: read, or refused with SOFAError; never a crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "base/Json.hpp"
#include "sources/macos/SofaService.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    std::optional<vt::Json> document = vt::parseJson(text);
    if (!document) return 0;
    try {
        vt::SOFAFeed feed = vt::SOFAFeed::fromJson(*document);
        for (const auto& os : feed.osVersions) {
            for (const auto& release : os.securityReleases) (void)release;
        }
    } catch (const vt::SOFAError&) {
    }
    return 0;
}
