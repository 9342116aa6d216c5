#include "managers/python/PipIndex.hpp"

#include <sys/utsname.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <map>
#include <set>

#if defined(__GLIBC__)
#include <gnu/libc-version.h>
#endif

#include "base/Json.hpp"
#include "base/Paths.hpp"
#include "base/Strings.hpp"
#include "managers/python/PipManager.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {

namespace {

// One configuration file as Python's configparser reads it: keys in lower case, "_" read as
// "-" the way pip reads them, a value continued on indented lines.
using Section = std::map<std::string, std::string>;
std::map<std::string, Section> readConfiguration(std::string_view text) {
    std::map<std::string, Section> sections;
    Section* current = nullptr;
    std::string* lastValue = nullptr;
    for (std::string_view line : splitLines(text)) {
        const std::string_view trimmed = trimView(line);
        if (trimmed.empty() || trimmed.front() == '#' || trimmed.front() == ';') {
            lastValue = nullptr;
            continue;
        }
        const bool indented = line.front() == ' ' || line.front() == '\t';
        if (indented && lastValue != nullptr) {
            lastValue->append("\n").append(trimmed);
            continue;
        }
        if (trimmed.front() == '[' && trimmed.back() == ']') {
            current = &sections[std::string(trimView(trimmed.substr(1, trimmed.size() - 2)))];
            lastValue = nullptr;
            continue;
        }
        const std::size_t equals = trimmed.find_first_of("=:");
        if (current == nullptr || equals == std::string_view::npos) continue;
        std::string key = toLower(trimView(trimmed.substr(0, equals)));
        std::replace(key.begin(), key.end(), '_', '-');
        lastValue = &((*current)[key] = std::string(trimView(trimmed.substr(equals + 1))));
    }
    return sections;
}

std::optional<bool> truth(std::string_view value) {
    const std::string lowered = toLower(trimView(value));
    if (lowered == "1" || lowered == "y" || lowered == "yes" || lowered == "t" || lowered == "true" || lowered == "on")
        return true;
    if (lowered == "0" || lowered == "n" || lowered == "no" || lowered == "f" || lowered == "false" || lowered == "off")
        return false;
    return std::nullopt;
}

// Settings that change nothing about which versions `pip list --outdated` finds.
const std::set<std::string, std::less<>> kIrrelevantKeys = {
    "disable-pip-version-check", "timeout", "default-timeout", "retries", "no-input", "no-color", "quiet", "verbose",
    "cache-dir", "no-cache-dir", "log", "log-file", "progress-bar", "root-user-action", "break-system-packages",
    "require-virtualenv", "format", "exists-action", "user", "no-warn-script-location", "no-python-version-warning",
};

// An address we can ask ourselves: http or https, no credentials in it.
bool isPlainIndexUrl(std::string_view url) {
    const std::string lowered = toLower(url);
    std::size_t start;
    if (startsWith(lowered, "https://")) {
        start = 8;
    } else if (startsWith(lowered, "http://")) {
        start = 7;
    } else {
        return false;
    }
    const std::size_t end = lowered.find_first_of("/?#", start);
    const std::string_view authority = std::string_view(lowered).substr(start, end == std::string::npos ? end : end - start);
    return !authority.empty() && authority.find('@') == std::string_view::npos;
}

std::vector<std::string> words(std::string_view value) {
    std::vector<std::string> out;
    std::string current;
    for (char c : value) {
        if (std::isspace(static_cast<unsigned char>(c)) != 0) {
            if (!current.empty()) out.push_back(std::move(current));
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty()) out.push_back(std::move(current));
    return out;
}

// HTML's character references in an attribute value ("&gt;=3.8").
std::string unescaped(std::string_view text) {
    static const std::map<std::string, std::string, std::less<>> kNamed = {
        {"lt", "<"}, {"gt", ">"}, {"amp", "&"}, {"quot", "\""}, {"apos", "'"}, {"nbsp", " "}};
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const std::size_t end = text[i] == '&' ? text.find(';', i) : std::string_view::npos;
        if (end == std::string_view::npos || end - i > 10) {
            out += text[i];
            continue;
        }
        const std::string_view name = text.substr(i + 1, end - i - 1);
        unsigned long code = 0;
        bool numeric = false;
        if (name.size() > 1 && name.front() == '#') {
            const bool hex = name[1] == 'x' || name[1] == 'X';
            const std::string_view digits = name.substr(hex ? 2 : 1);
            auto [at, error] = std::from_chars(digits.data(), digits.data() + digits.size(), code, hex ? 16 : 10);
            numeric = error == std::errc() && at == digits.data() + digits.size() && code > 0 && code < 0x80;
        }
        if (numeric) {
            out += static_cast<char>(code);
        } else if (auto named = kNamed.find(name); named != kNamed.end()) {
            out += named->second;
        } else {
            out += text.substr(i, end - i + 1);
            i = end;
            continue;
        }
        i = end;
    }
    return out;
}

// The attributes of each <a> element of an HTML page, names in lower case.
std::vector<std::map<std::string, std::string>> anchors(std::string_view html) {
    std::vector<std::map<std::string, std::string>> found;
    const std::string lowered = toLower(html);
    std::size_t at = 0;
    while ((at = lowered.find("<a", at)) != std::string::npos) {
        at += 2;
        if (at >= html.size() || std::isspace(static_cast<unsigned char>(html[at])) == 0) continue;
        std::map<std::string, std::string> attributes;
        while (at < html.size() && html[at] != '>') {
            if (std::isspace(static_cast<unsigned char>(html[at])) != 0 || html[at] == '/') {
                ++at;
                continue;
            }
            const std::size_t nameStart = at;
            while (at < html.size() && html[at] != '=' && html[at] != '>' &&
                   std::isspace(static_cast<unsigned char>(html[at])) == 0)
                ++at;
            std::string name = lowered.substr(nameStart, at - nameStart);
            while (at < html.size() && std::isspace(static_cast<unsigned char>(html[at])) != 0) ++at;
            std::string value;
            if (at < html.size() && html[at] == '=') {
                ++at;
                while (at < html.size() && std::isspace(static_cast<unsigned char>(html[at])) != 0) ++at;
                if (at < html.size() && (html[at] == '"' || html[at] == '\'')) {
                    const std::size_t close = html.find(html[at], at + 1);
                    const std::size_t end = close == std::string_view::npos ? html.size() : close;
                    value = unescaped(html.substr(at + 1, end - at - 1));
                    at = end + 1;
                } else {
                    const std::size_t valueStart = at;
                    while (at < html.size() && html[at] != '>' && std::isspace(static_cast<unsigned char>(html[at])) == 0)
                        ++at;
                    value = unescaped(html.substr(valueStart, at - valueStart));
                }
            }
            if (!name.empty()) attributes.emplace(std::move(name), std::move(value));
        }
        found.push_back(std::move(attributes));
    }
    return found;
}

// The file an address names: its last path segment, decoded.
std::string fileNameOf(std::string_view url) {
    url = url.substr(0, url.find_first_of("#?"));
    return percentDecoded(url.substr(url.rfind('/') + 1));
}

// "py3", "py311", "cp39": the digits after the prefix as major and minor (-1 for none).
std::optional<std::pair<int, int>> tagVersion(std::string_view tag, std::string_view prefix) {
    if (!startsWith(tag, prefix) || tag.size() <= prefix.size()) return std::nullopt;
    const std::string_view digits = tag.substr(prefix.size());
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) return std::nullopt;
    int minor = -1;
    if (digits.size() > 1) std::from_chars(digits.data() + 1, digits.data() + digits.size(), minor);
    return std::make_pair(digits[0] - '0', minor);
}

