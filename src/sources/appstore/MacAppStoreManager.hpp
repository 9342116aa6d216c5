#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "base/Clock.hpp"
#include "model/Application.hpp"
#include "sources/appstore/DirectMacAppStoreChecker.hpp"
#include "sources/appstore/MasCliManager.hpp"

namespace vt {

class CommandRunning;
class BrewAPIClient;

// An application installed from the Mac App Store (a Mac app, or an iPhone/iPad app wrapped
// for Apple silicon).
struct MacAppStoreApp {
    std::string id;  // the item identifier
    std::string name;
    std::optional<std::string> bundleIdentifier;
    bool needsAppStoreIDLookup = false;
    std::string currentVersion;
    std::optional<std::string> latestVersion;
    std::optional<std::string> description;
    std::optional<std::string> homepage;
    std::optional<Clock::TimePoint> installDate;
    std::optional<std::string> size;
    bool isIOSApp = false;
    std::string bundlePath;  // where it was found on disk; empty for one only `mas list` names
};

// One line of `mas list` or `mas outdated`.
struct MasListEntry {
    std::string id;
    std::string name;
    std::string version;                    // installed
    std::optional<std::string> newVersion;  // `mas outdated` only
};

// Lines that carry an item identifier (six digits or more) and a version; others are skipped.
std::vector<MasListEntry> parseMasList(std::string_view output);
// The same with the installed and the latest version ("(1.2 -> 1.3)": the first and last
// versions after the name).
std::vector<MasListEntry> parseMasOutdated(std::string_view output);

// An iPhone/iPad bundle wrapped for the Mac: its iTunesMetadata.plist in any of the places
// it is found, the inner Info.plist when the metadata lacks the version. Nothing for a
// bundle without one.
std::optional<MacAppStoreApp> readWrappedIOSApp(const std::string& bundlePath);
// Whether the store installed the bundle: its receipt, or the store's wrapper of an
// iPhone/iPad app. A bundle installed from a download is not the store's to update, even
// when the store sells the same application.
bool isInstalledFromAppStore(const std::string& bundlePath);
// Whether an Info.plist (bytes) describes an iPhone/iPad app.
bool hasIOSInfoPlistKeys(std::string_view infoPlistBytes);

// Lists the store applications and finds their latest versions from `mas`, the receipts in
// the bundles and the iTunes API. Thread-safe; no lock is held while a command or a request
// runs.
class MacAppStoreManager {
public:
    struct Options {
        MasCliManager* mas = nullptr;                  // required
        DirectMacAppStoreChecker* checker = nullptr;   // required
        CommandRunning* runner = nullptr;              // Spotlight's identifier; none asked when null
        std::string spotlightAttributesTool = "/usr/bin/mdls";
        // Given a bundle identifier and a name, a latest version from the Homebrew cask index.
        std::function<std::optional<std::string>(const std::string&, const std::string&)> caskFallback;
    };

    explicit MacAppStoreManager(Options options);

    using CaskFallback = std::function<std::optional<std::string>(const std::string&, const std::string&)>;
    // The Homebrew cask index as a fallback: a cask whose token is the application's name
    // ("Things 3" → "things-3") or its bundle identifier's last part. The index is fetched
    // once, when first needed, unless it is already loaded.
    static CaskFallback caskFallbackFrom(BrewAPIClient& client);

    // Rebuilds the list and the latest versions; bundles are looked for directly in the
    // folders given.
    std::vector<MacAppStoreApp> refresh(const std::vector<std::string>& folders, std::stop_token stop = {});
    std::vector<MacAppStoreApp> apps() const;
    bool isAppStoreSignedIn() const;
    bool isLoading() const;

    // The engine's check of one application whose source is the Mac App Store: its item
    // identifier (resolved by bundle identifier when the receipt did not give it), then the
    // lookup. Nothing when no version is found.
    // A wrapped iPhone/iPad app of the last listing is looked up with its own kinds.
    std::optional<Application> checkApplication(const Application& application, std::stop_token stop);
    // An application without a receipt whose bundle identifier the store knows exactly.
    std::optional<Application> discoverOrphan(const Application& application, std::stop_token stop);

private:
    static std::vector<std::string> bundlesIn(const std::vector<std::string>& folders);
    std::optional<std::string> spotlightIdentifier(const std::string& bundlePath, std::stop_token stop) const;

    Options options_;
    mutable std::mutex mutex_;
    std::vector<MacAppStoreApp> apps_;
    bool isAppStoreSignedIn_ = true;
    bool isLoading_ = false;
};

}  // namespace vt
