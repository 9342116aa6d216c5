#pragma once

#include <memory>

#include "system/AuthorizationHelper.hpp"
#include "system/PrivilegedClient.hpp"
#include "system/PrivilegedOperations.hpp"

namespace vt {

class Clock;

// Root operations on bundles as the machine offers them: the privileged helper first, then
// the administrator prompt. Every path passes the path rules before either is asked.
class SystemPrivilegedOperations final : public PrivilegedOperations {
public:
    SystemPrivilegedOperations(std::shared_ptr<HelperTransport> transport,
                               std::unique_ptr<HelperPreferences> preferences, CommandRunning& runner,
                               const FileSystemManager& files, AuthorizationHelper::Options promptOptions,
                               const Clock& clock);

    std::optional<std::string> helperReplaceApp(const std::string& installed, const std::string& fresh,
                                                const std::string& backup, const std::string& expectedTeamID) override;
    bool canRequestAuthorization() const override;
    void replaceBundleWithAuthorization(const std::string& source, const std::string& destination,
                                        const std::string& reason, std::stop_token stop = {}) override;
    void normalizeBundlePermissions(const std::vector<std::string>& bundles, const std::string& reason,
                                    std::stop_token stop = {}) override;

    PrivilegedClient& client() noexcept { return client_; }
    AuthorizationHelper& authorization() noexcept { return authorization_; }

private:
    // A helper that stopped answering is registered again (within the cool-down's limits).
    void noteHelperFailure(const PrivilegedClientError& error);

    std::unique_ptr<HelperPreferences> preferences_;
    PrivilegedClient client_;
    AuthorizationHelper authorization_;
};

}  // namespace vt
