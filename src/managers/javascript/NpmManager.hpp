#pragma once

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
#include "managers/BaseManager.hpp"
#include "system/CommandRunning.hpp"

namespace vt {

class NetworkClient;

// The adapter for globally installed npm packages. Every npm command runs by the absolute
// path found at discovery, with a time limit, through the runner (so its environment, the
// proxy and certificate variables included, applies). Listing reads `npm list -g`, the
// outdated check `npm outdated -g` (which exits 1 whenever something is outdated: only the
// JSON decides); a package npm cannot look up (installed from a tarball) stays listed without
// a latest version. The registry is the one npm is configured with, asked at most once per
// scan. An update refuses what npm cannot install from the registry before running anything,
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
    };

    NpmManager(CommandRunning& runner, const FileSystemManager& files);
    NpmManager(CommandRunning& runner, const FileSystemManager& files, Options options);
    ~NpmManager() override;

    std::vector<Package> listInstalled(std::stop_token stop) override;
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

    mutable std::mutex npmMutex_;
    std::optional<std::string> cachedNpmPath_;
    std::optional<std::string> registry_;  // for the current scan
};

}  // namespace vt
