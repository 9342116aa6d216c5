#include "sources/appimage/AppImageUpdateCheck.hpp"

#include <sys/utsname.h>

#include <algorithm>
#include <filesystem>

#include "base/Cancellation.hpp"
#include "base/Files.hpp"
#include "base/Json.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Strings.hpp"
#include "model/VersionRules.hpp"
#include "sources/github/GitHubReleasesManager.hpp"
#include "sources/rules/AppRuleCatalogService.hpp"
#include "system/ContentDigest.hpp"
#include "system/NetworkClient.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger instance("AppImageUpdateChecker");
    return instance;
}

constexpr std::size_t kShortHash = 12;

// The processor families a file name may name, each with the spellings releases use.
struct Family {
    const char* canonical;
    std::vector<const char*> spellings;
};
const std::vector<Family>& families() {
    static const std::vector<Family> list{{"x86_64", {"x86_64", "x86-64", "amd64", "x64"}},
                                          {"aarch64", {"aarch64", "arm64"}},
                                          {"armhf", {"armhf", "armv7", "arm32"}},
                                          {"i686", {"i386", "i686"}}};
    return list;
}

std::string canonicalArchitecture(std::string_view machine) {
    const std::string lower = toLower(machine);
    for (const Family& family : families()) {
        for (const char* spelling : family.spellings) {
            if (lower == spelling) return family.canonical;
        }
    }
    return lower;
}

bool namesFamily(std::string_view lowerName, const Family& family) {
    for (const char* spelling : family.spellings) {
        if (lowerName.find(spelling) != std::string_view::npos) return true;
    }
    return false;
}

}  // namespace

AppImageHashCache::AppImageHashCache(std::string path) : path_(std::move(path)) {}

void AppImageHashCache::load() {
    loaded_ = true;
    if (path_.empty()) return;
    std::optional<std::string> text = readFile(path_, 16u * 1024u * 1024u);
    std::optional<Json> json = text ? parseJson(*text) : std::nullopt;
    if (!json || !json->is_object()) return;
    for (const auto& [file, value] : json->items()) {
        if (!value.is_object()) continue;
        Entry entry;
        entry.size = value.value("size", std::uint64_t{0});
        entry.modified = value.value("modified", 0LL);
        entry.sha1 = value.value("sha1", std::string());
        if (entry.sha1.size() == 40) entries_[file] = entry;
    }
}

void AppImageHashCache::save() {
    if (path_.empty()) return;
    Json json = Json::object();
    for (const auto& [file, entry] : entries_) {
        json[file] = {{"size", entry.size}, {"modified", entry.modified}, {"sha1", entry.sha1}};
    }
    try {
        std::filesystem::create_directories(std::filesystem::path(path_).parent_path());
        writeFileAtomically(path_, dumpJson(json));
    } catch (const std::exception& error) {
        logger().warning(localized("log.appimage.hash_cache_failed", {error.what()}));
    }
}

std::optional<std::string> AppImageHashCache::sha1(const std::string& file) {
    std::error_code error;
    const std::uint64_t size = std::filesystem::file_size(file, error);
    if (error) return std::nullopt;
    const auto time = std::filesystem::last_write_time(file, error);
    if (error) return std::nullopt;
    const auto modified = static_cast<long long>(time.time_since_epoch().count());
    {
        std::scoped_lock lock(mutex_);
        if (!loaded_) load();
        auto found = entries_.find(file);
        if (found != entries_.end() && found->second.size == size && found->second.modified == modified) {
            return found->second.sha1;
        }
    }
    std::optional<std::string> digest = sha1HexOfFile(file);  // no lock while a large file is read
    if (!digest) return std::nullopt;
    std::scoped_lock lock(mutex_);
    entries_[file] = {size, modified, *digest};
    save();
    return digest;
}

AppImageUpdateChecker::AppImageUpdateChecker(Options options) : options_(std::move(options)) {}

std::string AppImageUpdateChecker::hostArchitectureName() {
    struct utsname names {};
    if (::uname(&names) != 0) return "x86_64";
    return canonicalArchitecture(names.machine);
}

bool AppImageUpdateChecker::namesOtherArchitecture(std::string_view name, std::string_view architecture) {
    const std::string lower = toLower(name);
    for (const Family& family : families()) {
        if (family.canonical != architecture && namesFamily(lower, family)) {
            // "x86_64" holds no other family's spelling, but "arm64" must not hide in "aarch64".
            bool ours = false;
            for (const Family& mine : families()) {
                if (mine.canonical == architecture && namesFamily(lower, mine)) ours = true;
            }
            if (!ours) return true;
        }
    }
    return false;
}

std::optional<AppImageUpdateInformation> AppImageUpdateChecker::updateInformation(const AppImageFile& image) const {
    if (image.updateInformation) {
        if (auto info = parseAppImageUpdateInformation(*image.updateInformation)) return info;
    }
    if (!options_.rules) return std::nullopt;
    std::string identifier = image.desktopName.value_or("");
    if (endsWith(identifier, ".desktop")) identifier.erase(identifier.size() - 8);
    std::optional<CatalogMatch> match = options_.rules->lookup(identifier, image.name);
    if (!match || !match->rule.github) return std::nullopt;
    AppImageUpdateInformation info;
    info.kind = AppImageUpdateInformation::Kind::GitHubReleasesDirect;
    info.owner = match->rule.github->owner;
    info.repo = match->rule.github->repo;
    info.tag = "latest";
    info.pattern = "*.AppImage";
    return info;
}

