#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <map>
#include <memory>
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
#include "managers/InFlight.hpp"
#include "managers/homebrew/BrewErrorClassifier.hpp"
#include "managers/PackageManager.hpp"
#include "settings/SettingsManager.hpp"
#include "system/CommandRunning.hpp"

namespace vt {

class BrewAPIClient;
class NetworkClient;

enum class BrewUpgradePhase { Downloading, Verifying, Installing, Linking, Waiting, Done };

// The adapter for Homebrew formulae and casks. Every brew command runs as
// `/usr/bin/env brew ...` through the runner, so the runner's environment (its PATH and the
// HOMEBREW_* settings) applies, with a time limit each. Listing recovers from a failing
// brew with the Cellar and Caskroom folders; the outdated query is cached for 60 s per
// argument list, shared between concurrent callers, and preceded by a `brew update` at
// most every 30 minutes; an upgrade streams progress phases and tries each known repair
// once before it throws ParsedBrewError (or GhostCaskError). Listing and detection never
// throw for a brew failure (only CancellationError). Thread-safe: one mutex guards the
// caches and is never held while brew runs, a request is sent or a callback is called.
class BrewManager final : public BaseManager {
public:
    // The row that declares this source to the rest of the program.
    static const SourceRow& source();

    struct OutdatedInfo {
        std::string name;            // without the tap
        std::string currentVersion;  // the newest installed version
        std::string latestVersion;   // the newest available, or the update-available sentinel
        std::vector<std::string> installedVersions;
        bool isPinned = false;
        std::optional<std::string> commandName;  // "user/tap/name" when brew needs it

        friend bool operator==(const OutdatedInfo&, const OutdatedInfo&) = default;
    };
    struct OutdatedResult {
        std::vector<OutdatedInfo> formulas;
        std::vector<OutdatedInfo> casks;

        friend bool operator==(const OutdatedResult&, const OutdatedResult&) = default;
    };
    struct InstalledItem {
        std::string name;
        std::vector<std::string> versions;

        friend bool operator==(const InstalledItem&, const InstalledItem&) = default;
    };
    struct CaskDetails {
        std::string token;
        std::string fullToken;  // "user/tap/token" outside the main tap
        std::string fullName;   // display name
        bool autoUpdates = false;
        bool manualInstaller = false;
    };
    struct UpgradeProgress {
        BrewUpgradePhase phase;
        std::string message;  // the localized phase text
        std::string line;     // the output line that moved the phase
    };
    using ProgressHandler = std::function<void(const UpgradeProgress&)>;
    using OutdatedModeProvider = std::function<BrewOutdatedMode()>;

    static constexpr std::chrono::seconds kBrewUpdateInterval{1800};
    static constexpr std::chrono::seconds kOutdatedCacheTtl{60};
    static constexpr double kBrewListTimeout = 30;
    static constexpr double kBrewUpdateTimeout = 60;
    static constexpr double kOutdatedTimeout = 30;
    static constexpr double kInfoTimeout = 30;
    static constexpr double kSinglePackageUpgradeTimeout = 600;
    static constexpr double kSingleCaskUpgradeTimeout = 1800;
    // link and unlink change only symlinks; two minutes is generous.
    static constexpr double kLinkTimeout = 120;
    // Above this the cask details are read entry by entry instead of as one document.
    static constexpr std::size_t kMaxCaskDetailsBytes = 16 * 1024 * 1024;
    static constexpr std::size_t kMaxCaskEntryBytes = 1024 * 1024;

    struct Options {
        Clock* clock = nullptr;                 // Clock::shared() when null
        OutdatedModeProvider outdatedMode;      // greedy when empty
        NetworkClient* network = nullptr;       // the one the façade gives, else the shared one, when null
        BrewAPIClient* apiClient = nullptr;     // one of our own over the network when null
        // Drops the runner's cached brew listings; derived from a CommandRunner when empty.
        std::function<void()> invalidateListings;
        // Deletes a file or a folder tree; the real file system when empty.
        std::function<void(const std::string&)> removeItem;
        std::optional<std::string> home;         // paths::home() when absent
        std::vector<std::string> prefixes;       // defaultPrefixes() when empty
        std::map<std::string, std::string> environment;  // merged into every brew run
        std::optional<bool> runningAsRoot;       // asked of the system when absent
        std::optional<std::string> userName;     // the owner a permission fix gives a folder back to
        std::optional<bool> isLinux;             // which download caches exist; this build's system when absent
        // Where the time of the last `brew update` is kept, so that the next run of the
        // program honours the interval too; cacheFolder()/brew-update-time when absent, and
        // "" keeps it in memory only.
        std::optional<std::string> updateTimeFile;
    };

