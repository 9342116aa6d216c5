#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "managers/toolchains/ToolchainManager.hpp"

namespace vt {

// The adapter for the packages of the user's Nix profile. Listing reads `nix-env -q --json`,
// or the plain `nix-env -q` names when the JSON form is refused; outdated packages come from
// the "upgrading 'OLD' to 'NEW'" lines of `nix-env -u --dry-run`. One package updates with
// `nix-env -u NAME` (its name without the version), all of them with `nix-env -u`.
// Thread-safe.
class NixManager final : public ToolchainManager {
public:
    static const SourceRow& source();

    static constexpr double kQueryTimeout = 120;
    static constexpr double kDryRunTimeout = 300;  // evaluates the whole channel
    static constexpr double kUpgradeTimeout = 3600;

    struct Derivation {
        std::string name;     // "hello"
        std::string version;  // "2.12.1"; "" when the name carries none

        friend bool operator==(const Derivation&, const Derivation&) = default;
    };
    struct Upgrade {
        Derivation from;
        Derivation to;

        friend bool operator==(const Upgrade&, const Upgrade&) = default;
    };

    NixManager(CommandRunning& runner, const FileSystemManager& files);
    NixManager(CommandRunning& runner, const FileSystemManager& files, Options options);

    void update(const Package& package, std::stop_token stop) override;
    bool canUpdateAll() const override { return true; }
    void updateAll(std::stop_token stop) override;

    // Nix's own split of a derivation name: the version starts at the first "-" followed by
    // something other than a letter ("hello-2.12.1", "python3.11-requests-2.31.0").
    static Derivation splitName(std::string_view derivationName);
    // Never throw.
    static std::vector<Derivation> parseQuery(std::string_view output);
    static std::vector<Derivation> parseQueryJson(std::string_view output);
    static std::vector<Upgrade> parseDryRun(std::string_view output);

protected:
    std::optional<std::string> locateExecutable(std::stop_token stop) override;

private:
    std::vector<Package> readInstalled(std::stop_token stop, std::optional<std::string>& message) override;
    std::vector<Package> readOutdated(std::stop_token stop, std::optional<std::string>& message) override;
};

}  // namespace vt
