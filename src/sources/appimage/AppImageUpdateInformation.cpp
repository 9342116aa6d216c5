#include "sources/appimage/AppImageUpdateInformation.hpp"

#include <charconv>
#include <vector>

#include "base/Regex.hpp"
#include "base/Strings.hpp"

namespace vt {

namespace {

bool isGitHubName(std::string_view name) {
    static const Regex pattern(R"(^[A-Za-z0-9_.-]{1,100}$)");
    return pattern.fullyMatches(name) && name != "." && name != "..";
}

}  // namespace

std::optional<AppImageUpdateInformation> parseAppImageUpdateInformation(std::string_view text) {
    std::string trimmed = trim(text);
    std::vector<std::string_view> fields = split(trimmed, '|');
    if (fields.empty()) return std::nullopt;
    AppImageUpdateInformation info;
    if (fields[0] == "zsync") {
        if (fields.size() != 2) return std::nullopt;
        std::string url = trim(fields[1]);
        if (!startsWith(url, "https://") && !startsWith(url, "http://")) return std::nullopt;
        if (url.find_first_of(" \t\r\n") != std::string::npos) return std::nullopt;
        info.url = url;
        return info;
    }
    if (fields[0] == "gh-releases-zsync") {
        info.kind = AppImageUpdateInformation::Kind::GitHubReleasesZsync;
    } else if (fields[0] == "gh-releases-direct") {
        info.kind = AppImageUpdateInformation::Kind::GitHubReleasesDirect;
    } else {
        return std::nullopt;
    }
    if (fields.size() != 5) return std::nullopt;
    info.owner = trim(fields[1]);
    info.repo = trim(fields[2]);
    info.tag = trim(fields[3]);
    info.pattern = trim(fields[4]);
    if (!isGitHubName(info.owner) || !isGitHubName(info.repo) || info.tag.empty() || info.pattern.empty()) {
        return std::nullopt;
    }
    if (info.tag.find_first_of("/?#") != std::string::npos && info.tag != "latest") return std::nullopt;
    return info;
}

bool matchesAssetPattern(std::string_view pattern, std::string_view name) {
    // Iterative wildcard match: the last "*" seen is where a mismatch backs up to.
    std::size_t p = 0, n = 0, star = std::string_view::npos, mark = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            mark = n;
        } else if (p < pattern.size() && pattern[p] == name[n]) {
            ++p;
            ++n;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            n = ++mark;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

ZsyncHeader parseZsyncHeader(std::string_view text) {
    ZsyncHeader header;
    bool sawVersion = false;
    for (std::string_view line : splitLines(text)) {
        if (trimView(line).empty()) break;  // the block checksums follow
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        const std::string key = toLower(trim(line.substr(0, colon)));
        std::string value = trim(line.substr(colon + 1));
        if (key == "zsync") sawVersion = true;
        else if (key == "filename") header.filename = value;
        else if (key == "mtime") header.mtime = value;
        else if (key == "url") header.url = value;
        else if (key == "sha-1") header.sha1 = toLower(value);
        else if (key == "length") {
            std::uint64_t length = 0;
            auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), length);
            if (error == std::errc() && end == value.data() + value.size()) header.length = length;
        }
    }
    static const Regex hex(R"(^[0-9a-f]{40}$)");
    if (!sawVersion) throw ZsyncHeaderError("not a zsync control file");
    if (header.filename.empty() || header.filename.find('/') != std::string::npos) {
        throw ZsyncHeaderError("zsync control file without a usable Filename");
    }
    if (!hex.fullyMatches(header.sha1)) throw ZsyncHeaderError("zsync control file without a SHA-1");
    return header;
}

std::string resolveRelativeAddress(std::string_view base, std::string_view reference) {
    if (startsWith(reference, "https://") || startsWith(reference, "http://")) return std::string(reference);
    const std::size_t scheme = base.find("://");
    const std::size_t hostEnd = scheme == std::string_view::npos ? 0 : base.find('/', scheme + 3);
    if (startsWith(reference, "/")) {
        return std::string(base.substr(0, hostEnd == std::string_view::npos ? base.size() : hostEnd)) +
               std::string(reference);
    }
    std::string_view folder = base.substr(0, base.find_first_of("?#"));
    folder = folder.substr(0, folder.rfind('/') + 1);
    return std::string(folder) + std::string(reference);
}

std::optional<std::string> versionFromFileName(std::string_view fileName) {
    static const Regex pattern(R"((?:^|[-_ ])v?([0-9]+(?:\.[0-9]+)+[A-Za-z0-9]*))");
    if (auto match = pattern.search(fileName)) {
        if (!match->groups.empty() && match->groups[0]) return std::string(*match->groups[0]);
    }
    return std::nullopt;
}

}  // namespace vt
