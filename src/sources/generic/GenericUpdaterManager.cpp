#include "sources/generic/GenericUpdaterManager.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/Cancellation.hpp"
#include "base/Json.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/RecordFile.hpp"
#include "base/Strings.hpp"
#include "sources/inventory/AppBundleReader.hpp"
#include "sources/inventory/FrameworkClassifier.hpp"
#include "sources/generic/GenericFetch.hpp"
#include "sources/generic/GenericVersionReleaseManifest.hpp"
#include "sources/rules/AppRuleCatalogService.hpp"
#include "system/Endpoints.hpp"
#include "system/SystemNetworkClient.hpp"
#include "system/UniqueFd.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger instance("GenericUpdaterManager");
    return instance;
}

constexpr const char* kYamlAccept = "application/x-yaml, text/yaml, text/plain;q=0.9, */*;q=0.8";
constexpr const char* kZenBundleIdentifier = "app.zen-browser.zen";
// A Tauri executable is scanned for its endpoint as far as the classifier looks for the runtime.
constexpr std::size_t kExecutableScanBytes = 16 * 1024 * 1024;

std::vector<std::string> sanitized(const std::vector<std::string>& values) {
    std::vector<std::string> clean;
    for (const std::string& value : values) clean.push_back(sanitizeUtf8(value));
    return clean;
}

// The first bytes of a regular file, at most `limit`; nothing when missing. Throws
// ManifestError when larger than the limit and `mustFit`.
std::optional<std::string> readFile(const std::string& path, std::size_t limit, bool mustFit) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) {
        if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
        throw ManifestError(std::strerror(errno));
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) throw ManifestError("not a regular file");
    if (mustFit && static_cast<unsigned long long>(info.st_size) > limit) throw ManifestError("too large");
    std::string bytes(std::min<std::size_t>(limit, static_cast<std::size_t>(info.st_size)), '\0');
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t got = ::read(fd.get(), bytes.data() + done, bytes.size() - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += static_cast<std::size_t>(got);
    }
    bytes.resize(done);
    return bytes;
}

std::string httpStatus(int status) {
    std::string text = "HTTP ";
    text += std::to_string(status);
    return text;
}

bool isHtml(std::string_view body) {
    std::string start = toLower(trimView(body.substr(0, 512)));
    return startsWith(start, "<!doctype html") || startsWith(start, "<html") || contains(start, "<head");
}

// A storage bucket's way of saying the manifest is not there.
bool saysNoManifest(std::string_view body) {
    std::string lower = toLower(body.substr(0, 4096));
    return contains(lower, "<code>nosuchkey</code>") || contains(lower, "<code>accessdenied</code>") ||
           contains(lower, "the specified key does not exist") || contains(lower, "access denied");
}

std::string trimmedSlash(std::string text) {
    while (!text.empty() && text.back() == '/') text.pop_back();
    return text;
}

// Where an Electron updater looks for its manifests, without the file name.
std::optional<std::string> electronFeedBase(const ElectronUpdateConfig& config) {
    switch (config.provider) {
        case ElectronUpdateProvider::Generic:
        case ElectronUpdateProvider::Custom:
        case ElectronUpdateProvider::Unknown:
        case ElectronUpdateProvider::Bintray:
        case ElectronUpdateProvider::Spaces:
            if (config.url) return trimmedSlash(*config.url);
            return std::nullopt;
        case ElectronUpdateProvider::S3: {
            if (config.url) return trimmedSlash(*config.url);
            if (!config.bucket || config.bucket->empty()) return std::nullopt;
            // The bucket's path-style address; the region's own host redirects there.
            // Path-style on the storage service's global host, which serves every region's buckets.
            std::string path = "/";
            path += *config.bucket;
            if (config.path && !config.path->empty()) {
                path += "/";
                path += trimmedSlash(*config.path);
            }
            return Endpoints::url(Service::S3, path);
        }
        case ElectronUpdateProvider::GitHub: return std::nullopt;
    }
    return std::nullopt;
}

std::string manifestName(const ElectronUpdateConfig& config) {
    if (config.channel && !config.channel->empty() && *config.channel != "latest") return *config.channel + "-mac.yml";
    return "latest-mac.yml";
}