    BrewManager(CommandRunning& runner, const FileSystemManager& files);
    BrewManager(CommandRunning& runner, const FileSystemManager& files, Options options);
    ~BrewManager() override;

    std::vector<Package> listInstalled(std::stop_token stop) override;
    std::vector<Package> checkOutdated(std::stop_token stop) override;
    void update(const Package& package, std::stop_token stop) override;

    // Operations of the coordinator and the batch updater.
    OutdatedResult fetchOutdated(std::stop_token stop = {});
    std::vector<InstalledItem> listInstalledFormulae(std::stop_token stop = {});
    std::vector<InstalledItem> listInstalledCasks(std::stop_token stop = {});
    std::map<std::string, CaskDetails> fetchCaskDetails(std::stop_token stop = {});
    // Throws ParsedBrewError, GhostCaskError, CommandError (timeout), CancellationError.
    void upgrade(const Package& package, const ProgressHandler& onProgress, std::stop_token stop = {});

    void setOutdatedModeProvider(OutdatedModeProvider provider);
    std::optional<std::string> lastOutdatedWarning() const;
    std::optional<std::string> cachedBrewPath() const;
    std::set<std::string> manualInstallerCasks() const;
    std::set<std::string> autoUpdatingCasks() const;
    FormulaDiagnostics formulaDiagnostics() const;
    BrewAPIClient& apiClient();

    // "/opt/homebrew", "/usr/local", then the Linux prefix.
    static std::vector<std::string> defaultPrefixes();
    static std::vector<std::string> outdatedArguments(BrewOutdatedMode mode);
    static std::string_view phaseKey(BrewUpgradePhase phase);
    static std::optional<BrewUpgradePhase> phaseForLine(std::string_view line);

    // Parsers of brew's output. Each keeps what it can read and adds a line to `warnings`
    // for what it could not; none throws.
    // nullopt when the text is not a JSON object at all.
    static std::optional<OutdatedResult> parseOutdatedJson(std::string_view text, std::vector<std::string>& warnings);
    // The complete entries of a truncated or damaged outdated document.
    static OutdatedResult salvageOutdatedJson(std::string_view text, std::vector<std::string>& warnings);
    // `brew outdated --verbose` lines: "name (1.0, 1.1) < 1.2", "token (1.0) != 1.2".
    static OutdatedResult parseOutdatedText(std::string_view text, std::vector<std::string>& warnings);
    // `brew list --versions` lines: a name and one or more versions.
    static std::vector<InstalledItem> parseVersionListing(std::string_view text, std::vector<std::string>& warnings);
    static std::map<std::string, CaskDetails> parseCaskDetails(std::string_view text,
                                                               std::vector<std::string>& warnings);

protected:
    std::optional<std::string> locateExecutable(std::stop_token stop) override;

private:
    struct OutdatedOutcome {
        OutdatedResult result;
        bool failed = false;
        std::optional<std::string> warning;
    };
    struct CachedOutdated {
        Clock::TimePoint timestamp;
        OutdatedOutcome outcome;
    };
    struct Attempt {
        bool succeeded = false;
        std::string output;  // standard output and error together
    };
    enum class Repair { AlreadyInstalled, Reinstall, Force, FullyQualified, ChecksumCache, Link, Unlink };
    class PhaseTracker;

    // Hands over each complete object inside the arrays of the top-level object, with the
    // array's key, in one linear pass; a truncated tail is ignored.
    static void forEachArrayObject(std::string_view text,
                                   const std::function<void(std::string_view key, std::string_view object)>& onObject);
    static std::optional<OutdatedInfo> outdatedEntry(const Json& item, std::vector<std::string>& warnings);
    static std::optional<CaskDetails> caskDetailsEntry(const Json& item, std::vector<std::string>& warnings);

