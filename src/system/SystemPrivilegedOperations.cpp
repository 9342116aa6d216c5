#include "system/SystemPrivilegedOperations.hpp"

#include <unistd.h>

#include "base/Log.hpp"
#include "system/AdminPrompt.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger instance("PrivilegedClient");
    return instance;
}

}  // namespace

SystemPrivilegedOperations::SystemPrivilegedOperations(std::shared_ptr<HelperTransport> transport,
                                                       std::unique_ptr<HelperPreferences> preferences,
                                                       CommandRunning& runner, const FileSystemManager& files,
                                                       AuthorizationHelper::Options promptOptions, const Clock& clock)
    : preferences_(std::move(preferences)),
      client_(std::move(transport), *preferences_, clock),
      authorization_(runner, files, std::move(promptOptions)) {}

void SystemPrivilegedOperations::noteHelperFailure(const PrivilegedClientError& error) {
    if (error.kind() == PrivilegedClientError::Kind::ConnectionFailed ||
        error.kind() == PrivilegedClientError::Kind::Timeout) {
        client_.selfHealIfUnresponsive();
    }
}

std::optional<std::string> SystemPrivilegedOperations::helperReplaceApp(const std::string& installed,
                                                                        const std::string& fresh,
                                                                        const std::string& backup,
                                                                        const std::string& expectedTeamID) {
    try {
        client_.replaceApp(AuthorizationHelper::checkedDestination(installed),
                           AuthorizationHelper::checkedSource(fresh), AuthorizationHelper::checkedBackup(backup),
                           expectedTeamID);
        return std::nullopt;
    } catch (const AdminPromptError& refused) {
        return refused.description();
    } catch (const PrivilegedClientError& error) {
        noteHelperFailure(error);
        return error.description();
    }
}

bool SystemPrivilegedOperations::canRequestAuthorization() const {
    return authorization_.isAvailable();
}

void SystemPrivilegedOperations::replaceBundleWithAuthorization(const std::string& source,
                                                                const std::string& destination,
                                                                const std::string& reason, std::stop_token stop) {
    authorization_.replaceBundle(source, destination, reason, stop);
}

void SystemPrivilegedOperations::normalizeBundlePermissions(const std::vector<std::string>& bundles,
                                                            const std::string& reason, std::stop_token stop) {
    std::vector<std::string> checked;
    for (const std::string& bundle : bundles) checked.push_back(AuthorizationHelper::checkedDestination(bundle));
    const auto owner = static_cast<unsigned>(::getuid());
    try {
        client_.normalizeAppBundlePermissions(checked, owner);
        return;
    } catch (const PrivilegedClientError& error) {
        if (error.kind() != PrivilegedClientError::Kind::HelperNotAvailable) {
            std::string line = "Vantreel: helper permission normalization failed (";
            line += error.description();
            line += "); falling back to administrator prompt";
            logger().warning(line);
            noteHelperFailure(error);
        }
    }
    authorization_.normalizeBundlePermissions(checked, owner, reason, stop);
}

}  // namespace vt
