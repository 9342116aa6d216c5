#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "managers/BaseManager.hpp"
#include "system/CommandRunning.hpp"

namespace vt {

// The adapter for packages installed with `pnpm add -g`. pnpm runs by the absolute path found
// at discovery, with a time limit, PNPM_HOME set (the user's, else pnpm's own default folder)
// and a PATH that begins with it, so pnpm finds its global folder and node as the user's
// shell would. Listing reads `pnpm list -g --json`, the outdated check `pnpm outdated -g
// --json` (which exits 1 whenever something is outdated, and fails when nothing was ever
// installed: both are answers, not failures). An update is `pnpm add -g NAME@latest`.
// Listing and detection never throw for a pnpm failure (only CancellationError): they publish
// errorMessage(). update() throws CommandError or CancellationError. Thread-safe; no lock is
// held while pnpm runs.
class PnpmManager final : public BaseManager {
public:
    // The row that declares this source to the rest of the program.
    static const SourceRow& source();

    static constexpr double kListTimeout = 60;
    static constexpr double kOutdatedTimeout = 60;
    static constexpr double kConfigTimeout = 30;
    static constexpr double kInstallTimeout = 600;

    struct Entry {
        std::string name;
        std::string version;
        std::optional<std::string> latest;  // outdated listings only
        std::optional<std::string> folder;  // the global folder pnpm listed it in

        friend bool operator==(const Entry&, const Entry&) = default;
    };
    // What a parser made of one pnpm output: the entries, or why there are none.
    struct Parsed {
        std::vector<Entry> entries;
        std::optional<std::string> error;
    };

    struct Options {
        std::optional<std::string> home;                 // paths::home() when absent
        std::optional<std::string> pnpmHome;             // $PNPM_HOME, else defaultPnpmHome(home)
        std::map<std::string, std::string> environment;  // merged into every pnpm run, last
        // Drops the runner's cached pnpm listings; derived from a CommandRunner when empty.
        std::function<void()> invalidateListings;
    };

    PnpmManager(CommandRunning& runner, const FileSystemManager& files);
    PnpmManager(CommandRunning& runner, const FileSystemManager& files, Options options);

    std::vector<Package> listInstalled(std::stop_token stop) override;
    std::vector<Package> checkOutdated(std::stop_token stop) override;
    void update(const Package& package, std::stop_token stop) override;
    std::optional<std::string> pinnedVersion(const Package& package) const override { return exactVersion(package); }

    // home + "/Library/pnpm" on macOS, home + "/.local/share/pnpm" elsewhere (pnpm's defaults).
    // pnpm's global settings folder (config.yaml, rc): $XDG_CONFIG_HOME/pnpm on Linux.
    static std::string configFolder(const std::string& home);
    static std::string defaultPnpmHome(const std::string& home);
    // "/opt/homebrew/bin/pnpm", "/usr/local/bin/pnpm", home + "/Library/pnpm/pnpm",
    // home + "/.local/share/pnpm/pnpm".
    static std::vector<std::string> executableCandidates(const std::string& home);
    // `pnpm list -g --depth=0 --json`: an array of importers (an object from older pnpm),
    // each with "path" and a "dependencies" map of name to {"version"}.
    static Parsed parseInstalled(std::string_view text);
    // `pnpm outdated -g --json`: a map of name to {"current", "latest"}.
    static Parsed parseOutdated(std::string_view text);
    // The "ERR_PNPM_..." (else "ERROR ...") line pnpm printed, if any.
    static std::optional<std::string> pnpmError(std::string_view output);

    std::string pnpmHome() const;
    // What pnpm runs with, over the runner's own environment.
    std::map<std::string, std::string> environment(const std::string& executable) const;

protected:
    // The shared locator (the PATH, the usual folders), then PNPM_HOME and the candidates.
    std::optional<std::string> locateExecutable(std::stop_token stop) override;

private:
    ShellCommandResult runPnpm(std::vector<std::string> arguments, double timeout, std::stop_token stop,
                               bool allowNonZeroExit = false);
    void invalidateListings();
    // `pnpm outdated` dates nothing: the registry pnpm installs from does.
    void dateReleases(std::vector<Package>& outdated, std::stop_token stop);

    Options options_;
    std::string home_;
    std::string pnpmHome_;
};

}  // namespace vt
