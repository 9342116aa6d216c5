#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "managers/toolchains/ToolchainManager.hpp"

namespace vt {

// The adapter for TeX Live's packages. Listing reads `tlmgr info --only-installed --data
// name,localrev,cat-version` (revisions are the versions tlmgr compares); outdated packages
// come from the "update:" lines of `tlmgr update --list --self --all`. A broken repository is
// reset to the default one (`tlmgr option repository ctan`) and the listing tried once more.
// Updates (`tlmgr update --self NAME`, `--self --all` for all) need administrator rights and
// are verified with the update listing. Debian's own TeX Live refuses updates outside user
// mode: its packages are said to be the distribution's. Thread-safe.
class TlmgrManager final : public ToolchainManager {
public:
    static const SourceRow& source();

    static constexpr double kListTimeout = 180;
    static constexpr double kRepairTimeout = 60;
    static constexpr double kUpdateTimeout = 3600;

    struct TexPackage {
        std::string name;
        std::string version;  // "r65353"
        std::optional<std::string> latest;
        std::optional<std::string> catalogueVersion;

        friend bool operator==(const TexPackage&, const TexPackage&) = default;
    };

    TlmgrManager(CommandRunning& runner, const FileSystemManager& files);
    TlmgrManager(CommandRunning& runner, const FileSystemManager& files, Options options);

    void update(const Package& package, std::stop_token stop) override;
    bool canUpdateAll() const override { return true; }
    void updateAll(std::stop_token stop) override;

    // Never throw.
    static std::vector<TexPackage> parseInstalled(std::string_view output);
    static std::vector<TexPackage> parseUpdates(std::string_view output);
    // `name` stands in `text` as a word of its own: "foo" is not in "foo-bar" nor "libfoo".
    static bool mentions(std::string_view text, std::string_view name);
    static bool isRepositoryBroken(std::string_view output);
    static bool isDistributionRefusal(std::string_view output);

private:
    std::vector<Package> readInstalled(std::stop_token stop, std::optional<std::string>& message) override;
    std::vector<Package> readOutdated(std::stop_token stop, std::optional<std::string>& message) override;
    // The update listing, repaired once when the repository is broken; throws
    // ToolchainError::repairFailed when the repair did not help.
    ShellCommandResult updateListing(std::stop_token stop);
    void runPrivileged(const std::vector<std::string>& arguments, const std::string& label, std::stop_token stop);
    bool isDistributionCopy() const;

    std::atomic<bool> refusedByDistribution_{false};
};

}  // namespace vt
