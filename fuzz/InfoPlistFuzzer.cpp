// A bundle's Info.plist from arbitrary bytes, XML or binary: the reader returns fields or
// nothing, never crashes, hangs or reads past the bytes, and what it returns can be saved.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "base/Json.hpp"
#include "sources/inventory/AppBundleReader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    std::optional<vt::InfoPlistFields> fields = vt::readInfoPlist(bytes);
    if (!fields) return 0;
    vt::BundleCandidate candidate = vt::candidateFrom("/nonexistent/Fuzz.app", *fields);
    if (candidate.name.empty()) std::abort();  // the file name stands in for a missing name
    if (candidate.sparkleAppcastURL && candidate.updateMechanism != vt::UpdateMechanism::Sparkle) std::abort();
    vt::Application application;
    application.name = candidate.name;
    application.version = candidate.version;
    application.bundleIdentifier = candidate.bundleIdentifier;
    application.buildNumber = candidate.buildNumber;
    application.sparkleAppcastURL = candidate.sparkleAppcastURL;
    // Every text kept is valid UTF-8: the saved form must read back the same.
    vt::Json json = vt::toJson(application);
    if (vt::applicationFromJson(*vt::parseJson(json.dump())) != application) std::abort();
    return 0;
}
