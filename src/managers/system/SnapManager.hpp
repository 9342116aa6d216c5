#pragma once

#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "managers/BaseManager.hpp"

namespace vt {

// The adapter for snaps. The listing reads the table of `snap list`, the check the table of
// `snap refresh --list` (which says "All snaps up to date." on its error stream when there
// is nothing, and exits 0). Both tables are aligned with blanks and begin with a header
// line. An update is `snap refresh NAME`; snapd asks for rights itself where needed.
// Listing and detection never throw for a snap failure (only CancellationError): they
// publish errorMessage(). update() throws CommandError, std::invalid_argument or
// CancellationError. Thread-safe; no lock is held while snap runs.
class SnapManager final : public BaseManager {
public:
    static const SourceRow& source();

    static constexpr double kListTimeout = 60;
    // snapd asks the store for every installed snap.
    static constexpr double kRefreshListTimeout = 120;
    static constexpr double kRefreshTimeout = 1800;

    struct Entry {
        std::string name;
        std::string version;
        std::string revision;
        std::string tracking;  // "latest/stable"; empty in the refresh list
        std::string notes;     // "-", "classic", "disabled", ...

        friend bool operator==(const Entry&, const Entry&) = default;
    };

    SnapManager(CommandRunning& runner, const FileSystemManager& files);

    std::vector<Package> listInstalled(std::stop_token stop) override;
    std::vector<Package> checkOutdated(std::stop_token stop) override;
    void update(const Package& package, std::stop_token stop) override;

    // "Name Version Rev Tracking Publisher Notes" rows of `snap list`; disabled revisions
    // and malformed rows are left out.
    static std::vector<Entry> parseList(std::string_view text);
    // "Name Version Rev Size Publisher Notes" rows of `snap refresh --list`.
    static std::vector<Entry> parseRefreshList(std::string_view text);
    static bool isSnapName(std::string_view name);

private:
    ShellCommandResult runSnap(std::vector<std::string> arguments, double timeout, std::stop_token stop);
};

}  // namespace vt
