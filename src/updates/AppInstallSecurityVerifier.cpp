#include "updates/AppInstallSecurityVerifier.hpp"

#include "base/Cancellation.hpp"
#include "base/Log.hpp"
#include "base/Strings.hpp"
#include "system/CommandRunning.hpp"
#include "updates/DirectDownloadError.hpp"
#include "base/Localization.hpp"

#include <unistd.h>

#include <utility>

namespace vt {

namespace {

const Logger& logger() {
    static const Logger instance("AppInstallSecurityVerifier");
    return instance;
}

}  // namespace

AppInstallSecurityVerifier::AppInstallSecurityVerifier(CommandRunning& runner, InstallTools tools)
    : runner_(runner), tools_(std::move(tools)) {}

AppInstallSecurityVerifier::ToolOutcome AppInstallSecurityVerifier::run(const std::string& tool,
                                                                        std::initializer_list<std::string> arguments,
                                                                        double timeLimit, std::stop_token stop) const {
    CommandRequest request;
    request.command = tool;
    request.arguments = arguments;
    request.timeout = timeLimit;
    request.allowNonZeroExit = true;
    try {
        ShellCommandResult result = runner_.execute(request, std::move(stop));
        // codesign and spctl say what they found on standard error.
        std::string printed = result.standardOutput;
        if (!printed.empty() && !result.standardError.empty()) printed += '\n';
        printed += result.standardError;
        return {result.exitCode, trim(printed)};
    } catch (const CommandError& error) {
        // A tool that cannot run or hangs accepts nothing.
        return {error.exitCode() != 0 ? error.exitCode() : -1, error.description()};
    }
}

std::string AppInstallSecurityVerifier::refusal(std::string_view key, const std::string& appName,
                                                const ToolOutcome& outcome) {
    const std::string detail = outcome.output.empty() ? localized("security.tool_status", {std::to_string(outcome.status)})
                                                      : outcome.output;
    return localized(key, {appName, detail});
}

std::optional<std::string> AppInstallSecurityVerifier::parseTeamID(std::string_view toolOutput) {
    for (std::string_view line : splitLines(toolOutput)) {
        std::string_view trimmed = trimView(line);
        if (!startsWith(trimmed, "TeamIdentifier=")) continue;
        std::string value = trim(trimmed.substr(trimmed.find('=') + 1));
        if (value.empty() || value == "not set" || value == "(unavailable)") return std::nullopt;
        return value;
    }
    return std::nullopt;
}

std::optional<std::string> AppInstallSecurityVerifier::teamID(const std::string& bundle, std::stop_token stop) const {
    return parseTeamID(run(tools_.codesign, {"-dv", "--verbose=2", bundle}, kTeamIDTimeLimit, std::move(stop)).output);
}

void AppInstallSecurityVerifier::removeQuarantine(const std::string& bundle, std::stop_token stop) const {
    run(tools_.xattr, {"-dr", "com.apple.quarantine", bundle}, kQuarantineTimeLimit, std::move(stop));
}

void AppInstallSecurityVerifier::requireTools(const std::string& appName) const {
    if (::access(tools_.codesign.c_str(), X_OK) == 0) return;
    throw DirectDownloadError::installFailed(localized("security.codesign_missing", {appName}));
}

void AppInstallSecurityVerifier::verify(const std::string& downloadedBundle, const std::string& appName,
                                        const std::optional<std::string>& installedBundle, std::stop_token stop) const {
    requireTools(appName);
    ToolOutcome strict = run(tools_.codesign, {"--verify", "--deep", "--strict", downloadedBundle},
                             kSignatureCheckTimeLimit, stop);
    if (stop.stop_requested()) throw CancellationError();
    if (strict.status != 0) throw DirectDownloadError::installFailed(refusal("security.invalid_signature", appName, strict));

    removeQuarantine(downloadedBundle, stop);

    ToolOutcome gatekeeper = run(tools_.spctl, {"--assess", "--type", "execute", "--verbose=4", downloadedBundle},
                                 kGatekeeperTimeLimit, stop);
    if (stop.stop_requested()) throw CancellationError();
    std::optional<std::string> downloadedTeam;
    bool downloadedTeamRead = false;
    if (gatekeeper.status != 0) {
        downloadedTeam = teamID(downloadedBundle, stop);
        downloadedTeamRead = true;
        if (!downloadedTeam)
            throw DirectDownloadError::installFailed(refusal("security.gatekeeper_refused", appName, gatekeeper));
        logger().info(localized("log.install.gatekeeper_codesign_passed",
                                {std::string(lastPathComponent(downloadedBundle)), *downloadedTeam}));
    }

    if (!installedBundle || ::access(installedBundle->c_str(), F_OK) != 0) return;
    std::optional<std::string> installedTeam = teamID(*installedBundle, stop);
    if (!installedTeam) return;  // ad-hoc or unsigned installs name no team to keep
    if (!downloadedTeamRead) downloadedTeam = teamID(downloadedBundle, stop);
    if (stop.stop_requested()) throw CancellationError();
    if (downloadedTeam == installedTeam) return;
    throw DirectDownloadError::installFailed(localized(
        "security.team_mismatch", {appName, *installedTeam, downloadedTeam.value_or(localized("security.team_absent"))}));
}

}  // namespace vt
