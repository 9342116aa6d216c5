#include "sources/appstore/MacAppStoreManager.hpp"

#include <algorithm>
#include <dirent.h>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <unistd.h>

#include "base/Cancellation.hpp"
#include "base/Files.hpp"
#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "base/Regex.hpp"
#include "base/Strings.hpp"
#include "model/VersionRules.hpp"
#include "sources/inventory/AppBundleReader.hpp"
#include "sources/inventory/PropertyList.hpp"
#include "system/BrewAPIClient.hpp"
#include "system/CommandRunning.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger instance("MacAppStore");
    return instance;
}

const Regex& identifierPattern() {
    static const Regex pattern(R"(\d{6,})");
    return pattern;
}

const Regex& versionPattern() {
    static const Regex pattern(R"(\b\d+\.\d+(?:\.\d+)*\b)");
    return pattern;
}

bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

std::optional<std::string> plistText(const PropertyList::Node& root, const char* key) {
    std::optional<PropertyList::Node> node = root.member(key);
    if (!node) return std::nullopt;
    if (std::optional<std::string> text = node->text()) return sanitizeUtf8(*text);
    if (std::optional<unsigned long long> number = node->integer()) return std::to_string(*number);
    return std::nullopt;
}

std::optional<PropertyList> readPlist(const std::string& path) {
    std::optional<std::string> bytes = readFile(path);
    if (!bytes || bytes->size() > kMaximumInfoPlistBytes) return std::nullopt;
    return PropertyList::parse(*bytes);
}

// The line after its item identifier: "Things 3 (3.8)" or "Xcode (15.0 -> 15.1)". The
// versions are those of the last parenthesis, so a name holding a number ("Pixelmator Pro 2.0")
// is not read as one; without a parenthesis, the last versions of the line.
std::optional<MasListEntry> parseLine(std::string_view line, bool outdated) {
    std::optional<Regex::Match> id = identifierPattern().search(line);
    if (!id) return std::nullopt;
    std::string_view rest = line.substr(id->offset + id->length);
    std::size_t open = rest.rfind('(');
    std::size_t from = open == std::string_view::npos ? 0 : open;
    std::vector<Regex::Match> versions = versionPattern().findAll(rest.substr(from));
    if (versions.empty() || (outdated && versions.size() < 2)) return std::nullopt;
    const Regex::Match& installed = versions[outdated ? versions.size() - 2 : versions.size() - 1];
    MasListEntry entry;
    entry.id = std::string(line.substr(id->offset, id->length));
    entry.name = trim(rest.substr(0, open == std::string_view::npos ? from + installed.offset : open));
    entry.version = std::string(rest.substr(from + installed.offset, installed.length));
    if (outdated) entry.newVersion = std::string(rest.substr(from + versions.back().offset, versions.back().length));
    return entry;
}

}  // namespace

std::vector<MasListEntry> parseMasList(std::string_view output) {
    std::vector<MasListEntry> entries;
    for (std::string_view line : splitLines(output)) {
        if (std::optional<MasListEntry> entry = parseLine(line, false)) entries.push_back(std::move(*entry));
    }
    return entries;
}

std::vector<MasListEntry> parseMasOutdated(std::string_view output) {
    std::vector<MasListEntry> entries;
    for (std::string_view line : splitLines(output)) {
        if (std::optional<MasListEntry> entry = parseLine(line, true)) entries.push_back(std::move(*entry));
    }
    return entries;
}

bool hasIOSInfoPlistKeys(std::string_view infoPlistBytes) {
    std::optional<PropertyList> plist = PropertyList::parse(infoPlistBytes);
    if (!plist) return false;
    PropertyList::Node root = plist->root();
    for (const char* key : {"LSRequiresIPhoneOS", "UIDeviceFamily", "UIApplicationSceneManifest", "UILaunchStoryboardName",
                            "UILaunchScreen", "UISupportedInterfaceOrientations",
                            "UIApplicationSupportsIndirectInputEvents"}) {
        if (root.member(key)) return true;
    }
    std::optional<std::string> platform = plistText(root, "DTPlatformName");
    return platform && *platform != "macosx";
}

