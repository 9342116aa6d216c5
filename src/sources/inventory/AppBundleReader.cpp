#include "sources/inventory/AppBundleReader.hpp"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Regex.hpp"
#include "base/Strings.hpp"
#include "sources/inventory/PropertyList.hpp"
#include "system/Endpoints.hpp"
#include "system/UniqueFd.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger instance("ApplicationManager");
    return instance;
}

bool isValidUtf8(std::string_view text) { return sanitizeUtf8(text) == text; }

// A text value: absent when missing, empty with a problem noted when of another type or not
// UTF-8.
std::optional<std::string> text(const PropertyList::Node& dictionary, const char* key,
                                std::vector<std::string>& problems) {
    std::optional<PropertyList::Node> found = dictionary.member(key);
    if (!found) return std::nullopt;
    std::optional<std::string> value = found->text();
    if (!value) {
        problems.push_back(std::string(key) + " is not a string");
        return std::nullopt;
    }
    if (!isValidUtf8(*value)) {
        problems.push_back(std::string(key) + " is not valid UTF-8");
        return std::nullopt;
    }
    return value;
}

bool exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

// The file's bytes up to a limit; nothing when missing (errno ENOENT) or unreadable.
std::optional<std::string> readBounded(const std::string& path, std::size_t limit, std::string& failure) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) {
        if (errno != ENOENT && errno != ENOTDIR) failure = std::strerror(errno);
        return std::nullopt;
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        failure = "not a regular file";
        return std::nullopt;
    }
    if (static_cast<unsigned long long>(info.st_size) > limit) {
        failure = "larger than " + std::to_string(limit / (1024 * 1024)) + " MB";
        return std::nullopt;
    }
    std::string bytes(static_cast<std::size_t>(info.st_size), '\0');
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t got = ::read(fd.get(), bytes.data() + done, bytes.size() - done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            failure = std::strerror(errno);
            return std::nullopt;
        }
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    bytes.resize(done);
    return bytes;
}

std::optional<InfoPlistFields> readInfoPlistOf(const std::string& bundlePath) {
    const std::string plistPath = bundlePath + "/Contents/Info.plist";
    std::string failure;
    std::optional<std::string> bytes = readBounded(plistPath, kMaximumInfoPlistBytes, failure);
    if (!bytes) {
        if (!failure.empty())
            logger().warning(localized("log.bundle.info_plist_failed", {sanitizeUtf8(bundlePath), failure}));
        return std::nullopt;
    }
    std::optional<InfoPlistFields> fields = readInfoPlist(*bytes);
    if (!fields) {
        logger().warning(localized("log.bundle.info_plist_not_plist", {sanitizeUtf8(bundlePath)}));
        return std::nullopt;
    }
    for (const std::string& problem : fields->problems) {
        logger().warning(localized("log.bundle.left_empty", {sanitizeUtf8(bundlePath), problem}));
    }
    return fields;
}

std::string bundleFileName(const std::string& bundlePath) {
    std::string name(lastPathComponent(bundlePath));
    if (endsWith(name, ".app")) name.resize(name.size() - 4);
    return sanitizeUtf8(name);
}

// The update address and release page named in an embedded product.json.
void readProductJson(const std::string& bundlePath, AppBundleInventoryEntry& entry) {
    std::string failure;
    auto bytes = readBounded(bundlePath + "/Contents/Resources/app/product.json", 1024 * 1024, failure);
    if (!bytes) return;
    std::optional<Json> json = parseJson(*bytes);
    if (!json || !json->is_object()) {
        logger().warning(localized("log.bundle.product_json_ignored", {sanitizeUtf8(bundlePath)}));
        return;
    }
    if (auto url = json->find("updateUrl"); url != json->end() && url->is_string()) {
        entry.genericUpdateURLHint = url->get<std::string>();
        entry.genericUpdateAllowsRemoteVersionCheck = true;
    }
    for (const auto& [key, value] : json->items()) {
        std::string found;
        if (value.is_string()) found = value.get<std::string>();
        if (value.is_object() && value.contains("url") && value["url"].is_string()) found = value["url"].get<std::string>();
        if (auto page = gitHubReleasePage(found)) {
            entry.genericReleasePageURLHint = page;
            break;
        }
    }
}

}  // namespace

