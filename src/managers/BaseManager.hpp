#pragma once

#include <atomic>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <vector>

#include "base/Cancellation.hpp"
#include "managers/SourceRow.hpp"
#include "model/Package.hpp"
#include "system/CommandRunning.hpp"

namespace vt {

class FileSystemManager;
class NetworkClient;

// The update of one package cannot be done by the tool; the user must run a command.
class PackageManualUpdateRequiredError : public std::runtime_error {
public:
    PackageManualUpdateRequiredError(std::string packageName, std::string command, std::string reason);
    const std::string& packageName() const noexcept { return packageName_; }
    const std::string& command() const noexcept { return command_; }
    const std::string& reason() const noexcept { return reason_; }

private:
    std::string packageName_, command_, reason_;
};

// What every package-manager adapter shares, in the order the refresh pipeline uses it:
// discovery, listing installed items, detecting outdated ones, updating one, updating all.
// Listing and detection never throw for a tool failure: they publish errorMessage() and
// return what they could (a stop request still throws CancellationError). Updates throw
// the runner's errors or the adapter's own. Every method may be called from any thread.
class BaseManager {
public:
    // The adapter's own registration row.
    using Identity = SourceRow;

    BaseManager(Identity identity, CommandRunning& runner, const FileSystemManager& files);
    virtual ~BaseManager() = default;
    BaseManager(const BaseManager&) = delete;
    BaseManager& operator=(const BaseManager&) = delete;

    const Identity& identity() const noexcept { return identity_; }

    // Finds the executable once; later calls answer from the cached result, and callers
    // arriving during a discovery wait for it instead of starting another.
    bool discover(std::stop_token stop = {});
    void forgetDiscovery();
    bool isAvailable() const;
    std::string binaryPath() const;  // "" when not found

    // The installed items, each a Package of this adapter's kinds.
    virtual std::vector<Package> listInstalled(std::stop_token stop) = 0;
    // The files and folders the listing reads (a folder's metadata changes when an entry is
    // added, removed or renamed in it): while none of them changed, the last listing still
    // holds. Empty: the adapter cannot tell. Called before a listing, from its thread.
    virtual std::vector<std::string> listingInputs() { return {}; }
    // The installed items with a newer version, latestVersion filled.
    virtual std::vector<Package> checkOutdated(std::stop_token stop) = 0;
    virtual void update(const Package& package, std::stop_token stop) = 0;
    virtual bool canUpdateAll() const { return false; }
    virtual void updateAll(std::stop_token stop);
    // The exact version update() installs for this package: its latestVersion, passed to a
    // tool that can be told a version. Nothing when the tool installs what it calls its
    // latest, which may be newer than the one shown.
    virtual std::optional<std::string> pinnedVersion(const Package& package) const;
    // Whether the tool takes several of its items in one run (apt's one transaction); such an
    // adapter is given them together through updateTogether().
    virtual bool updatesTogether() const { return false; }
    virtual void updateTogether(const std::vector<Package>& packages, std::stop_token stop);

    // The client every request of this adapter goes through; the composition root gives
    // every adapter the same one.
    void setNetwork(NetworkClient& network);

    // Whether the user set a minimum release age for this source: its check then keeps the
    // publish times of the releases it reads, where that costs no extra request per item.
    void setWantsPublishTimes(bool wanted) noexcept { wantsPublishTimes_ = wanted; }
    bool wantsPublishTimes() const noexcept { return wantsPublishTimes_; }

    bool isLoading() const;
    std::optional<std::string> errorMessage() const;
    // The last listing, as published for the interface.
    std::vector<Package> packages() const;

protected:
    // Finds the executable; the default runs the shared locator over identity().executables
    // and the row's own folders under the home.
    virtual std::optional<std::string> locateExecutable(std::stop_token stop);
    std::optional<std::string> locateDeclared(std::stop_token stop, const std::string& home) const;
    // For a tool that installs itself in a folder of its own: ROOT/bin/<first executable>
    // when it is there, else locateDeclared().
    std::optional<std::string> locateInOwnFolder(const std::string& root, std::stop_token stop,
                                                 const std::string& home) const;
    // What such a tool runs with: `variable` naming ROOT, ROOT/bin first on the PATH, no
    // colour, then `overrides`.
    static std::map<std::string, std::string> ownFolderEnvironment(const std::string& variable, const std::string& root,
                                                                   const std::map<std::string, std::string>& overrides);

