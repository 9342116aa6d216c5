#include "cli/UpdateJson.hpp"

#include "cli/Output.hpp"
#include "core/ManagerRegistry.hpp"
#include "presentation/AllUpdatesRowBuilder.hpp"

namespace vt::cli {

Json updateResultJson(const PackageUpdateResult& result) {
    const Package& package = result.package;
    const AllUpdatesRowBuilder builder(ManagerRegistry::sources());
    Json json = Json::object();
    // An application of a batch is carried as a package of the generic kind, named after it.
    if (package.type != PackageType::Generic) {
        json["id"] = builder.shortId(package);
        json["source"] = builder.sourceId(package.type);
    }
    json["name"] = package.name;
    json["sourceName"] = result.sourceLabel();
    json["version"] = package.version;
    if (package.latestVersion) json["latestVersion"] = *package.latestVersion;
    json["success"] = result.success;
    if (result.newVersion) json["newVersion"] = *result.newVersion;
    if (result.error) json["error"] = *result.error;
    if (!result.suggestion.empty()) json["suggestion"] = result.suggestion;
    if (result.command) json["command"] = *result.command;
    json["requiresUserAction"] = result.requiresUserAction;
    json["durationSeconds"] = result.duration;
    return json;
}

Json batchResultJson(const BatchUpdateResult& batch) {
    Json json = jsonDocument();
    Json list = Json::array();
    for (const PackageUpdateResult& result : batch.results) list.push_back(updateResultJson(result));
    json["results"] = std::move(list);
    json["startTime"] = jsonDate(batch.startTime);
    json["endTime"] = jsonDate(batch.endTime);
    json["cancelled"] = batch.cancelled;
    return json;
}

}  // namespace vt::cli
