#include "settings/ReleaseAgeSettings.hpp"

#include <charconv>

#include "base/Strings.hpp"

namespace vt {

ReleaseAgeRule releaseAgeRule(const SettingsManager& settings, std::string_view sourceId) {
    ReleaseAgeRule rule;
    rule.holdUnknown = settings.boolValue("HoldBackUnknownReleaseAge");
    long long days = settings.integerValue("MinimumReleaseAgeDays");
    rule.origin = "MinimumReleaseAgeDays";
    const Json overrides = settings.value("MinimumReleaseAgeDaysBySource");
    if (auto found = overrides.find(std::string(sourceId)); found != overrides.end() && found->is_string()) {
        const std::string text = trim(found->get<std::string>());
        long long parsed = 0;
        auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), parsed);
        // A text that is not a count of days is no override: the general setting stands.
        if (error == std::errc() && end == text.data() + text.size() && !text.empty() && parsed >= 0) {
            days = parsed;
            rule.origin = "MinimumReleaseAgeDaysBySource." + std::string(sourceId);
        }
    }
    // More than a century is no limit anyone means; it would overflow the clock's arithmetic.
    if (days > 0 && days < 36500) rule.minimum = std::chrono::hours(24 * days);
    return rule;
}

}  // namespace vt
