#include "updates/BatchUpdateResult.hpp"

namespace vt {

std::string PackageUpdateResult::sourceLabel() const {
    return source.empty() ? displayName(package.type) : source;
}

Json PackageUpdateResult::toJson() const {
    Json json = Json::object();
    json["package"] = vt::toJson(package);
    json["success"] = success;
    json["duration"] = duration;
    if (error) json["error"] = *error;
    json["suggestion"] = suggestion;
    if (command) json["command"] = *command;
    json["requiresUserAction"] = requiresUserAction;
    if (newVersion) json["newVersion"] = *newVersion;
    json["source"] = sourceLabel();
    return json;
}

std::size_t BatchUpdateResult::succeededCount() const {
    std::size_t count = 0;
    for (const auto& result : results) count += result.success ? 1 : 0;
    return count;
}

std::size_t BatchUpdateResult::failedCount() const { return results.size() - succeededCount(); }

Json BatchUpdateResult::toJson() const {
    Json json = Json::object();
    Json list = Json::array();
    for (const auto& result : results) list.push_back(result.toJson());
    json["results"] = std::move(list);
    json["startTime"] = toReferenceSeconds(startTime);
    json["endTime"] = toReferenceSeconds(endTime);
    json["cancelled"] = cancelled;
    return json;
}

}  // namespace vt
