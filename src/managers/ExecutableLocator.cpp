#include "managers/ExecutableLocator.hpp"

#include <algorithm>

#include "base/Cancellation.hpp"
#include "base/Paths.hpp"
#include "base/Platform.hpp"
#include "base/Strings.hpp"
#include "system/CommandRunning.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {

namespace {

constexpr double kWhichTimeout = 5.0;

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

ExecutableLocator::ExecutableLocator(CommandRunning& runner, const FileSystemManager& files)
    : runner_(runner), files_(files) {}

std::vector<std::string> ExecutableLocator::candidateFolders() {
    std::vector<std::string> folders = {"/opt/homebrew/bin/", "/usr/local/bin/", "/usr/bin/", "/bin/"};
    if (kBuiltForLinux) {
        folders.push_back("/home/linuxbrew/.linuxbrew/bin/");
        folders.push_back(paths::home() + "/.local/bin/");
    }
    return folders;
}

std::vector<std::string> ExecutableLocator::userSearchPath() {
    std::vector<std::string> folders;
    const std::string searchPath = paths::environmentValue("PATH").value_or("");
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

std::optional<std::string> ExecutableLocator::onSearchPath(const std::string& name, const std::string& searchPath,
                                                           std::stop_token stop) const {
    try {
        CommandRequest request{.command = "/usr/bin/which", .arguments = {name}, .timeout = kWhichTimeout};
        request.environment["PATH"] = searchPath;
        ShellCommandResult result = runner_.execute(request, stop);
        std::string path = trim(result.standardOutput);
        if (result.exitCode == 0 && startsWith(path, "/") && files_.isExecutableFile(path)) return path;
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception&) {
        // `which` found nothing, or is missing: the folders still may.
    }
    if (stop.stop_requested()) throw CancellationError();
    return std::nullopt;
}

std::optional<std::string> ExecutableLocator::locate(const std::vector<std::string>& names, std::stop_token stop,
                                                     const std::vector<std::string>& installerLocations) const {
    std::vector<std::string> valid;
    for (const std::string& name : names) {
        if (!name.empty() && name.find('/') == std::string::npos) valid.push_back(name);
    }
    if (valid.empty()) return std::nullopt;
    const std::string searchPath = join(userSearchPath(), ":");
    if (!searchPath.empty()) {
        for (const std::string& name : valid) {
            if (auto path = onSearchPath(name, searchPath, stop)) return path;
        }
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
