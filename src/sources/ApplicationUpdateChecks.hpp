#pragma once

#include <map>
#include <set>
#include <stop_token>
#include <string>
#include <vector>

#include "model/Application.hpp"
#include "sources/KnownSources.hpp"
#include "sources/SourceSettings.hpp"
#include "sources/UpdateCheckCoordinator.hpp"

namespace vt {

// What one check of the installed applications is given.
struct ApplicationUpdateCheckRequest {
    std::vector<Application> applications;  // the inventory; records without a bundle identifier are left as they are
    SourceSettings sources;                 // SourceSettings::fromSettings(settings), or an override for this run
    AppCheckOperation check;                // one application's network check (see AppCheckOperation)
    bool allowPreRelease = false;           // the "ShowPreReleaseUpdates" setting
    std::stop_token stop;                   // stops the checks in flight; what finished is kept
    const KnownSources* knownSources = nullptr;  // the built-in tables when null
};

struct ApplicationUpdateCheckResult {
    bool ran = false;  // false when another check was in progress: nothing was done
    std::vector<Application> applications;  // the same records in the same order, with what was found
    UpdateCheckCoordinator::ScanResult scan;
    long long outdatedCount = 0;  // not ignored, with a latest version newer than the installed one
};

// Finds the latest version of every application: fills in the sources known without the
// network (a known App Store identifier, a known appcast, the application's direct-download
// configuration), answers from the coordinator's repository what its cache can, skips the
// applications that keep failing, runs `check` for the rest under the coordinator's cap,
// records the results and failures in the repository, and logs
// "Update check completed in …s. N outdated apps found.".
//
// Blocks until the run ends: at most about the coordinator's time limit per application
// beyond the checks' own time, since a hung check is abandoned. Call from one thread at a
// time per coordinator; a second call while one runs logs and returns `ran == false`.
[[nodiscard]] ApplicationUpdateCheckResult checkApplicationsForUpdates(UpdateCheckCoordinator& coordinator,
                                                                       ApplicationUpdateCheckRequest request);

// Whether an application counts as outdated: not ignored, with a latest version that is newer
// than the installed one under the version rules (pre-releases only when allowed).
bool isOutdated(const Application& application, bool allowPreRelease);

}  // namespace vt