bool platformSupported(std::string_view platform, const PipIndex::Target& target) {
    if (platform == "any") return true;
    if (target.macOS) {
        // The macOS release the wheel needs is not checked: this machine's is not known here.
        if (!startsWith(platform, "macosx_")) return false;
        return endsWith(platform, "_" + target.machine) || endsWith(platform, "_universal2") ||
               (target.machine == "x86_64" && (endsWith(platform, "_intel") || endsWith(platform, "_universal")));
    }
    const std::string arch = "_" + target.machine;
    if (platform == "linux" + arch) return true;
    if (!target.glibc || !endsWith(platform, arch)) return false;
    static const std::map<std::string, std::pair<int, int>, std::less<>> kLegacy = {
        {"manylinux1", {2, 5}}, {"manylinux2010", {2, 12}}, {"manylinux2014", {2, 17}}};
    const std::string_view stem = platform.substr(0, platform.size() - arch.size());
    if (auto legacy = kLegacy.find(stem); legacy != kLegacy.end()) return legacy->second <= *target.glibc;
    // "manylinux_2_28": built against glibc 2.28.
    if (!startsWith(stem, "manylinux_")) return false;
    std::vector<std::string_view> parts = split(stem.substr(10), '_');
    if (parts.size() != 2) return false;
    int major = 0, minor = 0;
    auto [a, e1] = std::from_chars(parts[0].data(), parts[0].data() + parts[0].size(), major);
    auto [b, e2] = std::from_chars(parts[1].data(), parts[1].data() + parts[1].size(), minor);
    if (e1 != std::errc() || e2 != std::errc()) return false;
    return std::make_pair(major, minor) <= *target.glibc;
}

