// Decoding a package record from arbitrary JSON text: a typed error or a record, never a
// crash; a decoded record encodes and decodes to itself.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "base/Json.hpp"
#include "model/Package.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto json = vt::parseJson(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!json) return 0;
    try {
        vt::Package package = vt::packageFromJson(*json);
        (void)vt::stableKey(package);
        (void)vt::installLocation(package, "/home/fuzz");
        vt::Package again = vt::packageFromJson(vt::Json::parse(vt::dumpJson(vt::toJson(package))));
        if (!(again.name == package.name && again.version == package.version && again.type == package.type)) {
            std::abort();
        }
    } catch (const vt::PackageDecodingError&) {
    }
    return 0;
}
