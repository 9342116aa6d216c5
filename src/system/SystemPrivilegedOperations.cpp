#include "system/SystemPrivilegedOperations.hpp"

#include <unistd.h>

#include "system/AdminPrompt.hpp"

namespace vt {

SystemPrivilegedOperations::SystemPrivilegedOperations(CommandRunning& runner, const FileSystemManager& files,
                                                       AuthorizationHelper::Options promptOptions)
    : authorization_(runner, files, std::move(promptOptions)) {}

std::optional<std::string> SystemPrivilegedOperations::helperReplaceApp(const std::string& installed,
                                                                        const std::string& fresh,
                                                                        const std::string& backup,
                                                                        const std::string&) {
    try {
        AuthorizationHelper::checkedDestination(installed);
        AuthorizationHelper::checkedSource(fresh);
        AuthorizationHelper::checkedBackup(backup);
    } catch (const AdminPromptError& refused) {
        return refused.description();
    }
    return std::string("The privileged helper is not installed");
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
    authorization_.normalizeBundlePermissions(bundles, static_cast<unsigned>(::getuid()), reason, stop);
}

}  // namespace vt
