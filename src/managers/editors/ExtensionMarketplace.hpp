#pragma once

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "base/Clock.hpp"
#include "base/Json.hpp"

namespace vt {

// What the editors' marketplaces and command-line tools print, read without trusting any of
// it: every reader here takes arbitrary bytes, never throws, and drops what it cannot use.

// One line of `TOOL --list-extensions --show-versions`.
struct InstalledExtension {
    std::string identifier;  // "publisher.name", as the tool prints it
    std::string version;

    friend bool operator==(const InstalledExtension&, const InstalledExtension&) = default;
};

// One published version of an extension.
struct MarketplaceVersion {
    std::string version;
    std::vector<std::string> platforms;  // {"universal"} when the marketplace names none
    bool isPreRelease = false;
    std::optional<std::string> minimumEditor;  // from the engine requirement, "1.80.0"
    std::optional<std::string> vsixUrl;
    // When it was published: the gallery's "lastUpdated" of the version, Open VSX's "timestamp".
    std::optional<Clock::TimePoint> published;
};

// What decides whether a version can be installed here.
struct VersionFilter {
    std::string platform;  // "linux-x64", "darwin-arm64"...
    bool installedIsPreRelease = false;
    std::optional<std::string> editorVersion;  // unknown: no engine requirement is checked
};

class ExtensionMarketplace {
public:
    static constexpr const char* kVsixAssetType = "Microsoft.VisualStudio.Services.VSIXPackage";
    static constexpr const char* kPreReleaseProperty = "Microsoft.VisualStudio.Code.PreRelease";
    static constexpr const char* kEngineProperty = "Microsoft.VisualStudio.Code.Engine";

    // "publisher.name": the letters, digits and hyphens the tools print, one dot at least, no
    // leading "-" nor "..", so that it is safe in an address and in an argument list.
    static bool isIdentifier(std::string_view identifier);
    static std::vector<InstalledExtension> parseExtensionList(std::string_view output);

    // The target platform of this machine, as marketplaces name it.
    static std::string machinePlatform();

    // An extension query answer: "results" → "extensions" (the one named `identifier`) →
    // "versions", in the marketplace's order (newest first).
    static std::vector<MarketplaceVersion> parseGalleryVersions(std::string_view body, std::string_view identifier);
    // The POST body asking for every version of one extension, with files and properties.
    static std::string galleryQuery(std::string_view identifier);

    // An Open VSX extension document (GET /api/NAMESPACE/NAME[/VERSION]); nullopt when it
    // carries no usable version.
    static std::optional<MarketplaceVersion> parseOpenVsxVersion(const Json& document);
    // Its "allVersions" map: the versions older than `below` (all when empty), newest first.
    static std::vector<std::string> openVsxOlderVersions(const Json& document, std::string_view below);

    // The editor's extensions.json (its own record of what it installed): the identifiers, in
    // lower case, installed from a pre-release channel.
    static std::set<std::string> preReleaseInstalls(std::string_view extensionsJson);

    // "^1.80.0", ">=1.80.0", ">=1.80" → the version; "*" or anything else → nullopt.
    static std::optional<std::string> minimumEditor(std::string_view requirement);
    // Why this version cannot be installed here, or nullopt when it can.
    static std::optional<std::string> skipReason(const MarketplaceVersion& version, const VersionFilter& filter);

    // The output of an install with deprecation warnings left out; the failure it reports, if
    // any (some failures end with exit status 0).
    static std::string withoutDeprecationLines(std::string_view output);
    static bool reportsFailure(std::string_view output);
};

}  // namespace vt