std::optional<MacAppStoreApp> readWrappedIOSApp(const std::string& bundlePath) {
    std::optional<PropertyList> metadata;
    for (const char* place : {"/Wrapper/iTunesMetadata.plist", "/Contents/Wrapper/iTunesMetadata.plist",
                              "/iTunesMetadata.plist", "/Contents/iTunesMetadata.plist"}) {
        if ((metadata = readPlist(bundlePath + place))) break;
    }
    if (!metadata) return std::nullopt;
    PropertyList::Node root = metadata->root();
    std::optional<std::string> itemId = plistText(root, "itemId");
    if (!itemId || !identifierPattern().fullyMatches(*itemId)) return std::nullopt;
    MacAppStoreApp app;
    app.id = *itemId;
    app.isIOSApp = true;
    app.bundlePath = bundlePath;
    app.name = plistText(root, "itemName").value_or("");
    app.bundleIdentifier = plistText(root, "softwareVersionBundleId");
    std::optional<std::string> version = plistText(root, "CFBundleShortVersionString");
    if (!version) version = plistText(root, "CFBundleVersion");
    if (!version || app.name.empty() || !app.bundleIdentifier) {
        if (std::optional<PropertyList> inner = readPlist(bundlePath + "/WrappedBundle/Info.plist")) {
            PropertyList::Node info = inner->root();
            if (!version) version = plistText(info, "CFBundleShortVersionString");
            if (!version) version = plistText(info, "CFBundleVersion");
            if (app.name.empty()) app.name = plistText(info, "CFBundleDisplayName").value_or("");
            if (!app.bundleIdentifier) app.bundleIdentifier = plistText(info, "CFBundleIdentifier");
        }
    }
    if (app.name.empty()) app.name = std::string(lastPathComponent(bundlePath));
    app.currentVersion = version.value_or("");
    return app;
}

bool isInstalledFromAppStore(const std::string& bundlePath) {
    std::error_code error;
    return std::filesystem::exists(bundlePath + "/Contents/_MASReceipt/receipt", error) ||
           readWrappedIOSApp(bundlePath).has_value();
}

MacAppStoreManager::MacAppStoreManager(Options options) : options_(std::move(options)) {}

MacAppStoreManager::CaskFallback MacAppStoreManager::caskFallbackFrom(BrewAPIClient& client) {
    auto tried = std::make_shared<std::once_flag>();
    return [&client, tried](const std::string& bundleId, const std::string& name) -> std::optional<std::string> {
        std::call_once(*tried, [&client] {
            if (client.caskIndex()) return;
            try {
                client.refreshCaskIndex();
            } catch (const std::exception& error) {
                logger().warning(localized("log.mas.cask_index_unavailable", {error.what()}));
            }
        });
        std::shared_ptr<const BrewAPIClient::CaskIndex> index = client.caskIndex();
        if (!index) return std::nullopt;
        std::string byName;
        for (char c : toLower(trim(name))) byName += isBlank(c) ? '-' : c;
        std::string byIdentifier = toLower(bundleId.substr(bundleId.rfind('.') + 1));
        for (const std::string& token : {byName, byIdentifier}) {
            auto found = index->find(token);
            if (!token.empty() && found != index->end() && isUsableStoreVersion(found->second.version)) {
                return found->second.version;
            }
        }
        return std::nullopt;
    };
}

std::vector<std::string> MacAppStoreManager::bundlesIn(const std::vector<std::string>& folders) {
    std::vector<std::string> bundles;
    for (const std::string& folder : folders) {
        DIR* dir = ::opendir(folder.c_str());
        if (dir == nullptr) continue;
        while (dirent* entry = ::readdir(dir)) {
            std::string name = entry->d_name;
            if (endsWith(name, ".app")) bundles.push_back(folder + "/" + name);
        }
        ::closedir(dir);
    }
    std::sort(bundles.begin(), bundles.end());
    return bundles;
}

std::optional<std::string> MacAppStoreManager::spotlightIdentifier(const std::string& bundlePath,
                                                                   std::stop_token stop) const {
    if (options_.runner == nullptr || ::access(options_.spotlightAttributesTool.c_str(), X_OK) != 0) {
        return std::nullopt;
    }
    try {
        CommandRequest request;
        request.command = options_.spotlightAttributesTool;
        request.arguments = {"-name", "kMDItemExternalIdentifier", "-raw", bundlePath};
        request.timeout = 5;
        std::string text = trim(options_.runner->execute(request, stop).standardOutput);
        if (identifierPattern().fullyMatches(text)) return text;
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception& error) {
        logger().warning(localized("log.mas.spotlight_id_unreadable", {bundlePath, error.what()}));
    }
    return std::nullopt;
}

