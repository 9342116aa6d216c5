#pragma once

#include <optional>
#include <stop_token>
#include <string>
#include <vector>

namespace vt {

// Root operations on application bundles, for the installers and Homebrew adoption: the
// privileged helper when it answers, the administrator prompt otherwise. Every path goes
// through the path rules of privileged file operations first. Failures throw AdminPromptError:
// Denied when the user dismissed the prompt, Failed when the operation ran and failed (or a
// path was refused), NotAvailable when no authorization could be obtained.
class PrivilegedOperations {
public:
    virtual ~PrivilegedOperations() = default;

    // The helper's replace operation: nullopt when it replaced `installed` with `fresh`
    // (keeping a backup at `backup`), else why it could not (not installed, not approved,
    // not answering, or its own failure message); the caller then goes on without it.
    virtual std::optional<std::string> helperReplaceApp(const std::string& installed, const std::string& fresh,
                                                        const std::string& backup,
                                                        const std::string& expectedTeamID) = 0;

    // Whether an administrator prompt can be shown on this machine at all.
    virtual bool canRequestAuthorization() const = 0;

    // Asks once, then removes `destination`, copies the bundle `source` there and clears its
    // quarantine attribute, all with administrator rights. `reason` completes the prompt.
    virtual void replaceBundleWithAuthorization(const std::string& source, const std::string& destination,
                                                const std::string& reason, std::stop_token stop = {}) = 0;

    // Asks once for all the bundles, then makes each writable by its owner and readable by
    // everyone (the preparation Homebrew needs to adopt a bundle).
    virtual void normalizeBundlePermissions(const std::vector<std::string>& bundles, const std::string& reason,
                                            std::stop_token stop = {}) = 0;
};

// Where neither the helper nor a prompt exists: every operation reports it cannot be done.
class UnavailablePrivilegedOperations final : public PrivilegedOperations {
public:
    std::optional<std::string> helperReplaceApp(const std::string&, const std::string&, const std::string&,
                                                const std::string&) override;
    bool canRequestAuthorization() const override { return false; }
    void replaceBundleWithAuthorization(const std::string&, const std::string&, const std::string&,
                                        std::stop_token) override;
    void normalizeBundlePermissions(const std::vector<std::string>&, const std::string&, std::stop_token) override;
};

}  // namespace vt
