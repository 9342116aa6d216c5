#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "managers/BaseManager.hpp"

namespace vt {

class AdminPrompt;

// Device firmware through fwupd. The listing reads `fwupdmgr get-devices --json` (the
// updatable devices), the check `fwupdmgr get-updates --json`: one row per device with an
// update, its newest release offered, marked as a security update when that release names
// CVE ids among its issues. Without fwupdmgr, or without its daemon, the source is absent
// and says nothing. An update is `fwupdmgr update DEVICE-ID` through the administrator
// prompt, which runs only the system's own fwupdmgr; fwupd installs its newest release for
// the device, and a device that needs a reboot is told so in the row and the plan.
// Listing and detection never throw for a fwupd failure (only CancellationError): they
// publish errorMessage(). update() throws AdminPromptError, std::invalid_argument or
// CancellationError. Thread-safe; no lock is held while fwupdmgr runs.
class FirmwareManager final : public BaseManager {
public:
    static const SourceRow& source();

    static constexpr double kListTimeout = 60;
    // Flashing a system firmware capsule or a dock can take many minutes.
    static constexpr double kUpdateTimeout = 3600;

    struct Release {
        std::string version;
        std::string urgency;  // "low", "medium", "high", "critical"; empty when not given
        std::vector<std::string> issues;  // CVE ids and advisories
        bool isSecurity = false;          // an issue is a CVE id
    };
    struct Device {
        std::string id;
        std::string name;
        std::string version;
        bool needsReboot = false;
        bool updatable = false;
        std::vector<Release> releases;  // as fwupd gives them: the newest first
    };

    struct Options {
        AdminPrompt* adminPrompt = nullptr;  // the system's prompt when null
    };

    FirmwareManager(CommandRunning& runner, const FileSystemManager& files);
    FirmwareManager(CommandRunning& runner, const FileSystemManager& files, Options options);
    ~FirmwareManager() override;

    std::vector<Package> listInstalled(std::stop_token stop) override;
    std::vector<Package> checkOutdated(std::stop_token stop) override;
    void update(const Package& package, std::stop_token stop) override;

    // The "Devices" of fwupdmgr's JSON; devices without an id or a name are left out. Throws
    // std::invalid_argument when the text is not such a document.
    static std::vector<Device> parseDevices(std::string_view json);
    // A device id as fwupd makes them: a SHA-1 in hex.
    static bool isDeviceId(std::string_view id);
    // What fwupdmgr's failure means: its daemon is not running (or not reachable) here.
    static bool isDaemonMissing(std::string_view output);

private:
    ShellCommandResult runTool(std::vector<std::string> arguments, std::stop_token stop);
    static Package packageOf(const Device& device);
    AdminPrompt& adminPrompt();

    Options options_;
    std::mutex promptMutex_;
    std::unique_ptr<AdminPrompt> ownedAdminPrompt_;
};

}  // namespace vt