bool interpreterSupported(std::string_view python, std::string_view abi, std::string_view platform,
                          const PipIndex::Target& target) {
    if (target.minor < 0) return true;
    const std::string own = std::string("cp").append(std::to_string(target.major)).append(std::to_string(target.minor));
    if (abi == "none") {
        if (python == own) return true;
        std::optional<std::pair<int, int>> version = tagVersion(python, "py");
        return version && version->first == target.major && version->second <= target.minor;
    }
    if (platform == "any") return false;
    if (abi == "abi3") {
        std::optional<std::pair<int, int>> version = tagVersion(python, "cp");
        return version && version->first == target.major && version->second >= 2 && version->second <= target.minor;
    }
    return python == own && (abi == own || (target.minor < 8 && abi == own + "m"));
}

// "name-version[-build]-python-abi-platform.whl", its tags each possibly "a.b" (any of them).
std::optional<std::string> wheelVersion(std::string_view file, std::string_view project,
                                        const PipIndex::Target& target) {
    std::vector<std::string_view> parts = split(file.substr(0, file.size() - 4), '-');
    if ((parts.size() != 5 && parts.size() != 6) || PipManager::normalizedName(parts[0]) != project) return std::nullopt;
    const std::size_t n = parts.size();
    for (std::string_view python : split(parts[n - 3], '.')) {
        for (std::string_view abi : split(parts[n - 2], '.')) {
            for (std::string_view platform : split(parts[n - 1], '.')) {
                if (platformSupported(platform, target) && interpreterSupported(python, abi, platform, target)) {
                    std::string version(parts[1]);
                    std::replace(version.begin(), version.end(), '_', '-');
                    return version;
                }
            }
        }
    }
    return std::nullopt;
}

// A source archive: "name-version.tar.gz", the name being whatever prefix normalises to
// the project's (names may hold "-" too).
std::optional<std::string> sourceVersion(std::string_view file, std::string_view project) {
    static constexpr std::string_view kExtensions[] = {".tar.gz", ".tgz",     ".tar",      ".zip",
                                                       ".tar.bz2", ".tbz",    ".tar.xz",   ".txz",
                                                       ".tlz",     ".tar.lz", ".tar.lzma"};
    const std::string lowered = toLower(file);
    std::string_view stem;
    for (std::string_view extension : kExtensions) {
        if (endsWith(lowered, extension)) {
            stem = file.substr(0, file.size() - extension.size());
            break;
        }
    }
    for (std::size_t i = 0; i < stem.size(); ++i) {
        if (stem[i] == '-' && PipManager::normalizedName(stem.substr(0, i)) == project) {
            if (i + 1 == stem.size()) return std::nullopt;
            return std::string(stem.substr(i + 1));
        }
    }
    return std::nullopt;
}

// Requires-Python as pip checks it; a micro version not known is given the benefit of the
// doubt, and a clause that does not parse is ignored, as pip ignores it.
bool meetsRequiresPython(std::string_view requirement, const PipIndex::Target& target) {
    if (target.minor < 0 || trimView(requirement).empty()) return true;
    std::vector<int> micros = target.micro ? std::vector<int>{*target.micro} : std::vector<int>{0, 999};
    for (int micro : micros) {
        pep440::Version python;
        python.release = {target.major, target.minor, micro};
        if (pep440::satisfies(python, requirement).value_or(true)) return true;
    }
    return false;
}

