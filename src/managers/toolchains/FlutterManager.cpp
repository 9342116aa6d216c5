#include "managers/toolchains/FlutterManager.hpp"

#include <filesystem>

#include "base/Localization.hpp"
#include "base/Platform.hpp"
#include "base/Strings.hpp"
#include "managers/ToolOutput.hpp"
#include "model/VersionRules.hpp"
#include "system/Endpoints.hpp"
#include "system/FileSystemManager.hpp"
#include "system/NetworkClient.hpp"

namespace vt {

const SourceRow& FlutterManager::source() {
    static const SourceRow row{.id = "flutter", .name = "Flutter", .executables = {"flutter"},
                               .types = {PackageType::FlutterSDK}, .toggle = ManagerToggleKey::ShowFlutter,
                               .folders = {"~/flutter/bin/", "~/development/flutter/bin/", "~/fvm/default/bin/"},
                               .completionLine = "Flutter", .logTag = "flutter",
                               .make = makeAdapter<FlutterManager>};
    return row;
}

FlutterManager::FlutterManager(CommandRunning& runner, const FileSystemManager& files)
    : FlutterManager(runner, files, Options{}) {}

FlutterManager::FlutterManager(CommandRunning& runner, const FileSystemManager& files, Options options)
    : ToolchainManager(source(), runner, files, std::move(options),
                       {"PUB_CACHE", "FLUTTER_ROOT", "FLUTTER_STORAGE_BASE_URL", "PUB_HOSTED_URL"}, "FlutterManager") {
    // Not asking to send analytics or to print the welcome banner inside our JSON.
    options_.environment.try_emplace("FLUTTER_SUPPRESS_ANALYTICS", "true");
    options_.environment.try_emplace("CI", "true");
}

std::string FlutterManager::manifestPath() {
    return kBuiltForMac ? "/releases_macos.json" : "/releases_linux.json";
}

std::optional<std::string> FlutterManager::parseStableVersion(std::string_view manifest) {
    std::optional<Json> json = parseJson(manifest);
    if (!json || !json->is_object() || !json->contains("releases") || !(*json)["releases"].is_array()) {
        return std::nullopt;
    }
    std::optional<std::string> current;
    if (json->contains("current_release") && (*json)["current_release"].is_object()) {
        current = stringField((*json)["current_release"], "stable");
    }
    std::optional<std::string> newest;
    for (const Json& release : (*json)["releases"]) {
        if (!release.is_object() || stringField(release, "channel") != "stable") continue;
        std::optional<std::string> version = stringField(release, "version");
        if (!version || version->empty()) continue;
        if (current && stringField(release, "hash") == current) return version;
        // Entries are newest first, but not promised to be.
        if (!newest || isUpdateAvailable(*newest, *version, false)) newest = version;
    }
    return newest;
}

std::optional<std::string> FlutterManager::parseFrameworkVersion(std::string_view output) {
    std::optional<Json> json = jsonAfterBanner(output);
    if (!json || !json->is_object()) return std::nullopt;
    std::optional<std::string> version = stringField(*json, "frameworkVersion");
    if (!version || version->empty() || version->size() > 100) return std::nullopt;
    return version;
}

std::string FlutterManager::sdkRoot() const {
    std::error_code error;
    std::filesystem::path real = std::filesystem::canonical(binaryPath(), error);
    if (error) real = binaryPath();
    return real.parent_path().parent_path().string();
}

std::vector<Package> FlutterManager::readInstalled(std::stop_token stop, std::optional<std::string>& message) {
    const std::string root = sdkRoot();
    std::optional<std::string> version;
    std::optional<std::string> channel;
    for (const std::string& file : {root + "/bin/cache/flutter.version.json", root + "/flutter.version.json"}) {
        if (version || !files_.fileExists(file)) continue;
        try {
            const std::string text = files_.readFile(file);
            version = parseFrameworkVersion(text);
            if (std::optional<Json> json = parseJson(text); json && json->is_object()) channel = stringField(*json, "channel");
        } catch (const std::exception& error) {
            log().warning(localized("log.command_error", {file, error.what()}));
        }
    }
    if (!version) {
        ShellCommandResult result = tool({"--version", "--machine"}, kVersionTimeout, stop);
        version = parseFrameworkVersion(result.standardOutput);
        if (std::optional<Json> json = jsonAfterBanner(result.standardOutput); json && json->is_object()) {
            channel = stringField(*json, "channel");
        }
        if (!version) {
            message = localized("flutter.version_unknown", {excerpt(trim(result.standardError + result.standardOutput), 300)});
            return {};
        }
    }
    Package package;
    package.name = kName;
    package.version = *version;
    package.description = channel;
    package.type = PackageType::FlutterSDK;
    package.installLocationOverride = root;
    return {package};
}

std::vector<Package> FlutterManager::readOutdated(std::stop_token stop, std::optional<std::string>& message) {
    std::vector<Package> installed = packages();
    if (installed.empty()) return {};
    HttpRequest request;
    request.url = Endpoints::url(Service::Flutter, manifestPath());
    request.maxBodyBytes = kMaxManifestBytes;
    std::optional<std::string> latest;
    try {
        HttpResponse response = network().send(request, stop);
        if (response.isSuccess()) latest = parseStableVersion(response.body);
        if (!latest) message = localized("flutter.manifest_unreadable", {request.url});
    } catch (const NetworkError& error) {
        message = localized("flutter.manifest_unreadable", {request.url});
        log().warning(error.description());
    }
    std::vector<Package> outdated;
    for (Package package : installed) {
        // A beta or master SDK is not behind the stable release.
        if (!latest || (package.description && *package.description != "stable") ||
            !isUpdateAvailable(package.version, *latest, false)) {
            continue;
        }
        package.latestVersion = latest;
        outdated.push_back(std::move(package));
    }
    return outdated;
}

void FlutterManager::update(const Package&, std::stop_token stop) {
    requireTool(stop);
    if (std::optional<std::string> brew = owningBrew()) {
        runUpdate({"upgrade", "flutter"}, kUpgradeTimeout, stop, localized("flutter.update_failed"), *brew);
        return;
    }
    runUpdate({"upgrade"}, kUpgradeTimeout, stop, localized("flutter.update_failed"));
}

}  // namespace vt
