#pragma once

#include <chrono>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "base/Clock.hpp"
#include "managers/BaseManager.hpp"

namespace vt {

class AdminPrompt;

// The adapter for the distribution's own packages on Debian, Ubuntu and their derivatives.
// The pending updates come from a simulated upgrade (`apt-get -s dist-upgrade`, run as the
// user without taking apt's lock, with LC_ALL=C so that its lines read the same in every
// language): each "Inst" line gives the installed version, the candidate and the archives it
// comes from, a security archive marking the update. Nothing is installed or refreshed by a
// scan. When the package lists are older than a day the listing publishes a note saying so,
// with the command that refreshes them; packages apt keeps back (held ones) are named in
// the same note. Updates run `apt-get install --only-upgrade -y NAME=VERSION...` through the
// administrator prompt (directly when we are root), which runs only the system's own apt-get.
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
    };

    AptManager(CommandRunning& runner, const FileSystemManager& files);
    AptManager(CommandRunning& runner, const FileSystemManager& files, Options options);
    ~AptManager() override;

    // The pending updates of the simulated upgrade; latestVersion is filled already.
    std::vector<Package> listInstalled(std::stop_token stop) override;
    // The same items as the last listing: one simulation answers both questions.
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
    void upgrade(const std::vector<Package>& packages, std::stop_token stop);
    std::optional<std::string> staleListsNote() const;
    Clock& clock() const;
    AdminPrompt& adminPrompt();

    Options options_;
    std::unique_ptr<AdminPrompt> ownedAdminPrompt_;
    std::mutex aptMutex_;
};

}  // namespace vt
