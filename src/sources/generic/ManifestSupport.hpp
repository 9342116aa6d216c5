#pragma once

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "base/Clock.hpp"
#include "base/IsoDate.hpp"

namespace vt {

// A manifest or an embedded updater configuration that cannot be read; the message says why.
class ManifestError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Real update manifests are a few kilobytes; anything far larger is not one.
inline constexpr std::size_t kMaximumManifestBytes = 1024 * 1024;

// "aarch64" on Apple silicon (and other 64-bit ARM machines), else "x86_64".
std::string machineArchitecture();

// Replaces the updater placeholders in an address, written literally or percent-encoded in
// either case: the installed version, the platform ("darwin") and the architecture.
std::string substitutePlaceholders(std::string_view address, std::string_view installedVersion,
                                   std::string_view architecture);

// Why an update address read from a bundle may not be fetched; nothing when it may.
std::optional<std::string> addressProblem(std::string_view address);

// Every http(s) address in a text, in order, each once.
std::vector<std::string> addressesInText(std::string_view text);

// The version named by a download path's folder ("/download/v2.3.1/App.dmg" gives "2.3.1").
std::optional<std::string> versionFromDownloadPath(std::string_view path);

// "v1.2.3" is "1.2.3"; other texts are trimmed only.
std::string withoutVersionPrefix(std::string_view version);

// A relative file name resolved against the folder of the manifest that named it.
std::string resolveAgainst(std::string_view manifestURL, std::string_view reference);

}  // namespace vt
