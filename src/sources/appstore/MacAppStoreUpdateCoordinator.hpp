#pragma once

#include <functional>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>

#include "sources/appstore/MasCliManager.hpp"

namespace vt {

class MacAppStoreUpdateError : public std::runtime_error {
public:
    enum class Kind {
        UpdateFailed,
        DownloadFailed,
        NotInstalled,
        Timeout,
        Cancelled,
        AppStoreAccountUnavailable,
        ManualAppStoreUpdateRequired,
        NotFromAppStore,  // installed by a download: `mas` is never asked to replace it
        NotNewer,         // what is installed now is already the offered version or newer
    };

    static MacAppStoreUpdateError updateFailed(const std::string& detail);
    static MacAppStoreUpdateError downloadFailed(const std::optional<std::string>& detail);
    static MacAppStoreUpdateError notInstalled();
    static MacAppStoreUpdateError timeout();
    static MacAppStoreUpdateError cancelled();
    static MacAppStoreUpdateError appStoreAccountUnavailable();
    // The version did not move: the user has to update from the App Store.
    static MacAppStoreUpdateError manualAppStoreUpdateRequired(const std::string& name, const std::string& version);
    static MacAppStoreUpdateError notFromAppStore(const std::string& name);
    static MacAppStoreUpdateError notNewer(const std::string& message);

    Kind kind() const noexcept { return kind_; }

private:
    MacAppStoreUpdateError(Kind kind, const std::string& text) : std::runtime_error(text), kind_(kind) {}
    Kind kind_;
};

// Runs `mas upgrade` for one application the store installed and checks that its installed
// version moved. Before that, the bundle is read again: a bundle without the store's receipt,
// or one already at the offered version, is refused and `mas` is not run.
class MacAppStoreUpdateCoordinator {
public:
    static constexpr const char* kUpdatesPageAddress = "macappstore://showUpdatesPage";

    struct Target {
        std::string id;  // item identifier
        std::string name;
        std::string bundlePath;
        std::string installedVersion;
        std::optional<std::string> offeredVersion;  // the version the update was shown with
    };
    struct Outcome {
        bool openedInAppStore = false;  // the tool could not do it: the store's updates page is the way
        std::optional<std::string> newVersion;
    };
    struct Options {
        MasCliManager* mas = nullptr;      // required
        CommandRunning* runner = nullptr;  // opens the App Store on a Mac
        // The installed version read from disk; the bundle's Info.plist (or an iPhone app's
        // store metadata) when not set.
        std::function<std::optional<std::string>(const std::string& bundlePath)> installedVersion;
        // Whether the store installed the bundle; isInstalledFromAppStore when not set.
        std::function<bool(const std::string& bundlePath)> installedFromStore;
        std::function<void(const std::string&)> progress;  // "Mise à jour via mas…"
    };

    explicit MacAppStoreUpdateCoordinator(Options options);

    // Throws MacAppStoreUpdateError.
    Outcome update(const Target& target, std::stop_token stop = {});

private:
    Outcome openAppStore(const Target& target, std::stop_token stop);
    Options options_;
};

}  // namespace vt
