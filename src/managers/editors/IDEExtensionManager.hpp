#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "managers/BaseManager.hpp"
#include "managers/LatestVersionCache.hpp"
#include "managers/editors/ExtensionMarketplace.hpp"
#include "system/Endpoints.hpp"
#include "system/NetworkClient.hpp"

namespace vt {

enum class IDEType { VSCode, VSCodeInsiders, VSCodium, Cursor, Windsurf };

// One editor of the family: where its tool is, which marketplace it installs from.
struct IDEEditor {
    IDEType type;
    std::string id;           // "vscode", the row and the stable keys' prefix
    std::string name;         // display name
    std::string binaryName;   // "code"
    std::string appName;      // the macOS application, "Visual Studio Code"
    Service marketplace;      // VsMarketplace, CursorMarketplace or OpenVsx
    PackageType packageType;
    ManagerToggleKey toggle;
    std::string logName;      // "VSCode": "VSCodeManager" in log lines
    std::string linuxFolder;  // what the Linux packages install, "/usr/share/code"
    std::string flatpakId;    // "" when the editor has no Flatpak
    std::string dataFolder;   // under the home, ".vscode": its extensions are in DATA/extensions
};

// The extensions of one editor (one instance per editor, each its own source). Listing runs
// `TOOL --list-extensions --show-versions`; the check asks the editor's marketplace for every
// version of each extension and keeps the newest one built for this machine, not a
// pre-release over a stable install, and not needing a newer editor than the installed one.
// A scan that lists anew runs the full check; a scan that reuses the last inventory runs the
// lightweight one (short requests, a budget for the whole round), where extensions not
// reached keep the latest version known from earlier rounds. An update installs through the
// tool and, when the tool cannot reach the wanted version, from the marketplace's VSIX file;
// either way the list is read again to verify. Listing and checks never throw for a tool or
// marketplace failure (only CancellationError); update() throws IDEExtensionError. Thread-safe.
class IDEExtensionManager final : public BaseManager {
public:
    static const std::vector<IDEEditor>& editors();
    static const IDEEditor& editor(IDEType type);
    static const SourceRow& source(IDEType type);
    // Where the editor's tool may be, in order: the macOS application and Homebrew folders,
    // then the Linux packages, Snap, ~/.local/bin and the Flatpak exports.
    static std::vector<std::string> executableCandidates(const IDEEditor& editor, const std::string& home);
    // The extension's page on its marketplace.
    static std::string marketplacePage(const IDEEditor& editor, const std::string& identifier);

    static constexpr double kInventoryTimeout = 20;
    static constexpr double kMarketplaceRequestTimeout = 30;
    static constexpr double kLightweightRequestTimeout = 5;
    static constexpr double kLightweightBudget = 12;
    static constexpr double kInstallTimeout = 300;
    static constexpr double kDownloadTimeout = 300;
    static constexpr double kVersionTimeout = 10;
    static constexpr std::size_t kLookupConcurrency = 8;
    // Open VSX answers one version per request: older ones are tried this many at most.
    static constexpr std::size_t kOpenVsxWalkLimit = 10;

    struct ResolvedVSIXSource {
        std::string url;
        std::string version;
        Service marketplace;
    };

    struct Options {
        std::optional<std::string> home;
        std::optional<std::string> cacheFile;  // "" keeps the latest versions in memory only
        double lightweightBudget = kLightweightBudget;
        double lightweightRequestTimeout = kLightweightRequestTimeout;
        double inventoryTimeout = kInventoryTimeout;
        NetworkClient* network = nullptr;
    };

    IDEExtensionManager(IDEType type, CommandRunning& runner, const FileSystemManager& files);
    IDEExtensionManager(IDEType type, CommandRunning& runner, const FileSystemManager& files, Options options);
    ~IDEExtensionManager() override;

    const IDEEditor& editor() const noexcept { return editor_; }

    std::vector<Package> listInstalled(std::stop_token stop) override;
    std::vector<Package> checkOutdated(std::stop_token stop) override;
    void update(const Package& package, std::stop_token stop) override;
    std::optional<std::string> pinnedVersion(const Package& package) const override { return exactVersion(package); }

    // One round of marketplace look-ups over the listed extensions; the outdated ones.
    std::vector<Package> checkForUpdates(bool lightweight, std::stop_token stop);

    // The installed editor's version, for the engine requirements: its product.json or
    // package.json beside the tool, else `TOOL --version`.
    std::optional<std::string> editorVersion(std::stop_token stop);

protected:
    std::optional<std::string> locateExecutable(std::stop_token stop) override;

private:
    struct Round;

    std::string home() const;
    std::vector<InstalledExtension> readInstalled(std::stop_token stop);
    Package makePackage(const InstalledExtension& extension) const;
    std::optional<Json> productFile(const char* name) const;
    std::optional<std::string> cursorClientVersion() const;
    // The newest installable version of one extension; nullopt when the marketplace gave none.
    // `releases`, when given, receives the installable versions the same answers date.
    std::optional<MarketplaceVersion> latestFor(const InstalledExtension& extension, const VersionFilter& filter,
                                                Round& round, std::stop_token stop,
                                                std::vector<PublishedRelease>* releases = nullptr);
    std::vector<MarketplaceVersion> galleryVersions(const std::string& identifier, Round& round, std::stop_token stop);
    // /api/NAMESPACE/NAME, or /api/NAMESPACE/NAME/VERSION.
    std::optional<Json> openVsxDocument(const std::string& identifier, const std::string& version, Round& round,
                                        std::stop_token stop);
    std::optional<MarketplaceVersion> galleryLatest(const InstalledExtension& extension, const VersionFilter& filter,
                                                    Round& round, std::stop_token stop,
                                                    std::vector<PublishedRelease>* releases);
    std::optional<MarketplaceVersion> openVsxLatest(const InstalledExtension& extension, const VersionFilter& filter,
                                                    Round& round, std::stop_token stop);
    std::optional<std::string> send(HttpRequest request, Round& round, std::stop_token stop);
    void remember(const std::string& identifier, const MarketplaceVersion& version);
    std::optional<ResolvedVSIXSource> resolveVSIX(const std::string& identifier, const std::string& version,
                                                  std::stop_token stop);
    // Runs the tool's install; the failure it reported, or nullopt.
    std::optional<std::string> install(const std::string& argument, std::stop_token stop);
    std::optional<std::string> installFromVSIX(const std::string& identifier, const std::string& version,
                                               std::stop_token stop);

    const IDEEditor& editor_;
    Options options_;
    LatestVersionCache latestCache_;
    std::atomic<bool> listedSinceCheck_{false};
    std::mutex stateMutex_;
    std::optional<std::optional<std::string>> editorVersion_;
    std::map<std::string, std::string> resolvedVSIXURLCache_;
    std::map<std::string, ResolvedVSIXSource> resolvedVSIXSourceCache_;
};

}  // namespace vt
