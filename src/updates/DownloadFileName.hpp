#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace vt {

// The longest file name we write, in bytes. File systems stop at 255; what is left is room
// for the " (2)" of a name already taken. A longer name is cut, keeping its extension.
inline constexpr std::size_t kMaxDownloadFileNameBytes = 200;

// A name from a server made safe to use inside the download folder: path separators
// ("/", "\\", ":") become "-", control characters (CR and LF among them) are dropped, bytes
// that are not UTF-8 are replaced, leading dots and blanks go (no hidden file, no ".."),
// and the result is cut to kMaxDownloadFileNameBytes. Empty when nothing usable is left.
std::string sanitizedFileName(std::string_view name);

// The file name a Content-Disposition header gives, its RFC 5987 form ("filename*=",
// percent-decoded) before its plain form, sanitised; nullopt when neither gives a usable name.
std::optional<std::string> fileNameFromContentDisposition(std::string_view header);

// "dmg", "pkg", "tar.gz", "zip" or "download", from a Content-Type.
std::string extensionForContentType(std::string_view contentType);

// What a finished download is called: the Content-Disposition's name, else the final URL's
// last path component when it has an extension, else the item name, its latest version (or
// "update") and the extension of the Content-Type.
std::string downloadFileName(const std::optional<std::string>& contentDisposition, std::string_view finalURL,
                             std::string_view itemName, const std::optional<std::string>& latestVersion,
                             const std::optional<std::string>& contentType);

}  // namespace vt
