#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "managers/BaseManager.hpp"

namespace vt {

// The adapter for Composer's global packages. Listing reads `composer global show
// --format=json`, outdated packages `composer global outdated --format=json` (Composer asks its
// own repositories, Packagist by default), both read past any warning printed before the JSON.
// A global project without a manifest is reported as such; a repository out of reach is named
// in one message while the installed packages stay listed. An update runs `composer global
// update NAME`. Listing and detection never throw for a composer failure (only
// CancellationError); update() throws ComposerError or CancellationError. Thread-safe.
class ComposerManager final : public BaseManager {
public:
    static const SourceRow& source();

    static constexpr double kShowTimeout = 60;
    // outdated asks every repository of the global project.
    static constexpr double kOutdatedTimeout = 120;
    static constexpr double kUpdateTimeout = 600;

    struct ComposerPackageEntry {
        std::string name;
        std::string version;
        std::optional<std::string> description;
        std::optional<std::string> latest;  // outdated listings only

        friend bool operator==(const ComposerPackageEntry&, const ComposerPackageEntry&) = default;
    };
    struct Parsed {
        std::vector<ComposerPackageEntry> packages;
        bool missingManifest = false;
        bool repositoryUnreachable = false;
        std::optional<std::string> error;
    };

    struct Options {
        std::map<std::string, std::string> environment;  // over COMPOSER_HOME of ours
    };

    ComposerManager(CommandRunning& runner, const FileSystemManager& files);
    ComposerManager(CommandRunning& runner, const FileSystemManager& files, Options options);
    ~ComposerManager() override;

    std::vector<Package> listInstalled(std::stop_token stop) override;
    // The global project's manifest, lock and installed list, wherever composer keeps it.
    std::vector<std::string> listingInputs() override;
    std::vector<Package> checkOutdated(std::stop_token stop) override;
    void update(const Package& package, std::stop_token stop) override;
    std::optional<std::string> pinnedVersion(const Package& package) const override { return exactVersion(package); }

    // The output of `global show` or `global outdated` with --format=json: "installed" → each
    // "name", "version", "description", "latest". Never throws.
    static Parsed parseListing(std::string_view standardOutput, std::string_view standardError);
    // Composer's own package name rule, "vendor/name" in lower case.
    static bool isPackageName(std::string_view name);

private:
    // Where composer keeps its global project: COMPOSER_HOME, else the configuration folder's
    // composer, else ~/.composer.
    std::vector<std::string> globalHomes() const;
    Parsed runListing(const std::string& subcommand, double timeout, std::stop_token stop);
    // `composer ARGUMENTS --no-interaction --no-ansi`; throws ComposerError with its output.
    void runComposer(std::vector<std::string> arguments, std::stop_token stop);
    std::optional<std::string> messageFor(const Parsed& parsed) const;

    Options options_;
};

}  // namespace vt
