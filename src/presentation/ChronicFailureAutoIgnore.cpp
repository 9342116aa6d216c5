#include "presentation/ChronicFailureAutoIgnore.hpp"

#include "base/Log.hpp"
#include "base/Strings.hpp"
#include "presentation/IgnoredAppsManager.hpp"
#include "base/Localization.hpp"

namespace vt {

std::optional<ChronicFailureAutoIgnore::Outcome> ChronicFailureAutoIgnore::run(
    const std::map<std::string, long long>& failureCounts, const std::function<std::string(const std::string&)>& nameOf,
    IgnoredAppsManager& ignored, Clock::TimePoint now) {
    Outcome outcome;
    for (const auto& [identifier, count] : failureCounts) {
        if (count >= kThreshold && !identifier.empty() && !ignored.isIgnored(identifier)) {
            outcome.identifiers.push_back(identifier);
        }
    }
    if (outcome.identifiers.empty()) return std::nullopt;
    ignored.ignoreSeveral(outcome.identifiers);

    std::vector<std::string> names;
    for (std::size_t i = 0; i < outcome.identifiers.size() && i < kNamesInLog; ++i) {
        std::string name = nameOf ? nameOf(outcome.identifiers[i]) : std::string();
        names.push_back(name.empty() ? outcome.identifiers[i] : name);
    }
    const std::string count = std::to_string(outcome.identifiers.size());
    outcome.logLine = std::string("🚫 Auto-ignored ") + count + " chronic failures: " + join(names, ", ");
    Logger("IgnoredAppsManager").info(outcome.logLine);
    outcome.record.date = now;
    outcome.record.type = ActivityRecord::ActivityType::Info;
    outcome.record.setTitle("activity.auto_ignore.title");
    outcome.record.setSubtitle("activity.auto_ignore.subtitle", {count, std::to_string(kThreshold)});
    return outcome;
}

}  // namespace vt
