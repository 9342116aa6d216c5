#include "sources/inventory/ApplicationManager.hpp"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <dirent.h>
#include <filesystem>
#include <future>
#include <map>
#include <unordered_set>
#include <sys/stat.h>
#include <unistd.h>

#include "base/Cancellation.hpp"
#include "base/Json.hpp"
#include "base/Log.hpp"
#include "base/Strings.hpp"
#include "sources/github/GitHubReleasesManager.hpp"
#include "sources/appstore/MacAppStoreManager.hpp"
#include "sources/sparkle/SparkleManager.hpp"
#include "sources/generic/GenericUpdaterManager.hpp"
#include "sources/rules/AppRuleCatalogService.hpp"
#include "system/CommandRunning.hpp"
#include "base/Localization.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger instance("ApplicationManager");
    return instance;
}

constexpr double kSpotlightLimit = 5.0;
constexpr const char* kSpotlightQuery =
    "kMDItemContentType == 'com.apple.application-bundle' && kMDItemFSName == '*.app'";

// Folders the walk never enters: device backups, the trash, version-control and package
// trees that can be huge and never hold an installed application.
bool isExcludedFolder(std::string_view name) {
    return name == "MobileSync" || name == ".Trash" || name == ".git" || name == "node_modules";
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string format(double value, const char* pattern) {
    char text[32];
    std::snprintf(text, sizeof(text), pattern, value);
    return text;
}

std::string normalised(const std::string& path) {
    std::string text = std::filesystem::path(path).lexically_normal().string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

// The identity of a root: its real path when it exists, so that a folder named twice (or
// through a link) is searched once.
std::string rootIdentity(const std::string& path) {
    std::error_code error;
    std::filesystem::path real = std::filesystem::weakly_canonical(path, error);
    return error ? normalised(path) : normalised(real.string());
}

bool isValidUtf8(std::string_view text) { return sanitizeUtf8(text) == text; }

// The date that stands for a bundle: the later of its Info.plist's modification and status
// change times. The status change time moves when a bundle is replaced by one unpacked with
// its archived dates, which the modification time alone would miss.
std::optional<double> bundleDate(const std::string& bundlePath, int& error) {
    struct stat info {};
    if (::stat((bundlePath + "/Contents/Info.plist").c_str(), &info) != 0) {
        error = errno;
        return std::nullopt;
    }
    auto seconds = [](const struct timespec& time) {
        return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) / 1e9;
    };
    return std::max(seconds(info.st_mtim), seconds(info.st_ctim)) - 978307200.0;
}

bool isUnder(const std::string& path, const std::string& root) {
    return path.size() > root.size() && startsWith(path, root) && path[root.size()] == '/';
}

void carryOverResults(Application& current, const Application& previous) {
    current.isIgnored = previous.isIgnored;
    current.updatePreferences = previous.updatePreferences;
    if (current.version != previous.version) return;
    current.latestVersion = previous.latestVersion;
    current.latestBuildNumber = previous.latestBuildNumber;
    current.releaseNotes = previous.releaseNotes;
    current.downloadURL = previous.downloadURL;
    current.publishDate = previous.publishDate;
    current.homebrewCaskName = previous.homebrewCaskName;
    current.directDownloadConfig = previous.directDownloadConfig;
    current.updateCapability = previous.updateCapability;
    current.updateStrategy = previous.updateStrategy;
    current.detectionConfidence = previous.detectionConfidence;
    current.resolutionSource = previous.resolutionSource;
    current.resolutionReason = previous.resolutionReason;
    current.matchedRuleIdentifier = previous.matchedRuleIdentifier;
    if (!current.appStoreID) current.appStoreID = previous.appStoreID;
}

}  // namespace

Json ScanPathSummary::toJson() const {
    Json json = Json::object();
    json["id"] = id;
    json["rootPath"] = rootPath;
    json["displayName"] = displayName;
    json["discoveredApplications"] = discoveredApplications;
    json["directoriesVisited"] = directoriesVisited;
    json["filesScanned"] = filesScanned;
    json["symlinksFollowed"] = symlinksFollowed;
    json["duration"] = duration;
    json["errors"] = errors;
    return json;
}

