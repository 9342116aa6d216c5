#include "sources/sparkle/SparkleManager.hpp"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <dirent.h>
#include <sys/stat.h>

#include "base/Files.hpp"
#include "base/Log.hpp"
#include "base/Paths.hpp"
#include "base/RecordFile.hpp"
#include "base/Regex.hpp"
#include "base/Strings.hpp"
#include "model/VersionRules.hpp"
#include "sources/inventory/AppBundleReader.hpp"
#include "sources/KnownSources.hpp"
#include "sources/inventory/PropertyList.hpp"
#include "system/Endpoints.hpp"
#include "system/SystemNetworkClient.hpp"
#include "base/Localization.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger instance("SparkleManager");
    return instance;
}

constexpr double kProbeTimeoutSeconds = 5;
constexpr int kMaximumRedirects = 5;
constexpr std::size_t kMaximumResourcePlists = 200;

bool exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;
}

// A property list of at most the Info.plist limit; nothing when absent, larger or unreadable.
std::optional<std::string> readPlistBytes(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    if (static_cast<std::size_t>(info.st_size) > kMaximumInfoPlistBytes) return std::nullopt;
    return readFile(path);
}

std::optional<std::string> plistText(const PropertyList& plist, const char* key) {
    std::optional<PropertyList::Node> node = plist.root().member(key);
    if (!node) return std::nullopt;
    std::optional<std::string> text = node->text();
    if (!text) return std::nullopt;
    std::string value = trim(sanitizeUtf8(*text));
    if (value.empty()) return std::nullopt;
    return value;
}

// The feed a property list names: SPUFeedURL, SUFeedURL, then the vendor key.
std::optional<std::string> feedIn(const PropertyList& plist, bool vendorKey) {
    for (const char* key : {"SPUFeedURL", "SUFeedURL"}) {
        if (auto feed = plistText(plist, key)) return feed;
    }
    return vendorKey ? plistText(plist, "DevonFeedURL") : std::nullopt;
}

std::optional<PropertyList> readPlist(const std::string& path) {
    std::optional<std::string> bytes = readPlistBytes(path);
    if (!bytes) return std::nullopt;
    return PropertyList::parse(*bytes);
}

std::vector<std::string> entriesEndingWith(const std::string& folder, std::string_view suffix, std::size_t limit) {
    std::vector<std::string> found;
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return found;
    while (dirent* entry = ::readdir(dir)) {
        std::string_view name = entry->d_name;
        if (name.size() > suffix.size() && endsWith(name, suffix)) found.push_back(folder + "/" + std::string(name));
        if (found.size() >= limit) break;
    }
    ::closedir(dir);
    std::sort(found.begin(), found.end());
    return found;
}

// An address with a scheme and a host, and nothing that no URL holds.
bool isValidURL(std::string_view text) {
    std::size_t colon = text.find("://");
    if (colon == std::string_view::npos || colon == 0) return false;
    if (!std::isalpha(static_cast<unsigned char>(text.front()))) return false;
    for (char c : text.substr(0, colon)) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '.' && c != '-') return false;
    }
    for (char c : text) {
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f) return false;
    }
    std::string_view rest = text.substr(colon + 3);
    std::size_t hostEnd = rest.find_first_of("/?#");
    return !rest.substr(0, hostEnd).empty() && rest.front() != ':';
}

bool isHttps(std::string_view url) { return startsWith(toLower(url.substr(0, 8)), "https://"); }

// A redirect's Location against the address it came from.
std::string resolveLocation(const std::string& base, const std::string& location) {
    if (location.find("://") != std::string::npos) return location;
    std::size_t schemeEnd = base.find("://");
    if (startsWith(location, "//")) return base.substr(0, schemeEnd + 1) + location;
    std::size_t pathStart = base.find('/', schemeEnd + 3);
    std::string origin = base.substr(0, pathStart);
    if (startsWith(location, "/")) return origin + location;
    std::string path = pathStart == std::string::npos ? "/" : base.substr(pathStart);
    path = path.substr(0, path.find_first_of("?#"));
    return origin + path.substr(0, path.rfind('/') + 1) + location;
}

}  // namespace

