#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/Clock.hpp"
#include "base/Json.hpp"
#include "base/Uuid.hpp"

namespace vt {

// One line of the recent-activity list: a scan, an update, an error...
struct ActivityRecord {
    enum class ActivityType { Scan, Update, Install, Uninstall, Cleanup, Security, Success, Error, Info };

    Uuid id = Uuid::random();
    Clock::TimePoint date{};
    std::string title;
    std::string subtitle;
    ActivityType type = ActivityType::Info;
    std::optional<double> duration;  // seconds

    Json toJson() const;
    static std::optional<ActivityRecord> fromJson(const Json& json);
};

std::string_view toString(ActivityRecord::ActivityType type);

}  // namespace vt