std::string AppImageUpdateChecker::installedVersion(const AppImageFile& image) {
    if (image.version && !isPlaceholderVersion(*image.version)) return *image.version;
    std::optional<std::string> digest = options_.hashes->sha1(image.path);
    return digest ? digest->substr(0, kShortHash) : std::string();
}

AppImageOffer AppImageUpdateChecker::check(const AppImageFile& image, std::stop_token stop) {
    std::optional<AppImageUpdateInformation> info = updateInformation(image);
    if (!info) throw AppImageCheckError(localized("appimage.no_update_information"));
    if (info->kind == AppImageUpdateInformation::Kind::Zsync) return fromZsync(image, info->url, std::nullopt, stop);
    return fromGitHub(image, *info, stop);
}

AppImageOffer AppImageUpdateChecker::fromGitHub(const AppImageFile& image, const AppImageUpdateInformation& info,
                                                std::stop_token stop) {
    if (!options_.gitHub) throw AppImageCheckError(localized("appimage.github_unavailable"));
    const GitHubRepository repository{info.owner, info.repo};
    GitHubRelease release = options_.gitHub->release(repository, info.tag, stop);
    const bool wantsZsync = info.kind == AppImageUpdateInformation::Kind::GitHubReleasesZsync;
    const GitHubAsset* chosen = nullptr;
    bool chosenNamesOurs = false;
    for (const GitHubAsset& asset : release.assets) {
        if (!matchesAssetPattern(info.pattern, asset.name) || endsWith(asset.name, ".zsync") != wantsZsync) continue;
        if (namesOtherArchitecture(asset.name, options_.architecture)) continue;
        bool namesOurs = false;
        for (const Family& family : families()) {
            if (family.canonical == options_.architecture) namesOurs = namesFamily(toLower(asset.name), family);
        }
        // A file naming this machine's processor beats one naming none.
        if (chosen == nullptr || (namesOurs && !chosenNamesOurs)) {
            chosen = &asset;
            chosenNamesOurs = namesOurs;
        }
    }
    if (chosen == nullptr) {
        throw AppImageCheckError(
            localized("appimage.no_matching_asset", {repository.id(), release.tagName, info.pattern, options_.architecture}));
    }
    std::optional<std::string> version = versionFromTag(release.tagName);
    if (wantsZsync) {
        AppImageOffer offer = fromZsync(image, chosen->browserDownloadUrl, version, stop);
        offer.origin = repository.id();
        return offer;
    }
    if (!version) version = versionFromFileName(chosen->name);
    if (!version) throw AppImageCheckError(localized("appimage.no_version", {repository.id(), release.tagName}));
    AppImageOffer offer;
    offer.origin = repository.id();
    offer.installedVersion = installedVersion(image);
    offer.version = *version;
    offer.downloadURL = chosen->browserDownloadUrl;
    offer.sha256 = chosen->sha256;
    if (chosen->size && *chosen->size > 0) offer.length = static_cast<std::uint64_t>(*chosen->size);
    // An image that does not say its version cannot be shown to be older than the release:
    // nothing is offered rather than an update that might go backwards.
    offer.isNewer = image.version && compareVersions(*image.version, *version) == VersionOrder::Ascending;
    return offer;
}

AppImageOffer AppImageUpdateChecker::fromZsync(const AppImageFile& image, const std::string& controlURL,
                                               std::optional<std::string> version, std::stop_token stop) {
    HttpRequest request;
    request.url = controlURL;
    request.timeoutSeconds = kRequestTimeLimit;
    request.maxBodyBytes = kMaxControlFileBytes;
    std::string body;
    try {
        body = NetworkClient::successfulBody(options_.network->send(request, stop));
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        throw AppImageCheckError(controlURL + ": " + error.what());
    }
    ZsyncHeader header;
    try {
        header = parseZsyncHeader(body);
    } catch (const ZsyncHeaderError& error) {
        throw AppImageCheckError(controlURL + ": " + error.what());
    }
    AppImageOffer offer;
    offer.origin = controlURL;
    offer.downloadURL = resolveRelativeAddress(controlURL, header.url.value_or(header.filename));
    offer.sha1 = header.sha1;
    offer.length = header.length;
    const std::optional<std::string> installedSha1 = options_.hashes->sha1(image.path);
    const bool sameFile = installedSha1 && *installedSha1 == header.sha1;
    if (!version) version = versionFromFileName(header.filename);
    if (version && image.version && !isPlaceholderVersion(*image.version)) {
        offer.installedVersion = *image.version;
        offer.version = *version;
        offer.isNewer = !sameFile && compareVersions(*image.version, *version) == VersionOrder::Ascending;
        return offer;
    }
    if (image.version && !isPlaceholderVersion(*image.version)) {
        // The control file names no version: another file there is an update of unknown
        // version, which the download's own version must then not contradict.
        offer.installedVersion = *image.version;
        offer.version = sameFile ? *image.version : std::string(kUpdateAvailableSentinel);
        offer.isNewer = !sameFile;
        return offer;
    }
    // Without a version on either side the builds are told apart by their SHA-1s, which have
    // no order: another file at the address is the update.
    offer.installedVersion = installedSha1 ? installedSha1->substr(0, kShortHash) : std::string();
    offer.version = header.sha1.substr(0, kShortHash);
    offer.isNewer = !sameFile;
    return offer;
}

}  // namespace vt
