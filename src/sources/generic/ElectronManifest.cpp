#include "sources/generic/ElectronManifest.hpp"

#include <cctype>

#include <yaml-cpp/yaml.h>

#include "base/Strings.hpp"
#include "sources/generic/ManifestSupport.hpp"

namespace vt {

namespace {

// yaml-cpp shares an alias's node instead of copying it, so an alias bomb costs no memory
// when loaded; but its parser recurses once per nesting level. Real manifests nest three
// levels deep, so anything past this is refused before the parser sees it.
constexpr int kMaximumNesting = 64;
// A release lists a handful of files; the rest of a longer list is not looked at.
constexpr std::size_t kMaximumFiles = 256;

void checkShape(std::string_view yaml) {
    if (yaml.size() > kMaximumManifestBytes) {
        std::string reason = "larger than ";
        reason += std::to_string(kMaximumManifestBytes / 1024);
        reason += " KB";
        throw ManifestError(reason);
    }
    int flowDepth = 0;
    for (std::string_view line : splitLines(yaml)) {
        // Block nesting shows as indentation and as leading "- " indicators.
        int indicators = 0;
        std::size_t indent = 0;
        for (char c : line) {
            if (c == '-' || c == '?' || c == ':') {
                ++indicators;
            } else if (c != ' ') {
                break;
            }
            ++indent;
        }
        if (indicators > kMaximumNesting || indent > 4 * kMaximumNesting) throw ManifestError("nested too deeply");
        for (char c : line) {
            if (c == '[' || c == '{') ++flowDepth;
            if ((c == ']' || c == '}') && flowDepth > 0) --flowDepth;
            if (flowDepth > kMaximumNesting) throw ManifestError("nested too deeply");
        }
    }
}

YAML::Node load(std::string_view yaml) {
    checkShape(yaml);
    try {
        YAML::Node root = YAML::Load(std::string(yaml));
        if (!root.IsMap()) throw ManifestError("not a YAML mapping");
        return root;
    } catch (const YAML::Exception& error) {
        throw ManifestError(std::string("not YAML: ") + error.what());
    }
}

// A scalar field: absent when missing or null, an error when of another shape.
std::optional<std::string> text(const YAML::Node& map, const char* key) {
    const YAML::Node node = map[key];
    if (!node.IsDefined() || node.IsNull()) return std::nullopt;
    if (!node.IsScalar()) throw ManifestError(std::string("\"") + key + "\" is not a text");
    return sanitizeUtf8(node.Scalar());
}

ElectronUpdateProvider providerNamed(std::string_view name) {
    std::string lower = toLower(name);
    if (lower == "generic") return ElectronUpdateProvider::Generic;
    if (lower == "github") return ElectronUpdateProvider::GitHub;
    if (lower == "s3") return ElectronUpdateProvider::S3;
    if (lower == "spaces") return ElectronUpdateProvider::Spaces;
    if (lower == "bintray") return ElectronUpdateProvider::Bintray;
    if (lower == "custom") return ElectronUpdateProvider::Custom;
    return ElectronUpdateProvider::Unknown;
}

bool hasToken(std::string_view lowerName, std::string_view token) {
    std::size_t at = 0;
    while ((at = lowerName.find(token, at)) != std::string_view::npos) {
        bool startOk = at == 0 || !std::isalnum(static_cast<unsigned char>(lowerName[at - 1]));
        std::size_t end = at + token.size();
        bool endOk = end >= lowerName.size() || !std::isalnum(static_cast<unsigned char>(lowerName[end]));
        if (startOk && endOk) return true;
        at = end;
    }
    return false;
}

int formatRank(std::string_view lowerName) {
    if (endsWith(lowerName, ".dmg")) return 3;
    if (endsWith(lowerName, ".zip")) return 2;
    if (endsWith(lowerName, ".pkg")) return 1;
    return 0;
}

}  // namespace

int macFileFit(std::string_view fileName, std::string_view architecture) {
    std::string lower = toLower(lastPathComponent(fileName.substr(0, fileName.find_first_of("?#"))));
    for (std::string_view foreign : {".blockmap", ".exe", ".msi", ".nupkg", ".deb", ".rpm", ".appimage", ".snap",
                                     ".flatpak", ".sig", ".yml", ".json"}) {
        if (endsWith(lower, foreign)) return 0;
    }
    if (!(endsWith(lower, ".dmg") || endsWith(lower, ".zip") || endsWith(lower, ".pkg") || endsWith(lower, ".tar.gz"))) {
        return 0;
    }
    for (std::string_view system : {"linux", "win", "win32", "win64", "windows", "setup"}) {
        if (hasToken(lower, system)) return 0;
    }
    const bool arm = hasToken(lower, "arm64") || hasToken(lower, "aarch64");
    const bool intel = hasToken(lower, "x64") || hasToken(lower, "x86_64") || hasToken(lower, "intel");
    if (hasToken(lower, "universal") || (arm && intel)) return 2;
    const bool onArm = architecture == "aarch64";
    if (arm) return onArm ? 2 : 0;
    if (intel) return onArm ? 1 : 2;  // Apple silicon runs Intel builds, translated
    return 1;
}

ElectronUpdateConfig parseElectronUpdateConfig(std::string_view yaml) {
    YAML::Node root = load(yaml);
    ElectronUpdateConfig config;
    config.provider = providerNamed(text(root, "provider").value_or(""));
    config.url = text(root, "url");
    config.channel = text(root, "channel");
    config.owner = text(root, "owner");
    config.repo = text(root, "repo");
    config.token = text(root, "token");
    config.private_ = equalsIgnoringCase(text(root, "private").value_or(""), "true");
    config.publisherName = text(root, "publisherName");
    if (const YAML::Node names = root["publisherName"]; names.IsSequence() && names.size() > 0 && names[0].IsScalar()) {
        config.publisherName = names[0].Scalar();
    }
    config.releaseType = text(root, "releaseType");
    config.bucket = text(root, "bucket");
    config.region = text(root, "region");
    config.path = text(root, "path");
    config.acl = text(root, "acl");
    config.updaterCacheDirName = text(root, "updaterCacheDirName");
    if (config.provider == ElectronUpdateProvider::Unknown && config.url) config.provider = ElectronUpdateProvider::Generic;
    return config;
}

ElectronReleaseInfo parseElectronRelease(std::string_view yaml, std::string_view architecture) {
    YAML::Node root = load(yaml);
    ElectronReleaseInfo release;
    release.version = withoutVersionPrefix(text(root, "version").value_or(""));
    if (auto date = text(root, "releaseDate")) release.releaseDate = parseIsoDate(*date);
    release.releaseNotes = text(root, "releaseNotes");
    release.minimumSystemVersion = text(root, "minimumSystemVersion");

    struct Choice {
        std::string url;
        std::optional<std::string> sha512;
        std::optional<std::int64_t> size;
        int fit = 0;
        int format = 0;
    };
    std::optional<Choice> best;
    auto consider = [&best, architecture](Choice candidate) {
        candidate.fit = macFileFit(candidate.url, architecture);
        candidate.format = formatRank(toLower(candidate.url));
        if (candidate.fit == 0) return;
        if (!best || candidate.fit > best->fit || (candidate.fit == best->fit && candidate.format > best->format)) {
            best = std::move(candidate);
        }
    };
    if (const YAML::Node files = root["files"]; files.IsDefined() && !files.IsNull()) {
        if (!files.IsSequence()) throw ManifestError("\"files\" is not a list");
        std::size_t seen = 0;
        for (const YAML::Node& file : files) {
            if (++seen > kMaximumFiles) break;
            if (!file.IsMap()) continue;
            auto url = text(file, "url");
            if (!url || url->empty()) continue;
            Choice candidate{*url, text(file, "sha512"), std::nullopt};
            if (auto size = text(file, "size")) {
                try {
                    candidate.size = std::stoll(*size);
                } catch (const std::exception&) {
                    throw ManifestError("\"size\" is not a number");
                }
            }
            consider(std::move(candidate));
        }
    }
    if (auto path = text(root, "path")) consider(Choice{*path, text(root, "sha512"), std::nullopt});
    if (best) {
        release.path = best->url;
        release.sha512 = best->sha512;
        release.size = best->size;
    }
    return release;
}

}  // namespace vt
