#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Clock.hpp"

namespace vt {

enum class ElectronUpdateProvider { Generic, GitHub, S3, Spaces, Bintray, Custom, Unknown };

// The updater configuration an Electron application ships ("app-update.yml").
struct ElectronUpdateConfig {
    ElectronUpdateProvider provider = ElectronUpdateProvider::Unknown;
    std::optional<std::string> url;
    std::optional<std::string> channel;
    std::optional<std::string> owner;
    std::optional<std::string> repo;
    std::optional<std::string> token;
    bool private_ = false;
    std::optional<std::string> publisherName;
    std::optional<std::string> releaseType;
    std::optional<std::string> bucket;
    std::optional<std::string> region;
    std::optional<std::string> path;
    std::optional<std::string> acl;
    std::optional<std::string> updaterCacheDirName;
};

// One release as a "latest-mac.yml" manifest describes it; `path` is the file chosen for
// this Mac, `version` empty when the manifest names none.
struct ElectronReleaseInfo {
    std::string version;
    std::optional<std::string> path;
    std::optional<std::string> sha512;
    std::optional<std::int64_t> size;
    std::optional<Clock::TimePoint> releaseDate;
    std::optional<std::string> releaseNotes;
    std::optional<std::string> minimumSystemVersion;
};

// Both throw ManifestError with the reason (not YAML, too large or too deeply nested, not a
// mapping, a field of the wrong shape). Unknown keys are ignored.
ElectronUpdateConfig parseElectronUpdateConfig(std::string_view yaml);
// `architecture` as machineArchitecture() says it. Of the listed files, ".blockmap" files and
// files for other systems are never chosen; a build for this architecture (or a universal
// one) is preferred, a disk image over an archive.
ElectronReleaseInfo parseElectronRelease(std::string_view yaml, std::string_view architecture);

// Whether a file named in a manifest can be installed on a Mac of that architecture:
// 2 when built for it (or universal), 1 when for a Mac of unstated architecture, 0 when not.
int macFileFit(std::string_view fileName, std::string_view architecture);

}  // namespace vt
