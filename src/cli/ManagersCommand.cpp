#include "cli/ManagersCommand.hpp"

#include <cstdio>
#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "base/Json.hpp"
#include "cli/Context.hpp"
#include "core/SourcePipelines.hpp"
#include "settings/SettingsManager.hpp"

namespace vt::cli {

namespace {

// One line per setting: a source, and each kind of it with a setting of its own.
struct Row {
    std::string id;
    std::string name;
    std::optional<ManagerToggleKey> toggle;
    const SourcePresence* presence;
    bool enabled;
};

int printManagers(bool asJson) {
    Context& context = Context::shared();
    SettingsManager& settings = context.settings();
    const std::vector<SourcePresence> found = discoverSources(ManagerRegistry::sources(), context.packageManager());
    std::vector<Row> rows;
    for (const SourcePresence& presence : found) {
        const SourceRow& source = *presence.row;
        auto shown = [&](std::optional<ManagerToggleKey> toggle) { return !toggle || settings.isVisible(*toggle); };
        rows.push_back({source.id, source.name, source.toggle, &presence, shown(source.toggle)});
        for (const KindToggle& kind : source.kindToggles) {
            rows.push_back({kind.id, kind.name, kind.toggle, &presence, shown(kind.toggle)});
        }
    }
    if (asJson) {
        Json list = Json::array();
        for (const Row& row : rows) {
            Json item = Json::object();
            item["id"] = row.id;
            item["name"] = row.name;
            item["found"] = row.presence->path.has_value();
            item["path"] = row.presence->path ? Json(*row.presence->path) : Json();
            item["enabled"] = row.enabled;
            item["toggle"] = row.toggle ? Json(std::string(storageKey(*row.toggle))) : Json();
            item["executables"] = row.presence->row->executables;
            list.push_back(std::move(item));
        }
        std::printf("%s\n", dumpJson(list, 2).c_str());
        return kExitSuccess;
    }
    std::size_t width = 4;
    for (const Row& row : rows) width = std::max(width, row.name.size());
    std::printf("%-*s  %-7s  %-5s  %s\n", static_cast<int>(width), "NAME", "ENABLED", "FOUND", "PATH");
    for (const Row& row : rows) {
        const std::optional<std::string>& path = row.presence->path;
        std::printf("%-*s  %-7s  %-5s  %s\n", static_cast<int>(width), row.name.c_str(), row.enabled ? "yes" : "no",
                    path ? "yes" : "no", path.value_or("").c_str());
    }
    return kExitSuccess;
}

}  // namespace

void addManagersCommand(CLI::App& app, int* exitCode) {
    auto* managers = app.add_subcommand("managers", "List the sources this build scans, with their tool and visibility");
    auto json = std::make_shared<bool>(false);
    managers->add_flag("--json", *json, "Print an array of objects");
    managers->callback([json, exitCode] { *exitCode = printManagers(*json); });
}

}  // namespace vt::cli