ScanPathSummary ScanPathSummary::fromJson(const Json& json) {
    ScanPathSummary summary;
    summary.id = json.at("id").get<std::string>();
    summary.rootPath = json.at("rootPath").get<std::string>();
    summary.displayName = json.at("displayName").get<std::string>();
    summary.discoveredApplications = json.at("discoveredApplications").get<long long>();
    summary.directoriesVisited = json.at("directoriesVisited").get<long long>();
    summary.filesScanned = json.at("filesScanned").get<long long>();
    summary.symlinksFollowed = json.at("symlinksFollowed").get<long long>();
    summary.duration = json.at("duration").get<double>();
    summary.errors = json.at("errors").get<std::vector<std::string>>();
    return summary;
}

Json ScanDiagnostics::toJson() const {
    Json json = Json::object();
    json["startedAt"] = toReferenceSeconds(startedAt);
    json["finishedAt"] = toReferenceSeconds(finishedAt);
    Json& list = json["pathSummaries"] = Json::array();
    for (const ScanPathSummary& summary : pathSummaries) list.push_back(summary.toJson());
    return json;
}

ScanDiagnostics ScanDiagnostics::fromJson(const Json& json) {
    ScanDiagnostics diagnostics;
    diagnostics.startedAt = fromReferenceSeconds(json.at("startedAt").get<double>());
    diagnostics.finishedAt = fromReferenceSeconds(json.at("finishedAt").get<double>());
    for (const Json& item : json.at("pathSummaries")) diagnostics.pathSummaries.push_back(ScanPathSummary::fromJson(item));
    return diagnostics;
}

ApplicationManager::ApplicationManager(Options options) : options_(std::move(options)) {
    if (!options_.metadataCachePath.empty()) cache_ = std::make_unique<AppMetadataCache>(options_.metadataCachePath);
}

ApplicationManager::~ApplicationManager() = default;

std::vector<ScanRoot> ApplicationManager::fixedRoots() {
    return {
        {"/Applications", "Applications", 4},
        {"/Applications/Utilities", "Application Utilities", 3},
        {"/System/Applications", "System Applications", 4},
        {"/System/Applications/Utilities", "System Utilities", 3},
    };
}

std::vector<ScanRoot> ApplicationManager::scanRoots() const {
    std::vector<ScanRoot> candidates = options_.fixedRoots;
    if (!options_.home.empty()) candidates.push_back({options_.home + "/Applications", "Home Applications", 4});
    if (options_.additionalFolders) {
        for (std::string folder : options_.additionalFolders()) {
            if (startsWith(folder, "~/") && !options_.home.empty()) folder = options_.home + folder.substr(1);
            if (folder.empty() || folder.front() != '/') {
                logger().warning(localized("log.apps.folder_not_absolute", {sanitizeUtf8(folder)}));
                continue;
            }
            std::string name(lastPathComponent(normalised(folder)));
            candidates.push_back({normalised(folder), name.empty() ? folder : name, 4});
        }
    }
    std::vector<ScanRoot> roots;
    std::set<std::string> seen;
    for (ScanRoot& root : candidates) {
        root.path = normalised(root.path);
        if (!seen.insert(rootIdentity(root.path)).second) continue;
        roots.push_back(std::move(root));
    }
    return roots;
}