std::string sparkleSizeText(std::optional<std::int64_t> bytes) {
    if (!bytes) return "unknown";
    char text[32];
    double value = static_cast<double>(*bytes);
    if (value < 1000) {
        std::snprintf(text, sizeof text, "%lld bytes", static_cast<long long>(*bytes));
    } else if (value < 1e6) {
        std::snprintf(text, sizeof text, "%.1f KB", value / 1e3);
    } else if (value < 1e9) {
        std::snprintf(text, sizeof text, "%.1f MB", value / 1e6);
    } else {
        std::snprintf(text, sizeof text, "%.2f GB", value / 1e9);
    }
    return text;
}

namespace {

std::optional<std::string> optionalText(const Json& json, const char* key) {
    auto it = json.find(key);
    if (it == json.end() || it->is_null()) return std::nullopt;
    return it->get<std::string>();
}

}  // namespace

Json SparkleApp::toJson() const {
    Json json = Json::object();
    json["id"] = id;
    json["name"] = name;
    json["bundlePath"] = bundlePath;
    json["currentVersion"] = currentVersion;
    json["currentBuildNumber"] = currentBuildNumber;
    putIfPresent(json, "latestVersion", latestVersion);
    putIfPresent(json, "latestBuildNumber", latestBuildNumber);
    json["feedURL"] = feedURL;
    putIfPresent(json, "releaseNotesURL", releaseNotesURL);
    putIfPresent(json, "downloadURL", downloadURL);
    if (publishDate) json["publishDate"] = toReferenceSeconds(*publishDate);
    putIfPresent(json, "fileSize", fileSize);
    putIfPresent(json, "minimumSystemVersion", minimumSystemVersion);
    putIfPresent(json, "publicKey", publicKey);
    putIfPresent(json, "latestSignature", latestSignature);
    putIfPresent(json, "signatureKind", signatureKind);
    return json;
}

SparkleApp SparkleApp::fromJson(const Json& json) {
    SparkleApp app;
    app.id = json.at("id").get<std::string>();
    app.name = json.at("name").get<std::string>();
    app.bundlePath = json.at("bundlePath").get<std::string>();
    app.currentVersion = json.at("currentVersion").get<std::string>();
    app.currentBuildNumber = json.at("currentBuildNumber").get<std::string>();
    app.latestVersion = optionalText(json, "latestVersion");
    app.latestBuildNumber = optionalText(json, "latestBuildNumber");
    app.feedURL = json.at("feedURL").get<std::string>();
    app.releaseNotesURL = optionalText(json, "releaseNotesURL");
    app.downloadURL = optionalText(json, "downloadURL");
    if (auto it = json.find("publishDate"); it != json.end() && !it->is_null()) {
        app.publishDate = fromReferenceSeconds(it->get<double>());
    }
    if (auto it = json.find("fileSize"); it != json.end() && !it->is_null()) app.fileSize = it->get<std::int64_t>();
    app.minimumSystemVersion = optionalText(json, "minimumSystemVersion");
    app.publicKey = optionalText(json, "publicKey");
    app.latestSignature = optionalText(json, "latestSignature");
    app.signatureKind = optionalText(json, "signatureKind");
    return app;
}

SparkleManager::SparkleManager(Options options) : options_(std::move(options)) {}

SparkleManager& SparkleManager::shared() {
    static SparkleManager* instance = [] {
        Options options;
        options.home = paths::home();
        return new SparkleManager(std::move(options));
    }();
    return *instance;
}

NetworkClient& SparkleManager::network() const {
    if (options_.network != nullptr) return *options_.network;
    static NetworkClient* client = new SystemNetworkClient();
    return *client;
}

bool SparkleManager::hasFramework(const std::string& bundlePath) {
    return exists(bundlePath + "/Contents/Frameworks/Sparkle.framework");
}

void SparkleManager::configure(bool enabled, bool allowPreRelease) {
    std::scoped_lock lock(mutex_);
    enabled_ = enabled;
    allowPreRelease_ = allowPreRelease;
}

