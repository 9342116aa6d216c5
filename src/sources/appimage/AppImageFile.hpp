#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vt {

// A file that is not an AppImage we can read: not ELF, no AppImage magic, truncated, or an
// image the SquashFS library refuses. The message names the file and the reason.
class AppImageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What one AppImage says about itself, read without running it.
struct AppImageFile {
    std::string path;
    int type = 2;                   // 1: an ISO 9660 image; 2: a SquashFS image after the ELF
    std::string name;               // the desktop file's Name, else the file name
    std::optional<std::string> version;  // X-AppImage-Version
    std::optional<std::string> desktopName;  // the embedded desktop file's own name ("app.desktop")
    std::optional<std::string> updateInformation;  // ".upd_info" as written, trimmed
    bool isSigned = false;          // a non-empty ".sha256_sig"
};

// 1 or 2 when the first bytes are an ELF header with the AppImage magic ("AI" and the type
// at offset 8); nothing otherwise, for a short or unreadable file too.
std::optional<int> appImageType(const std::string& path);

// Reads the ELF sections and, for type 2, the desktop file inside the SquashFS image that
// starts where the ELF's section headers end. Throws AppImageError for a file that is not an
// AppImage or is cut short; a missing or unreadable desktop file only leaves the name to the
// file name.
AppImageFile readAppImage(const std::string& path);

// Name and X-AppImage-Version of a desktop file's [Desktop Entry] group.
struct DesktopEntry {
    std::optional<std::string> name;
    std::optional<std::string> version;
};
DesktopEntry parseDesktopEntry(std::string_view text);

// The name a file stands for when its image says nothing: the file name without
// ".AppImage" and without a trailing version or architecture ("Foo-1.2-x86_64" → "Foo").
std::string appImageNameFromFile(std::string_view fileName);

}  // namespace vt