// "3.11.7" in a folder name such as ~/.pyenv/versions/3.11.7 or cpython-3.11.7-linux-x86_64-gnu.
std::optional<int> microInPath(std::string_view path, int major, int minor) {
    const std::string prefix = std::to_string(major) + "." + std::to_string(minor) + ".";
    for (std::size_t at = path.find(prefix); at != std::string_view::npos; at = path.find(prefix, at + 1)) {
        if (at > 0 && (std::isdigit(static_cast<unsigned char>(path[at - 1])) != 0 || path[at - 1] == '.')) continue;
        std::size_t end = at + prefix.size();
        while (end < path.size() && std::isdigit(static_cast<unsigned char>(path[end])) != 0) ++end;
        int micro = 0;
        if (end == at + prefix.size() || std::from_chars(path.data() + at + prefix.size(), path.data() + end, micro).ec != std::errc())
            continue;
        return micro;
    }
    return std::nullopt;
}

}  // namespace

std::optional<PipIndex::Settings> PipIndex::settingsFor(const Environment& environment, const std::string& home,
                                                        const std::string& defaultIndex,
                                                        const FileSystemManager& files) {
    // requests reads the credentials of ~/.netrc for an index: pip's to use.
    if (!home.empty() && files.fileExists(home + "/.netrc")) return std::nullopt;
    std::vector<std::string> paths = {"/etc/xdg/pip/pip.conf", "/etc/pip.conf"};
    if (kBuiltForMac) paths.push_back("/Library/Application Support/pip/pip.conf");
    if (!home.empty()) {
        paths.push_back(home + "/.pip/pip.conf");
        if (kBuiltForMac) paths.push_back(home + "/Library/Application Support/pip/pip.conf");
        paths.push_back(home + "/.config/pip/pip.conf");
    }
    if (!environment.prefix.empty()) paths.push_back(environment.prefix + "/pip.conf");
    // A later file overrides an earlier one; the command's own section overrides [global].
    Section global, list;
    for (const std::string& path : paths) {
        if (!files.fileExists(path)) continue;
        std::string text;
        try {
            text = files.readFile(path);
        } catch (const std::exception&) {
            return std::nullopt;  // pip would read it, or fail: either way, pip's to say
        }
        std::map<std::string, Section> sections = readConfiguration(text);
        for (auto& [key, value] : sections["global"]) global[key] = value;
        for (auto& [key, value] : sections["list"]) list[key] = value;
    }
    for (auto& [key, value] : list) global[key] = value;
    // Of pip's variables, only PIP_CERT reaches the pip we would start.
    if (std::optional<std::string> cert = paths::environmentValue("PIP_CERT")) global["cert"] = *cert;

    Settings settings;
    std::optional<std::string> indexUrl;
    std::vector<std::string> extraUrls;
    bool noIndex = false;
    for (const auto& [key, value] : global) {
        if (key == "index-url" || key == "i") {
            indexUrl = trim(value);
        } else if (key == "extra-index-url") {
            extraUrls = words(value);
        } else if (key == "no-index" || key == "pre") {
            std::optional<bool> flag = truth(value);
            if (!flag) return std::nullopt;
            (key == "pre" ? settings.preReleases : noIndex) = *flag;
        } else if (key == "cert") {
            settings.caFile = trim(value);
        } else if (kIrrelevantKeys.count(key) == 0) {
            return std::nullopt;
        }
    }
    if (!noIndex) {
        settings.indexUrls.push_back(indexUrl.value_or(defaultIndex));
        settings.indexUrls.insert(settings.indexUrls.end(), extraUrls.begin(), extraUrls.end());
    }
    if (!std::all_of(settings.indexUrls.begin(), settings.indexUrls.end(), isPlainIndexUrl)) return std::nullopt;
    if (!settings.caFile) settings.caFile = paths::environmentValue("REQUESTS_CA_BUNDLE");
    if (!settings.caFile) settings.caFile = paths::environmentValue("CURL_CA_BUNDLE");
    return settings;
}