    // A package's latestVersion when it can go on a tool's command line as an exact version:
    // a real version of letters, digits and ". + - ~ : _", never a placeholder or an option.
    static std::optional<std::string> exactVersion(const Package& package);
    // For listingInputs(): `folder` and every entry directly in it (what is installed there,
    // each replaced or touched by an install, an upgrade or a removal).
    static void addFolderAndEntries(std::vector<std::string>& paths, const std::string& folder);
    // A variable of `overrides`, else of this process's environment; nothing when empty.
    static std::optional<std::string> variable(const std::map<std::string, std::string>& overrides, const char* name);

    // Runs the tool through the runner; a stop surfaces as CancellationError, whatever the
    // runner calls it, so that every adapter tells a cancelled scan from a failed tool alike.
    ShellCommandResult run(const CommandRequest& request, std::stop_token stop) const;
    ShellCommandResult runStreaming(const CommandRequest& request, CommandRunning::ChunkHandler onStdout,
                                    CommandRunning::ChunkHandler onStderr, std::stop_token stop) const;

    // Runs `work` (a tool, usually); what its failure says, or nothing when it succeeded.
    // A stop surfaces as CancellationError, whatever the failure looked like.
    static std::optional<std::string> failureOf(const std::function<void()>& work, const std::stop_token& stop);

    // The client given to setNetwork(), else the process's shared one.
    NetworkClient& network() const;

    void setLoading(bool loading);
    // Marks a listing or check in progress for its whole scope, whichever way it ends.
    class LoadingScope {
    public:
        explicit LoadingScope(BaseManager& manager) : manager_(manager) { manager_.setLoading(true); }
        ~LoadingScope() { manager_.setLoading(false); }
        LoadingScope(const LoadingScope&) = delete;
        LoadingScope& operator=(const LoadingScope&) = delete;

    private:
        BaseManager& manager_;
    };
    void setErrorMessage(std::optional<std::string> message);
    void publishPackages(std::vector<Package> packages);
    // Nothing found: publishes `error` (none when the tool is simply not installed) and
    // returns no package; publishEmptyListing() also empties the published listing.
    std::vector<Package> nothingFound(std::optional<std::string> error = std::nullopt);
    std::vector<Package> publishEmptyListing(std::optional<std::string> error = std::nullopt);
    // Runs `read` (a tool, usually); when the tool fails, publishes the error message
    // `failure` makes of its error and gives nothing. A stop surfaces as CancellationError.
    template <class Read, class Failure>
    auto readOrReport(const std::stop_token& stop, Read&& read, Failure&& failure) -> std::optional<decltype(read())> {
        try {
            return read();
        } catch (const CommandError& error) {
            if (stop.stop_requested()) throw CancellationError();
            setErrorMessage(failure(error));
            return std::nullopt;
        }
    }
    // The listing of a tool that reads its installed items in one go: nothing (and no error)
    // when the tool is not installed; what `read` gives, published; an empty listing with
    // `failure`'s message when the tool fails.
    std::vector<Package> publishToolListing(const std::stop_token& stop,
                                            const std::function<std::vector<Package>()>& read,
                                            const std::function<std::string(const CommandError&)>& failure);
    // The outdated rows a tool printed, each replaced by the published listing's package of
    // the same name (which knows where it is installed) with the row's latest version.
    std::vector<Package> overListing(std::vector<Package> rows) const;

    CommandRunning& runner_;
    const FileSystemManager& files_;

private:
    Identity identity_;
    mutable std::mutex mutex_;
    bool isAvailable_ = false;
    std::string binaryPath_;
    bool isLoading_ = false;
    std::optional<std::string> errorMessage_;
    std::optional<bool> cachedDiscoveryResult_;
    std::optional<std::shared_future<bool>> discoveryTask_;
    std::vector<Package> packages_;
    NetworkClient* network_ = nullptr;
    std::atomic<bool> wantsPublishTimes_{false};
};

}  // namespace vt
