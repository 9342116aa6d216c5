#pragma once

#include <functional>
#include <map>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "managers/BaseManager.hpp"
#include "system/CommandRunning.hpp"

namespace vt {

// The adapter for the Deno runtime itself: one item, "deno". deno runs by the absolute path
// found at discovery (Deno's own bin folder first), with a time limit, DENO_INSTALL_ROOT and
// a PATH that begins with that bin folder. The installed version comes from `deno --version`.
// When Homebrew owns Deno (`brew list --formula deno` succeeds), the latest version is
// Homebrew's stable one and the update is `brew upgrade deno`; otherwise Deno answers itself
// with `deno upgrade --dry-run` and updates with `deno upgrade`. A Deno built without its
// upgrade command is reported as to be updated by whatever installed it.
// Listing and detection never throw for a tool failure (only CancellationError): they publish
// errorMessage(). update() throws PackageManualUpdateRequiredError, CommandError or
// CancellationError. Thread-safe; no lock is held while a tool runs.
class DenoManager final : public BaseManager {
public:
    // The row that declares this source to the rest of the program.
    static const SourceRow& source();

    static constexpr double kVersionTimeout = 30;
    // A dry run still downloads the release to check it.
    static constexpr double kUpgradeCheckTimeout = 120;
    static constexpr double kUpgradeTimeout = 600;
    static constexpr double kBrewQueryTimeout = 30;
    static constexpr const char* kPackageName = "deno";

    // What `deno upgrade --dry-run` said.
    struct UpgradeCheck {
        std::optional<std::string> latestVersion;
        bool isCurrent = false;            // "Local deno version X is the most recent release"
        bool builtWithoutUpgrade = false;  // a build without its own upgrade command
        std::optional<std::string> error;  // its "error: ..." line

        friend bool operator==(const UpgradeCheck&, const UpgradeCheck&) = default;
    };

    struct Options {
        std::optional<std::string> home;             // paths::home() when absent
        std::optional<std::string> denoInstallRoot;  // $DENO_INSTALL_ROOT, else home + "/.deno"
        // Where Homebrew's brew may be; "/opt/homebrew/bin/brew", "/usr/local/bin/brew" and
        // the Linux prefix's when absent.
        std::optional<std::vector<std::string>> brewCandidates;
        std::map<std::string, std::string> environment;  // merged into every deno run, last
        // Drops the runner's cached listings of a tool ("brew"); derived from a CommandRunner
        // when empty.
        std::function<void(std::string_view)> invalidateListings;
    };

    DenoManager(CommandRunning& runner, const FileSystemManager& files);
    DenoManager(CommandRunning& runner, const FileSystemManager& files, Options options);

    std::vector<Package> listInstalled(std::stop_token stop) override;
    std::vector<Package> checkOutdated(std::stop_token stop) override;
    void update(const Package& package, std::stop_token stop) override;

    // "deno 2.9.6 (stable, release, x86_64-unknown-linux-gnu)" gives "2.9.6".
    static std::optional<std::string> parseVersion(std::string_view text);
    // Reads both of deno's streams; colour codes are ignored.
    static UpgradeCheck parseUpgradeCheck(std::string_view output);
    // `brew info --json=v2 deno`: "formulae", first entry, "versions", "stable".
    static std::optional<std::string> parseBrewStableVersion(std::string_view text);
    // The text shown when Deno cannot update itself.
    static std::string selfUpgradeUnavailableText();

    std::string denoInstallRoot() const { return denoInstallRoot_; }
    std::map<std::string, std::string> environment() const;
    // The brew that owns Deno, or nothing when Homebrew does not.
    std::optional<std::string> owningBrew(std::stop_token stop);

protected:
    std::optional<std::string> locateExecutable(std::stop_token stop) override;

private:
    ShellCommandResult runTool(const std::string& executable, std::vector<std::string> arguments, double timeout,
                               std::stop_token stop, bool withDenoEnvironment);
    std::optional<std::string> installedVersion(std::stop_token stop);
    void invalidateListings(std::string_view tool);

    Options options_;
    std::string denoInstallRoot_;
};

}  // namespace vt