std::vector<PipIndex::Link> PipIndex::linksOfPage(std::string_view contentType, std::string_view body) {
    const std::string type = toLower(contentType);
    std::vector<Link> links;
    if (contains(type, "application/vnd.pypi.simple.v1+json")) {
        std::optional<Json> page = parseJson(body);
        if (!page || !page->is_object() || !page->contains("files") || !(*page)["files"].is_array()) return links;
        for (const Json& file : (*page)["files"]) {
            if (!file.is_object()) continue;
            Link link;
            if (file.contains("filename") && file["filename"].is_string()) {
                link.fileName = file["filename"].get<std::string>();
            } else if (file.contains("url") && file["url"].is_string()) {
                link.fileName = fileNameOf(file["url"].get<std::string>());
            }
            if (link.fileName.empty()) continue;
            if (file.contains("requires-python") && file["requires-python"].is_string())
                link.requiresPython = file["requires-python"].get<std::string>();
            if (file.contains("yanked")) {
                const Json& yanked = file["yanked"];
                link.yanked = yanked.is_string() || (yanked.is_boolean() && yanked.get<bool>());
            }
            links.push_back(std::move(link));
        }
        return links;
    }
    if (!startsWith(type, "text/html") && !contains(type, "application/vnd.pypi.simple.v1+html")) return links;
    for (const auto& attributes : anchors(body)) {
        auto href = attributes.find("href");
        if (href == attributes.end()) continue;
        Link link;
        link.fileName = fileNameOf(href->second);
        if (link.fileName.empty()) continue;
        if (auto requirement = attributes.find("data-requires-python"); requirement != attributes.end())
            link.requiresPython = requirement->second;
        link.yanked = attributes.count("data-yanked") > 0;
        links.push_back(std::move(link));
    }
    return links;
}

std::string PipIndex::pageUrl(std::string_view indexUrl, std::string_view project) {
    while (!indexUrl.empty() && indexUrl.back() == '/') indexUrl.remove_suffix(1);
    return std::string(indexUrl) + "/" + PipManager::normalizedName(project) + "/";
}

PipIndex::Target PipIndex::targetOf(const Environment& environment, const FileSystemManager& files) {
    Target target;
    std::vector<std::string_view> parts = split(environment.version, '.');
    if (parts.size() >= 2) {
        int major = 0, minor = 0;
        if (std::from_chars(parts[0].data(), parts[0].data() + parts[0].size(), major).ec == std::errc() &&
            std::from_chars(parts[1].data(), parts[1].data() + parts[1].size(), minor).ec == std::errc()) {
            target.major = major;
            target.minor = minor;
        }
    }
    if (target.minor >= 0) {
        // A virtual environment records the version it was made with ("version = 3.11.2",
        // "version_info = 3.12.1"); a version manager names its folders after it.
        if (environment.isVirtual && files.fileExists(environment.prefix + "/pyvenv.cfg")) {
            try {
                std::map<std::string, Section> config =
                    readConfiguration(std::string("[venv]\n").append(files.readFile(environment.prefix + "/pyvenv.cfg")));
                for (const char* key : {"version-info", "version"}) {
                    if (auto value = config["venv"].find(key); value != config["venv"].end() && !target.micro)
                        target.micro = microInPath(value->second, target.major, target.minor);
                }
            } catch (const std::exception&) {
                // Left unknown.
            }
        }
        if (!target.micro) target.micro = microInPath(environment.interpreter, target.major, target.minor);
        if (!target.micro) target.micro = microInPath(environment.prefix, target.major, target.minor);
    }
    struct utsname names {};
    if (::uname(&names) == 0) target.machine = names.machine;
#if defined(__GLIBC__)
    std::vector<std::string_view> glibc = split(::gnu_get_libc_version(), '.');
    int major = 0, minor = 0;
    if (glibc.size() >= 2 && std::from_chars(glibc[0].data(), glibc[0].data() + glibc[0].size(), major).ec == std::errc() &&
        std::from_chars(glibc[1].data(), glibc[1].data() + glibc[1].size(), minor).ec == std::errc())
        target.glibc = std::make_pair(major, minor);
#endif
    return target;
}

std::optional<pep440::Version> PipIndex::newest(std::string_view project, const std::vector<Link>& links,
                                                const Target& target, bool preReleases) {
    const std::string wanted = PipManager::normalizedName(project);
    std::optional<pep440::Version> best;
    for (const Link& link : links) {
        if (link.yanked) continue;
        std::optional<std::string> text = endsWith(toLower(link.fileName), ".whl")
                                              ? wheelVersion(link.fileName, wanted, target)
                                              : sourceVersion(link.fileName, wanted);
        if (!text) continue;
        std::optional<pep440::Version> version = pep440::parse(*text);
        if (!version || (version->isPreRelease() && !preReleases)) continue;
        if (link.requiresPython && !meetsRequiresPython(*link.requiresPython, target)) continue;
        if (!best || pep440::compare(*version, *best) > 0) best = std::move(version);
    }
    return best;
}

}  // namespace vt
