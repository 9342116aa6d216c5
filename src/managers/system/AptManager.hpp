#pragma once

#include <chrono>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "base/Clock.hpp"
#include "base/Paths.hpp"
#include "managers/BaseManager.hpp"
#include "managers/system/AptCache.hpp"

namespace vt {

class AdminPrompt;

// The adapter for the distribution's own packages on Debian, Ubuntu and their derivatives.
// The pending updates are read from apt's own cache in-process (AptCache): every installed
// package whose candidate (pins and all) is newer, with the archives it comes from, a
// security archive marking the update; held packages are named in a note, never listed.
// Where the program was built without Debian's library they come from a simulated upgrade
// instead (`apt-get -s dist-upgrade`, run as the user without taking apt's lock, with
// LC_ALL=C so that its lines read the same in every language), whose kept-back packages are
// named in the note. Nothing is installed or refreshed by a scan. When the package lists are
// older than a day the note says so, with the command that refreshes them. Updates run
// `apt-get install --only-upgrade -y NAME=VERSION...` through the administrator prompt
// (directly when we are root), which runs only the system's own apt-get.
// Listing and detection never throw for an apt failure (only CancellationError): they
// publish errorMessage(). update() throws AdminPromptError, std::invalid_argument or
// CancellationError. Thread-safe; no lock is held while apt-get runs.
class AptManager final : public BaseManager {
public:
    static const SourceRow& source();

    static constexpr double kSimulateTimeout = 120;
    // Unpacking a kernel or a desktop's worth of libraries on a slow disk.
    static constexpr double kUpgradeTimeout = 3600;
    static constexpr const char* kListsFolder = "/var/lib/apt/lists";
    static constexpr std::chrono::hours kStaleListsAge{24};

    struct Pending {
        std::string name;        // with ":arch" for a foreign architecture, as apt prints it
        std::string installed;
        std::string candidate;
        std::vector<std::string> archives;  // "Debian-Security:12/oldstable-security"
        std::string architecture;
        bool isSecurity = false;

        friend bool operator==(const Pending&, const Pending&) = default;
    };
    struct Simulation {
        std::vector<Pending> pending;
        std::vector<std::string> keptBack;  // held, or waiting on something apt will not do
    };

    struct Options {
        std::string listsFolder = kListsFolder;
        Clock* clock = nullptr;              // Clock::shared() when null
        AdminPrompt* adminPrompt = nullptr;  // the system's prompt when null
        // Read apt's cache in-process; false runs the simulation (and is all a build without
        // Debian's library can do).
        bool readCache = AptCache::isAvailable();
        // Where apt's binary cache of its lists is kept for the next read ("" rebuilds it in
        // memory every time).
        std::string cacheFolder = paths::cacheFolder() + "/apt";
    };

    AptManager(CommandRunning& runner, const FileSystemManager& files);
    AptManager(CommandRunning& runner, const FileSystemManager& files, Options options);
    ~AptManager() override;

    // The pending updates; latestVersion (apt's candidate) is filled already.
    std::vector<Package> listInstalled(std::stop_token stop) override;
    // dpkg's status, the package lists and apt's sources, pins and settings; nothing (always
    // read again) under an APT_CONFIG of its own, whose folders only apt knows.
    std::vector<std::string> listingInputs() override;
    // The same items as the last listing: one reading answers both questions.
    std::vector<Package> checkOutdated(std::stop_token stop) override;
    void update(const Package& package, std::stop_token stop) override;
    std::optional<std::string> pinnedVersion(const Package& package) const override { return exactVersion(package); }
    // One `apt-get install --only-upgrade` for all of them, as `apt-get upgrade` would.
    bool updatesTogether() const override { return true; }
    void updateTogether(const std::vector<Package>& packages, std::stop_token stop) override;
    bool canUpdateAll() const override { return true; }
    void updateAll(std::stop_token stop) override;

    // "Inst NAME [OLD] (NEW ARCHIVE[, ARCHIVE...] [ARCH])" lines and the kept-back block;
    // new installs (no "[OLD]") and every other line are left out. Never throws.
    static Simulation parseSimulation(std::string_view text);
    // A Debian package name, with an optional ":arch" (never an option or a path).
    static bool isPackageName(std::string_view name);
    // The time of the newest file in the lists folder; nothing when it holds none.
    static std::optional<Clock::TimePoint> listsUpdatedAt(const std::string& folder);

private:
    struct Reading {
        std::vector<Package> packages;
        std::vector<std::string> notes;
        std::optional<std::string> failure;
    };
    Reading readFromCache(std::stop_token stop);
    Reading readFromSimulation(std::stop_token stop);
    void upgrade(const std::vector<Package>& packages, std::stop_token stop);
    std::optional<std::string> staleListsNote() const;
    Clock& clock() const;
    AdminPrompt& adminPrompt();

    Options options_;
    std::unique_ptr<AdminPrompt> ownedAdminPrompt_;
    std::mutex aptMutex_;
};

}  // namespace vt
