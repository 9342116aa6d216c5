#include "cli/ManagersCommand.hpp"

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "base/Json.hpp"
#include "base/Localization.hpp"
#include "cli/Context.hpp"
#include "cli/Output.hpp"
#include "cli/TextTable.hpp"
#include "core/SourcePipelines.hpp"
#include "settings/SettingsManager.hpp"
#include "cli/CommandOptions.hpp"

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

std::string originText(ExecutableOrigin origin) {
    switch (origin) {
        case ExecutableOrigin::SearchPath: return localized("managers.origin.path");
        case ExecutableOrigin::InstallerFolder: return localized("managers.origin.installer");
        case ExecutableOrigin::StandardFolder: return localized("managers.origin.standard");
    }
    return "";
}

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
            const SourcePresence& presence = *row.presence;
            Json item = Json::object();
            item["id"] = row.id;
            item["name"] = row.name;
            item["found"] = presence.path.has_value();
            item["path"] = presence.path ? Json(*presence.path) : Json();
            item["foundBy"] = presence.path ? Json(std::string(toString(presence.origin))) : Json();
            item["enabled"] = row.enabled;
            item["toggle"] = row.toggle ? Json(std::string(storageKey(*row.toggle))) : Json();
            item["executables"] = presence.row->executables;
            list.push_back(std::move(item));
        }
        Json document = jsonDocument();
        document["sources"] = std::move(list);
        std::printf("%s\n", dumpJson(document, jsonIndentForStandardOutput()).c_str());
        return kExitSuccess;
    }
    // The id first: it is what --only, --exclude and the item ids take.
    TextTable table({{localized("managers.column.id"), Column::Elide::Never, 0, 0},
                     {localized("managers.column.name"), Column::Elide::End, 8, 1},
                     {localized("managers.column.enabled"), Column::Elide::Never, 0, 0},
                     {localized("managers.column.found"), Column::Elide::Never, 0, 0},
                     {localized("managers.column.path"), Column::Elide::Middle, 12, 2},
                     {localized("managers.column.found_by"), Column::Elide::End, 6, 3}});
    const std::string yes = localized("common.yes"), no = localized("common.no");
    for (const Row& row : rows) {
        const std::optional<std::string>& path = row.presence->path;
        table.add({row.id, row.name, row.enabled ? yes : no, path ? yes : no, path.value_or(""),
                   path ? originText(row.presence->origin) : ""});
    }
    std::fputs(table.render(Style::forStream(stdout), outputWidth()).c_str(), stdout);
    return kExitSuccess;
}

}  // namespace

void addManagersCommand(CLI::App& app, int* exitCode) {
    auto* managers = app.add_subcommand("managers", localized("help.managers"));
    auto json = std::make_shared<bool>(false);
    managers->add_flag("--json", *json, localized("help.option.json"));
    setExamples(*managers, {"vantreel managers", "vantreel managers --json"});
    managers->callback([json, exitCode] { *exitCode = printManagers(*json); });
}

}  // namespace vt::cli
