#include "core/ScheduledScanThrottle.hpp"

#include <algorithm>

#include "base/Json.hpp"
#include "core/PackageCoordinator.hpp"
#include "settings/DefaultsStore.hpp"

namespace vt {

std::optional<Clock::TimePoint> ScheduledScanThrottle::lastScanDate() const {
    std::optional<double> last;
    for (auto key : {PackageCoordinator::kLastCompletedRefreshDate, PackageCoordinator::kBackgroundLastScanDate}) {
        if (auto value = defaults_.doubleValue(key)) last = std::max(last.value_or(*value), *value);
    }
    if (!last) return std::nullopt;
    return fromReferenceSeconds(*last);
}

bool ScheduledScanThrottle::shouldSkip(Clock::TimePoint now, long long intervalHours) const {
    std::optional<Clock::TimePoint> last = lastScanDate();
    if (!last) return false;
    const double limit = static_cast<double>(std::max(intervalHours, 1LL)) * 3600.0;
    return secondsBetween(*last, now) < limit;
}

}  // namespace vt
