#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/Json.hpp"

namespace vt {

// A vendor's own "latest version" answer, read leniently: the version from `version`, `name`
// or `tagName`, the download from `url`, `downloadURL`, `downloadUrl` or
// `browserDownloadURL`, else from a nested `latest`, `latestVersion` or the first of
// `versions`, which carry the same fields.
struct GenericVersionReleaseManifest {
    std::optional<std::string> version;
    std::optional<std::string> downloadURL;

    // Nothing when the text is not a JSON object naming a version.
    static std::optional<GenericVersionReleaseManifest> read(std::string_view json);
    static std::optional<GenericVersionReleaseManifest> fromJson(const Json& json);
};

}  // namespace vt
