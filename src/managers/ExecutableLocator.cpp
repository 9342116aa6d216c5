#include "managers/ExecutableLocator.hpp"

#include <algorithm>

#include "base/Cancellation.hpp"
#include "base/Paths.hpp"
#include "base/Platform.hpp"
#include "base/Strings.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {

namespace {

bool listed(const std::vector<std::string>& folders, std::string_view folder) {
    return std::find(folders.begin(), folders.end(), folder) != folders.end();
}

}  // namespace

std::string_view toString(ExecutableOrigin origin) {
    switch (origin) {
        case ExecutableOrigin::SearchPath: return "path";
        case ExecutableOrigin::InstallerFolder: return "installer";
        case ExecutableOrigin::StandardFolder: return "standard";
    }
    return "standard";
}

ExecutableLocator::ExecutableLocator(const FileSystemManager& files) : files_(files) {}

std::vector<std::string> ExecutableLocator::candidateFolders() {
    std::vector<std::string> folders = {"/opt/homebrew/bin/", "/usr/local/bin/", "/usr/bin/", "/bin/"};
    if (kBuiltForLinux) {
        folders.push_back("/home/linuxbrew/.linuxbrew/bin/");
        folders.push_back(paths::home() + "/.local/bin/");
    }
    return folders;
}

std::vector<std::string> ExecutableLocator::userSearchPath() {
    return searchFolders(paths::environmentValue("PATH").value_or(""));
}

std::vector<std::string> ExecutableLocator::searchFolders(std::string_view searchPath) {
    std::vector<std::string> folders;
    for (std::string_view folder : split(searchPath, ':')) {
        while (folder.size() > 1 && folder.back() == '/') folder.remove_suffix(1);
        if (startsWith(folder, "/") && !listed(folders, folder)) folders.emplace_back(folder);
    }
    return folders;
}

ExecutableOrigin ExecutableLocator::originOf(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return ExecutableOrigin::StandardFolder;
    std::string_view folder = path.substr(0, slash == 0 ? 1 : slash);
    if (listed(userSearchPath(), folder)) return ExecutableOrigin::SearchPath;
    if (listed(candidateFolders(), path.substr(0, slash + 1))) return ExecutableOrigin::StandardFolder;
    return ExecutableOrigin::InstallerFolder;
}

std::optional<std::string> ExecutableLocator::onSearchPath(std::string_view name, const std::vector<std::string>& folders,
                                                           const FileSystemManager& files, std::stop_token stop) {
    for (const std::string& folder : folders) {
        if (stop.stop_requested()) throw CancellationError();
        std::string candidate = folder == "/" ? std::string("/") : folder + "/";
        candidate.append(name);
        if (files.isExecutableFile(candidate)) return candidate;
    }
    return std::nullopt;
}

std::optional<std::string> ExecutableLocator::locate(const std::vector<std::string>& names, std::stop_token stop,
                                                     const std::vector<std::string>& installerLocations) const {
    std::vector<std::string> valid;
    for (const std::string& name : names) {
        if (!name.empty() && name.find('/') == std::string::npos) valid.push_back(name);
    }
    if (valid.empty()) return std::nullopt;
    const std::vector<std::string> searchPath = userSearchPath();
    for (const std::string& name : valid) {
        if (auto path = onSearchPath(name, searchPath, files_, stop)) return path;
    }
    auto firstIn = [&](const std::vector<std::string>& locations) -> std::optional<std::string> {
        for (const std::string& location : locations) {
            if (!endsWith(location, "/")) {
                if (files_.isExecutableFile(location)) return location;
                continue;
            }
            for (const std::string& name : valid) {
                if (files_.isExecutableFile(location + name)) return location + name;
            }
        }
        return std::nullopt;
    };
    if (auto path = firstIn(installerLocations)) return path;
    return firstIn(candidateFolders());
}

std::optional<std::string> ExecutableLocator::locate(const std::string& name, std::stop_token stop,
                                                     const std::vector<std::string>& installerLocations) const {
    return locate(std::vector<std::string>{name}, stop, installerLocations);
}

}  // namespace vt