std::optional<SparkleApp> SparkleManager::inspectBundle(const std::string& bundlePath) {
    std::optional<std::string> bytes = readPlistBytes(bundlePath + "/Contents/Info.plist");
    if (!bytes) return std::nullopt;
    std::optional<InfoPlistFields> fields = readInfoPlist(*bytes);
    std::optional<PropertyList> plist = PropertyList::parse(*bytes);
    if (!fields || !plist) return std::nullopt;
    std::optional<std::string> feed = feedIn(*plist, true);
    if (!hasFramework(bundlePath) && !feed) return std::nullopt;

    SparkleApp app;
    app.id = bundlePath;
    app.bundlePath = bundlePath;
    app.name = fields->displayName;
    if (app.name.empty()) {
        app.name = std::string(lastPathComponent(bundlePath));
        if (endsWith(app.name, ".app")) app.name.resize(app.name.size() - 4);
        app.name = sanitizeUtf8(app.name);
    }
    app.currentVersion = fields->shortVersion;
    app.currentBuildNumber = fields->buildNumber.value_or("");
    app.minimumSystemVersion = fields->minimumSystemVersion;  // the installed one's, until a check
    if (auto key = plistText(*plist, "SUPublicEDKey")) {
        SparkleAppcastParser::checkPublicEDKey(*key);
        app.publicKey = key;
    } else {
        app.publicKey = plistText(*plist, "SUPublicDSAKey");
    }
    // A helper bundle that launches at login may carry the feed of the whole application.
    if (!feed) {
        for (const std::string& helper :
             entriesEndingWith(bundlePath + "/Contents/Library/LoginItems", ".app", kMaximumResourcePlists)) {
            if (auto helperPlist = readPlist(helper + "/Contents/Info.plist")) feed = feedIn(*helperPlist, true);
            if (feed) break;
        }
    }
    if (!feed && !fields->bundleIdentifier.empty()) {
        const KnownSources& known = options_.knownSources ? *options_.knownSources : KnownSources::builtIn();
        feed = known.appcastURL(fields->bundleIdentifier);
        if (feed) app.feedReason = "Known Sparkle appcast URL";
    }
    // The second stage: a feed set in code is often left in a resource list or the stored
    // preferences. Only https is taken from there: nothing in them was signed with the bundle.
    if (!feed) {
        std::vector<std::string> candidates =
            entriesEndingWith(bundlePath + "/Contents/Resources", ".plist", kMaximumResourcePlists);
        if (!fields->bundleIdentifier.empty() && !options_.home.empty()) {
            candidates.push_back(options_.home + "/Library/Preferences/" + fields->bundleIdentifier + ".plist");
        }
        for (const std::string& path : candidates) {
            std::optional<PropertyList> found = readPlist(path);
            if (!found) continue;
            std::optional<std::string> probed = feedIn(*found, false);
            if (probed && isHttps(*probed)) {
                feed = probed;
                app.feedReason = kSparkleProbeReason;
                break;
            }
        }
    }
    app.feedURL = feed.value_or("");
    if (feed && !isValidURL(*feed)) {
        std::scoped_lock lock(mutex_);
        ++invalidFeedURLCount_;
        logger().warning(localized("log.sparkle.invalid_feed", {app.name, excerpt(*feed, 200)}));
    }
    return app;
}

std::vector<SparkleApp> SparkleManager::scan(const std::vector<std::string>& bundlePaths) {
    {
        std::scoped_lock lock(mutex_);
        invalidFeedURLCount_ = 0;
    }
    std::vector<SparkleApp> found;
    for (const std::string& path : bundlePaths) {
        if (auto app = inspectBundle(path)) found.push_back(std::move(*app));
    }
    logger().info(localized("log.inventory_done", {"Sparkle", std::to_string(found.size())}));
    std::scoped_lock lock(mutex_);
    // What an earlier check of the same installed version found stays until the next check.
    for (SparkleApp& app : found) {
        for (const SparkleApp& previous : apps_) {
            if (previous.bundlePath != app.bundlePath || previous.currentVersion != app.currentVersion ||
                previous.feedURL != app.feedURL) {
                continue;
            }
            app.latestVersion = previous.latestVersion;
            app.latestBuildNumber = previous.latestBuildNumber;
            app.releaseNotesURL = previous.releaseNotesURL;
            app.downloadURL = previous.downloadURL;
            app.publishDate = previous.publishDate;
            app.fileSize = previous.fileSize;
            app.minimumSystemVersion = previous.minimumSystemVersion;
            app.latestSignature = previous.latestSignature;
            app.signatureKind = previous.signatureKind;
        }
    }
    apps_ = found;
    return found;
}