std::vector<std::string> ApplicationManager::findWithSpotlight(const std::vector<ScanRoot>& roots,
                                                               std::stop_token stop,
                                                               std::vector<ScanPathSummary>& summaries,
                                                               bool& usable) {
    usable = false;
    std::vector<std::string> found;
    auto spotlightStart = std::chrono::steady_clock::now();
    std::size_t spotlightCount = 0;
    for (const ScanRoot& root : roots) {
        double remaining = kSpotlightLimit - secondsSince(spotlightStart);
        if (remaining <= 0) return {};
        try {
            CommandRequest request;
            request.command = options_.spotlightTool;
            request.arguments = {"-onlyin", root.path, kSpotlightQuery};
            request.timeout = remaining;
            ShellCommandResult result = options_.runner->execute(request, stop);
            for (std::string_view line : splitLines(result.standardOutput)) {
                if (!line.empty() && line.front() == '/') {
                    found.emplace_back(line);
                    ++spotlightCount;
                }
            }
        } catch (const std::exception& error) {
            logger().warning(localized("log.apps.spotlight_failed", {error.what()}));
            return {};
        }
    }
    const double spotlightSeconds = secondsSince(spotlightStart);
    if (found.empty() || spotlightSeconds > kSpotlightLimit) return {};
    // The roots themselves, listed: what Spotlight has not indexed yet.
    auto listingStart = std::chrono::steady_clock::now();
    std::size_t listed = 0;
    for (const ScanRoot& root : roots) {
        auto rootStart = std::chrono::steady_clock::now();
        ScanPathSummary summary{.id = root.path, .rootPath = root.path, .displayName = root.displayName};
        if (DIR* dir = ::opendir(root.path.c_str())) {
            summary.directoriesVisited = 1;
            while (dirent* entry = ::readdir(dir)) {
                std::string name = entry->d_name;
                if (!endsWith(name, ".app")) continue;
                found.push_back(root.path + "/" + name);
                ++listed;
            }
            ::closedir(dir);
        }
        for (const std::string& path : found) summary.discoveredApplications += isUnder(path, root.path) ? 1 : 0;
        summary.duration = secondsSince(rootStart);
        summaries.push_back(std::move(summary));
    }
    logger().info(
        localized("log.apps.spotlight_timing", {std::to_string(spotlightCount), format(spotlightSeconds, "%.2f"),
                                                std::to_string(listed), format(secondsSince(listingStart), "%.2f")}));
    usable = true;
    return found;
}

std::vector<std::string> ApplicationManager::walk(const std::vector<ScanRoot>& roots, std::stop_token stop,
                                                  std::vector<ScanPathSummary>& summaries) {
    std::vector<std::string> found;
    struct Folder {
        std::string path;
        int depth;
    };
    for (const ScanRoot& root : roots) {
        auto rootStart = std::chrono::steady_clock::now();
        ScanPathSummary summary{.id = root.path, .rootPath = root.path, .displayName = root.displayName};
        std::vector<Folder> pending{{root.path, 0}};
        bool rootMissing = false;
        while (!pending.empty() && !stop.stop_requested()) {
            Folder folder = std::move(pending.back());
            pending.pop_back();
            DIR* dir = ::opendir(folder.path.c_str());
            if (dir == nullptr) {
                if (folder.depth == 0 && errno == ENOENT) {
                    rootMissing = true;  // a standard folder this machine does not have
                    continue;
                }
                std::string error = sanitizeUtf8(folder.path) + ": " + std::strerror(errno);
                logger().warning(localized("log.apps.folder_unreadable", {error}));
                summary.errors.push_back(std::move(error));
                continue;
            }
            ++summary.directoriesVisited;
            std::vector<Folder> children;
            while (dirent* entry = ::readdir(dir)) {
                std::string_view name = entry->d_name;
                if (name == "." || name == "..") continue;
                std::string child = folder.path + "/" + std::string(name);
                unsigned char type = entry->d_type;
                if (type == DT_UNKNOWN) {
                    struct stat info {};
                    if (::lstat(child.c_str(), &info) == 0) {
                        type = S_ISLNK(info.st_mode) ? DT_LNK : S_ISDIR(info.st_mode) ? DT_DIR : DT_REG;
                    }
                }
                if (type == DT_LNK) {
                    // Looked at, never entered: a link to a bundle is a result, a link to a
                    // folder is not followed (no loop can form).
                    ++summary.symlinksFollowed;
                    struct stat target {};
                    if (endsWith(name, ".app") && ::stat(child.c_str(), &target) == 0 && S_ISDIR(target.st_mode)) {
                        found.push_back(std::move(child));
                        ++summary.discoveredApplications;
                    }
                    continue;
                }
                if (type != DT_DIR) {
                    ++summary.filesScanned;
                    continue;
                }
                if (endsWith(name, ".app")) {
                    found.push_back(std::move(child));  // a result, never a folder to enter
                    ++summary.discoveredApplications;
                } else if (!isExcludedFolder(name) && folder.depth + 1 < root.maxDepth) {
                    children.push_back({std::move(child), folder.depth + 1});
                }
            }
            ::closedir(dir);
            // Depth first, in the order listed.
            for (auto it = children.rbegin(); it != children.rend(); ++it) pending.push_back(std::move(*it));
        }
        summary.duration = secondsSince(rootStart);
        if (!rootMissing || summary.directoriesVisited > 0) summaries.push_back(std::move(summary));
    }
    return found;
}

