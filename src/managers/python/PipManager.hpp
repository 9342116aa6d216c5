#pragma once

#include <chrono>
#include <cstddef>
#include <exception>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/Cancellation.hpp"
#include "base/Clock.hpp"
#include "base/Json.hpp"
#include "managers/BaseManager.hpp"
#include "managers/InFlight.hpp"
#include "managers/python/PipIndex.hpp"
#include "managers/python/PythonEnvironments.hpp"
#include "system/CommandRunning.hpp"
#include "system/NetworkClient.hpp"

namespace vt {

// The adapter for pip packages of every Python 3 environment found (PythonEnvironments gives
// them in priority order), all environments at once; a name already reported by a
// higher-priority environment is dropped. Listings are read from the site folders. The
// outdated check asks the index pip's configuration names, page by page, for the names each
// environment shows (PipIndex); where that configuration asks for what only pip does, the
// environment's own pip runs "list --outdated" with PIP_RETRIES and PIP_TIMEOUT set, and its
// standard error tells an index out of reach (pip itself still exits 0 with "[]"). Either
// way, the installed packages stay listed and one message says the latest versions are
// unknown. A query of pip already running for an environment is shared; nothing else is
// reused here, so every check asks again. Results are written to the pip cache file.
// Updates run the pip of the package's own environment, and are refused before anything
// runs in an environment the operating system manages.
// Listing and detection never throw for a pip failure (only CancellationError): they
// publish errorMessage(). update() throws PipError, CommandError or CancellationError.
// Thread-safe; no lock is held while pip runs.
class PipManager final : public BaseManager {
public:
    // The row that declares this source to the rest of the program.
    static const SourceRow& source();

    using Environment = PythonEnvironments::Environment;

    static constexpr double kListTimeout = 60;
    // pip asks the index one project at a time: 45 s covers a few hundred projects on a
    // working index and bounds one that answers slowly.
    static constexpr double kOutdatedTimeout = 45;
    static constexpr double kReviewTimeout = 45;
    static constexpr double kInstallTimeout = 600;
    // One retry: pip prints a warning for a failed connection only when it retries, and
    // without any an index out of reach looks exactly like "nothing outdated".
    static constexpr const char* kIndexRetries = "1";
    static constexpr const char* kIndexTimeoutSeconds = "5";
    // Connections failed for this many projects (or for every project, when fewer): the
    // index is out of reach and waiting for the others tells nothing more.
    static constexpr std::size_t kUnreachableEvidence = 5;
    // Index pages asked at once per environment, and how long one may take to connect or go
    // without a byte (pip's own PIP_TIMEOUT above).
    static constexpr std::size_t kIndexConcurrency = 8;
    static constexpr double kIndexStallSeconds = 5;

    struct InstalledEntry {
        std::string name;
        std::string version;

        friend bool operator==(const InstalledEntry&, const InstalledEntry&) = default;
    };
    struct OutdatedEntry {
        std::string name;
        std::string version;
        std::string latestVersion;

        friend bool operator==(const OutdatedEntry&, const OutdatedEntry&) = default;
    };
    template <typename Entry>
    struct Parsed {
        std::vector<Entry> entries;
        std::optional<std::string> error;  // the output is not the JSON array we expect
    };

    struct Options {
        // The environments to ask, in priority order; PythonEnvironments (with the
        // interpreter of the pip the runner's PATH finds) when empty.
        std::function<std::vector<Environment>()> environments;
        Clock* clock = nullptr;  // Clock::shared() when null
        // Drops the runner's cached pip listings; derived from a CommandRunner when empty.
        std::function<void()> invalidateListings;
    };

    PipManager(CommandRunning& runner, const FileSystemManager& files);
    PipManager(CommandRunning& runner, const FileSystemManager& files, Options options);
    ~PipManager() override;

    std::vector<Package> listInstalled(std::stop_token stop) override;
    // Every environment's interpreter and the folders its packages are installed into.
    std::vector<std::string> listingInputs() override;
    std::vector<Package> checkOutdated(std::stop_token stop) override;
    void update(const Package& package, std::stop_token stop) override;
    std::optional<std::string> pinnedVersion(const Package& package) const override { return exactVersion(package); }

    // The environments of the last listing, in priority order.
    std::vector<Environment> environments() const;

    // Parsers of pip's output; none throws.
    static Parsed<InstalledEntry> parseInstalled(std::string_view text);
    static Parsed<OutdatedEntry> parseOutdated(std::string_view text);
    // The "Name" and "Version" headers of a distribution's METADATA or PKG-INFO.
    static std::optional<InstalledEntry> parseMetadata(std::string_view text);
    // pip-review's "name==latest is available (you have installed)" lines.
    static std::vector<OutdatedEntry> parsePipReview(std::string_view text);
    // The name as pip compares names: lower case, each run of "-", "_" and "." one "-".
    static std::string normalizedName(std::string_view name);
    // The projects pip could not connect to the index for, from its retry warnings.
    static std::set<std::string> unreachableProjects(std::string_view standardError);
    // A Python project name (never an option, a path or a requirement specifier).
    static bool isProjectName(std::string_view name);

