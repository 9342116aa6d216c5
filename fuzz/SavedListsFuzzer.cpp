// The saved lists read at nearly every start (packages, applications) from arbitrary bytes: a
// typed error or records, never a crash. What the fast reader takes must be JSON to the
// general parser too, and a package it reads must write out and read back as itself.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "base/Json.hpp"
#include "model/Application.hpp"
#include "model/Package.hpp"

namespace {

void mustBeJson(std::string_view text) {
    if (!vt::jsonNestsDeeperThan(text) && !vt::parseJson(text)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        std::vector<vt::Package> packages;
        vt::appendPackagesFromJsonText(text, packages);
        mustBeJson(text);
        for (const vt::Package& package : packages) {
            const vt::Package again = vt::packageFromJson(vt::toJson(package));
            if (!(again.name == package.name && again.version == package.version && again.type == package.type)) {
                std::abort();
            }
        }
    } catch (const vt::JsonSyntaxError&) {
    } catch (const vt::PackageDecodingError&) {
    }
    try {
        const std::vector<vt::Application> applications = vt::applicationsFromJsonText(text);
        mustBeJson(text);
        for (const vt::Application& application : applications) {
            if (vt::applicationFromJson(vt::toJson(application)).bundlePath != application.bundlePath) std::abort();
        }
    } catch (const vt::JsonSyntaxError&) {
    } catch (const vt::ApplicationDecodingError&) {
    }
    return 0;
}