std::optional<std::string> ApplicationManager::appStoreIdentifier(const std::string& bundlePath, std::stop_token stop) {
    if (options_.runner == nullptr || ::access(options_.spotlightAttributesTool.c_str(), X_OK) != 0) return std::nullopt;
    try {
        CommandRequest request;
        request.command = options_.spotlightAttributesTool;
        request.arguments = {"-name", "kMDItemExternalIdentifier", "-raw", bundlePath};
        request.timeout = kSpotlightLimit;
        std::string text = trim(options_.runner->execute(request, stop).standardOutput);
        if (text.empty() || text == "(null)") return std::nullopt;
        return text;
    } catch (const std::exception& error) {
        logger().warning(localized("log.apps.store_id_unreadable", {bundlePath, error.what()}));
        return std::nullopt;
    }
}

std::vector<Application> ApplicationManager::scanApplications(std::stop_token stop, const ProgressReporter& progress) {
    const auto start = std::chrono::steady_clock::now();
    ScanDiagnostics diagnostics;
    diagnostics.startedAt = clock().now();
    std::vector<Application> previous;
    {
        std::scoped_lock lock(mutex_);
        isLoading_ = true;
        previous = applications_;
    }
    // The cache is read while the folders are searched.
    std::future<std::map<std::string, AppMetadata>> loading;
    if (cache_) loading = std::async(std::launch::async, [this] { return cache_->load(); });

    const std::vector<ScanRoot> roots = scanRoots();
    std::vector<std::string> paths;
    bool spotlightUsable = false;
    auto spotlightStart = std::chrono::steady_clock::now();
    if (options_.runner != nullptr && ::access(options_.spotlightTool.c_str(), X_OK) == 0) {
        paths = findWithSpotlight(roots, stop, diagnostics.pathSummaries, spotlightUsable);
    }
    if (!spotlightUsable) {
        diagnostics.pathSummaries.clear();
        logger().info(localized("log.apps.spotlight_fallback", {format(secondsSince(spotlightStart), "%.2f")}));
        paths = walk(roots, stop, diagnostics.pathSummaries);
    }

    std::map<std::string, AppMetadata> cached;
    if (loading.valid()) cached = loading.get();
    std::vector<Application> found;
    found.reserve(paths.size());
    std::map<std::string, AppMetadata> seenEntries;
    std::unordered_set<std::string> seenPaths;
    std::size_t index = 0;
    for (const std::string& raw : paths) {
        ++index;
        if (stop.stop_requested()) break;
        // The walk gives clean paths; Spotlight's and the settings' may not be.
        bool clean = !raw.empty() && raw.find("//") == std::string::npos && raw.find("/.") == std::string::npos && raw.back() != '/';
        std::string path = clean ? raw : normalised(raw);
        if (!seenPaths.insert(path).second) continue;  // found by Spotlight and by the listing, or twice
        if (progress && (index % 64 == 0 || index == paths.size())) progress(index, paths.size(), "Spotlight", localized("scan.status.inventory"));
        if (!isValidUtf8(path)) {
            logger().warning(localized("log.bundle.path_not_utf8", {sanitizeUtf8(path)}));
            continue;
        }
        int error = 0;
        std::optional<double> date = bundleDate(path, error);
        if (!date) {
            if (error != ENOENT && error != ENOTDIR) {
                logger().warning(localized("log.bundle.info_plist_failed", {path, std::strerror(error)}));
            }
            continue;  // no Info.plist: not an application
        }
        AppMetadata entry;
        auto reusable = cached.find(path);
        if (reusable != cached.end() && reusable->second.modificationDate == *date) {
            entry = std::move(reusable->second);
            cached.erase(reusable);
        } else {
            std::optional<BundleCandidate> candidate = readBundle(path);
            if (!candidate) continue;
            entry.path = path;
            entry.modificationDate = *date;
            entry.bundleVersion = candidate->buildNumber;
            entry.bundleIdentifier = candidate->bundleIdentifier;
            entry.name = candidate->name;
            entry.shortVersion = candidate->version;
            entry.updateMechanism = candidate->updateMechanism;
            entry.sparkleAppcastURL = candidate->sparkleAppcastURL;
            entry.hasMASReceipt = candidate->hasMASReceipt;
            entry.executable = candidate->executable.value_or("");
            entry.framework = classifier_.classify(path, *date, entry.executable);
        }
        Application application;
        application.id = path;
        application.name = entry.name;
        application.bundlePath = path;
        application.version = entry.shortVersion;
        application.buildNumber = entry.bundleVersion;
        application.bundleIdentifier = entry.bundleIdentifier;
        application.updateMechanism = entry.updateMechanism;
        application.sparkleAppcastURL = entry.sparkleAppcastURL;
        if (entry.hasMASReceipt) application.appStoreID = appStoreIdentifier(path, stop);
        found.push_back(std::move(application));
        seenEntries[path] = std::move(entry);
    }

    // The walk is the less complete path (depth limits, unreadable folders): an application of
    // the previous list that it missed is kept when its bundle is still there, with its
    // Info.plist, under a root of this scan. One that is gone, or whose folder is no longer
    // searched, is dropped.
    std::map<std::string, const Application*> previousByPath;
    for (const Application& application : previous) previousByPath[application.bundlePath] = &application;
    if (!spotlightUsable && !stop.stop_requested()) {
        long long recovered = 0;
        for (const Application& application : previous) {
            if (seenPaths.count(application.bundlePath)) continue;
            bool underRoot = false;
            for (const ScanRoot& root : roots) underRoot = underRoot || isUnder(application.bundlePath, root.path);
            int error = 0;
            if (!underRoot || !bundleDate(application.bundlePath, error)) continue;
            found.push_back(application);
            seenPaths.insert(application.bundlePath);
            ++recovered;
        }
        if (recovered > 0) {
            logger().info(localized("log.apps.recovered", {std::to_string(recovered)}));
        }
    }
    for (Application& application : found) {
        auto before = previousByPath.find(application.bundlePath);
        if (before != previousByPath.end()) carryOverResults(application, *before->second);
    }

    std::set<std::string> tauri, electron;
    for (const auto& [path, entry] : seenEntries) {
        if (entry.bundleIdentifier.empty()) continue;
        if (entry.framework == AppFramework::Tauri) tauri.insert(entry.bundleIdentifier);
        if (entry.framework == AppFramework::Electron) electron.insert(entry.bundleIdentifier);
    }
    logger().info(localized("log.apps.frameworks", {std::to_string(tauri.size()), std::to_string(electron.size())}));
    logger().info(localized("log.apps.scan_done", {std::to_string(found.size()), format(secondsSince(start), "%.3f")}));
    if (cache_ && !stop.stop_requested()) {
        cache_->saveInBackground(std::move(seenEntries), std::move(cached));
    }
    diagnostics.finishedAt = clock().now();
    std::scoped_lock lock(mutex_);
    applications_ = found;
    diagnostics_ = std::move(diagnostics);
    tauri_ = std::move(tauri);
    electron_ = std::move(electron);
    isLoading_ = false;
    return found;
}

