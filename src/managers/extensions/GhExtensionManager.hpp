#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "managers/toolchains/ToolchainManager.hpp"

namespace vt {

// The adapter for GitHub CLI extensions. `gh extension list` names them (one line each:
// "gh NAME", the repository, the version: a release tag or a short commit); the extension's
// folder (gh's data folder, $XDG_DATA_HOME/gh or ~/.local/share/gh, "extensions/gh-NAME")
// tells its kind: a git clone, a released binary (its manifest.yml names the owner, the
// repository and the tag), or a link to a local folder. A clone is behind when its remote's
// default branch has commits it lacks (GitCheckout); a binary when the repository's latest
// GitHub release is newer than its tag. Pinned extensions (a ".pin-*" file in a clone, or
// "ispinned: true" in the manifest) and local ones are listed and never offered. The update
// is `gh extension upgrade NAME`, gh's only way (it cannot be told a version); the listing is
// read again and an extension that did not move is a failure. Thread-safe.
class GhExtensionManager final : public ToolchainManager {
public:
    static const SourceRow& source();

    static constexpr double kListTimeout = 30;
    static constexpr double kUpgradeTimeout = 600;

    enum class Kind { Git, Binary, Local };

    struct Extension {
        std::string name;        // "tool" (run as `gh tool`)
        std::string repository;  // "owner/gh-tool", empty for a local one
        std::string version;     // a tag or a short commit, as gh lists it
        Kind kind = Kind::Local;
        bool pinned = false;
        std::string folder;
        std::string owner, repositoryName;  // from a binary's manifest

        friend bool operator==(const Extension&, const Extension&) = default;
    };

    GhExtensionManager(CommandRunning& runner, const FileSystemManager& files);
    GhExtensionManager(CommandRunning& runner, const FileSystemManager& files, Options options);

    void update(const Package& package, std::stop_token stop) override;

    // `gh extension list`: "gh NAME<TAB>REPOSITORY<TAB>VERSION" lines; others are skipped.
    static std::vector<Extension> parseList(std::string_view text);
    // A binary extension's manifest.yml: "key: value" lines.
    static std::map<std::string, std::string> parseManifest(std::string_view text);
    // A name gh may be given: letters, digits, ".", "_", "-", not starting with "-".
    static bool isExtensionName(std::string_view name);

    std::string extensionsFolder() const;

private:
    std::vector<Package> readInstalled(std::stop_token stop, std::optional<std::string>& message) override;
    std::vector<Package> readOutdated(std::stop_token stop, std::optional<std::string>& message) override;
    std::vector<Extension> readExtensions(std::stop_token stop);
    void describeFolder(Extension& extension) const;
    bool hasExtensionFolders() const;
    static Package makePackage(const Extension& extension);
};

}  // namespace vt
