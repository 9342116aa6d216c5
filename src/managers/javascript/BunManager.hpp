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

// The adapter for packages installed with `bun add -g`. bun runs by the absolute path found
// at discovery, with a time limit and a PATH that begins with Bun's own bin folder. Listing
// reads the tree of `bun pm ls -g`; the outdated check reads the table of `bun outdated`, run
// inside Bun's global folder (the project whose dependencies the global packages are). An
// update is `bun add -g NAME@latest`. Listing and detection never throw for a bun failure
// (only CancellationError): they publish errorMessage(). update() throws CommandError or
// CancellationError. Thread-safe; no lock is held while bun runs.
class BunManager final : public BaseManager {
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
        std::optional<std::string> latest;  // outdated rows only

        friend bool operator==(const Entry&, const Entry&) = default;
    };
    struct Listing {
        std::optional<std::string> globalFolder;  // from the first line of `bun pm ls -g`
        std::vector<Entry> entries;
    };

    struct Options {
        std::optional<std::string> home;                 // paths::home() when absent
        std::optional<std::string> bunInstall;           // $BUN_INSTALL, else home + "/.bun"
        std::map<std::string, std::string> environment;  // merged into every bun run, last
        // Drops the runner's cached bun listings; derived from a CommandRunner when empty.
        std::function<void()> invalidateListings;
    };

    BunManager(CommandRunning& runner, const FileSystemManager& files);
    BunManager(CommandRunning& runner, const FileSystemManager& files, Options options);

    std::vector<Package> listInstalled(std::stop_token stop) override;
    std::vector<Package> checkOutdated(std::stop_token stop) override;
    void update(const Package& package, std::stop_token stop) override;
    std::optional<std::string> pinnedVersion(const Package& package) const override { return exactVersion(package); }

    // "├── name@version" and "└── name@version" lines, after the global folder's line.
    static Listing parseInstalled(std::string_view text);
    // "| name | current | update | latest |" rows; the header row and the markers
    // " (dev)", " (peer)", " (optional)" after a name are left out.
    static std::vector<Entry> parseOutdated(std::string_view text);
    // The "error: ..." lines bun printed, joined.
    static std::optional<std::string> bunError(std::string_view output);

    std::string bunInstall() const;
    std::string globalFolder() const;  // the one bun reported, else bunInstall + "/install/global"
    std::map<std::string, std::string> environment() const;

protected:
    // Bun's own bin folder first, then the shared locator.
    std::optional<std::string> locateExecutable(std::stop_token stop) override;

private:
    ShellCommandResult runBun(std::vector<std::string> arguments, double timeout, std::stop_token stop,
                              std::optional<std::string> directory = std::nullopt);
    void invalidateListings();
    // `bun outdated` dates nothing: the registry Bun installs from does, named by its bunfig,
    // else NPM_CONFIG_REGISTRY, else npm's configuration (the .npmrc Bun reads too).
    std::optional<std::string> registry(std::stop_token stop);
    void dateReleases(std::vector<Package>& outdated, std::stop_token stop);

    Options options_;
    std::string bunInstall_;
    mutable std::mutex bunMutex_;
    std::optional<std::string> reportedGlobalFolder_;
};

}  // namespace vt