std::vector<Application> ApplicationManager::applications() const {
    std::scoped_lock lock(mutex_);
    return applications_;
}

ApplicationUpdateCheckResult ApplicationManager::checkForUpdates(UpdateCheckCoordinator& coordinator,
                                                                 ApplicationUpdateCheckRequest request) {
    if (options_.appStore != nullptr && request.sources.isEnabled(AppRulePrimarySource::MacAppStore)) {
        std::vector<std::string> folders;
        for (const ScanRoot& root : scanRoots()) folders.push_back(root.path);
        try {
            mergeAppStoreApps(options_.appStore->refresh(folders, request.stop));
        } catch (const std::exception& error) {
            logger().warning(localized("log.apps.mas_failed", {error.what()}));
        }
    }
    request.applications = applications();
    ApplicationUpdateCheckResult result = checkApplicationsForUpdates(coordinator, std::move(request));
    if (!result.ran) return result;
    std::map<std::string, const Application*> checked;
    for (const Application& application : result.applications) checked[application.bundlePath] = &application;
    std::scoped_lock lock(mutex_);
    // A scan that replaced the list meanwhile keeps its records; only those still listed change.
    for (Application& application : applications_) {
        auto found = checked.find(application.bundlePath);
        if (found != checked.end() && found->second->version == application.version) application = *found->second;
    }
    return result;
}