// The Tauri updater endpoints an executable carries: addresses of a "latest.json" or with
// updater placeholders.
std::optional<std::string> tauriEndpoint(const std::string& executablePath) {
    std::optional<std::string> bytes;
    try {
        bytes = readFile(executablePath, kExecutableScanBytes, false);
    } catch (const ManifestError&) {
        return std::nullopt;
    }
    if (!bytes) return std::nullopt;
    for (const std::string& address : addressesInText(*bytes)) {
        std::string lower = toLower(address);
        if (contains(lower, "latest.json") || contains(lower, "{{") || contains(lower, "%7b%7b")) return address;
    }
    return std::nullopt;
}

}  // namespace

GenericUpdaterManager::GenericUpdaterManager(NetworkClient& network) : GenericUpdaterManager(network, Options{}) {}

GenericUpdaterManager::GenericUpdaterManager(NetworkClient& network, Options options)
    : network_(network), options_(std::move(options)), tauri_(network, options_.architecture) {}

GenericUpdaterManager::~GenericUpdaterManager() = default;

Json GenericUpdaterApp::toJson() const {
    Json json = Json::object();
    json["id"] = id;
    json["name"] = name;
    json["bundlePath"] = bundlePath;
    json["currentVersion"] = currentVersion;
    putIfPresent(json, "currentBuildNumber", currentBuildNumber);
    putIfPresent(json, "latestVersion", latestVersion);
    putIfPresent(json, "latestBuildNumber", latestBuildNumber);
    json["updateMechanism"] = std::string(rawValue(updateMechanism));
    putIfPresent(json, "updateURL", updateURL);
    putIfPresent(json, "downloadURL", downloadURL);
    putIfPresent(json, "releasePageURL", releasePageURL);
    putIfPresent(json, "releaseNotes", releaseNotes);
    if (publishDate) json["publishDate"] = toReferenceSeconds(*publishDate);
    putIfPresent(json, "allowsRemoteVersionCheck", allowsRemoteVersionCheck);
    return json;
}

GenericUpdaterApp GenericUpdaterApp::fromJson(const Json& json) {
    GenericUpdaterApp app;
    app.id = json.at("id").get<std::string>();
    app.name = json.at("name").get<std::string>();
    app.bundlePath = json.at("bundlePath").get<std::string>();
    app.currentVersion = json.at("currentVersion").get<std::string>();
    app.currentBuildNumber = stringField(json, "currentBuildNumber");
    app.latestVersion = stringField(json, "latestVersion");
    app.latestBuildNumber = stringField(json, "latestBuildNumber");
    const std::string mechanism = json.at("updateMechanism").get<std::string>();
    std::optional<GenericUpdateMechanism> known = genericUpdateMechanismFromRaw(mechanism);
    if (!known) throw std::invalid_argument("unknown update mechanism \"" + mechanism + "\"");
    app.updateMechanism = *known;
    app.updateURL = stringField(json, "updateURL");
    app.downloadURL = stringField(json, "downloadURL");
    app.releasePageURL = stringField(json, "releasePageURL");
    app.releaseNotes = stringField(json, "releaseNotes");
    if (std::optional<double> seconds = numberField(json, "publishDate")) app.publishDate = fromReferenceSeconds(*seconds);
    app.allowsRemoteVersionCheck = boolField(json, "allowsRemoteVersionCheck");
    return app;
}

GenericUpdaterManager& GenericUpdaterManager::shared() {
    static SystemNetworkClient network;
    static GenericUpdaterManager manager(network);
    return manager;
}

std::map<std::string, KnownAppConfig> GenericUpdaterManager::knownAppConfigs() {
    std::map<std::string, KnownAppConfig> configs;
    try {
        configs["com.hnc.Discord"] = {GenericUpdateMechanism::Custom,
                                      Endpoints::url(Service::Discord, "/updates/stable?platform=osx"), std::nullopt};
        configs[kZenBundleIdentifier] = {GenericUpdateMechanism::Custom,
                                         Endpoints::url(Service::GitHubApi, "/repos/zen-browser/desktop/releases/latest"),
                                         Endpoints::url(Service::GitHubWeb, "/zen-browser/desktop/releases")};
        configs["com.raycast.macos"] = {GenericUpdateMechanism::Raycast,
                                        Endpoints::url(Service::Raycast, "/releases/latest?arch={{arch}}"), std::nullopt};
    } catch (const EndpointError& error) {
        logger().warning(error.what());
    }
    return configs;
}

