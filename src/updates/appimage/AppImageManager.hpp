#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "managers/BaseManager.hpp"
#include "sources/appimage/AppImageInventory.hpp"
#include "sources/appimage/AppImageUpdateCheck.hpp"

namespace vt {

// The AppImages of the user, as items of the consolidated table. The listing walks the
// AppImage folders (AppImageScanner); the check asks each image's update information
// (AppImageUpdateChecker); an update replaces the file itself:
//   1. the offer is found again and must be exactly the version shown, from the file shown;
//   2. the new file is downloaded next to the old one (a stall limit, no more bytes than
//      announced), its SHA-1 or SHA-256 compared with the one the offer gives;
//   3. it must be an AppImage of the same application, not older than the installed one;
//   4. the old file is kept as NAME.previous while the new one, given the old file's mode, is
//      renamed over it; NAME.previous goes once the new file is in place.
// Every refusal leaves the installed file as it was. A running AppImage (its process, or its
// mount under /tmp/.mount_*) is replaced only when `confirmRunning` says so.
// Listing and detection never throw (only CancellationError). update() throws
// AppImageUpdateError or CancellationError.
class AppImageUpdateError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class AppImageManager final : public BaseManager {
public:
    static const SourceRow& source();

    static constexpr double kStallTimeLimit = 60;

    struct Options {
        AppImageScanner::Options scanner;
        AppImageUpdateChecker::Options checker;
        // Asked before a running AppImage is replaced; refused when not given.
        std::function<bool(const std::string& path)> confirmRunning;
        std::string procFolder = "/proc";
    };

    AppImageManager(CommandRunning& runner, const FileSystemManager& files);
    AppImageManager(CommandRunning& runner, const FileSystemManager& files, Options options);

    std::vector<Package> listInstalled(std::stop_token stop) override;
    std::vector<Package> checkOutdated(std::stop_token stop) override;
    void update(const Package& package, std::stop_token stop) override;
    // Exactly the version shown: update() refuses any other.
    std::optional<std::string> pinnedVersion(const Package& package) const override { return package.latestVersion; }

    // Set once, before any update: who is asked before a running AppImage is replaced.
    void setConfirmRunning(std::function<bool(const std::string& path)> confirm) {
        options_.confirmRunning = std::move(confirm);
    }

    // The running copies of a file: its process or its mount. Empty when none.
    std::vector<std::string> runningUses(const std::string& path) const;
    // How the row names an image's update information ("zsync", "GitHub owner/repo"...).
    std::string updateInformationLabel(const AppImageFile& image);

protected:
    std::optional<std::string> locateExecutable(std::stop_token stop) override;

private:
    AppImageUpdateChecker& checker();
    Package packageOf(const AppImageFile& image);
    void replace(const AppImageFile& installed, const AppImageOffer& offer, std::stop_token stop);

    Options options_;
    std::mutex checkerMutex_;
    std::unique_ptr<AppImageUpdateChecker> checker_;
    std::shared_ptr<GitHubReleasesManager> gitHub_;
};

}  // namespace vt
