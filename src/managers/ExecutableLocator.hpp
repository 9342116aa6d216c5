#pragma once

#include <optional>
#include <stop_token>
#include <string>
#include <vector>

namespace vt {

class CommandRunning;
class FileSystemManager;

// Finds a tool's executable: first `/usr/bin/which NAME` (5 s, the runner's environment),
// then the candidate folders in order. With several names, the first name found wins.
class ExecutableLocator {
public:
    ExecutableLocator(CommandRunning& runner, const FileSystemManager& files);

    // `extraFolders` (each ending in "/") are tried after the shared ones.
    std::optional<std::string> locate(const std::vector<std::string>& names, std::stop_token stop = {},
                                      const std::vector<std::string>& extraFolders = {}) const;
    std::optional<std::string> locate(const std::string& name, std::stop_token stop = {},
                                      const std::vector<std::string>& extraFolders = {}) const;

    // "/opt/homebrew/bin/", "/usr/local/bin/", "/usr/bin/", "/bin/"; on Linux also the
    // Linux Homebrew prefix and ~/.local/bin/.
    static std::vector<std::string> candidateFolders();

private:
    CommandRunning& runner_;
    const FileSystemManager& files_;
};

}  // namespace vt
