#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

    // A text from the localisation tables, kept as its key and arguments so that a record
    // reads in the language of whoever reads it, not in the one it was written in.
    struct Text {
        std::string key;
        std::vector<std::string> arguments;
    };
    std::optional<Text> titleText;
    std::optional<Text> subtitleText;
    void setTitle(std::string key, std::vector<std::string> arguments = {});
    void setSubtitle(std::string key, std::vector<std::string> arguments = {});

    // With "texts" (the keys) beside the texts as written.
    Json toJson() const;
    static std::optional<ActivityRecord> fromJson(const Json& json);
};

std::string_view toString(ActivityRecord::ActivityType type);

}  // namespace vt
