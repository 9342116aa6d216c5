#include "sources/macos/XProtectService.hpp"

#include "base/Cancellation.hpp"
#include "base/Localization.hpp"
#include "base/Strings.hpp"
#include "system/CommandRunning.hpp"
#include "system/FileSystemManager.hpp"

namespace vt {

namespace {

constexpr double kVersionTimeout = 20;
constexpr double kCheckTimeout = 30;  // "check" asks Apple's servers

std::optional<bool> switchValue(std::string_view value) {
    std::string lower = toLower(trimView(value));
    if (lower == "enabled" || lower == "yes" || lower == "true" || lower == "on") return true;
    if (lower == "disabled" || lower == "no" || lower == "false" || lower == "off") return false;
    return std::nullopt;
}

}  // namespace

XProtectServiceError XProtectServiceError::commandFailed() { return {Kind::CommandFailed, "xprotect command failed."}; }

XProtectServiceError XProtectServiceError::parseFailed(const std::string& detail) {
    if (detail.empty()) return {Kind::ParseFailed, "Unable to read XProtect output."};
    return {Kind::ParseFailed, "Unable to read XProtect output: " + detail};
}

XProtectServiceError XProtectServiceError::commandUnavailable() {
    return {Kind::CommandUnavailable, "xprotect is not available on this macOS version."};
}

XProtectServiceError XProtectServiceError::helperUnavailable() {
    return {Kind::HelperUnavailable, localized("sofa.xprotect_helper_required")};
}

void readXProtectOutput(std::string_view output, XProtectStatus& status) {
    for (std::string_view line : splitLines(output)) {
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        const std::string key = toLower(trimView(line.substr(0, colon)));
        const std::string value = trim(line.substr(colon + 1));
        if (value.empty()) continue;
        if (key == "version" || key == "installed version") {
            status.installedVersion = value;
        } else if (key == "installed" || key == "install date" || key == "installed date") {
            status.installedDate = value;
        } else if (key == "available version" || key == "latest version" || key == "available") {
            status.availableVersion = value;
        } else if (key.find("background") != std::string::npos) {
            status.backgroundScansEnabled = switchValue(value);
        } else if (key.find("launch") != std::string::npos) {
            status.launchScansEnabled = switchValue(value);
        }
    }
}

XProtectService::XProtectService(CommandRunning& runner, const FileSystemManager& files, const Clock* clock)
    : runner_(runner), files_(files), clock_(clock) {}

XProtectStatus XProtectService::status(std::stop_token stop) {
    const Clock::TimePoint now = (clock_ ? *clock_ : Clock::shared()).now();
    {
        std::scoped_lock lock(mutex_);
        if (last_ && last_->lastChecked &&
            std::chrono::duration<double>(now - *last_->lastChecked).count() < kCheckIntervalSeconds) {
            return *last_;
        }
    }
    if (!files_.isExecutableFile(kTool)) throw XProtectServiceError::commandUnavailable();
    XProtectStatus status{.isToolAvailable = true};
    for (const auto& [command, timeout] : {std::pair{"version", kVersionTimeout}, std::pair{"check", kCheckTimeout}}) {
        try {
            ShellCommandResult result =
                runner_.execute(CommandRequest{.command = kTool, .arguments = {command}, .timeout = timeout}, stop);
            readXProtectOutput(result.standardOutput, status);
        } catch (const CommandError& error) {
            if (stop.stop_requested() || error.kind() == CommandError::Kind::Cancelled) throw CancellationError();
            throw XProtectServiceError::commandFailed();
        }
    }
    if (!status.installedVersion) throw XProtectServiceError::parseFailed("no installed version");
    status.lastChecked = now;
    std::scoped_lock lock(mutex_);
    last_ = status;
    return status;
}

void XProtectService::update() { throw XProtectServiceError::helperUnavailable(); }

}  // namespace vt