std::optional<KnownAppConfig> GenericUpdaterManager::catalogRule(const std::string& bundleIdentifier) {
    std::optional<CatalogMatch> match = AppRuleCatalogService::shared()->lookup(bundleIdentifier);
    // Only a rule that names an address: one that names just the mechanism leaves the address
    // to the bundle or to the known configurations.
    if (!match || !match->rule.genericUpdater || !match->rule.genericUpdater->updateURL) return std::nullopt;
    const AppUpdateRule& rule = match->rule;
    if (rule.primarySource != AppRulePrimarySource::Electron && rule.primarySource != AppRulePrimarySource::GenericUpdater) {
        return std::nullopt;
    }
    return KnownAppConfig{rule.genericUpdater->mechanism, *rule.genericUpdater->updateURL, rule.genericUpdater->releaseNotesURL};
}

std::optional<GenericUpdaterApp> GenericUpdaterManager::detect(const std::string& bundlePath,
                                                               const std::string& bundleIdentifier) {
    std::optional<AppBundleInventoryEntry> entry = buildInventoryEntry(bundlePath);
    GenericUpdaterApp app;
    app.id = bundlePath;
    app.bundlePath = bundlePath;
    app.bundleIdentifier = bundleIdentifier;
    if (entry) {
        if (entry->hasSparkleFramework || entry->hasSparklePlistKey) return std::nullopt;
        app.name = entry->name;
        app.bundleIdentifier = entry->bundleIdentifier;
        app.currentVersion = entry->installedVersion;
        if (!entry->currentBuildNumber.empty()) app.currentBuildNumber = entry->currentBuildNumber;
        app.releasePageURL = entry->genericReleasePageURLHint;

        bool found = false;
        try {
            if (auto yaml = readFile(bundlePath + "/Contents/Resources/app-update.yml", kMaximumManifestBytes, true)) {
                ElectronUpdateConfig config = parseElectronUpdateConfig(*yaml);
                app.updateMechanism = GenericUpdateMechanism::Electron;
                app.electron = config;
                app.updateURL = electronFeedBase(config);
                if (config.provider == ElectronUpdateProvider::GitHub && config.owner && config.repo) {
                    std::string repository = "/";
                    repository += *config.owner;
                    repository += "/";
                    repository += *config.repo;
                    app.updateURL = Endpoints::url(Service::GitHubApi, "/repos" + repository + "/releases/latest");
                    app.releasePageURL = Endpoints::url(Service::GitHubWeb, repository + "/releases");
                } else {
                    app.addressFromBundle = app.updateURL.has_value();
                }
                found = true;
            }
        } catch (const std::exception& error) {
            logger().warning(localized("log.generic.app_update_unreadable", sanitized({bundlePath, error.what()})));
        }
        if (!found && entry->genericUpdateURLHint) {
            app.updateMechanism = GenericUpdateMechanism::Custom;
            app.updateURL = entry->genericUpdateURLHint;
            app.addressFromBundle = true;
            app.allowsRemoteVersionCheck = entry->genericUpdateAllowsRemoteVersionCheck;
            found = true;
        }
        if (!found && entry->hasSquirrelFramework) {
            app.updateMechanism = GenericUpdateMechanism::Squirrel;
            found = true;
        }
        if (!found && entry->hasMozillaUpdaterHint) {
            app.updateMechanism = GenericUpdateMechanism::Mozilla;
            found = true;
        }
        if (!found) {
            std::optional<BundleCandidate> candidate = readBundle(bundlePath);
            const std::string executable = candidate ? candidate->executable.value_or("") : "";
            if (FrameworkClassifier::inspect(bundlePath, executable) == AppFramework::Tauri) {
                app.updateMechanism = GenericUpdateMechanism::Tauri;
                app.updateURL = tauriEndpoint(bundlePath + "/Contents/MacOS/" + executable);
                app.addressFromBundle = app.updateURL.has_value();
                found = true;
            }
        }
        if (!found && !app.bundleIdentifier.empty() && !catalogRule(app.bundleIdentifier) &&
            !knownAppConfigs().contains(app.bundleIdentifier)) {
            return std::nullopt;
        }
    }
    if (app.bundleIdentifier.empty()) return std::nullopt;
    if (!app.updateURL) {
        std::optional<KnownAppConfig> known = catalogRule(app.bundleIdentifier);
        if (!known) {
            auto table = knownAppConfigs();
            if (auto it = table.find(app.bundleIdentifier); it != table.end()) known = it->second;
        }
        if (known) {
            app.updateMechanism = known->mechanism;
            app.updateURL = known->updateURL;
            if (known->releaseNotesURL) app.releasePageURL = known->releaseNotesURL;
            app.addressFromBundle = false;
        }
    }
    if (!entry && !app.updateURL) return std::nullopt;
    return app;
}