    struct EnvironmentListing {
        std::vector<InstalledEntry> entries;
        std::optional<std::string> failure;
        bool hasNoPip = false;  // the interpreter has no pip module: nothing to list, not an error
    };
    // What `pip list` prints, read from the environment's site folders without starting Python:
    // each *.dist-info's METADATA (an *.egg-info's PKG-INFO) "Name" and "Version", a project in
    // two folders taken from the first on sys.path (the user's own site folder first). Nothing
    // when a folder cannot be read or holds what only pip can list (eggs, .egg-link development
    // installs), or when pip itself is not among them.
    std::optional<EnvironmentListing> readSiteFolders(const Environment& environment) const;

protected:
    std::optional<std::string> locateExecutable(std::stop_token stop) override;

private:
    struct EnvironmentOutdated {
        std::vector<OutdatedEntry> entries;
        std::optional<std::string> failure;
        bool indexUnreachable = false;
    };
    // What the last listing decided: who reports each name, and how many each environment has.
    struct Inventory {
        std::vector<Environment> environments;
        std::map<std::string, std::string> ownerByName;     // normalised name -> interpreter
        std::map<std::string, std::size_t> installedCount;  // interpreter -> packages
        std::map<std::string, std::vector<InstalledEntry>> shown;  // interpreter -> what it reports
        std::vector<std::string> failures;
    };
    struct DistributionInfo {
        std::string location;
        std::string installer;
        bool hasRecord = false;
    };

    CommandRequest pipRequest(const Environment& environment, std::vector<std::string> arguments, double timeout) const;
    std::vector<Environment> findEnvironments(std::stop_token stop);
    Inventory takeInventory(std::stop_token stop);
    Inventory currentInventory(std::stop_token stop);
    EnvironmentListing listEnvironment(const Environment& environment, std::stop_token stop);
    EnvironmentListing runListing(const Environment& environment, std::stop_token stop);
    std::vector<Package> packagesOf(const Inventory& inventory,
                                    const std::map<std::string, EnvironmentListing>& listings);
    Clock& clock() const;
    void invalidateListings();

    // Outdated.
    EnvironmentOutdated outdatedOf(const Environment& environment, std::size_t installed, std::stop_token stop);
    EnvironmentOutdated runOutdated(const Environment& environment, std::size_t installed, std::stop_token stop);
    // The indexes that did not answer one page asked alone: out of reach, they are not asked
    // again by every environment for every name, each request waiting out its own limit.
    std::set<std::string> unreachableIndexes(const std::map<std::string, PipIndex::Settings>& readable,
                                             const std::map<std::string, std::vector<InstalledEntry>>& askable,
                                             std::stop_token stop);
    static HttpRequest indexPageRequest(const std::string& indexUrl, const std::string& name,
                                        const PipIndex::Settings& settings);
    EnvironmentOutdated askIndex(const Environment& environment, const PipIndex::Settings& settings,
                                 const std::vector<InstalledEntry>& entries, const std::set<std::string>& outOfReach,
                                 std::stop_token stop);
    std::optional<std::vector<OutdatedEntry>> runPipReview(const Environment& environment, std::stop_token stop);
    bool isOwnedByHomebrew(const Environment& environment, const OutdatedEntry& entry) const;
    std::optional<DistributionInfo> distributionInfo(const Environment& environment, const OutdatedEntry& entry) const;

    // Runs the work for each environment at once and returns the results in the same order.
    // A cancelled piece of work cancels the whole.
    template <typename Result>
    static std::vector<Result> forEachEnvironment(const std::vector<Environment>& environments,
                                                  const std::function<Result(const Environment&)>& work);
    Options options_;
    mutable std::mutex pipMutex_;
    std::optional<std::string> userPip_;
    std::optional<Inventory> inventory_;
    InFlight<EnvironmentListing> listingsInFlight_;
    InFlight<EnvironmentOutdated> outdatedInFlight_;
};

template <typename Result>
std::vector<Result> PipManager::forEachEnvironment(const std::vector<Environment>& environments,
                                                   const std::function<Result(const Environment&)>& work) {
    std::vector<Result> results(environments.size());
    std::vector<std::exception_ptr> errors(environments.size());
    {
        std::vector<std::jthread> threads;
        threads.reserve(environments.size());
        for (std::size_t i = 0; i < environments.size(); ++i) {
            threads.emplace_back([&, i] {
                try {
                    results[i] = work(environments[i]);
                } catch (...) {
                    errors[i] = std::current_exception();
                }
            });
        }
    }
    for (const std::exception_ptr& error : errors) {
        if (error) std::rethrow_exception(error);
    }
    return results;
}

}  // namespace vt