std::optional<InfoPlistFields> readInfoPlist(std::string_view bytes) {
    std::optional<PropertyList> list = PropertyList::parse(bytes);
    if (!list || list->root().kind() != PropertyList::Kind::Dictionary) return std::nullopt;
    const PropertyList::Node plist = list->root();
    InfoPlistFields fields;
    auto& problems = fields.problems;
    fields.bundleIdentifier = text(plist, "CFBundleIdentifier", problems).value_or("");
    auto displayName = text(plist, "CFBundleDisplayName", problems);
    auto bundleName = text(plist, "CFBundleName", problems);
    if (displayName && !displayName->empty()) {
        fields.displayName = *displayName;
    } else if (bundleName) {
        fields.displayName = *bundleName;
    }
    fields.shortVersion = text(plist, "CFBundleShortVersionString", problems).value_or("");
    fields.buildNumber = text(plist, "CFBundleVersion", problems);
    fields.sparkleFeedURL = text(plist, "SPUFeedURL", problems);
    if (!fields.sparkleFeedURL) fields.sparkleFeedURL = text(plist, "SUFeedURL", problems);
    fields.sparklePublicKey = text(plist, "SUPublicEDKey", problems);
    if (!fields.sparklePublicKey) fields.sparklePublicKey = text(plist, "SUPublicDSAKey", problems);
    fields.hasSparklePlistKey = fields.sparkleFeedURL || plist.member("SUPublicEDKey") ||
                                plist.member("SUPublicDSAKey") || plist.member("SUPublicDSAKeyFile") ||
                                plist.member("DevMateKit");
    fields.minimumSystemVersion = text(plist, "LSMinimumSystemVersion", problems);
    fields.executable = text(plist, "CFBundleExecutable", problems);

    if (auto privileged = plist.member("SMPrivilegedExecutables")) {
        fields.hasMozillaUpdaterHint = privileged->anyKeyContains({"updater", "Updater", "mozilla", "Mozilla"});
    }
    if (auto types = plist.member("CFBundleDocumentTypes")) {
        for (const PropertyList::Node& type : types->items()) {
            auto extensions = type.member("CFBundleTypeExtensions");
            if (!extensions) continue;
            for (const PropertyList::Node& extension : extensions->items()) {
                if (contains(toLower(extension.text().value_or("")), "moz")) fields.hasMozillaUpdaterHint = true;
            }
        }
    }
    return fields;
}

BundleCandidate candidateFrom(const std::string& bundlePath, const InfoPlistFields& fields) {
    BundleCandidate candidate;
    candidate.path = bundlePath;
    candidate.bundleIdentifier = fields.bundleIdentifier;
    candidate.name = fields.displayName.empty() ? bundleFileName(bundlePath) : fields.displayName;
    candidate.version = fields.shortVersion;
    candidate.buildNumber = fields.buildNumber;
    candidate.executable = fields.executable;
    candidate.isAppleSystemApp = startsWith(fields.bundleIdentifier, "com.apple.");
    // A receipt wins over a feed: the store updates what it installed.
    candidate.hasMASReceipt = exists(bundlePath + "/Contents/_MASReceipt/receipt");
    if (candidate.hasMASReceipt) {
        candidate.updateMechanism = UpdateMechanism::MacAppStore;
    } else if (fields.hasSparklePlistKey) {
        candidate.updateMechanism = UpdateMechanism::Sparkle;
        candidate.sparkleAppcastURL = fields.sparkleFeedURL;
    }
    return candidate;
}

std::optional<BundleCandidate> readBundle(const std::string& bundlePath) {
    std::optional<InfoPlistFields> fields = readInfoPlistOf(bundlePath);
    if (!fields) return std::nullopt;
    return candidateFrom(bundlePath, *fields);
}

