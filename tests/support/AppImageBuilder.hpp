#pragma once

#include <optional>
#include <string>

namespace vt::testing {

// What a test AppImage holds.
struct AppImageSpec {
    std::string name = "Demo";                      // the desktop file's Name
    std::optional<std::string> version = "1.0.0";   // X-AppImage-Version
    std::optional<std::string> updateInformation;   // ".upd_info"
    bool signature = false;                         // a ".sha256_sig" with text in it
    std::string desktopFile = "demo.desktop";
    bool desktopFileIsLink = false;  // a link into usr/share/applications, as many images have
    std::string payload = "payload";  // inside the image: different payloads, different files
};

// A real type 2 AppImage built from this machine's /usr/bin/true: sections added with
// objcopy, the magic written at offset 8, and a SquashFS image made with mksquashfs appended
// where the section headers end. Written at `path` (folders made) with mode 0755; returns
// the path. Throws std::runtime_error when a tool fails.
std::string buildAppImage(const std::string& path, const AppImageSpec& spec = {});

// The bytes of such an image (built in a temporary folder).
std::string appImageBytes(const AppImageSpec& spec = {});

// Lower-case hex digests of a file's bytes.
std::string sha1Of(const std::string& path);
std::string sha256Of(const std::string& path);

}  // namespace vt::testing
