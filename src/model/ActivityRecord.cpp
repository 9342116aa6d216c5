#include "model/ActivityRecord.hpp"

#include <array>

namespace vt {

namespace {
constexpr std::array<std::string_view, 9> kTypeNames = {"scan",    "update",   "install", "uninstall", "cleanup",
                                                        "security", "success", "error",   "info"};
}

std::string_view toString(ActivityRecord::ActivityType type) { return kTypeNames[static_cast<std::size_t>(type)]; }

Json ActivityRecord::toJson() const {
    Json json = Json::object();
    json["id"] = id.toString();
    json["date"] = toReferenceSeconds(date);
    json["title"] = title;
    json["subtitle"] = subtitle;
    json["type"] = std::string(toString(type));
    if (duration) json["duration"] = *duration;
    return json;
}

std::optional<ActivityRecord> ActivityRecord::fromJson(const Json& json) {
    auto title = stringField(json, "title");
    auto typeName = stringField(json, "type");
    auto date = numberField(json, "date");
    if (!title || !typeName || !date) return std::nullopt;
    ActivityRecord record;
    if (auto id = stringField(json, "id")) {
        if (auto parsed = Uuid::parse(*id)) record.id = *parsed;
    }
    record.date = fromReferenceSeconds(*date);
    record.title = *title;
    record.subtitle = stringField(json, "subtitle").value_or("");
    bool known = false;
    for (std::size_t i = 0; i < kTypeNames.size(); ++i) {
        if (kTypeNames[i] == *typeName) {
            record.type = static_cast<ActivityType>(i);
            known = true;
        }
    }
    if (!known) return std::nullopt;
    record.duration = numberField(json, "duration");
    return record;
}

}  // namespace vt
