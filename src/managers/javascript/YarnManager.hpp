#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "base/Clock.hpp"
#include "base/Json.hpp"
#include "managers/BaseManager.hpp"
#include "managers/LatestVersionCache.hpp"
#include "system/CommandRunning.hpp"

namespace vt {

class NetworkClient;

// The adapter for packages installed with `yarn global add` (Yarn 1). yarn runs by the
// absolute path found at discovery, with a time limit and a PATH that begins with Yarn's bin
// folder. The installed list is `yarn global list` completed by the package.json of
// `yarn global dir` (the listing leaves out packages without binaries). Yarn has no global
// outdated command: the latest versions come from the registry npm is configured with (else
// the one Yarn is), at most 16 requests at a time, kept in "yarn_cache.json" of the cache
// folder for 1800 s. An update is `yarn global upgrade NAME --latest`, then the installed
// version is read again. Listing and detection never throw for a tool or network failure
// (only CancellationError): they publish errorMessage() (the scan stage's prefix, then the reason). update()
// throws YarnError, CommandError or CancellationError. Thread-safe; no lock is held while a
// tool runs or a request is sent.
class YarnManager final : public BaseManager {
public:
    // The row that declares this source to the rest of the program.
    static const SourceRow& source();

    // Chosen from the package name by the first keyword group it contains.

    static constexpr double kListTimeout = 60;
    // `yarn global dir` and `npm config get registry` only read configuration.
    static constexpr double kConfigTimeout = 30;
    static constexpr double kUpgradeTimeout = 600;
    static constexpr std::size_t kMaxConcurrentLookups = 16;
    static constexpr std::chrono::seconds kLatestVersionTtl{1800};
    static constexpr const char* kCacheFileName = "yarn_cache.json";

    struct Entry {
        std::string name;
        std::string version;

        friend bool operator==(const Entry&, const Entry&) = default;
    };

    struct Options {
        Clock* clock = nullptr;                // Clock::shared() when null
        NetworkClient* network = nullptr;      // the one the façade gives, else the shared one, when null
        std::optional<std::string> home;       // paths::home() when absent
        std::optional<std::string> cacheFile;  // paths::cacheFolder() + "/yarn_cache.json" when absent
        // The registry's base address; asked of npm (else Yarn) at each scan when absent.
        std::optional<std::string> registry;
        std::map<std::string, std::string> environment;  // merged into every yarn and npm run, last
        // Drops the runner's cached yarn listings; derived from a CommandRunner when empty.
        std::function<void()> invalidateListings;
    };

    YarnManager(CommandRunning& runner, const FileSystemManager& files);
    YarnManager(CommandRunning& runner, const FileSystemManager& files, Options options);
    ~YarnManager() override;

    std::vector<Package> listInstalled(std::stop_token stop) override;
    std::vector<Package> checkOutdated(std::stop_token stop) override;
    void update(const Package& package, std::stop_token stop) override;
    std::optional<std::string> pinnedVersion(const Package& package) const override { return exactVersion(package); }

    // The latest version of each name that the registry (or a fresh cache entry) knows, with
    // the releases it dates when publish times are wanted.
    std::map<std::string, LatestVersionCache::Answer> latestVersions(const std::vector<std::string>& names,
                                                                     std::stop_token stop);

    // Both forms of `yarn global list`: tree lines ("├─ name@1.0.0") and Yarn 1.22's
    // `info "name@1.0.0" has binaries:` lines, as text or as --json lines.
    static std::vector<Entry> parseGlobalList(std::string_view text);
    // "name@1.0.0" and "@scope/name@1.0.0": the version follows the last at sign.
    static std::optional<Entry> splitNameAndVersion(std::string_view text);
    // The names in the "dependencies" of a global package.json, with their specifications.
    static std::optional<std::map<std::string, std::string>> parseManifestDependencies(std::string_view text);
    // home + "/.yarn/bin", then "/usr/local/bin", "/usr/bin" and the default path.
    std::string searchPath(const std::string& executable) const;
    std::string cacheFile() const;

protected:
    // The shared locator (the PATH, the usual folders, "/opt/homebrew/bin/yarn" first among
    // them), then Yarn's own bin folder.
    std::optional<std::string> locateExecutable(std::stop_token stop) override;

private:
    ShellCommandResult runYarn(std::vector<std::string> arguments, double timeout, std::stop_token stop);
    std::optional<std::string> globalFolder(std::stop_token stop);
    // nullopt when the global package.json cannot be read.
    std::optional<std::vector<Entry>> manifestEntries(const std::string& folder,
                                                      const std::vector<Entry>& listed) const;
    std::optional<std::string> installedVersion(const std::string& name, std::stop_token stop);
    // Yarn's registry, else npm's; nothing when neither names one.
    std::optional<std::string> registry(std::stop_token stop);
    std::optional<std::string> askRegistry(const std::string& executable, std::stop_token stop);
    std::optional<LatestVersionCache::Answer> fetchLatest(const std::string& registry, const std::string& name,
                                                          bool dated, std::stop_token stop);
    void invalidateListings();
    Clock& clock() const;

    Options options_;
    std::string home_;
    std::string defaultPath_;

    mutable std::mutex yarnMutex_;
    std::optional<std::string> registry_;      // for the current scan, once registryAsked_
    bool registryAsked_ = false;
    std::optional<std::string> globalFolder_;  // the last `yarn global dir`
    LatestVersionCache latestCache_;  // by registry
};

}  // namespace vt
