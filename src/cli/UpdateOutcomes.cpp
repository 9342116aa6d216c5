#include "cli/UpdateOutcomes.hpp"

#include "base/Clock.hpp"
#include "cli/Context.hpp"
#include "presentation/AutoDeferralStore.hpp"

namespace vt::cli {

void recordOutcomes(const std::vector<PackageUpdateResult>& results) {
    try {
        AutoDeferralStore deferrals(Context::shared().settings());
        for (const auto& result : results) {
            const Package& package = result.package;
            if (package.type == PackageType::Generic) continue;  // an application of a batch
            // Stopped by the user or left as it was: nothing to learn about the update.
            if (result.cancelled || result.skipped) continue;
            if (result.success) {
                deferrals.recordSuccess(stableKey(package));
                continue;
            }
            AutoDeferralStore::Failure failure{stableKey(package), package.latestVersion.value_or(""), package.name,
                                               std::string(rawValue(package.type)), result.error.value_or("")};
            deferrals.recordFailure(failure, Clock::shared().now());
        }
    } catch (const std::exception&) {
        // Unwritable preferences: the update's own outcome is what the user reads.
    }
}

}  // namespace vt::cli
