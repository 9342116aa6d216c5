// A GitHub release object (or a list of them) from arbitrary bytes: read, or refused with
// GitHubReleasesError; the version of every tag read is a text with a digit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "base/Json.hpp"
#include "sources/github/GitHubReleasesManager.hpp"

namespace {

void readRelease(const vt::Json& json) {
    try {
        vt::GitHubRelease release = vt::parseGitHubRelease(json);
        if (release.tagName.empty()) std::abort();
        if (auto version = vt::versionFromTag(release.tagName); version && version->empty()) std::abort();
    } catch (const vt::GitHubReleasesError&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    std::optional<vt::Json> document = vt::parseJson(text);
    if (!document) return 0;
    if (document->is_array()) {
        for (const auto& release : *document) readRelease(release);
    } else {
        readRelease(*document);
    }
    return 0;
}