std::vector<SparkleApp> SparkleManager::apps() const {
    std::scoped_lock lock(mutex_);
    return apps_;
}

long long SparkleManager::invalidFeedURLCount() const {
    std::scoped_lock lock(mutex_);
    return invalidFeedURLCount_;
}

// GET with the feed headers, following redirects ourselves so that none leads off https.
// A probe (a feed found outside the Info.plist) has a shorter limit and must look like an
// appcast. Each failure is logged; nothing is returned then.
std::optional<std::string> SparkleManager::fetch(const std::string& feedURL, const std::string& name, bool probe,
                                                 std::stop_token stop) {
    const double limit = probe ? kProbeTimeoutSeconds : options_.requestTimeoutSeconds;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(limit);
    std::string url = feedURL;
    for (int hop = 0; hop <= kMaximumRedirects; ++hop) {
        if (!isHttps(url)) {
            logger().warning(localized("log.sparkle.not_https", {url}));
            return std::nullopt;
        }
        HttpRequest request;
        request.url = url;
        request.headers.set("Accept", "application/rss+xml, application/xml, text/xml, */*");
        request.headers.set("User-Agent", "Vantreel");
        request.maxRedirects = 0;
        request.maxBodyBytes = options_.maxFeedBytes;
        request.timeoutSeconds = std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
        HttpResponse response;
        try {
            if (request.timeoutSeconds <= 0) throw NetworkError::timeout();
            response = network().send(request, stop);
        } catch (const NetworkError& error) {
            logger().warning(localized(
                "log.sparkle.request_failed",
                {name, url,
                 error.cause().empty() ? error.description() : error.description() + " (" + error.cause() + ")"}));
            if (probe) logger().info(localized("log.sparkle.probe_failed", {feedURL}));
            return std::nullopt;
        }
        if (response.statusCode >= 300 && response.statusCode < 400 && response.header("Location")) {
            url = resolveLocation(url, trim(*response.header("Location")));
            continue;
        }
        if (!response.isSuccess()) {
            logger().warning(localized("log.sparkle.appcast_http", {std::to_string(response.statusCode), name, url}));
            if (probe)
                logger().info(localized("log.sparkle.probe_http", {feedURL, std::to_string(response.statusCode)}));
            return std::nullopt;
        }
        if (probe) {
            const std::string& body = response.body;
            bool appcast = (contains(body, "<rss") || contains(body, "<feed")) &&
                           (contains(body, "sparkle:") || contains(body, "<enclosure"));
            logger().info(
                localized(appcast ? "log.sparkle.probe_appcast" : "log.sparkle.probe_not_appcast", {feedURL}));
            if (!appcast) return std::nullopt;
        }
        return std::move(response.body);
    }
    logger().warning(localized("log.sparkle.too_many_redirects", {name, feedURL}));
    return std::nullopt;
}

namespace {

// The vendor's release notes name each release in a second-level heading.
constexpr std::string_view kReleaseHeading =
    R"((?m)^##\s+([0-9]+(?:\.[0-9]+)*(?:[-A-Za-z0-9.]*)?)\s*(?:\(([^)\r\n]+)\))?)";
constexpr std::string_view kReleaseNotesPath = "/release-notes/mac.md";

// "2024-05-02" or "May 2, 2024" (POSIX month names); anything else is no date.
std::optional<Clock::TimePoint> releaseNotesDate(std::string_view text) {
    const std::string date = trim(text);
    for (const char* format : {"%Y-%m-%d", "%B %d, %Y", "%b %d, %Y", "%d %B %Y"}) {
        std::tm parsed{};
        const char* end = ::strptime(date.c_str(), format, &parsed);
        if (end == nullptr || *end != '\0') continue;
        return std::chrono::system_clock::from_time_t(::timegm(&parsed));
    }
    return std::nullopt;
}

}  // namespace

