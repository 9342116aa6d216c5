#include "managers/ExecutableLocator.hpp"

#include "base/Platform.hpp"
#include "base/Cancellation.hpp"
#include "base/Paths.hpp"
#include "base/Strings.hpp"
#include "system/CommandRunning.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {

namespace {

constexpr double kWhichTimeout = 5.0;

}  // namespace

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

std::optional<std::string> ExecutableLocator::locate(const std::string& name, std::stop_token stop,
                                                     const std::vector<std::string>& extraFolders) const {
    if (name.empty() || name.find('/') != std::string::npos) return std::nullopt;
    try {
        CommandRequest request{.command = "/usr/bin/which", .arguments = {name}, .timeout = kWhichTimeout};
        ShellCommandResult result = runner_.execute(request, stop);
        std::string path = trim(result.standardOutput);
        if (result.exitCode == 0 && !path.empty() && files_.isExecutableFile(path)) return path;
    } catch (const CancellationError&) {
        throw;
    } catch (const std::exception&) {
        // `which` found nothing, or is missing: the folders below still may.
    }
    if (stop.stop_requested()) throw CancellationError();
    std::vector<std::string> folders = candidateFolders();
    folders.insert(folders.end(), extraFolders.begin(), extraFolders.end());
    for (const std::string& folder : folders) {
        std::string path = folder + name;
        if (files_.isExecutableFile(path)) return path;
    }
    return std::nullopt;
}

std::optional<std::string> ExecutableLocator::locate(const std::vector<std::string>& names, std::stop_token stop,
                                                     const std::vector<std::string>& extraFolders) const {
    for (const std::string& name : names) {
        if (auto path = locate(name, stop, extraFolders)) return path;
    }
    return std::nullopt;
}

}  // namespace vt