std::vector<MacAppStoreApp> MacAppStoreManager::refresh(const std::vector<std::string>& folders, std::stop_token stop) {
    {
        std::scoped_lock lock(mutex_);
        isLoading_ = true;
    }
    MasCliManager& mas = *options_.mas;
    DirectMacAppStoreChecker& checker = *options_.checker;
    const bool masAvailable = mas.isInstalled();

    // 1. Sign-in probe.
    bool signedIn = true;
    if (masAvailable) {
        try {
            ShellCommandResult probe = mas.run({"account"}, stop, 15.0);
            std::string answer = trim(probe.standardOutput + probe.standardError);
            signedIn = !MasCliManager::reportsMissingAccount(answer);
            if (probe.exitCode != 0 && signedIn) {
                // Recent systems refuse the command itself: that says nothing about the account.
                logger().info(localized("log.mas.signin_assumed", {excerpt(answer, 120)}));
            } else {
                logger().info(localized("log.mas.signin_probe", {excerpt(answer, 120)}));
            }
        } catch (const CancellationError&) {
            throw;
        } catch (const std::exception& error) {
            logger().info(localized("log.mas.signin_assumed", {error.what()}));
        }
    }

    // 2. What `mas list` names.
    std::vector<MacAppStoreApp> apps;
    std::map<std::string, std::size_t> byId;
    if (masAvailable) {
        try {
            ShellCommandResult listed = mas.run({"list"}, stop);
            for (MasListEntry& entry : parseMasList(listed.standardOutput)) {
                if (byId.count(entry.id)) continue;
                byId[entry.id] = apps.size();
                apps.push_back(MacAppStoreApp{.id = entry.id, .name = entry.name, .currentVersion = entry.version});
            }
        } catch (const CancellationError&) {
            throw;
        } catch (const std::exception& error) {
            logger().warning(localized("log.command_failed", {"mas list", error.what()}));
        }
    }
    const std::set<std::string> masListed = [&] {
        std::set<std::string> ids;
        for (const auto& entry : byId) ids.insert(entry.first);
        return ids;
    }();

    // 3 and 4. Receipts and wrapped iPhone/iPad apps on disk.
    long long additional = 0, wrapped = 0;
    std::vector<std::size_t> toResolve;
    for (const std::string& bundle : bundlesIn(folders)) {
        if (stop.stop_requested()) break;
        if (std::optional<MacAppStoreApp> app = readWrappedIOSApp(bundle)) {
            ++wrapped;
            logger().info(localized("log.mas.wrapped_ios", {app->name, app->id, app->currentVersion}));
            if (auto known = byId.find(app->id); known != byId.end()) {
                MacAppStoreApp& listed = apps[known->second];
                listed.isIOSApp = true;
                listed.bundlePath = app->bundlePath;
                listed.bundleIdentifier = app->bundleIdentifier;
            } else {
                byId[app->id] = apps.size();
                apps.push_back(std::move(*app));
            }
            continue;
        }
        if (!exists(bundle + "/Contents/_MASReceipt/receipt")) continue;
        std::optional<BundleCandidate> candidate = readBundle(bundle);
        if (!candidate) continue;
        bool isIOS = false;
        if (std::optional<std::string> bytes = readFile(bundle + "/Contents/Info.plist")) {
            isIOS = hasIOSInfoPlistKeys(*bytes);
        }
        std::optional<std::string> id = spotlightIdentifier(bundle, stop);
        auto listed = apps.end();
        if (id) {
            if (auto known = byId.find(*id); known != byId.end()) listed = apps.begin() + static_cast<long>(known->second);
        } else {
            listed = std::find_if(apps.begin(), apps.end(), [&](const MacAppStoreApp& app) {
                return app.bundlePath.empty() && equalsIgnoringCase(app.name, candidate->name);
            });
        }
        if (listed != apps.end()) {
            listed->bundlePath = bundle;
            listed->bundleIdentifier = candidate->bundleIdentifier;
            listed->isIOSApp = listed->isIOSApp || isIOS;
            continue;
        }
        ++additional;
        MacAppStoreApp app{.id = id.value_or(""),
                           .name = candidate->name,
                           .bundleIdentifier = candidate->bundleIdentifier,
                           .needsAppStoreIDLookup = !id,
                           .currentVersion = candidate->version,
                           .isIOSApp = isIOS,
                           .bundlePath = bundle};
        if (id) byId[*id] = apps.size();
        else toResolve.push_back(apps.size());
        apps.push_back(std::move(app));
    }
    if (additional > 0) logger().info(localized("log.mas.receipts_found", {std::to_string(additional)}));
    if (wrapped > 0) logger().info(localized("log.mas.wrapped_count", {std::to_string(wrapped)}));
    if (!toResolve.empty()) {
        logger().info(localized("log.mas.resolving", {std::to_string(toResolve.size())}));
        for (std::size_t index : toResolve) {
            MacAppStoreApp& app = apps[index];
            std::string bundleId = app.bundleIdentifier.value_or("");
            std::optional<std::string> id = bundleId.empty() ? std::nullopt
                                                             : checker.resolveItemIdentifier(bundleId, app.name, stop);
            if (id) {
                logger().info(localized("log.mas.resolved", {app.name, bundleId, *id}));
                app.id = *id;
                app.needsAppStoreIDLookup = false;
            } else {
                logger().info(localized("log.mas.unresolved", {app.name, bundleId}));
            }
        }
    }

    // 5. `mas outdated`: only real updates count.
    bool outdatedSucceeded = false;
    if (masAvailable && !stop.stop_requested()) {
        try {
            ShellCommandResult outdated = mas.run({"outdated"}, stop);
            if (outdated.exitCode != 0) {
                logger().warning(localized("log.mas.outdated_exit", {std::to_string(outdated.exitCode),
                                                                     excerpt(trim(outdated.standardError), 200)}));
            } else {
                outdatedSucceeded = true;
                long long real = 0;
                for (const MasListEntry& entry : parseMasOutdated(outdated.standardOutput)) {
                    auto known = byId.find(entry.id);
                    if (known == byId.end() || compareVersions(entry.version, *entry.newVersion) != VersionOrder::Ascending) {
                        continue;
                    }
                    apps[known->second].latestVersion = entry.newVersion;
                    ++real;
                }
                logger().info(localized("log.mas.outdated_found", {std::to_string(real)}));
            }
        } catch (const CancellationError&) {
            throw;
        } catch (const std::exception& error) {
            logger().warning(localized("log.command_failed", {"mas outdated", error.what()}));
        }
    }

    // 6. The iTunes API for what `mas outdated` did not cover.
    std::vector<DirectMacAppStoreChecker::Item> items;
    long long macCount = 0, iosCount = 0;
    for (MacAppStoreApp& app : apps) {
        if (app.needsAppStoreIDLookup || app.id.empty()) continue;
        if (!app.isIOSApp && outdatedSucceeded && masListed.count(app.id)) {
            // Covered by `mas outdated`: what it did not list is current.
            if (!app.latestVersion) app.latestVersion = app.currentVersion;
            continue;
        }
        items.push_back({app.id, app.currentVersion, app.isIOSApp});
        (app.isIOSApp ? iosCount : macCount) += 1;
    }
    if (outdatedSucceeded) logger().info(localized("log.mas.itunes_pass_skipped"));
    logger().info(localized("log.mas.itunes_pass",
                            {std::to_string(macCount), std::to_string(iosCount), std::to_string(masListed.size())}));
    if (!items.empty() && !stop.stop_requested()) {
        std::map<std::string, DirectMacAppStoreChecker::Result> found = checker.latestVersions(items, stop);
        long long more = 0;
        for (MacAppStoreApp& app : apps) {
            auto result = found.find(app.id);
            if (result == found.end() || !result->second.version) continue;
            const std::string& latest = *result->second.version;
            if (isUpdateAvailable(app.currentVersion, latest, false)) {
                ++more;
                if (app.isIOSApp)
                    logger().info(localized("log.mas.ios_update", {app.name, app.currentVersion, latest}));
                else
                    logger().info(localized("log.mas.lookup_update", {app.name, app.name, app.currentVersion, latest}));
            }
            app.latestVersion = latest;
        }
        logger().info(localized("log.mas.itunes_more", {std::to_string(more)}));
    }

    // 7. The rest by bundle identifier, then the cask index.
    for (MacAppStoreApp& app : apps) {
        if (app.latestVersion || !app.bundleIdentifier || stop.stop_requested()) continue;
        const std::string& bundleId = *app.bundleIdentifier;
        try {
            if (!app.isIOSApp) {
                if (std::optional<ITunesApp> found = checker.lookupBundleIdentifier(bundleId, stop);
                    found && isUsableStoreVersion(found->version)) {
                    logger().info(localized("log.mas.disk_itunes", {app.name, app.currentVersion, found->version}));
                    app.latestVersion = found->version;
                    if (app.id.empty()) app.id = std::to_string(found->trackId);
                    continue;
                }
            }
        } catch (const CancellationError&) {
            throw;
        } catch (const std::exception& error) {
            logger().warning(localized("log.mas.disk_itunes_failed", {bundleId, error.what()}));
        }
        if (options_.caskFallback) {
            if (std::optional<std::string> version = options_.caskFallback(bundleId, app.name)) {
                logger().info(localized("log.mas.disk_cask", {app.name, app.currentVersion, *version}));
                app.latestVersion = std::move(version);
            }
        }
    }

    std::scoped_lock lock(mutex_);
    apps_ = apps;
    isAppStoreSignedIn_ = signedIn;
    isLoading_ = false;
    return apps;
}

