#include "sources/generic/ManifestSupport.hpp"

#include <cctype>
#include <ctime>
#include <sys/utsname.h>

#include "base/Hex.hpp"
#include "base/Strings.hpp"

namespace vt {

namespace {

// How many bytes of `text` from `at` spell `token`, each character literal or as %XX; 0 when
// they do not. Letters compare without regard to case.
std::size_t spelledAt(std::string_view text, std::size_t at, std::string_view token) {
    std::size_t position = at;
    for (char wanted : token) {
        if (position >= text.size()) return 0;
        char got = text[position];
        std::size_t width = 1;
        if (got == '%' && position + 2 < text.size()) {
            int high = hexDigitValue(text[position + 1]);
            int low = hexDigitValue(text[position + 2]);
            if (high >= 0 && low >= 0) {
                got = static_cast<char>(high * 16 + low);
                width = 3;
            }
        }
        if (std::tolower(static_cast<unsigned char>(got)) != std::tolower(static_cast<unsigned char>(wanted))) return 0;
        position += width;
    }
    return position - at;
}

bool isAddressCharacter(char c) {
    if (std::isalnum(static_cast<unsigned char>(c))) return true;
    return std::string_view("._~:/?#[]@!$&'()*+,;=%{}-").find(c) != std::string_view::npos;
}

bool isDigits(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

// "^\d+(?:\.\d+)+(?:[-+][A-Za-z0-9._-]+)?$"
bool isDottedVersion(std::string_view text) {
    std::size_t suffix = text.find_first_of("-+");
    std::string_view numeric = text.substr(0, suffix);
    std::vector<std::string_view> parts = split(numeric, '.');
    if (parts.size() < 2) return false;
    for (std::string_view part : parts) {
        if (!isDigits(part)) return false;
    }
    if (suffix == std::string_view::npos) return true;
    std::string_view rest = text.substr(suffix + 1);
    if (rest.empty()) return false;
    for (char c : rest) {
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-')) return false;
    }
    return true;
}

}  // namespace

std::string machineArchitecture() {
    struct utsname name {};
    if (::uname(&name) == 0) {
        std::string machine = name.machine;
        if (machine == "arm64" || machine == "aarch64") return "aarch64";
    }
    return "x86_64";
}

std::string substitutePlaceholders(std::string_view address, std::string_view installedVersion,
                                   std::string_view architecture) {
    struct Placeholder {
        std::string_view token;
        std::string_view value;
    };
    const Placeholder placeholders[] = {
        {"{{current_version}}", installedVersion}, {"${app.getVersion()}", installedVersion},
        {"{{target}}", "darwin"},                  {"{{platform}}", "darwin"},
        {"${process.platform}", "darwin"},         {"{{arch}}", architecture},
        {"{{node_arch}}", architecture},           {"{{electron_arch}}", architecture},
        {"${process.arch}", architecture},
    };
    std::string result;
    std::size_t at = 0;
    while (at < address.size()) {
        bool replaced = false;
        if (address[at] == '{' || address[at] == '$' || address[at] == '%') {
            for (const Placeholder& placeholder : placeholders) {
                if (std::size_t width = spelledAt(address, at, placeholder.token)) {
                    result += placeholder.value;
                    at += width;
                    replaced = true;
                    break;
                }
            }
        }
        if (!replaced) result += address[at++];
    }
    return result;
}

std::optional<std::string> addressProblem(std::string_view address) {
    std::string lower = toLower(trimView(address));
    std::size_t schemeEnd = 0;
    if (startsWith(lower, "https://")) {
        schemeEnd = 8;
    } else if (startsWith(lower, "http://")) {
        schemeEnd = 7;
    } else {
        return std::string("not an http or https address");
    }
    std::string_view rest = std::string_view(lower).substr(schemeEnd);
    if (rest.find('@') != std::string_view::npos) return std::string("carries credentials (\"@\")");
    std::string_view host = rest.substr(0, rest.find_first_of("/?#"));
    if (host.find(':') != std::string_view::npos) host = host.substr(0, host.find(':'));
    if (host.empty()) return std::string("has no host");
    if (host == "localhost" || host == "127.0.0.1" || contains(lower, "file://")) {
        return std::string("points at this machine");
    }
    return std::nullopt;
}

std::vector<std::string> addressesInText(std::string_view text) {
    std::vector<std::string> found;
    std::size_t at = 0;
    while ((at = text.find("http", at)) != std::string_view::npos) {
        std::size_t start = at;
        std::size_t schemeEnd = startsWith(text.substr(at), "https://") ? at + 8
                                : startsWith(text.substr(at), "http://") ? at + 7
                                                                          : 0;
        at += 4;
        if (schemeEnd == 0) continue;
        std::size_t end = schemeEnd;
        while (end < text.size() && isAddressCharacter(text[end])) ++end;
        if (end == schemeEnd) continue;
        std::string address(text.substr(start, end - start));
        bool seen = false;
        for (const std::string& earlier : found) seen = seen || earlier == address;
        if (!seen) found.push_back(std::move(address));
        at = end;
    }
    return found;
}

std::optional<std::string> versionFromDownloadPath(std::string_view path) {
    std::size_t at = 0;
    while ((at = path.find("/download/", at)) != std::string_view::npos) {
        at += 10;
        std::size_t end = path.find('/', at);
        if (end == std::string_view::npos) return std::nullopt;
        std::string_view folder = path.substr(at, end - at);
        if (!folder.empty() && (folder.front() == 'v' || folder.front() == 'V')) folder.remove_prefix(1);
        if (isDottedVersion(folder)) return std::string(folder);
    }
    return std::nullopt;
}

std::string withoutVersionPrefix(std::string_view version) {
    std::string_view trimmed = trimView(version);
    if (trimmed.size() > 1 && (trimmed.front() == 'v' || trimmed.front() == 'V') &&
        std::isdigit(static_cast<unsigned char>(trimmed[1]))) {
        trimmed.remove_prefix(1);
    }
    return std::string(trimmed);
}

std::string resolveAgainst(std::string_view manifestURL, std::string_view reference) {
    std::string lower = toLower(reference);
    if (startsWith(lower, "https://") || startsWith(lower, "http://")) return std::string(reference);
    std::string_view base = manifestURL.substr(0, manifestURL.find_first_of("?#"));
    std::size_t schemeEnd = base.find("://");
    std::size_t hostEnd = schemeEnd == std::string_view::npos ? 0 : base.find('/', schemeEnd + 3);
    if (!reference.empty() && reference.front() == '/') {
        return std::string(base.substr(0, hostEnd == std::string_view::npos ? base.size() : hostEnd)) +
               std::string(reference);
    }
    std::size_t slash = base.rfind('/');
    std::string folder = (hostEnd == std::string_view::npos || slash == std::string_view::npos || slash < hostEnd)
                             ? std::string(base) + "/"
                             : std::string(base.substr(0, slash + 1));
    folder += reference;
    return folder;
}

}  // namespace vt