namespace {

// The source that answers for an application: the one it was resolved to, else the one its
// mechanism belongs to, else one that recognises the bundle.
std::optional<AppRulePrimarySource> networkSourceOf(const Application& application, const ApplicationSources& sources,
                                                    const SourceSettings& enabled) {
    if (application.resolutionSource) return application.resolutionSource;
    if (auto source = SourceSettings::sourceOf(application.updateMechanism)) return source;
    if (sources.gitHub && enabled.isEnabled(AppRulePrimarySource::GitHub) && sources.gitHub->detect(application)) {
        return AppRulePrimarySource::GitHub;
    }
    return std::nullopt;
}

// The version the cask index gives for the cask a rule named.
std::optional<Application> caskCheck(const Application& application, const ApplicationSources& sources) {
    if (!sources.caskIndex || !application.homebrewCaskName) return std::nullopt;
    std::shared_ptr<const BrewAPIClient::CaskIndex> index = sources.caskIndex();
    if (!index) return std::nullopt;
    auto found = index->find(*application.homebrewCaskName);
    if (found == index->end() || found->second.version.empty() || found->second.version == "latest") return std::nullopt;
    Application result = application;
    // "1.2.3,4567": the part after the comma is the vendor's build, not the version shown.
    result.latestVersion = found->second.version.substr(0, found->second.version.find(','));
    return result;
}

// One source's check of an application whose source data a rule filled in.
std::optional<Application> checkRuleSource(const Application& application, AppRulePrimarySource source,
                                           const AppUpdateRule& rule, const ApplicationSources& sources,
                                           std::stop_token stop) {
    switch (source) {
        case AppRulePrimarySource::MacAppStore:
            return sources.appStore ? sources.appStore->checkApplication(application, stop) : std::nullopt;
        case AppRulePrimarySource::Sparkle: return SparkleManager::shared().check(application, stop, rule.sparkleFeedURL);
        case AppRulePrimarySource::HomebrewCask: return caskCheck(application, sources);
        case AppRulePrimarySource::GitHub: return sources.gitHub ? sources.gitHub->check(application, stop) : std::nullopt;
        case AppRulePrimarySource::Electron:
        case AppRulePrimarySource::GenericUpdater: return GenericUpdaterManager::shared().checkApplication(application, stop);
        case AppRulePrimarySource::DirectDownload:  // found by `vantreel download` when asked, not by a scan
        case AppRulePrimarySource::Manual: return std::nullopt;
    }
    return std::nullopt;
}

struct RuleAnswer {
    bool tried = false;  // false: none of the rule's sources is switched on and has its data
    std::optional<Application> application;
};

// The rule's sources in order, its primary one first: the first with a latest version
// answers. A source that fails hands over to the next; when none answers, the first failure
// is the check's (so that failures are still counted). A manual source answers with the
// record that says so.
RuleAnswer checkThroughRule(const Application& checked, const CatalogMatch& match, const ApplicationSources& sources,
                            const SourceSettings& enabled, std::stop_token stop) {
    std::vector<AppRulePrimarySource> order = {match.rule.primarySource};
    order.insert(order.end(), match.rule.fallbackSources.begin(), match.rule.fallbackSources.end());
    RuleAnswer answer;
    std::exception_ptr firstFailure;
    for (AppRulePrimarySource source : order) {
        if (source != AppRulePrimarySource::Manual && !enabled.isEnabled(source)) continue;
        Application application = checked;
        if (!AppRuleCatalogService::applySource(application, match, source)) continue;
        answer.tried = true;
        if (source == AppRulePrimarySource::Manual) {
            application.latestVersion.reset();
            answer.application = std::move(application);
            return answer;
        }
        try {
            std::optional<Application> found = checkRuleSource(application, source, match.rule, sources, stop);
            if (found && found->latestVersion) {
                answer.application = std::move(found);
                return answer;
            }
        } catch (const CancellationError&) {
            throw;
        } catch (const std::exception& error) {
            logger().warning(
                localized("log.apps.rule_source_failed", {std::string(rawValue(source)), checked.name, error.what()}));
            if (!firstFailure) firstFailure = std::current_exception();
        }
        if (stop.stop_requested()) break;
    }
    if (firstFailure) std::rethrow_exception(firstFailure);
    return answer;
}

}  // namespace

