#include "updates/DownloadFileName.hpp"

#include <cctype>

#include "base/Hex.hpp"
#include "base/Regex.hpp"
#include "base/Strings.hpp"

namespace vt {

namespace {

std::string trimmedOfBlanksAndQuotes(std::string_view text) {
    std::size_t start = 0, end = text.size();
    auto strip = [](char c) { return isBlank(c) || c == '"' || c == '\''; };
    while (start < end && strip(text[start])) ++start;
    while (end > start && strip(text[end - 1])) --end;
    return std::string(text.substr(start, end - start));
}

// Cuts at a character boundary: never in the middle of a UTF-8 sequence.
std::string cutToBytes(std::string_view text, std::size_t bytes) {
    if (text.size() <= bytes) return std::string(text);
    std::size_t cut = bytes;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return std::string(text.substr(0, cut));
}

// The extension we keep when a name is cut: short, and of letters and digits only.
std::string_view keptExtension(std::string_view name) {
    std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return {};
    std::string_view extension = name.substr(dot);
    if (extension.size() > 16) return {};
    for (char c : extension.substr(1)) {
        if (!std::isalnum(static_cast<unsigned char>(c))) return {};
    }
    // "x.tar.gz" keeps both parts.
    if (dot >= 4 && name.substr(dot - 4, 4) == ".tar") return name.substr(dot - 4);
    return extension;
}

std::string_view urlPath(std::string_view url) {
    std::size_t scheme = url.find("://");
    std::string_view rest = scheme == std::string_view::npos ? url : url.substr(scheme + 3);
    std::size_t slash = rest.find('/');
    if (slash == std::string_view::npos) return {};
    rest = rest.substr(slash);
    std::size_t end = rest.find_first_of("?#");
    return end == std::string_view::npos ? rest : rest.substr(0, end);
}

}  // namespace

std::string sanitizedFileName(std::string_view name) {
    std::string cleaned;
    for (char c : sanitizeUtf8(name)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) continue;
        cleaned += (c == '/' || c == '\\' || c == ':') ? '-' : c;
    }
    // No hidden file, and no name that reads as an option where the user types it after a command.
    std::size_t start = 0;
    while (start < cleaned.size() && (cleaned[start] == '.' || cleaned[start] == '-' || isBlank(cleaned[start]))) {
        ++start;
    }
    std::string result = trim(std::string_view(cleaned).substr(start));
    if (result.size() <= kMaxDownloadFileNameBytes) return result;
    std::string_view extension = keptExtension(result);
    std::string stem = cutToBytes(std::string_view(result).substr(0, result.size() - extension.size()),
                                  kMaxDownloadFileNameBytes - extension.size());
    return trim(stem) + std::string(extension);
}

std::optional<std::string> fileNameFromContentDisposition(std::string_view header) {
    static const Regex extended(R"re(filename\*\s*=\s*[^']*''([^;]+))re", Regex::Options{.caseInsensitive = true});
    static const Regex plain(R"re(filename\s*=\s*"?([^";]+)"?)re", Regex::Options{.caseInsensitive = true});
    if (auto match = extended.search(header); match && match->groups[0]) {
        std::string name = sanitizedFileName(percentDecoded(trimmedOfBlanksAndQuotes(*match->groups[0])));
        if (!name.empty()) return name;
    }
    if (auto match = plain.search(header); match && match->groups[0]) {
        std::string name = sanitizedFileName(trimmedOfBlanksAndQuotes(*match->groups[0]));
        if (!name.empty()) return name;
    }
    return std::nullopt;
}

std::string extensionForContentType(std::string_view contentType) {
    const std::string type = toLower(contentType);
    if (contains(type, "disk-image") || contains(type, "apple-diskimage") || contains(type, "dmg")) return "dmg";
    if (contains(type, "installer") || contains(type, "pkg")) return "pkg";
    if (contains(type, "gzip") || contains(type, "tar")) return "tar.gz";
    if (contains(type, "zip")) return "zip";
    return "download";
}

std::string downloadFileName(const std::optional<std::string>& contentDisposition, std::string_view finalURL,
                             std::string_view itemName, const std::optional<std::string>& latestVersion,
                             const std::optional<std::string>& contentType) {
    if (contentDisposition) {
        if (std::optional<std::string> name = fileNameFromContentDisposition(*contentDisposition)) return *name;
    }
    std::string last = sanitizedFileName(percentDecoded(lastPathComponent(urlPath(finalURL))));
    std::size_t dot = last.rfind('.');
    if (dot != std::string::npos && dot > 0 && dot + 1 < last.size()) return last;

    std::string name = sanitizedFileName(itemName);
    if (name.empty()) name = "download";
    name += ' ';
    name += latestVersion && !latestVersion->empty() ? *latestVersion : std::string("update");
    name += '.';
    name += extensionForContentType(contentType.value_or(""));
    return sanitizedFileName(name);
}

}  // namespace vt
