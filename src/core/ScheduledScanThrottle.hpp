#pragma once

#include <optional>

#include "base/Clock.hpp"

namespace vt {

class DefaultsStore;

// The one rule every automatic scan obeys (the coordinator's automatic mode, the launch
// agent's run, the in-app timer): no scan before the interval has passed since the latest
// scan we know of.
class ScheduledScanThrottle {
public:
    explicit ScheduledScanThrottle(const DefaultsStore& defaults) : defaults_(defaults) {}

    // The later of the last completed refresh and the last background scan, when either is stored.
    std::optional<Clock::TimePoint> lastScanDate() const;
    // An interval below one hour counts as one hour; without a stored date nothing is skipped.
    bool shouldSkip(Clock::TimePoint now, long long intervalHours) const;

private:
    const DefaultsStore& defaults_;
};

}  // namespace vt