std::optional<AppBundleInventoryEntry> buildInventoryEntry(const std::string& bundlePath) {
    std::optional<InfoPlistFields> fields = readInfoPlistOf(bundlePath);
    if (!fields) return std::nullopt;
    BundleCandidate candidate = candidateFrom(bundlePath, *fields);
    AppBundleInventoryEntry entry;
    entry.id = bundlePath;
    entry.bundleIdentifier = candidate.bundleIdentifier;
    entry.bundlePath = bundlePath;
    entry.name = candidate.name;
    entry.installedVersion = candidate.version;
    entry.currentBuildNumber = candidate.buildNumber.value_or("");
    entry.infoPlistPath = bundlePath + "/Contents/Info.plist";
    entry.hasMASReceipt = candidate.hasMASReceipt;
    entry.hasSparkleFramework = exists(bundlePath + "/Contents/Frameworks/Sparkle.framework");
    entry.hasSparklePlistKey = fields->hasSparklePlistKey;
    entry.sparkleFeedURL = fields->sparkleFeedURL;
    entry.sparklePublicKey = fields->sparklePublicKey;
    entry.minimumSystemVersion = fields->minimumSystemVersion;
    entry.hasSquirrelFramework = exists(bundlePath + "/Contents/Frameworks/Squirrel.framework");
    entry.hasMozillaUpdaterHint = fields->hasMozillaUpdaterHint;
    if (exists(bundlePath + "/Contents/Resources/app-update.yml")) {
        entry.genericUpdateMechanismHint = GenericUpdateMechanism::Electron;
    } else if (entry.hasSquirrelFramework) {
        entry.genericUpdateMechanismHint = GenericUpdateMechanism::Squirrel;
    } else if (entry.hasMozillaUpdaterHint) {
        entry.genericUpdateMechanismHint = GenericUpdateMechanism::Mozilla;
    }
    readProductJson(bundlePath, entry);
    // The rule catalog is consulted by the resolver itself; no rule has matched here.
    entry.isAppleSystemApp = candidate.isAppleSystemApp;
    return entry;
}

namespace {

std::string escapedHost(Service service) {
    std::string escaped;
    for (char c : Endpoints::host(service)) {
        if (!std::isalnum(static_cast<unsigned char>(c))) escaped += '\\';
        escaped += c;
    }
    return escaped;
}

}  // namespace

std::optional<GitHubRepository> gitHubRepositoryIn(std::string_view text) {
    std::optional<Regex> web, api;
    try {
        web.emplace(escapedHost(Service::GitHubWeb) + "/([a-zA-Z0-9_-]+)/([a-zA-Z0-9_.-]+)");
        api.emplace(escapedHost(Service::GitHubApi) + "/repos/([a-zA-Z0-9_-]+)/([a-zA-Z0-9_.-]+)/releases/latest");
    } catch (const std::exception&) {
        return std::nullopt;  // a malformed override names no host
    }
    std::optional<Regex::Match> found = web->search(text);
    std::optional<Regex::Match> onApi = api->search(text);
    if (onApi && (!found || onApi->offset < found->offset)) found = onApi;
    if (!found || found->groups.size() < 2 || !found->groups[0] || !found->groups[1]) return std::nullopt;
    std::string_view repo = *found->groups[1];
    if (endsWith(repo, ".git")) repo.remove_suffix(4);
    if (repo.empty() || repo == "." || repo == "..") return std::nullopt;
    return GitHubRepository{std::string(*found->groups[0]), std::string(repo)};
}

std::optional<std::string> gitHubReleasePage(std::string_view text) {
    std::optional<GitHubRepository> repository = gitHubRepositoryIn(text);
    if (!repository) return std::nullopt;
    try {
        std::string path = "/";
        path += repository->id();
        return Endpoints::url(Service::GitHubWeb, path + "/releases");
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

}  // namespace vt