std::optional<GenericUpdaterApp> GenericUpdaterManager::check(const GenericUpdaterApp& app, std::stop_token stop) {
    if (!app.updateURL) return std::nullopt;
    if (app.addressFromBundle) {
        if (auto problem = addressProblem(*app.updateURL)) {
            {
                std::scoped_lock lock(mutex_);
                ++invalidCount_;
            }
            logger().warning(localized("log.generic.invalid_url", sanitized({app.name, *app.updateURL, *problem})));
            return std::nullopt;
        }
    }
    const std::string key = app.bundleIdentifier.empty() ? app.bundlePath : app.bundleIdentifier;
    {
        std::scoped_lock lock(mutex_);
        if (auto cached = versionCache_.find(key); cached != versionCache_.end()) {
            double age = secondsBetween(cached->second.timestamp, clock().now());
            if (age >= 0 && age < kCacheTTL && cached->second.result.currentVersion == app.currentVersion) {
                return cached->second.result;
            }
        }
    }
    std::optional<GenericUpdaterApp> result;
    if (app.updateMechanism == GenericUpdateMechanism::Electron) {
        result = fetchElectron(app, stop);
    } else if (app.updateMechanism == GenericUpdateMechanism::Tauri) {
        if (auto found = tauri_.check(*app.updateURL, app.currentVersion, stop)) {
            result = app;
            result->latestVersion = found->version;
            result->downloadURL = found->downloadURL;
            result->releaseNotes = found->notes;
            result->publishDate = found->publishDate;
        }
    } else if (app.bundleIdentifier == kZenBundleIdentifier && !app.addressFromBundle) {
        result = fetchZen(app, stop);
    } else {
        result = fetchCustom(app, stop);
    }
    if (result && result->latestVersion) {
        std::scoped_lock lock(mutex_);
        versionCache_[key] = {*result, clock().now()};
    }
    return result;
}

std::optional<GenericUpdaterApp> GenericUpdaterManager::fetchElectronManifest(const GenericUpdaterApp& app,
                                                                              const std::string& manifestURL,
                                                                              ManifestFetch& fetch, bool& missing) {
    missing = false;
    HttpResponse response = fetch.get(manifestURL, kYamlAccept);
    if (response.statusCode == 404 || response.statusCode == 403 || saysNoManifest(response.body)) {
        missing = true;
        return std::nullopt;
    }
    if (!response.isSuccess()) {
        logger().warning(localized("log.generic.manifest_http",
                                   sanitized({std::to_string(response.statusCode), app.name, manifestURL})));
        return std::nullopt;
    }
    if (isHtml(response.body)) {
        logger().warning(localized("log.generic.manifest_html", sanitized({app.name, manifestURL})));
        return std::nullopt;
    }
    ElectronReleaseInfo release;
    try {
        release = parseElectronRelease(response.body, options_.architecture);
    } catch (const ManifestError& error) {
        logger().warning(
            localized("log.generic.manifest_unparsable",
                      sanitized({app.name, manifestURL, excerpt(response.body, 120) + " (" + error.what() + ")"})));
        return std::nullopt;
    }
    GenericUpdaterApp result = app;
    if (release.path) result.downloadURL = resolveAgainst(response.url.empty() ? manifestURL : response.url, *release.path);
    std::string version = release.version;
    if (version.empty() && result.downloadURL) version = versionFromDownloadPath(*result.downloadURL).value_or("");
    if (version.empty()) {
        logger().warning(localized("log.generic.manifest_unparsable",
                                   sanitized({app.name, manifestURL,
                                              localized("log.generic.no_version", {excerpt(response.body, 120)})})));
        return std::nullopt;
    }
    result.latestVersion = version;
    result.releaseNotes = release.releaseNotes;
    result.publishDate = release.releaseDate;
    logger().info(localized("log.generic.electron_version", sanitized({app.name, version})));
    return result;
}

