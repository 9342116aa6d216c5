#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "base/Clock.hpp"
#include "model/ActivityRecord.hpp"

namespace vt {

class IgnoredAppsManager;

// After a scan's update checks: applications whose check failed kThreshold times in a row
// are ignored, so that a broken source stops costing every scan. Those already ignored are
// left out, so one application is reported once. An auto-ignored application stays ignored
// until the user un-ignores it.
struct ChronicFailureAutoIgnore {
    static constexpr long long kThreshold = 3;
    static constexpr std::size_t kNamesInLog = 5;

    struct Outcome {
        std::vector<std::string> identifiers;
        std::string logLine;
        ActivityRecord record;
    };

    // `failureCounts`: bundle identifier to consecutive failed checks; `nameOf` gives the
    // name of an identifier for the log. Saves the set and logs when something was ignored.
    static std::optional<Outcome> run(const std::map<std::string, long long>& failureCounts,
                                      const std::function<std::string(const std::string&)>& nameOf,
                                      IgnoredAppsManager& ignored, Clock::TimePoint now);
};

}  // namespace vt