std::vector<SparkleItem> SparkleManager::releaseNotesItems(std::string_view markdown) {
    static const Regex heading(kReleaseHeading);
    std::vector<SparkleItem> items;
    for (const Regex::Match& match : heading.findAll(markdown)) {
        if (match.groups.empty() || !match.groups[0]) continue;
        SparkleItem item;
        item.version = std::string(*match.groups[0]);
        item.shortVersion = item.version;
        if (match.groups.size() > 1 && match.groups[1]) item.publishDate = releaseNotesDate(*match.groups[1]);
        items.push_back(std::move(item));
    }
    return items;
}

std::optional<SparkleItem> SparkleManager::checkReleaseNotes(const SparkleApp& app, std::stop_token stop) {
    HttpRequest request;
    request.url = Endpoints::url(Service::Tower, kReleaseNotesPath);
    request.headers.set("Accept", "text/markdown, text/plain, */*");
    std::string agent = "Tower/";
    agent += app.currentVersion.empty() ? std::string("1.0") : app.currentVersion;
    request.headers.set("User-Agent", agent);
    request.maxBodyBytes = options_.maxFeedBytes;
    request.timeoutSeconds = options_.requestTimeoutSeconds;
    HttpResponse response;
    try {
        response = network().send(request, stop);
    } catch (const NetworkError& error) {
        logger().warning(localized("log.sparkle.tower_failed", {error.description()}));
        return std::nullopt;
    }
    if (!response.isSuccess()) {
        logger().warning(localized("log.sparkle.tower_http", {std::to_string(response.statusCode), request.url}));
        return std::nullopt;
    }
    std::vector<SparkleItem> items = releaseNotesItems(response.body);
    bool allowPreRelease = false;
    {
        std::scoped_lock lock(mutex_);
        allowPreRelease = allowPreRelease_;
    }
    const SparkleItem* newest = SparkleAppcastParser::newest(items, allowPreRelease);
    if (newest == nullptr) {
        logger().warning(localized("log.sparkle.no_appcast", {app.name, request.url}));
        return std::nullopt;
    }
    SparkleItem result = *newest;
    result.releaseNotes = request.url;
    return result;
}

std::optional<SparkleItem> SparkleManager::checkFeed(const SparkleApp& app, std::stop_token stop) {
    if (app.name == "Tower") return checkReleaseNotes(app, stop);
    if (!isHttps(app.feedURL)) {
        logger().warning(localized("log.sparkle.not_https", {app.feedURL}));
        return std::nullopt;
    }
    std::optional<std::string> body = fetch(app.feedURL, app.name, app.feedReason == kSparkleProbeReason, stop);
    if (!body) {
        logger().warning(localized("log.sparkle.no_appcast", {app.name, app.feedURL}));
        return std::nullopt;
    }
    std::optional<SparkleAppcast> appcast;
    try {
        appcast.emplace(*body);
    } catch (const SparkleParseError& error) {
        logger().warning(localized("log.sparkle.parse_error", {app.feedURL, error.what()}));
    }
    if (!appcast || appcast->items().empty()) {
        logger().warning(localized("log.sparkle.no_appcast", {app.name, app.feedURL}));
        return std::nullopt;
    }
    bool allowPreRelease = false;
    {
        std::scoped_lock lock(mutex_);
        allowPreRelease = allowPreRelease_;
    }
    const SparkleItemView* newest = appcast->newest(allowPreRelease);
    if (newest == nullptr) {
        logger().info(localized("log.sparkle.only_channels", {app.name, app.feedURL}));
        return std::nullopt;
    }
    if (newest->downloadURL.empty()) logger().warning(localized("log.sparkle.no_enclosure"));
    return newest->copy();
}