std::optional<GenericUpdaterApp> GenericUpdaterManager::fetchElectron(const GenericUpdaterApp& app,
                                                                      std::stop_token stop) {
    const ElectronUpdateConfig config = app.electron.value_or(ElectronUpdateConfig{});
    try {
        ManifestFetch fetch(network_, stop);
        bool missing = false;
        if (config.provider == ElectronUpdateProvider::GitHub) {
            HttpResponse response = fetch.get(*app.updateURL, "application/vnd.github+json");
            if (!response.isSuccess()) {
                logger().warning(localized("log.generic.manifest_http",
                                           sanitized({std::to_string(response.statusCode), app.name, *app.updateURL})));
                return std::nullopt;
            }
            std::optional<Json> release = parseJson(response.body);
            if (!release || !release->is_object() || !release->contains("assets") || !(*release)["assets"].is_array()) {
                throw ManifestError("the latest release is not a GitHub release");
            }
            std::map<std::string, std::string> assets;
            for (const Json& asset : (*release)["assets"]) {
                if (asset.is_object() && asset.value("name", Json()).is_string() &&
                    asset.value("browser_download_url", Json()).is_string()) {
                    assets[asset["name"].get<std::string>()] = asset["browser_download_url"].get<std::string>();
                }
            }
            auto manifest = assets.find(manifestName(config));
            if (manifest == assets.end()) {
                logger().warning(localized("log.generic.manifest_http", sanitized({"404", app.name, *app.updateURL})));
                return std::nullopt;
            }
            auto result = fetchElectronManifest(app, manifest->second, fetch, missing);
            if (result && result->downloadURL) {
                if (auto asset = assets.find(std::string(lastPathComponent(*result->downloadURL))); asset != assets.end()) {
                    result->downloadURL = asset->second;
                }
            }
            if (result && release->value("body", Json()).is_string() && !result->releaseNotes) {
                result->releaseNotes = (*release)["body"].get<std::string>();
            }
            return result;
        }
        const std::string base = substitutePlaceholders(*app.updateURL, app.currentVersion, options_.architecture);
        auto result = fetchElectronManifest(app, base + "/" + manifestName(config), fetch, missing);
        if (missing) result = fetchElectronManifest(app, base + "/latest.yml", fetch, missing);
        if (missing) {
            logger().warning(localized("log.generic.manifest_http", sanitized({"404", app.name, base})));
        }
        return result;
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        logger().warning(localized("log.generic.manifest_unavailable", sanitized({app.name, error.what()})));
        return std::nullopt;
    }
}

std::optional<GenericUpdaterApp> GenericUpdaterManager::fetchCustom(const GenericUpdaterApp& app, std::stop_token stop) {
    const std::string address = substitutePlaceholders(*app.updateURL, app.currentVersion, options_.architecture);
    try {
        ManifestFetch fetch(network_, stop);
        HttpResponse response = fetch.get(address, "application/json");
        if (response.statusCode == 204) return std::nullopt;  // nothing newer
        if (!response.isSuccess()) throw ManifestError(httpStatus(response.statusCode));
        auto manifest = GenericVersionReleaseManifest::read(response.body);
        if (!manifest) throw ManifestError("no version in the answer");
        GenericUpdaterApp result = app;
        result.latestVersion = manifest->version;
        if (manifest->downloadURL) result.downloadURL = resolveAgainst(address, *manifest->downloadURL);
        return result;
    } catch (const CancellationError&) {
        logger().info(localized("log.generic.payload_cancelled", sanitized({app.name})));
        throw;
    } catch (const NetworkError& error) {
        logger().warning(
            localized("log.generic.payload_unavailable", sanitized({app.name, address, error.description()})));
    } catch (const std::exception& error) {
        logger().warning(localized("log.generic.payload_failed", sanitized({app.name, address, error.what()})));
    }
    return std::nullopt;
}

std::optional<GenericUpdaterApp> GenericUpdaterManager::fetchZen(const GenericUpdaterApp& app, std::stop_token stop) {
    try {
        ManifestFetch fetch(network_, stop);
        HttpResponse response = fetch.get(*app.updateURL, "application/vnd.github+json");
        if (!response.isSuccess()) throw ManifestError(httpStatus(response.statusCode));
        std::optional<Json> release = parseJson(response.body);
        if (!release || !release->is_object() || !release->value("tag_name", Json()).is_string()) {
            throw ManifestError("no tag_name in the latest release");
        }
        GenericUpdaterApp result = app;
        result.latestVersion = withoutVersionPrefix((*release)["tag_name"].get<std::string>());
        if (release->value("html_url", Json()).is_string()) result.releasePageURL = (*release)["html_url"].get<std::string>();
        for (const Json& asset : release->value("assets", Json::array())) {
            if (!asset.is_object() || !asset.value("browser_download_url", Json()).is_string()) continue;
            std::string url = asset["browser_download_url"].get<std::string>();
            if (macFileFit(url, options_.architecture) > 0) {
                result.downloadURL = url;
                break;
            }
        }
        return result;
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        logger().warning(localized("log.generic.zen_unavailable", sanitized({error.what()})));
        return std::nullopt;
    }
}

