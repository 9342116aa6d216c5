#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>

#include "updates/AppInstallSecurityVerifier.hpp"
#include "updates/InstallTools.hpp"

namespace vt {

class CommandRunning;
class PrivilegedOperations;

// Puts a downloaded application bundle in place of the installed one: the privileged
// helper's replace when it answers, else a backup beside the destination, a copy as the
// user and, when that is refused, one with administrator rights; then the quarantine
// attribute goes and the installed bundle is read again to make sure it is the download.
// Root operations go only through PrivilegedOperations. Nothing is replaced when the download
// is not of the version the user was shown, when the bundle installed now is as new as the
// download, or when it runs and the user does not agree. Failures
// throw DirectDownloadError; after a failure the destination is as it was (beside its backup).
// One install at a time per instance: calls are serialised.
class DirectDownloadInstaller {
public:
    // The localisation keys of the three failures that differ between the installers built on this one.
    struct Wording {
        std::string userCancelled = "direct.cancelled_by_user";
        std::string privilegedFailed = "direct.privileged_failed";
        std::string elevationFailed = "direct.elevation_failed";
        static Wording gitHub();
    };

    struct Options {
        CommandRunning* runner = nullptr;              // required
        PrivilegedOperations* privileged = nullptr;    // required
        InstallTools tools;
        Wording wording;
        // Whether a running application may be replaced under itself; refused when absent.
        std::function<bool(const std::string& appName)> confirmReplaceRunning;
    };

    explicit DirectDownloadInstaller(Options options);

    // The replacement, for callers that verified `source` already (verifier()): `source` must
    // be of `expectedVersion` (the version shown; a tag is read as its version) and the bundle
    // installed now, read again, older than it and not running without consent; then helper →
    // backup → copy → quarantine. The caller reads the result again.
    void replace(const std::string& source, const std::string& destination, const std::string& displayName,
                 const std::string& expectedVersion, std::stop_token stop = {});

    // Throws ChecksumMismatch when `expected` (lower-case hex SHA-256) is not the file's.
    static void verifyChecksum(const std::string& file, const std::string& expected);

    // "/Applications", "/Applications/Utilities" or a user's "~/Applications" (on this
    // system, the home's Applications folder stands for "/Users/NAME/Applications").
    static bool isInStandardLocation(const std::string& bundlePath);

    const AppInstallSecurityVerifier& verifier() const { return verifier_; }

private:
    void checkReplaceable(const std::string& source, const std::string& destination, const std::string& displayName,
                          const std::string& expectedVersion) const;
    void copyApplication(const std::string& source, const std::string& destination, const std::string& displayName,
                         std::stop_token stop);

    Options options_;
    AppInstallSecurityVerifier verifier_;
    std::mutex busy_;
};

}  // namespace vt