    // Running brew.
    CommandRequest brewRequest(std::vector<std::string> arguments, double timeout) const;
    ShellCommandResult runBrew(std::vector<std::string> arguments, double timeout, std::stop_token stop,
                               bool allowNonZeroExit = false);
    Clock& clock() const;
    void invalidateListings();
    bool runningAsRoot() const;
    std::vector<std::string> prefixCandidates() const;
    std::optional<std::string> existingPrefixFolder(std::string_view folder) const;

    // Outdated.
    OutdatedOutcome outdatedOutcome(std::stop_token stop);
    OutdatedOutcome runOutdatedQuery(const std::vector<std::string>& arguments, std::stop_token stop);
    void refreshIndexIfDue(std::stop_token stop);
    std::string updateTimeFile() const;
    std::optional<Clock::TimePoint> loadUpdateTime() const;
    void saveUpdateTime(std::optional<Clock::TimePoint> time) const;
    std::optional<OutdatedResult> runOutdatedFallback(std::string& error, std::stop_token stop);

    // Inventory.
    struct Listing {
        std::vector<InstalledItem> items;
        std::optional<std::string> failure;  // the listing command's error, even when recovered
    };
    Listing listFormulae(std::stop_token stop);
    Listing listCasks(std::stop_token stop);
    std::vector<InstalledItem> recoverFromCellar();
    std::vector<InstalledItem> scanCaskroom(std::vector<InstalledItem> listed, bool listingFailed);
    std::vector<InstalledItem> listCaskTokens(std::stop_token stop);

    // Upgrade.
    void runUpgrade(const Package& package, PhaseTracker& tracker, std::stop_token stop);
    Attempt runUpgradeCommand(std::vector<std::string> arguments, double timeout, PhaseTracker& tracker,
                              std::stop_token stop);
    std::optional<Repair> nextRepair(const std::string& output, const std::set<Repair>& tried, bool isCask,
                                     const std::string& name, const std::string& qualifiedName) const;
    std::optional<Attempt> applyRepair(Repair repair, const Package& package, const std::string& name,
                                       const std::string& output, PhaseTracker& tracker, std::stop_token stop);
    std::optional<Attempt> repairChecksumCache(const std::string& name, const std::string& output, bool isCask,
                                               PhaseTracker& tracker, std::stop_token stop);
    std::optional<Attempt> repairConflicts(const std::string& name, const std::string& output,
                                           PhaseTracker& tracker, std::stop_token stop);
    std::string qualifiedName(const std::string& name, bool isCask) const;
    // The casks whose details have `flag` set.
    std::set<std::string> casksWhere(bool CaskDetails::*flag) const;
    bool isInsideDownloadCache(const std::string& path) const;
    // What the user may run to give back a folder brew could not write: only for a path that
    // resolves (links followed) to a folder strictly inside a prefix Homebrew has on this system.
    std::optional<std::string> ownershipFixCommand(const std::string& reportedPath) const;
    ParsedBrewError withOwnershipFix(ParsedBrewError error, const std::string& output) const;
    std::optional<std::string> installedVersion(const Package& package, std::stop_token stop);

    Options options_;
    std::unique_ptr<BrewAPIClient> ownedApiClient_;

    mutable std::mutex brewMutex_;
    OutdatedModeProvider outdatedMode_;
    std::optional<std::string> cachedBrewPath_;
    std::optional<Clock::TimePoint> lastBrewUpdateTime_;
    int upgradesRunning_ = 0;  // our own upgrades may be using their .upgrading folders
    std::map<std::string, CachedOutdated> outdatedCache_;
    InFlight<OutdatedOutcome> inFlightOutdatedTasks_;
    std::optional<std::string> lastOutdatedWarning_;
    std::map<std::string, std::string> cachedBrewOutdatedJSONByArguments_;
    std::map<std::string, CaskDetails> caskDetails_;
    FormulaDiagnostics formulaDiagnostics_;
};

}  // namespace vt