std::optional<Application> GenericUpdaterManager::checkApplication(const Application& application,
                                                                   std::stop_token stop) {
    std::optional<GenericUpdaterApp> app = detect(application.bundlePath, application.bundleIdentifier);
    if (!app) return std::nullopt;
    if (app->name.empty()) app->name = application.name;
    if (app->currentVersion.empty()) app->currentVersion = application.version;
    std::optional<GenericUpdaterApp> found = check(*app, stop);
    {
        // The version cache is shared by copies of one application in two folders: the
        // record keeps this copy's own path and installed version.
        GenericUpdaterApp listed = found ? *found : *app;
        listed.id = app->id;
        listed.name = app->name;
        listed.bundlePath = app->bundlePath;
        listed.currentVersion = app->currentVersion;
        listed.currentBuildNumber = app->currentBuildNumber;
        std::scoped_lock lock(mutex_);
        apps_[listed.bundlePath] = std::move(listed);
    }
    if (!found || !found->latestVersion) return std::nullopt;
    Application result = application;
    result.latestVersion = found->latestVersion;
    result.latestBuildNumber = found->latestBuildNumber;
    result.releaseNotes = found->releaseNotes;
    result.downloadURL = found->downloadURL ? found->downloadURL : found->releasePageURL;
    result.publishDate = found->publishDate;
    result.updateMechanism = UpdateMechanism::DirectDownload;
    result.updateStrategy = UpdateStrategy::ManualDownload;
    const bool electron = found->updateMechanism == GenericUpdateMechanism::Electron;
    if (!result.resolutionSource) {
        result.resolutionSource = electron ? AppRulePrimarySource::Electron : AppRulePrimarySource::GenericUpdater;
    }
    if (!result.resolutionReason && found->addressFromBundle) {
        if (electron) result.resolutionReason = "Embedded Electron app-update.yml";
        if (found->updateMechanism == GenericUpdateMechanism::Tauri) result.resolutionReason = "Embedded Tauri updater endpoint";
    }
    if (!result.detectionConfidence) result.detectionConfidence = DetectionConfidence::BestEffort;
    return result;
}

long long GenericUpdaterManager::invalidGenericUpdaterURLCount() const {
    std::scoped_lock lock(mutex_);
    return invalidCount_;
}

void GenericUpdaterManager::beginRound() {
    std::scoped_lock lock(mutex_);
    apps_.clear();
}

void GenericUpdaterManager::completeFromChecks(const std::vector<Application>& checked) {
    for (const Application& application : checked) {
        if (!application.latestVersion || (application.resolutionSource != AppRulePrimarySource::Electron &&
                                           application.resolutionSource != AppRulePrimarySource::GenericUpdater)) {
            continue;
        }
        {
            std::scoped_lock lock(mutex_);
            if (apps_.count(application.bundlePath)) continue;
        }
        std::optional<GenericUpdaterApp> app = detect(application.bundlePath, application.bundleIdentifier);
        if (!app) continue;
        if (app->name.empty()) app->name = application.name;
        if (app->currentVersion.empty()) app->currentVersion = application.version;
        app->latestVersion = application.latestVersion;
        app->latestBuildNumber = application.latestBuildNumber;
        app->downloadURL = application.downloadURL;
        app->releaseNotes = application.releaseNotes;
        app->publishDate = application.publishDate;
        std::scoped_lock lock(mutex_);
        apps_[app->bundlePath] = std::move(*app);
    }
}

std::vector<GenericUpdaterApp> GenericUpdaterManager::apps() const {
    std::vector<GenericUpdaterApp> list;
    {
        std::scoped_lock lock(mutex_);
        for (const auto& [path, app] : apps_) list.push_back(app);
    }
    std::stable_sort(list.begin(), list.end(), [](const GenericUpdaterApp& a, const GenericUpdaterApp& b) {
        return toLower(a.name) < toLower(b.name);
    });
    return list;
}

bool GenericUpdaterManager::save(const std::string& folder) const {
    return saveRecords(folder, kGenericUpdaterAppsFile, apps(), logger());
}

std::vector<GenericUpdaterApp> GenericUpdaterManager::load(const std::string& folder) {
    return loadRecords<GenericUpdaterApp>(folder, kGenericUpdaterAppsFile, logger());
}

Clock& GenericUpdaterManager::clock() const { return options_.clock != nullptr ? *options_.clock : Clock::shared(); }

}  // namespace vt
