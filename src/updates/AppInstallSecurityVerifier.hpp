#pragma once

#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "updates/InstallTools.hpp"

namespace vt {

class CommandRunning;

// Decides whether a downloaded application bundle may replace an installed one: its
// signature must hold, Gatekeeper must accept it or a signing team must vouch for it, and it
// must be signed by the same team as the installed bundle when that one names a team.
// Refusals throw DirectDownloadError::installFailed with the text shown to the user. Where
// codesign does not exist no bundle can be checked, so every install is refused rather than
// done unverified. Stateless apart from its runner; any thread may call it.
class AppInstallSecurityVerifier {
public:
    static constexpr double kSignatureCheckTimeLimit = 120.0;  // a deep check of a large bundle is slow
    static constexpr double kTeamIDTimeLimit = 30.0;
    static constexpr double kGatekeeperTimeLimit = 60.0;
    static constexpr double kQuarantineTimeLimit = 60.0;

    explicit AppInstallSecurityVerifier(CommandRunning& runner, InstallTools tools = {});

    // Throws the refusal verify() would end with when this system has no codesign: checked
    // before anything is downloaded or unpacked, since nothing could be installed after.
    void requireTools(const std::string& appName) const;

    void verify(const std::string& downloadedBundle, const std::string& appName,
                const std::optional<std::string>& installedBundle, std::stop_token stop = {}) const;

    // The signing team, nothing when the signature names none.
    std::optional<std::string> teamID(const std::string& bundle, std::stop_token stop = {}) const;
    // Clears the quarantine attribute of a bundle; a failure is ignored.
    void removeQuarantine(const std::string& bundle, std::stop_token stop = {}) const;

    static std::optional<std::string> parseTeamID(std::string_view toolOutput);

private:
    struct ToolOutcome {
        int status = 0;
        std::string output;  // what it printed, trimmed
    };
    ToolOutcome run(const std::string& tool, std::initializer_list<std::string> arguments, double timeLimit,
                    std::stop_token stop) const;
    static std::string refusal(std::string_view base, const std::string& appName, const ToolOutcome& outcome);

    CommandRunning& runner_;
    InstallTools tools_;
};

}  // namespace vt