AppCheckOperation ApplicationManager::sourceChecks(ApplicationSources sources, SourceSettings enabled) {
    if (sources.gitHub) sources.gitHub->beginBatch();
    std::shared_ptr<const AppRuleCatalogService> catalog = AppRuleCatalogService::shared();
    return [sources = std::move(sources), enabled, catalog](const Application& checked,
                                                            std::stop_token stop) -> std::optional<Application> {
        // A rule of the catalog names the source of an application its bundle does not (and a
        // user's own rule overrides what the bundle says), with the sources to try after it.
        if (std::optional<CatalogMatch> rule = catalog->followedRule(checked)) {
            RuleAnswer answer = checkThroughRule(checked, *rule, sources, enabled, stop);
            if (answer.tried) return answer.application;
        }
        const Application& application = checked;
        std::optional<AppRulePrimarySource> source = networkSourceOf(application, sources, enabled);
        // The framework without a feed key: the feed may be in a helper, a resource or the preferences.
        if (!source && SparkleManager::hasFramework(application.bundlePath)) source = AppRulePrimarySource::Sparkle;
        // Electron, Tauri and vendor feeds: the bundle's own updater configuration, unless an
        // earlier answer already gave it a direct download of its own.
        const bool ownUpdater = !application.directDownloadConfig &&
                                (application.updateMechanism == UpdateMechanism::Unknown ||
                                 application.updateMechanism == UpdateMechanism::DirectDownload);
        if (ownUpdater && (!source || *source == AppRulePrimarySource::DirectDownload ||
                           ((*source == AppRulePrimarySource::Electron || *source == AppRulePrimarySource::GenericUpdater) &&
                            enabled.isEnabled(*source)))) {
            if (auto found = GenericUpdaterManager::shared().checkApplication(application, stop)) return found;
        }
        // An application no source recognises may still be in the App Store under its identifier.
        if (!source && application.updateMechanism == UpdateMechanism::Unknown && sources.appStore &&
            enabled.isEnabled(AppRulePrimarySource::MacAppStore)) {
            return sources.appStore->discoverOrphan(application, stop);
        }
        if (!source || !enabled.isEnabled(*source)) return std::nullopt;
        switch (*source) {
            case AppRulePrimarySource::GitHub:
                return sources.gitHub ? sources.gitHub->check(application, stop) : std::nullopt;
            case AppRulePrimarySource::Sparkle:
                return SparkleManager::shared().check(application, stop);
            case AppRulePrimarySource::MacAppStore:
                return sources.appStore ? sources.appStore->checkApplication(application, stop) : std::nullopt;
            default:
                return std::nullopt;
        }
    };
}

