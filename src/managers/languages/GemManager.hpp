#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "base/Clock.hpp"
#include "managers/BaseManager.hpp"
#include "managers/LatestVersionCache.hpp"

namespace vt {

class AdminPrompt;
class NetworkClient;
class RegistryProbe;

// The adapter for the gems of every Ruby found: the system's, Homebrew's and those of the
// version managers (rbenv, rvm, chruby, asdf, mise). Each gem executable names its gem folders
// (`gem env gempath`), whose specification files are read as RubyGems reads them, by their
// stub lines; `gem list --local` is asked only where a file has none. A gem two Rubies report
// is listed once, from the first executable that reported it, and updated with that same
// executable. Latest versions come from the source's index of latest releases, one request
// ("/latest_specs.4.8.gz", what `gem outdated` reads), kept in the cache folder and asked
// again after half an hour with its ETag; where the index cannot be had, from the RubyGems
// API ("/api/v1/versions/NAME/latest.json"), several at once, kept in "gem_cache.json". With
// release dates wanted, the API dates the gems the index found outdated. `gem outdated`
// itself says nothing at all when rubygems.org is out of reach, which would pass for
// "everything is current". An update runs `gem update NAME` (with "--user-install" when the
// gem directory is not writable), RubyGems itself `gem update --system` (through the
// administrator prompt when not writable), and recognises gem's known failures. Listing and
// detection never throw for a gem or registry failure (only CancellationError); update()
// throws GemError, PackageManualUpdateRequiredError or CancellationError. Thread-safe; no lock
// is held while gem runs or a request is sent.
class GemManager final : public BaseManager {
public:
    static const SourceRow& source();

    static constexpr double kListTimeout = 60;
    static constexpr double kEnvTimeout = 30;
    static constexpr double kSearchTimeout = 120;
    // Native extensions compile during an update.
    static constexpr double kUpdateTimeout = 900;
    static constexpr const char* kCacheFileName = "gem_cache.json";
    static constexpr const char* kIndexFileName = "gem_latest_specs.4.8.gz";
    static constexpr std::chrono::seconds kIndexTimeToLive{1800};
    static constexpr const char* kSystemGem = "/usr/bin/gem";

    enum class GemCategory { Testing, Linting, Rails, Authentication, Database, Tools, Other };

    struct RubyGem {
        std::string name;
        std::string version;  // the newest installed
        bool operator==(const RubyGem&) const = default;
    };

    struct Options {
        Clock* clock = nullptr;
        NetworkClient* network = nullptr;
        AdminPrompt* adminPrompt = nullptr;  // the machine's own when null
        std::optional<std::string> home;
        std::optional<std::string> cacheFile;
        // The gem executables to scan, in priority order, instead of the usual places.
        std::optional<std::vector<std::string>> gemPaths;
        std::map<std::string, std::string> environment;  // over GEM_HOME, GEM_PATH of ours
    };

    GemManager(CommandRunning& runner, const FileSystemManager& files);
    GemManager(CommandRunning& runner, const FileSystemManager& files, Options options);
    ~GemManager() override;

    std::vector<Package> listInstalled(std::stop_token stop) override;
    // The specification folders of every place gems are installed into that Debian, the
    // user's gem folders, GEM_HOME and GEM_PATH, rbenv and asdf use; read without running Ruby.
    std::vector<std::string> listingInputs() override;
    std::vector<Package> checkOutdated(std::stop_token stop) override;
    void update(const Package& package, std::stop_token stop) override;
    // Every gem but RubyGems itself, which `gem update --system` brings to its own latest.
    std::optional<std::string> pinnedVersion(const Package& package) const override;

    // `gem list --local`: "NAME (VERSION[ PLATFORM][, ...][, default: VERSION])"; other lines
    // (headers, warnings about gems whose extensions are not built) are skipped. Never throws.
    static std::vector<RubyGem> parseGemList(std::string_view text);
    // The newest RubyGems release `gem search rubygems-update --remote --exact --all` lists that
    // supports Ruby `rubyVersion`; nullopt when none is known to.
    static std::optional<std::string> compatibleRubyGemsVersion(std::string_view searchOutput,
                                                                std::string_view rubyVersion);
    // "gem install NAME -v VERSION", as gem suggests after "to support your Ruby".
    static std::optional<std::pair<std::string, std::string>> suggestedInstall(std::string_view output);
    static bool isGemName(std::string_view name);
    static GemCategory category(std::string_view name);
    static std::string categoryKey(GemCategory category);  // "enum.gem_category.testing"

    // The gem executables found, in priority order (no two resolving to the same file).
    std::vector<std::string> gemPaths();

protected:
    std::optional<std::string> locateExecutable(std::stop_token stop) override;

private:
    struct Scan {
        std::vector<RubyGem> gems;                                        // merged, by priority
        std::map<std::string, std::string> sourceBinaries;               // name → gem executable
        std::map<std::string, std::map<std::string, std::string>> perBinary;  // executable → name → version
        std::vector<std::string> errors;
    };

    std::string home() const;
    std::map<std::string, std::string> environment() const;
    std::vector<std::string> candidatePaths() const;
    ShellCommandResult runGem(const std::string& gem, std::vector<std::string> arguments, double timeout,
                              std::stop_token stop, bool allowFailure);
    Scan scanAll(std::stop_token stop);
    std::vector<RubyGem> installedGems(const std::string& gem, std::stop_token stop);
    std::optional<std::vector<RubyGem>> readSpecifications(const std::string& gem, std::stop_token stop);
    std::optional<std::map<std::string, std::string>> latestFromIndex(const std::vector<std::string>& names,
                                                                      RegistryProbe& registry, std::stop_token stop);
    std::map<std::string, LatestVersionCache::Answer> latestFromApi(const std::vector<std::string>& names,
                                                                    RegistryProbe& registry, std::stop_token stop);
    std::string indexFile() const;
    Package makePackage(const RubyGem& gem, const Scan& scan) const;
    std::string gemFor(const Package& package);
    std::string rubyVersionOf(const std::string& gem, std::stop_token stop);
    bool gemDirectoryWritable(const std::string& gem, std::stop_token stop);
    void updateRubyGems(const std::string& gem, const Package& package, bool writable, std::stop_token stop);
    void runUpdate(const std::string& gem, const Package& package, std::vector<std::string> arguments,
                   std::stop_token stop);
    AdminPrompt& adminPrompt();

    Options options_;
    std::mutex gemMutex_;
    std::optional<Scan> scan_;
    std::optional<std::string> pathHint_;
    LatestVersionCache latestCache_;
    std::unique_ptr<AdminPrompt> ownedAdminPrompt_;
};

}  // namespace vt
