#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vt {

// Where an AppImage says its updates come from: the text of its ".upd_info" section.
//   zsync|URL                                   a zsync control file
//   gh-releases-zsync|OWNER|REPO|TAG|PATTERN    the control file among a GitHub release's assets
//   gh-releases-direct|OWNER|REPO|TAG|PATTERN   the AppImage itself among the assets
// TAG is "latest" or a tag name; PATTERN is a file name with "*" wildcards.
struct AppImageUpdateInformation {
    enum class Kind { Zsync, GitHubReleasesZsync, GitHubReleasesDirect };
    Kind kind = Kind::Zsync;
    std::string url;  // zsync
    std::string owner, repo, tag, pattern;  // gh-releases-*

    friend bool operator==(const AppImageUpdateInformation&, const AppImageUpdateInformation&) = default;
};

// Nothing for an unknown form, missing fields, or an owner or repository GitHub would not
// accept; never throws.
std::optional<AppImageUpdateInformation> parseAppImageUpdateInformation(std::string_view text);

// Whether a release asset's name matches a pattern: "*" stands for any run of characters,
// every other character for itself.
bool matchesAssetPattern(std::string_view pattern, std::string_view name);

// The header of a zsync control file, the lines before the first blank one.
struct ZsyncHeader {
    std::string filename;
    std::optional<std::string> mtime;
    std::optional<std::uint64_t> length;
    std::string sha1;  // lower-case hex
    std::optional<std::string> url;  // may be relative to the control file's address
};

class ZsyncHeaderError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Throws ZsyncHeaderError when the text has no "zsync:" line, or no Filename or a SHA-1
// that is not 40 hex digits.
ZsyncHeader parseZsyncHeader(std::string_view text);

// The address of `reference` read against the address `base` ("a.AppImage" next to
// "https://h/d/a.zsync" is "https://h/d/a.AppImage"); an absolute http(s) address stands.
std::string resolveRelativeAddress(std::string_view base, std::string_view reference);

// The version a release file name carries ("App-1.2.3-x86_64.AppImage" → "1.2.3").
std::optional<std::string> versionFromFileName(std::string_view fileName);

}  // namespace vt
