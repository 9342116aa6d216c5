#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Clock.hpp"
#include "base/Json.hpp"

namespace vt {

enum class SystemExtensionType {
    SafariExtension,
    PreferencePane,
    QuickLook,
    ScreenSaver,
    InputMethod,
    AudioUnit,
    SpotlightImporter
};

// "QuickLook Plugin", "Safari Extension", "Spotlight Importer"...
std::string_view displayName(SystemExtensionType type);

// An installed plug-in, listed for display only: nothing checks it for updates.
struct SystemExtension {
    std::string id;  // its path: two copies of one plug-in in two folders are two entries
    std::string name;
    SystemExtensionType type = SystemExtensionType::QuickLook;
    std::string path;
    std::optional<std::string> version;
    std::optional<std::string> bundleIdentifier;
    std::optional<std::string> description;
    std::optional<std::string> vendor;  // the identifier's organisation ("com.example.x" → "example")
    std::optional<Clock::TimePoint> installDate;
    std::uint64_t fileSize = 0;
    bool isSystemExtension = false;  // installed for every user (/Library), not in a home folder

    Json toJson() const;
};

// Lists the plug-ins in the folders macOS loads them from, in the user's Library and the
// system's: preference panes, Quick Look and Spotlight plug-ins, screen savers, input
// methods, audio units and legacy Safari extensions. Unreadable folders and bundles are
// skipped; a bundle without an Info.plist is still listed under its file name.
class SystemExtensionManager {
public:
    struct Options {
        std::string home;                 // the user's home; the running user's when empty
        std::string systemLibrary = "/Library";
    };

    SystemExtensionManager();
    explicit SystemExtensionManager(Options options);

    // Sorted by type, then name.
    std::vector<SystemExtension> list() const;

private:
    Options options_;
};

}  // namespace vt