void ApplicationManager::mergeAppStoreApps(const std::vector<MacAppStoreApp>& storeApps) {
    std::scoped_lock lock(mutex_);
    // Indices, not pointers: adding a wrapped app may move every record.
    std::map<std::string, std::size_t> byPath;
    for (std::size_t i = 0; i < applications_.size(); ++i) byPath[applications_[i].bundlePath] = i;
    for (const MacAppStoreApp& store : storeApps) {
        if (store.bundlePath.empty() || store.id.empty()) continue;
        auto found = byPath.find(store.bundlePath);
        if (found != byPath.end()) {
            Application& application = applications_[found->second];
            if (!application.appStoreID) application.appStoreID = store.id;
            application.updateMechanism = UpdateMechanism::MacAppStore;
            continue;
        }
        if (!store.isIOSApp) continue;  // a Mac bundle the walk did not list is outside its roots
        Application application;
        application.id = store.bundlePath;
        application.name = store.name;
        application.bundlePath = store.bundlePath;
        application.version = store.currentVersion;
        application.bundleIdentifier = store.bundleIdentifier.value_or("");
        application.updateMechanism = UpdateMechanism::MacAppStore;
        application.appStoreID = store.id;
        application.resolutionSource = AppRulePrimarySource::MacAppStore;
        applications_.push_back(std::move(application));
        byPath[store.bundlePath] = applications_.size() - 1;
    }
}

bool ApplicationManager::refreshInstalledVersions(const std::vector<std::string>& bundlePaths) {
    std::map<std::string, BundleCandidate> installed;
    for (const std::string& path : bundlePaths) {
        if (std::optional<BundleCandidate> bundle = readBundle(path)) installed.emplace(path, std::move(*bundle));
    }
    std::scoped_lock lock(mutex_);
    bool changed = false;
    for (Application& application : applications_) {
        auto found = installed.find(application.bundlePath);
        if (found == installed.end()) continue;
        const BundleCandidate& bundle = found->second;
        if (application.version == bundle.version && application.buildNumber == bundle.buildNumber) continue;
        application.version = bundle.version;
        application.buildNumber = bundle.buildNumber;
        changed = true;
    }
    return changed;
}

void ApplicationManager::restoreApplications(std::vector<Application> applications,
                                             std::optional<ScanDiagnostics> diagnostics) {
    std::scoped_lock lock(mutex_);
    applications_ = std::move(applications);
    diagnostics_ = std::move(diagnostics);
}

std::optional<ScanDiagnostics> ApplicationManager::scanDiagnostics() const {
    std::scoped_lock lock(mutex_);
    return diagnostics_;
}

std::set<std::string> ApplicationManager::tauriBundleIdentifiers() const {
    std::scoped_lock lock(mutex_);
    return tauri_;
}

std::set<std::string> ApplicationManager::electronBundleIdentifiers() const {
    std::scoped_lock lock(mutex_);
    return electron_;
}

bool ApplicationManager::isLoading() const {
    std::scoped_lock lock(mutex_);
    return isLoading_;
}

void ApplicationManager::waitForPendingWrites() {
    if (cache_) cache_->waitForPendingWrite();
}

Clock& ApplicationManager::clock() const { return options_.clock != nullptr ? *options_.clock : Clock::shared(); }

}  // namespace vt
