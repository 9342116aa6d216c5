#pragma once

#include "system/AuthorizationHelper.hpp"
#include "system/PrivilegedOperations.hpp"

namespace vt {

// Root operations on bundles as the machine offers them: no privileged helper ships, so the
// administrator prompt does the work. Every path passes the path rules before the prompt.
class SystemPrivilegedOperations final : public PrivilegedOperations {
public:
    SystemPrivilegedOperations(CommandRunning& runner, const FileSystemManager& files,
                               AuthorizationHelper::Options promptOptions);

    // Always the helper's absence: the installers then take the prompt or user space.
    std::optional<std::string> helperReplaceApp(const std::string& installed, const std::string& fresh,
                                                const std::string& backup, const std::string& expectedTeamID) override;
    bool canRequestAuthorization() const override;
    void replaceBundleWithAuthorization(const std::string& source, const std::string& destination,
                                        const std::string& reason, std::stop_token stop = {}) override;
    void normalizeBundlePermissions(const std::vector<std::string>& bundles, const std::string& reason,
                                    std::stop_token stop = {}) override;

    AuthorizationHelper& authorization() noexcept { return authorization_; }

private:
    AuthorizationHelper authorization_;
};

}  // namespace vt
