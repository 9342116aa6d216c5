#include "managers/sdks/AndroidSdkManager.hpp"

#include <algorithm>

#include "base/Cancellation.hpp"
#include "base/Localization.hpp"
#include "base/Platform.hpp"
#include "base/Strings.hpp"
#include "managers/ToolOutput.hpp"
#include "managers/sdks/SdkError.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {

const SourceRow& AndroidSdkManager::source() {
    static const SourceRow row{.id = "android-sdk", .name = "Android SDK", .executables = {"sdkmanager"},
                               .types = {PackageType::AndroidSDKPackage}, .toggle = ManagerToggleKey::ShowAndroidSDK,
                               .completionLine = "Android SDK", .logTag = "android-sdk",
                               .make = makeAdapter<AndroidSdkManager>};
    return row;
}

AndroidSdkManager::AndroidSdkManager(CommandRunning& runner, const FileSystemManager& files)
    : AndroidSdkManager(runner, files, Options{}) {}

AndroidSdkManager::AndroidSdkManager(CommandRunning& runner, const FileSystemManager& files, Options options)
    : ToolchainManager(source(), runner, files, std::move(options),
                       {"ANDROID_HOME", "ANDROID_SDK_ROOT", "JAVA_HOME", "ANDROID_USER_HOME"}, "AndroidSdkManager") {}

bool AndroidSdkManager::isPackagePath(std::string_view path) {
    if (path.empty() || path.size() > 200 || path.front() == '-' || path.front() == ';') return false;
    return std::all_of(path.begin(), path.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
               c == '-' || c == ';';
    });
}

std::vector<AndroidSdkManager::Row> AndroidSdkManager::parseSection(std::string_view text, std::string_view heading) {
    std::vector<Row> rows;
    bool inSection = false;
    bool pastRule = false;
    for (std::string_view raw : splitLines(text)) {
        std::string_view line = trimView(raw);
        if (!inSection) {
            inSection = line == heading;
            continue;
        }
        // Another section ("Available Packages:") ends this one; so does a blank line after rows.
        if (!line.empty() && line.back() == ':' && line.find('|') == std::string_view::npos) break;
        if (line.empty()) {
            if (pastRule) break;
            continue;
        }
        if (line.starts_with("---") || line.starts_with("-------")) {
            pastRule = true;
            continue;
        }
        if (!pastRule) continue;  // the column titles
        std::vector<std::string_view> cells = split(line, '|');
        if (cells.size() < 2) continue;
        Row row;
        row.path = trim(cells[0]);
        if (!isPackagePath(row.path)) continue;
        row.version = trim(cells[1]);
        if (cells.size() > 2) row.description = trim(cells[2]);
        if (heading == "Available Updates:" && cells.size() > 2) {
            row.available = trim(cells[2]);
            row.description.clear();
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

std::string AndroidSdkManager::sdkRoot() const {
    const std::map<std::string, std::string> variables = environment();
    for (const char* name : {"ANDROID_HOME", "ANDROID_SDK_ROOT"}) {
        if (auto found = variables.find(name); found != variables.end() && !trim(found->second).empty()) {
            return trim(found->second);
        }
    }
    return home() + (kBuiltForMac ? "/Library/Android/sdk" : "/Android/Sdk");
}

std::optional<std::string> AndroidSdkManager::locateExecutable(std::stop_token stop) {
    const std::string root = sdkRoot();
    for (const char* relative : {"/cmdline-tools/latest/bin/sdkmanager", "/tools/bin/sdkmanager"}) {
        if (files_.isExecutableFile(root + relative)) return root + relative;
    }
    return ToolchainManager::locateExecutable(stop);
}

std::vector<AndroidSdkManager::Row> AndroidSdkManager::readRows(const std::vector<std::string>& arguments,
                                                                std::string_view heading, std::stop_token stop,
                                                                std::optional<std::string>& message) {
    std::vector<std::string> full = arguments;
    full.push_back("--sdk_root=" + sdkRoot());
    try {
        ShellCommandResult result = tool(full, kListTimeout, stop);
        if (result.exitCode != 0) {
            message = localized("sdk.scan_error", {identity().name, firstLine(result.standardError.empty()
                                                                                  ? result.standardOutput
                                                                                  : result.standardError)});
            return {};
        }
        return parseSection(result.standardOutput, heading);
    } catch (const CommandError& error) {
        if (stop.stop_requested()) throw CancellationError();
        message = localized("sdk.scan_error", {identity().name, error.description()});
        return {};
    }
}

Package AndroidSdkManager::makePackage(const Row& row) {
    Package package;
    package.name = row.path;
    package.version = row.version;
    package.type = PackageType::AndroidSDKPackage;
    if (!row.description.empty()) package.description = row.description;
    return package;
}

std::vector<Package> AndroidSdkManager::readInstalled(std::stop_token stop, std::optional<std::string>& message) {
    std::vector<Package> packages;
    for (const Row& row : readRows({"--list_installed"}, "Installed packages:", stop, message)) {
        packages.push_back(makePackage(row));
    }
    return packages;
}

std::vector<Package> AndroidSdkManager::readOutdated(std::stop_token stop, std::optional<std::string>& message) {
    std::vector<Package> outdated;
    for (const Row& row : readRows({"--list"}, "Available Updates:", stop, message)) {
        if (row.available.empty()) continue;
        Package package = makePackage(row);
        package.latestVersion = row.available;
        outdated.push_back(std::move(package));
    }
    return overListing(std::move(outdated));
}

void AndroidSdkManager::update(const Package& package, std::stop_token stop) {
    if (!isPackagePath(package.name)) throw SdkError::invalidPackage(identity().name, package.name);
    if (!discover(stop)) throw SdkError::notInstalled("sdkmanager");
    runUpdate({"--install", package.name, "--sdk_root=" + sdkRoot()}, kInstallTimeout, stop,
              [](const std::string& output) { throw SdkError::commandFailed("sdkmanager", output); });
    std::optional<std::string> message;
    std::vector<Row> rows = readRows({"--list_installed"}, "Installed packages:", stop, message);
    auto found = std::find_if(rows.begin(), rows.end(), [&](const Row& row) { return row.path == package.name; });
    if (found != rows.end() && found->version == package.version && package.latestVersion &&
        *package.latestVersion != package.version) {
        throw SdkError::versionUnchanged(package.name, found->version);
    }
    std::vector<Package> packages;
    for (const Row& row : rows) packages.push_back(makePackage(row));
    if (!message) publishPackages(std::move(packages));
}

}  // namespace vt
