#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "managers/toolchains/ToolchainManager.hpp"

namespace vt {

// The adapter for MacPorts. Listing reads `port installed` (the active version of each port)
// and `port version` (MacPorts itself); outdated ports come from `port outdated`. Updates run
// `port -N upgrade NAME` (MacPorts itself: `port -N selfupdate`) with administrator rights,
// as MacPorts' tree belongs to root. Thread-safe.
class MacPortsManager final : public ToolchainManager {
public:
    static const SourceRow& source();

    static constexpr const char* kSelf = "MacPorts";
    static constexpr double kListTimeout = 120;
    static constexpr double kUpgradeTimeout = 3600;

    struct Port {
        std::string name;
        std::string version;  // "8.5.0_0", variants left out
        std::optional<std::string> latest;
        bool active = false;

        friend bool operator==(const Port&, const Port&) = default;
    };

    MacPortsManager(CommandRunning& runner, const FileSystemManager& files);
    MacPortsManager(CommandRunning& runner, const FileSystemManager& files, Options options);

    void update(const Package& package, std::stop_token stop) override;

    // Never throw.
    static std::vector<Port> parseInstalled(std::string_view output);
    static std::vector<Port> parseOutdated(std::string_view output);
    // "Version: 2.9.3" → "2.9.3".
    static std::optional<std::string> parseVersion(std::string_view output);

private:
    std::vector<Package> readInstalled(std::stop_token stop, std::optional<std::string>& message) override;
    std::vector<Package> readOutdated(std::stop_token stop, std::optional<std::string>& message) override;
};

}  // namespace vt