std::optional<Application> SparkleManager::check(const Application& application, std::stop_token stop,
                                                 const std::optional<std::string>& ruleFeedURL) {
    std::optional<SparkleApp> app;
    {
        std::scoped_lock lock(mutex_);
        if (!enabled_) return std::nullopt;
        for (const SparkleApp& known : apps_) {
            if (known.bundlePath == application.bundlePath) app = known;
        }
    }
    if (!app) app = inspectBundle(application.bundlePath);
    if (!app) {
        if (!application.sparkleAppcastURL) return std::nullopt;
        app.emplace();
        app->id = application.bundlePath;
        app->name = application.name;
        app->bundlePath = application.bundlePath;
        app->currentVersion = application.version;
        app->currentBuildNumber = application.buildNumber.value_or("");
    }
    if (!application.name.empty()) app->name = application.name;  // as the inventory shows it
    // The user's (or the catalog's) rule knows better than the bundle where its releases are.
    if (ruleFeedURL) app->feedURL = *ruleFeedURL;
    // A known appcast the engine filled in stands for a bundle that names none.
    if (app->feedURL.empty() && application.sparkleAppcastURL) app->feedURL = *application.sparkleAppcastURL;
    // Its vendor's release notes stand for a feed it may not name.
    if (app->name == "Tower" && app->feedURL.empty()) app->feedURL = Endpoints::url(Service::Tower, kReleaseNotesPath);
    if (app->feedURL.empty() || !isValidURL(app->feedURL)) return std::nullopt;

    std::optional<SparkleItem> item = checkFeed(*app, stop);
    if (!item) return std::nullopt;

    app->latestVersion = item->displayVersion();
    app->latestBuildNumber = item->version;
    app->releaseNotesURL = item->releaseNotes;
    app->downloadURL = item->downloadURL;
    app->publishDate = item->publishDate;
    app->fileSize = item->fileSize;
    app->minimumSystemVersion = item->minimumSystemVersion;
    app->latestSignature = item->edSignature;
    app->signatureKind = std::string(item->signatureKind());
    {
        std::scoped_lock lock(mutex_);
        bool replaced = false;
        for (SparkleApp& known : apps_) {
            if (known.bundlePath == app->bundlePath) {
                known = *app;
                replaced = true;
            }
        }
        if (!replaced) apps_.push_back(*app);
    }
    logger().info(
        localized("log.sparkle.versions", {app->name, application.version, app->latestVersion.value_or(""),
                                           sparkleSizeText(item->fileSize), std::string(item->signatureKind())}));
    if (options_.currentMacOS && item->minimumSystemVersion &&
        compareVersions(*item->minimumSystemVersion, *options_.currentMacOS) == VersionOrder::Descending) {
        std::string major = std::string(split(*options_.currentMacOS, '.').front());
        logger().info(localized("log.sparkle.needs_newer_macos", {app->name, *item->minimumSystemVersion, major}));
        return std::nullopt;
    }

    Application result = application;
    result.updateMechanism = UpdateMechanism::Sparkle;
    result.sparkleAppcastURL = app->feedURL;
    result.latestVersion = app->latestVersion;
    result.latestBuildNumber = app->latestBuildNumber;
    result.releaseNotes = app->releaseNotesURL;
    result.downloadURL = app->downloadURL;
    result.publishDate = app->publishDate;
    if (!result.resolutionSource) result.resolutionSource = AppRulePrimarySource::Sparkle;
    if (!result.resolutionReason && app->feedReason) result.resolutionReason = app->feedReason;
    if (!result.detectionConfidence) {
        result.detectionConfidence = app->feedReason ? DetectionConfidence::BestEffort : DetectionConfidence::High;
    }
    return result;
}

bool SparkleManager::save(const std::string& folder) const {
    return saveRecords(folder, kSparkleAppsFile, apps(), logger());
}

std::vector<SparkleApp> SparkleManager::load(const std::string& folder) {
    return loadRecords<SparkleApp>(folder, kSparkleAppsFile, logger());
}

}  // namespace vt
