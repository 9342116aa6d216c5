#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "base/Json.hpp"
#include "base/Clock.hpp"
#include "managers/BaseManager.hpp"
#include "managers/LatestVersionCache.hpp"
#include "system/CommandRunning.hpp"

namespace vt {

class NetworkClient;

// The adapter for globally installed npm packages. npm's effective configuration (`npm config
// list --json`: its registry and global prefix) is asked once and kept, with the fingerprint
// of what it was read from (npm itself, its configuration files, the npm_config_ variables
// and PATH), until one of them changes. Listing then reads the global folder's manifests
// directly, and the outdated check asks the registry for each package's document in-process,
// a few at a time, and picks its latest version as npm does (NpmLatest: engines and
// deprecations heeded), the answers kept a short while: the same question `npm outdated -g`
// answers, without starting npm. Where npm's configuration has scoped
// registries or credentials (which only npm applies), or cannot be read, or the registry
// asks for credentials, npm answers itself: `npm list -g` and `npm outdated -g` (which
// exits 1 whenever something is outdated: only the JSON decides). A package no registry
// knows (installed from a tarball) stays listed without a latest version. Every npm command
// runs by the absolute path found at discovery, with a time limit, through the runner (so
// its environment, the proxy and certificate variables included, applies). An update refuses what npm cannot install from the registry before running anything,
// then runs `npm install -g NAME@latest` and checks what npm left installed.
// Listing and detection never throw for an npm failure (only CancellationError): they
// publish errorMessage(). update() throws PackageManualUpdateRequiredError, NpmError,
// CommandError or CancellationError. Thread-safe; no lock is held while npm runs or a
// request is sent.
class NpmManager final : public BaseManager {
public:
    // The row that declares this source to the rest of the program.
    static const SourceRow& source();

    static constexpr double kListTimeout = 60;
    static constexpr double kOutdatedTimeout = 60;
    static constexpr double kViewTimeout = 30;
    static constexpr double kInstallTimeout = 600;
    static constexpr double kManifestTimeout = 15;
    // `npm config get` and `npm root -g` only read configuration; the listing limit is ample.
    static constexpr double kConfigTimeout = 30;
    // How long a registry's latest version is taken as current: npm's own cache keeps a
    // registry answer as long (the registry's max-age).
    static constexpr std::chrono::seconds kLatestTtl{300};
    static constexpr double kLookupTimeout = 30;

    struct InstalledEntry {
        std::string name;
        std::string version;

        friend bool operator==(const InstalledEntry&, const InstalledEntry&) = default;
    };
    struct OutdatedEntry {
        std::string name;
        std::optional<std::string> latest;   // absent when npm's entry lacks it
        std::optional<std::string> current;  // npm's own idea of the installed version

        friend bool operator==(const OutdatedEntry&, const OutdatedEntry&) = default;
    };
    // What a parser made of one npm output: the entries, or the reason there are none.
    template <typename Entry>
    struct Parsed {
        std::vector<Entry> entries;
        std::optional<std::string> error;     // the output is an npm error or not what we expect
        std::vector<std::string> warnings;    // entries skipped
        // With the error: the folder npm found missing. When it holds npm's global folder,
        // nothing was ever installed there.
        std::optional<std::string> missingFolder;
    };

    struct Options {
        NetworkClient* network = nullptr;  // the one the façade gives, else the shared one, when null
        // Drops the runner's cached npm listings; derived from a CommandRunner when empty.
        std::function<void()> invalidateListings;
        // Whether to ask `npm root -g` for the install location of each package; on Linux
        // (where npm's global folder is never the macOS default) when absent.
        std::optional<bool> resolveGlobalRoot;
        // PATH given to npm, after npm's own folder; the CommandRunner's when absent, and
        // none at all (the runner's default applies) under another runner.
        std::optional<std::string> searchPath;
        // Where npm's configuration and the registry's answers are kept between runs
        // ("npm_config.json" and "npm_latest.json" in the cache folder when absent); "" keeps
        // them for this process only.
        std::optional<std::string> cacheFolder;
        Clock* clock = nullptr;  // Clock::shared() when null
    };

    // What the listing and the check need of npm's configuration.
    struct Configuration {
        std::string registry;  // without a trailing "/"
        std::string prefix;    // the global prefix: packages in PREFIX/lib/node_modules
        // Scoped registries or credentials: only npm itself may ask the registry.
        bool needsNpm = false;
        // What a package's engines are checked against, as npm checks them ("20.20.2").
        std::string nodeVersion;
        std::string npmVersion;
        std::vector<std::string> files;  // the configuration files npm read (user, global)

        friend bool operator==(const Configuration&, const Configuration&) = default;
    };
    // `npm config list --json`'s object; nothing when it lacks a registry or a prefix.
    static std::optional<Configuration> parseConfiguration(std::string_view text);
    // The installed packages of a global node_modules folder, read from their manifests
    // (folders without a readable version are left out, as `npm list` leaves them).
    static std::vector<InstalledEntry> readGlobalFolder(const std::string& folder);

