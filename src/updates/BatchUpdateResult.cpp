#include "updates/BatchUpdateResult.hpp"

#include <algorithm>

namespace vt {

std::string PackageUpdateResult::sourceLabel() const {
    return source.empty() ? displayName(package.type) : source;
}

Json PackageUpdateResult::toJson() const {
    Json json = Json::object();
    json["package"] = vt::toJson(package);
    json["success"] = success;
    json["cancelled"] = cancelled;
    json["skipped"] = skipped;
    json["duration"] = duration;
    if (error) json["error"] = *error;
    json["suggestion"] = suggestion;
    if (command) json["command"] = *command;
    json["requiresUserAction"] = requiresUserAction;
    if (newVersion) json["newVersion"] = *newVersion;
    json["source"] = sourceLabel();
    return json;
}

namespace {

template <typename Predicate>
std::size_t countOf(const std::vector<PackageUpdateResult>& results, Predicate predicate) {
    return static_cast<std::size_t>(std::count_if(results.begin(), results.end(), predicate));
}

}  // namespace

std::size_t BatchUpdateResult::succeededCount() const {
    return countOf(results, [](const PackageUpdateResult& result) { return result.success; });
}

std::size_t BatchUpdateResult::failedCount() const {
    return countOf(results, [](const PackageUpdateResult& result) {
        return !result.success && !result.cancelled && !result.skipped;
    });
}

std::size_t BatchUpdateResult::cancelledCount() const {
    return countOf(results, [](const PackageUpdateResult& result) { return result.cancelled; });
}

std::size_t BatchUpdateResult::skippedCount() const {
    return countOf(results, [](const PackageUpdateResult& result) { return result.skipped; });
}

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
