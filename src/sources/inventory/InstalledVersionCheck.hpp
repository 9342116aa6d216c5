#pragma once

#include <optional>
#include <string>

namespace vt {

// The version of an application bundle as it is on disk now.
struct InstalledVersion {
    std::string version;
    std::optional<std::string> buildNumber;
};

// Reads the bundle's Info.plist; nothing when the bundle is gone or unreadable.
std::optional<InstalledVersion> readInstalledVersion(const std::string& bundlePath);

// Why an installer refused to put an update in place; nothing was changed.
struct ReplacementRefusal {
    enum class Kind { NotNewer, NotInstalled };
    Kind kind = Kind::NotNewer;
    std::string installedVersion;  // as read just now (NotNewer)
    std::string message;           // shown to the user
};

// The one check every application installer makes before it replaces a bundle, and again
// right before the replacement: what is installed now (not what the last scan recorded)
// must be older than what is offered. The same version with a newer build counts as newer;
// an installed version that is a placeholder ("", "Unknown") holds nothing back. A bundle
// that is no longer there is not installed anew.
std::optional<ReplacementRefusal> refusalToReplace(const std::string& name,
                                                   const std::optional<InstalledVersion>& installedNow,
                                                   const std::string& offeredVersion,
                                                   const std::optional<std::string>& offeredBuild = std::nullopt);

// The same with the bundle at `bundlePath` read now.
std::optional<ReplacementRefusal> refusalToReplace(const std::string& name, const std::string& bundlePath,
                                                   const std::string& offeredVersion,
                                                   const std::optional<std::string>& offeredBuild = std::nullopt);

}  // namespace vt
