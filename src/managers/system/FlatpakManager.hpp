#pragma once

#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "managers/BaseManager.hpp"

namespace vt {

// The adapter for Flatpak applications, of the user's installation and the system's. The
// listing reads `flatpak list --app --columns=...`, the check `flatpak remote-ls --updates`
// of each installation; both print one tab-separated line per ref. An application is known
// by its installation and its ref ("app/ID/ARCH/BRANCH"), so one installed from two
// branches is two items. Flatpak versions are optional: without one the commit stands in,
// and an update that our version rules cannot call newer is marked "update available". An update is
// `flatpak update -y --user|--system REF`; Flatpak asks for rights itself where needed.
// Listing and detection never throw for a flatpak failure (only CancellationError): they
// publish errorMessage(). update() throws CommandError, std::invalid_argument or
// CancellationError. Thread-safe; no lock is held while flatpak runs.
class FlatpakManager final : public BaseManager {
public:
    static const SourceRow& source();

    static constexpr double kListTimeout = 60;
    // remote-ls reads each remote's summary over the network.
    static constexpr double kUpdatesTimeout = 120;
    static constexpr double kUpdateTimeout = 1800;

    // The columns we ask for, in order.
    static constexpr const char* kListColumns = "--columns=application,version,branch,arch,origin,installation,active";
    static constexpr const char* kUpdatesColumns = "--columns=application,version,branch,arch,origin,commit";

    struct Entry {
        std::string application;  // "org.gimp.GIMP"
        std::string version;      // may be empty
        std::string branch;       // "stable", "beta", "23.08"...
        std::string arch;
        std::string origin;
        std::string installation;  // "user", "system" or a named one
        std::string commit;

        std::string ref() const { return "app/" + application + "/" + arch + "/" + branch; }
        friend bool operator==(const Entry&, const Entry&) = default;
    };
    struct Parsed {
        std::vector<Entry> entries;
        std::vector<std::string> rejected;  // lines whose ref would not be a valid one
    };

    FlatpakManager(CommandRunning& runner, const FileSystemManager& files);

    std::vector<Package> listInstalled(std::stop_token stop) override;
    std::vector<Package> checkOutdated(std::stop_token stop) override;
    void update(const Package& package, std::stop_token stop) override;

    // Lines of `flatpak list` (installation given) or `remote-ls --updates` (installation
    // left to the caller). A header line, blank lines and lines with too few columns are left
    // out; an application, branch or architecture that could not form a ref is rejected.
    static Parsed parseList(std::string_view text);
    static Parsed parseUpdates(std::string_view text, std::string_view installation);
    // A ref part: letters, digits, ".", "_" and "-", not starting with "-".
    static bool isRefPart(std::string_view part);

private:
    ShellCommandResult runFlatpak(std::vector<std::string> arguments, double timeout, std::stop_token stop);
    static Package packageOf(const Entry& entry);
};

}  // namespace vt
