#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>

#include "base/Clock.hpp"
#include "settings/SettingsManager.hpp"

namespace vt {

// The failures of updates the program runs and the updates it stopped retrying, in the
// settings' "AutoUpdateFailureRecords" and "AutoDeferredUpdates".
//
// The same failure (same version, same first line of the error) twice in a row defers the
// update. What the error says decides for how long:
// - `environment` (permissions, a missing tool, no space left): until the user clears it,
//   since retrying on this machine cannot succeed;
// - `transientBackoff` (time limits, the network): 24 hours, doubled on each repeat up to
//   7 days;
// - `deterministicVersion` (anything else): until a newer version than the failing one appears.
// A successful update clears both entries.
class AutoDeferralStore {
public:
    static constexpr long long kRepeatsBeforeDeferral = 2;
    static constexpr std::chrono::hours kFirstBackoff{24};
    static constexpr std::chrono::hours kLongestBackoff{24 * 7};

    struct Failure {
        std::string identifier, version, name, source, error;
    };

    explicit AutoDeferralStore(SettingsManager& settings) : settings_(settings) {}

    std::map<std::string, AutoDeferredUpdate> deferrals() const { return settings_.autoDeferredUpdates(); }
    // Returns the deferral it made, if any.
    std::optional<AutoDeferredUpdate> recordFailure(const Failure& failure, Clock::TimePoint now);
    // Its failures are forgotten, and a deferral ended.
    void recordSuccess(const std::string& identifier) {
        forgetFailures(identifier);
        clear(identifier);
    }
    bool clear(const std::string& identifier);
    // Ends the item's deferral and forgets the failures behind it (the user asks for it back);
    // true when it was deferred. An item not deferred keeps its failures.
    bool end(const std::string& identifier);

    static std::string kindFor(const std::string& signature);
    static std::optional<Clock::TimePoint> expiresAt(const AutoDeferredUpdate& deferral);
    static bool hides(const AutoDeferredUpdate& deferral, const std::optional<std::string>& latestVersion,
                      Clock::TimePoint now);

private:
    void forgetFailures(const std::string& identifier);

    SettingsManager& settings_;
};

}  // namespace vt