    NpmManager(CommandRunning& runner, const FileSystemManager& files);
    NpmManager(CommandRunning& runner, const FileSystemManager& files, Options options);
    ~NpmManager() override;

    std::vector<Package> listInstalled(std::stop_token stop) override;
    // The global folder, its scopes and manifests, and npm's configuration files; nothing
    // before npm's configuration is known.
    std::vector<std::string> listingInputs() override;
    std::vector<Package> checkOutdated(std::stop_token stop) override;
    void update(const Package& package, std::stop_token stop) override;
    std::optional<std::string> pinnedVersion(const Package& package) const override { return exactVersion(package); }

    std::optional<std::string> cachedNpmPath() const;

    // Parsers of npm's output; none throws.
    static Parsed<InstalledEntry> parseInstalled(std::string_view text);
    static Parsed<OutdatedEntry> parseOutdated(std::string_view text);
    // npm's JSON error object ("error" with "code", "summary", "detail") as one text.
    static std::optional<std::string> npmErrorText(const Json& json);
    // The names whose specification in the manifest's installed dependency maps starts
    // with "workspace:".
    static std::vector<std::string> workspaceDependencies(const Json& manifest);
    // The native Apple-silicon package ("@scope/name-darwin-arm64") npm's output mentions.
    static std::optional<std::string> nativePackageMentioned(std::string_view output);
    // A name npm reads as a registry package, never as an option, a path or "name@version".
    static bool isInstallableName(std::string_view name);
    // Throws std::invalid_argument ("Invalid <tool> package name: ...") unless it is one.
    static void requireInstallableName(const std::string& name, std::string_view tool);
    // The refusal of a package whose target version npm cannot resolve outside its monorepo.
    static PackageManualUpdateRequiredError workspaceRefusal(const std::string& name,
                                                             const std::vector<std::string>& blocking,
                                                             const std::string& tag = "latest");

protected:
    std::optional<std::string> locateExecutable(std::stop_token stop) override;

private:
    struct ManifestCheck {
        std::optional<std::string> targetVersion;
        std::vector<std::string> workspaceDependencies;
    };

    CommandRequest npmRequest(const std::string& npm, std::vector<std::string> arguments, double timeout) const;
    // Throws CommandError (not a cancellation one: that becomes CancellationError).
    ShellCommandResult runNpm(const std::string& npm, std::vector<std::string> arguments, double timeout,
                              std::stop_token stop, bool allowNonZeroExit = false);
    void invalidateListings();

    // npm's configuration: kept in memory and in the cache folder while its fingerprint
    // holds, else asked of npm. Nothing when npm could not say.
    std::optional<Configuration> configuration(const std::string& npm, std::stop_token stop);
    // The configuration kept in memory or in the cache folder, while its fingerprint holds.
    std::optional<Configuration> savedConfiguration(const std::string& npm);
    // The version of the node npm runs on, from that node itself; nothing when npm's script
    // does not say which node runs it.
    std::optional<std::string> nodeVersion(const std::string& npm, std::stop_token stop);
    std::string configurationFingerprint(const std::string& npm, const std::vector<std::string>& files) const;
    std::optional<std::string> cacheFile(std::string_view name) const;
    // The check without npm: the registry's latest version of each listed package.
    std::vector<Package> checkWithRegistry(const Configuration& configuration, std::stop_token stop);
    std::vector<Package> checkWithNpm(const std::string& npm, std::stop_token stop);

    // Listing.
    Parsed<InstalledEntry> readInstalled(const std::string& npm, std::stop_token stop);
    // Whether the folder npm found missing is the global folder or one above it.
    bool holdsGlobalFolder(const std::string& npm, const std::string& missingFolder, std::stop_token stop);
    std::optional<std::string> globalRoot(const std::string& npm, std::stop_token stop);
    std::vector<Package> makePackages(const std::vector<InstalledEntry>& entries,
                                      const std::optional<std::string>& root) const;
    std::optional<std::string> latestFromView(const std::string& npm, const std::string& name, std::stop_token stop);

    // Update.
    std::optional<std::string> registryBase(const std::string& npm, std::stop_token stop);
    // The manifest of `name` at `tag` (a version, or "latest").
    std::optional<ManifestCheck> fetchTargetManifest(const std::string& npm, const std::string& name,
                                                     const std::string& tag, std::stop_token stop);
    [[noreturn]] void throwInstallFailure(const std::string& name, const std::string& tag, const ShellCommandResult& result,
                                          const std::optional<ManifestCheck>& manifest);
    void verifyInstalled(const std::string& npm, const Package& package, const std::optional<std::string>& target,
                         const std::string& tag, std::stop_token stop);

    Options options_;
    std::unique_ptr<LatestVersionCache> latestCache_;

    mutable std::mutex npmMutex_;
    std::optional<std::pair<std::string, Configuration>> configuration_;  // with its fingerprint
    std::optional<std::string> cachedNpmPath_;
    std::optional<std::string> registry_;  // for the current scan
};

}  // namespace vt
