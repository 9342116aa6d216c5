#include "sources/ApplicationUpdateChecks.hpp"

#include <chrono>
#include <cstdio>

#include "base/Localization.hpp"
#include "base/Log.hpp"
#include "model/VersionRules.hpp"

namespace vt {

namespace {

const Logger& logger() {
    static const Logger log("ApplicationManager");
    return log;
}

}  // namespace

bool isOutdated(const Application& application, bool allowPreRelease) {
    if (application.isIgnored || !application.latestVersion) return false;
    return isUpdateAvailable(application.version, application.latestVersion, allowPreRelease);
}

ApplicationUpdateCheckResult checkApplicationsForUpdates(UpdateCheckCoordinator& coordinator,
                                                         ApplicationUpdateCheckRequest request) {
    ApplicationUpdateCheckResult result;
    if (coordinator.isRunning()) {
        logger().info(localized("log.app_checks.already_running"));
        result.applications = std::move(request.applications);
        return result;
    }
    const auto start = std::chrono::steady_clock::now();
    const KnownSources& known = request.knownSources ? *request.knownSources : KnownSources::builtIn();
    for (Application& application : request.applications) {
        if (!application.bundleIdentifier.empty()) known.resolve(application, request.sources);
    }
    UpdateCheckRunOptions options;
    options.allowPreRelease = request.allowPreRelease;
    options.stop = request.stop;
    auto run = coordinator.run(request.applications, request.sources, request.check, options);
    if (!run) {  // another thread started a run between the test above and ours
        logger().info(localized("log.app_checks.already_running"));
        result.applications = std::move(request.applications);
        return result;
    }
    result.ran = true;
    result.applications = std::move(run->applications);
    result.scan = run->scan;
    for (const Application& application : result.applications) {
        if (isOutdated(application, request.allowPreRelease)) ++result.outdatedCount;
    }
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.2f",
                  std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    logger().info(localized("log.app_checks.done", {seconds, std::to_string(result.outdatedCount)}));
    return result;
}

}  // namespace vt
