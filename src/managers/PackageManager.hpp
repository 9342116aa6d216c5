#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "base/Clock.hpp"
#include "base/Json.hpp"
#include "managers/BaseManager.hpp"
#include "model/Package.hpp"

namespace vt {

class CommandRunning;
class FileSystemManager;
class NetworkClient;

// A package name that no update command may receive: it begins with "-" (a tool would read
// an option), holds a path separator, a control character, or is "." or "..". Names come
// from tool output and saved files, so they are checked before any update runs.
class InvalidPackageNameError : public std::invalid_argument {
public:
    explicit InvalidPackageNameError(std::string packageName);
    const std::string& packageName() const noexcept { return packageName_; }

private:
    std::string packageName_;
};

// The packages cache file: what the last scan found, and when.
struct PersistedPackages {
    std::vector<Package> packages;
    Clock::TimePoint timestamp{};

    Json toJson() const;
    static PersistedPackages fromJson(const Json& json);  // throws PackageDecodingError
};

// How the Homebrew formula inventory was assembled.
struct FormulaDiagnostics {
    struct SourceSummary {
        std::string source;
        int count = 0;
    };
    Clock::TimePoint startedAt{}, finishedAt{};
    std::vector<SourceSummary> sourceSummaries;
    int totalUniqueFormulas = 0;
    int duplicatesRemoved = 0;
    std::vector<std::string> recoveredFromCellar;
};

// The façade over the command-line adapters: creates each adapter on first use, keeps the
// inventory and which tools are installed, and sends a package's update to the adapter of
// its kind, or to the handler injected for kinds updated elsewhere (Cargo, RubyGems,
// SDKMAN, conda). Thread-safe; no lock is held while an adapter works.
class PackageManager {
public:
    using UpdateHandler = std::function<void(const Package& package, std::stop_token stop)>;

    // `network`, when given, is the one client of every adapter made here.
    PackageManager(std::vector<SourceRow> registrations, CommandRunning& runner, const FileSystemManager& files,
                   NetworkClient* network = nullptr);

    // nullptr when no adapter is registered under the id.
    BaseManager* adapter(std::string_view id);
    // The adapter if one was made already; none is made.
    BaseManager* existingAdapter(std::string_view id);
    BaseManager* adapterFor(PackageType type);
    std::vector<std::string> registeredIds() const;

    void setUpdateHandler(PackageType type, UpdateHandler handler);
    // Throws InvalidPackageNameError for a name no tool may receive, std::invalid_argument
    // when nothing can update the kind; otherwise whatever the adapter or handler throws.
    void updatePackage(const Package& package, std::stop_token stop);
    // What the owner of the package's kind installs (BaseManager::pinnedVersion); nothing
    // for kinds updated by an injected handler.
    std::optional<std::string> pinnedVersion(const Package& package);
    // Whether the owner of a kind takes several items in one run, and that run; the packages
    // are all of one kind. Throws as updatePackage() does.
    bool updatesTogether(PackageType type);
    void updateTogether(const std::vector<Package>& packages, std::stop_token stop);
    // npm's scoped names ("@scope/name") are the one separator a name may hold.
    static bool isSafePackageName(std::string_view name, PackageType type);

    std::vector<Package> packages() const;
    void setPackages(std::vector<Package> packages);

    int activeUpdateCount() const;

private:
    class ActiveUpdate;
    const SourceRow* registrationFor(PackageType type) const;
    static void requireSafeNames(const Package& package);
    UpdateHandler updateHandlerFor(PackageType type) const;
    // Throws std::invalid_argument when nothing updates the kind.
    BaseManager& updatingAdapter(PackageType type);

    std::vector<SourceRow> registrations_;
    CommandRunning& runner_;
    const FileSystemManager& files_;
    NetworkClient* network_;
    mutable std::mutex mutex_;
    std::map<std::string, std::unique_ptr<BaseManager>, std::less<>> adapters_;
    std::map<PackageType, UpdateHandler> updateHandlers_;
    std::vector<Package> packages_;
    int activeUpdateCount_ = 0;
};

}  // namespace vt
