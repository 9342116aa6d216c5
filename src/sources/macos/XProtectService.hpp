#pragma once

#include <mutex>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>

#include "base/Clock.hpp"

namespace vt {

class CommandRunning;
class FileSystemManager;

struct XProtectStatus {
    bool isToolAvailable = false;
    std::optional<std::string> installedVersion;
    std::optional<std::string> installedDate;  // as the tool prints it
    std::optional<std::string> availableVersion;
    std::optional<bool> backgroundScansEnabled;
    std::optional<bool> launchScansEnabled;
    std::optional<Clock::TimePoint> lastChecked;
};

class XProtectServiceError : public std::runtime_error {
public:
    enum class Kind { CommandFailed, ParseFailed, CommandUnavailable, HelperUnavailable };
    static XProtectServiceError commandFailed();
    static XProtectServiceError parseFailed(const std::string& detail = "");
    static XProtectServiceError commandUnavailable();
    static XProtectServiceError helperUnavailable();
    Kind kind() const noexcept { return kind_; }

private:
    XProtectServiceError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
    Kind kind_;
};

// The fields of the tool's "key: value" output (its "version" and "check" commands): the
// installed version and date, the available version, the two scan switches.
void readXProtectOutput(std::string_view output, XProtectStatus& status);

// The malware definitions' status from the system's own tool, asked at most every twelve hours.
class XProtectService {
public:
    static constexpr const char* kTool = "/usr/bin/xprotect";
    static constexpr double kCheckIntervalSeconds = 43200;

    XProtectService(CommandRunning& runner, const FileSystemManager& files, const Clock* clock = nullptr);

    // Throws XProtectServiceError (commandUnavailable where the tool is absent) or CancellationError.
    XProtectStatus status(std::stop_token stop = {});
    // The update itself runs as root, through the privileged helper this build does not have.
    [[noreturn]] void update();

private:
    CommandRunning& runner_;
    const FileSystemManager& files_;
    const Clock* clock_;
    std::mutex mutex_;
    std::optional<XProtectStatus> last_;
};

}  // namespace vt