std::vector<MacAppStoreApp> MacAppStoreManager::apps() const {
    std::scoped_lock lock(mutex_);
    return apps_;
}

bool MacAppStoreManager::isAppStoreSignedIn() const {
    std::scoped_lock lock(mutex_);
    return isAppStoreSignedIn_;
}

bool MacAppStoreManager::isLoading() const {
    std::scoped_lock lock(mutex_);
    return isLoading_;
}

std::optional<Application> MacAppStoreManager::checkApplication(const Application& application, std::stop_token stop) {
    DirectMacAppStoreChecker& checker = *options_.checker;
    Application result = application;
    if (!result.appStoreID && !application.bundleIdentifier.empty()) {
        result.appStoreID = checker.resolveItemIdentifier(application.bundleIdentifier, application.name, stop);
    }
    if (!result.appStoreID) return std::nullopt;
    const std::string id = *result.appStoreID;
    bool isIOS = false;
    {
        std::scoped_lock lock(mutex_);
        for (const MacAppStoreApp& app : apps_) isIOS = isIOS || (app.id == id && app.isIOSApp);
    }
    auto found = checker.latestVersions({{id, application.version, isIOS}}, stop);
    const DirectMacAppStoreChecker::Result& lookup = found[id];
    if (!lookup.version) throw std::runtime_error(lookup.error.value_or("no App Store version for ID " + id));
    result.latestVersion = lookup.version;
    result.updateMechanism = UpdateMechanism::MacAppStore;
    result.updateStrategy = UpdateStrategy::MacAppStore;
    result.updateCapability = UpdateCapability{true, false, std::nullopt};
    if (!result.resolutionSource) result.resolutionSource = AppRulePrimarySource::MacAppStore;
    return result;
}

