#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "base/Clock.hpp"
#include "base/Json.hpp"
#include "managers/BaseManager.hpp"
#include "system/CommandRunning.hpp"

namespace vt {

enum class CondaUpdatePhase { Downloading, Preparing, Verifying, Installing, Done };

// The adapter for conda environments, driven by conda, mamba or micromamba (whichever is found
// first), always by absolute path and with the environment chosen by its prefix ("-p"), which
// every flavour accepts and which also names environments outside the envs folder.
//
// Listing runs `env list --json`, then `list --json` per environment; entries of the "pypi"
// channel belong to pip and are skipped. Each package's sourceIdentifier is its environment's
// prefix, its tap the channel and its description the build. The outdated check asks
// `update --all --dry-run --json` per environment, unless "conda_outdated_cache_v3.json" (in
// the cache folder) holds an answer younger than 7 days taken while the environment's
// conda-meta folder had its current modification time. An update runs `update -y -p ENV NAME`
// with progress phases, then lists that environment again; a listing that comes back empty
// after an update keeps the previous inventory.
//
// One environment's failure never stops the others. Listing and detection never throw for a
// conda failure (only CancellationError): they publish errorMessage(). update() throws
// CondaError or CancellationError. Thread-safe; no lock is held while conda runs or a handler
// is called.
class CondaManager final : public BaseManager {
public:
    // The row that declares this source to the rest of the program.
    static const SourceRow& source();

    static constexpr double kListTimeout = 60;
    static constexpr double kDryRunTimeout = 120;
    static constexpr double kUpdateTimeout = 600;
    static constexpr std::chrono::seconds kOutdatedCacheTtl{604800};
    static constexpr const char* kCacheFileName = "conda_outdated_cache_v3.json";

    // One line of `conda list --json`.
    struct Entry {
        std::string name;
        std::string version;
        std::string channel;
        std::string build;

        friend bool operator==(const Entry&, const Entry&) = default;
    };
    // One package of a dry run's LINK or UNLINK list.
    struct PlannedAction {
        std::string name;
        std::string version;
        std::string channel;

        friend bool operator==(const PlannedAction&, const PlannedAction&) = default;
    };
    struct DryRun {
        std::vector<PlannedAction> link, unlink;
        std::optional<std::string> error;  // conda's own error object, when it printed one
    };
    // What a parser made of an output: the value, or why there is none.
    template <typename Value>
    struct Parsed {
        std::optional<Value> value;
        std::optional<std::string> error;
    };

    // (fraction 0...1, the localized phase text)
    using ProgressHandler = std::function<void(double fraction, std::optional<std::string> text)>;
    // The modification time of a folder; nullopt when it cannot be read.
    using ModificationTime = std::function<std::optional<Clock::TimePoint>(const std::string& path)>;

    struct Options {
        Clock* clock = nullptr;                // Clock::shared() when null
        std::optional<std::string> home;       // paths::home() when absent
        std::optional<std::string> cacheFile;  // paths::cacheFolder() + "/conda_outdated_cache_v3.json"
        ModificationTime modificationTime;     // the real file system when empty
        // Tried after the PATH and the usual folders: CONDA_EXE, MAMBA_EXE and the bin folder
        // of the usual install roots (defaultCandidates) when absent.
        std::optional<std::vector<std::string>> candidates;
    };

    CondaManager(CommandRunning& runner, const FileSystemManager& files);
    CondaManager(CommandRunning& runner, const FileSystemManager& files, Options options);
    ~CondaManager() override;

    std::vector<Package> listInstalled(std::stop_token stop) override;
    std::vector<Package> checkOutdated(std::stop_token stop) override;
    void update(const Package& package, std::stop_token stop) override;
    std::optional<std::string> pinnedVersion(const Package& package) const override { return exactVersion(package); }
    // The same, reporting each phase as it starts; Done comes last, after the new listing.
    void update(const Package& package, const ProgressHandler& onProgress, std::stop_token stop);

    // Parsers of conda's output; none throws. Text before the JSON (a warning) is skipped.
    static Parsed<std::vector<std::string>> parseEnvironments(std::string_view text);
    static Parsed<std::vector<Entry>> parseList(std::string_view text);
    // error "no JSON payload" when the output holds no JSON at all.
    static Parsed<DryRun> parseDryRun(std::string_view text);
    // The installed packages whose dry-run LINK version differs from the installed one,
    // latestVersion filled; a package not installed (a new dependency) is not an update.
    static std::vector<Package> outdatedFrom(const DryRun& plan, const std::vector<Package>& installed,
                                             const std::string& environment);
    static std::optional<CondaUpdatePhase> phaseForLine(std::string_view line);
    static std::string_view phaseKey(CondaUpdatePhase phase);
    static std::vector<std::string> defaultCandidates(const std::string& home);

    std::string cacheFile() const;

protected:
    std::optional<std::string> locateExecutable(std::stop_token stop) override;

private:
    struct CacheEntry {
        Clock::TimePoint scannedAt;
        // Reference-date seconds, compared exactly: a time rebuilt from the stored number
        // could differ from the folder's by a rounding step.
        double metaMtime = 0;
        std::vector<Package> updates;
    };
    using Cache = std::map<std::string, CacheEntry>;
    struct EnvironmentListing {
        std::vector<Package> packages;
        std::optional<std::string> error;
    };

    Clock& clock() const;
    std::string home() const;
    std::optional<Clock::TimePoint> metaModificationTime(const std::string& environment) const;
    // Throws CommandError (never a cancellation one: that becomes CancellationError).
    ShellCommandResult runConda(const std::string& conda, std::vector<std::string> arguments, double timeout,
                                std::stop_token stop, bool allowNonZeroExit = false);

    // Listing.
    std::vector<std::string> environments(const std::string& conda, std::optional<std::string>& error,
                                          std::stop_token stop);
    EnvironmentListing listEnvironment(const std::string& conda, const std::string& environment, std::stop_token stop);
    // The listing, or the previous inventory when an update just left it empty.
    std::vector<Package> keepInventoryIfEmptied(const std::string& environment, std::vector<Package> packages,
                                                std::optional<std::string>& error);
    std::vector<Package> publishInventory();

    // Outdated.
    std::optional<std::vector<Package>> cachedUpdates(const Cache& cache, const std::string& environment,
                                                      const std::optional<Clock::TimePoint>& mtime) const;
    std::vector<Package> dryRunUpdates(const std::string& conda, const std::string& environment,
                                       std::optional<std::string>& error, std::stop_token stop);
    Cache loadCache() const;
    void saveCache(const Cache& cache) const;

    Options options_;

    mutable std::mutex condaMutex_;
    std::vector<std::string> environments_;                  // of the last listing
    bool environmentsComplete_ = false;                      // conda itself listed them
    std::map<std::string, std::vector<Package>> inventory_;  // by environment prefix
    std::set<std::string> updatedEnvironments_;              // updated since their last listing
};

}  // namespace vt
