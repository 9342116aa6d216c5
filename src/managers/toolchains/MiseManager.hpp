#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "managers/toolchains/ToolchainManager.hpp"

namespace vt {

// The adapter for mise's tools and mise itself. Listing reads `mise ls --json` (the active,
// else newest, installed version of each tool) and `mise --version`; outdated tools come
// from `mise outdated --json` (read past any warning printed before the JSON), mise itself
// against its latest GitHub release. Tools update with `mise upgrade NAME`; mise with its own
// `self-update`, or Homebrew when Homebrew installed it, then its version is read again.
// Thread-safe.
class MiseManager final : public ToolchainManager {
public:
    static const SourceRow& source();

    static constexpr const char* kSelf = "mise";
    static constexpr const char* kUserAgent = "Vantreel/3.5 (macOS)";
    static constexpr const char* kReleasePath = "/repos/jdx/mise/releases/latest";
    static constexpr double kListTimeout = 60;
    static constexpr double kOutdatedTimeout = 120;
    static constexpr double kUpgradeTimeout = 1800;

    struct Tool {
        std::string name;
        std::string version;
        std::optional<std::string> latest;  // outdated listings only
        std::optional<std::string> installPath;

        friend bool operator==(const Tool&, const Tool&) = default;
    };

    MiseManager(CommandRunning& runner, const FileSystemManager& files);
    MiseManager(CommandRunning& runner, const FileSystemManager& files, Options options);

    void update(const Package& package, std::stop_token stop) override;

    // Never throw; an output that is not the expected JSON gives no tool.
    static std::vector<Tool> parseList(std::string_view output);
    static std::vector<Tool> parseOutdated(std::string_view output);
    // "2025.1.0 linux-x64 (2025-01-01)" → "2025.1.0".
    static std::optional<std::string> parseSelfVersion(std::string_view output);

private:
    std::vector<Package> readInstalled(std::stop_token stop, std::optional<std::string>& message) override;
    std::vector<Package> readOutdated(std::stop_token stop, std::optional<std::string>& message) override;
    std::optional<std::string> selfVersion(std::stop_token stop) const;
    // mise's latest release; a refusal leaves `message` set.
    std::optional<std::string> latestRelease(std::stop_token stop, std::optional<std::string>& message);
    void updateSelf(const Package& package, std::stop_token stop);
};

}  // namespace vt