std::optional<Application> MacAppStoreManager::discoverOrphan(const Application& application, std::stop_token stop) {
    if (application.bundleIdentifier.empty() || isPlaceholderVersion(application.version)) return std::nullopt;
    std::optional<ITunesApp> found;
    try {
        for (ITunesApp& app : options_.checker->bundleIdentifierResults(application.bundleIdentifier, stop)) {
            if (app.kind != std::optional<std::string>("mac-software")) continue;
            found = std::move(app);
            break;
        }
    } catch (const ITunesResponseError& error) {
        logger().debug(localized("log.mas.orphan_error", {application.bundleIdentifier, error.what()}));
        return std::nullopt;
    }
    if (!found) return std::nullopt;
    if (found->bundleId != application.bundleIdentifier) {
        logger().info(
            localized("log.mas.orphan_rejected", {application.name, found->bundleId, application.bundleIdentifier}));
        return std::nullopt;
    }
    if (!isUsableStoreVersion(found->version)) return std::nullopt;
    logger().info(
        localized("log.mas.orphan_found", {application.name, std::to_string(found->trackId), found->version}));
    Application result = application;
    result.appStoreID = std::to_string(found->trackId);
    result.latestVersion = trim(found->version);
    result.updateMechanism = UpdateMechanism::MacAppStore;
    result.updateStrategy = UpdateStrategy::MacAppStore;
    result.updateCapability = UpdateCapability{true, false, std::nullopt};
    result.resolutionSource = AppRulePrimarySource::MacAppStore;
    result.resolutionReason = "iTunes lookup by bundle ID (orphan discovery)";
    result.detectionConfidence = DetectionConfidence::BestEffort;
    return result;
}

}  // namespace vt
