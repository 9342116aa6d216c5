#include "managers/editors/ExtensionMarketplace.hpp"

#include <algorithm>

#include "base/IsoDate.hpp"
#include "base/Regex.hpp"
#include "base/Strings.hpp"
#include "model/VersionRules.hpp"

namespace vt {

namespace {

// A version the marketplaces publish: numbers, and a pre-release suffix at most.
bool isPublishedVersion(std::string_view text) {
    static const Regex pattern(R"(^\d{1,9}(\.\d{1,9}){0,3}(-[a-zA-Z0-9.]{1,64})?$)");
    return text.size() <= 80 && pattern.fullyMatches(text);
}

const Json* member(const Json& object, const char* key) {
    if (!object.is_object()) return nullptr;
    auto found = object.find(key);
    return found == object.end() ? nullptr : &*found;
}

const Json* arrayMember(const Json& object, const char* key) {
    const Json* value = member(object, key);
    return value != nullptr && value->is_array() ? value : nullptr;
}

// The publisher of a gallery extension: an object with "publisherName", or a bare name.
std::string publisherOf(const Json& extension) {
    const Json* publisher = member(extension, "publisher");
    if (publisher == nullptr) return {};
    if (publisher->is_string()) return publisher->get<std::string>();
    return stringField(*publisher, "publisherName").value_or("");
}

MarketplaceVersion galleryVersion(const Json& entry) {
    MarketplaceVersion version;
    version.version = stringField(entry, "version").value_or("");
    std::string platform = stringField(entry, "targetPlatform").value_or("");
    version.platforms = {platform.empty() ? std::string("universal") : platform};
    if (std::optional<std::string> updated = stringField(entry, "lastUpdated")) version.published = parseIsoDate(*updated);
    if (const Json* properties = arrayMember(entry, "properties")) {
        for (const Json& property : *properties) {
            std::optional<std::string> key = stringField(property, "key");
            std::optional<std::string> value = stringField(property, "value");
            if (!key || !value) continue;
            if (*key == ExtensionMarketplace::kPreReleaseProperty) version.isPreRelease = toLower(*value) == "true";
            if (*key == ExtensionMarketplace::kEngineProperty) version.minimumEditor = ExtensionMarketplace::minimumEditor(*value);
        }
    }
    if (const Json* files = arrayMember(entry, "files")) {
        for (const Json& file : *files) {
            if (stringField(file, "assetType") != ExtensionMarketplace::kVsixAssetType) continue;
            std::optional<std::string> source = stringField(file, "source");
            if (source && !source->empty()) version.vsixUrl = source;
        }
    }
    if (!version.vsixUrl) {
        std::optional<std::string> fallback = stringField(entry, "fallbackAssetUri");
        if (fallback && !fallback->empty()) {
            std::string url = *fallback;
            url += "/";
            url += ExtensionMarketplace::kVsixAssetType;
            version.vsixUrl = std::move(url);
        }
    }
    return version;
}

}  // namespace

bool ExtensionMarketplace::isIdentifier(std::string_view identifier) {
    static const Regex pattern(R"(^[a-zA-Z0-9\-]+\.[a-zA-Z0-9\-\.]+$)");
    return identifier.size() <= 256 && !identifier.empty() && identifier.front() != '-' &&
           identifier.find("..") == std::string_view::npos && identifier.back() != '.' && pattern.fullyMatches(identifier);
}

std::vector<InstalledExtension> ExtensionMarketplace::parseExtensionList(std::string_view output) {
    static const Regex line(R"(^([a-zA-Z0-9\-]+\.[a-zA-Z0-9\-\.]+)@([\d.]+(?:-[a-zA-Z0-9.]+)?)$)");
    std::vector<InstalledExtension> extensions;
    for (std::string_view raw : splitLines(output)) {
        std::string_view text = trimView(raw);
        std::optional<Regex::Match> match = line.search(text);
        if (!match || !match->groups[0] || !match->groups[1]) continue;
        InstalledExtension extension{std::string(*match->groups[0]), std::string(*match->groups[1])};
        if (!isIdentifier(extension.identifier)) continue;
        extensions.push_back(std::move(extension));
    }
    return extensions;
}

std::string ExtensionMarketplace::machinePlatform() {
#if defined(__aarch64__) || defined(__arm64__)
    constexpr const char* architecture = "arm64";
#else
    constexpr const char* architecture = "x64";
#endif
#if defined(__APPLE__)
    std::string platform = "darwin-";
#else
    std::string platform = "linux-";
#endif
    platform += architecture;
    return platform;
}

std::vector<MarketplaceVersion> ExtensionMarketplace::parseGalleryVersions(std::string_view body,
                                                                           std::string_view identifier) {
    std::vector<MarketplaceVersion> versions;
    std::optional<Json> json = parseJson(body);
    if (!json) return versions;
    const Json* results = arrayMember(*json, "results");
    if (results == nullptr) return versions;
    for (const Json& result : *results) {
        const Json* extensions = arrayMember(result, "extensions");
        if (extensions == nullptr) continue;
        for (const Json& extension : *extensions) {
            std::string name = publisherOf(extension);
            name += ".";
            name += stringField(extension, "extensionName").value_or("");
            if (!equalsIgnoringCase(name, identifier)) continue;
            const Json* entries = arrayMember(extension, "versions");
            if (entries == nullptr) continue;
            for (const Json& entry : *entries) {
                MarketplaceVersion version = galleryVersion(entry);
                if (isPublishedVersion(version.version)) versions.push_back(std::move(version));
            }
            return versions;
        }
    }
    return versions;
}

std::string ExtensionMarketplace::galleryQuery(std::string_view identifier) {
    // Filter 8 names the product, 7 the extension, 12 excludes unpublished extensions (4096).
    // Flags: versions (0x1), their files (0x2), their properties (0x10) and asset addresses
    // (0x80), for the platform, pre-release and engine of every version and its download.
    Json criteria = Json::array();
    criteria.push_back({{"filterType", 8}, {"value", "Microsoft.VisualStudio.Code"}});
    criteria.push_back({{"filterType", 7}, {"value", std::string(identifier)}});
    criteria.push_back({{"filterType", 12}, {"value", "4096"}});
    Json filter = {{"criteria", criteria}, {"pageNumber", 1}, {"pageSize", 1}, {"sortBy", 0}, {"sortOrder", 0}};
    Json query = {{"filters", Json::array({filter})}, {"assetTypes", Json::array()}, {"flags", 0x1 | 0x2 | 0x10 | 0x80}};
    return dumpJson(query);
}

std::optional<MarketplaceVersion> ExtensionMarketplace::parseOpenVsxVersion(const Json& document) {
    MarketplaceVersion version;
    version.version = stringField(document, "version").value_or("");
    if (!isPublishedVersion(version.version)) return std::nullopt;
    version.isPreRelease = boolField(document, "preRelease").value_or(false);
    if (std::optional<std::string> stamp = stringField(document, "timestamp")) version.published = parseIsoDate(*stamp);
    if (const Json* engines = member(document, "engines")) {
        if (std::optional<std::string> vscode = stringField(*engines, "vscode")) version.minimumEditor = minimumEditor(*vscode);
    }
    const std::string machine = machinePlatform();
    const Json* downloads = member(document, "downloads");
    if (downloads != nullptr && downloads->is_object() && !downloads->empty()) {
        // One document stands for every platform build of the version.
        for (const auto& [platform, url] : downloads->items()) {
            version.platforms.push_back(platform);
            if (url.is_string() && (platform == machine || (platform == "universal" && !version.vsixUrl))) {
                version.vsixUrl = url.get<std::string>();
            }
        }
    } else {
        std::string platform = stringField(document, "targetPlatform").value_or("");
        version.platforms = {platform.empty() ? std::string("universal") : platform};
        if (const Json* files = member(document, "files")) version.vsixUrl = stringField(*files, "download");
    }
    return version;
}

std::vector<std::string> ExtensionMarketplace::openVsxOlderVersions(const Json& document, std::string_view below) {
    std::vector<std::string> versions;
    const Json* all = member(document, "allVersions");
    if (all == nullptr || !all->is_object()) return versions;
    for (const auto& [key, value] : all->items()) {
        (void)value;
        if (!isPublishedVersion(key)) continue;
        if (below.empty() || compareVersions(key, below) == VersionOrder::Ascending) versions.push_back(key);
    }
    std::sort(versions.begin(), versions.end(), [](const std::string& a, const std::string& b) {
        return compareVersions(a, b) == VersionOrder::Descending;
    });
    return versions;
}

std::set<std::string> ExtensionMarketplace::preReleaseInstalls(std::string_view extensionsJson) {
    std::set<std::string> identifiers;
    std::optional<Json> json = parseJson(extensionsJson);
    if (!json || !json->is_array()) return identifiers;
    for (const Json& entry : *json) {
        const Json* identifier = member(entry, "identifier");
        const Json* metadata = member(entry, "metadata");
        if (identifier == nullptr || metadata == nullptr) continue;
        std::optional<std::string> id = stringField(*identifier, "id");
        if (!id) continue;
        if (boolField(*metadata, "isPreReleaseVersion").value_or(false) || boolField(*metadata, "preRelease").value_or(false)) {
            identifiers.insert(toLower(*id));
        }
    }
    return identifiers;
}

std::optional<std::string> ExtensionMarketplace::minimumEditor(std::string_view requirement) {
    static const Regex pattern(R"(^\s*(?:>=|\^|~)?\s*v?(\d+\.\d+(\.\d+)?))");
    std::optional<Regex::Match> match = pattern.search(requirement.substr(0, 64));
    if (!match || !match->groups[0]) return std::nullopt;
    return std::string(*match->groups[0]);
}

std::optional<std::string> ExtensionMarketplace::skipReason(const MarketplaceVersion& version,
                                                            const VersionFilter& filter) {
    const bool runsHere = std::any_of(version.platforms.begin(), version.platforms.end(), [&](const std::string& p) {
        return p == "universal" || p == filter.platform;
    });
    if (!runsHere) return "built for " + join(version.platforms, ", ");
    if (version.isPreRelease && !filter.installedIsPreRelease) return std::string("pre-release");
    if (version.minimumEditor && filter.editorVersion &&
        compareVersions(*filter.editorVersion, *version.minimumEditor) == VersionOrder::Ascending) {
        std::string reason = "needs editor ";
        reason += *version.minimumEditor;
        return reason;
    }
    return std::nullopt;
}

std::string ExtensionMarketplace::withoutDeprecationLines(std::string_view output) {
    std::string kept;
    for (std::string_view line : splitLines(output)) {
        if (contains(line, "DeprecationWarning") || contains(line, "trace-deprecation")) continue;
        kept += line;
        kept += '\n';
    }
    return kept;
}

bool ExtensionMarketplace::reportsFailure(std::string_view output) {
    const std::string lower = toLower(withoutDeprecationLines(output));
    for (const char* sign : {"failed installing extensions", "error while installing extensions:",
                             "getaddrinfo enotfound"}) {
        if (contains(lower, sign)) return true;
    }
    return false;
}

}  // namespace vt
