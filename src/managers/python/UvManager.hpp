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
#include "base/Json.hpp"
#include "managers/BaseManager.hpp"
#include "managers/LatestVersionCache.hpp"
#include "managers/python/UvReceipt.hpp"
#include "system/CommandRunning.hpp"

namespace vt {

class NetworkClient;

// The adapter for tools installed with `uv tool install`. uv is run by the absolute path
// found at discovery, with a time limit. Listing reads `uv tool list` and each tool's
// receipt; only tools installed from the registry are compared with PyPI (latest versions
// kept in "uv_cache.json" of the cache folder for 1800 s, looked up a few at a time), while
// Git, local-path and direct-URL installs carry a note and never an update. Listing and
// detection never throw for a uv or network failure (only CancellationError): they publish
// errorMessage(). update() throws PackageManualUpdateRequiredError for a tool uv cannot
// upgrade from the registry, UvError, or CancellationError. Thread-safe; no lock is held
// while uv runs or a request is sent.
class UvManager final : public BaseManager {
public:
    // The row that declares this source to the rest of the program.
    static const SourceRow& source();

    // `tool list` only reads the receipts; a minute is ample.
    static constexpr double kListTimeout = 60;
    static constexpr double kUpgradeTimeout = 600;
    static constexpr const char* kCacheFileName = "uv_cache.json";

    struct Tool {
        std::string name;
        std::string version;

        friend bool operator==(const Tool&, const Tool&) = default;
    };

    struct Options {
        Clock* clock = nullptr;                              // Clock::shared() when null
        NetworkClient* network = nullptr;                    // the one the façade gives, else the shared one, when null
        std::optional<std::string> home;                     // paths::home() when absent
        std::optional<std::string> cacheFile;                // paths::cacheFolder() + "/uv_cache.json" when absent
        std::optional<std::vector<std::string>> candidates;  // executableCandidates(home) when absent
    };

    UvManager(CommandRunning& runner, const FileSystemManager& files);
    UvManager(CommandRunning& runner, const FileSystemManager& files, Options options);
    ~UvManager() override;

    std::vector<Package> listInstalled(std::stop_token stop) override;
    std::vector<Package> checkOutdated(std::stop_token stop) override;
    void update(const Package& package, std::stop_token stop) override;

    // One tool per line "NAME vVERSION"; the "- executable" lines under each are skipped.
    static std::vector<Tool> parseToolList(std::string_view text);
    // "/opt/homebrew/bin/uv", "/usr/local/bin/uv", home + "/.local/bin/uv", home + "/.cargo/bin/uv".
    static std::vector<std::string> executableCandidates(const std::string& home);
    // The note shown for an install that is not compared with PyPI; nullopt for the registry.
    static std::optional<std::string> sourceNote(const std::string& name, UvReceipt::SourceKind kind);

    // home + "/.local/share/uv/tools/" + tool + "/uv-receipt.toml"
    std::string receiptPath(const std::string& tool) const;

protected:
    // The candidates first, then the shared locator (`which uv` and the usual folders).
    std::optional<std::string> locateExecutable(std::stop_token stop) override;

private:
    struct Installed {
        Tool tool;
        UvReceipt receipt;
    };

    Clock& clock() const;
    std::string home() const;
    // Throws CommandError (never a cancellation one: that becomes CancellationError).
    ShellCommandResult runUv(const std::string& uv, std::vector<std::string> arguments, double timeout,
                             std::stop_token stop);
    // Throws what runUv throws.
    std::vector<Installed> readInstalled(const std::string& uv, std::stop_token stop);
    UvReceipt readReceipt(const std::string& tool) const;
    Package makePackage(const Installed& installed) const;
    std::vector<Package> publishInstalled(std::vector<Installed> installed);

    // The latest version on PyPI; nullopt when unknown.
    // The PyPI document's latest version, with its dated releases when `dated`.
    // PyPI's document of a tool, as the latest-version cache keeps it.
    static std::optional<LatestVersionCache::Answer> answerOf(const Json& document, const std::string& name, bool dated);

    Options options_;

    mutable std::mutex uvMutex_;
    std::optional<std::vector<Installed>> installed_;  // the last listing
    LatestVersionCache latestCache_;
};

}  // namespace vt
