// Update manifests and updater configurations from arbitrary bytes: every reader returns a
// result or its typed error, never crashes or hangs (alias bombs and deep nesting included),
// and a chosen download is never a file for another system.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "sources/generic/ElectronManifest.hpp"
#include "sources/generic/GenericVersionReleaseManifest.hpp"
#include "sources/generic/ManifestSupport.hpp"
#include "sources/generic/TauriManager.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    for (const char* architecture : {"aarch64", "x86_64"}) {
        try {
            vt::ElectronReleaseInfo release = vt::parseElectronRelease(bytes, architecture);
            if (release.path && vt::macFileFit(*release.path, architecture) == 0) std::abort();
        } catch (const vt::ManifestError&) {
        }
        try {
            (void)vt::parseTauriManifest(bytes, architecture);
        } catch (const vt::ManifestError&) {
        }
    }
    try {
        (void)vt::parseElectronUpdateConfig(bytes);
    } catch (const vt::ManifestError&) {
    }
    (void)vt::GenericVersionReleaseManifest::read(bytes);
    (void)vt::parseIsoDate(bytes);
    (void)vt::versionFromDownloadPath(bytes);
    (void)vt::resolveAgainst("https://u.test/feed/latest-mac.yml", bytes);
    for (const std::string& address : vt::addressesInText(bytes)) {
        std::string filled = vt::substitutePlaceholders(address, "1.0", "aarch64");
        if (filled.find("{{arch}}") != std::string::npos) std::abort();
        (void)vt::addressProblem(filled);
    }
    return 0;
}
