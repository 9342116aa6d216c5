#pragma once

#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace vt {

class FileSystemManager;

// How a tool's executable was found, in the order the places are searched.
enum class ExecutableOrigin {
    SearchPath,       // on the user's PATH: what the user's shell runs
    InstallerFolder,  // where the tool's own installer puts it (~/.cargo/bin, ~/.bun/bin, ...)
    StandardFolder,   // a folder of the system or of Homebrew, whatever the PATH says
};
std::string_view toString(ExecutableOrigin origin);

// Finds a tool's executable as the user's shell would: first on the user's PATH, as
// `which NAME` answers, then the folders its installer uses, then the standard folders. The
// place comes first: every name is tried on the PATH before any folder is, so that a `pip`
// the user runs wins over a `pip3` of the system.
class ExecutableLocator {
public:
    explicit ExecutableLocator(const FileSystemManager& files);

    // `installerLocations` are folders (ending in "/") or full paths of the executable.
    std::optional<std::string> locate(const std::vector<std::string>& names, std::stop_token stop = {},
                                      const std::vector<std::string>& installerLocations = {}) const;
    std::optional<std::string> locate(const std::string& name, std::stop_token stop = {},
                                      const std::vector<std::string>& installerLocations = {}) const;

    // "/opt/homebrew/bin/", "/usr/local/bin/", "/usr/bin/", "/bin/"; on Linux also the
    // Linux Homebrew prefix and ~/.local/bin/.
    static std::vector<std::string> candidateFolders();
    // The absolute folders of our PATH, in order (a relative entry would depend on the
    // working folder of whoever started us).
    static std::vector<std::string> userSearchPath();
    // The same of any PATH text.
    static std::vector<std::string> searchFolders(std::string_view searchPath);
    // What `which` answers, without starting it (a shell script on Linux): the first of the
    // folders holding an executable regular file of that name.
    static std::optional<std::string> onSearchPath(std::string_view name, const std::vector<std::string>& folders,
                                                   const FileSystemManager& files, std::stop_token stop = {});
    // How locate() came to a path it returned.
    static ExecutableOrigin originOf(std::string_view path);

private:
    const FileSystemManager& files_;
};

}  // namespace vt
